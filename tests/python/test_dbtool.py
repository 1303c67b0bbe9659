"""The host's database tools against the real PostgreSQL and MariaDB test servers."""
import datetime
import decimal
import gc
import os
import re
import shutil
import socket
import subprocess
import sys
import textwrap
import uuid
import weakref
from urllib.parse import urlsplit

import pytest

import zolviai.dbtool as dbtool


def server(variable):
    uri = os.environ.get(variable)
    if not uri:
        pytest.fail(f"{variable} is not set: start the servers with scripts/services start")
    parts = urlsplit(uri)
    return {"user": parts.username, "password": parts.password, "host": parts.hostname,
            "port": parts.port, "name": parts.path.lstrip("/")}


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def closed_port():
    """A loopback port nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def admin(engine, name=None):
    s = server("ZOLVIAI_PG_URI" if engine == "pg" else "ZOLVIAI_MARIADB_URI")
    factory = dbtool.get_pgdb_connection if engine == "pg" else dbtool.get_mysql_db_connection
    conn = factory(s["user"], s["password"], s["host"], s["port"], name or s["name"])
    assert conn is not None
    conn.autocommit = True
    return conn


def run(conn, *statements):
    with conn.cursor() as cur:
        for statement in statements:
            cur.execute(statement)


@pytest.fixture
def scratch(request):
    """A fresh database on one server, made the configured one; dropped afterwards."""
    engine = request.param
    s = server("ZOLVIAI_PG_URI" if engine == "pg" else "ZOLVIAI_MARIADB_URI")
    name = "dbtool_" + uuid.uuid4().hex[:12]
    conn = admin(engine)
    run(conn, f"CREATE DATABASE {name}")
    dbtool.set_database_config(name, s["user"], s["password"], s["host"], s["port"])
    yield engine, name
    if engine != "pg":
        # A connection a failed test left open must not hold the drop forever.
        run(conn, "SET SESSION lock_wait_timeout = 20")
    run(conn, f"DROP DATABASE {name}" + (" WITH (FORCE)" if engine == "pg" else ""))
    conn.close()


pg = pytest.mark.parametrize("scratch", ["pg"], indirect=True)
maria = pytest.mark.parametrize("scratch", ["maria"], indirect=True)
both = pytest.mark.parametrize("scratch", ["pg", "maria"], indirect=True)


def run_fresh(code, env):
    """Runs code in a new interpreter that imports the module with exactly this environment."""
    env = dict(env, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


# Settings


def test_settings_are_read_from_the_environment_once_at_import():
    code = """
        import os
        import zolviai.dbtool as d
        os.environ["db_name"] = "later"
        print(repr((d.db_user, d.db_password, d.db_host, d.db_port, d.db_name)))
        print(d.check_db_config_variables())
    """
    assert run_fresh(code, {}).splitlines() == [
        "('root', 'tavk', None, 3306, None)",
        "The following configuration variables are invalid: db_name, db_host",
        "['db_name', 'db_host']",
    ]
    env = {"db_user": "u", "db_password": "", "db_host": "h", "db_name": "n"}
    assert run_fresh(code, env).splitlines() == [
        "('u', '', 'h', 3306, 'n')",
        "The following configuration variables are invalid: db_password",
        "['db_password']",
    ]


@pytest.fixture
def saved_settings():
    saved = (dbtool.db_name, dbtool.db_user, dbtool.db_password, dbtool.db_host, dbtool.db_port)
    yield saved
    dbtool.set_database_config(*[v if v is not None else "" for v in saved[:4]], saved[4])


@pytest.mark.parametrize("args", [
    ("n", "u", "p", "h", "5432"),
    ("n", "u", "p", "h", 5432.0),
    ("n", "u", "p", "h", None),
    (None, "u", "p", "h", 5432),
    ("n", None, "p", "h", 5432),
    ("n", "u", None, "h", 5432),
    ("n", "u", "p", None, 5432),
])
def test_set_database_config_refuses_missing_values_and_keeps_the_old_ones(args, saved_settings,
                                                                           capsys):
    dbtool.set_database_config("keep_n", "keep_u", "keep_p", "keep_h", 1234)
    with pytest.raises(ValueError) as raised:
        dbtool.set_database_config(*args)
    assert str(raised.value) == "All parameters must be provided and 'port' must be an integer."
    assert (dbtool.db_name, dbtool.db_user, dbtool.db_password, dbtool.db_host,
            dbtool.db_port) == ("keep_n", "keep_u", "keep_p", "keep_h", 1234)
    assert dbtool.check_db_config_variables() == []
    assert lines(capsys) == ["All configuration variables are set correctly."]


def test_empty_texts_are_stored_and_reported_in_order(saved_settings, capsys):
    dbtool.set_database_config("", "", "", "", 0)
    assert dbtool.db_port == 0
    assert dbtool.check_db_config_variables() == ["db_name", "db_user", "db_password", "db_host"]
    assert lines(capsys) == [
        "The following configuration variables are invalid: db_name, db_user, db_password, db_host"]
    dbtool.set_database_config("", "u", "p", "", 1)
    assert dbtool.check_db_config_variables() == ["db_name", "db_host"]


# Connection test


def test_get_db_connection_reports_in_text(capsys):
    pgs, my = server("ZOLVIAI_PG_URI"), server("ZOLVIAI_MARIADB_URI")
    ok = "Success! Connection Established! ."
    assert dbtool.get_db_connection("PostgreSQL", pgs["user"], pgs["password"], pgs["host"],
                                    pgs["port"], pgs["name"]) == ok
    assert dbtool.get_db_connection("MySQL", my["user"], my["password"], my["host"], my["port"],
                                    my["name"]) == ok
    for engine in ["mysql", "POSTGRESQL", "MsSql", "SQLite", "", None]:
        assert dbtool.get_db_connection(engine, "u", "p", "127.0.0.1", 1,
                                        "d") == "Unsupported SQL engine specified."
    port = closed_port()
    for engine in ["MySQL", "PostgreSQL"]:
        text = dbtool.get_db_connection(engine, "u", "p", "127.0.0.1", port, "d")
        assert text.startswith(f"Failed to connect to {engine} database: "), text
        assert "127.0.0.1" in text, text
    bad = dbtool.get_db_connection("PostgreSQL", pgs["user"], "wrong-password", pgs["host"],
                                   pgs["port"], "no_such_database_here")
    assert bad.startswith("Failed to connect to PostgreSQL database: ")
    assert "no_such_database_here" in bad
    assert lines(capsys) == []


def odbc_env(tmp_path, driver_library=None):
    """A driver list of our own: empty, or naming a library as the "SQL Server" driver."""
    (tmp_path / "odbcinst.ini").write_text(
        f"[SQL Server]\nDriver={driver_library}\n" if driver_library else "")
    (tmp_path / "odbc.ini").write_text("")
    return {"ODBCSYSINI": str(tmp_path), "ODBCINSTINI": "odbcinst.ini",
            "ODBCINI": str(tmp_path / "odbc.ini"), "HOME": str(tmp_path)}


def test_mssql_without_odbc_leaves_the_other_engines_working(tmp_path):
    pgs, my = server("ZOLVIAI_PG_URI"), server("ZOLVIAI_MARIADB_URI")
    code = f"""
        import zolviai.dbtool as d
        print(d.get_db_connection("MsSQL", "sa", "x;y", "127.0.0.1", 1433, "master"))
        print(d.get_db_connection("PostgreSQL", {pgs['user']!r}, {pgs['password']!r},
                                  {pgs['host']!r}, {pgs['port']}, {pgs['name']!r}))
        print(d.get_db_connection("MySQL", {my['user']!r}, {my['password']!r}, {my['host']!r},
                                  {my['port']}, {my['name']!r}))
    """
    # No driver manager at all.
    out = run_fresh(code, {"ZOLVIAI_ODBC_LIBRARY": "libodbc-not-installed.so.9"}).splitlines()
    assert out[0].startswith("Failed to connect to MsSQL database: could not load the ODBC "
                             "driver manager: libodbc-not-installed.so.9"), out[0]
    assert out[1:] == ["Success! Connection Established! ."] * 2
    # A driver manager without a "SQL Server" driver.
    out = run_fresh(code, odbc_env(tmp_path)).splitlines()
    assert out[0].startswith("Failed to connect to MsSQL database: could not connect through "
                             "ODBC: ("), out[0]
    assert "[unixODBC][Driver Manager]" in out[0] and "SQL Server" in out[0], out[0]
    assert out[1:] == ["Success! Connection Established! ."] * 2


def test_no_module_needs_the_odbc_driver_manager_to_load():
    package = os.path.dirname(dbtool.__file__)
    libraries = [os.path.join(root, name) for root, _, names in os.walk(package)
                 for name in names if name.endswith(".so")]
    assert any(name.endswith("libzolviai.so") for name in libraries), libraries
    for library in libraries:
        needed = subprocess.run(["objdump", "-p", library], capture_output=True, text=True,
                                check=True).stdout
        assert "libodbc" not in needed, library


def freetds_library():
    for path in ["/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so", "/usr/lib/odbc/libtdsodbc.so"]:
        if os.path.exists(path):
            return path
    pytest.skip("FreeTDS (Debian package tdsodbc) is not installed")


def test_mssql_through_freetds_carries_the_driver_message(tmp_path):
    port = closed_port()
    code = f"""
        import zolviai.dbtool as d
        print(d.get_db_connection("MsSQL", "sa", "pw;x", "127.0.0.1", {port}, "master"))
    """
    out = run_fresh(code, odbc_env(tmp_path, freetds_library())).strip()
    assert out.startswith("Failed to connect to MsSQL database: could not connect through ODBC: ("), out
    assert "[FreeTDS]" in out, out
    assert "pw;x" not in out


# Factories and a stopped server


def test_stopped_server_prints_only_the_factory_line(saved_settings, capsys):
    port = closed_port()
    assert dbtool.get_pgdb_connection("u", "p", "127.0.0.1", port, "d") is None
    assert dbtool.get_mysql_db_connection("u", "p", "127.0.0.1", port, "d") is None
    out = capsys.readouterr().out
    assert re.fullmatch(r"The error '(.+)' occurred\nFailed to connect to the database: (.+)\n", out,
                        re.S), out
    dbtool.set_database_config("d", "u", "p", "127.0.0.1", port)
    calls = [(dbtool.get_pgdb_schema, "The error '"), (dbtool.execute_pgdb_query, "The error '"),
             (dbtool.get_mysql_database_schema, "Failed to connect to the database: "),
             (dbtool.execute_mysql_query, "Failed to connect to the database: ")]
    for call, start in calls:
        result = call("SELECT 1") if call.__name__.startswith("execute") else call()
        assert result is None
        out = capsys.readouterr().out
        assert out.startswith(start) and "An error occurred" not in out, out
        assert out.count("\n") == out.count("\n\t") + 1, out  # one printed line


# Connection objects


@both
def test_connection_objects_run_parameterised_statements(scratch):
    engine, name = scratch
    conn = admin(engine, name)
    conn.autocommit = False
    text = "it's \\ \" -- ; %s"
    with conn.cursor() as cur:
        cur.execute("CREATE TABLE t (id INT, label VARCHAR(40), price DECIMAL(8,2))")
        inserted = cur.execute("INSERT INTO t VALUES (%s, %s, %s), (%s, %s, NULL)",
                               (1, text, decimal.Decimal("9.50"), 2, None))
        assert cur.rowcount == 2
        # MySQL's client hands the row count back from execute, PostgreSQL's nothing.
        assert inserted == (2 if engine == "maria" else None)
        cur.execute("SELECT id, label, price FROM t WHERE label = %(l)s OR id = %(i)s ORDER BY id",
                    {"l": text, "i": 2})
        assert [d[0] for d in cur.description] == ["id", "label", "price"]
        rows = cur.fetchall()
        assert cur.rowcount == 2
    expected = [(1, text, decimal.Decimal("9.50")), (2, None, None)]
    if engine == "maria":
        expected = [dict(zip(["id", "label", "price"], r)) for r in expected]
    assert rows == expected
    if engine == "maria":  # a repeated column name gets its table in front, as in MySQL's clients
        with conn.cursor() as cur:
            cur.execute("SELECT a.id, b.id FROM t a JOIN t b ON a.id = b.id ORDER BY a.id")
            assert cur.fetchall() == [{"id": 1, "b.id": 1}, {"id": 2, "b.id": 2}]
    with conn.cursor(dict_rows=False) as cur:
        cur.execute("SELECT %s, '100%%'", ["x"])
        assert cur.fetchone() == ("x", "100%")
        assert cur.fetchone() is None
    conn.rollback()
    with conn.cursor(dict_rows=False) as cur:
        if engine == "pg":
            with pytest.raises(dbtool.DatabaseError):
                cur.execute("SELECT * FROM t")
        else:  # MySQL commits a CREATE TABLE at once: the table stays, the rows go
            cur.execute("SELECT COUNT(*) FROM t")
            assert cur.fetchone() == (0,)
    conn.close()
    assert conn.closed
    with pytest.raises(dbtool.DatabaseError, match="closed"):
        conn.cursor().execute("SELECT 1")
    with pytest.raises(TypeError, match="not enough arguments"):
        admin(engine, name).cursor().execute("SELECT %s, %s", (1,))
    with pytest.raises(TypeError, match="can't adapt type 'object'"):
        admin(engine, name).cursor().execute("SELECT %s", (object(),))


@both
def test_transactions_commit_rollback_and_with_blocks(scratch):
    engine, name = scratch
    run(admin(engine, name), "CREATE TABLE t (n INT)")

    def count():
        with admin(engine, name).cursor(dict_rows=False) as cur:
            cur.execute("SELECT COUNT(*) FROM t")
            return cur.fetchone()[0]

    conn = admin(engine, name)
    conn.autocommit = False
    run(conn, "INSERT INTO t VALUES (1)")
    conn.rollback()
    run(conn, "INSERT INTO t VALUES (2)")
    conn.commit()
    run(conn, "INSERT INTO t VALUES (3)")
    conn.close()  # the uncommitted row goes
    assert count() == 1
    conn = admin(engine, name)
    conn.autocommit = False
    with conn:
        run(conn, "INSERT INTO t VALUES (4)")
    # PostgreSQL commits at the end of the block and stays open; MySQL closes without a commit.
    assert conn.closed == (engine == "maria")
    assert count() == (2 if engine == "pg" else 1)


@pg
def test_postgresql_cursor_reading(scratch):
    _, name = scratch
    conn = admin("pg", name)
    cur = conn.cursor()
    with pytest.raises(dbtool.DatabaseError, match="no results to fetch"):
        cur.execute("CREATE TABLE t (n INT)")
        cur.fetchall()
    cur.execute("INSERT INTO t SELECT generate_series(1, 5)")
    assert cur.rowcount == 5 and cur.description is None
    cur.execute("SELECT n FROM t ORDER BY n")
    assert cur.fetchone() == (1,)
    assert cur.fetchmany(2) == [(2,), (3,)]
    cur.arraysize = 5
    assert cur.fetchmany() == [(4,), (5,)]
    cur.execute("SELECT n FROM t ORDER BY n DESC")
    assert [r[0] for r in cur] == [5, 4, 3, 2, 1]
    dict_cur = conn.cursor(dict_rows=True)
    dict_cur.execute("SELECT n, n * 2 AS twice FROM t WHERE n = 2")
    assert dict_cur.fetchall() == [{"n": 2, "twice": 4}]
    conn.close()


# Values


def test_postgresql_values_become_python_values(saved_settings):
    s = server("ZOLVIAI_PG_URI")
    dbtool.set_database_config(s["name"], s["user"], s["password"], s["host"], s["port"])
    rows = dbtool.execute_pgdb_query("""SELECT NULL::int, true, 9007199254740993::int8, 1.5::float8,
        12.50::numeric(6,2), 'café'::text, '\\x00ff'::bytea, DATE '2024-01-05',
        TIMESTAMP '2024-01-05 13:04:05.12', TIMESTAMPTZ '2024-01-05 13:04:05+00',
        TIME '09:30', INTERVAL '1 day 01:01:01', '{"a": [1, null]}'::jsonb,
        '12345678-1234-5678-1234-567812345678'::uuid, 'infinity'::date""")
    assert rows == [(None, True, 9007199254740993, 1.5, decimal.Decimal("12.50"), "café",
                     b"\x00\xff", datetime.date(2024, 1, 5),
                     datetime.datetime(2024, 1, 5, 13, 4, 5, 120000),
                     datetime.datetime(2024, 1, 5, 13, 4, 5, tzinfo=datetime.timezone.utc),
                     datetime.time(9, 30), datetime.timedelta(days=1, seconds=3661),
                     {"a": [1, None]}, "12345678-1234-5678-1234-567812345678", "infinity")]
    assert type(rows[0][4]) is decimal.Decimal and rows[0][9].utcoffset() is not None


def test_mysql_values_become_python_values(saved_settings):
    s = server("ZOLVIAI_MARIADB_URI")
    dbtool.set_database_config(s["name"], s["user"], s["password"], s["host"], s["port"])
    rows = dbtool.execute_mysql_query("""SELECT NULL AS a, 7 AS b, 1.5e0 AS c,
        CAST(12.5 AS DECIMAL(6,2)) AS d, 'café' AS e, CAST(x'00ff' AS BINARY) AS f,
        DATE '2024-01-05' AS g, TIMESTAMP '2024-01-05 13:04:05.12' AS h,
        CAST('-25:00:01' AS TIME) AS i""")
    assert rows == [{"a": None, "b": 7, "c": 1.5, "d": decimal.Decimal("12.50"), "e": "café",
                     "f": b"\x00\xff", "g": datetime.date(2024, 1, 5),
                     "h": datetime.datetime(2024, 1, 5, 13, 4, 5, 120000),
                     "i": -datetime.timedelta(hours=25, seconds=1)}]


# Values read from table columns, each engine's types against the Python value the usual client
# gives: (column type, value as SQL, expected). Edge values sit beside ordinary ones: they take
# the slower paths (beyond 18 digits, no Python date, a zone, non-finite floats).
PG_VALUES = [
    ("integer", "-2147483648", -2147483648),
    ("bigint", "-9223372036854775808", -9223372036854775808),
    ("bigint", "123456789012345678", 123456789012345678),
    ("smallint", "NULL", None),
    ("numeric(30,4)", "-12345678901234567890.0001",
     decimal.Decimal("-12345678901234567890.0001")),
    ("numeric(5,2)", "0", decimal.Decimal("0.00")),
    ("double precision", "-0.000123", -0.000123),
    ("double precision", "'Infinity'", float("inf")),
    ("real", "1.5", 1.5),
    ("text", "'zürich ✓'", "zürich ✓"),
    ("varchar(5)", "''", ""),
    ("bytea", "'\\x00ff10'", b"\x00\xff\x10"),
    ("boolean", "false", False),
    ("date", "'0001-01-01'", datetime.date(1, 1, 1)),
    ("date", "'-infinity'", "-infinity"),
    ("time", "'23:59:59.999999'", datetime.time(23, 59, 59, 999999)),
    ("timestamp", "'2024-02-29 00:00:00.5'", datetime.datetime(2024, 2, 29, 0, 0, 0, 500000)),
    ("timestamp", "'infinity'", "infinity"),
    ("timestamptz", "'2024-01-05 13:04:05+05:30'",
     datetime.datetime(2024, 1, 5, 7, 34, 5, tzinfo=datetime.timezone.utc)),
    ("interval", "'-1 day 00:00:01'", datetime.timedelta(days=-1, seconds=1)),
    ("json", "'[1, \"a\"]'", [1, "a"]),
    ("uuid", "'A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11'", "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11"),
]
MARIA_VALUES = [
    ("int", "-2147483648", -2147483648),
    ("bigint", "-9223372036854775808", -9223372036854775808),
    ("bigint unsigned", "18446744073709551615", 18446744073709551615),
    ("smallint", "NULL", None),
    ("decimal(30,4)", "-12345678901234567890.0001",
     decimal.Decimal("-12345678901234567890.0001")),
    ("double", "-0.000123", -0.000123),
    ("float", "1.5", 1.5),
    ("text", "'zürich ✓'", "zürich ✓"),
    ("varchar(5)", "''", ""),
    ("varbinary(4)", "x'00ff10'", b"\x00\xff\x10"),
    ("boolean", "false", 0),
    ("bit(10)", "b'1000000001'", 513),
    ("date", "'1000-01-01'", datetime.date(1000, 1, 1)),
    ("time(6)", "'-838:59:59'", -datetime.timedelta(hours=838, minutes=59, seconds=59)),
    ("datetime(6)", "'2024-02-29 00:00:00.5'", datetime.datetime(2024, 2, 29, 0, 0, 0, 500000)),
    ("json", "'[1, \"a\"]'", '[1, "a"]'),
    ("uuid", "'A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11'", "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11"),
]


@both
def test_table_values_of_every_type_through_each_way_of_reading(scratch, capsys):
    engine, _ = scratch
    values = PG_VALUES if engine == "pg" else MARIA_VALUES
    conn = admin(engine, scratch[1])
    columns = ", ".join(f"c{i} {t}" for i, (t, _, _) in enumerate(values))
    charset = "" if engine == "pg" else " CHARACTER SET utf8mb4"
    run(conn, f"CREATE TABLE vals (k int PRIMARY KEY, {columns}){charset}",
        "INSERT INTO vals VALUES (1, " + ", ".join(v for _, v, _ in values) + ")",
        "INSERT INTO vals (k) VALUES (2)")
    expected = (1,) + tuple(e for _, _, e in values)
    nulls = (2,) + (None,) * len(values)
    names = ["k"] + [f"c{i}" for i in range(len(values))]
    query = "SELECT * FROM vals ORDER BY k"
    if engine == "pg":
        assert dbtool.execute_pgdb_query(query) == [expected, nulls]
    else:
        assert dbtool.execute_mysql_query(query) == [dict(zip(names, expected)),
                                                     dict(zip(names, nulls))]
    with conn.cursor(dict_rows=False) as cur:
        cur.execute(query)
        assert cur.fetchone() == expected
        assert cur.fetchmany(5) == [nulls] and cur.fetchall() == []
    with conn.cursor(dict_rows=True) as cur:
        cur.execute("SELECT k, c0, k FROM vals WHERE k = %s", (1,))
        row = cur.fetchall()[0]
        # Duplicate names keep one key per column where the engine names the table.
        assert row["k"] == 1 and row["c0"] == expected[1]
        assert [type(key) for key in row] == [str] * len(row)
    conn.close()
    assert lines(capsys) == []


# Columns whose values PostgreSQL hands to the host in its binary format, each with values that
# take every branch of its reading: (column type, values as SQL).
PG_BINARY_COLUMNS = [
    ("smallint", ["-32768", "32767", "0"]),
    ("integer", ["-2147483648", "2147483647", "7"]),
    ("bigint", ["-9223372036854775808", "9223372036854775807", "-1"]),
    ("real", ["0.1", "'NaN'", "'-Infinity'", "1e-45", "-0.0", "3.4028235e38", "-8.0378446e+12"]),
    ("double precision", ["0.1", "'NaN'", "'Infinity'", "5e-324", "-1.7976931348623157e308"]),
    ("numeric", ["0", "-0.001", "12.50", "10000", "'NaN'", "'Infinity'", "'-Infinity'",
                 "-123456789012345678901234567890.123456789012345678901234567890",
                 "1e-30", "-1e30"]),
    ("numeric(40,20)", ["1.5", "-99999999999999999999.99999999999999999999", "0"]),
    ("date", ["'2000-01-01'", "'1999-12-31'", "'0001-01-01'", "'9999-12-31'",
              "'10000-03-01'", "'0044-03-15 BC'", "'4713-11-24 BC'", "'infinity'",
              "'-infinity'"]),
    ("timestamp", ["'2024-02-29 13:04:05.12'", "'1969-12-31 23:59:59.999999'",
                   "'0001-01-01 00:00:00'", "'9999-12-31 23:59:59.5'",
                   "'10000-01-01 00:00:00'", "'0001-01-01 00:00:00.000001 BC'",
                   "'infinity'", "'-infinity'"]),
    ("text", ["'zürich ✓'", "''"]),
    ("varchar(8)", ["'a'", "''"]),
    ("char(3)", ["'ab'", "'abc'"]),
    ("boolean", ["true", "false"]),
    ("bytea", ["'\\x00ff10'", "''"]),
    ("uuid", ["'A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11'", "'00000000-0000-0000-0000-000000000000'"]),
    ("jsonb", ["'{\"a\": [1, 2.5, null]}'", "'\"x\"'"]),
]


@pg
def test_postgresql_binary_rows_give_the_values_of_the_text_rows(scratch):
    """Rows of types with a binary form come in PostgreSQL's binary format; beside a column
    of a type without one the same rows come as text. Both readings give equal values of the
    same types, to the last digit of a decimal."""
    _, name = scratch
    conn = admin("pg", name)
    height = max(len(values) for _, values in PG_BINARY_COLUMNS)
    columns = ", ".join(f"c{i} {t}" for i, (t, _) in enumerate(PG_BINARY_COLUMNS))
    run(conn, f"CREATE TABLE vals (k int PRIMARY KEY, {columns})")
    for row in range(height + 1):  # the last row all NULL
        cells = [values[row] if row < len(values) else "NULL" for _, values in PG_BINARY_COLUMNS]
        run(conn, f"INSERT INTO vals VALUES ({row}, {', '.join(cells)})")
    conn.close()
    names = ", ".join(f"c{i}" for i in range(len(PG_BINARY_COLUMNS)))
    binary = dbtool.execute_pgdb_query(f"SELECT {names} FROM vals ORDER BY k")
    text = dbtool.execute_pgdb_query(f"SELECT {names}, NULL::interval FROM vals ORDER BY k")
    assert len(binary) == len(text) == height + 1

    def shown(rows):
        return [[(type(v).__name__, repr(v)) for v in row[:len(PG_BINARY_COLUMNS)]]
                for row in rows]
    assert shown(binary) == shown(text)
    # The text reading is the one the earlier tests pin down; spot-check that it is sound.
    assert binary[0][5] == decimal.Decimal("0") and str(binary[1][5]) == "-0.001"
    assert binary[4][5].is_nan() and binary[height][5] is None
    assert binary[2][7] == datetime.date(1, 1, 1) and binary[4][7] == "10000-03-01"
    assert binary[5][7] == "0044-03-15 BC" and binary[7][8] == "-infinity"
    assert binary[0][8] == datetime.datetime(2024, 2, 29, 13, 4, 5, 120000)
    assert binary[0][3] == 0.1 and binary[0][2] == -9223372036854775808
    dict_rows = conn_rows(name, f"SELECT {names} FROM vals ORDER BY k")
    assert shown([tuple(r.values()) for r in dict_rows]) == shown(binary)


def conn_rows(name, query):
    """The rows of a query through a connection's dict cursor."""
    s = server("ZOLVIAI_PG_URI")
    conn = dbtool.get_pgdb_connection(s["user"], s["password"], s["host"], s["port"], name)
    try:
        with conn.cursor(dict_rows=True) as cur:
            cur.execute(query)
            return cur.fetchall()
    finally:
        conn.close()


