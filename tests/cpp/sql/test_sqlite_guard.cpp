// The guard for generated SQL on SQLite, against real database files. SQLite runs in this
// process: a statement that crashes it, outlasts its time-out or makes a huge value would
// crash, stall or bloat the test itself, so each hostile statement is also timed and the
// process's peak memory watched.
#include "sql/corpus.hpp"
#include "sql/sql_test_support.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/connection.hpp"
#include "zolviai/sql/guard.hpp"
#include "zolviai/sql/sql_database.hpp"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace zolviai::sql {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int timeout_ms = 1000;

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::set<std::string> directory_listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// A database file with a little of everything ordinary analytical SQL reads.
class SqliteGuard : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.path() + "/shop.db";
        ConnectSettings plain;
        plain.database = path_;
        std::unique_ptr<Connection> admin = connect(plain);
        for (const char* sql : {
                 "CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, category TEXT, "
                 "price REAL, created TEXT, doc TEXT, data BLOB)",
                 "CREATE TABLE orders (id INTEGER PRIMARY KEY, item_id INTEGER REFERENCES "
                 "items(id), customer TEXT, qty INTEGER)",
                 "CREATE INDEX orders_item ON orders(item_id)",
                 "CREATE VIEW cheap_items AS SELECT name, instr(name, 'g') AS g FROM items "
                 "WHERE price < 10",
                 "INSERT INTO items VALUES "
                 "(1, 'widget', 'tools', 9.5, '2024-01-15 10:00:00', "
                 "'{\"color\":\"red\",\"size\":3,\"tags\":[\"a\",\"b\"]}', x'00ff10'),"
                 "(2, 'gadget', 'tools', 25.0, '2024-02-20 12:30:00', "
                 "'{\"color\":\"blue\",\"size\":5,\"tags\":[\"c\"]}', x''),"
                 "(3, 'gizmo', 'toys', 4.25, '2024-03-01 08:15:00', "
                 "'{\"color\":\"green\",\"size\":1,\"tags\":[]}', NULL),"
                 "(4, 'Überding', 'toys', 99.0, '2023-12-31 23:59:59', '{}', x'41')",
                 "INSERT INTO orders VALUES (1, 1, 'ann', 2), (2, 1, 'bob', 1), "
                 "(3, 2, 'ann', 5), (4, 4, 'cid', 1)",
             }) {
            admin->execute(sql);
        }
        admin.reset();
        bytes_ = file_bytes(path_);
        listing_ = directory_listing(dir_.path());
        guarded_ = open_guarded(path_);
    }

    static std::unique_ptr<Connection> open_guarded(const std::string& database,
                                                    int statement_timeout_ms = timeout_ms) {
        ConnectSettings s;
        s.database = database;
        s.read_only = true;
        s.sqlite_create = false;
        s.statement_timeout_ms = statement_timeout_ms;
        return connect(s);
    }

    struct Outcome {
        std::optional<std::string> refusal;
        std::optional<std::string> error;
        ResultSet result;
        double seconds = 0;
    };

    // What the wrapper does with a generated statement: the guard's check, then the guarded
    // run when the check lets it through.
    Outcome run(Connection& conn, const std::string& sql) {
        Outcome out;
        const Clock::time_point start = Clock::now();
        out.refusal = refusal_reason(conn, sql, GuardOptions{});
        if (!out.refusal) {
            ExecuteOptions options;
            options.max_rows = 100;
            options.max_cell_bytes = 64 * 1024;
            options.max_result_bytes = 4 * 1024 * 1024;
            try {
                out.result = conn.execute_guarded(sql, options);
            } catch (const DatabaseError& e) {
                out.error = e.what();
            }
        }
        out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return out;
    }

    // The file and its directory are as they were, and the connection still answers.
    void expect_untouched(const std::string& sql) {
        EXPECT_EQ(file_bytes(path_), bytes_) << "the database file changed after: " << sql;
        EXPECT_EQ(directory_listing(dir_.path()), listing_) << "a file appeared after: " << sql;
        EXPECT_FALSE(guarded_->is_broken()) << sql;
        const ResultSet r = guarded_->execute_guarded("SELECT count(*) FROM items", {});
        ASSERT_EQ(r.rows.size(), 1u) << sql;
        EXPECT_EQ(r.rows[0][0].integer, 4) << sql;
    }

    testing::TempDir dir_;
    std::string path_;
    std::string bytes_;
    std::set<std::string> listing_;
    std::unique_ptr<Connection> guarded_;
};

enum class Expect {
    Refused, // refusal_reason names the construct (the substring given)
    Blocked, // refused, or the engine refuses it with an error: never runs to completion
    Bounded, // may run or fail, but within the time-out and memory bounds
};

