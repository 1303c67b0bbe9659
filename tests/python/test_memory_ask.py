"""zolvi ask with the memory of verified SQL, against the scripted chat server on the bundled
business database: a question certified with zolvi memory add is answered by its SQL without
writing any, says so, and is asked afresh with --no-state or another state database; zolvi
chat answers from the same memory."""
import json
import os
import subprocess

from conftest import tool
from test_cli import ZOLVI, zolvi

QUESTION = "How are the orders spread over their status?"
STATUS_SQL = "SELECT status, COUNT(*) AS n FROM orders GROUP BY status ORDER BY status"
MODEL_SQL = "SELECT COUNT(*) AS n FROM orders"


def model(chat):
    return {"OPENAI_BASE_URL": chat.url + "/v1", "OPENAI_API_KEY": "k"}


def sql_generations(chat):
    return [r for r in chat.requests() if "SQLQueryInput" in (r.get("body") or "")]


def certify(tmp_path, *args):
    run = zolvi(tmp_path, "memory", "add", QUESTION, STATUS_SQL, "--by", "ana", "--json", *args)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)[0]


def queue_sql_only(chat):
    chat.queue(tool("RelevantTablesOutput", relevant_tables=["orders"]),
               tool("SQLQueryInput", sql_query=MODEL_SQL), {"content": MODEL_SQL})


def test_ask_answers_a_certified_question_from_memory_without_writing_sql(chat, tmp_path):
    entry = certify(tmp_path)  # the default state file, under XDG_STATE_HOME
    rows = json.loads(zolvi(tmp_path, "sql", "--format", "json", STATUS_SQL).stdout)["rows"]
    assert len(rows) >= 2

    # The same question in other case and spacing: no model call at all for an SQL-only run.
    asked = "how are the ORDERS spread   over their status ?"
    run = zolvi(tmp_path, "ask", "--sql-only", "--json", asked, env=model(chat))
    assert run.returncode == 0, run.stderr
    record = json.loads(run.stdout)
    assert chat.requests() == []
    assert record["from_memory"]["id"] == entry["id"]
    assert record["from_memory"]["certified_by"] == "ana"
    assert record["sql"] == STATUS_SQL and record["rows"] == rows
    assert record["usage"]["model_calls"] == 0

    # A full run: the analysis and the written answer, but no table choice and no SQL written;
    # the plain output says where the SQL came from.
    chat.queue(tool("PythonCodeInput", code="print('spread')"),
               tool("GenerationOutput", final_response="Most orders are delivered."))
    run = zolvi(tmp_path, "ask", "--analysis", "in-process", "--media", str(tmp_path / "media"),
                asked, env=model(chat))
    assert run.returncode == 0, run.stderr
    assert "Most orders are delivered." in run.stdout and STATUS_SQL in run.stdout
    assert "answered from memory (#%d, certified %s by ana)" % (
        entry["id"], entry["created_at"]) in run.stderr
    bodies = [r.get("body") or "" for r in chat.requests()]
    assert len(bodies) == 2
    assert not any("SQLQueryInput" in b or "RelevantTablesOutput" in b for b in bodies)


def test_ask_without_state_or_with_another_state_database_writes_the_sql(chat, tmp_path):
    certify(tmp_path, "--state-db", str(tmp_path / "shared.db"))
    for flags in (["--state-db", str(tmp_path / "shared.db"), "--no-state"],
                  ["--state-db", str(tmp_path / "other.db")],
                  []):  # the default state file holds nothing either
        queue_sql_only(chat)
        before = len(sql_generations(chat))
        run = zolvi(tmp_path, "ask", "--sql-only", "--json", *flags, QUESTION, env=model(chat))
        assert run.returncode == 0, (flags, run.stderr)
        record = json.loads(run.stdout)
        assert record["from_memory"] is None, flags
        assert record["sql"] == MODEL_SQL, flags
        assert len(sql_generations(chat)) == before + 1, flags
        assert "answered from memory" not in run.stderr
    # The state database named on the command line is the one that answers.
    run = zolvi(tmp_path, "ask", "--sql-only", "--state-db", str(tmp_path / "shared.db"), QUESTION,
                env=model(chat))
    assert run.returncode == 0, run.stderr
    assert "answered from memory" in run.stderr and STATUS_SQL in run.stdout


def test_chat_answers_a_certified_question_from_the_same_memory(chat, tmp_path):
    entry = certify(tmp_path)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
    env.update(model(chat), XDG_CACHE_HOME=str(tmp_path / "cache"), XDG_STATE_HOME=str(tmp_path / "state"))
    run = subprocess.run([ZOLVI, "chat", "--sql-only"], input=QUESTION.upper() + "\n/quit\n",
                         capture_output=True, text=True, timeout=60, env=env, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert chat.requests() == []
    assert STATUS_SQL in run.stdout
    assert "zolvi chat: answered from memory (#%d" % entry["id"] in run.stderr
