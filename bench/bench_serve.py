#!/usr/bin/python3
"""zolvi serve under load: questions per second and p50/p95 latency at 1, 16 and 64 concurrent
clients, the server's own time per question (HTTP, JSON, streaming), and its memory with 1,000
idle connections open.

  ZOLVIAI_BUILD_DIR=build /usr/bin/python3 bench/bench_serve.py

The scripted chat server answers every model call after 50 ms; the database is the bundled
SQLite sample; the server runs with its defaults (16 workers, a queue of 64). Questions are
SQL-only (three model calls: tables, SQL, review), so the figures are the server's and the
models', not the analysis sandbox's (bench_sandbox measures that); one full question with its
sandboxed analysis is timed for reference.

The reference for latency is one client's p95 (target: 16 clients within 1.5x of it). The
server's own time per question comes from its Server-Timing header (the request's time in the
server minus the flow's), with one client so nothing waits in the queue; beside it the same
seen from the client (latency minus the flow's time, this client's HTTP and JSON included),
the floor of a bare request, and what streaming adds.

  ZOLVIAI_BUILD_DIR=build /usr/bin/python3 bench/bench_serve.py --full [QUESTIONS] [CLIENTS]

instead sends a burst of full questions (five model calls, the analysis in the sandbox and its
chart), 200 from 64 clients by default, and reports how many were answered per second of the
burst and how many were refused.
"""
import concurrent.futures
import json
import os
import pathlib
import resource
import socket
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))

from serve_support import ChatProcess, ServeProcess, answer_rules, http_call, rss_kib, sse_events  # noqa: E402

DELAY = 0.05


def one_question(url, stream=False, sql_only=True):
    path = "/v1/ask/stream" if stream else "/v1/ask"
    start = time.perf_counter()
    status, headers, payload = http_call(url, "POST", path, {"question": "Orders by status", "sql_only": sql_only})
    elapsed = time.perf_counter() - start
    if status != 200:
        return elapsed, None, status
    if stream:
        name, record = sse_events(payload)[-1]
        assert name == "result", name
        run_ms = sum(s["ms"] for s in record["steps"])
    else:
        record = json.loads(payload)
        timing = dict(part.strip().split(";dur=") for part in headers["server-timing"].split(","))
        run_ms = float(timing["run"])
        one_question.inside = float(timing["total"]) - run_ms
    assert record["row_count"] == 3, record
    return elapsed, run_ms / 1000.0, status


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def level(url, clients, questions):
    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        start = time.perf_counter()
        results = list(pool.map(lambda _: one_question(url), range(questions)))
        wall = time.perf_counter() - start
    ok = [r[0] for r in results if r[2] == 200]
    refused = sum(1 for r in results if r[2] != 200)
    return {"clients": clients, "questions": questions, "qps": len(ok) / wall,
            "p50": percentile(ok, 50), "p95": percentile(ok, 95), "refused": refused}


