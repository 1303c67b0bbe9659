// The guard for generated SQL on PostgreSQL: an adversarial corpus decided by the server's own
// grammar, then run against a real server as a superuser and as an ordinary role, checking
// after each statement that nothing changed, that time-outs held and that memory stayed
// bounded.
#include "sql/drivers/policies.hpp"
#include "sql/sql_test_support.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/uri.hpp"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace zolviai::sql;
using zolviai::testing::ScratchDatabase;

namespace {

using Clock = std::chrono::steady_clock;

const std::string pwned = "/tmp/zolvi_guard_pwned_" + std::to_string(::getpid());

struct Hostile {
    std::string group;
    std::string sql;
    std::string found; // a part of the refusal reason that names the construct
};

// Statements an injected model might write. Every one must be refused before the server
// sees it.
std::vector<Hostile> hostile_corpus() {
    const std::string p = pwned;
    return {
        // comments and line ends: the server ends "--" comments at \r as well as \n
        {"line ends", "SELECT 1 --\rDROP TABLE victim", "does not parse"},
        {"line ends", "--\rCOPY victim TO PROGRAM 'touch " + p + "' /*\nSELECT 1 */", "COPY"},
        {"line ends", "SELECT 1 --x\r; DELETE FROM victim", "more than one statement"},
        {"line ends", "SELECT 1;\nDROP TABLE victim", "more than one statement"},
        {"line ends", "SELECT 1;;DROP TABLE victim", "more than one statement"},
        {"line ends", "SELECT 1 -- \n; DELETE FROM victim", "more than one statement"},
        {"line ends", "/**/DELETE FROM victim", "DELETE"},
        {"line ends", "SELECT 1 /* a /* b */ ; */ ; DROP TABLE victim", "more than one"},
        {"line ends", "SELECT 1 /* unterminated", "does not parse"},
        {"line ends", "SELECT 1\f;\fTRUNCATE victim", "more than one statement"},
        // names and functions behind quotes and escapes
        {"quoting", "SELECT \"pg_read_file\"('/etc/hostname')", "pg_read_file"},
        {"quoting", "SELECT pg_catalog.\"pg_read_binary_file\"('/etc/hostname')",
         "pg_read_binary_file"},
        {"quoting", "SELECT U&\"pg_read_\\0066ile\"('/etc/hostname')", "pg_read_file"},
        {"quoting", "SELECT \"PG_READ_FILE\"('/etc/hostname')", "PG_READ_FILE"},
        {"quoting", "SELECT \"lo_export\"(1, '" + p + "')", "lo_export"},
        // schema-qualified names
        {"qualified", "SELECT pg_catalog.pg_read_file('/etc/hostname')", "pg_read_file"},
        {"qualified", "SELECT pg_catalog.set_config('default_transaction_read_only', 'off', false)",
         "set_config"},
        {"qualified", "SELECT public.lower('x')", "public.lower"},
        {"qualified", "SELECT zolvi.pg_catalog.lower('x')", "lower"},
        {"qualified", "SELECT * FROM pg_catalog.pg_ls_dir('.')", "pg_ls_dir"},
        // E-strings, continued strings and dollar quotes
        {"strings", "SELECT E'\\\\'; DROP TABLE victim; --'", "more than one statement"},
        {"strings", "SELECT E'x'\n'y'; DELETE FROM victim", "more than one statement"},
        {"strings", "SELECT 'x'\n'y'; DELETE FROM victim", "more than one statement"},
        {"strings", "SELECT $a$ $$ $a$; DELETE FROM victim", "more than one statement"},
        {"strings", "SELECT $$;$$; DELETE FROM victim", "more than one statement"},
        {"strings", "SELECT $q$x$q$, pg_read_file($q$/etc/hostname$q$)", "pg_read_file"},
        // parameters and prepared statements
        {"parameters", "SELECT $1", "parameter"},
        {"parameters", "SELECT * FROM victim WHERE id = $1", "parameter"},
        {"parameters", "PREPARE p AS SELECT 1", "PREPARE"},
        {"parameters", "EXECUTE p", "EXECUTE"},
        {"parameters", "DEALLOCATE ALL", "DEALLOCATE"},
        // SELECT INTO, locking clauses and data-modifying WITH
        {"into and locks", "SELECT * INTO stolen FROM victim", "INTO"},
        {"into and locks", "SELECT * FROM victim FOR UPDATE", "FOR UPDATE"},
        {"into and locks", "SELECT * FROM victim FOR SHARE", "FOR UPDATE"},
        {"into and locks", "SELECT * FROM victim FOR NO KEY UPDATE SKIP LOCKED", "FOR UPDATE"},
        {"into and locks", "SELECT * FROM (SELECT * FROM victim FOR KEY SHARE) s", "FOR UPDATE"},
        {"into and locks", "WITH d AS (DELETE FROM victim RETURNING *) SELECT * FROM d", "DELETE"},
        {"into and locks", "WITH i AS (INSERT INTO victim VALUES (99, 'x') RETURNING 1) SELECT 1",
         "INSERT"},
        {"into and locks", "WITH u AS (UPDATE victim SET name = 'x' RETURNING 1) SELECT 1",
         "UPDATE"},
        {"into and locks", "CREATE TABLE stolen AS SELECT * FROM victim", "CREATE TABLE AS"},
        {"into and locks", "LOCK TABLE victim", "LOCK"},
        // statements that are not queries
        {"statements", "COPY victim TO STDOUT", "COPY"},
        {"statements", "COPY (SELECT 1) TO STDOUT", "COPY"},
        {"statements", "COPY victim TO '" + p + "'", "COPY"},
        {"statements", "COPY victim FROM PROGRAM 'id'", "COPY"},
        {"statements", "LOAD 'auto_explain'", "LOAD"},
        {"statements", "SET statement_timeout = 0", "SET"},
        {"statements", "SET ROLE postgres", "SET"},
        {"statements", "SET SESSION AUTHORIZATION postgres", "SET"},
        {"statements", "RESET ALL", "SET"},
        {"statements", "DISCARD ALL", "DISCARD"},
        {"statements", "LISTEN x", "LISTEN"},
        {"statements", "NOTIFY x", "NOTIFY"},
        {"statements", "DO $$BEGIN DELETE FROM victim; END$$", "DO"},
        {"statements", "CALL p()", "CALL"},
        {"statements", "VACUUM victim", "VACUUM"},
        {"statements", "ANALYZE victim", "VACUUM"},
        {"statements", "CHECKPOINT", "CHECKPOINT"},
        {"statements", "BEGIN", "BEGIN"},
        {"statements", "COMMIT", "COMMIT"},
        {"statements", "DECLARE c CURSOR FOR SELECT 1", "DECLARE CURSOR"},
        {"statements", "CREATE EXTENSION dblink", "CREATE EXTENSION"},
        {"statements", "ALTER SYSTEM SET work_mem = '1GB'", "ALTER SYSTEM"},
        {"statements", "GRANT ALL ON victim TO PUBLIC", "GRANT"},
        {"statements", "EXPLAIN ANALYZE SELECT 1", "EXPLAIN ANALYZE"},
        {"statements", "EXPLAIN (ANALYZE, BUFFERS) SELECT 1", "EXPLAIN ANALYZE"},
        {"statements", "EXPLAIN DELETE FROM victim", "EXPLAIN of a statement of kind DELETE"},
        {"statements", "TRUNCATE victim", "TRUNCATE"},
        {"statements", "DROP TABLE victim", "DROP"},
        {"statements", "INSERT INTO victim VALUES (9, 'x')", "INSERT"},
        {"statements", "MERGE INTO victim v USING victim w ON v.id = w.id WHEN MATCHED THEN DELETE",
         "MERGE"},
        // file, lock, signal, replication, statistics and sequence functions
        {"functions", "SELECT pg_read_file('/etc/hostname')", "pg_read_file"},
        {"functions", "SELECT pg_stat_file('/etc/hostname')", "pg_stat_file"},
        {"functions", "SELECT lo_import('/etc/hostname')", "lo_import"},
        {"functions", "SELECT lo_from_bytea(0, 'x')", "lo_from_bytea"},
        {"functions", "SELECT pg_advisory_lock(42)", "pg_advisory_lock"},
        {"functions", "SELECT pg_try_advisory_lock(42)", "pg_try_advisory_lock"},
        {"functions", "SELECT pg_advisory_xact_lock(42)", "pg_advisory_xact_lock"},
        {"functions", "SELECT pg_terminate_backend(1)", "pg_terminate_backend"},
        {"functions", "SELECT pg_cancel_backend(1)", "pg_cancel_backend"},
        {"functions", "SELECT pg_reload_conf()", "pg_reload_conf"},
        {"functions", "SELECT pg_logical_emit_message(false, 'x', 'y')", "pg_logical_emit_message"},
        {"functions", "SELECT pg_create_physical_replication_slot('zolvi_slot')",
         "pg_create_physical_replication_slot"},
        {"functions", "SELECT pg_stat_reset()", "pg_stat_reset"},
        {"functions", "SELECT pg_stat_reset_shared('bgwriter')", "pg_stat_reset_shared"},
        {"functions", "SELECT nextval('victim_seq')", "nextval"},
        {"functions", "SELECT setval('victim_seq', 1000)", "setval"},
        {"functions", "SELECT txid_current()", "txid_current"},
        {"functions", "SELECT pg_notify('x', 'y')", "pg_notify"},
        {"functions", "SELECT dblink_exec('dbname=postgres', 'CREATE TABLE t (x int)')",
         "dblink_exec"},
        {"functions", "SELECT query_to_xml('DELETE FROM victim RETURNING 1', true, true, '')",
         "query_to_xml"},
        {"functions", "SELECT * FROM ts_stat('SELECT to_tsvector(name) FROM victim')", "ts_stat"},
        {"functions", "SELECT pg_sleep(100)", "pg_sleep"},
        {"functions", "SELECT 1 FROM victim WHERE pg_read_file('/etc/hostname') <> ''",
         "pg_read_file"},
        {"functions", "SELECT * FROM victim ORDER BY pg_advisory_lock(id)", "pg_advisory_lock"},
        {"functions", "SELECT (SELECT max(pg_advisory_lock(1)) FROM victim)", "pg_advisory_lock"},
        {"functions", "SELECT * FROM victim, LATERAL pg_ls_dir('.') f", "pg_ls_dir"},
        {"functions", "SELECT count(*) OVER (ORDER BY pg_advisory_lock(1)) FROM victim",
         "pg_advisory_lock"},
        // catalog relations with credentials, files and other sessions' statements
        {"catalog", "SELECT rolpassword FROM pg_authid", "pg_authid"},
        {"catalog", "SELECT * FROM pg_catalog.pg_shadow", "pg_shadow"},
        {"catalog", "TABLE pg_hba_file_rules", "pg_hba_file_rules"},
        {"catalog", "SELECT query FROM pg_stat_activity", "pg_stat_activity"},
    };
}

// Ordinary analytical SQL that must keep passing.
const std::vector<std::string> analytical = {
    "SELECT * FROM victim",
    "  select name from victim where name = 'DROP TABLE x; DELETE' ;  ",
    "WITH t AS (SELECT 1 AS n) SELECT n FROM t",
    "SELECT \"update\", id FROM victim -- drop table\n",
    "SELECT $$; DROP TABLE x$$ AS s",
    "SELECT E'it\\'s; delete' AS s",
    "(SELECT 1) UNION ALL (SELECT 2) ORDER BY 1 DESC",
    "SELECT 1 /* a /* b */ ; */",
    "EXPLAIN SELECT * FROM victim WHERE id = 1",
    "EXPLAIN (FORMAT JSON, COSTS OFF) SELECT 1",
    "SELECT id, sum(amount) OVER (ORDER BY created ROWS BETWEEN 1 PRECEDING AND CURRENT ROW) "
    "FROM victim",
    "SELECT name, rank() OVER (PARTITION BY created ORDER BY amount DESC) FROM victim",
    "SELECT data->>'tag' AS tag, jsonb_array_length(data->'list') FROM victim",
    "SELECT e.value FROM victim, jsonb_array_elements(data->'list') e",
    "SELECT amount::int, created::text, CAST(id AS numeric(10, 2)) FROM victim",
    "SELECT date_trunc('month', created), extract(year FROM created), created + interval '1 day' "
    "FROM victim",
    "SELECT to_char(created, 'YYYY-MM'), age(created, DATE '2020-01-01') FROM victim",
    "SELECT lower(name), upper(name), concat(name, '!'), split_part(name, ' ', 1), "
    "length(name), substring(name FROM 1 FOR 2), trim(both ' ' FROM name) FROM victim",
    "SELECT coalesce(name, '?'), nullif(id, 0), greatest(id, 2), CASE WHEN id > 1 THEN 'a' "
    "ELSE 'b' END FROM victim",
    "SELECT DISTINCT ON (created) created, name FROM victim ORDER BY created, amount DESC",
    "SELECT created, count(*) FILTER (WHERE amount > 1) FROM victim GROUP BY ROLLUP (created)",
    "SELECT percentile_cont(0.5) WITHIN GROUP (ORDER BY amount) FROM victim",
    "SELECT v.name, x.n FROM victim v CROSS JOIN LATERAL (SELECT v.id * 2 AS n) x",
    "SELECT d::date FROM generate_series(DATE '2024-01-01', DATE '2024-03-01', interval '1 month') "
    "d",
    "VALUES (1, 'a'), (2, 'b')",
    "TABLE victim",
    "SELECT count(*) FROM victim WHERE name ILIKE '%a%' AND id IN (SELECT id FROM victim)",
    "SELECT round(avg(amount), 2), stddev(amount), string_agg(name, ', ' ORDER BY name) FROM "
    "victim HAVING count(*) > 0",
    "SELECT pg_catalog.lower(name), current_date, now() - interval '1 hour' FROM victim",
    "SELECT regexp_replace(name, '[aeiou]', '', 'g'), format('%s-%s', id, name) FROM victim",
    "SELECT table_name FROM information_schema.tables WHERE table_schema = 'public'",
    "SELECT EXISTS (SELECT 1 FROM victim WHERE id = 1), 1 = ANY (ARRAY[1, 2])",
};

struct Snapshot {
    std::vector<std::string> values;
    bool operator==(const Snapshot&) const = default;
};

std::string first_cell(Connection& conn, const std::string& sql) {
    const ResultSet r = conn.execute(sql);
    if (r.rows.empty() || r.rows[0].empty()) {
        return "";
    }
    const Cell& c = r.rows[0][0];
    return c.type == CellType::Integer ? std::to_string(c.integer)
           : c.type == CellType::Bool  ? (c.boolean ? "t" : "f")
                                       : c.text;
}

// Everything a statement could have changed: rows, schema, sequences, large objects,
// replication slots, settings files, advisory locks, statistics resets, files on the server.
Snapshot snapshot(Connection& admin) {
    Snapshot s;
    for (
        const char* sql : {
            "SELECT md5(string_agg(v::text, ',' ORDER BY id)) FROM victim v",
            "SELECT md5(string_agg(relname::text || relkind::text, ',' ORDER BY relname)) FROM pg_class "
            "WHERE relnamespace = 'public'::regnamespace",
            "SELECT last_value FROM victim_seq",
            "SELECT count(*) FROM pg_largeobject_metadata",
            "SELECT count(*) FROM pg_replication_slots",
            "SELECT count(*) FROM pg_file_settings",
            "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND database = "
            "(SELECT oid FROM pg_database WHERE datname = current_database())",
            "SELECT coalesce(stats_reset::text, '') FROM pg_stat_database WHERE datname = "
            "current_database()",
            "SELECT stats_reset::text FROM pg_stat_bgwriter",
            "SELECT count(*) FROM pg_prepared_statements",
            // Other tests share the server: roles and databases other than theirs (z...).
            "SELECT count(*) FROM pg_roles WHERE rolname NOT LIKE 'z%'",
            "SELECT count(*) FROM pg_database WHERE datname NOT LIKE 'z%'",
        }) {
        s.values.push_back(first_cell(admin, sql));
    }
    s.values.push_back(std::filesystem::exists(pwned) ? "file written" : "no file");
    return s;
}

const std::vector<std::string> victim_schema = {
    "CREATE TABLE victim (id integer PRIMARY KEY, name text, data jsonb, amount numeric(10, 2), "
    "created date, \"update\" text)",
    "CREATE SEQUENCE victim_seq",
    "SELECT nextval('victim_seq')",
    "INSERT INTO victim VALUES (1, 'alpha one', '{\"tag\": \"a\", \"list\": [1, 2]}', 1.50, "
    "'2024-01-05', 'u'), (2, 'beta', '{\"tag\": \"b\", \"list\": [3]}', 2.25, '2024-02-01', NULL)",
};

// A read-only role on the scratch database, dropped again at the end.
class ReaderRole {
public:
    explicit ReaderRole(ScratchDatabase& db) : db_(db), name_("zr_" + db.name()) {
        db.admin().execute("CREATE ROLE " + name_ + " LOGIN PASSWORD 'reader'");
        db.admin().execute("GRANT SELECT ON ALL TABLES IN SCHEMA public TO " + name_);
        db.admin().execute("GRANT SELECT ON ALL SEQUENCES IN SCHEMA public TO " + name_);
        const DatabaseUri u = parse_database_uri(db.uri());
        uri_ = build_database_uri(u.scheme, name_, "reader", u.host, std::to_string(u.port),
                                  u.database);
    }
    ~ReaderRole() {
        try {
            db_.admin().execute("DROP OWNED BY " + name_);
            db_.admin().execute("DROP ROLE " + name_);
        } catch (const zolviai::Error&) {
        }
    }
    const std::string& uri() const { return uri_; }

private:
    ScratchDatabase& db_;
    std::string name_;
    std::string uri_;
};

DatabaseOptions guarded_options() {
    DatabaseOptions o;
    o.statement_timeout_ms = 2000;
    return o;
}

drivers::FunctionAllowList builtin_list(const std::vector<std::string>& extra = {}) {
    return drivers::FunctionAllowList(drivers::postgresql_functions, extra, "pg_catalog", false);
}

} // namespace

