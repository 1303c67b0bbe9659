"""zolviai.agent.ask: the typed record a Python host gets, the same the other faces show."""
import pytest

from conftest import tool

import zolviai.agent as agent
from test_agent import make_agent, service  # noqa: F401  (the fixture)


def test_ask_gives_the_rows_as_values_and_each_attempt(service, sample_pg, capsys, tmp_path):  # noqa: F811
    flow = make_agent(service, sample_pg, capsys)
    query = "SELECT name, artist_id FROM artist ORDER BY artist_id"
    service.queue(tool("RelevantTablesOutput", relevant_tables=["artist"]),
                  tool("SQLQueryInput", sql_query="SELECT nme FROM artist"), {"content": "SELECT nme FROM artist"},
                  tool("SQLQueryInput", sql_query=query), {"content": query})
    record = agent.ask(flow, "Which artists are there?", sql_only=True, max_rows=3)
    assert record["outcome"] == "answered" and record["error"] is None
    assert record["sql"] == query and record["queries"] == ["SELECT nme FROM artist", query]
    assert record["columns"] == ["name", "artist_id"]
    assert record["rows"] == [["AC/DC", 1], ["Accept", 2], ["Aerosmith", 3]]
    assert record["row_count"] == 8 and record["truncated"] is True
    first, second = record["attempts"]
    assert first["success"] is False and first["error_kind"] == "DatabaseError"
    assert 'column "nme" does not exist' in first["error"]
    assert second["success"] is True and second["row_count"] == 8
    assert record["answer"] is None  # SQL only: no written answer


def test_ask_reports_a_failure_by_its_kind_without_raising(service, sample_pg, capsys, tmp_path):  # noqa: F811
    flow = make_agent(service, sample_pg, capsys)
    service.queue(tool("RelevantTablesOutput", wrong_field=["artist"]))
    record = agent.ask(flow, "q", sql_only=True)
    assert record["outcome"] == "model_error"
    assert record["error"]["kind"] == "ModelAnswerInvalid" and "relevant_tables" in record["error"]["message"]
    assert record["rows"] == [] and record["sql"] is None
