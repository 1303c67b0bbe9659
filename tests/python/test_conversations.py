"""Conversations on the faces: /v1/ask with conversation_id, the conversation routes, two
servers sharing one PostgreSQL state database, a state file that is not ours, and zolvi chat
on a pseudo-terminal. The scripted chat server plays the models."""
import os
import pty
import re
import select
import subprocess
import sys
import urllib.parse
import uuid

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
from serve_support import ZOLVI, ChatProcess, ServeProcess, answer_rules, sse_events  # noqa: E402

FIRST = "How many orders are there per status?"
FOLLOW = "and only the shipped ones?"
STANDALONE = "How many orders have the status shipped?"
SHIPPED_SQL = "SELECT COUNT(*) AS n FROM orders WHERE status = 'shipped'"


def follow_up_rule(standalone=STANDALONE, depends=True):
    return {"match": {"body_contains": "FollowUpQuestion"},
            "answer": {"tool_arguments": {"standalone_question": standalone,
                                          "depends_on_earlier": depends}}}


def script_rules():
    """The follow-up step, then SQL per question the flow sees, then the generic steps."""
    return [follow_up_rule(),
            {"match": {"body_contains": "RelevantTablesOutput"},
             "answer": {"tool_arguments": {"relevant_tables": ["orders"]}}},
            {"match": {"body_contains": STANDALONE},
             "answer": {"tool_arguments": {"sql_query": SHIPPED_SQL}}},
            {"match": {"body_contains": "Query:\\n" + SHIPPED_SQL}, "answer": {"content": SHIPPED_SQL}},
            ] + answer_rules()


def tool_requests(chat, name):
    return [r for r in chat.requests()
            if (r.get("json") or {}).get("tool_choice", {}).get("function", {}).get("name") == name]


def prompt(request):
    return "\n".join(m["content"] or "" for m in request["json"]["messages"])


@pytest.fixture
def chat():
    c = ChatProcess()
    c.script(rules=script_rules())
    yield c
    c.close()


@pytest.fixture
def pg_state():
    """A fresh PostgreSQL database for the state, dropped afterwards; its URI."""
    import psycopg2
    uri = os.environ.get("ZOLVIAI_PG_URI")
    if not uri:
        pytest.fail("ZOLVIAI_PG_URI is not set: run the tests through scripts/test")
    parts = urllib.parse.urlparse(uri)
    name = "zt_conv_" + uuid.uuid4().hex[:12]
    admin = psycopg2.connect(host=parts.hostname, port=parts.port, user=parts.username,
                             password=parts.password, dbname=parts.path.lstrip("/"))
    admin.autocommit = True
    with admin.cursor() as cur:
        cur.execute("CREATE DATABASE " + name)
    yield parts._replace(path="/" + name).geturl()
    with admin.cursor() as cur:
        cur.execute("DROP DATABASE IF EXISTS %s WITH (FORCE)" % name)
    admin.close()


def ask(serve, question, conversation_id=None, **extra):
    body = {"question": question, "sql_only": True, **extra}
    if conversation_id is not None:
        body["conversation_id"] = conversation_id
    return serve.json("POST", "/v1/ask", body)


