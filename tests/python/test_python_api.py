"""zolviai.connect as a Python developer meets it: typed rows from the guarded database and
from questions, nothing printed, the models from the same settings as zolvi, and questions
from asyncio without blocking the loop."""
import asyncio
import datetime
import json
import logging
import os
import sqlite3
import subprocess
import sys
import threading
import urllib.parse
from decimal import Decimal

import pytest

import chat_server
from conftest import reader_parts, tool

import zolviai
from zolviai import errors

SQL = "SELECT id, amount, ratio, day, at, note, data FROM ledger ORDER BY id"
COLUMNS = ["id", "amount", "ratio", "day", "at", "note", "data"]

# The same three rows in every engine: values, NULLs, and empty text and bytes.
TYPED_ROWS = [
    (1, Decimal("12.50"), 0.25, datetime.date(2024, 2, 29), datetime.datetime(2024, 2, 29, 13, 45),
     "first", b"\x00\xff"),
    (2, None, None, None, None, None, None),
    (3, Decimal("-0.01"), 0.001, datetime.date(1999, 12, 31),
     datetime.datetime(2000, 1, 1, 0, 0, 0, 500000), "", b""),
]
# SQLite keeps what it was given: numbers as int or float, dates as text.
SQLITE_ROWS = [
    (1, 12.5, 0.25, "2024-02-29", "2024-02-29 13:45:00", "first", b"\x00\xff"),
    (2, None, None, None, None, None, None),
    (3, -0.01, 0.001, "1999-12-31", "2000-01-01 00:00:00.5", "", b""),
]
INSERT_VALUES = [
    (1, "12.50", 0.25, "2024-02-29", "2024-02-29 13:45:00", "first", b"\x00\xff"),
    (2, None, None, None, None, None, None),
    (3, "-0.01", 0.001, "1999-12-31", "2000-01-01 00:00:00.5", "", b""),
]
NAME = "zt_python_api"


def sqlite_db(tmp_path):
    path = tmp_path / "ledger.db"
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE ledger (id INTEGER PRIMARY KEY, amount REAL, ratio REAL, day TEXT, "
               "at TEXT, note TEXT, data BLOB)")
    db.executemany("INSERT INTO ledger VALUES (?, ?, ?, ?, ?, ?, ?)",
                   [(i, float(a) if a else None, r, d, t, n, b) for i, a, r, d, t, n, b in INSERT_VALUES])
    db.commit()
    db.close()
    return "sqlite:///" + str(path), SQLITE_ROWS


def postgresql_db():
    import psycopg2
    parts = urllib.parse.urlparse(os.environ["ZOLVIAI_PG_URI"])
    connect = dict(host=parts.hostname, port=parts.port, user=parts.username, password=parts.password)
    admin = psycopg2.connect(dbname=parts.path.lstrip("/"), **connect)
    admin.autocommit = True
    admin.cursor().execute("DROP DATABASE IF EXISTS %s WITH (FORCE)" % NAME)
    admin.cursor().execute("CREATE DATABASE %s" % NAME)
    admin.close()
    db = psycopg2.connect(dbname=NAME, **connect)
    with db, db.cursor() as cur:
        cur.execute("CREATE TABLE ledger (id integer PRIMARY KEY, amount numeric(10,2), "
                    "ratio double precision, day date, at timestamp, note text, data bytea)")
        cur.executemany("INSERT INTO ledger VALUES (%s, %s, %s, %s, %s, %s, %s)", INSERT_VALUES)
    db.close()
    reader = reader_parts("ZOLVIAI_PG_READER_URI")
    return "postgresql://%s:%s@%s:%d/%s" % (reader.username, reader.password, parts.hostname,
                                            parts.port, NAME), TYPED_ROWS


