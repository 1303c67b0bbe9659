// The guard for generated SQL on MySQL/MariaDB: an adversarial corpus read by the lexer that
// follows the server's rules, then run against a real server (also with NO_BACKSLASH_ESCAPES
// in the server's global sql_mode), checking after each statement that nothing changed, that
// time-outs held, that memory stayed bounded and what the privilege report says.
#include "sql/corpus.hpp"
#include "sql/drivers/policies.hpp"
#include "sql/freezing_proxy.hpp"
#include "sql/sql_test_support.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/connection.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace zolviai::sql;
using zolviai::sql::drivers::FunctionAllowList;
using zolviai::sql::drivers::mariadb_refusal;
using zolviai::testing::CorpusEntry;
using zolviai::testing::FreezingProxy;
using zolviai::testing::ScratchDatabase;

namespace {

using Clock = std::chrono::steady_clock;

const std::string pwned = "/tmp/zg_mariadb_pwned_" + std::to_string(::getpid());

// Which sessions refuse a statement: its quoted text ends at a different place with and
// without backslash escapes.
enum class Refused { Always, WithEscapes, WithoutEscapes };

struct Hostile {
    std::string group;
    std::string sql;
    std::string found; // a part of the refusal reason that names the construct
    Refused when = Refused::Always;
};

std::vector<Hostile> hostile_corpus() {
    const std::string p = pwned;
    return {
        // comments and line ends
        {"line ends", "SELECT 1 #\rUNION SELECT LOAD_FILE('/etc/passwd')", "carriage return"},
        {"line ends", "SELECT 1 -- \rUNION SELECT LOAD_FILE('/etc/passwd')", "carriage return"},
        {"line ends", "SELECT 1 --\t\r, GET_LOCK('zg', 0)", "carriage return"},
        {"line ends", "SELECT 1 -- x\n; DELETE FROM victim", "more than one statement"},
        {"line ends", "SELECT 1 #\r\n; DROP TABLE victim", "more than one statement"},
        {"line ends", "SELECT 1; DROP TABLE victim", "more than one statement"},
        {"line ends", "SELECT 1--1; DROP TABLE victim", "more than one statement"},
        {"line ends", "SELECT 1;;", "more than one statement"},
        {"line ends", "SELECT 1 /* a */ ; UPDATE victim SET name = 'x'", "more than one"},
        {"line ends", "SELECT 1 /* unterminated", "unterminated comment"},
        {"line ends", "/**/DELETE FROM victim", "kind DELETE"},
        {"line ends", std::string("SELECT 1\0; DROP TABLE victim", 28), "NUL"},
        // executable comments are code, version-numbered ones included
        {"executable", "SELECT 1 /*!, LOAD_FILE('/etc/passwd') */", "LOAD_FILE"},
        {"executable", "SELECT 1 /*!50000 , LOAD_FILE('/etc/passwd') */", "LOAD_FILE"},
        {"executable", "SELECT 1 /*M!100000 , GET_LOCK('zg', 0) */", "GET_LOCK"},
        {"executable", "SELECT 1 /*!99999 ; DROP TABLE victim */", "more than one statement"},
        {"executable", "SELECT 1 /*! ; DELETE FROM victim */", "more than one statement"},
        {"executable", "SELECT SLEEP /*!99999 + 1 */ (5)", "SLEEP"},
        {"executable", "SELECT 1 /*!50000 '*/ , LOAD_FILE('/etc/passwd') -- ' */", "*/"},
        {"executable", "SELECT 1 /*!50000 /* x */ , SLEEP(5) */", "*/"},
        {"executable", "SELECT 1 /*!50000 # */ , LOAD_FILE('/etc/passwd')\n*/", "*/"},
        {"executable", "SELECT 1 /*!50000 , 2", "unterminated executable comment"},
        {"executable", "/*!50000 DELETE FROM victim */", "DELETE"},
        {"executable", "SELECT 1 /*!INTO OUTFILE '" + p + "'*/", "INTO OUTFILE"},
        // functions behind back-quotes, spaces, comments and schemas
        {"quoted", "SELECT `LOAD_FILE`('/etc/passwd')", "LOAD_FILE"},
        {"quoted", "SELECT `load_file` ('/etc/passwd')", "load_file"},
        {"quoted", "SELECT `GET_LOCK`('zg', 0)", "GET_LOCK"},
        {"quoted", "SELECT `sys_exec`('touch " + p + "')", "sys_exec"},
        {"quoted", "SELECT `IN`(1)", "`IN`"},
        {"quoted", "SELECT LOAD_FILE/**/('/etc/passwd')", "LOAD_FILE"},
        {"quoted", "SELECT load_file\n('/etc/passwd')", "LOAD_FILE"},
        {"qualified", "SELECT mysql.LOAD_FILE('/etc/passwd')", "LOAD_FILE"},
        {"qualified", "SELECT `mysql`.`sys_exec`('id')", "sys_exec"},
        {"qualified", "SELECT zolvi_test . evil ( 1 )", "EVIL"},
        {"qualified", "SELECT sys.ps_thread_id(1)", "PS_THREAD_ID"},
        {"qualified", "SELECT a.b.c(1)", "qualified function"},
        // results written to files or variables
        {"into", "SELECT * FROM victim INTO OUTFILE '" + p + "'", "INTO OUTFILE"},
        {"into", "SELECT name FROM victim LIMIT 1 INTO DUMPFILE '" + p + "'", "INTO DUMPFILE"},
        {"into", "SELECT * FROM victim INTO outfile '" + p + "' FIELDS TERMINATED BY ','",
         "INTO OUTFILE"},
        {"into", "SELECT name INTO @zg_var FROM victim LIMIT 1", "INTO @variable"},
        {"into", "SELECT 1, 2 INTO @a, @b", "INTO @variable"},
        {"into", "SELECT name FROM victim LIMIT 1 INTO zg_local", "INTO stores"},
        // locking clauses
        {"locking", "SELECT * FROM victim FOR UPDATE", "FOR UPDATE"},
        {"locking", "SELECT * FROM victim FOR UPDATE SKIP LOCKED", "FOR UPDATE"},
        {"locking", "(SELECT * FROM victim) FOR UPDATE NOWAIT", "FOR UPDATE"},
        {"locking", "SELECT * FROM victim LOCK IN SHARE MODE", "LOCK IN SHARE MODE"},
        {"locking", "SELECT * FROM victim FOR SHARE", "FOR SHARE"},
        {"locking", "LOCK TABLES victim READ", "kind LOCK"},
        // statements that write or change the session
        {"statements", "SET @zg_var = 1", "kind SET"},
        {"statements", "SET SESSION sql_mode = 'NO_BACKSLASH_ESCAPES'", "kind SET"},
        {"statements", "SET STATEMENT max_statement_time=0 FOR SELECT 1", "kind SET"},
        {"statements", "DO SLEEP(5)", "kind DO"},
        {"statements", "DO GET_LOCK('zg', 0)", "kind DO"},
        {"statements", "HANDLER victim OPEN", "kind HANDLER"},
        {"statements", "LOAD DATA INFILE '/etc/passwd' INTO TABLE victim", "kind LOAD"},
        {"statements", "PREPARE s FROM 'DELETE FROM victim'", "kind PREPARE"},
        {"statements", "EXECUTE s", "kind EXECUTE"},
        {"statements", "CALL mysql.rds_kill(1)", "kind CALL"},
        {"statements", "INSERT INTO victim VALUES (9, 'x', 1)", "kind INSERT"},
        {"statements", "REPLACE INTO victim VALUES (1, 'x', 1)", "kind REPLACE"},
        {"statements", "UPDATE victim SET name = 'x'", "kind UPDATE"},
        {"statements", "CREATE TABLE zg_new (a INT)", "kind CREATE"},
        {"statements", "WITH x AS (SELECT 1) DELETE FROM victim", "DELETE writes data"},
        {"statements", "ANALYZE SELECT * FROM victim", "kind ANALYZE"},
        {"statements", "EXPLAIN ANALYZE SELECT * FROM victim", "ANALYZE"},
        {"statements", "EXPLAIN UPDATE victim SET name = 'x'", "UPDATE"},
        {"statements", "START TRANSACTION", "kind START"},
        {"statements", "KILL QUERY 1", "kind KILL"},
        {"statements", "SELECT 1 FROM victim PROCEDURE ANALYSE()", "PROCEDURE"},
        {"statements", "SELECT NEXT VALUE FOR zg_seq", "NEXT VALUE FOR"},
        {"statements", "SELECT @@GLOBAL.sql_mode := ''", ":="},
        {"statements", "SELECT @zg_var := 5", ":="},
        {"statements", "SELECT * FROM victim WHERE (@x := id) > 0", ":="},
        // functions that lock, wait, read files or touch sequences
        {"functions", "SELECT SLEEP(5)", "SLEEP"},
        {"functions", "SELECT BENCHMARK(100000000, MD5('x'))", "BENCHMARK"},
        {"functions", "SELECT GET_LOCK('zg', 0)", "GET_LOCK"},
        {"functions", "SELECT RELEASE_LOCK('zg')", "RELEASE_LOCK"},
        {"functions", "SELECT RELEASE_ALL_LOCKS()", "RELEASE_ALL_LOCKS"},
        {"functions", "SELECT IS_FREE_LOCK('zg')", "IS_FREE_LOCK"},
        {"functions", "SELECT IS_USED_LOCK('zg')", "IS_USED_LOCK"},
        {"functions", "SELECT MASTER_POS_WAIT('log', 4)", "MASTER_POS_WAIT"},
        {"functions", "SELECT LOAD_FILE('/etc/passwd')", "LOAD_FILE"},
        {"functions", "SELECT NEXTVAL(zg_seq)", "NEXTVAL"},
        {"functions", "SELECT SETVAL(zg_seq, 1)", "SETVAL"},
        {"functions", "SELECT LASTVAL(zg_seq)", "LASTVAL"},
        {"functions", "SELECT LAST_INSERT_ID(5)", "LAST_INSERT_ID"},
        {"functions", "SELECT name FROM victim WHERE id IN (SELECT SLEEP(1))", "SLEEP"},
        {"functions", "SELECT COUNT(*) FROM victim WHERE IF(1, SLEEP(1), 0)", "SLEEP"},
        {"functions", "SELECT JSON_EXTRACT(LOAD_FILE('/etc/passwd'), '$')", "LOAD_FILE"},
        {"functions", "SELECT CAST(LOAD_FILE('/etc/passwd') AS CHAR(100))", "LOAD_FILE"},
        {"functions", "SELECT sys_exec('touch " + p + "')", "SYS_EXEC"},
        {"functions", "SELECT DECIMAL(1)", "DECIMAL"},
        // quoted text that ends elsewhere when backslashes do not escape
        {"backslashes", "SELECT CONCAT('a\\', LOAD_FILE(', '/etc/passwd') AS c -- ')", "LOAD_FILE",
         Refused::WithoutEscapes},
        {"backslashes", "SELECT \"a\\\" , SLEEP(1) -- \"", "SLEEP", Refused::WithoutEscapes},
        {"backslashes", "SELECT _latin1'a\\' , SLEEP(1) -- '", "SLEEP", Refused::WithoutEscapes},
        {"backslashes", "SELECT N'a\\' , SLEEP(1) -- '", "SLEEP", Refused::WithoutEscapes},
        {"backslashes", "SELECT '\\'' , SLEEP(5) , '\\''", "SLEEP", Refused::WithEscapes},
        {"backslashes", "SELECT 'x\\\\' , SLEEP(1) -- '", "SLEEP"},
        {"backslashes", "SELECT 'it''s' , SLEEP(1)", "SLEEP"},
        {"backslashes", "SELECT X'41' , SLEEP(1)", "SLEEP"},
        {"backslashes", "SELECT X'4G'", "malformed hex"},
        {"backslashes", "SELECT B'012'", "malformed bit"},
        {"backslashes", "SELECT 'abc", "unterminated quoted text"},
        {"backslashes", "SELECT `abc", "unterminated back-quoted name"},
    };
}

// Ordinary analytical SQL that must keep passing, with and without backslash escapes, and run
// on the server without error.
std::vector<std::string> benign_corpus() {
    return {
        "SELECT id, name FROM victim WHERE id IN (1, 2) ORDER BY id",
        "SELECT name, COUNT(*) AS n, SUM(amount) FROM victim GROUP BY name HAVING COUNT(*) >= 1",
        "WITH totals AS (SELECT name, SUM(amount) AS s FROM victim GROUP BY name) "
        "SELECT * FROM totals",
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5) "
        "SELECT i FROM n",
        "WITH a (x, y) AS (SELECT 1, 2), b(z) AS (SELECT 3) SELECT * FROM a, b",
        "SELECT name, ROW_NUMBER() OVER (PARTITION BY name ORDER BY id) AS rn FROM victim",
        "SELECT id, SUM(amount) OVER (ORDER BY id ROWS BETWEEN 1 PRECEDING AND CURRENT ROW) "
        "FROM victim",
        "SELECT id, LAG(amount, 1) OVER w FROM victim WINDOW w AS (ORDER BY id)",
        "SELECT CAST(amount AS DECIMAL(10,2)), CAST(id AS CHAR(10)), CONVERT(name, CHAR(20)) "
        "FROM victim",
        "SELECT CAST(id AS UNSIGNED), CAST('2024-01-01' AS DATETIME(6)), "
        "CONVERT(name USING utf8mb4), CAST(name AS CHAR CHARACTER SET utf8mb4) FROM victim",
        "SELECT CASE WHEN amount > 10 THEN 'big' ELSE 'small' END FROM victim",
        "SELECT DATE_ADD(NOW(), INTERVAL 1 DAY), DATEDIFF(CURDATE(), '2024-01-01'), "
        "EXTRACT(YEAR FROM NOW()), DATE_FORMAT(NOW(), '%Y-%m')",
        "SELECT CURRENT_DATE - INTERVAL (1 + 1) DAY",
        "SELECT JSON_EXTRACT('{\"a\": 1}', '$.a'), JSON_OBJECT('k', name) FROM victim",
        "SELECT * FROM JSON_TABLE('[{\"a\":1}]', '$[*]' COLUMNS (rid FOR ORDINALITY, "
        "a INT PATH '$.a', b VARCHAR(10) PATH '$.b')) AS jt",
        "SELECT UPPER(name), CONCAT_WS('-', id, name), SUBSTRING(name FROM 2 FOR 3), "
        "TRIM(BOTH 'x' FROM name), REPLACE(name, 'a', 'b') FROM victim",
        "SELECT GROUP_CONCAT(DISTINCT name ORDER BY name SEPARATOR ', ') FROM victim",
        "SELECT COUNT(DISTINCT name) FROM victim "
        "WHERE EXISTS (SELECT 1 FROM victim v2 WHERE v2.id = victim.id)",
        "SELECT name FROM victim WHERE name LIKE 'a%' AND (id > 1 OR NOT (id < 0))",
        "(SELECT id FROM victim) UNION ALL (SELECT id + 10 FROM victim) ORDER BY 1",
        "SELECT v.id FROM victim AS v JOIN victim AS w USING (id) LEFT JOIN victim x "
        "ON (x.id = v.id)",
        "SELECT 1 -- a comment\n, 2 # another\n/* block */",
        "SELECT 1 -- windows line end\r\n, 2",
        "SELECT 1; -- done",
        "VALUES (1, 'a'), (2, 'b')",
        "DESCRIBE victim",
        "EXPLAIN SELECT * FROM victim WHERE id = 1",
        "SELECT `id`, `name` FROM `victim` WHERE `name` = 'it''s' OR name = \"q\"",
        "SELECT IF(id > 1, 'y', 'n'), IFNULL(name, '-'), COALESCE(NULL, 1), NULLIF(1, 2) "
        "FROM victim",
        "SELECT ROUND(AVG(amount), 2), STDDEV(amount), MAX(amount) - MIN(amount) FROM victim",
        "SELECT DATABASE(), VERSION(), CURRENT_USER(), @@version",
        "SELECT id FROM victim WHERE id = ANY (SELECT id FROM victim) AND id BETWEEN (0) AND (10)",
        "SELECT /*! STRAIGHT_JOIN */ v.id FROM victim v, victim w WHERE v.id = w.id",
        "SELECT t.`delete`, t.select, update_count FROM "
        "(SELECT 1 AS `delete`, 2 AS `select`, 3 AS update_count) AS t",
        "SELECT CHAR(65, 66 USING utf8mb4), HEX('a'), X'41', B'1', 0x41, "
        "_utf8mb4'x' COLLATE utf8mb4_bin, N'n', 'a\\\\b'",
        "SELECT id FROM victim ORDER BY id LIMIT 2 OFFSET 1",
        "SELECT MOD(id, 2), id DIV 2, id MOD 2 FROM victim",
    };
}

