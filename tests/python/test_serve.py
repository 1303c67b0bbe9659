"""zolvi serve as a client meets it: a real server process on loopback, the scripted model
over HTTP, the bundled SQLite sample database (and a PostgreSQL server of the test's own for
the database that stops)."""
import concurrent.futures
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import jsonschema
import pytest

from serve_support import (ROOT, STATUS_SQL, ChatProcess, ServeProcess, answer_rules, http_call,
                           sse_events, wait_for, ZOLVI)

TOKEN = "tok-3f9a1c77e2b94d0c"
OPENAPI = json.load(open(os.path.join(ROOT, "docs", "openapi.json")))


@pytest.fixture(scope="module")
def chat():
    server = ChatProcess()
    yield server
    server.close()


@pytest.fixture(scope="module")
def served(chat, tmp_path_factory):
    tmp = tmp_path_factory.mktemp("serve")
    server = ServeProcess(tmp, "--chart-ttl", "3600", model_url=chat.url, token=TOKEN)
    yield server
    assert server.stop() == 0, server.stderr()


def ask(served, chat, question="How are the orders spread over their status?", **kw):
    chat.script(answer_rules(media=str(served.media), **kw))
    return served.json("POST", "/v1/ask", {"question": question})


def schema_for(path, method, status, content="application/json"):
    response = OPENAPI["paths"][path][method]["responses"][str(status)]
    return response["content"][content]["schema"]


def validate(body, schema):
    resolver = jsonschema.RefResolver.from_schema(OPENAPI)
    jsonschema.Draft202012Validator(schema, resolver=resolver).validate(body)


def test_a_question_gives_the_answer_sql_rows_chart_usage_and_steps(served, chat):
    status, headers, record = ask(served, chat)
    assert status == 200, record
    validate(record, schema_for("/v1/ask", "post", 200))
    assert record["answer"] == "Most orders have shipped."
    assert record["sql"] == STATUS_SQL and record["queries"] == [STATUS_SQL]
    assert record["columns"] == ["status", "n"]
    assert record["rows"][0] == ["shipped", 1360] and record["row_count"] == 3
    assert "savefig" in record["code"]
    assert record["usage"]["model_calls"] == 5
    assert record["usage"]["prompt_tokens"] == 50 and record["usage"]["completion_tokens"] == 25
    names = [s["name"] for s in record["steps"]]
    assert names[0] == "init_node" and names[-1] == "final_response_generation_node"
    assert "pandas_executor_node" in names
    assert headers["server-timing"].startswith("run;dur=")
    # The chart the sandboxed code saved, under the name the server gave it.
    assert re.fullmatch(r"/v1/charts/[0-9a-f]{32}\.png", record["chart"])
    status, headers, png = served.call("GET", record["chart"])
    assert status == 200 and headers["content-type"] == "image/png"
    assert int(headers["content-length"]) == len(png)  # sent from disk with its length
    assert png.startswith(b"\x89PNG\r\n\x1a\n")


def test_sql_only_stops_after_the_sql(served, chat):
    chat.script(answer_rules())
    status, _, record = served.json("POST", "/v1/ask", {"question": "Orders by status", "sql_only": True})
    assert status == 200, record
    validate(record, schema_for("/v1/ask", "post", 200))
    assert record["answer"] is None and record["code"] is None and record["chart"] is None
    assert record["rows"][0] == ["shipped", 1360]
    assert not any("PythonCodeInput" in r["body"] or "GenerationOutput" in r["body"]
                   for r in chat.requests())


def test_the_stream_reports_each_step_then_the_result(served, chat):
    chat.script(answer_rules(media=str(served.media)))
    status, headers, payload = served.call("POST", "/v1/ask/stream", {"question": "Orders by status"})
    assert status == 200 and headers["content-type"].startswith("text/event-stream")
    events = sse_events(payload)
    assert [name for name, _ in events[-1:]] == ["result"]
    steps = [data for name, data in events if name == "step"]
    assert len(steps) == len(events) - 1
    step_schema = OPENAPI["components"]["schemas"]["StepEvent"]
    open_steps = {}
    for event in steps:
        validate(event, step_schema)
        key = (event["name"], event["step"])
        if event["phase"] == "start":
            assert key not in open_steps
            open_steps[key] = event["elapsed_ms"]
        else:
            assert open_steps.pop(key) <= event["elapsed_ms"], event
    assert not open_steps, "a step started and never ended"
    assert [e["step"] for e in steps] == sorted(e["step"] for e in steps)
    result = events[-1][1]
    validate(result, schema_for("/v1/ask", "post", 200))
    assert [s["name"] for s in result["steps"]] == [e["name"] for e in steps if e["phase"] == "end"]


