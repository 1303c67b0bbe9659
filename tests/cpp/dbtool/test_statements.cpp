// The texts the host tools build before anything reaches a server: bound statements, the
// query test of the PostgreSQL runner and the SQL Server connection text.
#include "dbtool/message.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/dbtool/connections.hpp"
#include "zolviai/dbtool/host_connection.hpp"
#include "zolviai/dbtool/query.hpp"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::dbtool;
using sql::Cell;
using sql::Engine;

namespace {

Parameters positional(std::vector<Cell> values) {
    Parameters p;
    p.positional = std::move(values);
    return p;
}

Parameters named(std::vector<std::pair<std::string, Cell>> values) {
    Parameters p;
    p.by_name = true;
    p.named = std::move(values);
    return p;
}

} // namespace

TEST(BindParameters, PostgresqlGetsNumberedPlaceholdersAndTextValues) {
    sql::DateTime ts{2024, 1, 5, 13, 4, 5, 120000};
    const BoundStatement b = bind_parameters(
        Engine::Postgresql, "SELECT %s, %s, '100%%', %s, %s, %s, %s, %s",
        positional({Cell::of_int(-5), Cell::null(), Cell::of_text("it's"), Cell::of_bool(true),
                    Cell::of_bytes(std::string("\x00\xff", 2)), Cell::of_timestamp(ts),
                    Cell::of_interval(sql::make_interval(1, 3661000005))}));
    EXPECT_EQ(b.sql, "SELECT $1, $2, '100%', $3, $4, $5, $6, $7");
    ASSERT_EQ(b.values.size(), 7u);
    EXPECT_EQ(b.values[0], "-5");
    EXPECT_FALSE(b.values[1].has_value());
    EXPECT_EQ(b.values[2], "it's");
    EXPECT_EQ(b.values[3], "true");
    EXPECT_EQ(b.values[4], "\\x00ff");
    EXPECT_EQ(b.values[5], "2024-01-05 13:04:05.120000");
    EXPECT_EQ(b.values[6], "1 days 3661 seconds 5 microseconds");
}

TEST(BindParameters, PostgresqlNamedValueBindsOnce) {
    const BoundStatement b =
        bind_parameters(Engine::Postgresql, "SELECT %(a)s, %(b)s, %(a)s",
                        named({{"a", Cell::of_text("x")}, {"b", Cell::of_int(2)}}));
    EXPECT_EQ(b.sql, "SELECT $1, $2, $1");
    EXPECT_EQ(b.values.size(), 2u);
}

TEST(BindParameters, MysqlWritesLiteralsThatNoTextCanBreak) {
    const BoundStatement b = bind_parameters(
        Engine::Mysql, "SELECT %s, %s, %s, %s, %s, %s",
        positional({Cell::of_text("a'\\"), Cell::of_bytes("\x01"), Cell::of_int(7),
                    Cell::of_decimal("12.50"), Cell::null(), Cell::of_bool(false)}));
    EXPECT_EQ(b.sql, "SELECT _utf8mb4 X'61275c', _binary X'01', 7, 12.50, NULL, 0");
    EXPECT_TRUE(b.values.empty());
    EXPECT_EQ(bind_parameters(Engine::Mysql, "SELECT %s",
                              positional({Cell::of_interval(sql::make_interval(-1, 1))}))
                  .sql,
              "SELECT '-23:59:59.999999'");
}

TEST(BindParameters, MismatchesAreErrorsWordedAsPythonFormatting) {
    struct Case {
        std::string sql;
        Parameters params;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"SELECT %s, %s", positional({Cell::of_int(1)}), "not enough arguments for format string"},
        {"SELECT %s", positional({Cell::of_int(1), Cell::of_int(2)}),
         "not all arguments converted during string formatting"},
        {"SELECT %d", positional({Cell::of_int(1)}),
         "unsupported format character 'd' (0x64) at index 8"},
        {"SELECT 5 %", positional({}), "incomplete format"},
        {"SELECT %(a)s", positional({Cell::of_int(1)}), "format requires a mapping"},
        {"SELECT %s", named({{"a", Cell::of_int(1)}}), "argument formats can't be mixed"},
        {"SELECT %(b)s", named({{"a", Cell::of_int(1)}}), "'b'"},
    };
    for (const Case& c : cases) {
        for (Engine engine : {Engine::Postgresql, Engine::Mysql}) {
            try {
                bind_parameters(engine, c.sql, c.params);
                ADD_FAILURE() << c.sql << " bound without an error";
            } catch (const Error& e) {
                EXPECT_EQ(e.what(), c.message) << c.sql;
            }
        }
    }
}

