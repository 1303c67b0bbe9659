#!/usr/bin/python3
"""zolvi mcp: the latency of run_query with a small result over the standard streams and over
Streamable HTTP (p50/p95), beside the same statement run directly, and the tokens of a result's
text rendering beside a plain JSON dump of the same rows.

  ZOLVIAI_BUILD_DIR=build /usr/bin/python3 bench/bench_mcp.py

The database is the bundled SQLite sample. References, measured in the same run:
- `zolvi sql` (a whole process per statement: what a client without MCP would spawn);
- ping over the same session: the protocol's own round trip with no database work;
- POST /v1/sql on the same server: the same guarded statement over the same HTTP transport, so
  MCP's own share over HTTP is the difference of the two.
Target: the protocol's own overhead under 1 ms; the text rendering of a 100-row result at most
half the tokens (characters / 4) of the JSON dump.
"""
import json
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))

from serve_support import ServeProcess, ZOLVI, http_call, sse_events  # noqa: E402
import pathlib  # noqa: E402

SMALL = "SELECT status, COUNT(*) AS n FROM orders GROUP BY status ORDER BY n DESC"
HUNDRED = "SELECT * FROM orders ORDER BY order_id LIMIT 100"
RUNS = 300


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def line(name, values, reference=None):
    p50, p95 = percentile(values, 50) * 1000, percentile(values, 95) * 1000
    text = f"  {name:<44} p50 {p50:8.3f} ms   p95 {p95:8.3f} ms"
    if reference:
        text += f"   ({p50 / (percentile(reference, 50) * 1000):.3f}x the reference)"
    print(text)


class Stdio:
    def __init__(self, env):
        self.proc = subprocess.Popen([ZOLVI, "mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env)
        self.buffer = b""
        self.next_id = 0
        self.call("initialize", {"protocolVersion": "2025-11-25", "capabilities": {}})

    def call(self, method, params=None):
        self.next_id += 1
        message = {"jsonrpc": "2.0", "id": self.next_id, "method": method}
        if params is not None:
            message["params"] = params
        self.proc.stdin.write(json.dumps(message).encode() + b"\n")
        self.proc.stdin.flush()
        while b"\n" not in self.buffer:
            select.select([self.proc.stdout], [], [], 30)
            self.buffer += os.read(self.proc.stdout.fileno(), 1 << 20)
        reply, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(reply)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)


def timed(fn, runs=RUNS):
    fn()  # warm: the catalog and the connection
    out = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        out.append(time.perf_counter() - start)
    return out


def timed_together(fns, runs=RUNS):
    """Each function timed in turn, run after run, so drift of a busy machine hits all alike."""
    for fn in fns:
        fn()
    out = [[] for _ in fns]
    for _ in range(runs):
        for fn, times in zip(fns, out):
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
    return out


def main():
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="bench-mcp-"))
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_", "ZOLVI_"))}
    env["XDG_CACHE_HOME"] = str(tmp / "cache")
    subprocess.run([ZOLVI, "tables"], env=env, capture_output=True, check=True)  # the sample

    print(f"run_query of a small result ({RUNS} runs each)")
    direct = timed(lambda: subprocess.run([ZOLVI, "sql", SMALL], env=env, capture_output=True,
                                          check=True), runs=30)
    line("zolvi sql (a process per statement)", direct)

    stdio = Stdio(env)
    query = {"name": "run_query", "arguments": {"sql": SMALL}}
    ping, over_stdio = timed_together([lambda: stdio.call("ping"),
                                       lambda: stdio.call("tools/call", query)])
    line("MCP over stdio: ping (protocol only)", ping)
    line("MCP over stdio: run_query", over_stdio, direct)

    server = ServeProcess(tmp, env=env)
    try:
        status, headers, _ = http_call(server.url, "POST", "/mcp", {
            "jsonrpc": "2.0", "id": 0, "method": "initialize",
            "params": {"protocolVersion": "2025-11-25", "capabilities": {}}})
        session = {"Mcp-Session-Id": headers["mcp-session-id"],
                   "MCP-Protocol-Version": "2025-11-25", "Accept": "application/json"}
        call = {"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": query}
        events = dict(session, Accept="application/json, text/event-stream")
        v1, over_http, over_sse = timed_together([
            lambda: http_call(server.url, "POST", "/v1/sql", {"sql": SMALL}),
            lambda: http_call(server.url, "POST", "/mcp", call, session),
            lambda: sse_events(http_call(server.url, "POST", "/mcp", call, events)[2])])
        line("POST /v1/sql (the same statement, no MCP)", v1)
        line("MCP over HTTP: run_query, JSON answer", over_http, v1)
        line("MCP over HTTP: run_query, event stream", over_sse, v1)
    finally:
        server.stop()
    stdio_own = percentile(ping, 50) * 1000
    http_own = (percentile(over_http, 50) - percentile(v1, 50)) * 1000
    print(f"  protocol's own share, p50: stdio {stdio_own:.3f} ms (ping round trip), "
          f"HTTP {http_own:.3f} ms (MCP minus /v1/sql)   target < 1 ms: "
          f"{'met' if max(stdio_own, http_own) < 1 else 'NOT met'}")

    print("\ntokens (characters / 4) of a 100-row result")
    reply = stdio.call("tools/call", {"name": "run_query",
                                      "arguments": {"sql": HUNDRED, "max_rows": 100}})
    stdio.close()
    result = reply["result"]
    text = result["content"][0]["text"]
    data = result["structuredContent"]
    dump = json.dumps([dict(zip(data["columns"], row)) for row in data["rows"]])
    text_tokens, dump_tokens = len(text) / 4, len(dump) / 4
    print(f"  JSON dump of the rows (list of objects)     {dump_tokens:8.0f} tokens (reference)")
    print(f"  the tool's text rendering                   {text_tokens:8.0f} tokens "
          f"({text_tokens / dump_tokens:.2f}x; target <= 0.5: "
          f"{'met' if text_tokens <= dump_tokens / 2 else 'NOT met'})")


if __name__ == "__main__":
    main()