def test_a_failing_question_is_an_error_event_and_an_error_status(served, chat):
    bad = [{"match": {}, "answer": {"tool_arguments": {"wrong_field": ["orders"]}}}]
    chat.script(bad)
    status, _, body = served.json("POST", "/v1/ask", {"question": "How many orders?"})
    assert status == 500 and body["error"]["code"] == "question_failed", body
    validate(body, schema_for("/v1/ask", "post", 500))
    assert "relevant_tables" in body["error"]["message"]
    chat.script(bad)
    status, _, payload = served.call("POST", "/v1/ask/stream", {"question": "How many orders?"})
    events = sse_events(payload)
    assert status == 200 and events[-1][0] == "error"
    assert events[-1][1]["error"]["code"] == "question_failed"
    chat.script([{"match": {}, "answer": {"status": 500, "body": {"error": {"message": "model down"}}}}])
    status, _, body = served.json("POST", "/v1/ask", {"question": "How many orders?"})
    assert status == 502 and body["error"]["code"] == "model_error", body


def test_tables_schema_and_sql(served):
    status, _, body = served.json("GET", "/v1/tables")
    assert status == 200 and "orders" in body["tables"], body
    # The scheme's name in any case, as HTTP allows.
    assert served.call("GET", "/v1/tables", headers={"Authorization": "bearer " + TOKEN})[0] == 200
    validate(body, schema_for("/v1/tables", "get", 200))
    status, _, body = served.json("GET", "/v1/schema?table=orders")
    assert status == 200 and body["table"] == "orders" and "CREATE TABLE" in body["schema"]
    validate(body, schema_for("/v1/schema", "get", 200))
    status, _, body = served.json("POST", "/v1/sql", {"sql": "SELECT order_id, 1.5 AS x, NULL AS n FROM orders ORDER BY order_id"})
    assert status == 200, body
    validate(body, schema_for("/v1/sql", "post", 200))
    assert body["columns"] == ["order_id", "x", "n"]
    assert len(body["rows"]) == 200 and body["row_count"] == 1500
    assert body["rows"][0] == [1, 1.5, None]


BIG = {"question": "x" * (70 * 1024)}


