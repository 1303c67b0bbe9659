"""One question through every face (zolvi ask --json, POST /v1/ask, zolvi eval): each asks the
same engine and shows the same typed record, and a failure's class decides what each face
makes of it."""
import json
import os
import subprocess

import pytest

from serve_support import STATUS_SQL, ChatProcess, ServeProcess, answer_rules, ZOLVI

QUESTION = "How are the orders spread over their status?"


@pytest.fixture(scope="module")
def chat():
    server = ChatProcess()
    yield server
    server.close()


def environment(tmp_path, chat):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
    env.update(XDG_CACHE_HOME=str(tmp_path / "cache"), XDG_STATE_HOME=str(tmp_path / "state"),
               OPENAI_BASE_URL=chat.url + "/v1", OPENAI_API_KEY="k")
    return env


def ask_cli(tmp_path, chat, *args):
    run = subprocess.run([ZOLVI, "ask", QUESTION, "--json", "--analysis", "in-process",
                          "--media", str(tmp_path / "ask-media"), *args],
                         capture_output=True, text=True, timeout=120, env=environment(tmp_path, chat),
                         cwd=tmp_path)
    return run.returncode, json.loads(run.stdout), run.stderr


def ask_eval(tmp_path, chat, gold, *args):
    questions = tmp_path / "q.jsonl"
    questions.write_text(json.dumps({"id": "q1", "question": QUESTION, "gold_sql": gold}) + "\n")
    out = tmp_path / "eval"
    run = subprocess.run([ZOLVI, "eval", str(questions), "--out", str(out), "-j", "1",
                          "--analysis", "in-process", *args],
                         capture_output=True, text=True, timeout=120, env=environment(tmp_path, chat),
                         cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    return json.loads((out / "results.jsonl").read_text().splitlines()[0])


def test_the_same_question_gives_the_same_typed_record_in_every_face(chat, tmp_path):
    chat.script(answer_rules())
    code, cli, err = ask_cli(tmp_path, chat, "--sql-only")
    assert code == 0, err
    chat.script(answer_rules())
    served = ServeProcess(tmp_path, model_url=chat.url)
    try:
        status, _, http = served.json("POST", "/v1/ask", {"question": QUESTION, "sql_only": True})
    finally:
        assert served.stop() == 0, served.stderr()
    assert status == 200, http
    chat.script(answer_rules())
    record = ask_eval(tmp_path, chat, STATUS_SQL, "--sql-only")

    assert cli["outcome"] == http["outcome"] == "answered"
    assert cli["sql"] == http["sql"] == record["predicted_sql"] == STATUS_SQL
    assert cli["columns"] == http["columns"] == record["predicted_columns"] == ["status", "n"]
    assert cli["column_types"] == http["column_types"]
    assert cli["row_count"] == http["row_count"] == record["predicted_row_count"] == 3
    # Values, not a rendering: the counts are numbers in every face.
    assert cli["rows"] == http["rows"]
    assert cli["rows"][:len(record["predicted_rows"])] == record["predicted_rows"]
    assert all(isinstance(row[1], int) for row in cli["rows"])
    assert cli["usage"]["model_calls"] == http["usage"]["model_calls"] == record["model_calls"] == 3
    assert [s["name"] for s in cli["steps"]] == [s["name"] for s in http["steps"]]
    assert [a["sql"] for a in cli["attempts"]] == [a["sql"] for a in http["attempts"]] == [STATUS_SQL]
    assert record["outcome"] == "correct"


def test_a_refused_statement_is_a_refusal_in_every_face(chat, tmp_path):
    rules = answer_rules(sql="DELETE FROM orders", answer="The question could not be answered.")
    rules.insert(0, {"match": {"body_contains": "RewriteQueryOutput"},
                     "answer": {"tool_arguments": {"rewritten_question": QUESTION}}})
    chat.script(rules)
    code, cli, err = ask_cli(tmp_path, chat)
    # The record says the SQL never ran, and the status does too.
    assert code == 1, err
    assert "Statement refused" in err
    chat.script(rules)
    served = ServeProcess(tmp_path, model_url=chat.url)
    try:
        status, _, http = served.json("POST", "/v1/ask", {"question": QUESTION})
        sql_status, _, sql_body = served.json("POST", "/v1/sql", {"sql": "DELETE FROM orders"})
    finally:
        assert served.stop() == 0, served.stderr()
    chat.script(rules)
    record = ask_eval(tmp_path, chat, STATUS_SQL)

    for face in (cli, http):
        assert face["outcome"] == "sql_failed"
        assert face["error"]["kind"] == "StatementRefused"
        assert face["rows"] == [] and face["row_count"] == 0
        assert all(a["error_kind"] == "StatementRefused" for a in face["attempts"])
    assert status == 200
    assert sql_status == 400 and sql_body["error"]["code"] == "statement_refused"
    assert record["outcome"] == "refused"