def mariadb_db():
    import pymysql
    parts = urllib.parse.urlparse(os.environ["ZOLVIAI_MARIADB_URI"])
    connect = dict(host=parts.hostname, port=parts.port, user=parts.username, password=parts.password,
                   autocommit=True)
    admin = pymysql.connect(**connect)
    admin.cursor().execute("DROP DATABASE IF EXISTS %s" % NAME)
    admin.cursor().execute("CREATE DATABASE %s CHARACTER SET utf8mb4" % NAME)
    admin.close()
    db = pymysql.connect(database=NAME, **connect)
    db.cursor().execute("CREATE TABLE ledger (id INT PRIMARY KEY, amount DECIMAL(10,2), ratio DOUBLE, "
                        "day DATE, at DATETIME(6), note TEXT, data BLOB)")
    db.cursor().executemany("INSERT INTO ledger VALUES (%s, %s, %s, %s, %s, %s, %s)", INSERT_VALUES)
    db.close()
    reader = reader_parts("ZOLVIAI_MARIADB_READER_URI")
    return "mysql://%s:%s@%s:%d/%s" % (reader.username, reader.password, parts.hostname, parts.port,
                                       NAME), TYPED_ROWS


@pytest.fixture(params=["sqlite", "postgresql", "mysql"])
def ledger(request, tmp_path):
    """(uri, the rows SQL gives as Python values) of a database holding the ledger table."""
    if request.param == "sqlite":
        return sqlite_db(tmp_path)
    return postgresql_db() if request.param == "postgresql" else mariadb_db()


@pytest.fixture
def models(chat, monkeypatch, tmp_path):
    """The scripted chat server as the only model setting: OPENAI_BASE_URL, no key, no .env."""
    for name in list(os.environ):
        if name.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_")):
            monkeypatch.delenv(name)
    monkeypatch.setenv("OPENAI_BASE_URL", chat.url + "/v1")
    monkeypatch.chdir(tmp_path)
    return chat


def queue_answer(chat, sql=SQL):
    chat.queue(tool("RelevantTablesOutput", relevant_tables=["ledger"]),
               tool("SQLQueryInput", sql_query=sql), {"content": sql},
               tool("PythonCodeInput", code="print('three entries')"),
               tool("GenerationOutput", final_response="The ledger has three entries."))


def test_sql_gives_typed_rows_a_description_and_a_data_frame(ledger):
    uri, expected = ledger
    db = zolviai.connect(uri)
    result = db.sql(SQL)
    assert result.rows == expected
    assert [type(v) for v in result.rows[0]] == [type(v) for v in expected[0]]
    assert [d[0] for d in result.description] == COLUMNS and all(len(d) == 7 for d in result.description)
    assert result.row_count == 3 and result.truncated is False
    frame = result.to_pandas()
    assert list(frame.columns) == COLUMNS and frame.shape == (3, 7)
    assert frame["note"].tolist() == ["first", None, ""]

    cut = db.sql(SQL, max_rows=1)
    assert cut.rows == expected[:1] and cut.row_count == 3 and cut.truncated is True

    assert "ledger" in db.tables()
    assert "ledger" in db.schema("ledger")
    with pytest.raises(KeyError, match="nope"):
        db.schema("ledger", "nope")
    # Guarded as generated SQL is: one read statement, nothing else.
    with pytest.raises(errors.StatementRefused):
        db.sql("DELETE FROM ledger")
    with pytest.raises(errors.DatabaseError):
        db.sql("SELECT missing_column FROM ledger")


def test_a_question_gives_a_typed_answer_and_prints_nothing(ledger, models, capfd, caplog):
    uri, expected = ledger
    caplog.set_level(logging.DEBUG, logger="zolviai")
    db = zolviai.connect(uri, analysis="in-process")
    queue_answer(models)
    answer = db.ask("What is in the ledger?")

    assert answer.ok and answer.outcome == "answered" and answer.error is None
    assert answer.answer == "The ledger has three entries."
    assert answer.sql == SQL and answer.queries == [SQL]
    assert answer.columns == COLUMNS and answer.rows == expected
    assert answer.row_count == 3 and answer.truncated is False
    assert answer.code == "print('three entries')" and answer.chart_paths == []
    assert answer.to_pandas().shape == (3, 7)
    assert [d[0] for d in answer.description] == COLUMNS
    requests = models.requests()
    assert answer.usage.model_calls == len(requests) == 5
    assert answer.usage.total_tokens == 5 * 15
    assert all(r["path"] == "/v1/chat/completions" for r in requests)
    names = [s.name for s in answer.steps]
    assert "sql_execution_node" in names and names[-1] == "final_response_generation_node"
    assert answer.to_dict()["rows"][0][0] == 1 and answer.to_dict()["outcome"] == "answered"

    # Nothing on standard output, at either level; the flow's lines went to logging.
    out, _ = capfd.readouterr()
    assert out == ""
    messages = [r.getMessage() for r in caplog.records if r.name == "zolviai"]
    assert any(m.startswith("General Response prompt") for m in messages)
    assert any("Invoke generate sql query" in m for m in messages)