struct HostileCase {
    const char* group;
    const char* sql;
    Expect expect;
    const char* reason; // a substring of the refusal, for Refused
};

// Memory bombs first and in their own test, so that the process's peak memory (VmHWM) is
// still low enough to show growth.
TEST_F(SqliteGuard, MemoryBombsFailFastWithinBoundedMemory) {
    const HostileCase cases[] = {
        {"memory", "SELECT length(zeroblob(500000000))", Expect::Blocked, ""},
        {"memory", "SELECT zeroblob(500000000)", Expect::Blocked, ""},
        {"memory", "SELECT length(randomblob(500000000))", Expect::Blocked, ""},
        {"memory", "SELECT length(printf('%.*c', 1e9, 'x'))", Expect::Bounded, ""},
        {"memory", "SELECT length(printf('%.*c', 1000000000, 'x'))", Expect::Bounded, ""},
        {"memory", "SELECT length(printf('%1000000000d', 1))", Expect::Bounded, ""},
        {"memory", "SELECT length(printf('%.1000000000f', 1.0))", Expect::Bounded, ""},
        {"memory", "SELECT length(hex(randomblob(1000000)))", Expect::Blocked, ""},
        {"memory", "SELECT length(quote(zeroblob(1000000)))", Expect::Blocked, ""},
        {"memory", "SELECT length(replace(printf('%.*c', 1000000, 'a'), 'a', 'bb'))",
         Expect::Blocked, ""},
        {"memory",
         "WITH RECURSIVE r(n, s) AS (SELECT 1, 'x' UNION ALL SELECT n + 1, s || s FROM r) "
         "SELECT max(length(s)) FROM r",
         Expect::Blocked, ""},
        {"memory",
         "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
         "SELECT length(group_concat(printf('%.*c', 1000, 'x'))) FROM r",
         Expect::Blocked, ""},
        {"memory",
         "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
         "SELECT length(json_group_array(hex(randomblob(1000)))) FROM r",
         Expect::Blocked, ""},
        // Big values that are allowed come back cut, and many of them stop at the result cap.
        {"memory", "SELECT zeroblob(1000000), printf('%.*c', 1000000, 'y')", Expect::Bounded, ""},
        {"memory",
         "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
         "SELECT randomblob(1000000) FROM r",
         Expect::Bounded, ""},
    };
    const long before = zolviai::testing::reset_peak_resident_kb();
    ASSERT_GT(before, 0);
    for (const HostileCase& c : cases) {
        const Outcome out = run(*guarded_, c.sql);
        if (c.expect == Expect::Blocked) {
            EXPECT_TRUE(out.refusal || out.error) << c.sql << " ran to completion";
        }
        if (out.error && c.expect == Expect::Blocked) {
            EXPECT_TRUE(out.error->find("too big") != std::string::npos ||
                        out.error->find("MB of memory") != std::string::npos ||
                        out.error->find("time-out") != std::string::npos)
                << c.sql << ": " << *out.error;
        }
        for (const Row& row : out.result.rows) {
            for (const Cell& cell : row) {
                EXPECT_LE(cell.text.size(), 64u * 1024 + 3) << c.sql << ": a cell was not cut";
                // SQL printf stops at the length limit rather than failing.
                EXPECT_LE(cell.integer, 1 << 20) << c.sql << ": a value passed the length limit";
            }
        }
        EXPECT_LT(out.seconds, timeout_ms / 1000.0 + 5) << c.sql;
        if (zolviai::testing::memory_is_measured) {
            EXPECT_LT(zolviai::testing::peak_resident_kb() - before, 64 * 1024)
                << "peak memory grew by more than 64 MB after " << c.sql;
        }
        expect_untouched(c.sql);
    }
}

