"""Hostile analysis code, handed out by the scripted model and run by the flow's analysis step
in the sandbox (ZOLVI_ANALYSIS_SANDBOX=1, as a Python host opts in). After each run the host
is alive, the flow has answered with the code's error in the analysis result, nothing outside
the media folder has changed and no process of the run is left."""
import concurrent.futures
import os
import socket
import subprocess
import threading

import pytest

import chat_server
from conftest import ROOT, pg_parts, tool

TIME_LIMIT = 2  # seconds; the endless loop runs into it
HOST_SECRETS = {"OPENAI_API_KEY": "sk-host-secret-4242", "AZURE_OPENAI_API_KEY": "azure-secret-4242",
                "PGPASSWORD": "pg-secret-4242", "AWS_SECRET_ACCESS_KEY": "aws-secret-4242"}
QUERY = "SELECT COUNT(*) AS artists FROM artist"
# What a run stopped by a limit may say besides the limit's own error.
LIMIT_ERRORS = ("TimeoutError: the analysis code ran longer than %d s" % TIME_LIMIT,
                "SystemExit: the analysis process was killed")
LIMIT_CASES = {"fork bomb", "20 GiB", "endless loop"}


@pytest.fixture(scope="module")
def sandboxed():
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("ZOLVI_ANALYSIS_SANDBOX", "1")
        mp.setenv("ZOLVI_ANALYSIS_TIME_LIMIT", str(TIME_LIMIT))
        mp.setenv("ZOLVI_ANALYSIS_POOL_SIZE", "4")
        for name, value in HOST_SECRETS.items():
            mp.setenv(name, value)
        yield


def pg_uri(sample_pg):
    return "postgresql://{db_user}:{db_password}@{db_host}:{db_port}/{db_name}".format(**sample_pg)


def ask(sample_pg, code, media, requests=None):
    """One question whose analysis code is `code`; returns the final flow state (and adds the
    requests the model server saw to `requests`)."""
    from zolviai.flow_graph.custom_sql import CustomSQLDatabase
    from zolviai.flow_graph.flow_graph import SQLGraph
    from zolviai.settings import AzureOpenAIChat35, AzureOpenAIChat4
    server, url = chat_server.start()
    try:
        with server.state.lock:
            server.state.queue.extend([
                tool("RelevantTablesOutput", relevant_tables=["artist"]),
                tool("SQLQueryInput", sql_query=QUERY), {"content": QUERY},
                tool("PythonCodeInput", code=code),
                tool("GenerationOutput", final_response="answered")])
        settings = dict(azure_deployment="d", azure_endpoint=url, api_key="k", api_version="v")
        graph = SQLGraph(CustomSQLDatabase.from_uri(pg_uri(sample_pg)), AzureOpenAIChat35(**settings),
                         AzureOpenAIChat4(**settings))
        # No second attempt at the code: the flow answers after the first failure.
        return graph.invoke({"user_question": "How many artists?", "save_path": str(media),
                             "max_iterations_pandas": 0})
    finally:
        if requests is not None:
            requests.extend(server.state.requests)
        server.shutdown()
        server.server_close()


def snapshot(*roots, skip=()):
    """Every file and folder under the roots, with size and modification time."""
    seen = {}
    for root in roots:
        for top, dirs, files in os.walk(root):
            dirs[:] = [d for d in dirs if os.path.join(top, d) not in skip]
            for name in dirs + files:
                path = os.path.join(top, name)
                st = os.lstat(path)
                seen[path] = (st.st_size, st.st_mtime_ns)
    return seen


def processes_with(marker):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if marker.encode() in f.read():
                    found.append(pid)
        except OSError:
            pass
    return found