FunctionAllowList builtins(const std::vector<std::string>& extras = {}) {
    return FunctionAllowList(zolviai::sql::drivers::mariadb_functions, extras, "", true);
}

bool refused_with(const Hostile& h, bool escapes) {
    switch (h.when) {
    case Refused::Always:
        return true;
    case Refused::WithEscapes:
        return escapes;
    case Refused::WithoutEscapes:
        return !escapes;
    }
    return true;
}

TEST(MariadbPolicy, RefusesEveryHostileStatementNamingTheConstruct) {
    const FunctionAllowList allowed = builtins();
    const auto corpus = hostile_corpus();
    ASSERT_GE(corpus.size(), 60u);
    for (const bool escapes : {true, false}) {
        for (const Hostile& h : corpus) {
            const auto reason = mariadb_refusal(h.sql, allowed, escapes);
            if (!refused_with(h, escapes)) {
                EXPECT_FALSE(reason) << h.group << ": " << h.sql << " -> " << *reason;
                continue;
            }
            ASSERT_TRUE(reason) << h.group << " (escapes " << escapes << "): " << h.sql;
            EXPECT_NE(reason->find(h.found), std::string::npos)
                << h.group << ": " << h.sql << " -> " << *reason;
        }
    }
}

TEST(MariadbPolicy, PassesOrdinaryAnalyticalQueries) {
    const FunctionAllowList allowed = builtins();
    for (const bool escapes : {true, false}) {
        for (const std::string& sql : benign_corpus()) {
            const auto reason = mariadb_refusal(sql, allowed, escapes);
            EXPECT_FALSE(reason) << sql << " -> " << reason.value_or("");
        }
    }
}

