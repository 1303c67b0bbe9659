// The same conformance checks for every driver, against real servers and files: typed cells
// that render as Python prints the values, results without rows, and errors that carry the
// engine's own message.
#include "sql/sql_test_support.hpp"
#include "support/python_oracle.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/postgresql_binary.hpp"
#include "zolviai/sql/render.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/uri.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>

using namespace zolviai::sql;
using zolviai::testing::ScratchDatabase;
using zolviai::testing::TempDir;

namespace {

struct TypeCase {
    std::string sql;    // a query giving one value
    std::string python; // what Python prints for the value a Python client gives
};

// Checks the expectations against Python itself, then the driver against them.
void expect_cells(Connection& conn, const std::vector<TypeCase>& cases) {
    std::string input;
    for (const auto& c : cases) {
        input += c.python + "\n";
    }
    const std::string script = "import datetime, sys\n"
                               "from decimal import Decimal\n"
                               "from uuid import UUID\n"
                               "for line in sys.stdin.read().splitlines():\n"
                               "    print(repr(eval(line)))\n";
    std::istringstream lines(zolviai::testing::run_python(script, input));
    for (const auto& c : cases) {
        std::string python;
        std::getline(lines, python);
        ASSERT_EQ(python, c.python) << "the expectation is not how Python prints the value";
        const ResultSet r = conn.execute(c.sql);
        ASSERT_EQ(r.rows.size(), 1u) << c.sql;
        ASSERT_EQ(r.rows[0].size(), 1u) << c.sql;
        EXPECT_EQ(cell_repr(r.rows[0][0]), c.python) << c.sql;
    }
}

void expect_no_rows(Connection& conn, const std::string& sql) {
    const ResultSet r = conn.execute(sql);
    EXPECT_EQ(r.columns.size(), 1u) << sql;
    EXPECT_TRUE(r.rows.empty()) << sql;
    EXPECT_EQ(render_rows(r, false), "");
}

void expect_engine_error(Connection& conn, const std::string& sql, const std::string& message) {
    try {
        conn.execute(sql);
        ADD_FAILURE() << "no error for " << sql;
    } catch (const zolviai::DatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find(message), std::string::npos)
            << "expected the engine's message '" << message << "' in: " << e.what();
    }
}

std::string psqlodbc_connection_string(const std::string& database) {
    const DatabaseUri u = parse_database_uri(zolviai::testing::server_uri("ZOLVIAI_PG_URI"));
    return "DRIVER={PostgreSQL Unicode};SERVER=" + u.host + ";PORT=" + std::to_string(u.port) +
           ";DATABASE=" + database + ";UID=" + u.user + ";PWD=" + u.password + ";BoolsAsChar=0";
}

} // namespace

TEST(Drivers, PostgresqlTypesRowsAndErrors) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    Connection& conn = db.admin();
    conn.execute("SET TIME ZONE 'UTC'");
    expect_cells(
        conn, {
                  {"SELECT NULL::int", "None"},
                  {"SELECT true", "True"},
                  {"SELECT 9007199254740993::int8", "9007199254740993"},
                  {"SELECT 1.5::float8", "1.5"},
                  {"SELECT 12.50::numeric(10, 2)", "Decimal('12.50')"},
                  {"SELECT 'caf\xc3\xa9 \xe4\xb8\xad'::text", "'caf\xc3\xa9 \xe4\xb8\xad'"},
                  {"SELECT '\\x00ff27'::bytea", "b\"\\x00\\xff'\""},
                  {"SELECT DATE '2024-01-05'", "datetime.date(2024, 1, 5)"},
                  {"SELECT TIME '09:30'", "datetime.time(9, 30)"},
                  {"SELECT TIMESTAMP '2024-01-05 13:04:05.12'",
                   "datetime.datetime(2024, 1, 5, 13, 4, 5, 120000)"},
                  {"SELECT TIMESTAMPTZ '2024-01-05 13:04:05+00'",
                   "datetime.datetime(2024, 1, 5, 13, 4, 5, tzinfo=datetime.timezone.utc)"},
                  {"SELECT INTERVAL '1 day 01:01:01'", "datetime.timedelta(days=1, seconds=3661)"},
                  {"SELECT INTERVAL '-1 second'", "datetime.timedelta(days=-1, seconds=86399)"},
                  {"SELECT INTERVAL '1 mon 2 days'", "datetime.timedelta(days=32)"},
                  {"SELECT '{\"a\": [1, 2.0, null]}'::jsonb", "{'a': [1, 2.0, None]}"},
                  {"SELECT '12345678-1234-5678-1234-567812345678'::uuid",
                   "UUID('12345678-1234-5678-1234-567812345678')"},
              });
    conn.execute("SET TIME ZONE INTERVAL '+05:30' HOUR TO MINUTE");
    expect_cells(conn, {{"SELECT TIMESTAMPTZ '2024-01-05 13:04:05+00'",
                         "datetime.datetime(2024, 1, 5, 18, 34, 5, "
                         "tzinfo=datetime.timezone(datetime.timedelta(seconds=19800)))"}});
    expect_no_rows(conn, "SELECT 1 AS n WHERE false");
    expect_engine_error(conn, "SELECT nosuch FROM pg_class", "column \"nosuch\" does not exist");
    // Rows past max_rows are counted, not kept.
    ExecuteOptions two;
    two.max_rows = 2;
    const ResultSet r = conn.execute("SELECT generate_series(1, 10) AS n", two);
    EXPECT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.total_rows, 10);
    EXPECT_EQ(r.columns[0].name, "n");
    EXPECT_EQ(r.columns[0].type_name, "integer");
}

