"""A question whose query runs cleanly and finds nothing, as a client of zolvi serve meets it on
SQLite and PostgreSQL: an answer that says there is no data, at a bounded number of model calls
(counted by the scripted chat server), and the API's other plain-spoken fields: the 422 of a SQL
that never ran, row_count and truncated, and no server path in any answer."""
import os
import sqlite3
import urllib.parse

import pytest

from serve_support import ChatProcess, ServeProcess

REFUNDS_SQL = "SELECT refund_id, order_id, amount FROM refunds"
NOBODY_SQL = "SELECT order_id FROM orders WHERE status = 'lost'"

SCHEMA = [
    "CREATE TABLE orders (order_id INTEGER PRIMARY KEY, status TEXT, total NUMERIC(10, 2))",
    "CREATE TABLE refunds (refund_id INTEGER PRIMARY KEY, order_id INTEGER, amount NUMERIC(10, 2))",
] + ["INSERT INTO orders VALUES (%d, '%s', %d.25)" % (i, "shipped" if i % 3 else "pending", i)
     for i in range(1, 301)]


def rules(sql, tables, code="print('nothing to analyse')"):
    """The model picks `tables`, writes `sql`, keeps it on review and when told it found
    nothing; the analysis and the answer are scripted too, so that calling them shows."""
    return [
        {"match": {"body_contains": "returned no rows"}, "answer": {"tool_arguments": {"sql_query": sql}}},
        {"match": {"body_contains": "RelevantTablesOutput"},
         "answer": {"tool_arguments": {"relevant_tables": tables}}},
        {"match": {"body_contains": "RewriteQueryOutput"},
         "answer": {"tool_arguments": {"rewritten_question": "The question, reworded."}}},
        {"match": {"body_contains": "SQLQueryInput"}, "answer": {"tool_arguments": {"sql_query": sql}}},
        {"match": {"body_contains": "PythonCodeInput"}, "answer": {"tool_arguments": {"code": code}}},
        {"match": {"body_contains": "GenerationOutput"},
         "answer": {"tool_arguments": {"final_response": "The model's answer.", "image_path": ""}}},
        {"match": {}, "answer": {"content": sql}},
    ]


def sqlite_uri(tmp_path):
    path = tmp_path / "shop.db"
    with sqlite3.connect(path) as db:
        for statement in SCHEMA:
            db.execute(statement)
    return "sqlite:///" + str(path)


def postgres_uri(tmp_path):
    import psycopg2
    uri = os.environ.get("ZOLVIAI_PG_URI")
    if not uri:
        pytest.fail("ZOLVIAI_PG_URI is not set: run the tests through scripts/test")
    parts = urllib.parse.urlparse(uri)
    name = "zolvi_empty_%d" % os.getpid()
    admin = psycopg2.connect(host=parts.hostname, port=parts.port, user=parts.username,
                             password=parts.password, dbname=parts.path.lstrip("/"))
    admin.autocommit = True
    with admin.cursor() as cur:
        cur.execute("DROP DATABASE IF EXISTS " + name)
        cur.execute("CREATE DATABASE " + name)
    admin.close()
    db = psycopg2.connect(host=parts.hostname, port=parts.port, user=parts.username,
                          password=parts.password, dbname=name)
    with db, db.cursor() as cur:
        for statement in SCHEMA:
            cur.execute(statement)
    db.close()
    return uri.rsplit("/", 1)[0] + "/" + name


@pytest.fixture(scope="module")
def chat():
    server = ChatProcess()
    yield server
    server.close()


@pytest.fixture(scope="module", params=["sqlite", "postgresql"])
def served(request, chat, tmp_path_factory):
    tmp = tmp_path_factory.mktemp("empty-" + request.param)
    uri = sqlite_uri(tmp) if request.param == "sqlite" else postgres_uri(tmp)
    server = ServeProcess(tmp, "--db", uri, model_url=chat.url,
                          env={"ZOLVI_ALLOW_PRIVILEGED_ROLE": "1"})
    yield server
    assert server.stop() == 0, server.stderr()