class Listener:
    """A loopback TCP server that counts the connections it accepts."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen()
        self.port = self.sock.getsockname()[1]
        self.accepted = 0
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.accepted += 1
            conn.close()


def test_hostile_code_is_contained(sandboxed, sample_pg, tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    (home / ".secret").write_text("home-secret-4242")
    outside = tmp_path / "outside.txt"
    in_repo = os.path.join(ROOT, "tests", "python", "sandbox-escaped.txt")
    listener = Listener()
    pg_port = pg_parts().port
    marker = "zolviai-detached-%d" % os.getpid()
    services = os.environ.get("ZOLVIAI_SERVICES_DIR", "/nonexistent")
    # (code, what the analysis error starts with; None: the code ends normally)
    cases = {
        "home": ("print(open(%r).read())" % str(home / ".secret"), "FileNotFoundError: [Errno 2]"),
        "home by ~": ("import os\nprint(open(os.path.expanduser('~/.secret')).read())",
                      "FileNotFoundError: [Errno 2] No such file or directory: '/tmp/.secret'"),
        "shadow": ("print(open('/etc/shadow').read())", "FileNotFoundError: [Errno 2]"),
        "database files": ("import os\nprint(os.listdir(%r))" % services, "FileNotFoundError: [Errno 2]"),
        "environment": ("import os\nprint(dict(os.environ))", None),
        "loopback": ("import socket\nsocket.create_connection(('127.0.0.1', %d), timeout=1)" % listener.port,
                     "ConnectionRefusedError: [Errno 111]"),
        "postgresql": ("import socket\nsocket.create_connection(('127.0.0.1', %d), timeout=1)" % pg_port,
                       "ConnectionRefusedError: [Errno 111]"),
        "outside media": ("open(%r, 'w').write('x')\nopen(%r, 'w').write('x')" % (str(outside), in_repo),
                          "FileNotFoundError: [Errno 2]"),
        "kill the host": ("import os\n"
                          "for kill in (lambda: os.kill(os.getppid(), 9), lambda: os.killpg(os.getpgid(0), 9),\n"
                          "             lambda: os.kill(-1, 9)):\n"
                          "    try:\n"
                          "        kill()\n"
                          "    except OSError:\n"
                          "        pass\n"
                          "print('still here')", None),
        "fork bomb": ("import os\nwhile True:\n    os.fork()", "BlockingIOError: [Errno 11]"),
        "20 GiB": ("x = bytearray(20 * 1024 ** 3)", "MemoryError"),
        "endless loop": ("while True:\n    pass",
                         "TimeoutError: the analysis code ran longer than %d s" % TIME_LIMIT),
        "exit": ("import sys\nsys.exit()", "SystemExit: "),
        "detached child": ("import subprocess, sys\n"
                           "subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(30)  # %s'],"
                           " start_new_session=True)\n"
                           "print('left behind')" % marker, None),
    }
    parent = os.getppid()
    before = snapshot(tmp_path, skip={str(tmp_path / "media")})
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(cases)) as pool:
        futures = {name: pool.submit(ask, sample_pg, code, tmp_path / "media" / name.replace(" ", "-"))
                   for name, (code, _) in cases.items()}
        states = {name: future.result(timeout=120) for name, future in futures.items()}

    for name, (code, error) in cases.items():
        state = states[name]
        assert state["final_response"] == "answered", name
        if error is None:
            assert state["python_execution_success"] is True, (name, state.get("python_error_message"))
        else:
            assert state["python_execution_success"] is False, name
            # On a loaded machine the deadline may stop a run before the limit it tests.
            allowed = (error,) + (LIMIT_ERRORS if name in LIMIT_CASES else ())
            assert state["python_error_message"].startswith(allowed), (name, state["python_error_message"])
        shown = state.get("python_executed_output", "") + state.get("python_error_message", "")
        assert "home-secret-4242" not in shown, name

    seen = states["environment"]["python_executed_output"]
    for name, value in list(HOST_SECRETS.items()) + [("PG", pg_parts().password), ("HOME", str(home))]:
        assert value not in seen, name
    assert "ZOLVIAI_PG_URI" not in seen and "MPLBACKEND" in seen
    assert states["kill the host"]["python_executed_output"] == "still here\n"
    assert listener.accepted == 0
    os.kill(parent, 0)  # the host's parent is alive too
    assert not outside.exists() and not os.path.exists(in_repo)
    assert snapshot(tmp_path, skip={str(tmp_path / "media")}) == before
    assert processes_with(marker) == []


def test_the_working_directory_is_empty_inside(sandboxed, sample_pg, tmp_path, monkeypatch):
    (tmp_path / "db_password.txt").write_text("cwd-secret-4242")
    monkeypatch.chdir(tmp_path)
    state = ask(sample_pg, "import os\nprint(os.listdir('.'))\nprint(open('db_password.txt').read())",
                tmp_path / "media")
    assert state["python_error_message"] == \
        "FileNotFoundError: [Errno 2] No such file or directory: 'db_password.txt'"
    assert "cwd-secret-4242" not in state.get("python_executed_output", "")


ANALYSIS = """import pandas as pd
import matplotlib.pyplot as plt
rows = [('Rock', 'AC/DC', 2), ('Rock', 'Accept', 2), ('Jazz', 'Miles Davis', 3), ('Metal', 'Metallica', 1)]
df = pd.DataFrame(rows, columns=['genre', 'artist', 'albums'])
summary = df.groupby('genre')['albums'].agg(['sum', 'count', 'mean']).sort_values('sum', ascending=False)
print(summary)
summary['sum'].plot(kind='bar')
plt.title('Albums per genre')
plt.savefig(%r)
print(df.describe())
"""


def test_ordinary_analysis_gives_the_in_process_output(sample_pg, tmp_path, monkeypatch):
    monkeypatch.delenv("ZOLVI_ANALYSIS_SANDBOX", raising=False)
    (tmp_path / "a").mkdir()  # as run_agent makes it
    (tmp_path / "b").mkdir()
    in_process = ask(sample_pg, ANALYSIS % str(tmp_path / "a" / "chart.png"), tmp_path / "a")
    monkeypatch.setenv("ZOLVI_ANALYSIS_SANDBOX", "1")
    sandboxed = ask(sample_pg, ANALYSIS % str(tmp_path / "b" / "chart.png"), tmp_path / "b")
    assert in_process["python_execution_success"] is True, in_process.get("python_error_message")
    assert sandboxed["python_execution_success"] is True, sandboxed.get("python_error_message")
    assert sandboxed["python_executed_output"] == in_process["python_executed_output"]
    assert "Jazz" in sandboxed["python_executed_output"]
    assert (tmp_path / "b" / "chart.png").stat().st_size > 1000
    assert (tmp_path / "a" / "chart.png").stat().st_size > 1000


def test_an_unknown_choice_is_refused(sample_pg, tmp_path, monkeypatch):
    monkeypatch.setenv("ZOLVI_ANALYSIS_SANDBOX", "maybe")
    with pytest.raises(RuntimeError, match="ZOLVI_ANALYSIS_SANDBOX must be 1 .* not 'maybe'"):
        ask(sample_pg, "print(1)", tmp_path)


# The command line: zolvi ask --analysis.
BUILD = os.environ.get("ZOLVIAI_BUILD_DIR", os.path.join(ROOT, "build"))


def zolvi_ask(chat, tmp_path, *args, env=None, codes=("open('media/chart.txt', 'w').write('c')\nprint('chart.txt')",)):
    chat.queue(tool("RelevantTablesOutput", relevant_tables=["orders"]),
               tool("SQLQueryInput", sql_query="SELECT COUNT(*) FROM orders"),
               {"content": "SELECT COUNT(*) FROM orders"},
               *[tool("PythonCodeInput", code=code) for code in codes],
               tool("GenerationOutput", final_response="Counted."))
    full = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
    full.update({"XDG_CACHE_HOME": str(tmp_path / "cache"), "XDG_STATE_HOME": str(tmp_path / "state"),
                 "OPENAI_BASE_URL": chat.url + "/v1", "OPENAI_API_KEY": "k"})
    full.update(env or {})
    return subprocess.run([os.path.join(BUILD, "bin", "zolvi"), "ask", "How many orders?", "--json", *args],
                          capture_output=True, text=True, timeout=60, env=full, cwd=tmp_path)


def test_zolvi_ask_runs_analysis_where_asked(chat, tmp_path):
    for mode in ("sandbox", "in-process"):
        run = zolvi_ask(chat, tmp_path, "--analysis", mode)
        assert run.returncode == 0, run.stderr
        assert "Counted." in run.stdout
        assert "isolation of analysis code is reduced" not in run.stderr
        assert (tmp_path / "media" / "chart.txt").read_text() == "c"
        (tmp_path / "media" / "chart.txt").unlink()

    bad = zolvi_ask(chat, tmp_path, "--analysis", "maybe")
    assert bad.returncode != 0 and "--analysis" in bad.stderr


def test_zolvi_ask_without_namespaces(chat, tmp_path):
    no_bwrap = {"PATH": str(tmp_path / "empty")}  # bwrap is looked up on PATH
    refused = zolvi_ask(chat, tmp_path, "--analysis", "sandbox", env=no_bwrap)
    assert refused.returncode == 1
    assert "the analysis sandbox is not available: bubblewrap ('bwrap') was not found" in refused.stderr
    assert "unprivileged user namespaces" in refused.stderr
    assert chat.requests() == [], "it fails before the first model call"

    # --analysis decides for zolvi, whatever the flow's variable says.
    chosen = zolvi_ask(chat, tmp_path, "--analysis", "in-process",
                       env={**no_bwrap, "ZOLVI_ANALYSIS_SANDBOX": "1"})
    assert chosen.returncode == 0, chosen.stderr
    assert "Counted." in chosen.stdout
    (tmp_path / "media" / "chart.txt").unlink()

    reduced = zolvi_ask(chat, tmp_path, env=no_bwrap)  # auto
    assert reduced.returncode == 0, reduced.stderr
    assert reduced.stderr.count("isolation of analysis code is reduced") == 1
    assert "Counted." in reduced.stdout
    assert (tmp_path / "media" / "chart.txt").read_text() == "c"


# Code that writes its own reply to the host and ends before the real one is sent.
FORGE = """import json, os
PNG = b'\\x89PNG\\r\\n\\x1a\\n' + b'x' * 10
END = b'{"kind": "end"}\\n'
def frame(kind, body=b'', **more):
    return json.dumps(dict(kind=kind, size=len(body), **more)).encode() + b'\\n' + body
