"""The memory of verified SQL through zolvi serve: certify, list, search and remove over HTTP,
certified answers reused by /v1/ask, and one memory shared by two servers on PostgreSQL."""
import json
import os
import urllib.parse
import uuid

import pytest

from serve_support import STATUS_SQL, ChatProcess, ServeProcess, answer_rules

TOKEN = "tok-memory-5b1e0c"
QUESTION = "How are the orders spread over their status?"


@pytest.fixture(scope="module")
def chat():
    server = ChatProcess()
    yield server
    server.close()


def sql_generations(chat):
    return [r for r in chat.requests() if "SQLQueryInput" in (r.get("body") or "")]


def ask(server, chat, question):
    chat.script(answer_rules(sql="SELECT COUNT(*) AS n FROM orders", media=str(server.media)))
    status, _, record = server.json("POST", "/v1/ask", {"question": question})
    assert status == 200, record
    return record


def test_certified_sql_over_http_is_reused_exactly_for_its_question(chat, tmp_path):
    server = ServeProcess(tmp_path, "--state-db", str(tmp_path / "state" / "state.db"),
                          model_url=chat.url, token=TOKEN)
    try:
        # Token-protected like every /v1 route.
        assert server.json("GET", "/v1/memory", auth=False)[0] == 401
        assert server.json("POST", "/v1/memory", {"question": QUESTION, "sql": STATUS_SQL},
                           auth=False)[0] == 401
        # What does not run, or is not a read, is not certified.
        for bad in [{"question": QUESTION, "sql": "DROP TABLE orders"},
                    {"question": QUESTION, "sql": "SELECT nothing FROM orders"},
                    {"question": QUESTION}, {"sql": STATUS_SQL}]:
            status, _, body = server.json("POST", "/v1/memory", bad)
            assert status == 400, (bad, body)
        status, _, entry = server.json("POST", "/v1/memory",
                                       {"question": QUESTION, "sql": STATUS_SQL, "by": "ana"})
        assert status == 201, entry
        assert entry["state"] == "certified" and entry["source"] == "api"
        assert list(entry["tables"]) == ["orders"] and entry["certified_by"] == "ana"

        status, _, listed = server.json("GET", "/v1/memory")
        assert status == 200 and [e["id"] for e in listed["entries"]] == [entry["id"]]
        query = urllib.parse.quote("status of the orders")
        status, _, found = server.json("GET", "/v1/memory?query=" + query)
        assert status == 200 and found["entries"][0]["id"] == entry["id"]

        # The same question, written otherwise: answered by the certified SQL, none written.
        record = ask(server, chat, "  how are the ORDERS spread over their status")
        assert record["from_memory"]["id"] == entry["id"], record
        assert record["sql"] == STATUS_SQL and record["row_count"] > 0
        assert sql_generations(chat) == []
        # Another value: written afresh, with the entry as its example.
        record = ask(server, chat, "How are the orders of 2023 spread over their status?")
        assert record["from_memory"] is None
        assert record["memory_examples"] == [entry["id"]]
        generations = sql_generations(chat)
        assert len(generations) == 1 and STATUS_SQL in generations[0]["body"]

        assert server.json("DELETE", "/v1/memory/%d" % entry["id"])[0] == 200
        assert server.json("DELETE", "/v1/memory/%d" % entry["id"])[0] == 404
        assert server.json("DELETE", "/v1/memory/first")[0] == 400
        assert server.json("GET", "/v1/memory")[2]["entries"] == []
        assert ask(server, chat, QUESTION)["from_memory"] is None
    finally:
        assert server.stop() == 0, server.stderr()


def test_two_servers_on_one_postgresql_state_database_share_the_memory(chat, tmp_path):
    uri = os.environ.get("ZOLVIAI_PG_URI")
    if not uri:
        pytest.fail("ZOLVIAI_PG_URI is not set: run the tests through scripts/test")
    import psycopg2
    parts = urllib.parse.urlparse(uri)
    name = "zolvi_memory_" + uuid.uuid4().hex[:8]
    admin = psycopg2.connect(host=parts.hostname, port=parts.port, user=parts.username,
                             password=parts.password, dbname=parts.path.lstrip("/"))
    admin.autocommit = True
    with admin.cursor() as cur:
        cur.execute("CREATE DATABASE " + name)
    state = uri.rsplit("/", 1)[0] + "/" + name
    first = second = None
    try:
        (tmp_path / "a").mkdir()
        (tmp_path / "b").mkdir()
        first = ServeProcess(tmp_path / "a", "--state-db", state, model_url=chat.url)
        # Both serve the same database file: the one the first created.
        sample = tmp_path / "a" / "cache" / "zolviai" / "business.db"
        second = ServeProcess(tmp_path / "b", "--state-db", state, "--db", "sqlite:///%s" % sample,
                              model_url=chat.url)
        status, _, entry = first.json("POST", "/v1/memory", {"question": QUESTION, "sql": STATUS_SQL})
        assert status == 201, entry
        status, _, listed = second.json("GET", "/v1/memory")
        assert [e["id"] for e in listed["entries"]] == [entry["id"]]
        assert ask(second, chat, QUESTION)["from_memory"]["id"] == entry["id"]
        # A removal on one is seen by the other at its next question.
        assert second.json("DELETE", "/v1/memory/%d" % entry["id"])[0] == 200
        assert ask(first, chat, QUESTION)["from_memory"] is None
    finally:
        for server in (first, second):
            if server:
                server.stop()
        with admin.cursor() as cur:
            cur.execute("DROP DATABASE IF EXISTS %s WITH (FORCE)" % name)
        admin.close()
