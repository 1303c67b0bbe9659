// The guard's own cost per generated statement: a 2 kB analytical query classified by each
// engine's policy (PostgreSQL's parser, the MariaDB and T-SQL lexers, SQLite's compiler),
// printed beside a read of one row from a SQLite table in the same run, the cheapest statement
// a question ever runs; and on SQLite, whose check is its own compiler, the whole guarded run
// beside a plain run of the same statement.
#include "sql/drivers/policies.hpp"
#include "zolviai/sql/connection.hpp"
#include "zolviai/sql/guard.hpp"
#include "zolviai/sql/uri.hpp"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <unistd.h>

using namespace zolviai::sql;

namespace {

// A query of the shape models write for reports, padded with more columns to 2 kB.
std::string analytical_query() {
    std::string sql =
        "WITH monthly AS (\n"
        "    SELECT o.customer_id, CAST(o.order_date AS DATE) AS day, SUM(l.quantity * "
        "l.unit_price) AS revenue, COUNT(*) AS lines\n"
        "    FROM orders o JOIN order_lines l ON l.order_id = o.order_id\n"
        "    WHERE o.status <> 'cancelled' -- only orders that shipped\n"
        "    GROUP BY o.customer_id, CAST(o.order_date AS DATE)\n"
        "), ranked AS (\n"
        "    SELECT customer_id, day, revenue, lines,\n"
        "           ROW_NUMBER() OVER (PARTITION BY customer_id ORDER BY revenue DESC) AS rn,\n"
        "           AVG(revenue) OVER (PARTITION BY customer_id) AS mean_revenue\n"
        "    FROM monthly\n"
        ")\n"
        "SELECT c.customer_id, UPPER(c.name) AS name, LOWER(c.city) AS city,\n"
        "       COALESCE(r.revenue, 0) AS revenue, ROUND(r.mean_revenue, 2) AS mean_revenue,\n"
        "       CASE WHEN r.revenue > 1000 THEN 'large' WHEN r.revenue > 100 THEN 'medium' "
        "ELSE 'small' END AS size";
    int i = 0;
    while (sql.size() < 1900) {
        const std::string n = std::to_string(i++);
        sql += ",\n       MAX(CASE WHEN r.lines > " + n + " THEN r.revenue END) AS over_" + n;
    }
    sql += "\nFROM customers c LEFT JOIN ranked r ON r.customer_id = c.customer_id AND r.rn = 1\n"
           "WHERE c.name LIKE '%a%'\n"
           "GROUP BY c.customer_id, c.name, c.city, r.revenue, r.mean_revenue\n"
           "ORDER BY revenue DESC";
    return sql;
}

const std::string query = analytical_query();

void BM_PostgresqlPolicy(benchmark::State& state) {
    const drivers::FunctionAllowList allowed(drivers::postgresql_functions, {}, "pg_catalog",
                                             false);
    for (auto _ : state) {
        auto reason = drivers::postgresql_refusal(query, allowed);
        if (reason) {
            state.SkipWithError(reason->c_str());
            break;
        }
        benchmark::DoNotOptimize(reason);
    }
    state.SetBytesProcessed(state.iterations() * query.size());
}

void BM_MariadbPolicy(benchmark::State& state) {
    const drivers::FunctionAllowList allowed(drivers::mariadb_functions, {}, "", true);
    for (auto _ : state) {
        auto reason = drivers::mariadb_refusal(query, allowed, true);
        if (reason) {
            state.SkipWithError(reason->c_str());
            break;
        }
        benchmark::DoNotOptimize(reason);
    }
    state.SetBytesProcessed(state.iterations() * query.size());
}

void BM_TsqlPolicy(benchmark::State& state) {
    const drivers::FunctionAllowList allowed(drivers::tsql_functions, {}, "", true);
    for (auto _ : state) {
        auto reason = drivers::tsql_refusal(query, allowed);
        if (reason) {
            state.SkipWithError(reason->c_str());
            break;
        }
        benchmark::DoNotOptimize(reason);
    }
    state.SetBytesProcessed(state.iterations() * query.size());
}

// A small shop database in a file; the guarded connection opens it read-only, as the
// wrapper does.
std::unique_ptr<Connection> sqlite_shop(bool read_only) {
    static const std::string path =
        "/tmp/zolviai-bench-guard-" + std::to_string(::getpid()) + ".db";
    ConnectSettings s;
    s.engine = Engine::Sqlite;
    s.database = path;
    {
        auto setup = connect(s);
        for (const char* sql :
             {"CREATE TABLE IF NOT EXISTS customers (customer_id INTEGER PRIMARY KEY, name TEXT, "
              "city TEXT)",
              "CREATE TABLE IF NOT EXISTS orders (order_id INTEGER PRIMARY KEY, customer_id "
              "INTEGER, order_date TEXT, status TEXT)",
              "CREATE TABLE IF NOT EXISTS order_lines (order_id INTEGER, quantity INTEGER, "
              "unit_price REAL)",
              "INSERT OR REPLACE INTO customers VALUES (1, 'Ada', 'Paris')"}) {
            setup->execute(sql);
        }
    }
    s.read_only = read_only;
    return connect(s);
}

// SQLite's guard is its compiler: prepare the whole text under the authorizer.
void BM_SqlitePolicy(benchmark::State& state) {
    auto conn = sqlite_shop(true);
    GuardOptions options;
    for (auto _ : state) {
        auto reason = refusal_reason(*conn, query, options);
        if (reason) {
            state.SkipWithError(reason->c_str());
            break;
        }
        benchmark::DoNotOptimize(reason);
    }
    state.SetBytesProcessed(state.iterations() * query.size());
}

// What the guard adds to running a statement on SQLite: the check compiles the statement that
// execution then runs, inside a savepoint under the strict authorizer. The reference is the
// same statement run on a plain connection.
void BM_SqliteGuardedRun(benchmark::State& state) {
    auto conn = sqlite_shop(true);
    GuardOptions options;
    for (auto _ : state) {
        if (auto reason = refusal_reason(*conn, query, options)) {
            state.SkipWithError(reason->c_str());
            break;
        }
        ResultSet r = conn->execute_guarded(query, {});
        benchmark::DoNotOptimize(r);
    }
}

void BM_ReferenceSqlitePlainRun(benchmark::State& state) {
    auto conn = sqlite_shop(false);
    for (auto _ : state) {
        ResultSet r = conn->execute(query);
        benchmark::DoNotOptimize(r);
    }
}

// The reference: the cheapest read a question ever makes, one row of a small table.
void BM_ReferenceSqliteOneRowRead(benchmark::State& state) {
    auto conn = sqlite_shop(false);
    for (auto _ : state) {
        ResultSet r = conn->execute("SELECT name FROM customers WHERE customer_id = 1");
        benchmark::DoNotOptimize(r);
    }
}

// PostgreSQL from ZOLVIAI_PG_URI (scripts/services start), with the shop's tables; nothing
// when no server is set.
std::unique_ptr<Connection> postgresql_shop() {
    const char* uri = std::getenv("ZOLVIAI_PG_URI");
    if (uri == nullptr || *uri == '\0') {
        return nullptr;
    }
    const DatabaseUri u = parse_database_uri(uri);
    ConnectSettings s;
    s.engine = Engine::Postgresql;
    s.host = u.host;
    s.port = u.port;
    s.user = u.user;
    s.password = u.password;
    s.database = u.database;
    auto conn = connect(s);
    for (const char* sql :
         {"CREATE TABLE IF NOT EXISTS customers (customer_id integer PRIMARY KEY, name text, "
          "city text)",
          "CREATE TABLE IF NOT EXISTS orders (order_id integer PRIMARY KEY, customer_id integer, "
          "order_date date, status text)",
          "CREATE TABLE IF NOT EXISTS order_lines (order_id integer, quantity integer, "
          "unit_price numeric)",
          "INSERT INTO customers VALUES (1, 'Ada', 'Paris') ON CONFLICT DO NOTHING"}) {
        conn->execute(sql);
    }
    return conn;
}

// The whole guarded run on PostgreSQL (parse, names resolved in the round trip that opens the
// read-only transaction, the query, rollback and session reset) beside a plain run of the
// same statement on the same server.
void BM_PostgresqlGuardedRun(benchmark::State& state) {
    auto conn = postgresql_shop();
    if (!conn) {
        state.SkipWithError("ZOLVIAI_PG_URI is not set");
        return;
    }
    for (auto _ : state) {
        ResultSet r = conn->execute_guarded(query, {});
        benchmark::DoNotOptimize(r);
    }
}

void BM_ReferencePostgresqlPlainRun(benchmark::State& state) {
    auto conn = postgresql_shop();
    if (!conn) {
        state.SkipWithError("ZOLVIAI_PG_URI is not set");
        return;
    }
    for (auto _ : state) {
        ResultSet r = conn->execute(query);
        benchmark::DoNotOptimize(r);
    }
}

// The checks every engine shares: size, NUL, UTF-8, emptiness.
void BM_SharedChecks(benchmark::State& state) {
    GuardOptions options;
    for (auto _ : state) {
        auto reason = shared_refusal(query, options);
        benchmark::DoNotOptimize(reason);
    }
    state.SetBytesProcessed(state.iterations() * query.size());
}

} // namespace

BENCHMARK(BM_PostgresqlPolicy);
BENCHMARK(BM_PostgresqlGuardedRun);
BENCHMARK(BM_ReferencePostgresqlPlainRun);
BENCHMARK(BM_MariadbPolicy);
BENCHMARK(BM_TsqlPolicy);
BENCHMARK(BM_SqlitePolicy);
BENCHMARK(BM_SqliteGuardedRun);
BENCHMARK(BM_ReferenceSqlitePlainRun);
BENCHMARK(BM_SharedChecks);
BENCHMARK(BM_ReferenceSqliteOneRowRead);
BENCHMARK_MAIN();