// Values of every type the host's rows read in PostgreSQL's binary format, edge cases beside
// ordinary ones.
const char* const pg_binary_values[] = {
    "NULL::int",
    "(-32768)::int2",
    "32767::int2",
    "(-2147483648)::int4",
    "(-9223372036854775808)::int8",
    "9223372036854775807::int8",
    "4294967295::oid",
    "0.1::real",
    "(1.0 / 3)::real",
    "'1e-45'::real",
    "'-0'::real",
    "'NaN'::real",
    "'-Infinity'::float8",
    "0.1::float8 + 0.2::float8",
    "'4.9e-324'::float8",
    "0::numeric",
    "(-0.00)::numeric",
    "12.50::numeric(10, 2)",
    "10000::numeric",
    "0.00001::numeric",
    "(-123456789012345678901234567890.000000000000000000001)::numeric",
    "1e-100::numeric",
    "(-1e100)::numeric",
    "round(1::numeric / 3, 30)",
    "'NaN'::numeric",
    "'Infinity'::numeric",
    "'-Infinity'::numeric",
    "true",
    "'caf\xc3\xa9 \xe4\xb8\xad'::text",
    "''::varchar",
    "'ab'::char(4)",
    "'pg_class'::name",
    "'\\x00ff27'::bytea",
    "''::bytea",
    "'A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11'::uuid",
    "'{\"a\": [1, 2.0, null]}'::json",
    "'{\"b\": \"x\", \"a\": [1, 2.0, null]}'::jsonb",
    "DATE '2000-01-01'",
    "DATE '1999-12-31'",
    "DATE '0001-01-01'",
    "DATE '9999-12-31'",
    "DATE '10000-01-01'",
    "DATE '0001-12-31 BC'",
    "DATE '4713-11-24 BC'",
    "DATE '5874897-12-31'",
    "'infinity'::date",
    "'-infinity'::date",
    "TIMESTAMP '2024-02-29 13:04:05.12'",
    "TIMESTAMP '1969-12-31 23:59:59.5'",
    "TIMESTAMP '1999-12-31 23:59:59.999999'",
    "TIMESTAMP '0001-01-01 00:00:00'",
    "TIMESTAMP '9999-12-31 23:59:59.999999'",
    "TIMESTAMP '10000-01-01 00:00:00.000001'",
    "TIMESTAMP '0044-03-15 12:30:00.25 BC'",
    "TIMESTAMP '4713-11-24 00:00:00 BC'",
    "TIMESTAMP '294276-12-31 23:59:59.999999'",
    "'infinity'::timestamp",
    "'-infinity'::timestamp",
};