TEST(PostgresqlPolicy, RefusesEveryHostileStatementNamingTheConstruct) {
    const auto allowed = builtin_list();
    const auto corpus = hostile_corpus();
    ASSERT_GE(corpus.size(), 90u);
    for (const Hostile& h : corpus) {
        const auto reason = drivers::postgresql_refusal(h.sql, allowed);
        ASSERT_TRUE(reason.has_value()) << h.group << ": " << h.sql;
        EXPECT_NE(reason->find(h.found), std::string::npos)
            << h.group << ": " << h.sql << " -> " << *reason;
    }
}

TEST(PostgresqlPolicy, PassesOrdinaryAnalyticalQueries) {
    const auto allowed = builtin_list();
    for (const std::string& sql : analytical) {
        EXPECT_EQ(drivers::postgresql_refusal(sql, allowed), std::nullopt) << sql;
    }
}

TEST(PostgresqlPolicy, HostFunctionsAreAllowedOnlyAsNamed) {
    const auto allowed = builtin_list({"score", "reports.rank_of"});
    EXPECT_EQ(drivers::postgresql_refusal("SELECT score(1)", allowed), std::nullopt);
    EXPECT_EQ(drivers::postgresql_refusal("SELECT reports.rank_of(1)", allowed), std::nullopt);
    // The same name in another schema is another function.
    EXPECT_TRUE(drivers::postgresql_refusal("SELECT other.score(1)", allowed).has_value());
    EXPECT_TRUE(drivers::postgresql_refusal("SELECT rank_of(1)", allowed).has_value());
    EXPECT_TRUE(drivers::postgresql_refusal("SELECT score(1)", builtin_list()).has_value());
}