@pytest.mark.parametrize("method,path,body,headers,status,code,words", [
    ("POST", "/v1/ask", b"{not json", None, 400, "invalid_json", "not JSON"),
    ("POST", "/v1/ask", b"[1, 2]", None, 400, "invalid_json", "JSON object"),
    ("POST", "/v1/ask", {}, None, 400, "invalid_request", '"question" is missing'),
    ("POST", "/v1/ask", {"question": 7}, None, 400, "invalid_request", '"question" must be'),
    ("POST", "/v1/ask", {"question": "  "}, None, 400, "invalid_request", '"question" must be'),
    ("POST", "/v1/ask", {"question": "q", "sql_only": "yes"}, None, 400, "invalid_request", '"sql_only"'),
    ("POST", "/v1/ask/stream", {"sql_only": True}, None, 400, "invalid_request", '"question" is missing'),
    ("POST", "/v1/ask", BIG, None, 413, "body_too_large", "65536 bytes"),
    ("POST", "/v1/sql", {"query": "SELECT 1"}, None, 400, "invalid_request", '"sql" is missing'),
    ("POST", "/v1/sql", {"sql": "DELETE FROM orders"}, None, 400, "statement_refused", "Statement refused"),
    ("POST", "/v1/sql", {"sql": "SELECT nope FROM orders"}, None, 400, "sql_error", "nope"),
    ("GET", "/v1/schema", None, None, 400, "invalid_request", '"table" is missing'),
    ("GET", "/v1/schema?table=no_such_table", None, None, 404, "unknown_table", "no_such_table"),
    ("GET", "/v1/tables", None, {"Authorization": ""}, 401, "unauthorized", "Authorization"),
    ("GET", "/v1/tables", None, {"Authorization": "Bearer wrong"}, 401, "unauthorized", "not the server's"),
    ("GET", "/metrics", None, {"Authorization": "Basic " + TOKEN}, 401, "unauthorized", "not the server's"),
    ("POST", "/v1/ask", {"question": "q"}, {"Authorization": "Bearer " + TOKEN + "x"}, 401, "unauthorized", "bearer"),
    ("GET", "/v1/nothing", None, None, 404, "not_found", "no such route"),
    ("GET", "/etc/passwd", None, None, 404, "not_found", "no such route"),
])
def test_errors_have_a_status_and_a_body_that_names_the_problem(served, method, path, body, headers,
                                                                 status, code, words):
    raw = body if isinstance(body, bytes) else None
    got, got_headers, payload = served.call(method, path, None if raw else body, headers, raw=raw)
    answer = json.loads(payload)
    assert got == status and answer["error"]["code"] == code, answer
    assert words in answer["error"]["message"]
    if got == 401:
        assert got_headers["www-authenticate"] == "Bearer"
    assert TOKEN not in payload.decode() and TOKEN not in json.dumps(got_headers)
    assert "Traceback" not in payload.decode() and "test-key" not in payload.decode()
    if path in OPENAPI["paths"]:
        validate(answer, schema_for(path.split("?")[0], method.lower(), status))


def test_only_recorded_charts_are_served(served, chat):
    status, _, record = ask(served, chat)
    assert status == 200 and record["chart"], record
    folder = next(p for p in served.media.iterdir() if p.name.startswith("q-") and any(p.glob("*.png")))
    real_file = next(folder.glob("*.png")).name
    (served.media / "planted.png").write_bytes(b"\x89PNG planted")
    names = [
        "../../../../etc/passwd", "..%2f..%2f..%2fetc%2fpasswd", "%2e%2e/%2e%2e/etc/passwd",
        "planted.png", folder.name + "/" + real_file, real_file,
        "0" * 32 + ".png", record["chart"].rsplit("/", 1)[1].upper(),
        record["chart"].rsplit("/", 1)[1][:-4], record["chart"].rsplit("/", 1)[1] + "/",
    ]
    for name in names:
        status, _, payload = served.call("GET", "/v1/charts/" + name)
        assert status == 404, (name, payload[:40])
        assert json.loads(payload)["error"]["code"] == "not_found"
    assert served.call("GET", record["chart"])[0] == 200
    assert served.call("GET", record["chart"], auth=False)[0] == 401


def test_the_token_is_never_logged(served, chat):
    served.call("GET", "/v1/tables", headers={"Authorization": "Bearer " + TOKEN + "-wrong"})
    served.call("GET", "/v1/tables?token=" + TOKEN)
    assert wait_for(lambda: "/v1/tables" in served.stderr())
    log = served.stderr()
    assert TOKEN not in log
    # One line per request: time, method, route, status, milliseconds.
    assert re.search(r"^\S+Z GET /v1/tables 401 [\d.]+ ms$", log, re.M), log


def test_metrics_count_requests_questions_usage_and_refusals(served, chat):
    ask(served, chat)
    served.call("POST", "/v1/sql", {"sql": "DROP TABLE orders"})
    status, headers, payload = served.call("GET", "/metrics")
    text = payload.decode()
    assert status == 200 and headers["content-type"].startswith("text/plain")

    def value(series):
        match = re.search("^" + re.escape(series) + r" ([0-9.e+-]+)$", text, re.M)
        assert match, (series, text)
        return float(match.group(1))

    assert value('zolvi_http_requests_total{route="/v1/ask",status="200"}') >= 1
    assert value('zolvi_http_requests_total{route="/v1/sql",status="400"}') >= 1
    assert value("zolvi_question_duration_seconds_count") >= 1
    assert value('zolvi_question_duration_seconds_bucket{le="+Inf"}') == value("zolvi_question_duration_seconds_count")
    assert value("zolvi_model_calls_total") >= 5
    assert value('zolvi_model_tokens_total{kind="prompt"}') >= 50
    assert value("zolvi_model_cost_dollars_total") > 0
    assert value("zolvi_guard_refusals_total") >= 1
    assert value("zolvi_questions_in_flight") == 0
    # Routes by their pattern: a client's paths add no series.
    assert "passwd" not in text and 'route="other"' in text