REPEATS_SQL = {
    # Values that repeat down their columns (the reader makes each once and shares it) beside
    # ones that never do (the reader stops looking after a while); texts that share their
    # first 16 bytes and differ after them; texts too long to be shared; NULLs in between.
    "pg": """CREATE TABLE rep AS SELECT g AS k,
               CASE WHEN g % 11 = 0 THEN NULL ELSE ((g % 37) - 18) / 8.0 END AS price,
               g / 1000.0 AS distinct_price,
               DATE '2020-02-27' + (g % 5) AS day,
               TIMESTAMP '2024-01-01 00:00:00' + (g % 3) * INTERVAL '1 microsecond' AS at,
               TIMESTAMP '2024-01-01 00:00:00' + g * INTERVAL '1 second' AS distinct_at,
               'a shared prefix:' || (g % 4) || repeat('x', g % 3) AS long_text,
               repeat('long value ', 8) || (g % 2) AS too_long,
               CASE WHEN g % 5 = 0 THEN NULL ELSE chr(65 + g % 3) END AS code,
               'row ' || g AS label
             FROM generate_series(1, 9000) g""",
    "maria": """CREATE TABLE rep AS WITH RECURSIVE n(g) AS
               (SELECT 1 UNION ALL SELECT g + 1 FROM n WHERE g < 9000) SELECT g AS k,
               CASE WHEN g % 11 = 0 THEN NULL ELSE CAST(((g % 37) - 18) / 8.0 AS DECIMAL(8,4))
                    END AS price,
               CAST(g / 1000.0 AS DECIMAL(10,4)) AS distinct_price,
               DATE '2020-02-27' + INTERVAL (g % 5) DAY AS day,
               CAST(TIMESTAMP '2024-01-01 00:00:00' + INTERVAL (g % 3) MICROSECOND
                    AS DATETIME(6)) AS at,
               TIMESTAMP '2024-01-01 00:00:00' + INTERVAL g SECOND AS distinct_at,
               CONCAT('a shared prefix:', g % 4, REPEAT('x', g % 3)) AS long_text,
               CONCAT(REPEAT('long value ', 8), g % 2) AS too_long,
               IF(g % 5 = 0, NULL, CHAR(65 + g % 3 USING utf8mb4)) AS code,
               CONCAT('row ', g) AS label
             FROM n""",
}
REPEAT_COLUMNS = ["price", "distinct_price", "day", "at", "distinct_at", "long_text",
                  "too_long", "code", "label"]