TEST(PostgresqlPolicy, ReportsWhereTheStatementLies) {
    drivers::PgStatementShape shape;
    const std::string sql = "  SELECT 1 ; -- done";
    ASSERT_EQ(drivers::postgresql_refusal(sql, builtin_list(), &shape), std::nullopt);
    EXPECT_FALSE(shape.explain);
    EXPECT_EQ(sql.substr(shape.location, shape.length), "  SELECT 1 ");
    ASSERT_EQ(drivers::postgresql_refusal("EXPLAIN SELECT 1", builtin_list(), &shape),
              std::nullopt);
    EXPECT_TRUE(shape.explain);
}

// The whole corpus against the server, as a superuser and as an ordinary role: nothing is
// changed, and the analytical queries answer.
TEST(PostgresqlGuard, NothingInTheCorpusChangesTheDatabaseForAnyRole) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    for (const auto& sql : victim_schema) {
        db.admin().execute(sql);
    }
    ReaderRole reader(db);
    std::filesystem::remove(pwned);
    const Snapshot before = snapshot(db.admin());
    // The superuser only where the host allowed it explicitly: the guard must hold for it too.
    for (const std::string& uri : {db.uri() + "?allow_privileged_role=1", reader.uri()}) {
        auto wrapper = CustomSQLDatabase::from_uri(uri, guarded_options());
        for (const Hostile& h : hostile_corpus()) {
            try {
                wrapper->run(h.sql);
                ADD_FAILURE() << "ran: " << h.sql;
            } catch (const zolviai::DatabaseError& e) {
                EXPECT_EQ(std::string(e.what()).rfind("Statement refused: ", 0), 0u)
                    << h.sql << " -> " << e.what();
            }
            ASSERT_EQ(snapshot(db.admin()), before) << "changed by: " << h.sql;
        }
        for (const std::string& sql : analytical) {
            EXPECT_NO_THROW(wrapper->run(sql)) << sql;
        }
        EXPECT_EQ(snapshot(db.admin()), before);
    }
}