TEST(MariadbPolicy, CorpusFileIsReadAsTheServerReadsIt) {
    const FunctionAllowList allowed = builtins();
    const auto corpus = zolviai::testing::read_corpus("mariadb_attacks.txt");
    ASSERT_GE(corpus.size(), 40u);
    for (const bool escapes : {true, false}) {
        for (const CorpusEntry& e : corpus) {
            const auto reason = mariadb_refusal(e.sql, allowed, escapes);
            if (e.expect != CorpusEntry::Expect::Refused) {
                EXPECT_FALSE(reason) << "line " << e.line << ": " << e.sql << " -> " << *reason;
                continue;
            }
            ASSERT_TRUE(reason) << "line " << e.line << ": " << e.sql;
            EXPECT_NE(reason->find(e.found), std::string::npos)
                << "line " << e.line << ": " << e.sql << " -> " << *reason;
        }
    }
}

TEST(MariadbPolicy, HostFunctionsAreAllowedOnlyAsNamed) {
    const FunctionAllowList allowed = builtins({"net_total", "reports.monthly"});
    struct Case {
        std::string sql;
        bool allowed;
    };
    const std::vector<Case> cases = {
        {"SELECT net_total(1)", true},           {"SELECT NET_TOTAL(1)", true},
        {"SELECT `net_total`(1)", true},         {"SELECT reports.monthly(1)", true},
        {"SELECT `reports`.`monthly`(1)", true}, {"SELECT other.net_total(1)", false},
        {"SELECT reports.net_total(1)", false},  {"SELECT monthly(1)", false},
        {"SELECT reports.concat('a')", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(!mariadb_refusal(c.sql, allowed, true), c.allowed) << c.sql;
    }
}

// A rough figure for the report: how long one decision takes for a 2 kB statement.
// Server side.

// An account that may only read the scratch database: generated SQL runs as a reader. It is
// dropped when the test ends.
class Reader {
public:
    explicit Reader(ScratchDatabase& db) : db_(db) {
        static std::atomic<int> counter{0};
        user_ = "zg_rd_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
        db.admin().execute("CREATE USER '" + user_ + "'@'%' IDENTIFIED BY 'zg-reader-pw'");
        db.admin().execute("GRANT SELECT ON `" + db.name() + "`.* TO '" + user_ + "'@'%'");
    }
    ~Reader() {
        try {
            db_.admin().execute("DROP USER '" + user_ + "'@'%'");
        } catch (const zolviai::DatabaseError&) {
        }
    }
    ConnectSettings settings(int timeout_ms) const {
        ConnectSettings s = db_.settings();
        s.user = user_;
        s.password = "zg-reader-pw";
        s.read_only = true;
        s.statement_timeout_ms = timeout_ms;
        return s;
    }

private:
    ScratchDatabase& db_;
    std::string user_;
};

std::string one_value(Connection& conn, const std::string& sql) {
    const ResultSet r = conn.execute(sql);
    if (r.rows.empty() || r.rows[0].empty() || r.rows[0][0].type == CellType::Null) {
        return "NULL";
    }
    return r.rows[0][0].text;
}

// What a statement could have changed: the rows, the tables, named locks, and files.
struct Snapshot {
    std::string checksum;
    std::string tables;
    std::string lock;
    bool file = false;

    bool operator==(const Snapshot& o) const {
        return checksum == o.checksum && tables == o.tables && lock == o.lock && file == o.file;
    }
};

Snapshot snapshot(ScratchDatabase& db) {
    Snapshot s;
    s.checksum = one_value(db.admin(), "SELECT CONCAT(COUNT(*), ':', "
                                       "SUM(CRC32(CONCAT_WS('|', id, name, amount)))) "
                                       "FROM victim");
    s.tables = one_value(db.admin(), "SELECT GROUP_CONCAT(table_name ORDER BY table_name) "
                                     "FROM information_schema.tables WHERE table_schema = "
                                     "DATABASE()");
    s.lock = one_value(db.admin(), "SELECT CONCAT_WS(',', IS_USED_LOCK('zg'), "
                                   "IS_USED_LOCK('zg_held'))");
    s.file = std::filesystem::exists(pwned);
    return s;
}

void prepare(ScratchDatabase& db) {
    db.admin().execute("CREATE TABLE victim (id INT PRIMARY KEY, name VARCHAR(50), "
                       "amount DECIMAL(10,2))");
    db.admin().execute("INSERT INTO victim VALUES (1, 'alpha', 10.5), (2, 'beta', 20), "
                       "(3, 'it''s', NULL)");
    db.admin().execute("CREATE SEQUENCE zg_seq");
}

// Runs the corpus through one guarded connection as the wrapper does (refusal_reason, then
// execute_guarded when allowed) and checks after each statement that nothing changed.
void run_corpus(ScratchDatabase& db, std::unique_ptr<Connection> conn, const std::string& mode) {
    const Snapshot before = snapshot(db);
    ASSERT_EQ(before.lock, "");
    int executed = 0;
    const auto check = [&](const std::string& sql) {
        const Snapshot after = snapshot(db);
        EXPECT_TRUE(after == before)
            << mode << ": " << sql << " changed something: checksum " << after.checksum
            << " tables " << after.tables << " locks '" << after.lock << "' file " << after.file;
        EXPECT_FALSE(conn->is_broken()) << mode << ": " << sql;
    };
    for (const Hostile& h : hostile_corpus()) {
        const auto reason = conn->refusal_reason(h.sql);
        // The session pins backslash escapes on, whatever the server's global mode says.
        EXPECT_EQ(bool(reason), refused_with(h, true)) << mode << ": " << h.sql;
        if (!reason) {
            ++executed;
            try {
                const ResultSet r = conn->execute_guarded(h.sql, {});
                if (h.sql.rfind("SELECT CONCAT('a\\'", 0) == 0) {
                    // Read with escapes, the file name is text: no file was read.
                    ASSERT_EQ(r.rows.size(), 1u);
                    EXPECT_EQ(r.rows[0][0].text, "a', LOAD_FILE(/etc/passwd") << mode;
                }
            } catch (const zolviai::DatabaseError&) {
                // An engine error (unknown column, syntax) is an acceptable end.
            }
        }
        check(h.sql);
    }
    for (const std::string& sql : benign_corpus()) {
        ASSERT_FALSE(conn->refusal_reason(sql)) << mode << ": " << sql;
        EXPECT_NO_THROW(conn->execute_guarded(sql, {})) << mode << ": " << sql;
        ++executed;
        check(sql);
    }
    EXPECT_GT(executed, 30);
    const ResultSet session = conn->execute_guarded(
        "SELECT @@SESSION.sql_mode, @@SESSION.tx_read_only, @@SESSION.max_statement_time, "
        "@@SESSION.max_session_mem_used, @@SESSION.tmp_memory_table_size, "
        "@@SESSION.max_recursive_iterations, @@SESSION.tmp_disk_table_size",
        {});
    ASSERT_EQ(session.rows.size(), 1u);
    EXPECT_EQ(session.rows[0][0].text.find("NO_BACKSLASH_ESCAPES"), std::string::npos) << mode;
    EXPECT_EQ(session.rows[0][1].integer, 1) << mode;
    EXPECT_EQ(session.rows[0][2].real, 2.0) << mode;
    // The session's own bounds hold after every reset.
    EXPECT_EQ(session.rows[0][3].integer, 256LL << 20) << mode;
    EXPECT_EQ(session.rows[0][4].integer, 16LL << 20) << mode;
    EXPECT_EQ(session.rows[0][5].integer, 100000) << mode;
    EXPECT_EQ(session.rows[0][6].integer, 1LL << 30) << mode;
}

TEST(MariadbGuard, NothingInTheCorpusChangesTheDatabase) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase db("ZOLVIAI_MARIADB_URI");
    prepare(db);
    Reader reader(db);
    run_corpus(db, connect(reader.settings(2000)), "default sql_mode");
}