TEST_F(SqliteGuard, HostileCorpusIsRefusedOrBounded) {
    const std::string elsewhere = dir_.path() + "/elsewhere.db";
    const std::string attach = "ATTACH DATABASE '" + elsewhere + "' AS evil";
    const std::string vacuum_into = "VACUUM INTO '" + elsewhere + "'";
    const HostileCase cases[] = {
        // Stacked statements, also where a parameter name swallows a quote.
        {"stacked", "SELECT 1; DROP TABLE items", Expect::Refused, "more than one statement"},
        {"stacked", "SELECT 1; SELECT 2", Expect::Refused, "more than one statement"},
        {"stacked", "SELECT @a(') ; DELETE FROM items; --')", Expect::Refused,
         "more than one statement"},
        {"stacked", "SELECT $a(') ; DELETE FROM items; --')", Expect::Refused,
         "more than one statement"},
        {"stacked", "SELECT :a ; DELETE FROM items", Expect::Refused, "more than one statement"},
        {"stacked", "SELECT 1 -- a comment\n; DELETE FROM items", Expect::Refused,
         "more than one statement"},
        {"stacked", "SELECT 1 /* ; */; INSERT INTO orders VALUES (9, 1, 'x', 1)", Expect::Refused,
         "more than one statement"},
        {"stacked", "SELECT 1;\r\nATTACH 'x.db' AS y", Expect::Refused, "more than one statement"},
        {"stacked", "SELECT 1; BEGIN", Expect::Refused, "more than one statement"},
        {"stacked", "SELECT 1; PRAGMA query_only = 0", Expect::Refused, "more than one statement"},
        {"parameters", "SELECT @a(')", Expect::Refused, "parameter"},
        {"parameters", "SELECT * FROM items WHERE id = :id", Expect::Refused, "parameter"},
        {"parameters", "SELECT ?1", Expect::Refused, "parameter"},
        // Other databases and files.
        {"attach", attach.c_str(), Expect::Refused, "ATTACH"},
        {"attach", "ATTACH 'file:mem?mode=memory' AS m", Expect::Refused, "ATTACH"},
        {"attach", "DETACH DATABASE temp", Expect::Blocked, ""},
        {"attach", vacuum_into.c_str(), Expect::Blocked, ""},
        {"attach", "VACUUM", Expect::Blocked, ""},
        // PRAGMAs that set something, also as table-valued functions.
        {"pragma", "PRAGMA query_only = 0", Expect::Refused, "PRAGMA query_only"},
        {"pragma", "PRAGMA writable_schema = 1", Expect::Refused, "PRAGMA writable_schema"},
        {"pragma", "PRAGMA journal_mode = DELETE", Expect::Refused, "PRAGMA journal_mode"},
        {"pragma", "PRAGMA main.user_version = 7", Expect::Refused, "PRAGMA user_version"},
        {"pragma", "PRAGMA trusted_schema = 1", Expect::Refused, "PRAGMA trusted_schema"},
        {"pragma", "PRAGMA optimize", Expect::Refused, "PRAGMA optimize"},
        {"pragma", "PRAGMA wal_checkpoint(TRUNCATE)", Expect::Refused, "PRAGMA wal_checkpoint"},
        {"pragma", "PRAGMA temp_store_directory = '/tmp'", Expect::Refused, "PRAGMA temp_store"},
        {"pragma", "PRAGMA integrity_check", Expect::Refused, "PRAGMA integrity_check"},
        {"pragma", "SELECT * FROM pragma_optimize(65534)", Expect::Refused, "pragma_optimize"},
        {"pragma", "SELECT * FROM pragma_journal_mode", Expect::Refused, "pragma_journal_mode"},
        {"pragma", "SELECT * FROM pragma_query_only", Expect::Refused, "pragma_query_only"},
        // Writes, also behind a CTE.
        {"write", "WITH x AS (SELECT 1) DELETE FROM items", Expect::Refused,
         "a write to table items"},
        {"write", "WITH x AS (SELECT 1) INSERT INTO orders(id) SELECT 99 FROM x", Expect::Refused,
         "a write to table orders"},
        {"write", "WITH x AS (SELECT 1) UPDATE items SET name = 'z'", Expect::Refused,
         "a write to table items"},
        {"write", "INSERT INTO orders(id) VALUES (100) RETURNING id", Expect::Refused,
         "a write to table orders"},
        {"write", "REPLACE INTO items(id) VALUES (1)", Expect::Refused, "a write to table items"},
        {"write", "UPDATE sqlite_master SET sql = 'x'", Expect::Blocked, ""},
        {"write", "CREATE TEMP TABLE tt(a)", Expect::Refused, "CREATE TABLE"},
        {"write", "CREATE TEMP VIEW tv AS SELECT 1", Expect::Refused, "CREATE VIEW"},
        {"write", "CREATE TEMP TRIGGER tr AFTER INSERT ON items BEGIN SELECT 1; END",
         Expect::Refused, "CREATE TRIGGER"},
        {"write", "DROP TABLE items", Expect::Refused, "DROP"},
        {"write", "ALTER TABLE items ADD COLUMN z", Expect::Refused, "ALTER TABLE"},
        {"write", "CREATE VIRTUAL TABLE temp.tok USING fts3tokenize(simple)", Expect::Refused,
         "CREATE VIRTUAL TABLE"},
        {"write", "ANALYZE", Expect::Refused, "a statement of kind"},
        {"write", "REINDEX", Expect::Refused, "REINDEX"},
        {"write", "BEGIN IMMEDIATE", Expect::Refused, "transaction"},
        {"write", "SAVEPOINT s", Expect::Refused, "savepoint"},
        // Functions that reach the process, the file system or other statements.
        {"function", "SELECT hex(fts3_tokenizer('simple'))", Expect::Refused,
         "the function fts3_tokenizer is not on the list"},
        {"function", "SELECT fts3_tokenizer('simple', x'4141414141414141')", Expect::Refused,
         "fts3_tokenizer"},
        {"function", "SELECT name FROM items WHERE fts3_tokenizer('porter') IS NOT NULL",
         Expect::Refused, "fts3_tokenizer"},
        {"function", "SELECT load_extension('/lib/x86_64-linux-gnu/libc.so.6')", Expect::Refused,
         "load_extension"},
        {"function", "SELECT readfile('/etc/passwd')", Expect::Blocked, ""},
        {"function", "SELECT writefile('/tmp/zolviai-evil', 'x')", Expect::Blocked, ""},
        {"function", "SELECT sqlite_compileoption_get(0)", Expect::Refused,
         "sqlite_compileoption_get"},
        {"function", "SELECT changes(), last_insert_rowid()", Expect::Refused, "changes"},
        {"function", "SELECT rtreenode(2, x'0000')", Expect::Refused, "rtreenode"},
        {"function", "SELECT sqlite_log(1, 'x')", Expect::Refused, "sqlite_log"},
        {"function", "SELECT fts5(NULL)", Expect::Refused, "fts5"},
        // Single calls that SQLite's own functions would spend minutes in.
        {"timeout",
         "SELECT instr(printf('%.*c', 1000000, 'a'), printf('%.*c', 500000, 'a') || 'b')",
         Expect::Bounded, ""},
        {"timeout", "SELECT instr(hex(zeroblob(500000)), printf('%.*c', 300000, '0') || '1')",
         Expect::Bounded, ""},
        {"timeout",
         "SELECT length(replace(printf('%.*c', 1000000, 'a'), printf('%.*c', 400000, 'a') || "
         "'b', 'x'))",
         Expect::Bounded, ""},
        {"timeout",
         "SELECT length(ltrim(printf('%.*c', 1000000, 'a'), printf('%.*c', 80000, 'b') || "
         "'a'))",
         Expect::Bounded, ""},
        {"timeout",
         "SELECT length(rtrim(hex(zeroblob(500000)), printf('%.*c', 80000, 'x') || '0'))",
         Expect::Bounded, ""},
        {"timeout",
         "SELECT length(trim(printf('%.*c', 1000000, 'é'), printf('%.*c', 40000, 'ü') || "
         "'é'))",
         Expect::Bounded, ""},
        {"timeout",
         "SELECT printf('%.*c', 1000000, 'a') LIKE '%' || printf('%.*c', 2000, 'a') || 'b%'",
         Expect::Blocked, ""},
        {"timeout",
         "SELECT printf('%.*c', 1000000, 'a') GLOB '*' || printf('%.*c', 490, 'a') || 'b*'",
         Expect::Bounded, ""},
        {"timeout",
         "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
         "SELECT count(*) FROM r",
         Expect::Blocked, ""},
        {"timeout",
         "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
         "SELECT max(instr(printf('%.*c', 100000, 'a'), 'b')) FROM r",
         Expect::Blocked, ""},
        {"timeout",
         "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 100000) "
         "SELECT count(*) FROM r a, r b",
         Expect::Blocked, ""},
        {"timeout",
         "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
         "SELECT n FROM r ORDER BY n DESC LIMIT 1",
         Expect::Blocked, ""},
    };
    std::set<std::string> groups;
    for (const HostileCase& c : cases) {
        groups.insert(c.group);
        const Outcome out = run(*guarded_, c.sql);
        switch (c.expect) {
        case Expect::Refused:
            ASSERT_TRUE(out.refusal.has_value())
                << c.sql << " was not refused" << (out.error ? "; it failed: " + *out.error : "");
            EXPECT_NE(out.refusal->find(c.reason), std::string::npos)
                << c.sql << " was refused for: " << *out.refusal;
            // The run itself refuses it too, without the check before it.
            EXPECT_THROW(guarded_->execute_guarded(c.sql, {}), DatabaseError) << c.sql;
            break;
        case Expect::Blocked:
            EXPECT_TRUE(out.refusal || out.error) << c.sql << " ran to completion";
            break;
        case Expect::Bounded:
            break;
        }
        EXPECT_LT(out.seconds, timeout_ms / 1000.0 + 5) << c.sql;
        if (out.seconds > 0.5) {
            std::printf("%.2f s: %s\n", out.seconds, c.sql);
        }
        expect_untouched(c.sql);
    }
    EXPECT_GE(std::size(cases), 50u);
    EXPECT_EQ(groups.size(), 7u);
}