TEST(Drivers, PostgresqlHostRowsInTheBinaryFormatReadAsTheTextFormatGivesThem) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    Connection& conn = db.admin();
    for (const std::string value : pg_binary_values) {
        // Beside an interval, which the host reads only as text, the whole row is text.
        const auto binary = conn.execute_text("SELECT " + value, {});
        const auto text = conn.execute_text("SELECT " + value + ", INTERVAL '1 day'", {});
        ASSERT_EQ(binary->size(), 1u) << value;
        ASSERT_EQ(binary->value_forms.size(), 1u) << value << ": not read in binary";
        EXPECT_TRUE(text->value_forms.empty()) << value << ": read in binary beside an interval";
        EXPECT_EQ(cell_repr(binary->cell(0, 0)), cell_repr(text->cell(0, 0))) << value;
        EXPECT_EQ(binary->columns[0].type_name, text->columns[0].type_name) << value;
    }
    // A statement with parameters is described with them.
    const auto added = conn.execute_text("SELECT $1::int8 + 1, $2::text", {"41", std::nullopt});
    ASSERT_EQ(added->value_forms.size(), 2u);
    EXPECT_EQ(cell_repr(added->cell(0, 0)), "42");
    std::size_t length = 0;
    EXPECT_EQ(added->value(0, 1, length), nullptr);
}

// The values of rows handed over in parts, one line a row.
std::vector<std::string> part_lines(Connection& conn, const std::string& sql,
                                    std::vector<std::size_t>* sizes = nullptr) {
    std::vector<std::string> lines;
    const auto shape = conn.execute_text_parts(sql, {}, [&](const TextRows& part) {
        EXPECT_EQ(part.columns.size(), 2u);
        if (sizes != nullptr) {
            sizes->push_back(part.size());
        }
        for (std::size_t r = 0; r < part.size(); ++r) {
            lines.push_back(cell_repr(part.cell(r, 0)) + " " + cell_repr(part.cell(r, 1)));
        }
    });
    EXPECT_EQ(shape->size(), 0u);
    EXPECT_EQ(shape->columns.size(), 2u);
    return lines;
}

TEST(Drivers, RowsHandedOverInPartsAreTheRowsOfTheWholeResult) {
    // PostgreSQL reads them row by row and hands them over a part at a time; the other
    // engines hand over their whole result as one part.
    for (const char* server : {"ZOLVIAI_PG_URI", "ZOLVIAI_MARIADB_URI"}) {
        if (std::getenv(server) == nullptr) {
            continue;
        }
        SCOPED_TRACE(server);
        ScratchDatabase db(server);
        Connection& conn = db.admin();
        const bool pg = conn.engine() == Engine::Postgresql;
        const std::string sql =
            pg ? "SELECT g, CASE WHEN g % 7 = 0 THEN NULL ELSE g / 8.0 END "
                 "FROM generate_series(1, 3000) g"
               : "WITH RECURSIVE n(g) AS (SELECT 1 UNION ALL SELECT g + 1 FROM n WHERE g < 3000) "
                 "SELECT g, CASE WHEN g % 7 = 0 THEN NULL ELSE g / 8.0 END FROM n";
        std::vector<std::size_t> sizes;
        const std::vector<std::string> lines = part_lines(conn, sql, &sizes);
        const auto whole = conn.execute_text(sql, {});
        ASSERT_EQ(lines.size(), whole->size());
        for (std::size_t r = 0; r < whole->size(); ++r) {
            ASSERT_EQ(lines[r], cell_repr(whole->cell(r, 0)) + " " + cell_repr(whole->cell(r, 1)));
        }
        EXPECT_EQ(sizes.size(), pg ? 3u : 1u); // 1024 rows a part
        // No rows: no part, the columns still known.
        EXPECT_TRUE(
            part_lines(conn, pg ? "SELECT 1, 2 WHERE false" : "SELECT 1, 2 FROM DUAL WHERE 0")
                .empty());
    }
}