def test_every_documented_route_answers_with_a_body_the_document_allows(served, chat):
    status, _, record = ask(served, chat)
    chart = record["chart"]
    for path, methods in OPENAPI["paths"].items():
        for method, operation in methods.items():
            url = path.replace("{name}", chart.rsplit("/", 1)[1]) if "{name}" in path else path
            url = url.replace("{id}", record["conversation_id"])
            if path == "/v1/schema":
                url += "?table=orders"
            body = None
            if "requestBody" in operation:
                chat.script(answer_rules(media=str(served.media)))
                body = {"sql": "SELECT 1 AS one"} if path == "/v1/sql" else {"question": "Orders?"}
            status, headers, payload = served.call(method.upper(), url, body)
            if method == "delete":
                assert status == 204 and payload == b"", (path, payload[:200])
                continue
            assert status == 200, (path, payload[:200])
            content = operation["responses"]["200"]["content"]
            media = next(iter(content))
            assert headers["content-type"].split(";")[0] == media, path
            if media == "application/json":
                validate(json.loads(payload), content[media]["schema"])
            elif media == "text/event-stream":
                events = sse_events(payload)
                for name, data in events:
                    validate(data, content[media]["x-events"][name])
            elif media == "text/html":
                assert b"<textarea" in payload and b"/app.js" in payload
    status, _, served_doc = served.json("GET", "/openapi.json")
    assert served_doc == OPENAPI


def test_the_page_and_its_files_come_from_the_binary(served):
    for path, kind in [("/", "text/html"), ("/app.js", "text/javascript"), ("/app.css", "text/css")]:
        status, headers, payload = served.call("GET", path, auth=False)
        assert status == 200 and headers["content-type"].startswith(kind) and len(payload) > 500
        assert b"http://" not in payload and b"https://" not in payload, path  # nothing fetched from elsewhere


# --- Behaviour under pressure, limits and shutdown: servers of their own ----------------------


def test_a_full_queue_is_refused_with_503_and_retry_after(chat, tmp_path):
    server = ServeProcess(tmp_path, "--max-concurrent", "1", "--queue", "1", model_url=chat.url)
    try:
        chat.script(answer_rules(delay=0.4))
        with concurrent.futures.ThreadPoolExecutor(6) as pool:
            answers = list(pool.map(lambda i: server.json("POST", "/v1/ask", {"question": "q%d" % i, "sql_only": True}),
                                    range(6)))
        statuses = sorted(a[0] for a in answers)
        assert statuses.count(200) >= 2 and statuses.count(503) >= 1, statuses
        assert set(statuses) == {200, 503}
        for status, headers, body in answers:
            if status == 503:
                assert body["error"]["code"] == "busy" and int(headers["retry-after"]) >= 1
                assert "queue is full" in body["error"]["message"]
    finally:
        assert server.stop() == 0