@pytest.mark.parametrize("sql, tables, sql_only, most_calls, corrections", [
    # An empty table: no correction can find more; three calls (tables, SQL, review), also for
    # the full answer, which is written without the model.
    (REFUNDS_SQL, ["refunds"], True, 3, 0),
    (REFUNDS_SQL, ["refunds"], False, 3, 0),
    # A filter that finds nothing: one correction, told so plainly; the model keeps its query,
    # which is reviewed but not run again (the full answer is still written without a model).
    (NOBODY_SQL, ["orders"], True, 5, 1),
    (NOBODY_SQL, ["orders"], False, 5, 1),
])
def test_an_empty_answer_is_an_answer_at_a_few_model_calls(served, chat, sql, tables, sql_only,
                                                           most_calls, corrections):
    chat.script(rules(sql, tables))
    status, _, record = served.json("POST", "/v1/ask", {"question": "List all refunds.",
                                                        "sql_only": sql_only})
    assert status == 200, record
    calls = chat.requests()
    assert len(calls) == most_calls, [c["path"] for c in calls]
    assert record["usage"]["model_calls"] == most_calls
    assert record["outcome"] == "no_rows" and record["error"] is None
    assert record["sql"] == sql
    assert record["rows"] == [] and record["row_count"] == 0 and record["truncated"] is False
    assert len(record["columns"]) == len(sql.split(",")), record["columns"]
    assert [a["success"] for a in record["attempts"]] == [False] * (1 + corrections)
    assert all(a["error_kind"] is None for a in record["attempts"])
    prompts = [c["body"] for c in calls]
    assert sum("returned no rows" in p for p in prompts) == corrections
    assert not any("PythonCodeInput" in p or "GenerationOutput" in p for p in prompts)
    if sql_only:
        assert record["answer"] is None
    else:
        assert "no matching data" in record["answer"] and sql in record["answer"], record["answer"]
    labels = [s["label"] for s in record["steps"]]
    assert not any(s.endswith("_node") for s in labels), labels
    assert any("the query returned no rows \u2014 trying again" in s for s in labels) == (corrections > 0)


def test_a_sql_that_never_ran_is_422_with_its_last_error_and_statement(served, chat):
    bad = "SELECT nme FROM orders"
    chat.script(rules(bad, ["orders"]))
    status, _, body = served.json("POST", "/v1/ask", {"question": "Names?", "sql_only": True})
    assert status == 422, body
    error = body["error"]
    assert error["code"] == "sql_failed"
    assert error["sql"] == bad
    assert "nme" in error["last_error"] and error["last_error"] in error["message"]
    assert error["attempts"] >= 2


def test_sql_says_how_many_rows_there_were_and_whether_all_came(served):
    status, _, body = served.json("POST", "/v1/sql", {"sql": "SELECT order_id FROM orders ORDER BY order_id"})
    assert status == 200, body
    assert body["row_count"] == 300 and len(body["rows"]) == 200 and body["truncated"] is True
    status, _, body = served.json("POST", "/v1/sql", {"sql": "SELECT order_id FROM orders WHERE order_id < 4"})
    assert body["row_count"] == 3 and body["truncated"] is False
    status, _, body = served.json("POST", "/v1/sql", {"sql": REFUNDS_SQL})
    assert body["row_count"] == 0 and body["rows"] == [] and body["truncated"] is False
    assert body["columns"] == ["refund_id", "order_id", "amount"]


def test_no_answer_names_a_path_on_the_server(served, chat):
    # Analysis code as a model writes it: with the media folder the prompt gave it spelt out.
    sql = "SELECT status, COUNT(*) AS n FROM orders GROUP BY status ORDER BY n DESC"
    media = str(served.media)
    code = ("import os\nfolder = sorted(os.listdir(%r))[-1]\n"
            "print('saved in', os.path.join(%r, folder))\n") % (media, media)
    chat.script(rules(sql, ["orders"], code=code))
    status, _, record = served.json("POST", "/v1/ask", {"question": "Orders by status?"})
    assert status == 200, record
    assert record["outcome"] == "answered" and record["row_count"] == 2
    assert record["code"] and "media" in record["code"]
    assert media not in record["code"] and str(served.media.parent) not in record["code"]
    assert media not in (record["answer"] or "")