TEST(Drivers, PostgresqlRowsInPartsFailingPartWayOrRefusedByTheTaker) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    Connection& conn = db.admin();
    // The server fails after sending 2,500 rows: the parts before were taken, then the
    // statement's error is thrown.
    std::size_t taken = 0;
    try {
        conn.execute_text_parts("SELECT g, 1 / (g - 2501) FROM generate_series(1, 4000) g", {},
                                [&](const TextRows& part) { taken += part.size(); });
        ADD_FAILURE() << "no error";
    } catch (const zolviai::DatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("division by zero"), std::string::npos) << e.what();
    }
    EXPECT_EQ(taken, 2048u);
    // A taker that throws is asked for no more parts; its error comes out once the rest was
    // read, and the connection goes on working.
    int calls = 0;
    EXPECT_THROW(conn.execute_text_parts("SELECT g, g FROM generate_series(1, 5000) g", {},
                                         [&](const TextRows&) {
                                             ++calls;
                                             throw std::runtime_error("taker failed");
                                         }),
                 std::runtime_error);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(part_lines(conn, "SELECT 1, 'after'").at(0), "1 'after'");
}

TEST(Drivers, PostgresqlBinaryNumbersDatesAndTimestampsAcrossTheirRanges) {
    // The readers of the binary forms against the server's own text of the same values, in
    // one statement read in binary (the ::text columns are text in either format).
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    Connection& conn = db.admin();
    const auto rows = conn.execute_text(
        "SELECT n, n::text, d, d::text, t, t::text, r, r::text FROM ("
        " SELECT round((g * 7919 % 1000003 - 500000)::numeric / 10::numeric ^ (g % 37), "
        "   g % 41) * (CASE WHEN g % 5 = 0 THEN 10::numeric ^ (g % 60) ELSE 1 END) AS n,"
        " DATE '2000-01-01' + (CASE WHEN g % 2 = 0"
        "   THEN (g::int8 * 2654435761 % 2000000000 - 2451545)::int"
        "   ELSE (g * 997 % 800000 - 1200000) END) AS d,"
        " TIMESTAMP '2000-01-01' + ((g::numeric * 4567890123456789) % 9000000000000000000"
        "   - 210000000000000000)::int8 * INTERVAL '1 microsecond'"
        "   + (g % 1000000) * INTERVAL '1 microsecond' AS t,"
        " (power(1.7, g % 200 - 100) * (g % 7 - 3))::real AS r"
        " FROM generate_series(1, 3000) g) v",
        {});
    ASSERT_EQ(rows->size(), 3000u);
    ASSERT_EQ(rows->value_forms.size(), 8u);
    const auto text_of = [&](std::size_t row, std::size_t column) {
        std::size_t length = 0;
        const char* v = rows->value(row, column, length);
        return std::string(v, length);
    };
    int bc = 0;
    int past_9999 = 0;
    for (std::size_t i = 0; i < rows->size(); ++i) {
        std::size_t length = 0;
        const char* v = rows->value(i, 0, length);
        std::string numeric;
        ASSERT_TRUE(pg_binary_numeric(v, length, numeric)) << text_of(i, 1);
        EXPECT_EQ(numeric, text_of(i, 1));
        for (const std::size_t column : {2u, 4u}) {
            v = rows->value(i, column, length);
            const std::string server = text_of(i, column + 1);
            DateTime parts;
            std::string text;
            const bool held = column == 2 ? pg_binary_date(v, length, parts, text)
                                          : pg_binary_timestamp(v, length, parts, text);
            DateTime expected;
            const bool parsed =
                column == 2 ? parse_date(server, expected) : parse_timestamp(server, expected);
            ASSERT_EQ(held, parsed) << server;
            if (!held) {
                ++(server.size() > 3 && server.substr(server.size() - 3) == " BC" ? bc : past_9999);
                EXPECT_EQ(text, server);
                continue;
            }
            EXPECT_EQ(cell_repr(Cell::of_timestamp(parts)), cell_repr(Cell::of_timestamp(expected)))
                << server;
        }
        v = rows->value(i, 6, length);
        EXPECT_EQ(pg_binary_float(v, length), std::strtod(text_of(i, 7).c_str(), nullptr))
            << text_of(i, 7);
    }
    // Both sides of Python's range were met.
    EXPECT_GT(bc, 100);
    EXPECT_GT(past_9999, 100);
}