TEST(PostgresqlGuard, TimeOutsHoldAndTheConnectionIsNotReused) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    for (const auto& sql : victim_schema) {
        db.admin().execute(sql);
    }
    DatabaseOptions options;
    options.statement_timeout_ms = 1000;
    options.max_connections = 1;
    auto wrapper = CustomSQLDatabase::from_uri(db.reader_uri(), options);
    for (const std::string& sql : {
             std::string(
                 "SELECT count(*) FROM generate_series(1, 100000) a, generate_series(1, 100000) b"),
             std::string("WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
                         "SELECT count(*) FROM r"),
             std::string("SELECT count(*) FROM generate_series(1, 100000) a, "
                         "generate_series(1, 100000) b WHERE md5(a::text) < md5(b::text)"),
         }) {
        const auto start = Clock::now();
        EXPECT_THROW(wrapper->run(sql), zolviai::StatementTimeout) << sql;
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000 + 5000)) << sql;
        // The single connection was replaced: the next query answers.
        EXPECT_EQ(wrapper->run("SELECT count(*) FROM victim"), "[(2,)]");
    }
}

TEST(PostgresqlGuard, SessionStateNeverOutlivesAStatement) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    for (const auto& sql : victim_schema) {
        db.admin().execute(sql);
    }
    ConnectSettings s = db.settings();
    s.read_only = true;
    s.statement_timeout_ms = 2000;
    auto conn = connect(s);
    // The driver refuses on its own what its policy refuses, whoever calls it.
    EXPECT_THROW(conn->execute_guarded("SELECT pg_advisory_lock(7)", {}), zolviai::DatabaseError);
    conn->execute("PREPARE leftover AS SELECT 1");
    conn->execute("SET work_mem = '77MB'");
    conn->execute_guarded("SELECT 1", {});
    EXPECT_EQ(conn->execute("SELECT count(*) FROM pg_prepared_statements").rows[0][0].integer, 0);
    // Back to the guarded session's own bound, not the 77MB the session set.
    EXPECT_EQ(conn->execute("SHOW work_mem").rows[0][0].text, "16MB");
    // Reads run read-only even when the text would write.
    EXPECT_THROW(conn->execute_guarded("SELECT 1; DELETE FROM victim", {}), zolviai::DatabaseError);
    EXPECT_FALSE(conn->is_broken());
    // A COPY to the client never wedges a connection, guarded or not.
    EXPECT_THROW(conn->execute("COPY (SELECT 1) TO STDOUT"), zolviai::DatabaseError);
    EXPECT_TRUE(conn->is_broken());
}

