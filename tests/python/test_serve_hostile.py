"""zolvi serve against hostile clients: raw sockets that send compressed, oversized, endless or
slow requests, pages of other origins in headless Chromium, forged paths and a planted link.
Each attack must end in a clean refusal while /healthz keeps answering and the server's peak
memory grows by less than 64 MB."""
import http.server
import json
import os
import pathlib
import re
import resource
import shutil
import socket
import threading
import time

import pytest

from serve_support import ChatProcess, ServeProcess, answer_rules, http_call, rss_kib, wait_for

HERE = pathlib.Path(__file__).parent
CASES = json.loads((HERE / "data" / "serve_hostile_requests.json").read_text())
MEMORY_BOUND_KIB = 64 * 1024
TIMEOUTS = ["--head-timeout", "2", "--body-timeout", "2", "--idle-timeout", "2"]


@pytest.fixture(scope="module", autouse=True)
def descriptors():
    # A thousand client sockets and more.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


@pytest.fixture(scope="module")
def chat():
    server = ChatProcess()
    yield server
    server.close()


@pytest.fixture(scope="module")
def served(chat, tmp_path_factory):
    server = ServeProcess(tmp_path_factory.mktemp("hostile"), *TIMEOUTS, model_url=chat.url)
    server.port = int(server.url.rsplit(":", 1)[1])
    yield server
    assert server.stop() == 0, server.stderr()


def connect(server, source="127.0.0.1", timeout=10):
    s = socket.socket()
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", server.port))
    return s


def read_reply(s):
    """One response: up to its Content-Length, or what came before the close (a reset after a
    refusal ends the reading)."""
    data = b""
    try:
        while True:
            head, _, body = data.partition(b"\r\n\r\n")
            length = re.search(rb"(?i)\r\ncontent-length: *(\d+)", head)
            if _ and length and len(body) >= int(length.group(1)):
                break
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except (ConnectionResetError, socket.timeout):
        pass
    return data


def status_of(reply):
    return int(reply.split(b" ", 2)[1]) if reply.startswith(b"HTTP/1.1 ") else None


def healthy(server):
    status, _, body = http_call(server.url, "GET", "/healthz", timeout=30)
    return status == 200 and json.loads(body) == {"status": "ok"}


def peak_kib(server):
    return rss_kib(server.proc.pid, "VmHWM")


def is_closed(s):
    try:
        return s.recv(1, socket.MSG_DONTWAIT | socket.MSG_PEEK) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_each_hostile_request_is_refused_before_its_body_counts(served, chat, case):
    chat.script(answer_rules())
    calls = len(chat.requests())
    body = bytes.fromhex(case["body_hex"]) if "body_hex" in case else case.get("body", "").encode()
    head = "\r\n".join(case["head"]).format(port=served.port, length=len(body))
    with connect(served) as s:
        s.sendall(head.encode() + b"\r\n\r\n" + body)
        reply = read_reply(s)
    assert status_of(reply) == case["status"], reply[:300]
    if case["code"]:
        payload = json.loads(reply.split(b"\r\n\r\n", 1)[1])
        assert payload["error"]["code"] == case["code"], payload
    # No CORS header for an origin nobody configured, and no question ran.
    assert b"access-control-allow-origin" not in reply.lower()
    assert len(chat.requests()) == calls
    assert healthy(served)


def send_until_refused(s, head, piece, total):
    """Sends the head, then `piece` until `total` bytes or until the server stops reading;
    returns how many body bytes went out and the reply."""
    sent = 0
    try:
        s.sendall(head)
        while sent < total:
            s.sendall(piece)
            sent += len(piece)
    except (BrokenPipeError, ConnectionResetError, socket.timeout):
        pass
    return sent, read_reply(s)


def test_bodies_past_the_cap_stop_at_the_cap_whatever_their_framing(served):
    before = peak_kib(served)
    host = b"Host: 127.0.0.1:%d\r\n" % served.port
    # Chunked: 300 MiB offered in 64 kB chunks.
    with connect(served) as s:
        head = b"POST /v1/sql HTTP/1.1\r\n" + host + b"Content-Type: application/json\r\n" \
               b"Transfer-Encoding: chunked\r\n\r\n"
        sent, reply = send_until_refused(s, head, b"10000\r\n" + b"a" * 0x10000 + b"\r\n", 300 << 20)
    assert sent < 300 << 20, "the server read a 300 MiB chunked body"
    assert status_of(reply) in (413, None), reply[:200]  # 413, or reset before it was read
    # No framing: a request without a length has no body; what follows is not HTTP.
    with connect(served) as s:
        head = b"POST /v1/sql HTTP/1.1\r\n" + host + b"Content-Type: application/json\r\n\r\n"
        sent, reply = send_until_refused(s, head, b"{\"sql\": \"SELECT 1\"} " * 4000, 300 << 20)
    assert sent < 300 << 20, "the server read an unframed body to its end"
    assert status_of(reply) == 400, reply[:200]
    assert b"invalid_json" in reply
    assert healthy(served)
    assert peak_kib(served) - before < MEMORY_BOUND_KIB