TEST(IsSelectStatement, ReadsOnlyTheFirstWordAfterWhiteSpace) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"SELECT 1", true},
        {"\n   select * from t", true},
        {"\t\r\n SeLeCt 1", true},
        {"\xc2\xa0\xe2\x80\x83select 1", true}, // no-break space, em space
        {"\x1f select 1", true},
        {"SELECTED", true}, // the test reads six characters, nothing more
        {"WITH x AS (SELECT 1) SELECT * FROM x", false},
        {"(SELECT 1)", false},
        {"-- note\nSELECT 1", false},
        {"/* c */ SELECT 1", false},
        {"SELEC", false},
        {"", false},
        {"\xe2\x80\x8bselect 1", false}, // zero-width space is not white space
        {"UPDATE t SET a = 1 RETURNING a", false},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(is_select_statement(text), expected) << text;
    }
}

TEST(MssqlConnectionText, PlainValuesAsTheyAreOthersBraced) {
    ConnectionParams p;
    p.host = "db.example";
    p.port = "1433";
    p.name = "sales";
    p.user = "sa";
    p.password = "Secret1";
    EXPECT_EQ(mssql_connection_text(p),
              "DRIVER={SQL Server};SERVER=db.example,1433;DATABASE=sales;UID=sa;PWD=Secret1");
    p.password = "a;DATABASE=master";
    p.user = "we{ird}";
    EXPECT_EQ(mssql_connection_text(p),
              "DRIVER={SQL Server};SERVER=db.example,1433;DATABASE=sales;UID={we{ird}}};"
              "PWD={a;DATABASE=master}");
}

TEST(MssqlConnectionText, ValuesTheGrammarWouldMisreadAreBracedWhole) {
    ConnectionParams p;
    p.host = "db;x";
    p.port = "1433";
    p.name = "a=b";
    p.user = " sa";
    p.password = "pw ";
    // The port belongs to the server's value: "{db;x},1433" would not read back.
    EXPECT_EQ(mssql_connection_text(p), "DRIVER={SQL Server};SERVER={db;x,1433};DATABASE={a=b};"
                                        "UID={ sa};PWD={pw }");
}

TEST(GetDbConnection, UnknownEngineTextsOpenNothing) {
    ConnectionParams p;
    p.host = "127.0.0.1";
    p.port = "1"; // nothing listens there: an attempt would fail, not report "Unsupported"
    for (const char* engine : {"mysql", "MYSQL", "Postgres", "postgresql", "MsSql", " MySQL", ""}) {
        EXPECT_EQ(get_db_connection(engine, p), "Unsupported SQL engine specified.") << engine;
    }
}

TEST(GetDbConnection, MssqlWithoutDriverManagerReportsTheLoadFailure) {
    // The driver manager is loaded on first use; point it at a library that is not there.
    // (Must run before anything in this process has loaded it through this path.)
    ::setenv("ZOLVIAI_ODBC_LIBRARY", "/nonexistent/libodbc-missing.so", 1);
    ConnectionParams p;
    const std::string text = get_db_connection("MsSQL", p);
    ::unsetenv("ZOLVIAI_ODBC_LIBRARY");
    EXPECT_EQ(text.rfind("Failed to connect to MsSQL database: could not load the ODBC driver "
                         "manager: /nonexistent/libodbc-missing.so",
                         0),
              0u)
        << text;
    // Now loaded for real, with a driver list (an empty one) that has no "SQL Server".
    const std::string ini_dir = ::testing::TempDir();
    {
        FILE* f = std::fopen((ini_dir + "/odbcinst.ini").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    ::setenv("ODBCSYSINI", ini_dir.c_str(), 1);
    const std::string second = get_db_connection("MsSQL", p);
    ::unsetenv("ODBCSYSINI");
    EXPECT_EQ(
        second.rfind("Failed to connect to MsSQL database: could not connect through ODBC: (", 0),
        0u)
        << second;
    EXPECT_NE(second.find("[unixODBC][Driver Manager]"), std::string::npos) << second;
}

TEST(OneLine, FoldsClientMessagesForPrintedLines) {
    // PostgreSQL: severity prefix, statement excerpt and caret go; DETAIL and HINT stay.
    EXPECT_EQ(one_line("ERROR:  syntax error at or near \"SELEC\"\nLINE 1: SELEC 1\n        ^\n"),
              "syntax error at or near \"SELEC\"");
    EXPECT_EQ(one_line("ERROR:  duplicate key value violates unique constraint \"t_pkey\"\n"
                       "DETAIL:  Key (id)=(1) already exists.\n"),
              "duplicate key value violates unique constraint \"t_pkey\" DETAIL:  Key (id)=(1) "
              "already exists.");
    EXPECT_EQ(one_line("connection to server at \"127.0.0.1\", port 1 failed: Connection refused\n"
                       "\tIs the server running on that host and accepting TCP/IP connections?\n"),
              "connection to server at \"127.0.0.1\", port 1 failed: Connection refused Is the "
              "server running on that host and accepting TCP/IP connections?");
    // Other texts pass unchanged; a line that merely starts with LINE is kept.
    EXPECT_EQ(one_line("ERROR 1146 (42S02): Table 'x.missing' doesn't exist"),
              "ERROR 1146 (42S02): Table 'x.missing' doesn't exist");
    EXPECT_EQ(one_line("LINES are fine\n^ too"), "LINES are fine ^ too");
    EXPECT_EQ(one_line(""), "");
}
