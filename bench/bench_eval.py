#!/usr/bin/python3
"""Evaluation harness figures: what the harness adds to each question, and how questions in
parallel overlap.

  PYTHONPATH=build/python /usr/bin/python3 bench/bench_eval.py 2>/dev/null

(Standard error holds the flow's own timing log.)

Both against the scripted chat server and a SQLite copy of the business database, SQL only.

1. Overhead: the shipped question set, one at a time, a model that answers at once. Per
   question, the harness's own time is its elapsed time less the flow's time (the model calls
   and the flow's steps) and the two database runs (gold and final query). Also the whole
   run's wall time less those, divided by the questions: reading, writing results.jsonl and
   the reports included. Reference: 1 ms a question.
2. Parallel: 200 questions with -j 8 and a model that answers every call after 50 ms, beside
   the ideal 200 / 8 x one question's time (measured in the same run, -j 1). Reference: 1.5x.
"""
import json
import os
import sqlite3
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import chat_server  # noqa: E402
from test_eval import gold, load_questions, prompt, script  # noqa: E402


class Server:
    def __init__(self):
        self.server, self.url = chat_server.start()

    @property
    def state(self):
        return self.server.state


def business_db(directory):
    path = os.path.join(directory, "business.db")
    with open(os.path.join(ROOT, "examples", "business_db.sql")) as f, sqlite3.connect(path) as c:
        c.executescript(f.read())
    return "sqlite:///" + path + "?mode=ro"


def questions(n):
    """n questions from the shipped set, each with its own text and id."""
    base = load_questions()
    out = []
    for i in range(n):
        q = dict(base[i % len(base)])
        q["id"] = "%s-%d" % (q["id"], i)
        q["question"] = "%s (%d)" % (q["question"], i)
        out.append(q)
    return out


def run(eval_module, chat, qs, db, jobs, delay, out):
    with chat.state.lock:
        chat.state.rules = []
    script(chat, {prompt(q): gold(q, "sqlite") for q in qs})
    if delay:
        with chat.state.lock:
            for rule in chat.state.rules:
                rule["answer"]["delay"] = delay
    start = time.perf_counter()
    result = eval_module.run(qs, db=db, sql_only=True, jobs=jobs, out=out)
    return result, time.perf_counter() - start


def main():
    os.environ.update(OPENAI_API_KEY="k")
    chat = Server()
    os.environ["OPENAI_BASE_URL"] = chat.url + "/v1"
    import zolviai.eval
    with tempfile.TemporaryDirectory() as tmp:
        db = business_db(tmp)
        shipped = load_questions()
        run(zolviai.eval, chat, shipped, db, 1, 0, os.path.join(tmp, "warm"))  # warm caches
        result, wall = run(zolviai.eval, chat, shipped, db, 1, 0, os.path.join(tmp, "overhead"))
        records = result["records"]
        assert all(r["outcome"] == "correct" for r in records)
        own = [r["elapsed_s"] - r["latency_s"] - r["database_s"] for r in records]
        whole = (wall - sum(r["latency_s"] + r["database_s"] for r in records)) / len(records)
        print("1. harness overhead, %d questions, -j 1, instant model" % len(records))
        print("   per question (elapsed - flow - databases): median %.3f ms, max %.3f ms  "
              "(reference: 1 ms)" % (1000 * statistics.median(own), 1000 * max(own)))
        print("   whole run incl. files and reports:           %.3f ms a question  (reference: 1 ms)"
              % (1000 * whole))
        print("   flow time a question (3 model calls over HTTP): median %.2f ms; databases %.2f ms"
              % (1000 * statistics.median(r["latency_s"] for r in records),
                 1000 * statistics.median(r["database_s"] for r in records)))

        delay = 0.05
        single, single_wall = run(zolviai.eval, chat, questions(16), db, 1, delay, os.path.join(tmp, "one"))
        one = single_wall / 16
        many, many_wall = run(zolviai.eval, chat, questions(200), db, 8, delay, os.path.join(tmp, "many"))
        assert many["summary"]["correct"] == 200, json.dumps(many["summary"]["outcomes"])
        ideal = 200 / 8 * one
        print("2. 200 questions, -j 8, model answers after 50 ms")
        print("   one question (-j 1, mean of 16): %.3f s" % one)
        print("   200 questions, -j 8: %.2f s; ideal 200/8 x one = %.2f s; ratio %.2f  (reference: 1.5)"
              % (many_wall, ideal, many_wall / ideal))
    chat.server.shutdown()


if __name__ == "__main__":
    main()