def test_a_million_header_lines_are_refused_without_growing_memory(served):
    before = peak_kib(served)
    with connect(served) as s:
        head = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % served.port
        sent, reply = send_until_refused(s, head, b"X-Line: 1\r\n" * 10000, 1_000_000 * 11)
    assert sent < 1_000_000 * 11, "the server read a million header lines"
    assert status_of(reply) in (431, None), reply[:200]
    assert healthy(served)
    assert peak_kib(served) - before < MEMORY_BOUND_KIB


def test_slow_heads_hold_nothing_that_healthz_needs(served):
    """200 connections sending one header line every half second: /healthz answers
    throughout, the head deadline closes each of them, and memory stays bounded."""
    before = peak_kib(served)
    stop = threading.Event()
    slow = [connect(served) for _ in range(200)]

    def drip():
        for s in slow:
            s.sendall(b"GET /healthz HTTP/1.1\r\n")
        while not stop.is_set():
            for s in slow:
                try:
                    s.sendall(b"X-Slow: 1\r\n")
                except OSError:
                    pass
            stop.wait(0.5)

    dripper = threading.Thread(target=drip)
    dripper.start()
    try:
        answers = [healthy(served) for _ in range(5)]
        assert all(answers), answers
        assert wait_for(lambda: all(is_closed(s) for s in slow), timeout=30)
        assert healthy(served)
    finally:
        stop.set()
        dripper.join()
        for s in slow:
            s.close()
    assert peak_kib(served) - before < MEMORY_BOUND_KIB
    assert " 408 " in served.stderr()  # timed out, not answered


def test_a_thousand_idle_connections_hold_nothing_that_healthz_needs(served):
    """1,000 connections (from four other addresses) that send nothing: /healthz answers, the
    idle deadline closes them all, and memory stays bounded."""
    before = peak_kib(served)
    idle = [connect(served, "127.0.0.%d" % (2 + i % 4)) for i in range(1000)]
    # And one kept alive after a request: it is closed as idle as well.
    kept = connect(served)
    kept.sendall(b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % served.port)
    assert status_of(read_reply(kept)) == 200
    idle.append(kept)
    try:
        answers = [healthy(served) for _ in range(5)]
        assert all(answers), answers
        assert peak_kib(served) - before < MEMORY_BOUND_KIB
        assert wait_for(lambda: all(is_closed(s) for s in idle), timeout=30)
        assert healthy(served)
    finally:
        for s in idle:
            s.close()


def test_connections_past_the_caps_are_refused_at_once(chat, tmp_path):
    # Every connection counted stays open until the end (idle deadlines far away), and the
    # request that shows another address is still served is made on one of them: a connection
    # closed by the client is counted until the server has seen its end, which takes its time.
    server = ServeProcess(tmp_path, "--max-connections-per-client", "8", "--max-connections", "12",
                          "--idle-timeout", "120", "--head-timeout", "120", model_url=chat.url)
    server.port = int(server.url.rsplit(":", 1)[1])
    held = []
    try:
        held += [connect(server, "127.0.0.9") for _ in range(8)]
        with connect(server, "127.0.0.9") as extra:
            reply = read_reply(extra)
        assert status_of(reply) == 503 and b"too_many_connections" in reply, reply[:200]
        other = connect(server, "127.0.0.10")
        held.append(other)
        other.sendall(b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % server.port)
        assert status_of(read_reply(other)) == 200  # another address is still served
        held += [connect(server, "127.0.0.10") for _ in range(3)]
        with connect(server, "127.0.0.11") as extra:
            reply = read_reply(extra)
        assert status_of(reply) == 503 and b"too_many_connections" in reply, reply[:200]
    finally:
        for s in held:
            s.close()
        server.stop()


