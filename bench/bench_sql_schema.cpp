// Schema reads on a 2,000-table database (20 columns each, keys and 5 rows per table) on
// PostgreSQL and MariaDB:
//  - cold: the table list plus the description of every table (3 sample rows each) through a
//    new wrapper, against SQLAlchemy's reflection doing the same in the same run
//    (bench/reference_schema_reflection.py, Debian's python3-sqlalchemy, psycopg2, pymysql);
//  - warm: everything schema-related one question pays once the cache holds the catalog
//    (table list, candidate tables for the picker, descriptions of three tables), and the
//    first question of a new process that finds the cache file;
//  - the table picker's prompt before and after pruning (4 characters per token);
//  - where a cold read's time goes: each catalog read and the sample rows, one at a time on
//    a new session.
//
//   eval "$(scripts/services start)"; build/bench/bench_sql_schema
#include "sql/catalog.hpp"
#include "zolviai/flow/relevant_table_picker.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/sql/connection.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/tools.hpp"
#include "zolviai/sql/uri.hpp"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>

using namespace zolviai;
using namespace zolviai::sql;

namespace {

constexpr int table_count = 2000;
const char* const bench_database = "zolvi_bench_schema";
const char* const question = "Which parent rows have the highest amount and ratio?";

struct Target {
    std::string label;
    Engine engine;
    std::string uri;           // the benchmark database through the wrapper
    std::string reference_uri; // the same for SQLAlchemy
    double best_seconds = std::numeric_limits<double>::max();
    std::size_t description_chars = 0;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

ConnectSettings settings_for(Engine engine, const DatabaseUri& u, const std::string& database) {
    ConnectSettings s;
    s.engine = engine;
    s.host = u.host;
    s.port = u.port;
    s.user = u.user;
    s.password = u.password;
    s.database = database;
    return s;
}

// Each table: a key, a reference to table i/2 (a tree of keys, not one long chain), and 18
// columns of mixed types. Created once; later runs reuse it.
void build_postgresql(const DatabaseUri& server) {
    auto admin = connect(settings_for(Engine::Postgresql, server, server.database));
    if (admin
            ->execute("SELECT 1 FROM pg_database WHERE datname = '" + std::string(bench_database) +
                      "'")
            .rows.empty()) {
        admin->execute("CREATE DATABASE " + std::string(bench_database));
    }
    auto conn = connect(settings_for(Engine::Postgresql, server, bench_database));
    const ResultSet have =
        conn->execute("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'");
    if (have.rows[0][0].integer == table_count) {
        return;
    }
    std::cerr << "creating " << table_count << " PostgreSQL tables of 20 columns...\n";
    conn->execute("DROP SCHEMA public CASCADE");
    conn->execute("CREATE SCHEMA public");
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

// The same schema on MariaDB (InnoDB).
void build_mariadb(const DatabaseUri& server) {
    auto admin = connect(settings_for(Engine::Mysql, server, server.database));
    admin->execute("CREATE DATABASE IF NOT EXISTS " + std::string(bench_database));
    auto conn = connect(settings_for(Engine::Mysql, server, bench_database));
    const ResultSet have = conn->execute(
        "SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE()");
    if (have.rows[0][0].integer == table_count) {
        return;
    }
    std::cerr << "creating " << table_count << " MariaDB tables of 20 columns...\n";
    conn->execute("DROP DATABASE " + std::string(bench_database));
    conn->execute("CREATE DATABASE " + std::string(bench_database));
    conn->execute("USE " + std::string(bench_database));
    conn->execute("SET FOREIGN_KEY_CHECKS = 0");
    for (int i = 1; i <= table_count; ++i) {
        const std::string t = "t" + std::to_string(i);
        conn->execute(
            "CREATE TABLE " + t +
            " (id int PRIMARY KEY, parent_id int, name varchar(80) NOT NULL, note text, amount "
            "decimal(12,2), ratio double, active boolean, created_at datetime, day date, code "
            "char(4), qty int, big bigint, small smallint, price decimal(10,2), label "
            "varchar(40), flag boolean, seen_at timestamp NULL, descr text, score float, extra "
            "text" +
            (i > 1 ? ", FOREIGN KEY (parent_id) REFERENCES t" + std::to_string(i / 2) + " (id)"
                   : std::string()) +
            ") ENGINE=InnoDB");
        std::string rows;
        for (int g = 1; g <= 5; ++g) {
            const std::string n = std::to_string(g);
            rows += std::string(g > 1 ? ", " : "") + "(" + n + ", " + (i > 1 ? n : "NULL") +
                    ", 'name " + n + "', REPEAT('n', 150), " + n + " * 1.25, " + n + " / 3.0, " +
                    n + " % 2 = 0, TIMESTAMP '2024-01-05 13:04:05' + INTERVAL " + n +
                    " DAY, DATE '2024-01-05' + INTERVAL " + n + " DAY, 'c" + n + "', " + n + ")";
        }
        conn->execute("INSERT INTO " + t +
                      " (id, parent_id, name, note, amount, ratio, active, created_at, day, code, "
                      "qty) VALUES " +
                      rows);
    }
}

void cold_read(benchmark::State& state, Target* target) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto db = CustomSQLDatabase::from_uri(target->uri);
        const std::string names = ListSQLDatabaseTool(db).run();
        const std::string info = InfoSQLDatabaseTool(db).run(names);
        target->best_seconds = std::min(target->best_seconds, seconds_since(start));
        target->description_chars = info.size();
        if (info.rfind("Error", 0) == 0) {
            state.SkipWithError(info.substr(0, 200).c_str());
        }
        benchmark::DoNotOptimize(info);
    }
}

// Everything schema-related one question pays: the table list (TableNamesLookup), the
// picker's candidates and the table list again (RelevantTablePicker), the descriptions of
// the chosen tables (RelevantSchemas).
std::string question_schema_work(const std::shared_ptr<CustomSQLDatabase>& db) {
    const std::string names = ListSQLDatabaseTool(db).run();
    const TableCandidates candidates = db->candidate_tables(question);
    db->get_usable_table_names();
    return InfoSQLDatabaseTool(db).run("t1, t2, t3") + names.substr(0, 1) +
           std::to_string(candidates.names.size());
}

double median_ms(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2] * 1000;
}

