// The rules for generated SQL on SQL Server: a corpus of hostile T-SQL, each refused with a
// reason that names what was found, and ordinary analytical queries that must keep passing.
// The end of the file runs the ODBC driver's defences against the test servers reached
// through ODBC (PostgreSQL's and SQLite's drivers: no SQL Server is available to the tests).
#include "sql/drivers/policies.hpp"
#include "sql/sql_test_support.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/uri.hpp"

#include <chrono>
#include <gtest/gtest.h>

using namespace zolviai::sql;
using zolviai::sql::drivers::FunctionAllowList;
using zolviai::sql::drivers::tsql_refusal;

namespace {

const FunctionAllowList& allowed() {
    static const FunctionAllowList list(drivers::tsql_functions, {"reports.fiscal_quarter"}, "",
                                        true);
    return list;
}

struct Hostile {
    std::string sql;
    std::string reason; // a part of the reason that names the construct
};

// Refused statements by class. A failure here means a statement that could change data, run
// a procedure or reach outside the database would go to the server.
const std::vector<std::pair<std::string, std::vector<Hostile>>> hostile = {
    {"batches without semicolons",
     {
         {"SELECT 1 DROP TABLE t", "DROP"},
         {"SELECT 1 EXEC('DROP TABLE t')", "EXEC"},
         {"SELECT * FROM t WAITFOR DELAY '0:0:5'", "WAITFOR"},
         {"SELECT a FROM t WHERE x = 1 DELETE FROM t", "DELETE"},
         {"SELECT a FROM t INSERT INTO log VALUES (1)", "INSERT"},
         {"SELECT 1 UPDATE t SET a = 2", "UPDATE"},
         {"SELECT 1 TRUNCATE TABLE t", "TRUNCATE"},
         {"SELECT 1 GRANT CONTROL TO public", "GRANT"},
         {"SELECT 1 SHUTDOWN WITH NOWAIT", "SHUTDOWN"},
         {"SELECT 1 BEGIN TRAN", "BEGIN"},
         {"SELECT 1 COMMIT", "COMMIT"},
         {"SELECT 1 USE master", "USE"},
         {"SELECT 1 DBCC DROPCLEANBUFFERS", "DBCC"},
         {"SELECT 1 BACKUP DATABASE d TO DISK = '/tmp/x'", "BACKUP"},
         {"SELECT 1 KILL 52", "KILL"},
         {"SELECT 1 RAISERROR('x', 16, 1)", "RAISERROR"},
         {"SELECT 1 IF 1 = 1 DROP TABLE t", "IF"},
         {"SELECT 1 WHILE 1 = 1 SELECT 2", "WHILE"},
         {"SELECT 1 BULK INSERT t FROM '/etc/passwd'", "BULK"},
         {"SELECT 1 MERGE t USING s ON 1 = 1 WHEN MATCHED THEN DELETE", "MERGE"},
         {"SELECT 1 SELECT 2", "a second SELECT"},
         {"SELECT (1) SELECT 2", "a second SELECT"},
         {"SELECT 1 (SELECT 2)", "a parenthesised expression"},
         {"SELECT 'a' (SELECT 2)", "a parenthesised expression"},
         {"SELECT (1) x (SELECT 2)", "a query in parentheses"},
         {"SELECT (SELECT 1) AS x (SELECT 2)", "a query in parentheses"},
         {"SELECT CURRENT_TIMESTAMP (SELECT 2)", "a query in parentheses"},
         {"SELECT a FROM t AS float (SELECT 2)", "a query in parentheses"},
         {"SELECT a FROM t AS hint (SELECT 2)", "a query in parentheses"},
         {"SELECT a FROM t AS apply (SELECT 2)", "a query in parentheses"},
         {"SELECT a FROM t FOR XML AUTO (SELECT 2)", "a query in parentheses"},
         {"SELECT a FROM t ORDER BY a DESC ((SELECT 2))", "DESC"},
         {"SELECT a FROM t; DELETE FROM t", "';' before the end"},
         {"SELECT 1. DELETE FROM t", "DELETE"},
         {"SELECT 1DELETE FROM t", "a number run into a word"},
         {"SELECT 'a'DELETE FROM t", "DELETE"},
         {"SELECT CASE WHEN a = 1 THEN 2 END END CONVERSATION @h", "END"},
         {"SELECT a FROM t AS x MOVE CONVERSATION @h TO @g", "MOVE CONVERSATION"},
         {"SELECT a FROM t AS x RECEIVE * FROM q", "RECEIVE"},
         {"SELECT a FROM t OPEN c FETCH NEXT FROM c", "OPEN"},
         {"SELECT a FROM t FETCH NEXT FROM c", "FETCH"},
         {"SELECT a FROM t WHERE a = 1 THROW 51000, 'x', 1", "THROW"},
         {"SELECT 1 ADD SIGNATURE TO dbo.p BY CERTIFICATE c", "ADD"},
         {"SELECT 1 SAVE TRAN s", "SAVE"},
         {"SELECT 1 DENY SELECT ON t TO u", "DENY"},
         {"SELECT 1 GOTO done", "GOTO"},
         {"SELECT 1 REVERT", "REVERT"},
         {"SELECT 1 AS x, 2 AS y SET CONTEXT_INFO 0x01", "SET"},
         {"WITH x AS (SELECT 1 AS a) SELECT a FROM x WITH y AS (SELECT 2 AS b) SELECT b FROM y",
          "a second SELECT"},
     }},
    {"statements that are not queries",
     {
         {"DELETE FROM t", "a statement of kind DELETE"},
         {"DECLARE @x int", "a statement of kind DECLARE"},
         {"SET NOCOUNT ON", "a statement of kind SET"},
         {"EXEC sp_executesql N'DROP TABLE t'", "a statement of kind EXEC"},
         {"xp_cmdshell 'dir'", "a statement of kind XP_CMDSHELL"},
         {"WITH d AS (SELECT 1 AS a) DELETE FROM t", "DELETE"},
         {"WITH d AS SELECT 1", "common table expressions"},
         {"VALUES (1)", "a statement of kind VALUES"},
         {"{call xp_cmdshell('dir')}", "ODBC escape"},
         {"SELECT {fn xp_cmdshell('dir')}", "ODBC escape"},
     }},
    {"comment tricks",
     {
         {"SELECT 1 --\rDROP TABLE t", "carriage return"},
         {"SELECT 1 --x\r' \n, load_extension('x') --'", "carriage return"},
         {"SELECT 1 /* /* */ DROP TABLE t -- */", "nested"},
         {"SELECT 1 /* unterminated", "unterminated block comment"},
         {"SELECT 1 /**/DROP TABLE t", "DROP"},
         {"SELECT 1 -- c\nDROP TABLE t", "DROP"},
         {"SELECT 1 -- c\xe2\x80\xa8 DROP TABLE t", "U+2028"},
         {"SELECT a\xc2\xa0"
          "DELETE FROM t",
          "U+00A0"},
     }},
    {"procedures and functions by every kind of name",
     {
         {"SELECT [xp_cmdshell]('dir')", "xp_cmdshell"},
         {"SELECT \"xp_cmdshell\"('dir')", "xp_cmdshell"},
         {"SELECT master..xp_cmdshell('dir')", "xp_cmdshell"},
         {"SELECT master.dbo.xp_dirtree('c:\\')", "xp_dirtree"},
         {"SELECT [master].[sys].[sp_configure]('x')", "sp_configure"},
         {"SELECT * FROM sp_executesql(N'x')", "sp_executesql"},
         {"SELECT dbo.evil(1)", "the function dbo.evil is not on the list"},
         {"SELECT [dbo].[evil](1)", "the function dbo.evil is not on the list"},
         {"SELECT sys.fn_get_audit_file('/x', DEFAULT, DEFAULT)", "fn_get_audit_file"},
         {"SELECT * FROM sys.fn_dblog(NULL, NULL)", "fn_dblog"},
         {"SELECT PWDCOMPARE('x', password_hash) FROM sys.sql_logins", "PWDCOMPARE"},
         {"SELECT len(x), not_a_builtin(x) FROM t", "not_a_builtin"},
         {"SELECT geography::Point(1, 2, 4326)", "Point"},
         {"SELECT * FROM srv.db.dbo.t", "linked server"},
         {"SELECT * FROM srv...t", "linked server"},
         {"SELECT dbo.fiscal_quarter(d) FROM t", "dbo.fiscal_quarter"},
     }},
    {"other data sources and server files",
     {
         {"SELECT * FROM OPENROWSET(BULK '/etc/passwd', SINGLE_CLOB) AS x", "OPENROWSET"},
         {"SELECT * FROM OPENQUERY(srv, 'SELECT 1')", "OPENQUERY"},
         {"SELECT * FROM OPENDATASOURCE('SQLNCLI', 'Data Source=x').db.dbo.t", "OPENDATASOURCE"},
         {"SELECT * FROM OPENXML(@h, '/r')", "OPENXML"},
     }},
    {"writes and locks inside a SELECT",
     {
         {"SELECT * INTO #copy FROM t", "SELECT ... INTO"},
         {"SELECT a INTO dbo.copy FROM t", "SELECT ... INTO"},
         {"SELECT NEXT VALUE FOR dbo.seq", "NEXT VALUE FOR"},
         {"SELECT * FROM t WITH (UPDLOCK)", "UPDLOCK"},
         {"SELECT * FROM t WITH (XLOCK, ROWLOCK)", "XLOCK"},
         {"SELECT * FROM t WITH (HOLDLOCK)", "HOLDLOCK"},
         {"SELECT * FROM t WITH (TABLOCKX)", "TABLOCKX"},
         {"SELECT * FROM t FOR UPDATE", "FOR UPDATE"},
         {"SELECT @v = a FROM t", "assignment to the variable @v"},
         {"SELECT @total += a FROM t", "assignment to the variable @total"},
     }},
    {"text that cannot be read safely",
     {
         {"SELECT 'unterminated", "unterminated quoted text"},
         {"SELECT N'unterminated ''", "unterminated quoted text"},
         {"SELECT [unterminated", "unterminated quoted name"},
         {"SELECT \"unterminated", "unterminated quoted name"},
         {"SELECT `x", "unterminated quoted name"},
         {std::string("SELECT 1\0 DROP TABLE t", 22), "NUL"},
         {"SELECT (1", "unbalanced"},
         {"SELECT 1) DROP TABLE t", "unbalanced"},
         {"  ;; ", "empty"},
     }},
};

// Analytical T-SQL that must pass: refusing any of these is a false alarm that breaks
// ordinary questions.
const std::vector<std::string> ordinary = {
    "SELECT TOP 10 name, total FROM dbo.customers ORDER BY total DESC",
    "SELECT TOP (5) PERCENT WITH TIES name FROM customers ORDER BY total DESC",
    "SELECT TOP 10 (price * qty) AS amount FROM lines",
    "SELECT TOP (10) (price * qty) AS amount FROM lines",
    ";WITH totals AS (SELECT customer_id, SUM(amount) AS s FROM orders GROUP BY customer_id) "
    "SELECT c.name, t.s FROM customers c JOIN totals t ON t.customer_id = c.id;",
    "WITH a (n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM a WHERE n < 10), b AS (SELECT n FROM a) "
    "SELECT * FROM b OPTION (MAXRECURSION 100)",
    "SELECT region, amount, SUM(amount) OVER (PARTITION BY region ORDER BY sold_at ROWS BETWEEN "
    "UNBOUNDED PRECEDING AND CURRENT ROW) AS running FROM sales",
    "SELECT ROW_NUMBER() OVER (ORDER BY total DESC) AS rn, RANK() OVER (PARTITION BY region "
    "ORDER BY total) AS r, LAG(total, 1, 0) OVER (ORDER BY month) FROM monthly",
    "SELECT CAST(price AS DECIMAL(10, 2)), CONVERT(VARCHAR(10), sold_at, 120), "
    "TRY_CONVERT(DECIMAL(18, 4), raw), CAST(note AS NVARCHAR(MAX)) FROM sales",
    "SELECT CONVERT(DATE, GETDATE()), CAST(d AS DATETIME2(3)), TRY_CAST(x AS INT) FROM t",
    "SELECT DATEADD(day, -7, SYSDATETIME()), DATEDIFF(month, start_at, end_at), "
    "FORMAT(sold_at, 'yyyy-MM'), DATEPART(year, sold_at), EOMONTH(sold_at) FROM sales",
    "SELECT JSON_VALUE(doc, '$.customer.name'), JSON_QUERY(doc, '$.items'), ISJSON(doc) FROM docs",
    "SELECT d.id, j.sku FROM docs d CROSS APPLY OPENJSON(d.doc, '$.items') WITH (sku NVARCHAR(50) "
    "'$.sku', qty INT '$.qty') AS j",
    "SELECT IIF(total > 100, 'big', 'small'), CHOOSE(2, 'a', 'b'), COALESCE(a, b, 0), "
    "NULLIF(a, 0), ISNULL(a, 0) FROM t",
    "SELECT CASE WHEN total > 100 THEN 'big' WHEN total > 10 THEN 'mid' ELSE 'small' END AS size, "
    "CASE region WHEN 'N' THEN 1 END FROM t",
    "SELECT region, STRING_AGG(name, ', ') WITHIN GROUP (ORDER BY name) FROM customers GROUP BY "
    "region",
    "SELECT name FROM customers ORDER BY name OFFSET 20 ROWS FETCH NEXT 10 ROWS ONLY",
    "SELECT [order id], [Customer Name], [a]]b] FROM [dbo].[Order Details]",
    "SELECT name FROM customers WHERE name = N'M\xc3\xbcller' OR note LIKE N'%''quoted''%'",
    "SELECT /* block comment */ a -- line comment\r\n FROM t -- comment at the end",
    "SELECT region, COUNT(*) AS n, COUNT(DISTINCT customer_id), AVG(CAST(total AS FLOAT)) "
    "FROM orders GROUP BY region HAVING COUNT(*) > 5",
    "SELECT a FROM t WHERE id IN (SELECT id FROM u) AND EXISTS (SELECT 1 FROM v WHERE v.id = t.id) "
    "AND x NOT IN (1, 2, 3) AND y BETWEEN 1 AND 10",
    "SELECT a FROM t UNION SELECT a FROM u EXCEPT SELECT a FROM v INTERSECT SELECT a FROM w",
    "(SELECT a FROM t) UNION ALL (SELECT a FROM u)",
    "SELECT UPPER(LEFT(name, 1)) + LOWER(SUBSTRING(name, 2, LEN(name))), CHARINDEX('x', name), "
    "REPLACE(TRIM(name), ' ', '_'), CONCAT_WS('-', a, b), RIGHT(code, 3) FROM t",
    "SELECT * FROM t WITH (NOLOCK) LEFT JOIN u ON u.id = t.id",
    "SELECT p.* FROM (SELECT region, month, total FROM monthly) AS s PIVOT (SUM(total) FOR month "
    "IN ([1], [2], [3])) AS p",
    "SELECT v.a, v.b FROM (VALUES (1, 'x'), (2, 'y')) v (a, b)",
    "SELECT x.a FROM (SELECT 1 AS a) AS x (a)",
    "SELECT region, GROUPING(region), SUM(total) FROM t GROUP BY ROLLUP (region) ",
    "SELECT a FROM t GROUP BY GROUPING SETS ((a), ())",
    "SELECT STUFF((SELECT ',' + name FROM t FOR XML PATH('')), 1, 1, '')",
    "SELECT t.sold_at AT TIME ZONE 'UTC' AT TIME ZONE 'Central European Standard Time' FROM t",
    "SELECT ABS(-1.5e3), ROUND(x, 2), POWER(2, 10), 0x1F, .5, 1. FROM t",
    "SELECT OBJECT_NAME(object_id), DB_NAME(), SCHEMA_NAME(schema_id) FROM sys.objects",
    "SELECT @@VERSION, @@SPID, CURRENT_TIMESTAMP",
    "SELECT reports.fiscal_quarter(sold_at) FROM sales",
    "SELECT receive, throw, get, move, send FROM events",
    "SELECT a receive, b FROM t",
    "SELECT \"quoted name\" FROM \"t\" -- ansi quoting",
    "select lower(name) from customers order by 1",
    "SELECT ROW_NUMBER() OVER (ORDER BY (SELECT NULL)), COALESCE((SELECT MAX(a) FROM u), 0), "
    "CAST(note AS VARCHAR(MAX)) FROM t CROSS APPLY (SELECT TOP 1 b FROM v WHERE v.id = t.id) x",
    "SELECT a FROM t WHERE a = ANY (SELECT b FROM u) AND (SELECT COUNT(*) FROM v) > 1",
};

} // namespace