TEST(Drivers, MariadbTypesRowsAndErrors) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase db("ZOLVIAI_MARIADB_URI");
    Connection& conn = db.admin();
    EXPECT_EQ(conn.server_name(), "MariaDB");
    expect_cells(
        conn,
        {
            {"SELECT NULL", "None"},
            {"SELECT CAST(9007199254740993 AS SIGNED)", "9007199254740993"},
            {"SELECT CAST(1.5 AS DOUBLE)", "1.5"},
            {"SELECT CAST(12.5 AS DECIMAL(10, 2))", "Decimal('12.50')"},
            {"SELECT 'caf\xc3\xa9 \xe4\xb8\xad'", "'caf\xc3\xa9 \xe4\xb8\xad'"},
            {"SELECT X'00FF27'", "b\"\\x00\\xff'\""},
            {"SELECT DATE '2024-01-05'", "datetime.date(2024, 1, 5)"},
            {"SELECT CAST('2024-01-05 13:04:05.12' AS DATETIME(6))",
             "datetime.datetime(2024, 1, 5, 13, 4, 5, 120000)"},
            {"SELECT CAST('2024-01-05' AS DATETIME)", "datetime.datetime(2024, 1, 5, 0, 0)"},
            {"SELECT CAST('25:00:01' AS TIME)", "datetime.timedelta(days=1, seconds=3601)"},
            {"SELECT CAST('-01:00:00' AS TIME)", "datetime.timedelta(days=-1, seconds=82800)"},
            {"SELECT JSON_OBJECT('a', 1)", "'{\"a\": 1}'"},
        });
    expect_no_rows(conn, "SELECT 1 AS n FROM DUAL WHERE 1 = 0");
    expect_engine_error(conn, "SELECT nosuch", "Unknown column 'nosuch'");
    // Parameters are written in as literals that no quote or backslash can end, whatever the
    // session's sql_mode; a '?' inside quoted text is not a placeholder.
    const std::string mode = conn.execute("SELECT @@SESSION.sql_mode").rows.at(0).at(0).text;
    const std::string hostile = "it's \\' OR 1=1 -- \"x\" \xe2\x82\xac";
    for (const char* sql_mode : {"", "NO_BACKSLASH_ESCAPES"}) {
        conn.execute(std::string("SET SESSION sql_mode = '") + sql_mode + "'");
        const ResultSet r = conn.execute_params("SELECT ?, '?', ?", {hostile, std::nullopt});
        ASSERT_EQ(r.rows.size(), 1u) << sql_mode;
        EXPECT_EQ(r.rows[0][0].text, hostile) << sql_mode;
        EXPECT_EQ(r.rows[0][1].text, "?") << sql_mode;
        EXPECT_EQ(r.rows[0][2].type, CellType::Null) << sql_mode;
    }
    conn.execute("SET SESSION sql_mode = '" + mode + "'");
}

TEST(Drivers, BatchesKeepEachStatementsRowsAndErrorAndLeaveOneStatementPerCall) {
    // The catalog's batches: 150 statements over several round trips, failures in the middle
    // of a round trip and at its end, a row limit; afterwards the session still takes one
    // statement per call.
    for (const char* var : {"ZOLVIAI_PG_URI", "ZOLVIAI_MARIADB_URI"}) {
        if (zolviai::testing::server_uri(var).empty()) {
            continue;
        }
        SCOPED_TRACE(var);
        ScratchDatabase db(var);
        Connection& conn = db.admin();
        std::vector<std::string> statements;
        for (int i = 0; i < 150; ++i) {
            const bool fails = i == 5 || i == 63 || i == 64 || i == 149;
            statements.push_back(fails
                                     ? "SELECT n FROM no_such_table_" + std::to_string(i)
                                     : "SELECT " + std::to_string(i) + " AS n UNION ALL SELECT 0");
        }
        ExecuteOptions one;
        one.max_rows = 1;
        const auto results = conn.execute_batch(statements, one);
        ASSERT_EQ(results.size(), statements.size());
        for (int i = 0; i < 150; ++i) {
            const auto& r = results[static_cast<std::size_t>(i)];
            if (statements[static_cast<std::size_t>(i)].find("no_such") != std::string::npos) {
                EXPECT_NE(r.error.find("no_such_table_" + std::to_string(i)), std::string::npos)
                    << i << ": " << r.error;
                continue;
            }
            ASSERT_TRUE(r.error.empty()) << i << ": " << r.error;
            ASSERT_EQ(r.result.rows.size(), 1u) << i;
            EXPECT_EQ(r.result.rows[0][0].integer, i);
        }
        EXPECT_THROW(conn.execute("SELECT 1; SELECT 2"), zolviai::DatabaseError);
        EXPECT_EQ(conn.execute("SELECT 7").rows.at(0).at(0).integer, 7);
    }
}