TEST(MariadbGuard, ServerWideNoBackslashEscapesDoesNotReachTheSession) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase db("ZOLVIAI_MARIADB_URI");
    prepare(db);
    Reader reader(db);
    const std::string global = one_value(db.admin(), "SELECT @@GLOBAL.sql_mode");
    std::unique_ptr<Connection> conn;
    std::string first_text;
    {
        // Other tests open connections meanwhile: keep the window short.
        db.admin().execute(
            "SET GLOBAL sql_mode = CONCAT(@@GLOBAL.sql_mode, ',NO_BACKSLASH_ESCAPES')");
        try {
            conn = connect(reader.settings(2000));
            // One statement inside the window: the reset after it takes the global mode,
            // and the session setup must pin it again.
            first_text = conn->execute_guarded("SELECT 'a\\\\b'", {}).rows.at(0).at(0).text;
        } catch (...) {
            db.admin().execute("SET GLOBAL sql_mode = '" + global + "'");
            throw;
        }
        db.admin().execute("SET GLOBAL sql_mode = '" + global + "'");
    }
    EXPECT_EQ(first_text, "a\\b");
    run_corpus(db, std::move(conn), "global NO_BACKSLASH_ESCAPES");
}

// Whether the server still has a session with this id (from the admin connection).
bool server_has_thread(ScratchDatabase& db, long long id) {
    return db.admin()
               .execute("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " +
                        std::to_string(id))
               .rows.at(0)
               .at(0)
               .integer != 0;
}