def test_a_forged_log_line_is_escaped_and_long_paths_are_cut(served):
    forged = "/v1/charts/%0a2026-01-01T00:00:00Z%20POST%20/v1/sql%20200%201.0%20ms%0a%1b[2J%1b]0;owned%07.png"
    status, _, _ = served.call("GET", forged)
    assert status == 404
    status, _, _ = served.call("GET", "/v1/charts/" + "x" * 5000)
    assert status == 404
    assert wait_for(lambda: "x" * 100 in served.stderr())
    lines = served.lines[:]
    assert not any(line.startswith("2026-01-01T00:00:00Z") for line in lines)
    assert not any("\x1b" in line or "\x07" in line for line in lines)
    assert any("\\x0a2026-01-01T00:00:00Z POST" in line and "\\x1b[2J" in line for line in lines)
    assert max(len(line) for line in lines) < 400


def test_the_page_carries_its_protection_headers(served):
    status, headers, page = served.call("GET", "/")
    assert status == 200
    policy = {d.split()[0]: d.split()[1:] for d in headers["content-security-policy"].split("; ")}
    assert policy["frame-ancestors"] == ["'none'"]
    assert policy["script-src"] == ["'self'"] and policy["default-src"] == ["'none'"]
    assert not any("unsafe" in v for values in policy.values() for v in values)
    assert headers["x-frame-options"] == "DENY"
    assert headers["x-content-type-options"] == "nosniff"
    assert headers["referrer-policy"] == "no-referrer"
    assert "access-control-allow-origin" not in headers
    # HEAD gives the same head without the body (load balancers probe with it).
    status, head_headers, nothing = served.call("HEAD", "/")
    assert status == 200 and nothing == b"" and int(head_headers["content-length"]) == len(page)
    assert head_headers["content-security-policy"] == headers["content-security-policy"]
    # Nothing inline that the policy would have to allow.
    assert not re.search(rb"<script[^>]*>\s*[^<\s]|<style|\sstyle=|<[^>]*\son[a-z]+=", page)


def test_a_configured_public_host_and_origin_are_let_in_with_cors(chat, tmp_path):
    server = ServeProcess(tmp_path, "--public-host", "zolvi.example", "--allow-origin",
                          "https://app.example/", model_url=chat.url, token="tok-hostile-1")
    server.port = int(server.url.rsplit(":", 1)[1])
    try:
        # The token is checked from the head: a huge body is never read without it.
        with connect(server) as s:
            s.sendall(b"POST /v1/ask HTTP/1.1\r\nHost: zolvi.example\r\nContent-Type: "
                      b"application/json\r\nTransfer-Encoding: chunked\r\n\r\n")
            reply = read_reply(s)
        assert status_of(reply) == 401 and b"www-authenticate: bearer" in reply.lower(), reply[:200]
        status, headers, _ = server.call("GET", "/v1/tables", headers={
            "Host": "zolvi.example", "Origin": "https://app.example"})
        assert status == 200, headers
        assert headers["access-control-allow-origin"] == "https://app.example"
        status, headers, _ = server.call("OPTIONS", "/v1/sql", headers={
            "Origin": "https://app.example", "Access-Control-Request-Method": "POST"})
        assert status == 204 and "Content-Type" in headers["access-control-allow-headers"]
        status, _, _ = server.call("GET", "/v1/tables", headers={"Host": "other.example"})
        assert status == 421
        status, headers, _ = server.call("GET", "/v1/tables", headers={"Origin": "https://evil.example"})
        assert status == 403 and "access-control-allow-origin" not in headers
    finally:
        server.stop()


def test_the_default_media_folder_is_private_and_a_planted_link_is_refused(chat, tmp_path):
    run = tmp_path / "run"
    run.mkdir(mode=0o700)
    env = {"XDG_RUNTIME_DIR": str(run)}
    server = ServeProcess(tmp_path, env=env, media=False, model_url=chat.url)
    try:
        media = run / "zolviai" / "serve-media"
        assert media.is_dir() and (media.stat().st_mode & 0o777) == 0o700
    finally:
        server.stop()
    shutil.rmtree(run / "zolviai")
    # Another user's link under the name the server would use.
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (run / "zolviai").mkdir(mode=0o700)
    (run / "zolviai" / "serve-media").symlink_to(elsewhere)
    planted = ServeProcess(tmp_path, env=env, media=False, model_url=chat.url, wait=False)
    assert planted.proc.wait(30) != 0
    assert "symbolic link" in planted.stderr() or wait_for(lambda: "symbolic link" in planted.stderr())
    assert list(elsewhere.iterdir()) == []
    # A folder others may enter is refused too.
    open_folder = tmp_path / "open-media"
    open_folder.mkdir()
    open_folder.chmod(0o777)
    refused = ServeProcess(tmp_path, "--media", str(open_folder), media=False, model_url=chat.url,
                           wait=False)
    assert refused.proc.wait(30) != 0
    assert wait_for(lambda: "open to other users" in refused.stderr())