TEST(Drivers, SqliteTypesRowsAndErrors) {
    TempDir dir;
    ConnectSettings s;
    s.engine = Engine::Sqlite;
    s.database = dir.path() + "/types.db";
    auto conn = connect(s);
    expect_cells(*conn, {
                            {"SELECT NULL", "None"},
                            {"SELECT 9007199254740993", "9007199254740993"},
                            {"SELECT 1.5", "1.5"},
                            {"SELECT 'caf\xc3\xa9'", "'caf\xc3\xa9'"},
                            {"SELECT X'00FF27'", "b\"\\x00\\xff'\""},
                        });
    expect_no_rows(*conn, "SELECT 1 AS n WHERE 0");
    expect_engine_error(*conn, "SELECT nosuch", "no such column: nosuch");
    expect_engine_error(*conn, "SELECT 1; SELECT 2", "one statement at a time");
}

TEST(Drivers, OdbcThroughPostgresqlDriverTypesRowsAndErrors) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    ConnectSettings s;
    s.engine = Engine::Odbc;
    s.odbc_connection_string = psqlodbc_connection_string(db.name());
    auto conn = connect(s);
    EXPECT_EQ(conn->server_name(), "PostgreSQL");
    expect_cells(*conn, {
                            {"SELECT NULL::int", "None"},
                            {"SELECT true", "True"},
                            {"SELECT 9007199254740993::int8", "9007199254740993"},
                            {"SELECT 1.5::float8", "1.5"},
                            {"SELECT 12.50::numeric(10, 2)", "Decimal('12.50')"},
                            {"SELECT 'caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80'::text",
                             "'caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80'"},
                            {"SELECT '\\x00ff27'::bytea", "b\"\\x00\\xff'\""},
                            {"SELECT DATE '2024-01-05'", "datetime.date(2024, 1, 5)"},
                            {"SELECT TIMESTAMP '2024-01-05 13:04:05.12'",
                             "datetime.datetime(2024, 1, 5, 13, 4, 5, 120000)"},
                            {"SELECT '12345678-1234-5678-1234-567812345678'::uuid",
                             "UUID('12345678-1234-5678-1234-567812345678')"},
                        });
    expect_no_rows(*conn, "SELECT 1 AS n WHERE false");
    expect_engine_error(*conn, "SELECT nosuch FROM pg_class", "column \"nosuch\" does not exist");
    // Parameters and text longer than one fetch piece.
    const ResultSet r = conn->execute_params("SELECT repeat(?, 5000) AS t", {std::string("ab")});
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        expected += "ab";
    }
    EXPECT_EQ(r.rows.at(0).at(0).text, expected);
}

TEST(Drivers, OdbcThroughSqliteDriverTypesRowsAndErrors) {
    TempDir dir;
    ConnectSettings s;
    s.engine = Engine::Odbc;
    s.odbc_connection_string = "DRIVER={SQLite3};Database=" + dir.path() + "/odbc.db";
    auto conn = connect(s);
    conn->execute("CREATE TABLE t (i INTEGER, f DOUBLE, s TEXT, b BLOB)");
    conn->execute("INSERT INTO t VALUES (42, 1.5, 'caf\xc3\xa9', X'00FF27')");
    expect_cells(*conn, {
                            {"SELECT i FROM t", "42"},
                            {"SELECT f FROM t", "1.5"},
                            {"SELECT s FROM t", "'caf\xc3\xa9'"},
                            {"SELECT b FROM t", "b\"\\x00\\xff'\""},
                        });
    expect_no_rows(*conn, "SELECT i FROM t WHERE 0");
    expect_engine_error(*conn, "SELECT nosuch FROM t", "no such column");
}

