// The table list plus the description of every table of a 2,000-table PostgreSQL schema
// (20 columns each, keys and sample rows), against SQLAlchemy's reflection doing the same
// in the same run (bench/reference_schema_reflection.py with Debian's python3-sqlalchemy).
//
//   eval "$(scripts/services start)"; build-XXX/bench/bench_sql_schema
#include "zolviai/sql/connection.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/tools.hpp"
#include "zolviai/sql/uri.hpp"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>

using namespace zolviai::sql;

namespace {

constexpr int table_count = 2000;
const char* const bench_database = "zolvi_bench_schema";

std::string bench_uri;
double best_seconds = std::numeric_limits<double>::max();
std::size_t description_chars = 0;

ConnectSettings settings_for(const DatabaseUri& u, const std::string& database) {
    ConnectSettings s;
    s.engine = Engine::Postgresql;
    s.host = u.host;
    s.port = u.port;
    s.user = u.user;
    s.password = u.password;
    s.database = database;
    return s;
}

// Creates the schema once; later runs reuse it.
void build_schema(const DatabaseUri& server) {
    auto admin = connect(settings_for(server, server.database));
    if (admin
            ->execute("SELECT 1 FROM pg_database WHERE datname = '" + std::string(bench_database) +
                      "'")
            .rows.empty()) {
        admin->execute("CREATE DATABASE " + std::string(bench_database));
    }
    auto conn = connect(settings_for(server, bench_database));
    const ResultSet have =
        conn->execute("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'");
    if (have.rows[0][0].integer == table_count) {
        return;
    }
    std::cerr << "creating " << table_count << " tables of 20 columns...\n";
    conn->execute("DROP SCHEMA public CASCADE");
    conn->execute("CREATE SCHEMA public");
    // Each table: a key, a reference to table i/2 (a tree of keys, not one long chain), and 18
    // columns of mixed types.
    for (int first = 1; first <= table_count; first += 200) {
        const int last = std::min(table_count, first + 199);
        conn->execute(
            "DO $$ BEGIN FOR i IN " + std::to_string(first) + ".." + std::to_string(last) +
            " LOOP EXECUTE format('CREATE TABLE t%s (id integer PRIMARY KEY, parent_id integer "
            "%s, name varchar(80) NOT NULL, note text, amount numeric(12, 2), ratio double "
            "precision, active boolean, created_at timestamp, day date, code char(4), qty integer, "
            "big bigint, small smallint, price numeric(10, 2), label varchar(40), flag boolean, "
            "seen_at timestamptz, descr text, score real, extra text)', i, CASE WHEN i > 1 THEN "
            "format('REFERENCES t%s (id)', i / 2) ELSE '' END); "
            "EXECUTE format('INSERT INTO t%s (id, parent_id, name, note, amount, ratio, active, "
            "created_at, day, code, qty) SELECT g, CASE WHEN %s > 1 THEN g END, ''name '' || g, "
            "repeat(''n'', 150), g * 1.25, g / 3.0, g %% 2 = 0, TIMESTAMP ''2024-01-05 13:04:05'' "
            "+ g * INTERVAL ''1 day'', DATE ''2024-01-05'' + g, ''c'' || g, g FROM "
            "generate_series(1, 5) g', i, i); END LOOP; END $$");
    }
    conn->execute("ANALYZE");
}

void BM_TableListAndDescriptions(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto db = CustomSQLDatabase::from_uri(bench_uri);
        const std::string names = ListSQLDatabaseTool(db).run();
        const std::string info = InfoSQLDatabaseTool(db).run(names);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best_seconds = std::min(best_seconds, seconds);
        description_chars = info.size();
        if (info.rfind("Error", 0) == 0) {
            state.SkipWithError(info.substr(0, 200).c_str());
        }
        benchmark::DoNotOptimize(info);
    }
}

double run_reference(const std::string& uri) {
    // The script sits beside this source file.
    std::string dir = __FILE__;
    dir = dir.substr(0, dir.rfind('/'));
    const std::string command =
        "/usr/bin/python3 " + dir + "/reference_schema_reflection.py '" + uri + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::string out;
    char buf[4096];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) {
        out += buf;
    }
    if (::pclose(pipe) != 0) {
        std::cerr << "the reference failed: " << out << "\n";
        return -1;
    }
    std::cout << "reference (SQLAlchemy reflection): " << out;
    const std::size_t at = out.find("\"seconds\": ");
    return at == std::string::npos ? -1 : std::atof(out.c_str() + at + 11);
}

} // namespace

int main(int argc, char** argv) {
    const char* server = std::getenv("ZOLVIAI_PG_URI");
    if (server == nullptr) {
        std::cerr << "ZOLVIAI_PG_URI is not set: eval \"$(scripts/services start)\" first\n";
        return 1;
    }
    const DatabaseUri u = parse_database_uri(server);
    build_schema(u);
    bench_uri = build_database_uri("postgresql+psycopg2", u.user, u.password, u.host,
                                   std::to_string(u.port), bench_database);

    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("table_list_and_description/2000_tables",
                                 BM_TableListAndDescriptions)
        ->Iterations(1)
        ->Repetitions(3)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double reference = run_reference(bench_uri);
    std::printf("zolviai: table list + description of %d tables: %.3f s (best of 3, %zu chars)\n",
                table_count, best_seconds, description_chars);
    if (reference > 0) {
        std::printf("reference: %.3f s; zolviai is %.1f times faster (target: <= 1 s and >= 15x)\n",
                    reference, reference / best_seconds);
    }
    return 0;
}