// Waits up to `seconds` for the server session to end; true when it did.
bool thread_gone_within(ScratchDatabase& db, long long id, double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (server_has_thread(db, id)) {
        if (Clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// The corpus file run as a reader: refused entries are refused by name, allowed ones run, and
// held ones end (with rows or the server's error) within the time-out and its grace, with the
// server session gone or idle again, nothing changed and the host's memory bounded.
TEST(MariadbGuard, CorpusFileHoldsAgainstTheServer) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase db("ZOLVIAI_MARIADB_URI");
    prepare(db);
    Reader reader(db);
    const int timeout_ms = 2000;
    auto conn = connect(reader.settings(timeout_ms));
    const Snapshot before = snapshot(db);
    const long idle = zolviai::testing::reset_peak_resident_kb();
    for (const CorpusEntry& e : zolviai::testing::read_corpus("mariadb_attacks.txt")) {
        const std::string where = "line " + std::to_string(e.line) + ": " + e.sql;
        if (conn->is_broken()) {
            conn = connect(reader.settings(timeout_ms));
        }
        const auto reason = conn->refusal_reason(e.sql);
        if (e.expect == CorpusEntry::Expect::Refused) {
            ASSERT_TRUE(reason) << where;
            EXPECT_NE(reason->find(e.found), std::string::npos) << where << " -> " << *reason;
            EXPECT_THROW(conn->execute_guarded(e.sql, {}), zolviai::DatabaseError) << where;
        } else {
            ASSERT_FALSE(reason) << where << " -> " << *reason;
            const long long id =
                conn->execute_guarded("SELECT CONNECTION_ID()", {}).rows.at(0).at(0).integer;
            const auto start = Clock::now();
            try {
                conn->execute_guarded(e.sql, {});
            } catch (const zolviai::DatabaseError& error) {
                EXPECT_EQ(e.expect, CorpusEntry::Expect::Held) << where << ": " << error.what();
                EXPECT_LT(std::string(error.what()).size(), 5000u) << where;
            }
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            EXPECT_LT(seconds, timeout_ms / 1000.0 + 5 + 3) << where;
            if (conn->is_broken()) {
                EXPECT_TRUE(thread_gone_within(db, id, timeout_ms / 1000.0 + 5)) << where;
            } else {
                EXPECT_EQ(conn->execute_guarded("SELECT 1", {}).rows.at(0).at(0).integer, 1)
                    << where;
            }
        }
        EXPECT_TRUE(snapshot(db) == before) << where;
    }
    const long grown_mb = (zolviai::testing::peak_resident_kb() - idle) / 1024;
    std::printf("mariadb corpus: host peak %ld MB above idle\n", grown_mb);
    if (zolviai::testing::memory_is_measured) {
        EXPECT_LT(grown_mb, 64);
    }
}

// A server limit only an administrator may set is reported with the statement that sets it.
TEST(MariadbGuard, ServerLimitsReportNamesTheAdministratorsSettings) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase db("ZOLVIAI_MARIADB_URI");
    Reader reader(db);
    const ServerLimitsReport report = connect(reader.settings(2000))->server_limits();
    ASSERT_EQ(report.limits.size(), 2u);
    EXPECT_EQ(report.limits[0].name, "max_allowed_packet");
    EXPECT_NE(report.limits[0].statement.find("SET GLOBAL max_allowed_packet"), std::string::npos);
    EXPECT_EQ(report.limits[0].ok,
              db.admin().execute("SELECT @@GLOBAL.max_allowed_packet").rows.at(0).at(0).integer <=
                  16777216);
    EXPECT_EQ(report.limits[1].name, "max_user_connections");
    EXPECT_FALSE(report.limits[1].ok); // the test server sets no per-account limit
    EXPECT_NE(report.limits[1].statement.find("MAX_USER_CONNECTIONS"), std::string::npos);
}

TEST(MariadbGuard, ResetReleasesLocksAndForgetsVariables) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase db("ZOLVIAI_MARIADB_URI");
    prepare(db);
    Reader reader(db);
    ConnectSettings s = reader.settings(2000);
    // The host allows GET_LOCK here only to show that a lock never outlives the statement.
    s.guard.allowed_functions = {"GET_LOCK"};
    auto conn = connect(s);
    conn->execute("SET @zg_var = 42");
    const ResultSet got = conn->execute_guarded("SELECT GET_LOCK('zg_held', 0), @zg_var", {});
    ASSERT_EQ(got.rows.size(), 1u);
    EXPECT_EQ(got.rows[0][0].integer, 1);
    EXPECT_EQ(got.rows[0][1].integer, 42);
    EXPECT_EQ(one_value(db.admin(), "SELECT IS_USED_LOCK('zg_held')"), "NULL");
    const ResultSet later = conn->execute_guarded("SELECT @zg_var", {});
    EXPECT_EQ(later.rows.at(0).at(0).type, CellType::Null);
    EXPECT_FALSE(conn->is_broken());
}