def idle_connections(server, count=1000):
    """The server's memory with `count` connections open that send nothing (from four
    loopback addresses, under the per-client cap), and a bare request's time meanwhile."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
    port = int(server.url.rsplit(":", 1)[1])
    before = rss_kib(server.proc.pid)
    sockets = []
    try:
        for i in range(count):
            s = socket.socket()
            s.bind(("127.0.0.%d" % (2 + i % 4), 0))
            s.connect(("127.0.0.1", port))
            sockets.append(s)
        time.sleep(0.5)
        during = rss_kib(server.proc.pid)
        floor = []
        for _ in range(50):
            start = time.perf_counter()
            status, _, _ = http_call(server.url, "GET", "/healthz")
            floor.append(time.perf_counter() - start)
            assert status == 200
    finally:
        for s in sockets:
            s.close()
    print("%d idle connections: server resident memory %.1f MB -> %.1f MB (%+.1f MB, %.1f kB each); "
          "GET /healthz meanwhile: median %.3f ms" % (count, before / 1024, during / 1024, (during - before) / 1024,
                                                     (during - before) / count, statistics.median(floor) * 1000))


def full_burst(questions, clients):
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="zolvi-bench-serve-"))
    chat = ChatProcess()
    try:
        server = ServeProcess(tmp, model_url=chat.url)
    except BaseException:
        chat.close()  # else the scripted model server outlives the benchmark
        raise
    try:
        chat.script(answer_rules(delay=DELAY, media=str(server.media)))
        for _ in range(3):  # warm-up: connections, the analysis pool
            status, _, payload = http_call(server.url, "POST", "/v1/ask", {"question": "Orders by status"})
            assert status == 200, payload[:300]

        def full(_):
            start = time.perf_counter()
            status, _, payload = http_call(server.url, "POST", "/v1/ask", {"question": "Orders by status"},
                                           timeout=600)
            elapsed = time.perf_counter() - start
            failed = status == 200 and bool(json.loads(payload).get("error"))
            return status, elapsed, failed

        with concurrent.futures.ThreadPoolExecutor(clients) as pool:
            start = time.perf_counter()
            results = list(pool.map(full, range(questions)))
            wall = time.perf_counter() - start
        ok = [r[1] for r in results if r[0] == 200]
        failed = sum(1 for r in results if r[2])
        print("full questions (5 model calls of %d ms, sandboxed analysis with a chart): %d from %d clients"
              % (DELAY * 1000, questions, clients))
        print("answered %d, refused %d, answered with an error %d, burst %.1f s: %.2f answered q/s, "
              "p50 %.0f ms, p95 %.0f ms" % (len(ok), questions - len(ok), failed, wall, len(ok) / wall,
                                            percentile(ok, 50) * 1000 if ok else 0,
                                            percentile(ok, 95) * 1000 if ok else 0))
    finally:
        server.stop()
        chat.close()


def main():
    if "--full" in sys.argv:
        rest = [int(a) for a in sys.argv[1:] if a != "--full"]
        full_burst(*(rest + [200, 64][len(rest):]))
        return
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="zolvi-bench-serve-"))
    chat = ChatProcess()
    try:
        server = ServeProcess(tmp, model_url=chat.url)
    except BaseException:
        chat.close()  # else the scripted model server outlives the benchmark
        raise
    try:
        chat.script(answer_rules(delay=DELAY, media=str(server.media)))
        for _ in range(5):
            one_question(server.url)  # warm-up: connections, pool
        print("zolvi serve, scripted model answering in %d ms, SQL-only questions (3 model calls)" % (DELAY * 1000))
        print("%8s %10s %10s %10s %10s %8s" % ("clients", "questions", "q/s", "p50 ms", "p95 ms", "refused"))
        rows = []
        for clients, questions in [(1, 40), (16, 320), (64, 640)]:
            row = level(server.url, clients, questions)
            rows.append(row)
            print("%8d %10d %10.1f %10.1f %10.1f %8d" % (row["clients"], row["questions"], row["qps"],
                                                         row["p50"] * 1000, row["p95"] * 1000, row["refused"]))
        print("p95 at 16 clients / p95 at 1 client: %.2fx (target 1.5x)" % (rows[1]["p95"] / rows[0]["p95"]))
        print("p95 at 64 clients / p95 at 1 client: %.2fx (64 clients on 16 workers wait in the queue)"
              % (rows[2]["p95"] / rows[0]["p95"]))

        floor = []
        for _ in range(200):
            start = time.perf_counter()
            http_call(server.url, "GET", "/healthz")
            floor.append(time.perf_counter() - start)
        plain, streamed, overheads, inside = [], [], [], []
        for _ in range(40):
            elapsed, run, _ = one_question(server.url)
            plain.append(elapsed)
            overheads.append(elapsed - run)
            inside.append(one_question.inside / 1000.0)
            streamed.append(one_question(server.url, stream=True)[0])
        print("a bare request (GET /healthz, new connection, this client included): median %.3f ms"
              % (statistics.median(floor) * 1000))
        print("server's own time per question, measured inside it (Server-Timing total - run): "
              "median %.3f ms, p95 %.3f ms (target under 1 ms)"
              % (statistics.median(inside) * 1000, percentile(inside, 95) * 1000))
        print("the same seen by this client (latency - run, its own HTTP and JSON included): "
              "median %.3f ms, p95 %.3f ms" % (statistics.median(overheads) * 1000,
                                               percentile(overheads, 95) * 1000))
        print("streaming instead: %+.3f ms per question (median latency %.1f vs %.1f ms)"
              % ((statistics.median(streamed) - statistics.median(plain)) * 1000,
                 statistics.median(streamed) * 1000, statistics.median(plain) * 1000))

        idle_connections(server)

        times = []
        for _ in range(3):
            start = time.perf_counter()
            status, _, payload = http_call(server.url, "POST", "/v1/ask", {"question": "Orders by status"})
            times.append(time.perf_counter() - start)
            assert status == 200, payload[:300]
        print("full question with sandboxed analysis (5 model calls), one client: median %.0f ms"
              % (statistics.median(times) * 1000))
    finally:
        server.stop()
        chat.close()


if __name__ == "__main__":
    main()