// Generated SQL through psqlODBC gets what the native driver gives it: a read-only
// transaction with the session's bounds, and a session reset afterwards, so that an advisory
// lock (allowed by the host here only to take one) never stays in the pool.
TEST(Drivers, OdbcThroughPostgresqlResetsTheSessionAfterGeneratedSql) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    const std::string role = "zg_odbc_rd_" + std::to_string(::getpid());
    db.admin().execute("CREATE ROLE " + role + " LOGIN PASSWORD 'zg-reader-pw'");
    struct DropRole {
        ScratchDatabase& db;
        std::string role;
        ~DropRole() {
            try {
                db.admin().execute("DROP ROLE " + role);
            } catch (const zolviai::DatabaseError&) {
            }
        }
    } drop{db, role};
    const DatabaseUri u = parse_database_uri(zolviai::testing::server_uri("ZOLVIAI_PG_URI"));
    ConnectSettings s;
    s.engine = Engine::Odbc;
    s.read_only = true;
    s.statement_timeout_ms = 2000;
    s.guard.allowed_functions = {"pg_advisory_lock"};
    s.odbc_connection_string = "DRIVER={PostgreSQL Unicode};SERVER=" + u.host +
                               ";PORT=" + std::to_string(u.port) + ";DATABASE=" + db.name() +
                               ";UID=" + role + ";PWD=zg-reader-pw;BoolsAsChar=0";
    auto conn = connect(s);
    const ResultSet settings = conn->execute_guarded(
        "SELECT current_setting('work_mem'), current_setting('statement_timeout'), "
        "current_setting('transaction_read_only')",
        {});
    EXPECT_EQ(settings.rows.at(0).at(0).text, "16MB");
    EXPECT_EQ(settings.rows.at(0).at(1).text, "2s");
    EXPECT_EQ(settings.rows.at(0).at(2).text, "on");
    conn->execute_guarded("SELECT pg_advisory_lock(424242)", {});
    EXPECT_EQ(db.admin()
                  .execute("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND "
                           "objid = 424242")
                  .rows.at(0)
                  .at(0)
                  .integer,
              0);
    EXPECT_FALSE(conn->is_broken());
    // Outside a guarded statement the session has the server's own settings again.
    EXPECT_EQ(conn->execute("SELECT current_setting('work_mem')").rows.at(0).at(0).text, "4MB");
}

// The wrapper opens an SQLite file through the SQLite ODBC driver and reads its catalog as
// SQLite's (it has no schemas and no INFORMATION_SCHEMA).
TEST(Drivers, OdbcThroughSqliteOpensInTheWrapper) {
    TempDir dir;
    const std::string path = dir.path() + "/odbc_wrapper.db";
    {
        ConnectSettings s;
        s.database = path;
        auto setup = connect(s);
        setup->execute("CREATE TABLE artists (id INTEGER PRIMARY KEY, name TEXT)");
        setup->execute("INSERT INTO artists VALUES (1, 'AC/DC')");
    }
    std::string encoded;
    for (char c : path) {
        encoded += c == '/' ? std::string("%2F") : std::string(1, c);
    }
    const std::string uri =
        "mssql://local/?odbc_connect=DRIVER%3D%7BSQLite3%7D%3BDatabase%3D" + encoded;
    // What the driver may do to the file cannot be asked, so generated SQL needs the host's
    // explicit leave; the catalog reads need none.
    auto db = CustomSQLDatabase::from_uri(uri, DatabaseOptions{});
    EXPECT_EQ(db->dialect(), "sqlite");
    EXPECT_EQ(db->get_usable_table_names(), std::vector<std::string>{"artists"});
    EXPECT_THROW(db->run("SELECT name FROM artists"), zolviai::DatabaseError);
    DatabaseOptions allowed;
    allowed.allow_privileged_role = true;
    EXPECT_EQ(CustomSQLDatabase::from_uri(uri, allowed)->run("SELECT name FROM artists"),
              "[('AC/DC',)]");
}