@both
def test_values_repeated_down_a_column_read_as_the_server_writes_them(scratch):
    """Every value of columns that repeat, that never repeat, and that repeat after a long
    stretch of new values reads as the server's own text of it says, in every row."""
    engine, name = scratch
    conn = admin(engine, name)
    if engine == "maria":
        run(conn, "SET SESSION max_recursive_iterations = 10000")
    run(conn, REPEATS_SQL[engine])
    conn.close()
    cast = "::text" if engine == "pg" else ""
    texts = ", ".join(f"{c}{cast}" if engine == "pg" else f"CAST({c} AS CHAR)"
                      for c in REPEAT_COLUMNS)
    query = f"SELECT {', '.join(REPEAT_COLUMNS)}, {texts} FROM rep ORDER BY k"
    read = dbtool.execute_pgdb_query if engine == "pg" else dbtool.execute_mysql_query
    rows = read(query)
    assert len(rows) == 9000
    if engine == "maria":
        width = len(REPEAT_COLUMNS)
        rows = [tuple(r.values()) for r in rows]
        assert all(len(r) == 2 * width for r in rows)

    def same(v, text):
        if isinstance(v, decimal.Decimal):  # digits and exponent alike
            return v.as_tuple() == decimal.Decimal(text).as_tuple()
        if isinstance(v, datetime.datetime):
            return v == datetime.datetime.fromisoformat(text)
        return (None if v is None else str(v)) == text
    width = len(REPEAT_COLUMNS)
    wrong = [(i, REPEAT_COLUMNS[c], row[c], row[width + c])
             for i, row in enumerate(rows) for c in range(width)
             if not same(row[c], row[width + c])]
    assert wrong == []
    kinds = {REPEAT_COLUMNS[c]: {type(row[c]).__name__ for row in rows} for c in range(width)}
    assert kinds["price"] == {"Decimal", "NoneType"} and kinds["day"] == {"date"}
    assert kinds["at"] == kinds["distinct_at"] == {"datetime"}


