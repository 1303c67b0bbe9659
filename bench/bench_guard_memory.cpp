// Peak memory of one generated query that tries to bring too much back: 1,000 rows of 1 MB,
// and a single 500 MB value. Each runs through the wrapper (bounded while reading) and, as the
// reference in the same run, through a plain driver connection that keeps what it reads.
//
//   eval "$(scripts/services start)"; build/bench/bench_guard_memory
#include "support/memory.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/uri.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace zolviai::sql;

namespace {

// Peak resident growth of fn, in MB, with the peak reset before it.
template <typename Fn>
double peak_growth_mb(Fn fn) {
    const long idle = zolviai::testing::reset_peak_resident_kb();
    try {
        fn();
    } catch (const zolviai::Error& e) {
        std::printf("    (%s)\n", std::string(e.what()).substr(0, 100).c_str());
    }
    return (zolviai::testing::peak_resident_kb() - idle) / 1024.0;
}

struct Case {
    const char* engine;
    std::string uri;
    std::string rows_sql;  // 1,000 rows of 1 MB
    std::string value_sql; // one value of 500 MB
};

ConnectSettings plain_settings(const std::string& uri_text) {
    const DatabaseUri uri = parse_database_uri(uri_text);
    ConnectSettings s;
    s.engine = uri.dialect == "postgresql" ? Engine::Postgresql
               : uri.dialect == "mysql"    ? Engine::Mysql
                                           : Engine::Sqlite;
    s.host = uri.host;
    s.port = uri.port;
    s.user = uri.user;
    s.password = uri.password;
    s.database = uri.database;
    s.statement_timeout_ms = 120000;
    return s;
}

} // namespace

int main() {
    std::vector<Case> cases;
    const std::string lite = "/tmp/zolviai-bench-memory-" + std::to_string(::getpid()) + ".db";
    {
        ConnectSettings s;
        s.engine = Engine::Sqlite;
        s.database = lite;
        connect(s)->execute("CREATE TABLE IF NOT EXISTS t (x INTEGER)");
    }
    cases.push_back({"SQLite", "sqlite:///" + lite,
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                     "1000) SELECT zeroblob(1000000) FROM n",
                     "SELECT zeroblob(500000000)"});
    if (const char* pg = std::getenv("ZOLVIAI_PG_URI")) {
        cases.push_back({"PostgreSQL", pg,
                         "SELECT repeat('x', 1000000) FROM generate_series(1, 1000)",
                         "SELECT repeat('x', 500000000)"});
    }
    if (const char* maria = std::getenv("ZOLVIAI_MARIADB_URI")) {
        cases.push_back({"MariaDB", maria, "SELECT REPEAT('x', 1000000) FROM seq_1_to_1000",
                         "SELECT REPEAT('x', 500000000)"});
    }
    std::printf("Peak resident growth (MB) of one query; target for the wrapper: < 64 MB\n\n");
    std::printf("| engine | query | wrapper (bounded) | plain driver (reference) |\n");
    std::printf("|---|---|---|---|\n");
    for (const Case& c : cases) {
        DatabaseOptions options;
        options.statement_timeout_ms = 120000;
        auto wrapper = CustomSQLDatabase::from_uri(c.uri, options);
        for (const auto& [label, sql] :
             {std::pair<const char*, std::string>{"1,000 rows x 1 MB", c.rows_sql},
              std::pair<const char*, std::string>{"one 500 MB value", c.value_sql}}) {
            const double bounded = peak_growth_mb([&] { wrapper->query(sql, 1000); });
            const double plain = peak_growth_mb([&] {
                auto conn = connect(plain_settings(c.uri));
                ResultSet r = conn->execute(sql);
                std::printf("    (plain read kept %zu rows)\n", r.rows.size());
            });
            std::printf("| %s | %s | %.1f | %.1f |\n", c.engine, label, bounded, plain);
        }
    }
    std::remove(lite.c_str());
    return 0;
}