TEST_F(SqliteGuard, OrdinaryAnalyticalStatementsRun) {
    const char* const statements[] = {
        "SELECT count(*) FROM items",
        "SELECT name, price FROM items WHERE price > 5 ORDER BY price DESC LIMIT 2",
        "WITH dear AS (SELECT * FROM items WHERE price > 5) SELECT count(*) FROM dear",
        "SELECT name, row_number() OVER (ORDER BY price), rank() OVER (PARTITION BY category "
        "ORDER BY price DESC) FROM items",
        "SELECT id, lag(price) OVER (ORDER BY id), lead(price, 1, 0) OVER (ORDER BY id), "
        "ntile(2) OVER (ORDER BY id), percent_rank() OVER (ORDER BY id) FROM items",
        "SELECT json_extract(doc, '$.color'), doc ->> '$.size', doc -> '$.tags' FROM items",
        "SELECT items.name, t.value FROM items, json_each(items.doc, '$.tags') AS t",
        "SELECT date(created), strftime('%Y-%m', created), julianday('2024-06-01') - "
        "julianday(created), unixepoch(created) FROM items",
        "SELECT count(*) FROM items WHERE created > date('now', '-30 days')",
        "SELECT name, CASE WHEN price > 10 THEN 'high' ELSE 'low' END FROM items",
        "SELECT CAST(price AS INTEGER), CAST('12' AS REAL), CAST(id AS TEXT) FROM items",
        "SELECT name FROM items WHERE name LIKE 'g%' ESCAPE '\\'",
        "SELECT category, avg(price), count(*) FROM items GROUP BY category HAVING count(*) > 1",
        "SELECT name FROM items WHERE price > (SELECT avg(price) FROM items)",
        "SELECT name FROM items UNION SELECT customer FROM orders ORDER BY 1",
        "SELECT o.id, i.name, o.qty * i.price AS total FROM orders o JOIN items i ON i.id = "
        "o.item_id",
        "SELECT i.name, coalesce(sum(o.qty), 0) FROM items i LEFT JOIN orders o ON o.item_id = "
        "i.id GROUP BY i.id",
        "SELECT * FROM pragma_table_info('items')",
        "PRAGMA table_info(items)",
        "PRAGMA index_list(orders)",
        "PRAGMA foreign_key_list(orders)",
        "SELECT m.name, p.name FROM sqlite_master m JOIN pragma_table_info(m.name) p "
        "WHERE m.type = 'table'",
        "SELECT name, sql FROM sqlite_master WHERE type = 'table'",
        "SELECT instr(name, 'g'), replace(name, 'g', 'G'), trim('  x  '), ltrim('xxabc', 'x'), "
        "rtrim(name, 'teg') FROM items",
        "SELECT group_concat(name, ', ') FROM items",
        "SELECT printf('%.2f', price), format('%d items', count(*)) FROM items GROUP BY id",
        "SELECT name FROM items i WHERE EXISTS (SELECT 1 FROM orders o WHERE o.item_id = i.id)",
        "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 10) "
        "SELECT sum(n) FROM r",
        "-- the three cheapest\nSELECT name FROM items /* by price */ ORDER BY price LIMIT 3;",
        "SELECT 1;;  -- trailing\n /* done */ ;",
        "SELECT iif(price > 10, 'a', 'b'), nullif(qty, 1), ifnull(NULL, 2), round(price, 1), "
        "abs(-price), upper(name), lower(name), substr(name, 2, 3), length(name) FROM items "
        "JOIN orders ON orders.item_id = items.id",
        "EXPLAIN QUERY PLAN SELECT * FROM items WHERE id = 1",
        "SELECT total(price), min(price), max(price), typeof(data), hex(data) FROM items",
        "SELECT * FROM cheap_items",
        "SELECT sqlite_version()",
    };
    for (const char* sql : statements) {
        const Outcome out = run(*guarded_, sql);
        EXPECT_FALSE(out.refusal) << sql << " was refused: " << out.refusal.value_or("");
        EXPECT_FALSE(out.error) << sql << " failed: " << out.error.value_or("");
        if (std::string(sql).rfind("SELECT 1;", 0) != 0) {
            EXPECT_FALSE(out.result.columns.empty()) << sql;
        }
    }
    // The library's own catalog queries still run on the same connection afterwards.
    const ResultSet columns = guarded_->execute(
        "SELECT m.name, p.name, p.type, p.\"notnull\", p.pk FROM sqlite_master m "
        "JOIN pragma_table_info(m.name) p WHERE m.type IN ('table', 'view') AND m.name IN "
        "('items', 'cheap_items')");
    EXPECT_EQ(columns.rows.size(), 9u);
    const ResultSet tables = guarded_->execute(
        "SELECT name FROM sqlite_master WHERE type IN ('table', 'view') AND name NOT LIKE "
        "'sqlite\\_%' ESCAPE '\\'");
    EXPECT_EQ(tables.rows.size(), 3u);
    expect_untouched("the ordinary statements");
}