def test_rows_of_plain_values_are_left_out_of_the_cyclic_collector(saved_settings):
    """Rows of plain values cannot be part of a cycle and are not tracked; a row holding a
    container is, so that a cycle made through it later is still collected."""
    s = server("ZOLVIAI_PG_URI")
    dbtool.set_database_config(s["name"], s["user"], s["password"], s["host"], s["port"])
    plain = dbtool.execute_pgdb_query("SELECT g, g::text, g / 3.0, now()::timestamp, "
                                      "NULL::int FROM generate_series(1, 50) g")
    assert not any(gc.is_tracked(row) for row in plain)
    held = dbtool.execute_pgdb_query("SELECT g, json_build_object('g', g) "
                                     "FROM generate_series(1, 3) g")
    assert all(gc.is_tracked(row) for row in held)


    class Marker:
        pass
    row, marker = held[0], Marker()
    row[1]["marker"], row[1]["row"] = marker, row
    left = weakref.ref(marker)
    del held, row, marker
    gc.collect()
    assert left() is None


def test_reading_rows_leaves_the_cyclic_collector_as_it_found_it(saved_settings):
    s = server("ZOLVIAI_PG_URI")
    dbtool.set_database_config(s["name"], s["user"], s["password"], s["host"], s["port"])
    query = "SELECT g, g::text FROM generate_series(1, 2000) g"
    try:
        for enabled in (True, False, True):
            (gc.enable if enabled else gc.disable)()
            assert len(dbtool.execute_pgdb_query(query)) == 2000
            assert gc.isenabled() == enabled
    finally:
        gc.enable()


