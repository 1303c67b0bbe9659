"""The guard as hosts meet it: zolvi doctor, zolvi sql refusals, and the wrapper's options."""
import os
import subprocess
import urllib.parse

import psycopg2
import pytest

from conftest import pg_parts

BUILD = os.environ.get("ZOLVIAI_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
ZOLVI = os.path.join(BUILD, "bin", "zolvi")


def zolvi(*args, env=None):
    full_env = dict(os.environ)
    full_env.pop("ZOLVI_REQUIRE_READ_ONLY_ROLE", None)
    full_env.pop("ZOLVI_ALLOW_PRIVILEGED_ROLE", None)
    full_env.update(env or {})
    return subprocess.run([ZOLVI, *args], capture_output=True, text=True, timeout=120, env=full_env)


@pytest.fixture(scope="module")
def guarded_pg():
    """A database with one table, and the URIs of its superuser owner and of a reader role."""
    parts = pg_parts()
    admin = psycopg2.connect(host=parts.hostname, port=parts.port, user=parts.username,
                             password=parts.password, dbname=parts.path.lstrip("/"))
    admin.autocommit = True
    name = f"zolvi_guard_{os.getpid()}"
    reader = f"zolvi_reader_{os.getpid()}"
    with admin.cursor() as cur:
        cur.execute(f"DROP DATABASE IF EXISTS {name}")
        cur.execute(f"CREATE DATABASE {name}")
        cur.execute(f"DROP ROLE IF EXISTS {reader}")
        cur.execute(f"CREATE ROLE {reader} LOGIN PASSWORD 'r%40d'")
    db = psycopg2.connect(host=parts.hostname, port=parts.port, user=parts.username,
                          password=parts.password, dbname=name)
    with db, db.cursor() as cur:
        cur.execute("CREATE TABLE sales (id int PRIMARY KEY, amount numeric(10, 2))")
        cur.execute("INSERT INTO sales VALUES (1, 2.50), (2, 4.00)")
        cur.execute(f"GRANT SELECT ON sales TO {reader}")
        cur.execute("CREATE FUNCTION double_it(x numeric) RETURNS numeric AS 'SELECT x * 2' "
                    "LANGUAGE sql IMMUTABLE")
    db.close()
    base = f"{parts.hostname}:{parts.port}/{name}"
    yield {
        "owner": f"postgresql://{parts.username}:{parts.password}@{base}",
        "reader": f"postgresql://{reader}:{urllib.parse.quote('r%40d')}@{base}",
    }
    with admin.cursor() as cur:
        cur.execute(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")
        cur.execute(f"DROP ROLE IF EXISTS {reader}")
    admin.close()


def test_doctor_reports_a_superuser_and_shows_how_to_make_a_reader(guarded_pg):
    run = zolvi("doctor", "--db", guarded_pg["owner"])
    assert run.returncode == 1, run.stderr
    assert "Can change data or schema: yes" in run.stdout
    assert "superuser" in run.stdout
    assert "CREATE ROLE zolvi_reader LOGIN" in run.stdout
    assert "GRANT pg_read_all_data TO zolvi_reader;" in run.stdout
    # The password never reaches the report.
    assert f":{pg_parts().password}@" not in run.stdout and ":***@" in run.stdout


def test_doctor_passes_a_role_that_only_reads(guarded_pg):
    run = zolvi("doctor", "--db", guarded_pg["reader"])
    assert run.returncode == 0, run.stdout + run.stderr
    assert "Can change data or schema: no" in run.stdout
    assert "The role only reads" in run.stdout


def test_sql_refuses_hostile_statements_and_names_the_construct(guarded_pg):
    run = zolvi("sql", "--db", guarded_pg["reader"], "SELECT pg_catalog.pg_read_file('/etc/hostname')")
    assert run.returncode == 1
    assert ("Statement refused: the function pg_catalog.pg_read_file is not on the list of functions "
            "generated SQL may call") in run.stderr
    # The server ends a line comment at a carriage return: so does the guard, which reads the
    # text with the server's own grammar.
    run = zolvi("sql", "--db", guarded_pg["reader"], "SELECT 1 --\r; DELETE FROM sales")
    assert run.returncode == 1 and "Statement refused: more than one statement" in run.stderr
    run = zolvi("sql", "--db", guarded_pg["reader"], "SELECT 1 --\rDELETE FROM sales")
    assert run.returncode == 0 and run.stdout.strip() == "[(1,), (1,)]"  # "1 AS delete"


def test_host_functions_are_allowed_only_when_named(guarded_pg):
    query = "SELECT double_it(amount) FROM sales ORDER BY id"
    refused = zolvi("sql", "--db", guarded_pg["reader"], query)
    assert "the function double_it is not on the list" in refused.stderr
    allowed = zolvi("sql", "--db", guarded_pg["reader"], "--allow-function", "double_it", query)
    assert allowed.returncode == 0, allowed.stderr
    assert allowed.stdout.strip() == "[(Decimal('5.00'),), (Decimal('8.00'),)]"
    # The same through the URI, and through the Python wrapper.
    via_uri = zolvi("sql", "--db", guarded_pg["reader"] + "?allowed_functions=double_it", query)
    assert via_uri.returncode == 0, via_uri.stderr
    from zolviai.flow_graph.custom_sql import CustomSQLDatabase, DatabaseError
    db = CustomSQLDatabase.from_uri(guarded_pg["reader"], allowed_functions=["double_it"])
    assert db.run(query) == "[(Decimal('5.00'),), (Decimal('8.00'),)]"
    with pytest.raises(DatabaseError, match="Statement refused: the function double_it"):
        CustomSQLDatabase.from_uri(guarded_pg["reader"]).run(query)


def test_only_a_reader_runs_generated_sql_unless_the_host_allows_more(guarded_pg):
    query = "SELECT count(*) FROM sales"
    # By default a superuser is refused, with what it can do and how to make a reader.
    owner = zolvi("sql", "--db", guarded_pg["owner"], query)
    assert owner.returncode == 1 and owner.stdout == ""
    assert "Statement refused: the database role" in owner.stderr and "superuser" in owner.stderr
    assert "--create-reader" in owner.stderr and "GRANT pg_read_all_data" in owner.stderr
    reader = zolvi("sql", "--db", guarded_pg["reader"], query)
    assert reader.returncode == 0 and reader.stdout.strip() == "[(2,)]", reader.stderr
    # Each explicit opt-in runs it with one warning; the requirement of a reader wins over all.
    for args, env, uri in [(["--allow-privileged-role"], {}, guarded_pg["owner"]),
                           ([], {"ZOLVI_ALLOW_PRIVILEGED_ROLE": "1"}, guarded_pg["owner"]),
                           ([], {}, guarded_pg["owner"] + "?allow_privileged_role=1")]:
        warned = zolvi("sql", "--db", uri, *args, query, env=env)
        assert warned.returncode == 0, warned.stderr
        assert warned.stdout.strip() == "[(2,)]"
        assert warned.stderr.count("warning: the database role") == 1
        strict = zolvi("sql", "--db", uri, *args, "--require-read-only-role", query, env=env)
        assert strict.returncode == 1 and "Statement refused" in strict.stderr
    from zolviai.flow_graph.custom_sql import CustomSQLDatabase, DatabaseError
    with pytest.raises(DatabaseError, match="can do more than read"):
        CustomSQLDatabase.from_uri(guarded_pg["owner"], allow_privileged_role=False).run(query)
    assert CustomSQLDatabase.from_uri(guarded_pg["owner"], allow_privileged_role=True).run(query) == "[(2,)]"


def test_doctor_creates_a_reader_that_zolvi_then_runs_as(guarded_pg):
    role = f"zolvi_made_{os.getpid()}"
    made = zolvi("doctor", "--db", guarded_pg["owner"], "--create-reader", role)
    assert made.returncode == 0, made.stderr
    uri = made.stdout.strip().splitlines()[-1].strip()
    assert uri.startswith(f"postgresql://{role}:") and guarded_pg["owner"].split("@")[1] in uri
    try:
        doctor = zolvi("doctor", "--db", uri)
        assert doctor.returncode == 0 and "The role only reads" in doctor.stdout, doctor.stdout
        # The new role reads everything the database holds, and nothing it runs is kept.
        ran = zolvi("sql", "--db", uri, "SELECT count(*) FROM sales")
        assert ran.returncode == 0 and ran.stdout.strip() == "[(2,)]", ran.stderr
        # A role that may not create roles says so.
        again = zolvi("doctor", "--db", uri, "--create-reader", role + "_2")
        assert again.returncode != 0 and "could not create the reader role" in again.stderr
    finally:
        parts = pg_parts()
        admin = psycopg2.connect(host=parts.hostname, port=parts.port, user=parts.username,
                                 password=parts.password, dbname=guarded_pg["owner"].rsplit("/", 1)[1])
        admin.autocommit = True
        with admin.cursor() as cur:
            cur.execute(f"DROP OWNED BY {role}")
            cur.execute(f"DROP ROLE {role}")
        admin.close()


def test_invalid_text_in_a_statement_is_a_database_error_not_a_decode_error(guarded_pg):
    from zolviai.flow_graph.custom_sql import CustomSQLDatabase, DatabaseError
    db = CustomSQLDatabase.from_uri(guarded_pg["reader"])
    with pytest.raises(DatabaseError, match="NUL"):
        db.run("SELECT 1\x00; DELETE FROM sales")
    with pytest.raises(DatabaseError, match="bytes long"):
        db.run("SELECT '" + "x" * 200_000 + "'")