payload = %s
view = memoryview(payload)
while view:
    view = view[os.write(3, view):]
os._exit(0)
"""


def peak_growth_kb(before):
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    return peak - before


def reset_peak_kb():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def test_forged_replies_leave_the_host_answering_within_its_budget(sandboxed, sample_pg, tmp_path):
    cases = {
        "200,000 deep": ("b'[' * 200000 + b'\\n'",
                         "RuntimeError: the analysis process sent a result that could not be read"),
        "114 MiB of empty objects": ("frame('output', b'{}' * (57 * 1024 ** 2)) + END",
                                     "MemoryError: the analysis result was refused"),
        "40 files 900 folders deep": ("frame('output') + b''.join(frame('file', PNG, name='d/' * 900 + "
                                      "'%d.png' % i) for i in range(40)) + END", None),
    }
    for name, (payload, error) in cases.items():
        media = tmp_path / name.replace(" ", "-")
        before = reset_peak_kb()
        state = ask(sample_pg, FORGE % payload, media)
        growth = peak_growth_kb(before)
        assert state["final_response"] == "answered", name
        if error is None:
            assert state["python_execution_success"] is True, (name, state.get("python_error_message"))
        else:
            # Writing 114 MiB may outlast the time limit on a loaded machine: either limit holds.
            allowed = (error,) + (LIMIT_ERRORS if name.startswith("114 MiB") else ())
            assert state["python_error_message"].startswith(allowed), (name, state["python_error_message"])
        assert not media.exists() or list(media.iterdir()) == [], name
        assert growth < 32 * 1024, (name, growth)  # kB: the 24 MiB reply budget and some


def test_long_output_reaches_the_answer_prompt_cut(sandboxed, sample_pg, tmp_path):
    requests = []
    state = ask(sample_pg, "print('row ' * 200000)", tmp_path / "media", requests)
    assert state["python_execution_success"] is True, state.get("python_error_message")
    assert len(state["python_executed_output"]) == 800001  # the state keeps all of it
    answer_request = requests[-1]["body"]
    answer_request = answer_request.decode() if isinstance(answer_request, bytes) else answer_request
    assert "[... analysis output cut: the first 8192 of 800001 bytes are shown]" in answer_request
    assert len(answer_request) < 64 * 1024


def test_zolvi_ask_survives_a_reply_nested_200000_deep(chat, tmp_path):
    # The forged reply is the run's error, which the correction step hands the model.
    run = zolvi_ask(chat, tmp_path, "--analysis", "sandbox",
                    codes=(FORGE % "b'[' * 200000 + b'\\n'", "print('recovered')"))
    assert run.returncode == 0, run.stderr
    assert "Counted." in run.stdout
    bodies = [r["body"].decode() if isinstance(r["body"], bytes) else r["body"] for r in chat.requests()]
    assert "the analysis process sent a result that could not be read" in bodies[-2]
    assert "recovered" in bodies[-1]