# Schemas


@both
def test_schema_of_a_database_without_tables_is_empty(scratch, capsys):
    engine, _ = scratch
    call = dbtool.get_pgdb_schema if engine == "pg" else dbtool.get_mysql_database_schema
    assert call() == {}
    assert lines(capsys) == []


@pg
def test_postgresql_schema_keeps_server_order_and_lists_views(scratch, capsys):
    _, name = scratch
    conn = admin("pg", name)
    run(conn, "CREATE TABLE zeta (z_last TEXT, a_first INT, m_mid NUMERIC(5,2))",
        'CREATE TABLE "order-items" (id SERIAL PRIMARY KEY, "unit price" VARCHAR(255))',
        "CREATE TABLE alpha (x DATE)", "CREATE VIEW v_zeta AS SELECT a_first FROM zeta",
        "CREATE SCHEMA other", "CREATE TABLE other.alpha (y BOOLEAN)")
    schema = dbtool.get_pgdb_schema()
    with conn.cursor() as cur:
        cur.execute("SELECT table_name FROM information_schema.tables "
                    "WHERE table_schema = 'public'")
        server_order = [r[0] for r in cur.fetchall()]
        # The listing has no ORDER BY: the server's order is whatever it returns.
        cur.execute("SELECT column_name, data_type FROM information_schema.columns "
                    "WHERE table_name = 'zeta'")
        zeta_order = [{"name": r[0], "type": r[1]} for r in cur.fetchall()]
    conn.close()
    assert list(schema) == server_order
    assert sorted(schema) == ["alpha", "order-items", "v_zeta", "zeta"]
    assert schema["zeta"] == zeta_order
    assert sorted(schema["zeta"], key=lambda c: c["name"]) == [
        {"name": "a_first", "type": "integer"}, {"name": "m_mid", "type": "numeric"},
        {"name": "z_last", "type": "text"}]
    assert schema["order-items"] == [{"name": "id", "type": "integer"},
                                     {"name": "unit price", "type": "character varying"}]
    assert schema["v_zeta"] == [{"name": "a_first", "type": "integer"}]
    # The column listing filters on the name only: other.alpha's column comes along.
    assert sorted(c["name"] for c in schema["alpha"]) == ["x", "y"]
    assert lines(capsys) == []