TEST(MariadbGuard, TimeOutStopsALongQueryAndTheConnectionStaysUsable) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase db("ZOLVIAI_MARIADB_URI");
    prepare(db);
    Reader reader(db);
    auto conn = connect(reader.settings(2000));
    const std::string cross_join = "SELECT COUNT(*) FROM seq_1_to_100000 a, seq_1_to_100000 b";
    ASSERT_FALSE(conn->refusal_reason(cross_join));
    const auto start = Clock::now();
    EXPECT_THROW(conn->execute_guarded(cross_join, {}), zolviai::StatementTimeout);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("cross join stopped after %.2f s (time-out 2 s)\n", seconds);
    EXPECT_LT(seconds, 7.0);
    EXPECT_FALSE(conn->is_broken());
    EXPECT_EQ(conn->execute_guarded("SELECT 1", {}).rows.at(0).at(0).integer, 1);
}

TEST(MariadbGuard, DeadlineCutsAServerThatStoppedAnswering) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase db("ZOLVIAI_MARIADB_URI");
    FreezingProxy proxy(db.settings().port);
    Reader reader(db);
    ConnectSettings s = reader.settings(1000);
    s.host = "127.0.0.1";
    s.port = proxy.port();
    auto conn = connect(s);
    const long long id =
        conn->execute_guarded("SELECT CONNECTION_ID()", {}).rows.at(0).at(0).integer;
    const auto start = Clock::now();
    EXPECT_THROW(conn->execute_guarded("SELECT 'zg_freeze'", {}), zolviai::DatabaseError);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("silent server: call ended after %.2f s (time-out 1 s, deadline 6 s)\n", seconds);
    // The deadline (time-out + 5 s), and the call is back.
    EXPECT_GE(seconds, 5.5);
    EXPECT_LT(seconds, 1 + 5 + 3);
    EXPECT_TRUE(conn->is_broken());
    EXPECT_THROW(conn->execute_guarded("SELECT 1", {}), zolviai::DatabaseError);
    // The relay still holds its side of the connection open: the server session ends only
    // because the deadline killed it.
    EXPECT_TRUE(thread_gone_within(db, id, 1 + 5)) << "server session " << id << " still there";
}