TEST(TsqlPolicy, RefusesHostileStatementsNamingTheConstruct) {
    std::size_t count = 0;
    for (const auto& [group, cases] : hostile) {
        for (const Hostile& c : cases) {
            ++count;
            const auto reason = tsql_refusal(c.sql, allowed());
            ASSERT_TRUE(reason.has_value()) << group << ": let through: " << c.sql;
            EXPECT_NE(reason->find(c.reason), std::string::npos)
                << group << ": " << c.sql << "\n  reason: " << *reason
                << "\n  expected to name: " << c.reason;
        }
    }
    EXPECT_GE(count, 60u);
}

TEST(TsqlPolicy, LetsOrdinaryAnalyticalQueriesThrough) {
    for (const std::string& sql : ordinary) {
        EXPECT_EQ(tsql_refusal(sql, allowed()), std::nullopt) << sql;
    }
    EXPECT_GE(ordinary.size(), 30u);
}

// The allow-list decides calls: a host's own function is allowed only with the schema it was
// listed under, and the compiled-in list holds every group of built-ins.
TEST(TsqlPolicy, AllowListFromTheDataFileAndTheHost) {
    EXPECT_GT(allowed().size(), 150u);
    const FunctionAllowList bare(drivers::tsql_functions, {}, "", true);
    EXPECT_NE(tsql_refusal("SELECT reports.fiscal_quarter(d) FROM t", bare), std::nullopt);
    const FunctionAllowList extra(drivers::tsql_functions, {"fiscal_quarter"}, "", true);
    EXPECT_EQ(tsql_refusal("SELECT * FROM FISCAL_QUARTER(1)", extra), std::nullopt);
    EXPECT_NE(tsql_refusal("SELECT dbo.fiscal_quarter(1)", extra), std::nullopt)
        << "a bare host name must not allow the same name in any schema";
    // A built-in is never reached through a schema: dbo.len is somebody's function.
    EXPECT_NE(tsql_refusal("SELECT dbo.len('x')", bare), std::nullopt);
    EXPECT_NE(tsql_refusal("SELECT sys.len('x')", bare), std::nullopt);
    for (const char* name : {"OPENROWSET", "PWDCOMPARE", "IDENTITY", "DECRYPTBYKEY"}) {
        EXPECT_FALSE(bare.allows("", name)) << name;
    }
    for (const char* name : {"string_agg", "DATEADD", "Json_Value", "row_number", "IIF"}) {
        EXPECT_TRUE(bare.allows("", name)) << name;
    }
}

