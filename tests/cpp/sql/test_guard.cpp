#include "zolviai/core/error.hpp"
#include "zolviai/sql/guard.hpp"

#include <gtest/gtest.h>

using namespace zolviai::sql;

// Queries a model writes every day must pass, including text and names that merely contain
// the words the guard looks for.
TEST(StatementGuard, AcceptsReadOnlyQueries) {
    const std::vector<std::pair<std::string, std::string>> allowed = {
        {"postgresql", "SELECT * FROM artist"},
        {"postgresql", "  select name from artist where name = 'DROP TABLE x; DELETE' ;  "},
        {"postgresql", "WITH t AS (SELECT 1 AS n) SELECT n FROM t"},
        {"postgresql", "SELECT \"update\", created_at FROM \"delete\" -- drop table\n"},
        {"postgresql", "SELECT $$; DROP TABLE x$$ AS s"},
        {"postgresql", "SELECT E'it\\'s; delete' AS s"},
        {"postgresql", "(SELECT 1) UNION ALL (SELECT 2) ORDER BY 1 DESC"},
        {"postgresql", "SELECT replace(name, 'a', 'b'), t.update FROM artist t"},
        {"postgresql", "EXPLAIN SELECT 1"},
        {"postgresql", "SELECT pg_sleep(0.1)"},
        {"mysql", "SELECT 'a\\' ; DROP TABLE artist; -- ' AS s"},
        {"mysql", "SELECT `insert` FROM `drop` WHERE x = \"delete; drop\""},
        {"mysql", "SHOW TABLES"},
        {"mysql", "DESCRIBE artist"},
        {"mysql", "SELECT 1 # ; drop table x"},
        {"sqlite", "PRAGMA table_info(artist)"},
        {"sqlite", "SELECT [delete] FROM [insert]"},
        {"sqlite", "SELECT * FROM pragma_table_info('artist')"},
        {"mssql", "SELECT TOP 5 [name] FROM [dbo].[artist] ORDER BY [name]"},
        {"mssql", "SELECT N'drop; it' AS s /* nested /* comment */ still; comment */"},
    };
    for (const auto& [dialect, sql] : allowed) {
        EXPECT_EQ(refusal_reason(sql, dialect), std::nullopt) << dialect << ": " << sql;
    }
}

TEST(StatementGuard, RefusesWritesStackedStatementsAndSessionChanges) {
    struct Case {
        std::string dialect, sql, found;
    };
    const std::vector<Case> refused = {
        {"postgresql", "DELETE FROM artist", "DELETE"},
        {"postgresql", "select 1; drop table artist", "more than one statement"},
        {"postgresql", "WITH d AS (DELETE FROM artist RETURNING *) SELECT * FROM d", "DELETE"},
        {"postgresql", "SELECT * INTO copy FROM artist", "INTO"},
        {"postgresql", "COPY artist TO '/tmp/x'", "COPY"},
        {"postgresql", "SELECT set_config('default_transaction_read_only', 'off', false)",
         "SET_CONFIG"},
        {"postgresql", "EXPLAIN ANALYZE SELECT 1", "ANALYZE"},
        {"postgresql", "SELECT 1 /* a /* nested */ ; */ ; DROP TABLE t", "more than one"},
        {"postgresql", "SELECT pg_read_file('/etc/passwd')", "PG_READ_FILE"},
        {"postgresql", "DO $$ BEGIN DELETE FROM t; END $$", "DO"},
        {"postgresql", "SET statement_timeout = 0", "SET"},
        {"mysql", "SELECT 1 /*! ; DROP TABLE artist */", "more than one statement"},
        {"mysql", "SELECT '\\\\'; DROP TABLE artist; -- '", "more than one statement"},
        {"mysql", "SELECT * FROM artist INTO OUTFILE '/tmp/x'", "INTO"},
        {"mysql", "SELECT * FROM artist LOCK IN SHARE MODE", "LOCK"},
        {"mysql", "REPLACE artist SET name = 'x'", "REPLACE"},
        {"mysql", "SELECT LOAD_FILE('/etc/passwd')", "LOAD_FILE"},
        {"sqlite", "ATTACH DATABASE '/tmp/x.db' AS x", "ATTACH"},
        {"sqlite", "PRAGMA query_only = 0", "sets QUERY_ONLY"},
        {"sqlite", "PRAGMA writable_schema(1)", "WRITABLE_SCHEMA"},
        {"mssql", "EXEC xp_cmdshell 'dir'", "EXEC"},
        {"mssql", "SELECT 1 [x]; DELETE FROM t", "more than one statement"},
        {"mssql", "WAITFOR DELAY '00:10:00'", "WAITFOR"},
        {"mssql", "SELECT * FROM OPENROWSET('SQLNCLI', 'x', 'SELECT 1')", "OPENROWSET"},
        {"postgresql", "", "empty"},
        {"postgresql", " ; ", "empty"},
        {"postgresql", "SELECT 'unterminated", "unterminated"},
    };
    for (const auto& c : refused) {
        const auto reason = refusal_reason(c.sql, c.dialect);
        ASSERT_TRUE(reason.has_value()) << c.dialect << ": " << c.sql;
        EXPECT_NE(reason->find(c.found), std::string::npos)
            << c.dialect << ": " << c.sql << " -> " << *reason;
    }
    try {
        check_read_only_statement("DELETE FROM artist", "mysql");
        ADD_FAILURE() << "not refused";
    } catch (const zolviai::DatabaseError& e) {
        EXPECT_STREQ(e.what(),
                     "Statement refused: only a single read-only query may run (found DELETE)");
    }
}