@maria
def test_mysql_schema_quotes_awkward_names_and_keeps_order(scratch, capsys):
    _, name = scratch
    conn = admin("maria", name)
    run(conn, "CREATE TABLE `order-items` (id INT, `unit price` VARCHAR(255))",
        "CREATE TABLE `select` (`from` TEXT)", "CREATE TABLE `my table` (b BLOB, a CHAR(3))",
        "CREATE TABLE zeta (z_last INT, a_first DECIMAL(8,2))", "CREATE TABLE `we``ird` (q INT)")
    conn.close()
    schema = dbtool.get_mysql_database_schema()
    assert list(schema) == ["my table", "order-items", "select", "we`ird", "zeta"]
    assert schema == {
        "my table": [{"name": "b", "type": "blob"}, {"name": "a", "type": "char(3)"}],
        "order-items": [{"name": "id", "type": "int(11)"},
                        {"name": "unit price", "type": "varchar(255)"}],
        "select": [{"name": "from", "type": "text"}],
        "we`ird": [{"name": "q", "type": "int(11)"}],
        "zeta": [{"name": "z_last", "type": "int(11)"}, {"name": "a_first", "type": "decimal(8,2)"}],
    }
    assert lines(capsys) == []


@maria
def test_mysql_schema_failure_part_way_keeps_what_was_read(scratch, capsys):
    _, name = scratch
    conn = admin("maria", name)
    run(conn, "CREATE TABLE a_first (x INT)", "CREATE TABLE gone (y INT)",
        "CREATE VIEW m_broken AS SELECT y FROM gone", "DROP TABLE gone",
        "CREATE TABLE z_after (z INT)")
    conn.close()
    schema = dbtool.get_mysql_database_schema()
    assert schema == {"a_first": [{"name": "x", "type": "int(11)"}], "m_broken": []}
    out = lines(capsys)
    assert len(out) == 1 and out[0].startswith("An error occurred: ") and "m_broken" in out[0], out