// The policy runs before every generated statement: it must cost little beside the query.
TEST(TsqlPolicy, ReadsALargeReportQuery) {
    std::string sql = "WITH base AS (SELECT region, CAST(sold_at AS DATE) AS d, amount FROM sales "
                      "WHERE sold_at >= DATEADD(month, -12, GETDATE())) SELECT region";
    int i = 0;
    while (sql.size() < 2000) {
        sql += ", SUM(CASE WHEN MONTH(d) = " + std::to_string(i % 12 + 1) +
               " THEN amount ELSE 0 END) AS [m" + std::to_string(i) + "] /* month */";
        ++i;
    }
    sql += " FROM base GROUP BY region ORDER BY region";
    ASSERT_EQ(tsql_refusal(sql, allowed()), std::nullopt);
}

// ODBC through the drivers on this machine. PostgreSQL's driver: the policy is PostgreSQL's
// own and the defences are the ODBC driver's.
namespace {

std::string psqlodbc_connection_string(const std::string& database) {
    const DatabaseUri u = parse_database_uri(zolviai::testing::server_uri("ZOLVIAI_PG_URI"));
    return "DRIVER={PostgreSQL Unicode};SERVER=" + u.host + ";PORT=" + std::to_string(u.port) +
           ";DATABASE=" + database + ";UID=" + u.user + ";PWD=" + u.password + ";BoolsAsChar=0";
}

} // namespace