# The browser: pages of other origins against the server.

ATTACK_PAGE = """<!doctype html><html><body>
<form id="f" method="POST" action="{target}/v1/ask" target="sink" enctype="text/plain">
<input name='{{"question": "x", "pad": "' value='"}}'></form>
<iframe name="sink"></iframe>
<iframe id="framed" src="{target}/"></iframe>
<script>
const results = {{}};
async function attempt(name, url, init) {{
  try {{ const r = await fetch(url, init); results[name] = "status " + r.status + " " + (await r.text()).slice(0, 80); }}
  catch (e) {{ results[name] = "failed: " + e; }}
}}
(async () => {{
  const sql = JSON.stringify({{sql: "SELECT COUNT(*) FROM orders"}});
  const question = JSON.stringify({{question: "How many orders?"}});
  await attempt("sql-plain", "{target}/v1/sql", {{method: "POST", mode: "no-cors", body: sql, headers: {{"Content-Type": "text/plain"}}}});
  await attempt("ask-plain", "{target}/v1/ask", {{method: "POST", mode: "no-cors", body: question}});
  await attempt("ask-json", "{target}/v1/ask", {{method: "POST", body: question, headers: {{"Content-Type": "application/json"}}}});
  await attempt("tables-read", "{target}/v1/tables", {{}});
  document.getElementById("f").submit();
  setTimeout(() => {{ document.title = "done " + JSON.stringify(results); }}, 1500);
}})();
</script></body></html>"""


@pytest.fixture
def browser(tmp_path):
    webdriver = pytest.importorskip("selenium.webdriver")
    if not shutil.which("chromium") or not os.path.exists("/usr/bin/chromedriver"):
        pytest.fail("chromium and chromium-driver are needed (scripts/setup installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--host-resolver-rules=MAP evil.example 127.0.0.1"]:
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    from selenium.webdriver.chrome.service import Service
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    yield driver
    driver.quit()


def metric(server, labels):
    _, _, text = server.call("GET", "/metrics")
    for line in text.decode().splitlines():
        if line.startswith("zolvi_http_requests_total{" + labels + "}"):
            return float(line.split()[-1])
    return 0.0


class PageServer:
    """A page of another loopback origin (another port), as any site the user visits."""

    def __init__(self, html):
        page = html.encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(page)))
                self.end_headers()
                self.wfile.write(page)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()


def test_pages_of_other_origins_run_nothing_and_read_nothing(served, chat, browser):
    chat.script(answer_rules())
    calls = len(chat.requests())
    sql_runs = metric(served, 'route="/v1/sql",status="200"')
    page = PageServer(ATTACK_PAGE.format(target=served.url))
    try:
        browser.get(page.url)
        assert wait_for(lambda: browser.title.startswith("done"), timeout=30)
        results = json.loads(browser.title[5:])
    finally:
        page.close()
    # No model call: no question ran; the server refused every request from that origin.
    assert len(chat.requests()) == calls, chat.requests()[calls:]
    assert results["ask-json"].startswith("failed") and results["tables-read"].startswith("failed")
    assert metric(served, 'route="/v1/sql",status="200"') == sql_runs
    assert metric(served, 'route="/v1/ask",status="403"') > 0
    # The framed page was refused by its policy.
    log = " ".join(entry["message"] for entry in browser.get_log("browser"))
    assert "frame-ancestors" in log, log
    # A page that rebinds its own name to this address reads an error, not the data.
    browser.get("http://evil.example:%d/v1/tables" % served.port)
    assert "misdirected_request" in browser.page_source and "orders" not in browser.page_source


def test_the_csv_keeps_formula_cells_as_text(served, browser):
    browser.get(served.url + "/")
    csv = browser.execute_script(
        "return csvText(['a'], [['=HYPERLINK(\"http://x\")'], ['+1'], ['-2'], ['@SUM(A1)'], "
        "['\\tx'], ['\\rx'], ['plain'], [3]]);")
    assert csv.split("\r\n")[:-1] == ["a", "'=HYPERLINK(\"\"http://x\"\")\"" if False else
                                      '"\'=HYPERLINK(""http://x"")"', "'+1", "'-2", "'@SUM(A1)",
                                      "'\tx", '"\'\rx"', "plain", "3"]