// Text crosses the ODBC API as UTF-16: characters outside the BMP take a surrogate pair, also
// across the pieces a long value is read in, and a lone surrogate a driver hands back (it has no
// UTF-8 form) becomes U+FFFD without losing the text around it.
TEST(Drivers, OdbcTextKeepsEveryCharacterAndMarksLoneSurrogates) {
    TempDir dir;
    ConnectSettings s;
    s.engine = Engine::Odbc;
    s.odbc_connection_string = "DRIVER={SQLite3};Database=" + dir.path() + "/text.db";
    auto conn = connect(s);
    const std::string clef = "\xf0\x9d\x84\x9e"; // U+1D11E
    // The pair's first half ends the first 4095-unit piece, its second half starts the next.
    const std::string long_text = std::string(4094, 'a') + clef + "b\xc3\xa9";
    for (const std::string& text : {clef + " caf\xc3\xa9 \xe4\xb8\xad", long_text}) {
        const ResultSet r = conn->execute_params("SELECT ? AS t", {text});
        ASSERT_EQ(r.rows.size(), 1u);
        EXPECT_EQ(r.rows[0][0].text, text);
    }
    // SQLite keeps the bytes of a surrogate written in UTF-8; the driver hands it on alone.
    const ResultSet lone = conn->execute("SELECT CAST(X'61EDA08062' AS TEXT) AS t");
    ASSERT_EQ(lone.rows.size(), 1u);
    EXPECT_EQ(lone.rows[0][0].text, "a\xef\xbf\xbd"
                                    "b");
}

TEST(Drivers, ConnectionFailuresNameTheProblemButNotThePassword) {
    ConnectSettings pg;
    pg.engine = Engine::Postgresql;
    pg.host = "127.0.0.1";
    pg.port = 1; // nothing listens there
    pg.user = "zolvi";
    pg.password = "hunter2-secret";
    pg.database = "x";
    ConnectSettings my = pg;
    my.engine = Engine::Mysql;
    ConnectSettings odbc;
    odbc.engine = Engine::Odbc;
    odbc.password = "hunter2-secret";
    odbc.odbc_connection_string = "DRIVER={No Such Driver};PWD=hunter2-secret";
    for (const ConnectSettings& s : {pg, my, odbc}) {
        try {
            connect(s);
            ADD_FAILURE() << "connected to nothing";
        } catch (const zolviai::DatabaseError& e) {
            const std::string m = e.what();
            EXPECT_NE(m.find("could not connect"), std::string::npos) << m;
            EXPECT_EQ(m.find("hunter2-secret"), std::string::npos) << m;
        }
    }
}

// The second line of defence behind the statement guard: a read-only session or transaction
// refuses writes in the engine itself, where the engine has one.
TEST(Drivers, ReadOnlySessionsRefuseWrites) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase pg("ZOLVIAI_PG_URI");
    ScratchDatabase maria("ZOLVIAI_MARIADB_URI");
    TempDir dir;
    ConnectSettings lite;
    lite.engine = Engine::Sqlite;
    lite.database = dir.path() + "/ro.db";
    auto lite_admin = connect(lite);
    std::vector<std::pair<ConnectSettings, Connection*>> targets = {
        {pg.settings(), &pg.admin()}, {maria.settings(), &maria.admin()}, {lite, lite_admin.get()}};
    for (auto& [settings, admin] : targets) {
        admin->execute("CREATE TABLE t (x INTEGER)");
        admin->execute("INSERT INTO t VALUES (1)");
        ConnectSettings ro = settings;
        ro.read_only = true;
        auto conn = connect(ro);
        for (const std::string sql : {"DELETE FROM t", "INSERT INTO t VALUES (2)"}) {
            conn->begin(true);
            EXPECT_THROW(conn->execute(sql), zolviai::DatabaseError) << sql;
            conn->rollback();
        }
        EXPECT_EQ(admin->execute("SELECT count(*) FROM t").rows.at(0).at(0).integer, 1);
    }
    // SQLite's authorizer also stops attaching files and schema changes.
    lite.read_only = true;
    auto conn = connect(lite);
    EXPECT_THROW(conn->execute("ATTACH DATABASE '" + dir.path() + "/x.db' AS x"),
                 zolviai::DatabaseError);
    EXPECT_THROW(conn->execute("CREATE TABLE u (x)"), zolviai::DatabaseError);
    EXPECT_THROW(conn->execute("PRAGMA query_only = 0"), zolviai::DatabaseError);
}