def test_a_question_past_its_deadline_is_504_and_one_still_waiting_never_runs(chat, tmp_path):
    server = ServeProcess(tmp_path, "--question-timeout", "1", "--max-concurrent", "1", "--grace", "1",
                          model_url=chat.url)
    try:
        chat.script(answer_rules(delay=1.5))
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            running = pool.submit(server.json, "POST", "/v1/ask", {"question": "first", "sql_only": True})
            assert wait_for(lambda: len(chat.requests()) >= 1)
            waiting = pool.submit(server.json, "POST", "/v1/ask", {"question": "second", "sql_only": True})
            answers = [running.result(10), waiting.result(10)]
        for status, _, body in answers:
            assert status == 504 and body["error"]["code"] == "timeout", body
            assert "1 s" in body["error"]["message"]
        # The first run goes on to its end on its worker; the second, past its deadline
        # before a worker was free, is dropped unrun: the model never sees it.
        assert wait_for(lambda: "zolvi_questions_in_flight 0" in server.call("GET", "/metrics")[2].decode()
                        and "zolvi_questions_waiting 0" in server.call("GET", "/metrics")[2].decode(), timeout=10)
        assert not any("second" in r["body"] for r in chat.requests())

        status, _, payload = server.call("POST", "/v1/ask/stream", {"question": "slow", "sql_only": True})
        events = sse_events(payload)
        assert status == 200 and events[-1][0] == "error"
        assert events[-1][1]["error"]["code"] == "timeout"
        assert [n for n, _ in events[:1]] == ["step"]
    finally:
        assert server.stop() == 0


def test_sigterm_lets_running_questions_finish_then_exits_0(chat, tmp_path):
    server = ServeProcess(tmp_path, "--grace", "10", model_url=chat.url)
    chat.script(answer_rules(delay=0.5))
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        running = pool.submit(server.json, "POST", "/v1/ask", {"question": "q", "sql_only": True})
        assert wait_for(lambda: len(chat.requests()) >= 1)
        server.proc.send_signal(signal.SIGTERM)
        status, _, record = running.result(30)
    assert status == 200 and record["rows"][0] == ["shipped", 1360]
    assert server.proc.wait(20) == 0
    assert "stopping; 1 questions to finish" in server.stderr()
    with pytest.raises(OSError):
        http_call(server.url, "GET", "/healthz", timeout=2)


def test_after_the_grace_period_the_server_exits_0_anyway(chat, tmp_path):
    server = ServeProcess(tmp_path, "--grace", "1", model_url=chat.url)
    chat.script(answer_rules(delay=5))
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        pool.submit(server.call, "POST", "/v1/ask", {"question": "q", "sql_only": True}, timeout=30)
        assert wait_for(lambda: len(chat.requests()) >= 1)
        started = time.monotonic()
        server.proc.send_signal(signal.SIGINT)
        assert server.proc.wait(15) == 0
        assert time.monotonic() - started < 10  # the question alone would take 15 s
    assert "still running after the grace period" in server.stderr()


def test_a_public_address_needs_a_token(tmp_path):
    run = subprocess.run([ZOLVI, "serve", "--listen", "0.0.0.0:0"], capture_output=True, text=True,
                         timeout=60, env={**os.environ, "XDG_CACHE_HOME": str(tmp_path)})
    assert run.returncode == 1
    assert "refusing to listen on 0.0.0.0 without a token" in run.stderr
    for bad in ["8700", "host:", "127.0.0.1:99999", "127.0.0.1:x"]:
        run = subprocess.run([ZOLVI, "serve", "--listen", bad], capture_output=True, text=True,
                             timeout=60, env={**os.environ, "XDG_CACHE_HOME": str(tmp_path)})
        assert run.returncode == 1 and "host:port" in run.stderr, (bad, run.stderr)


def test_without_a_model_questions_and_readiness_say_so(tmp_path):
    server = ServeProcess(tmp_path)
    try:
        status, _, body = server.json("GET", "/readyz")
        assert status == 503 and body["error"]["code"] == "model_not_configured"
        status, _, body = server.json("POST", "/v1/ask", {"question": "q"})
        assert status == 503 and body["error"]["code"] == "model_not_configured"
        assert server.json("GET", "/healthz")[0] == 200
        assert server.json("GET", "/v1/tables")[0] == 200
    finally:
        assert server.stop() == 0


def test_charts_are_removed_after_their_time_to_live(chat, tmp_path):
    server = ServeProcess(tmp_path, "--chart-ttl", "1", model_url=chat.url)
    try:
        chat.script(answer_rules(media=str(server.media)))
        status, _, record = server.json("POST", "/v1/ask", {"question": "chart"})
        assert status == 200 and record["chart"], record
        folders = [p for p in server.media.iterdir() if p.name.startswith("q-")]
        assert len(folders) == 1 and oct(folders[0].stat().st_mode & 0o777) == "0o700"
        assert wait_for(lambda: server.call("GET", record["chart"])[0] == 404, timeout=6)
        assert wait_for(lambda: not any(server.media.iterdir()), timeout=4)
    finally:
        assert server.stop() == 0