# Queries


@pg
def test_postgresql_statement_classification_and_commit(scratch, capsys):
    _, name = scratch
    run(admin("pg", name), "CREATE TABLE t (n INT)",
        "CREATE FUNCTION add99() RETURNS INT AS 'INSERT INTO t VALUES (99) RETURNING n' "
        "LANGUAGE sql")
    cases = [  # statement, result, rows of t afterwards
        ("INSERT INTO t VALUES (1), (2)", None, [1, 2]),
        ("\n   select n from t order by n", [(1,), (2,)], [1, 2]),
        ("WITH x AS (INSERT INTO t VALUES (3) RETURNING n) SELECT * FROM x", None, [1, 2, 3]),
        ("(SELECT n FROM t)", None, [1, 2, 3]),
        ("-- rows\nSELECT n FROM t", None, [1, 2, 3]),
        ("UPDATE t SET n = n * 10 WHERE n = 3 RETURNING n", None, [1, 2, 30]),
        ("SELECT n, pg_sleep(0) FROM t WHERE n > 100", [], [1, 2, 30]),
        # A SELECT is not committed: what its functions changed is rolled back.
        ("SELECT add99()", [(99,)], [1, 2, 30]),
    ]
    for statement, result, after in cases:
        assert dbtool.execute_pgdb_query(statement) == result, statement
        assert [r[0] for r in dbtool.execute_pgdb_query("SELECT n FROM t ORDER BY n")] == after
    assert lines(capsys) == []
    # The last one fails after thousands of its rows have been read and made.
    for bad in ["SELEC 1", "INSERT INTO t VALUES ('x')", "SELECT * FROM missing",
                "SELECT g, 1 / (g - 5000) FROM generate_series(1, 9000) g"]:
        assert dbtool.execute_pgdb_query(bad) is None
        out = lines(capsys)
        assert len(out) == 1 and out[0].startswith(
            "An error occurred while executing the query: "), out
    assert len(dbtool.execute_pgdb_query("SELECT n FROM t")) == 3