TEST(TsqlPolicy, OdbcGuardedStatementsThroughPostgresqlDriver) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    zolviai::testing::ScratchDatabase db("ZOLVIAI_PG_URI");
    db.admin().execute("CREATE TABLE t (id int, note text)");
    db.admin().execute("INSERT INTO t VALUES (1, repeat('ab', 5000)), (2, 'short')");
    ConnectSettings s;
    s.engine = Engine::Odbc;
    s.odbc_connection_string = psqlodbc_connection_string(db.name());
    s.statement_timeout_ms = 1000;
    auto conn = connect(s);

    EXPECT_NE(conn->refusal_reason("SELECT 1; DELETE FROM t"), std::nullopt);
    EXPECT_EQ(conn->refusal_reason("SELECT id, note FROM t ORDER BY id"), std::nullopt);

    ExecuteOptions o;
    o.max_cell_bytes = 10;
    const ResultSet r = conn->execute_guarded("SELECT id, note FROM t ORDER BY id", o);
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0][1].text, "ababababab...") << "the first row's long value is cut";
    EXPECT_EQ(r.rows[1][1].text, "short");

    // The defences behind the policy: a write given straight to execute_guarded fails in the
    // read-only transaction, and the server's time-out stops a long statement without
    // breaking the connection.
    EXPECT_THROW(conn->execute_guarded("INSERT INTO t VALUES (3, 'x')", {}),
                 zolviai::DatabaseError);
    EXPECT_EQ(db.admin().execute("SELECT count(*) FROM t").rows.at(0).at(0).integer, 2);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(conn->execute_guarded("SELECT pg_sleep(4)", {}), zolviai::DatabaseError);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 3.5);
    EXPECT_FALSE(conn->is_broken());
    EXPECT_EQ(conn->execute_guarded("SELECT 7", {}).rows.at(0).at(0).integer, 7);
    // Outside the guard the session writes again: the read-only transaction did not outlive
    // the statement.
    conn->execute("INSERT INTO t VALUES (4, 'y')");
    EXPECT_EQ(db.admin().execute("SELECT count(*) FROM t").rows.at(0).at(0).integer, 3);

    const PrivilegeReport p = conn->privileges();
    EXPECT_FALSE(p.role.empty());
    EXPECT_TRUE(p.can_write) << "the test role is a superuser";
    EXPECT_NE(p.read_only_role_sql.find("CREATE ROLE"), std::string::npos);
}