// Every value the replacements could meet, and their combinations, on a plain connection
// (SQLite's own functions) and a guarded one (ours): the results must be the same bytes of the
// same types.
TEST_F(SqliteGuard, BoundedFunctionsGiveSqlitesOwnResults) {
    const std::string values_path = dir_.path() + "/values.db";
    ConnectSettings plain_settings;
    plain_settings.database = values_path;
    std::unique_ptr<Connection> plain = connect(plain_settings);
    plain->execute("CREATE TABLE v (x)");
    const char* const literals[] = {"NULL",
                                    "''",
                                    "'a'",
                                    "'aa'",
                                    "'aaa'",
                                    "'aaaa'",
                                    "'b'",
                                    "'ab'",
                                    "'ba'",
                                    "'abc'",
                                    "'bca'",
                                    "'xyxxy'",
                                    "'xy'",
                                    "'  spaced  '",
                                    "' '",
                                    "0",
                                    "12",
                                    "-3",
                                    "1.5",
                                    "2.0",
                                    "1e20",
                                    "'1'",
                                    "'2'",
                                    "x''",
                                    "x'00'",
                                    "x'61'",
                                    "x'6161'",
                                    "x'ff00ff'",
                                    "x'c3a9'",
                                    "'héllo'",
                                    "'é'",
                                    "'éé'",
                                    "'ééé'",
                                    "'he'",
                                    "'日本語'",
                                    "'本'",
                                    "'語'",
                                    "CAST(x'610062' AS TEXT)",
                                    "CAST(x'00' AS TEXT)",
                                    "CAST(x'0061' AS TEXT)",
                                    "CAST(x'80c3' AS TEXT)",
                                    "CAST(x'c3a9a9' AS TEXT)",
                                    "CAST(x'c3' AS TEXT)",
                                    "CAST(x'a9' AS TEXT)",
                                    "CAST(x'c361' AS TEXT)",
                                    "CAST(x'a9c3a9' AS TEXT)",
                                    "CAST(x'e6' AS TEXT)",
                                    "CAST(x'c3a9a9a9c3a9' AS TEXT)",
                                    "CAST(x'a9a9c3' AS TEXT)"};
    for (const char* literal : literals) {
        plain->execute(std::string("INSERT INTO v VALUES (") + literal + ")");
    }
    // Random byte strings over an alphabet of ASCII, lead, continuation and NUL bytes.
    std::mt19937 random(20240611);
    const unsigned char alphabet[] = {'a', 'b', 0xC3, 0xA9, 0x80, 0xE6, 0x97, 0xA5, 0x00, ' '};
    for (int i = 0; i < 40; ++i) {
        std::string hex;
        const int n = static_cast<int>(random() % 9);
        for (int k = 0; k < n; ++k) {
            char buf[3];
            std::snprintf(buf, sizeof buf, "%02x", alphabet[random() % sizeof alphabet]);
            hex += buf;
        }
        plain->execute("INSERT INTO v VALUES (" +
                       std::string(i % 4 == 0 ? "x'" + hex + "'" : "CAST(x'" + hex + "' AS TEXT)") +
                       ")");
    }
    plain->execute("CREATE TABLE r (y)");
    plain->execute("INSERT INTO r VALUES (NULL), (''), ('b'), ('xyz'), (7), (x'00'), ('é')");
    // A comparison of results, not of time: slow builds (sanitizers) get all the time they need.
    std::unique_ptr<Connection> guarded = open_guarded(values_path, 120000);

    plain->execute("CREATE TABLE f (fmt)");
    plain->execute("INSERT INTO f VALUES ('%d'), ('%5.2f'), ('%s|%s'), ('%c'), ('%.3c'), "
                   "('%-5s|'), ('%q'), ('%Q'), ('%w'), ('%x'), ('%05d'), ('%,d'), ('%!.3g'), "
                   "('%e'), ('%%'), ('%.*c'), ('%*d'), ('%z'), ('%p'), ('%lld'), ('%'), ('abc'), "
                   "(NULL), ('%T'), ('%.2c%c'), ('%5-c'), (12)");
    plain->execute("CREATE TABLE few AS SELECT x FROM v WHERE rowid <= 30");
    // The third column says which row of r (or f) a call used.
    const char* const calls[] = {
        "instr(a.x, b.x)",        "trim(a.x, b.x)",          "ltrim(a.x, b.x)",   "rtrim(a.x, b.x)",
        "replace(a.x, b.x, r.y)", "printf(r.fmt, a.x, b.x)", "format(r.fmt, a.x)"};
    for (const char* call : calls) {
        const std::string c = call;
        const bool three = c.find("r.") != std::string::npos;
        const bool formats = c.find("fmt") != std::string::npos;
        const std::string sql = "SELECT a.rowid, b.rowid, " + std::string(three ? "r.rowid" : "0") +
                                ", typeof(" + c + "), hex(" + c + ") FROM v a, " +
                                (formats ? "few" : "v") + " b" +
                                (three ? (formats ? ", f r" : ", r") : "") + " ORDER BY 1, 2, 3";
        const ResultSet expected = plain->execute(sql);
        const ResultSet got = guarded->execute_guarded(sql, {});
        ASSERT_EQ(got.rows.size(), expected.rows.size()) << call;
        ASSERT_GT(expected.rows.size(), 1000u);
        int differences = 0;
        for (std::size_t i = 0; i < expected.rows.size() && differences < 10; ++i) {
            for (std::size_t c = 3; c < 5; ++c) {
                if (got.rows[i][c].text != expected.rows[i][c].text) {
                    ++differences;
                    ADD_FAILURE() << call << " on rows " << expected.rows[i][0].text << ", "
                                  << expected.rows[i][1].text << ", " << expected.rows[i][2].text
                                  << ": SQLite gives " << expected.rows[i][c].text << ", ours "
                                  << got.rows[i][c].text;
                }
            }
        }
    }
}