def test_follow_up_over_http_then_listed_and_deleted(tmp_path, chat):
    serve = ServeProcess(tmp_path, "--state-db", str(tmp_path / "state.db"), model_url=chat.url)
    try:
        status, _, first = ask(serve, FIRST)
        assert status == 200, first
        cid = first["conversation_id"]
        assert re.fullmatch(r"[0-9a-f]{32}", cid)
        assert first["turn"] == 1 and first["understood_as"] == FIRST
        assert tool_requests(chat, "FollowUpQuestion") == []  # a first question costs no extra call

        status, _, second = ask(serve, FOLLOW, cid)
        assert status == 200, second
        assert (second["conversation_id"], second["turn"]) == (cid, 2)
        assert second["understood_as"] == STANDALONE and second["question"] == FOLLOW
        assert second["sql"] == SHIPPED_SQL and second["rows"] == [[1360]]
        [follow] = tool_requests(chat, "FollowUpQuestion")
        text = prompt(follow)
        assert "Question: " + FIRST in text and "New question: " + FOLLOW in text
        assert "SQL: " + first["sql"] in text
        # The SQL prompt saw the earlier statement, the question standing alone.
        generation = prompt(tool_requests(chat, "SQLQueryInput")[-1])
        assert first["sql"] in generation and STANDALONE in generation

        status, _, listed = serve.json("GET", "/v1/conversations/" + cid)
        assert status == 200
        assert [t["question"] for t in listed["turns"]] == [FIRST, FOLLOW]
        assert listed["turns"][1]["understood_as"] == STANDALONE
        assert listed["turns"][1]["row_count"] == 1

        status, _, _ = serve.call("DELETE", "/v1/conversations/" + cid)
        assert status == 204
        for method in ("GET", "DELETE"):
            status, _, body = serve.json(method, "/v1/conversations/" + cid)
            assert status == 404 and body["error"]["code"] == "conversation_not_found"
        calls = len(chat.requests())
        status, _, body = ask(serve, FOLLOW, cid)
        assert status == 404 and body["error"]["code"] == "conversation_not_found"
        assert len(chat.requests()) == calls  # refused before any model call
        status, _, body = ask(serve, FOLLOW, 42)
        assert status == 400 and "conversation_id" in body["error"]["message"]
    finally:
        serve.stop()


def test_stream_carries_the_conversation(tmp_path, chat):
    serve = ServeProcess(tmp_path, "--state-db", str(tmp_path / "state.db"), model_url=chat.url)
    try:
        status, _, first = ask(serve, FIRST)
        status, _, payload = serve.call("POST", "/v1/ask/stream",
                                        {"question": FOLLOW, "sql_only": True,
                                         "conversation_id": first["conversation_id"]})
        assert status == 200
        events = sse_events(payload)
        final = [data for name, data in events if name == "result"]
        assert final, events
        assert final[0]["conversation_id"] == first["conversation_id"]
        assert final[0]["understood_as"] == STANDALONE
        # The follow-up step is the first step the stream reports.
        steps = [data["name"] for name, data in events if name == "step"]
        assert steps[0] == "follow_up_node"
    finally:
        serve.stop()


def test_two_servers_share_conversations_through_postgresql(tmp_path, chat, pg_state):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    a = ServeProcess(tmp_path / "a", "--state-db", pg_state, model_url=chat.url)
    b = ServeProcess(tmp_path / "b", "--state-db", pg_state, model_url=chat.url)
    try:
        status, _, first = ask(a, FIRST)
        assert status == 200, first
        cid = first["conversation_id"]
        status, _, second = ask(b, FOLLOW, cid)
        assert status == 200, second
        assert second["turn"] == 2 and second["understood_as"] == STANDALONE
        [follow] = tool_requests(chat, "FollowUpQuestion")
        assert "Question: " + FIRST in prompt(follow)
        # Server a sees the turn b stored, and so does a server started after both stopped.
        status, _, listed = a.json("GET", "/v1/conversations/" + cid)
        assert [t["turn"] for t in listed["turns"]] == [1, 2]
    finally:
        a.stop()
        b.stop()
    (tmp_path / "c").mkdir()
    c = ServeProcess(tmp_path / "c", "--state-db", pg_state, model_url=chat.url)
    try:
        status, _, listed = c.json("GET", "/v1/conversations/" + cid)
        assert status == 200 and len(listed["turns"]) == 2
    finally:
        c.stop()