def test_models_named_by_the_host_serve_their_roles(models, tmp_path):
    uri, _ = sqlite_db(tmp_path)
    db = zolviai.connect(uri, model="general-model", sql_model="sql-model", analysis="in-process")
    queue_answer(models)
    assert db.ask("What is in the ledger?", sql_only=True).ok
    by_tool = {r["json"]["tool_choice"]["function"]["name"]: r["json"]["model"]
               for r in models.requests() if r["json"].get("tool_choice")}
    assert by_tool["RelevantTablesOutput"] == "general-model"
    assert by_tool["SQLQueryInput"] == "sql-model"


def test_failures_are_in_the_answer_and_an_empty_question_costs_nothing(models, tmp_path):
    uri, _ = sqlite_db(tmp_path)
    db = zolviai.connect(uri, analysis="in-process")
    for blank in ("", "  \n"):
        with pytest.raises(ValueError, match="empty"):
            db.ask(blank)
    assert models.requests() == []

    models.queue(tool("RelevantTablesOutput", wrong_field=["ledger"]))
    answer = db.ask("What is in the ledger?", sql_only=True)
    assert not answer.ok and answer.outcome == "model_error"
    assert answer.error_kind == "ModelAnswerInvalid" and "relevant_tables" in answer.error
    assert answer.rows == [] and answer.sql is None and answer.answer is None
    with pytest.raises(errors.ModelAnswerInvalid):
        answer.raise_for_error()


def test_no_model_configured_is_an_error_naming_the_variables(monkeypatch, tmp_path):
    for name in list(os.environ):
        if name.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_")):
            monkeypatch.delenv(name)
    monkeypatch.chdir(tmp_path)
    uri, expected = sqlite_db(tmp_path)
    db = zolviai.connect(uri)
    assert db.sql(SQL).rows == expected  # SQL needs no model
    # The host sets what one statement may bring into memory.
    bounded = zolviai.connect(uri, max_cell_bytes=4)
    assert bounded.sql("SELECT note FROM ledger WHERE id = 1").rows == [("firs...",)]
    with pytest.raises(RuntimeError, match="OPENAI_BASE_URL"):
        db.ask("What is in the ledger?")


def test_eight_concurrent_async_questions_leave_the_loop_free(models, tmp_path, monkeypatch):
    uri, expected = sqlite_db(tmp_path)
    # Every question's first model call waits at this gate until the event loop opens it:
    # a loop blocked by a question could never open it.
    gate = threading.Event()
    picked = chat_server.Handler.pick

    def gated_pick(self, path, body):
        if "RelevantTablesOutput" in body and not gate.wait(60):
            return {"status": 500, "body": "the gate was never opened"}
        return picked(self, path, body)

    monkeypatch.setattr(chat_server.Handler, "pick", gated_pick)
    with models.state.lock:
        models.state.rules.extend([
            {"match": {"body_contains": "RelevantTablesOutput"},
             "answer": {"tool_arguments": {"relevant_tables": ["ledger"]}}},
            {"match": {"body_contains": "SQLQueryInput"}, "answer": {"tool_arguments": {"sql_query": SQL}}},
            {"match": {}, "answer": {"content": SQL}},
        ])
    db = zolviai.connect(uri, analysis="in-process")
    questions = ["Ledger question %d?" % i for i in range(8)]

    async def main():
        tasks = [asyncio.create_task(db.ask_async(q, sql_only=True)) for q in questions]
        for _ in range(6000):
            waiting = [r for r in models.requests() if "RelevantTablesOutput" in r["body"]]
            if len(waiting) == len(questions):
                break
            await asyncio.sleep(0.01)
        all_waiting = len(waiting) == len(questions)
        gate.set()
        return all_waiting, await asyncio.gather(*tasks)

    all_waiting, answers = asyncio.run(main())
    assert all_waiting, "the eight questions were not all waiting for the model at once"
    assert [a.question for a in answers] == questions
    assert all(a.ok and a.rows == expected and a.usage.model_calls == 3 for a in answers)
    db.close()