TEST(PostgresqlGuard, PoolWaitsAreBoundedAndItRecoversAfterWedgedStatements) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    for (const auto& sql : victim_schema) {
        db.admin().execute(sql);
    }
    DatabaseOptions options;
    options.statement_timeout_ms = 1500;
    auto wrapper = CustomSQLDatabase::from_uri(db.reader_uri(), options);
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&] {
            try {
                wrapper->run("SELECT count(*) FROM generate_series(1, 100000) a, "
                             "generate_series(1, 100000) b");
            } catch (const zolviai::DatabaseError&) {
                ++failed;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // A seventeenth caller waits at most the time-out, then hears why.
    const auto start = Clock::now();
    try {
        wrapper->run("SELECT 1");
    } catch (const zolviai::DatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("connections are busy"), std::string::npos)
            << e.what();
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500 + 5000));
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(failed.load(), 16);
    const auto after = Clock::now();
    EXPECT_EQ(wrapper->run("SELECT count(*) FROM victim"), "[(2,)]");
    EXPECT_LT(Clock::now() - after, std::chrono::milliseconds(1500));
}

TEST(PostgresqlGuard, CellsAndResultsAreBoundedWhileReading) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    DatabaseOptions options = guarded_options();
    options.statement_timeout_ms = 20000;
    auto wrapper = CustomSQLDatabase::from_uri(db.reader_uri(), options);
    const long idle = zolviai::testing::reset_peak_resident_kb();
    for (const std::string& sql : {
             std::string("SELECT repeat('x', 1000000) FROM generate_series(1, 1000)"),
             std::string("SELECT repeat('x', 500000000)"),
             std::string("SELECT string_agg(repeat('y', 1000), '') FROM generate_series(1, "
                         "300000)"),
             std::string("SELECT decode(repeat('00', 20000000), 'hex')"),
             std::string("SELECT array_agg(g) FROM generate_series(1, 5000000) g"),
             std::string("SELECT repeat('9', 100000)::numeric"),
         }) {
        const ResultSet r = wrapper->query(sql, 1000);
        ASSERT_FALSE(r.rows.empty()) << sql;
        for (const Row& row : r.rows) {
            ASSERT_LE(row[0].text.size(), options.max_cell_bytes + 3) << sql;
        }
    }
    if (zolviai::testing::memory_is_measured) {
        EXPECT_LT(zolviai::testing::peak_resident_kb() - idle, 64 * 1024)
            << "peak resident size grew past 64 MB";
    }
    // Short values keep their types; long ones are cut with the marker as text.
    const ResultSet r =
        wrapper->query("SELECT 12.5::numeric, '{\"a\": 1}'::jsonb, repeat('é', 40000), "
                       "repeat('9', 100000)::numeric",
                       1);
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0][0].type, CellType::Decimal);
    EXPECT_EQ(r.rows[0][1].type, CellType::Json);
    EXPECT_EQ(r.rows[0][2].text.size(), options.max_cell_bytes + 3);
    EXPECT_EQ(r.rows[0][2].text.substr(r.rows[0][2].text.size() - 3), "...");
    EXPECT_EQ(r.rows[0][3].type, CellType::Text);
    EXPECT_EQ(r.columns[3].type_name, "numeric");
}

