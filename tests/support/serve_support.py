"""Helpers for the tests of zolvi serve: the scripted chat server and zolvi serve as child
processes on loopback, and a small HTTP client."""
import http.client
import json
import os
import signal
import subprocess
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.path.abspath(os.environ.get("ZOLVIAI_BUILD_DIR", os.path.join(ROOT, "build")))
ZOLVI = os.path.join(BUILD, "bin", "zolvi")
PYTHON = "/usr/bin/python3"

STATUS_SQL = "SELECT status, COUNT(*) AS n FROM orders GROUP BY status ORDER BY n DESC"

# Analysis code as a model would write it, but finding its media folder by itself: inside the
# sandbox the question's folder is the only one under the media root (and, in the sandbox's
# reduced form, the newest), so the script needs no path from the prompt.
CHART_CODE = """import glob
import os
import matplotlib
matplotlib.use('Agg')
import matplotlib.pyplot as plt
folder = max(glob.glob(MEDIA + '/q-*'), key=os.path.getmtime)
plt.figure(figsize=(4, 3))
plt.bar(['shipped', 'pending', 'returned'], [1360, 78, 62])
plt.savefig(folder + '/status.png')
print('chart saved')
"""


def answer_rules(sql=STATUS_SQL, answer="Most orders have shipped.", delay=0.0, media=None,
                 tables=("orders",), code=None):
    """Rules answering every step of a question, whatever order concurrent questions come in:
    each step's request names its forced tool; the query review (no tool) gets the SQL back."""
    if code is None:
        code = CHART_CODE.replace("MEDIA", repr(media)) if media else "print('no chart')"

    def a(extra):
        out = dict(extra)
        if delay:
            out["delay"] = delay
        return out

    return [
        {"match": {"body_contains": "RelevantTablesOutput"},
         "answer": a({"tool_arguments": {"relevant_tables": list(tables)}})},
        {"match": {"body_contains": "SQLQueryInput"}, "answer": a({"tool_arguments": {"sql_query": sql}})},
        {"match": {"body_contains": "PythonCodeInput"}, "answer": a({"tool_arguments": {"code": code}})},
        {"match": {"body_contains": "GenerationOutput"},
         "answer": a({"tool_arguments": {"final_response": answer}})},
        {"match": {}, "answer": a({"content": sql})},
    ]


def http_call(base, method, path, body=None, headers=None, timeout=60, raw=None):
    """One request; returns (status, headers as a dict with lower-case names, body bytes)."""
    parts = urllib.parse.urlsplit(base)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
    data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
    all_headers = {"Content-Type": "application/json"} if data is not None else {}
    all_headers.update(headers or {})
    try:
        conn.request(method, path, body=data, headers=all_headers)
        response = conn.getresponse()
        payload = response.read()
        return response.status, {k.lower(): v for k, v in response.getheaders()}, payload
    finally:
        conn.close()


def sse_events(payload):
    """The (event, data) pairs of a text/event-stream body; comment lines are skipped."""
    events = []
    for frame in payload.decode().split("\n\n"):
        name, data = None, []
        for line in frame.split("\n"):
            if line.startswith("event:"):
                name = line[6:].strip()
            elif line.startswith("data:"):
                data.append(line[5:].strip())
        if name:
            events.append((name, json.loads("\n".join(data))))
    return events


class ChatProcess:
    """The scripted chat-completions server as its own process (the server under test and the
    test's clients then do not share an interpreter lock with it)."""

    def __init__(self):
        self.proc = subprocess.Popen([PYTHON, os.path.join(HERE, "chat_server.py"), "--port", "0"],
                                     stdout=subprocess.PIPE, text=True)
        self.url = "http://127.0.0.1:%s" % self.proc.stdout.readline().strip()

    def script(self, rules=None, queue=None):
        http_call(self.url, "POST", "/_reset")
        http_call(self.url, "POST", "/_script", {"rules": rules or [], "queue": queue or []})

    def requests(self):
        return json.loads(http_call(self.url, "GET", "/_requests")[2])

    def close(self):
        self.proc.terminate()
        self.proc.wait(10)


class ServeProcess:
    """zolvi serve on a free loopback port; standard error is collected line by line."""

    def __init__(self, tmp_path, *args, model_url=None, env=None, token=None, wait=True, media=True):
        full = {k: v for k, v in os.environ.items()
                if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
        full["XDG_CACHE_HOME"] = str(tmp_path / "cache")
        full["XDG_STATE_HOME"] = str(tmp_path / "state")  # conversations stay in the test's folder
        if model_url:
            full.update({"OPENAI_BASE_URL": model_url + "/v1", "OPENAI_API_KEY": "test-key"})
        full.update(env or {})
        self.token = token
        self.media = tmp_path / "media" if media else None
        command = [ZOLVI, "serve", "--listen", "127.0.0.1:0", *args]
        if media:
            command += ["--media", str(self.media)]
        if token:
            command += ["--token", token]
        self.proc = subprocess.Popen(command, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                     text=True, cwd=tmp_path, env=full)
        self.lines = []
        self.url = None
        self._ready = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()
        if wait:
            if not self._ready.wait(60) or not self.url:
                self.proc.kill()
                raise RuntimeError("zolvi serve did not start:\n" + self.stderr())

    def _read(self):
        for line in self.proc.stderr:
            self.lines.append(line.rstrip("\n"))
            if "listening on http://" in line:
                self.url = line.split("listening on ")[1].split()[0].rstrip("/")
                self._ready.set()
        self._ready.set()

    def stderr(self):
        return "\n".join(self.lines)

    def call(self, method, path, body=None, headers=None, auth=True, **kw):
        all_headers = dict(headers or {})
        if auth and self.token:
            all_headers.setdefault("Authorization", "Bearer " + self.token)
        return http_call(self.url, method, path, body, all_headers, **kw)

    def json(self, method, path, body=None, **kw):
        status, headers, payload = self.call(method, path, body, **kw)
        return status, headers, json.loads(payload) if payload else None

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise


def wait_for(predicate, timeout=10, every=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(every)
    return predicate()


def rss_kib(pid, field="VmRSS"):
    """Resident memory in KiB; field="VmHWM" gives its peak over the process's life."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0