def test_the_package_names_its_version_and_keeps_the_seed_modules():
    assert zolviai.__version__.count(".") == 2
    assert all(part.isdigit() for part in zolviai.__version__.split("."))
    import zolviai.agent as agent
    assert callable(agent.create_agent) and callable(agent.run_agent)
    assert zolviai.DatabaseError is errors.DatabaseError


HOST_SCRIPT = """
import json, sys, zolviai
db = zolviai.connect(sys.argv[1], analysis="in-process")
answer = db.ask("What is in the ledger?")
with open(sys.argv[2], "w") as f:
    json.dump({"outcome": answer.outcome, "answer": answer.answer, "rows": len(answer.rows)}, f)
"""


def test_a_host_process_prints_nothing_with_models_from_its_dotenv(chat, tmp_path):
    # A separate interpreter: its own environment (the .env loaded there stays there) and its
    # own standard output, watched at the descriptor.
    uri, _ = sqlite_db(tmp_path)
    (tmp_path / ".env").write_text("OPENAI_BASE_URL=%s/v1\n" % chat.url)
    queue_answer(chat)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
    result = tmp_path / "result.json"
    run = subprocess.run([sys.executable, "-c", HOST_SCRIPT, uri, str(result)], capture_output=True,
                         text=True, timeout=120, env=env, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout == ""
    assert json.loads(result.read_text()) == {"outcome": "answered", "rows": 3,
                                              "answer": "The ledger has three entries."}
    assert len(chat.requests()) == 5


def test_conversations_and_the_memory_from_connect(models, tmp_path):
    """db.conversation() asks follow-ups with the earlier turn in the rewrite's prompt and
    keeps the turns in the state database; db.memory certifies SQL that the very question then
    reuses without writing SQL again."""
    uri, expected = sqlite_db(tmp_path)
    state = str(tmp_path / "state.db")
    db = zolviai.connect(uri, analysis="in-process", state_db=state)

    conv = db.conversation()
    assert conv.id is None and conv.turns == []
    models.queue(tool("RelevantTablesOutput", relevant_tables=["ledger"]),
                 tool("SQLQueryInput", sql_query=SQL), {"content": SQL})
    first = conv.ask("What is in the ledger?", sql_only=True)
    assert first.conversation_id == conv.id and first.turn == 1 and first.rows == expected
    models.queue(tool("FollowUpQuestion", standalone_question="Which ledger entries have a note?",
                      depends_on_earlier=True),
                 tool("RelevantTablesOutput", relevant_tables=["ledger"]),
                 tool("SQLQueryInput", sql_query=SQL + " LIMIT 1"), {"content": SQL + " LIMIT 1"})
    second = conv.ask("and only those with a note?", sql_only=True)
    assert second.turn == 2 and second.understood_as == "Which ledger entries have a note?"
    rewrite = [r for r in models.requests() if "FollowUpQuestion" in str(r["body"])]
    assert len(rewrite) == 1 and "What is in the ledger?" in str(rewrite[0]["body"])
    # Another connection continues the same conversation from the state database.
    again = zolviai.connect(uri, analysis="in-process", state_db=state).conversation(conv.id)
    assert [t["question"] for t in again.turns] == ["What is in the ledger?",
                                                    "and only those with a note?"]
    assert conv.delete() is True and conv.id is None
    with pytest.raises(KeyError):
        again.ask("and the rest?")

    entry = db.memory.add("How many ledger entries are there?", "SELECT COUNT(*) FROM ledger")
    assert [e["id"] for e in db.memory.search("ledger entries count")][:1] == [entry["id"]]
    with pytest.raises(errors.DatabaseError):
        db.memory.add("Broken?", "SELECT nope FROM ledger")
    calls = len(models.requests())
    reused = db.ask("how many ledger entries are there", sql_only=True)
    assert reused.rows == [(3,)] and reused.from_memory["id"] == entry["id"]
    assert len(models.requests()) == calls  # no model wrote SQL for it
    assert db.memory.remove(entry["id"]) is True and db.memory.list() == []