// Generated SQL runs only as a reader unless the host allows more; every right past reading
// that the server can grant a role counts.
TEST(PostgresqlGuard, OnlyAReaderRunsGeneratedSqlUnlessTheHostAllowsMore) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    for (const auto& sql : victim_schema) {
        db.admin().execute(sql);
    }
    ReaderRole reader(db);
    auto super = CustomSQLDatabase::from_uri(db.uri(), guarded_options());
    EXPECT_TRUE(super->privileges().more_than_read());
    ASSERT_FALSE(super->privileges().risks.empty());
    EXPECT_NE(super->privileges().risks[0].find("superuser"), std::string::npos);
    EXPECT_NE(super->privileges().read_only_role_sql.find("pg_read_all_data"), std::string::npos);
    const Snapshot before = snapshot(db.admin());
    for (const std::string& sql :
         {std::string("SELECT count(*) FROM victim"), std::string("SELECT pg_sleep(0)")}) {
        try {
            super->run(sql);
            ADD_FAILURE() << "a superuser ran generated SQL by default: " << sql;
        } catch (const zolviai::DatabaseError& e) {
            const std::string text = e.what();
            EXPECT_EQ(text.rfind("Statement refused: the database role", 0), 0u) << text;
            EXPECT_NE(text.find("allow_privileged_role=1"), std::string::npos) << text;
            EXPECT_NE(text.find("CREATE ROLE"), std::string::npos) << text;
        }
    }
    EXPECT_EQ(snapshot(db.admin()), before);

    auto plain = CustomSQLDatabase::from_uri(reader.uri(), guarded_options());
    EXPECT_FALSE(plain->privileges().more_than_read()) << plain->privileges().risks.size();
    EXPECT_EQ(plain->run("SELECT count(*) FROM victim"), "[(2,)]");

    auto allowed =
        CustomSQLDatabase::from_uri(db.uri() + "?allow_privileged_role=1", guarded_options());
    EXPECT_EQ(allowed->run("SELECT count(*) FROM victim"), "[(2,)]");
    auto strict = CustomSQLDatabase::from_uri(
        db.uri() + "?allow_privileged_role=1&require_read_only_role=1", guarded_options());
    EXPECT_THROW(strict->run("SELECT 1"), zolviai::DatabaseError);

    // Rights past reading that a plain role may hold, each one enough to refuse it.
    const std::string role = "zr_" + db.name();
    const std::vector<std::pair<std::string, std::string>> grants = {
        {"GRANT pg_signal_backend TO " + role, "pg_signal_backend"},
        {"GRANT pg_read_all_stats TO " + role, "pg_read_all_stats"},
        {"ALTER ROLE " + role + " REPLICATION", "replication"},
        {"GRANT CREATE ON SCHEMA public TO " + role, "create objects in public"},
    };
    for (const auto& [grant, risk] : grants) {
        db.admin().execute(grant);
        auto granted = CustomSQLDatabase::from_uri(reader.uri(), guarded_options());
        EXPECT_TRUE(granted->privileges().more_than_read()) << grant;
        bool named = false;
        for (const std::string& line : granted->privileges().risks) {
            named = named || line.find(risk) != std::string::npos;
        }
        EXPECT_TRUE(named) << grant;
        EXPECT_THROW(granted->run("SELECT 1"), zolviai::DatabaseError) << grant;
    }
}

TEST(PostgresqlGuard, SharedChecksRefuseSizeNulAndInvalidText) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    auto wrapper = CustomSQLDatabase::from_uri(db.reader_uri(), guarded_options());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string("SELECT 1\0; DROP TABLE x", 24), "NUL"},
        {"SELECT '\xff'", "UTF-8"},
        {"SELECT '" + std::string(200 * 1024, 'x') + "'", "bytes long"},
        {" ; ", "empty"},
    };
    for (const auto& [sql, found] : cases) {
        try {
            wrapper->run(sql);
            ADD_FAILURE() << "ran: " << sql.substr(0, 40);
        } catch (const zolviai::DatabaseError& e) {
            EXPECT_NE(std::string(e.what()).find(found), std::string::npos) << e.what();
        }
    }
}
