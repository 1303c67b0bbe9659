"""The zolvi command as a person at a terminal or a script meets it: what goes to standard
output, what to standard error, and the row formats of zolvi sql."""
import csv
import io
import json
import os
import subprocess

from conftest import tool

BUILD = os.environ.get("ZOLVIAI_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
ZOLVI = os.path.join(BUILD, "bin", "zolvi")

ORDERS = "SELECT order_id, status FROM orders ORDER BY order_id LIMIT 200"


def zolvi(tmp_path, *args, env=None):
    """zolvi with its sample database under tmp_path (created from the script compiled in)."""
    full = {k: v for k, v in os.environ.items()
            if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
    full["XDG_CACHE_HOME"] = str(tmp_path / "cache")
    full["XDG_STATE_HOME"] = str(tmp_path / "state")  # the memory of verified SQL stays here
    full.update(env or {})
    return subprocess.run([ZOLVI, *args], capture_output=True, text=True, timeout=120, env=full,
                          cwd=tmp_path)


def queue_answer(chat):
    chat.queue(tool("RelevantTablesOutput", relevant_tables=["orders"]),
               tool("SQLQueryInput", sql_query=ORDERS), {"content": ORDERS},
               tool("PythonCodeInput", code="print('200 orders')"),
               tool("GenerationOutput", final_response="The first 200 orders are listed."))


def test_ask_prints_only_the_answer_sql_and_a_short_table(chat, tmp_path):
    queue_answer(chat)
    run = zolvi(tmp_path, "ask", "List the first 200 orders", "--media", str(tmp_path / "media"),
                env={"OPENAI_BASE_URL": chat.url + "/v1", "OPENAI_API_KEY": "k"})
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) < 40, run.stdout
    assert "The first 200 orders are listed." in lines
    assert ORDERS in lines
    assert "(20 of 200 rows)" in lines
    # The flow's own lines (the whole prompt with every row) and its timing log stay out.
    assert "General Response prompt" not in run.stdout + run.stderr
    assert "Invoke generate sql query" not in run.stdout + run.stderr
    # Progress on standard error, one line a step and no carriage returns off a terminal.
    assert "\r" not in run.stderr
    assert any("sql_generation_node" in line for line in run.stderr.splitlines())
    assert "zolvi: created the sample database" in run.stderr


def test_ask_verbose_shows_the_flows_lines_on_standard_error(chat, tmp_path):
    queue_answer(chat)
    run = zolvi(tmp_path, "ask", "-v", "List the first 200 orders", "--media", str(tmp_path / "media"),
                env={"OPENAI_BASE_URL": chat.url + "/v1", "OPENAI_API_KEY": "k"})
    assert run.returncode == 0, run.stderr
    assert "General Response prompt" in run.stderr
    assert "General Response prompt" not in run.stdout
    assert "Invoke generate sql query" in run.stderr
    assert len(run.stdout.splitlines()) < 40


def test_a_failed_question_shows_why_on_standard_error(chat, tmp_path):
    chat.queue(tool("RelevantTablesOutput", wrong_field=["orders"]))
    run = zolvi(tmp_path, "ask", "How many orders?", "--media", str(tmp_path / "media"),
                env={"OPENAI_BASE_URL": chat.url + "/v1", "OPENAI_API_KEY": "k"})
    assert run.returncode == 1
    assert run.stdout == ""
    assert "An error occurred when running the agent" in run.stderr
    assert "could not be answered" in run.stderr


def test_sql_formats(tmp_path):
    query = "SELECT order_id, status, NULL AS note, 'a,\"b\"' AS quoted FROM orders ORDER BY order_id LIMIT 3"
    python = zolvi(tmp_path, "sql", query)
    assert python.returncode == 0, python.stderr
    assert python.stdout.startswith("[(1, ")

    as_csv = zolvi(tmp_path, "sql", "--format", "csv", query)
    assert as_csv.returncode == 0, as_csv.stderr
    rows = list(csv.reader(io.StringIO(as_csv.stdout)))
    assert rows[0] == ["order_id", "status", "note", "quoted"]
    assert len(rows) == 4 and rows[1][0] == "1" and rows[1][2] == "" and rows[1][3] == 'a,"b"'

    as_json = zolvi(tmp_path, "sql", "--format", "json", query)
    assert as_json.returncode == 0, as_json.stderr
    data = json.loads(as_json.stdout)
    assert data["columns"] == ["order_id", "status", "note", "quoted"]
    assert data["row_count"] == 3 and data["truncated"] is False
    assert data["rows"][0][0] == 1 and data["rows"][0][2] is None and data["rows"][0][3] == 'a,"b"'

    table = zolvi(tmp_path, "sql", "--format", "table", query)
    lines = table.stdout.splitlines()
    assert lines[0].split(" | ")[0].strip() == "order_id"
    assert set(lines[1]) <= {"-", "+"}
    assert len(lines) == 5

    bad = zolvi(tmp_path, "sql", "--format", "xml", query)
    assert bad.returncode != 0 and "xml" in bad.stderr


def test_ask_sql_only_prints_the_statement_and_rows_without_an_answer(chat, tmp_path):
    # Only the picker, the SQL and its review are scripted: a run that went on to the analysis
    # or the answer would find the script empty and fail.
    chat.queue(tool("RelevantTablesOutput", relevant_tables=["orders"]),
               tool("SQLQueryInput", sql_query=ORDERS), {"content": ORDERS})
    run = zolvi(tmp_path, "ask", "--sql-only", "List the first 200 orders",
                env={"OPENAI_BASE_URL": chat.url + "/v1", "OPENAI_API_KEY": "k"})
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[:2] == ["SQL:", ORDERS]
    assert "(20 of 200 rows)" in lines
    assert "pandas_generator_node" not in run.stderr
    assert "final_response_generation_node" not in run.stderr
    assert len(chat.requests()) == 3