TEST_F(SqliteGuard, TimeOutLeavesTheConnectionUsable) {
    const Outcome out =
        run(*guarded_, "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
                       "SELECT count(*) FROM r");
    ASSERT_TRUE(out.error.has_value());
    EXPECT_NE(out.error->find("time-out of 1000 ms"), std::string::npos) << *out.error;
    EXPECT_GE(out.seconds, 0.9);
    EXPECT_LT(out.seconds, 6.0);
    EXPECT_FALSE(guarded_->is_broken());
    expect_untouched("a statement past its time-out");
}

TEST_F(SqliteGuard, InvalidUtf8TextIsAnErrorAndCellsAreCut) {
    ExecuteOptions options;
    options.max_cell_bytes = 10;
    EXPECT_THROW(guarded_->execute_guarded("SELECT CAST(x'80ff' AS TEXT)", options), DatabaseError);
    const ResultSet r = guarded_->execute_guarded(
        "SELECT printf('%.*c', 100, 'é'), zeroblob(100), 'short'", options);
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0][0].text, "ééééé...");
    EXPECT_EQ(r.rows[0][1].text, std::string(10, '\0') + "...");
    EXPECT_EQ(r.rows[0][2].text, "short");
}

// The check compiles the statement execution runs next; another text is compiled afresh, and
// a refused text is refused again by execution itself.
TEST_F(SqliteGuard, ExecutionRunsTheTextItIsGivenWhateverWasCheckedBefore) {
    ASSERT_FALSE(guarded_->refusal_reason("SELECT 1"));
    EXPECT_EQ(guarded_->execute_guarded("SELECT 2", {}).rows.at(0).at(0).integer, 2);
    ASSERT_FALSE(guarded_->refusal_reason("SELECT count(*) FROM items"));
    EXPECT_EQ(guarded_->execute_guarded("SELECT count(*) FROM items", {}).rows.at(0).at(0).integer,
              4);
    // Checked once, run twice: the second run compiles it again.
    EXPECT_EQ(guarded_->execute_guarded("SELECT count(*) FROM items", {}).rows.at(0).at(0).integer,
              4);
    ASSERT_TRUE(guarded_->refusal_reason("DELETE FROM items"));
    EXPECT_THROW(guarded_->execute_guarded("DELETE FROM items", {}), DatabaseError);
    expect_untouched("checked, then run");
}

