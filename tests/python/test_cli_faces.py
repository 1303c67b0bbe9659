"""zolvi never lies: every row or a said cut with its own status, errors on standard error with
a status that is not 0, usage errors with the usage, and help that names the model settings."""
import ast
import csv
import io
import json
import os
import re
import sqlite3
import subprocess

import pytest

import zolviai
from conftest import tool
from test_cli import ZOLVI, zolvi

TRACKS = 3503

# Cells that need RFC 4180 quoting, and the two empties that must read apart.
AWKWARD = ["plain", "with, comma", 'say "hi"', "two\r\nlines", "one\nline feed", "", None,
           " padded ", "naïve ☕", "trailing\r"]


@pytest.fixture
def tracks(tmp_path):
    """An absolute sqlite URI of a database whose track table has 3,503 rows."""
    path = tmp_path / "music.db"
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE track (id INTEGER PRIMARY KEY, name TEXT, composer TEXT, price REAL)")
    db.executemany("INSERT INTO track VALUES (?, ?, ?, ?)",
                   [(i, "Track %d" % i, AWKWARD[i % len(AWKWARD)], 0.99 if i % 3 else 1.99)
                    for i in range(1, TRACKS + 1)])
    db.commit()
    db.close()
    return "sqlite:///" + str(path)


def source_rows(uri):
    db = sqlite3.connect(uri[len("sqlite:///"):])
    rows = db.execute("SELECT id, name, composer, price FROM track ORDER BY id").fetchall()
    db.close()
    return rows


ALL = "SELECT id, name, composer, price FROM track ORDER BY id"


def zolvi_bytes(tmp_path, *args):
    """zolvi's standard output and error as bytes: line ends as written."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
    env["XDG_CACHE_HOME"] = str(tmp_path / "cache")
    return subprocess.run([ZOLVI, *args], capture_output=True, timeout=120, env=env, cwd=tmp_path)


def test_sql_csv_writes_every_row_as_rfc_4180(tmp_path, tracks):
    run = zolvi_bytes(tmp_path, "sql", "--db", tracks, "--format", "csv", ALL)
    assert run.returncode == 0, run.stderr
    assert run.stderr == b""
    text = run.stdout.decode()
    # Every record ends in CRLF; a line break of either kind only inside a quoted field.
    assert text.startswith("id,name,composer,price\r\n") and text.endswith("\r\n")
    outside_quotes = re.sub(r'"(?:[^"]|"")*"', "", text).replace("\r\n", "")
    assert "\n" not in outside_quotes and "\r" not in outside_quotes
    rows = list(csv.reader(io.StringIO(text, newline=""), strict=True))
    assert len(rows) == TRACKS + 1
    expected = [[str(i), n, "" if c is None else c, repr(p)] for i, n, c, p in source_rows(tracks)]
    assert rows[1:] == expected
    # Quoted only where needed; empty text is a quoted empty field, NULL an empty one.
    assert "\r\n1,Track 1,\"with, comma\",0.99\r\n" in text
    assert '\r\n2,Track 2,"say ""hi""",0.99\r\n' in text
    assert '\r\n5,Track 5,"",0.99\r\n' in text
    assert "\r\n6,Track 6,,1.99\r\n" in text
    assert "\r\n10,Track 10,plain,0.99\r\n" in text


def test_sql_writes_every_row_in_every_format(tmp_path, tracks):
    as_json = zolvi(tmp_path, "sql", "--db", tracks, "--format", "json", ALL)
    assert as_json.returncode == 0, as_json.stderr
    data = json.loads(as_json.stdout)
    assert data["row_count"] == TRACKS and data["truncated"] is False
    assert [tuple(r) for r in data["rows"]] == source_rows(tracks)

    table = zolvi(tmp_path, "sql", "--db", tracks, "--format", "table", ALL)
    assert table.returncode == 0, table.stderr
    # A header, its rule, then one line a row; a cell's line break would add lines, so count
    # the rows by their ids.
    ids = [int(line.split("|")[0]) for line in table.stdout.splitlines()[2:]
           if line.split("|")[0].strip().isdigit()]
    assert ids == list(range(1, TRACKS + 1))

    python = zolvi(tmp_path, "sql", "--db", tracks, ALL)
    assert python.returncode == 0, python.stderr
    assert ast.literal_eval(python.stdout) == source_rows(tracks)


@pytest.mark.parametrize("fmt", ["csv", "json", "table", "python"])
def test_max_rows_cuts_says_so_and_exits_3(tmp_path, tracks, fmt):
    run = zolvi(tmp_path, "sql", "--db", tracks, "--format", fmt, "--max-rows", "1000", ALL)
    assert run.returncode == 3, run.stderr
    assert "wrote 1000 of 3503 rows" in run.stderr and "--max-rows" in run.stderr
    assert "3503" not in run.stdout.replace("row_count\": 3503", "")
    if fmt == "csv":
        assert len(list(csv.reader(io.StringIO(run.stdout, newline="")))) == 1001
    elif fmt == "json":
        data = json.loads(run.stdout)
        assert len(data["rows"]) == 1000 and data["row_count"] == TRACKS and data["truncated"] is True
    elif fmt == "python":
        assert len(ast.literal_eval(run.stdout)) == 1000

    whole = zolvi(tmp_path, "sql", "--db", tracks, "--format", fmt, "--max-rows", str(TRACKS), ALL)
    assert whole.returncode == 0 and whole.stderr == ""


