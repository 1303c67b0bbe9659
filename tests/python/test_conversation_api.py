"""Conversation from Python: follow-ups read with the earlier turns, the turns kept in the
state database and continued by id from a new object, failures as Python errors."""
import os
import sqlite3

import pytest

from conftest import ROOT, tool

FIRST = "How many albums are there?"
FOLLOW = "and how many tracks?"
STANDALONE = "How many tracks are there?"


def rules():
    return [
        {"match": {"body_contains": "FollowUpQuestion"},
         "answer": tool("FollowUpQuestion", standalone_question=STANDALONE, depends_on_earlier=True)},
        {"match": {"body_contains": "RelevantTablesOutput"},
         "answer": tool("RelevantTablesOutput", relevant_tables=["album", "track"])},
        {"match": {"body_contains": STANDALONE},
         "answer": tool("SQLQueryInput", sql_query="SELECT COUNT(*) AS tracks FROM track")},
        {"match": {"body_contains": FIRST},
         "answer": tool("SQLQueryInput", sql_query="SELECT COUNT(*) AS albums FROM album")},
        {"match": {"body_contains": "FROM track"}, "answer": {"content": "SELECT COUNT(*) AS tracks FROM track"}},
        {"match": {"body_contains": "FROM album"}, "answer": {"content": "SELECT COUNT(*) AS albums FROM album"}},
    ]


@pytest.fixture
def graph(chat, tmp_path):
    from zolviai.flow_graph.custom_sql import CustomSQLDatabase
    from zolviai.flow_graph.flow_graph import SQLGraph
    from zolviai.settings import AzureOpenAIChat35, AzureOpenAIChat4
    path = tmp_path / "music.db"
    with open(os.path.join(ROOT, "examples", "sample_db.sql")) as f:
        sqlite3.connect(path).executescript(f.read())
    with chat.state.lock:
        chat.state.rules.extend(rules())
    settings = dict(azure_deployment="d", azure_endpoint=chat.url, api_key="k", api_version="v")
    return SQLGraph(CustomSQLDatabase.from_uri("sqlite:///%s" % path), AzureOpenAIChat35(**settings),
                    AzureOpenAIChat4(**settings))


def counts(path, sql):
    return sqlite3.connect(path).execute(sql).fetchone()[0]


def follow_up_requests(chat):
    return [r for r in chat.requests() if "FollowUpQuestion" in r["body"]]


def test_a_conversation_asks_follows_up_and_is_continued_by_id(graph, chat, tmp_path):
    from zolviai._conversation import Conversation
    state = str(tmp_path / "state" / "state.db")
    conv = Conversation(graph, state_db=state)
    assert conv.id is None and conv.turns == []
    first = conv.ask(FIRST, sql_only=True)
    assert first["outcome"] == "answered" and first["turn"] == 1
    assert first["rows"] == [[counts(tmp_path / "music.db", "SELECT COUNT(*) FROM album")]]
    assert follow_up_requests(chat) == []
    second = conv.ask(FOLLOW, sql_only=True)
    assert second["understood_as"] == STANDALONE and second["depends_on_earlier"] is True
    assert second["rows"] == [[counts(tmp_path / "music.db", "SELECT COUNT(*) FROM track")]]
    [follow] = follow_up_requests(chat)
    assert "Question: " + FIRST in follow["body"]
    assert conv.id == first["conversation_id"] == second["conversation_id"]
    assert [t["question"] for t in conv.turns] == [FIRST, FOLLOW]

    # Another object (another process) continues it from the state file.
    again = Conversation(graph, state_db=state, conversation_id=conv.id)
    assert again.turns == conv.turns
    assert again.ask(FOLLOW, sql_only=True)["turn"] == 3

    conv.new()
    assert conv.ask(FIRST, sql_only=True)["turn"] == 1
    assert conv.id != again.id
    conv.delete()
    assert conv.id is None


def test_unknown_ids_bad_questions_and_foreign_state_files_raise(graph, tmp_path):
    from zolviai._conversation import Conversation
    state = str(tmp_path / "state.db")
    with pytest.raises(KeyError):
        Conversation(graph, state_db=state, conversation_id="0" * 32)
    with pytest.raises(ValueError):
        Conversation(graph, state_db=state).ask("  ")
    foreign = tmp_path / "notes.db"
    sqlite3.connect(foreign).execute("CREATE TABLE notes (x)")
    before = foreign.read_bytes()
    with pytest.raises(Exception, match="no zolviai_schema_versions"):
        Conversation(graph, state_db=str(foreign))
    assert foreign.read_bytes() == before