// Statements whose cost lies in the compiler or inside one call (json_patch, prepare of nested
// CTEs, huge widths): refused by name, or stopped by a limit, the compile budget or the
// deadline's interrupt, within the time-out and its grace, the host's memory bounded.
TEST_F(SqliteGuard, CorpusFileHoldsInsideItsDeadline) {
    const auto corpus = testing::read_corpus("sqlite_attacks.txt");
    ASSERT_GE(corpus.size(), 20u);
    const long idle = testing::reset_peak_resident_kb();
    for (const testing::CorpusEntry& e : corpus) {
        const std::string where = "line " + std::to_string(e.line) + ": " + e.sql.substr(0, 80);
        const Outcome out = run(*guarded_, e.sql);
        switch (e.expect) {
        case testing::CorpusEntry::Expect::Refused:
            ASSERT_TRUE(out.refusal) << where << (out.error ? " failed: " + *out.error : "");
            EXPECT_NE(out.refusal->find(e.found), std::string::npos)
                << where << ": " << *out.refusal;
            break;
        case testing::CorpusEntry::Expect::Allowed:
            EXPECT_FALSE(out.refusal) << where << ": " << *out.refusal;
            EXPECT_FALSE(out.error) << where << ": " << *out.error;
            break;
        case testing::CorpusEntry::Expect::Held:
            if (out.error) {
                EXPECT_LT(out.error->size(), 5000u) << where;
            }
            break;
        }
        EXPECT_LT(out.seconds, timeout_ms / 1000.0 + 5) << where;
        if (out.seconds > 0.5) {
            std::printf("%.2f s: %s -> %s\n", out.seconds, where.c_str(),
                        out.refusal ? out.refusal->c_str() : out.error.value_or("rows").c_str());
        }
        expect_untouched(where);
    }
    const long grown_mb = (testing::peak_resident_kb() - idle) / 1024;
    std::printf("sqlite corpus: host peak %ld MB above idle\n", grown_mb);
    if (testing::memory_is_measured) {
        EXPECT_LT(grown_mb, 64);
    }
}