@pytest.mark.parametrize("content", [
    b"name,total\nacme,12\n",                        # a text file
    b"SQLite format 3\x00" + b"\x07" * 200,          # a damaged database
])
def test_a_state_file_that_is_not_ours_stops_the_server_untouched(tmp_path, content):
    state = tmp_path / "state.db"
    state.write_bytes(content)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "ZOLVI_"))}
    run = subprocess.run([ZOLVI, "serve", "--listen", "127.0.0.1:0", "--state-db", str(state),
                          "--media", str(tmp_path / "media")],
                         capture_output=True, text=True, timeout=60, env=env, cwd=tmp_path)
    assert run.returncode != 0
    assert str(state) in run.stderr and "not an SQLite database of ours" in run.stderr
    assert state.read_bytes() == content
    assert not os.path.exists(str(state) + "-wal")


class Terminal:
    """zolvi chat on a pseudo-terminal: what a person at a terminal types and reads."""

    def __init__(self, tmp_path, chat_url, *args):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
        env.update({"OPENAI_BASE_URL": chat_url + "/v1", "OPENAI_API_KEY": "k", "TERM": "dumb",
                    "XDG_STATE_HOME": str(tmp_path / "state"), "HOME": str(tmp_path)})
        self.master, slave = pty.openpty()
        self.proc = subprocess.Popen([ZOLVI, "chat", "--sql-only", "--analysis", "in-process", *args],
                                     stdin=slave, stdout=slave, stderr=slave, cwd=tmp_path,
                                     env=env, close_fds=True)
        os.close(slave)
        self.seen = b""

    def read_until(self, marker, timeout=60):
        marker = marker.encode()
        while marker not in self.seen:
            ready, _, _ = select.select([self.master], [], [], timeout)
            if not ready:
                raise AssertionError("no %r in:\n%s" % (marker, self.seen.decode(errors="replace")))
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                raise AssertionError("zolvi chat ended before %r:\n%s" % (marker, self.seen.decode(errors="replace")))
            self.seen += chunk
        before, _, after = self.seen.partition(marker)
        self.seen = after
        return before.decode(errors="replace")

    def type(self, line):
        os.write(self.master, line.encode() + b"\r")

    def close(self):
        os.close(self.master)
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def test_chat_on_a_terminal_follows_up_shows_sql_and_starts_over(tmp_path, chat):
    term = Terminal(tmp_path, chat.url)
    try:
        term.read_until("zolvi> ")
        term.type(FIRST)
        out = term.read_until("zolvi> ")
        assert "conversation " in out and "Result:" in out
        assert tool_requests(chat, "FollowUpQuestion") == []
        term.type(FOLLOW)
        out = term.read_until("zolvi> ")
        assert "Understood as: " + STANDALONE in out
        assert "1360" in out
        term.type("/sql")
        assert SHIPPED_SQL in term.read_until("zolvi> ")
        term.type("/new")
        assert "(new conversation)" in term.read_until("zolvi> ")
        term.type(FIRST)
        term.read_until("zolvi> ")
        # A new conversation's first question asks no follow-up step.
        assert len(tool_requests(chat, "FollowUpQuestion")) == 1
        term.type("/quit")
        term.proc.wait(30)
        assert term.proc.returncode == 0
    finally:
        term.close()


def test_chat_reads_plain_standard_input_without_a_terminal(tmp_path, chat):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
    env.update({"OPENAI_BASE_URL": chat.url + "/v1", "OPENAI_API_KEY": "k",
                "XDG_STATE_HOME": str(tmp_path / "state")})
    run = subprocess.run([ZOLVI, "chat", "--sql-only", "--analysis", "in-process"],
                         input=FIRST + "\n" + FOLLOW + "\n/sql\n", capture_output=True, text=True,
                         timeout=120, env=env, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "zolvi> " not in run.stdout
    assert "Understood as: " + STANDALONE in run.stdout
    assert run.stdout.rstrip().endswith(SHIPPED_SQL)
    # The conversation is in the state file under XDG_STATE_HOME.
    assert (tmp_path / "state" / "zolviai" / "state.db").exists()