@maria
def test_mysql_queries_return_dicts_and_never_commit(scratch, capsys):
    _, name = scratch
    conn = admin("maria", name)
    run(conn, "CREATE TABLE t (n INT, label VARCHAR(10))", "INSERT INTO t VALUES (1, 'a'), (2, 'b')")
    conn.close()
    assert dbtool.execute_mysql_query("SELECT n, label FROM t ORDER BY n DESC") == [
        {"n": 2, "label": "b"}, {"n": 1, "label": "a"}]
    assert dbtool.execute_mysql_query("UPDATE t SET n = n + 10") == []
    assert dbtool.execute_mysql_query("INSERT INTO t VALUES (3, 'c')") == []
    assert dbtool.execute_mysql_query("SELECT n FROM t ORDER BY n") == [{"n": 1}, {"n": 2}]
    assert dbtool.execute_mysql_query("SELECT n FROM t WHERE n > 5") == []
    assert lines(capsys) == []
    assert dbtool.execute_mysql_query("SELECT * FROM missing") is None
    out = lines(capsys)
    assert len(out) == 1 and out[0].startswith("An error occurred while executing the query: ")
    assert "missing" in out[0]
    # A repeated column name keeps both values: the repeat is keyed by its table.
    assert dbtool.execute_mysql_query(
        "SELECT a.n, b.n, a.label FROM t a JOIN t b ON b.n = a.n + 1") == [
        {"n": 1, "b.n": 2, "label": "a"}]