TEST(MariadbGuard, LargeResultsStayWithinTheirBounds) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase db("ZOLVIAI_MARIADB_URI");
    Reader reader(db);
    auto conn = connect(reader.settings(60000));
    const std::string sql = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                            "WHERE i < 1000) SELECT i, REPEAT('x', 1000000) AS big FROM n";
    ExecuteOptions options;
    options.max_result_bytes = 4 * 1024 * 1024;
    const long idle = zolviai::testing::reset_peak_resident_kb();
    const ResultSet r = conn->execute_guarded(sql, options);
    const long grown_mb = (zolviai::testing::peak_resident_kb() - idle) / 1024;
    std::printf("1000 rows of 1 MB: %zu kept, peak RSS %ld MB above idle\n", r.rows.size(),
                grown_mb);
    EXPECT_EQ(r.total_rows, 1000);
    EXPECT_LE(r.rows.size(), 5u);
    EXPECT_GE(r.rows.size(), 4u);
    if (zolviai::testing::memory_is_measured) {
        EXPECT_LT(grown_mb, 64);
    }

    options.max_cell_bytes = 1000;
    options.max_result_bytes = 0;
    options.max_rows = 3;
    const ResultSet cut = conn->execute_guarded(sql, options);
    ASSERT_EQ(cut.rows.size(), 3u);
    EXPECT_EQ(cut.rows[0][1].text, std::string(1000, 'x') + "...");
    EXPECT_EQ(cut.total_rows, 1000);
    const ResultSet dec = conn->execute_guarded(
        "SELECT CAST(123456789.123456789 AS DECIMAL(30,9)), CAST(1.5 AS DECIMAL(3,1))", [] {
            ExecuteOptions o;
            o.max_cell_bytes = 5;
            return o;
        }());
    EXPECT_EQ(dec.rows.at(0).at(0).type, CellType::Text);
    EXPECT_EQ(dec.rows[0][0].text, "12345...");
    EXPECT_EQ(dec.rows[0][1].type, CellType::Decimal);
}