double run_reference(const std::string& uri) {
    // The script sits beside this source file. A relative __FILE__ (the compiler cache
    // rewrites paths) is relative to the build directory, two levels above this program.
    std::filesystem::path dir = std::filesystem::path(__FILE__).parent_path();
    if (dir.is_relative()) {
        dir = std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / dir;
    }
    const std::string command =
        "/usr/bin/python3 " + (dir / "reference_schema_reflection.py").string() + " '" + uri + "'";
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

// Each part of a cold read alone, on new sessions, so that the server's per-session warm-up
// (PostgreSQL builds its cache entry of every table a session opens) shows where it is paid.
void phase_figures(const Target& target) {
    const DatabaseUri u = parse_database_uri(target.uri);
    const drivers::EngineTraits& dialect = drivers::engine_for_driver(target.engine);
    auto time = [](const auto& work) {
        const auto start = std::chrono::steady_clock::now();
        work();
        return seconds_since(start) * 1000;
    };
    std::unique_ptr<Connection> conn;
    const double connecting =
        time([&] { conn = connect(settings_for(target.engine, u, bench_database)); });
    std::vector<std::string> names;
    const double listing = time([&] { names = catalog::table_names(*conn, dialect, ""); });
    const double sentinel = time([&] { catalog::schema_sentinel(*conn, dialect); });
    std::vector<catalog::TableDef> read_with;
    const double signatures =
        time([&] { catalog::table_signatures(*conn, dialect, "", &read_with); });
    const double definitions = time([&] { catalog::table_defs(*conn, dialect, "", names); });
    std::vector<std::string> statements;
    for (const auto& name : names) {
        statements.push_back(catalog::sample_rows_sql(target.engine, false, dialect, "", name, 3));
    }
    ExecuteOptions limit;
    limit.max_rows = 3;
    limit.stop_after_max_rows = true;
    auto reader = connect(settings_for(target.engine, u, bench_database));
    const double samples = time([&] { reader->execute_batch(statements, limit); });
    const double samples_again = time([&] { reader->execute_batch(statements, limit); });
    std::printf("%s: parts of a cold read, one at a time: connect %.1f ms, sentinel %.1f ms, "
                "table names %.1f ms, signatures %.1f ms%s, definitions of %zu tables %.1f ms, "
                "sample rows of every table on a new session %.1f ms (%.1f ms on it again)\n",
                target.label.c_str(), connecting, sentinel, listing, signatures,
                read_with.empty() ? "" : " (with the definitions)", names.size(), definitions,
                samples, samples_again);
}

void warm_figures(const Target& target) {
    auto db = CustomSQLDatabase::from_uri(target.uri);
    question_schema_work(db); // fills the cache
    std::vector<double> runs;
    for (int i = 0; i < 50; ++i) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(question_schema_work(db));
        runs.push_back(seconds_since(start));
    }
    std::printf("%s: warm question, everything schema-related: median %.2f ms, best %.2f ms "
                "(target < 5 ms)\n",
                target.label.c_str(), median_ms(runs),
                *std::min_element(runs.begin(), runs.end()) * 1000);

    // A new process with the cache file: the first question reads the signatures once.
    const std::string dir =
        (std::filesystem::temp_directory_path() / "zolviai-bench-schema-cache").string();
    std::filesystem::remove_all(dir);
    DatabaseOptions options;
    options.schema_cache_dir = dir;
    question_schema_work(CustomSQLDatabase::from_uri(target.uri, options)); // writes the file
    const auto start = std::chrono::steady_clock::now();
    auto restarted = CustomSQLDatabase::from_uri(target.uri, options);
    const double opened = seconds_since(start);
    question_schema_work(restarted);
    std::printf("%s: first question of a new wrapper with the cache file: %.1f ms (of which "
                "%.1f ms opening the connection)\n",
                target.label.c_str(), seconds_since(start) * 1000, opened * 1000);
    std::filesystem::remove_all(dir);

    // The picker's prompt: every table name, then the pruned list.
    llm::ChatOpenAI::Options model_options;
    model_options.openai_api_key = "unused";
    model_options.base_url = "http://127.0.0.1:9/v1";
    auto model = std::make_shared<llm::ChatOpenAI>(model_options);
    const Value state = {{"user_question", question}, {"rewritten_question", ""}};
    auto prompt_chars = [&](const flow::RelevantTablePicker& picker, const Value& s) {
        std::size_t chars = 0;
        for (const auto& m : picker.generate_prompt(s)) {
            chars += m.content.size();
        }
        return chars;
    };
    DatabaseOptions whole;
    whole.prune_threshold = std::numeric_limits<std::size_t>::max();
    Value with_names = state;
    with_names["table_names_from_db"] = ListSQLDatabaseTool(db).run();
    const std::size_t before = prompt_chars(
        flow::RelevantTablePicker(model, CustomSQLDatabase::from_uri(target.uri, whole)),
        with_names);
    const std::size_t after = prompt_chars(flow::RelevantTablePicker(model, db), with_names);
    std::printf("%s: table picker prompt: %zu tokens with every table, %zu tokens after "
                "pruning to %zu tables (4 characters per token)\n",
                target.label.c_str(), before / 4, after / 4,
                db->candidate_tables(question).names.size());
}

} // namespace