# --- A database that stops and comes back --------------------------------------------------


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class OwnPostgres:
    """A PostgreSQL server of this test's own, in a temporary folder, stopped and started at
    will (the shared test servers are never touched)."""
    BIN = "/usr/lib/postgresql/15/bin"

    def __init__(self):
        # Directly under /tmp: the postgres user cannot reach into pytest's folders.
        folder = pathlib.Path(tempfile.mkdtemp(prefix="zolvi-serve-pg-"))
        self.dir, self.port = folder, free_port()
        self.as_postgres = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
        if self.as_postgres:
            shutil.chown(folder, "postgres", "postgres")
        self.run(self.BIN + "/initdb", "-D", str(folder / "data"), "-A", "trust", "-U", "postgres")
        self.start()
        subprocess.run(["psql", "-h", "127.0.0.1", "-p", str(self.port), "-U", "postgres", "-q",
                        "-v", "ON_ERROR_STOP=1", "-c",
                        "CREATE TABLE orders (order_id int PRIMARY KEY, status text);"
                        "INSERT INTO orders SELECT i, CASE WHEN i % 10 = 0 THEN 'pending' ELSE 'shipped' END "
                        "FROM generate_series(1, 50) i;"
                        "CREATE ROLE reader LOGIN; GRANT SELECT ON orders TO reader;"],
                       check=True, capture_output=True)
        # Generated SQL runs as a role that may only read.
        self.uri = "postgresql://reader@127.0.0.1:%d/postgres" % self.port

    def run(self, *command):
        subprocess.run(self.as_postgres + list(command), check=True, capture_output=True)

    def start(self):
        self.run(self.BIN + "/pg_ctl", "-D", str(self.dir / "data"), "-l", str(self.dir / "log"), "-w",
                 "-o", "-p %d -k %s -c listen_addresses=127.0.0.1" % (self.port, self.dir), "start")

    def stop(self):
        self.run(self.BIN + "/pg_ctl", "-D", str(self.dir / "data"), "-w", "-m", "immediate", "stop")


def test_a_stopped_database_gives_503_and_the_server_recovers(chat, tmp_path):
    pg = OwnPostgres()
    server = ServeProcess(tmp_path, "--db", pg.uri, model_url=chat.url)
    sql = "SELECT status, COUNT(*) AS n FROM orders GROUP BY status ORDER BY n DESC"
    try:
        assert server.json("GET", "/readyz")[0] == 200
        chat.script(answer_rules(sql=sql))
        status, _, record = server.json("POST", "/v1/ask", {"question": "status", "sql_only": True})
        assert status == 200 and record["rows"] == [["shipped", 45], ["pending", 5]], record

        pg.stop()
        status, headers, body = server.json("GET", "/readyz")
        assert status == 503 and body["error"]["code"] == "database_unavailable", body
        assert int(headers["retry-after"]) >= 1
        chat.script(answer_rules(sql=sql))
        status, _, body = server.json("POST", "/v1/ask", {"question": "status", "sql_only": True})
        assert status == 503 and body["error"]["code"] == "database_unavailable", body
        status, _, body = server.json("GET", "/v1/tables")
        assert status == 503 and body["error"]["code"] == "database_unavailable", body
        status, _, body = server.json("POST", "/v1/sql", {"sql": sql})
        assert status == 503, body
        assert server.json("GET", "/healthz")[0] == 200 and server.proc.poll() is None

        pg.start()
        assert wait_for(lambda: server.json("GET", "/readyz")[0] == 200, timeout=10)
        chat.script(answer_rules(sql=sql))
        status, _, record = server.json("POST", "/v1/ask", {"question": "status", "sql_only": True})
        assert status == 200 and record["row_count"] == 2, record
    finally:
        assert server.stop() == 0
        try:
            pg.stop()
        except subprocess.CalledProcessError:
            pass
        shutil.rmtree(pg.dir, ignore_errors=True)