// SQLite's ODBC driver: the T-SQL lexer reads the text, with SQLite's function list; a
// statement the engine does not stop by itself is cancelled at the client deadline and the
// connection closes itself.
TEST(TsqlPolicy, OdbcSqliteDriverRefusesWritesAndCancelsAtTheDeadline) {
    zolviai::testing::TempDir dir;
    ConnectSettings s;
    s.engine = Engine::Odbc;
    s.odbc_connection_string = "DRIVER={SQLite3};Database=" + dir.path() + "/odbc.db";
    s.statement_timeout_ms = 500;
    auto conn = connect(s);
    conn->execute("CREATE TABLE t (i INTEGER, s TEXT)");
    conn->execute("INSERT INTO t VALUES (1, 'caf\xc3\xa9 caf\xc3\xa9')");

    EXPECT_NE(conn->refusal_reason("SELECT 1 DELETE FROM t"), std::nullopt);
    EXPECT_NE(conn->refusal_reason("SELECT 1 /* /* */ , load_extension('x') -- */"), std::nullopt);
    EXPECT_THROW(conn->execute_guarded("DELETE FROM t", {}), zolviai::DatabaseError);
    EXPECT_EQ(conn->execute("SELECT count(*) FROM t").rows.at(0).at(0).integer, 1);

    ExecuteOptions o;
    o.max_cell_bytes = 4;
    const ResultSet r = conn->execute_guarded("SELECT s FROM t", o);
    EXPECT_EQ(r.rows.at(0).at(0).text, "caf...") << "cut on a character boundary";

    const auto start = std::chrono::steady_clock::now();
    try {
        conn->execute_guarded("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
                              "SELECT count(*) FROM c",
                              {});
        ADD_FAILURE() << "an endless statement finished";
    } catch (const zolviai::DatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("time-out"), std::string::npos) << e.what();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 9.0);
    EXPECT_TRUE(conn->is_broken());
    EXPECT_THROW(conn->execute_guarded("SELECT 1", {}), zolviai::DatabaseError);
}
