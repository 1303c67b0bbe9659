#!/usr/bin/python3
"""Python-host figures: questions from parallel host threads, and the cost of importing.

  PYTHONPATH=build/python /usr/bin/python3 bench/bench_hosts.py

1. One agent, a scripted chat server that answers every call after 50 ms, the SQLite sample:
   the time of one question, then of 16 questions from 16 threads at once. With the GIL
   released during model, database and child-process calls the 16 overlap.
2. `import zolviai.agent` in a fresh interpreter: time and peak resident memory beside a bare
   interpreter, each the median of several runs.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))


def parallel_questions():
    import chat_server
    from zolviai.flow_graph.custom_sql import CustomSQLDatabase
    from zolviai.flow_graph.flow_graph import SQLGraph
    from zolviai.settings import AzureOpenAIChat35, AzureOpenAIChat4

    server, url = chat_server.start()
    delay = 0.05
    server.state.rules = [
        {"match": {"body_contains": name}, "answer": {"tool_arguments": arguments, "delay": delay}}
        for name, arguments in [
            ("RelevantTablesOutput", {"relevant_tables": ["artist"]}),
            ("SQLQueryInput", {"sql_query": "SELECT COUNT(*) FROM artist"}),
            ("PythonCodeInput", {"code": "print(8)"}),
            ("GenerationOutput", {"final_response": "Eight."}),
        ]
    ] + [{"match": {}, "answer": {"content": "SELECT COUNT(*) FROM artist", "delay": delay}}]

    workdir = tempfile.mkdtemp()
    db_path = os.path.join(workdir, "sample.db")
    import sqlite3
    with open(os.path.join(ROOT, "examples", "sample_db.sql")) as f, sqlite3.connect(db_path) as c:
        c.executescript(f.read())
    settings = dict(azure_deployment="d", azure_endpoint=url, api_key="k", api_version="2024-10-21")
    agent = SQLGraph(CustomSQLDatabase.from_uri("sqlite:///" + db_path),
                     AzureOpenAIChat35(**settings), AzureOpenAIChat4(**settings))
    inputs = {"user_question": "How many artists?", "save_path": workdir}
    devnull = open(os.devnull, "w")
    real_stdout, sys.stdout = sys.stdout, devnull
    try:
        agent.invoke(inputs)  # warm-up: starts the analysis interpreter state, connections
        start = time.perf_counter()
        agent.invoke(inputs)
        one = time.perf_counter() - start
        results = []
        threads = [threading.Thread(target=lambda: results.append(agent.invoke(inputs))) for _ in range(16)]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        sixteen = time.perf_counter() - start
    finally:
        sys.stdout = real_stdout
        server.shutdown()
    assert len(results) == 16 and all(r["final_response"] == "Eight." for r in results)
    print(f"one question:                {one * 1000:8.1f} ms (5 model calls of 50 ms each)")
    print(f"16 questions in 16 threads:  {sixteen * 1000:8.1f} ms  = {sixteen / one:.2f} x one question "
          f"(target: < 3 x)")


def import_cost(runs=7):
    # VmHWM (peak resident set of this process image, in kB): ru_maxrss would carry the
    # parent's peak across fork and exec.
    probe = ("import time; t = time.perf_counter(); {stmt}; d = time.perf_counter() - t; "
             "hwm = [l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')][0]; "
             "print(d, hwm)")

    def measure(stmt):
        times, rss = [], []
        for _ in range(runs):
            out = subprocess.run([sys.executable, "-c", probe.format(stmt=stmt)], capture_output=True,
                                 text=True, check=True, env=dict(os.environ)).stdout.split()
            times.append(float(out[0]))
            rss.append(int(out[1]))
        return statistics.median(times), statistics.median(rss)

    bare_t, bare_rss = measure("pass")
    agent_t, agent_rss = measure("import zolviai.agent")
    print(f"bare interpreter:            peak RSS {bare_rss / 1024:6.1f} MB")
    print(f"import zolviai.agent:        {agent_t * 1000:6.1f} ms (target < 300 ms), "
          f"peak RSS {agent_rss / 1024:6.1f} MB, +{(agent_rss - bare_rss) / 1024:.1f} MB (target < 60 MB)")


if __name__ == "__main__":
    parallel_questions()
    import_cost()