# (arguments, exit status, text on standard error); standard output stays empty.
FAILURES = [
    (["frobnicate"], 2, "unknown command 'frobnicate'"),
    (["sql"], 2, "statement is required"),
    (["sql", "--bogus", "SELECT 1"], 2, "--bogus"),
    (["sql", "--format", "xml", "SELECT 1"], 2, "xml"),
    (["sql", "--max-rows", "-1", "SELECT 1"], 2, "max-rows"),
    # Options of other commands are not this command's.
    (["tables", "--prune-top-k", "3"], 2, "--prune-top-k"),
    (["schema", "--allow-function", "f"], 2, "--allow-function"),
    (["schema", "Nope"], 1, "no such table: Nope"),
    (["schema", "orders", "Nope", "Nix"], 1, "no such table: Nope, Nix"),
    (["sql", "SELECT nope FROM orders"], 1, "nope"),
    (["sql", "DELETE FROM orders"], 1, "Statement refused"),
    (["sql", "--db", "sqlite:////nonexistent/dir/x.db?mode=ro", "SELECT 1"], 1, "x.db"),
    (["ask", ""], 2, "the question is empty"),
    (["ask", "  "], 2, "the question is empty"),
]


@pytest.mark.parametrize("args,status,message", FAILURES, ids=[" ".join(f[0]) or "bare" for f in FAILURES])
def test_failures_go_to_standard_error_with_their_status(chat, tmp_path, args, status, message):
    run = zolvi(tmp_path, *args, env={"OPENAI_BASE_URL": chat.url + "/v1"})
    assert run.returncode == status, run.stderr
    assert run.stdout == ""
    assert message in run.stderr
    if status == 2:
        assert "Usage: zolvi" in run.stderr
    assert chat.requests() == []  # no model was asked


def test_version_and_bare_usage(tmp_path):
    version = zolvi(tmp_path, "--version")
    assert version.returncode == 0
    assert version.stdout.strip() == "zolvi " + zolviai.__version__
    bare = zolvi(tmp_path)
    assert bare.returncode == 0
    assert bare.stdout.startswith("zolvi: ") and "Usage: zolvi" in bare.stdout
    for command in ("ask", "tables", "schema", "sql", "serve", "eval", "doctor"):
        assert re.search(r"^  %s\s" % command, bare.stdout, re.M), command


def test_help_lists_each_commands_own_options_and_ends_with_the_models(tmp_path):
    def options(*command):
        run = zolvi(tmp_path, *command, "--help")
        assert run.returncode == 0, run.stderr
        return run.stdout, set(re.findall(r"^\s+(?:-\w,)?(--[\w-]+)", run.stdout, re.M))

    text, ask = options("ask")
    assert {"--allow-function", "--prune-top-k", "--schema-cache", "--json", "--sql-only"} <= ask
    _, tables = options("tables")
    assert tables == {"--help", "--db", "--schema-cache"}
    _, sql = options("sql")
    assert {"--max-rows", "--format", "--allow-function"} <= sql
    assert not {"--prune-top-k", "--prune-threshold", "--schema-cache"} & sql
    _, doctor = options("doctor")
    assert doctor == {"--help", "--db", "--create-reader"}
    for command in ([], ["ask"], ["serve"], ["eval"]):
        help_text = zolvi(tmp_path, *command, "--help").stdout.rstrip("\n").splitlines()
        assert "OPENAI_BASE_URL" in help_text[-2] and "ZOLVI_API_BASE_URL" in help_text[-1]


def test_ask_json_is_the_answer_record_and_a_failed_run_is_not_0(chat, tmp_path):
    query = "SELECT order_id, status FROM orders ORDER BY order_id LIMIT 3"
    chat.queue(tool("RelevantTablesOutput", relevant_tables=["orders"]),
               tool("SQLQueryInput", sql_query=query), {"content": query})
    env = {"OPENAI_BASE_URL": chat.url + "/v1"}
    run = zolvi(tmp_path, "ask", "--json", "--sql-only", "List three orders", env=env)
    assert run.returncode == 0, run.stderr
    record = json.loads(run.stdout)
    assert record["outcome"] == "answered" and record["sql"] == query
    assert record["columns"] == ["order_id", "status"] and record["rows"][0][0] == 1
    assert record["row_count"] == 3 and record["truncated"] is False
    assert record["usage"]["model_calls"] == 3
    assert set(record) >= {"answer", "queries", "column_types", "chart", "code", "steps", "attempts",
                           "error", "question", "understood"}

    # The correction loop gives up: the record says so, and so does the status.
    broken = "SELECT no_such_column FROM orders"
    with chat.state.lock:
        chat.state.rules.extend([
            {"match": {"body_contains": "RelevantTablesOutput"},
             "answer": {"tool_arguments": {"relevant_tables": ["orders"]}}},
            {"match": {"body_contains": "SQLQueryInput"}, "answer": {"tool_arguments": {"sql_query": broken}}},
            {"match": {"body_contains": "RewriteQueryOutput"},
             "answer": {"tool_arguments": {"rewritten_question": "List three orders"}}},
            {"match": {}, "answer": {"content": broken}},
        ])
    failed = zolvi(tmp_path, "ask", "--json", "--sql-only", "List three orders", env=env)
    assert failed.returncode == 1, failed.stderr
    record = json.loads(failed.stdout)
    assert record["outcome"] == "sql_failed" and record["error"]["kind"] == "DatabaseError"
    assert "no_such_column" in failed.stderr
    plain = zolvi(tmp_path, "ask", "--sql-only", "List three orders", env=env)
    assert plain.returncode == 1
    assert "no SQL could be made to run" in plain.stderr