int main(int argc, char** argv) {
    std::vector<Target> targets;
    if (const char* pg = std::getenv("ZOLVIAI_PG_URI")) {
        const DatabaseUri u = parse_database_uri(pg);
        build_postgresql(u);
        const std::string uri = build_database_uri("postgresql+psycopg2", u.user, u.password,
                                                   u.host, std::to_string(u.port), bench_database);
        targets.push_back({"postgresql", Engine::Postgresql, uri, uri});
    }
    if (const char* maria = std::getenv("ZOLVIAI_MARIADB_URI")) {
        const DatabaseUri u = parse_database_uri(maria);
        build_mariadb(u);
        targets.push_back({"mariadb", Engine::Mysql,
                           build_database_uri("mysql", u.user, u.password, u.host,
                                              std::to_string(u.port), bench_database),
                           build_database_uri("mysql+pymysql", u.user, u.password, u.host,
                                              std::to_string(u.port), bench_database)});
    }
    if (targets.empty()) {
        std::cerr
            << "ZOLVIAI_PG_URI and ZOLVIAI_MARIADB_URI are not set: eval \"$(scripts/services "
               "start)\" first\n";
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    for (Target& target : targets) {
        benchmark::RegisterBenchmark(
            ("cold_table_list_and_description/2000_tables/" + target.label).c_str(), cold_read,
            &target)
            ->Iterations(1)
            ->Repetitions(3)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    for (const Target& target : targets) {
        if (target.best_seconds == std::numeric_limits<double>::max()) {
            continue; // its cold read was filtered out
        }
        const double reference = run_reference(target.reference_uri);
        std::printf("%s: table list + description of %d tables: %.3f s (best of 3, %zu chars)\n",
                    target.label.c_str(), table_count, target.best_seconds,
                    target.description_chars);
        if (reference > 0) {
            std::printf("%s: reference %.3f s; zolviai is %.1f times faster (target: < 0.35 s "
                        "and >= 60x)\n",
                        target.label.c_str(), reference, reference / target.best_seconds);
        }
        phase_figures(target);
        warm_figures(target);
    }
    return 0;
}