// The deadline's interrupt also stops a statement in the compiler, where no progress handler
// runs, and the connection answers again at once.
TEST_F(SqliteGuard, DeadlineInterruptsAndTheConnectionStaysUsable) {
    const auto start = Clock::now();
    const Outcome out =
        run(*guarded_, "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
                       "SELECT count(*) FROM r");
    ASSERT_TRUE(out.error);
    EXPECT_NE(out.error->find("interrupted"), std::string::npos) << *out.error;
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), timeout_ms / 1000.0 + 5);
    expect_untouched("after the interrupt");
}

TEST_F(SqliteGuard, OrdinaryPrepareErrorsAreTheEnginesNotRefusals) {
    EXPECT_FALSE(guarded_->refusal_reason("SELECT * FROM no_such_table"));
    try {
        guarded_->execute_guarded("SELECT * FROM no_such_table", {});
        ADD_FAILURE() << "a missing table did not fail";
    } catch (const DatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("no such table: no_such_table"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(guarded_->refusal_reason("-- nothing"), "the statement is empty");
    EXPECT_TRUE(guarded_->refusal_reason(std::string("SELECT 1\0; DROP TABLE items", 26)));
}

TEST_F(SqliteGuard, WrapperStatementsStillRefuseTheTokenizerAndSecondStatements) {
    // The library's own path has no function list, but the tokenizer's pointers stay out.
    EXPECT_THROW(guarded_->execute("SELECT fts3_tokenizer('simple')"), DatabaseError);
    EXPECT_THROW(guarded_->execute("SELECT 1; DELETE FROM items"), DatabaseError);
    // A second statement the authorizer would not prepare is an error, not dropped.
    EXPECT_THROW(guarded_->execute("SELECT 1; ATTACH 'x.db' AS x"), DatabaseError);
    expect_untouched("the wrapper's statements");
}

TEST_F(SqliteGuard, PrivilegesTellWhetherTheFileCanBeWritten) {
    // Guarded connections are opened read-only by SQLite itself, whatever the file allows: the
    // report still says that the file could be written by this user.
    const PrivilegeReport writable = guarded_->privileges();
    EXPECT_FALSE(writable.can_write);
    EXPECT_FALSE(writable.server_files);
    ASSERT_FALSE(writable.risks.empty());
    EXPECT_NE(writable.risks.front().find("is writable by"), std::string::npos)
        << writable.risks.front();
    for (const std::string& risk : writable.risks) {
        EXPECT_EQ(risk.find("opened for reading and writing"), std::string::npos) << risk;
    }
    EXPECT_NE(writable.read_only_role_sql.find("mode=ro"), std::string::npos);

    std::unique_ptr<Connection> ro = open_guarded("file:" + path_ + "?mode=ro");
    const PrivilegeReport read_only = ro->privileges();
    EXPECT_FALSE(read_only.can_write);
    EXPECT_EQ(run(*ro, "SELECT count(*) FROM items").result.rows.at(0).at(0).integer, 4);

    ConnectSettings s;
    s.database = path_;
    std::unique_ptr<Connection> plain = connect(s);
    EXPECT_TRUE(plain->privileges().server_files);
    EXPECT_TRUE(plain->refusal_reason("SELECT 1").has_value());

    // The wrapper always opens the file read-only, and a missing file is an error rather than
    // a new, empty database.
    DatabaseOptions options;
    for (const std::string& uri : {"sqlite:///" + path_ + "?mode=ro", "sqlite:///" + path_,
                                   "sqlite:///" + path_ + "?mode=rw"}) {
        auto wrapper = CustomSQLDatabase::from_uri(uri, options);
        EXPECT_FALSE(wrapper->privileges().more_than_read()) << uri;
        EXPECT_EQ(wrapper->run("SELECT count(*) FROM items"), "[(4,)]") << uri;
    }
    const std::string missing = path_ + ".missing";
    EXPECT_THROW(CustomSQLDatabase::from_uri("sqlite:///" + missing, options),
                 zolviai::DatabaseError);
    EXPECT_FALSE(std::filesystem::exists(missing));
}

} // namespace
} // namespace zolviai::sql