TEST(MariadbGuard, PrivilegeReportTellsWritersFromReaders) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase db("ZOLVIAI_MARIADB_URI");
    const PrivilegeReport admin = db.admin().privileges();
    EXPECT_TRUE(admin.can_write);
    EXPECT_TRUE(admin.server_files);
    EXPECT_FALSE(admin.risks.empty());
    EXPECT_NE(admin.role.find(db.settings().user), std::string::npos) << admin.role;
    EXPECT_NE(admin.read_only_role_sql.find("GRANT SELECT, SHOW VIEW ON `" + db.name() + "`.*"),
              std::string::npos)
        << admin.read_only_role_sql;

    const std::string user = "zg_ro_" + std::to_string(::getpid());
    db.admin().execute("CREATE USER '" + user + "'@'%' IDENTIFIED BY 'zg-reader-pw'");
    db.admin().execute("GRANT SELECT, SHOW VIEW ON `" + db.name() + "`.* TO '" + user + "'@'%'");
    PrivilegeReport reader;
    try {
        ConnectSettings s = db.settings();
        s.user = user;
        s.password = "zg-reader-pw";
        reader = connect(s)->privileges();
    } catch (...) {
        db.admin().execute("DROP USER '" + user + "'@'%'");
        throw;
    }
    db.admin().execute("DROP USER '" + user + "'@'%'");
    EXPECT_FALSE(reader.can_write);
    EXPECT_FALSE(reader.server_files);
    EXPECT_TRUE(reader.risks.empty()) << reader.risks.front();
    EXPECT_NE(reader.role.find(user), std::string::npos);
}

} // namespace
