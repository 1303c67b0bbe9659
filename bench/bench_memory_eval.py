#!/usr/bin/python3
"""Model calls and cost per question with the memory of verified SQL and without it, on the
business question set, through zolvi eval against the scripted chat server.

  /usr/bin/python3 bench/bench_memory_eval.py [--full]

The scripted model answers every question with its gold SQL (the table choice, the SQL and its
review; with --full also the analysis code and the written answer), and reports token counts
measured from the text of each request and answer (about four bytes a token), so that the
verified examples a prompt carries cost what their text costs. Accuracy is therefore the same
in every run; what differs is how many calls a question takes and what they cost.

1. zolvi eval --folds 5 --paraphrase-twins: each question is answered with the other folds' gold
   pairs in memory, its paraphrases among them; the reference is the same run without memory.
2. zolvi eval --memory (the set's own pairs): every question asked again as certified; the
   reference is again the run without memory.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import chat_server  # noqa: E402
from test_eval import BUSINESS, gold, load_questions, prompt, script  # noqa: E402

BUILD = os.environ.get("ZOLVIAI_BUILD_DIR", os.path.join(ROOT, "build"))
ZOLVI = os.path.join(BUILD, "bin", "zolvi")


class Server:
    def __init__(self):
        self.server, self.url = chat_server.start()

    @property
    def state(self):
        return self.server.state


def eval_run(chat, tmp, name, full, *args):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
    env.update(XDG_CACHE_HOME=os.path.join(tmp, "cache"), XDG_STATE_HOME=os.path.join(tmp, "state"),
               OPENAI_BASE_URL=chat.url + "/v1", OPENAI_API_KEY="k")
    out = os.path.join(tmp, name)
    mode = ["--analysis", "in-process"] if full else ["--sql-only"]
    start = time.perf_counter()
    run = subprocess.run([ZOLVI, "eval", BUSINESS, *mode, "-j", "2", "--out", out, *args],
                         capture_output=True, text=True, env=env, cwd=tmp)
    if run.returncode != 0:
        sys.exit("zolvi eval failed:\n" + run.stderr[-3000:])
    with open(os.path.join(out, "memory_summary.json")) as f:
        return json.load(f), time.perf_counter() - start


def line(name, t):
    return ("   %-15s accuracy %5.1f%% (%d of %d)   from memory %5.1f%%   with examples %5.1f%%   "
            "model calls %.2f   cost $%.5f a question"
            % (name, 100 * t["accuracy"], t["correct"], t["scored"], 100 * t["from_memory_share"],
               100 * t["with_examples"] / max(1, t["questions"]), t["model_calls_per_question"],
               t["cost_per_question"]))


def compare(title, c, seconds):
    without, with_ = c["without"], c["with"]
    print(title + "  (%.0f s)" % seconds)
    print(line("without memory", without))
    print(line("with memory", with_))
    print("   with / without: model calls %.2f x, cost %.2f x"
          % (with_["model_calls_per_question"] / without["model_calls_per_question"],
             with_["cost_per_question"] / without["cost_per_question"]))


def main():
    full = "--full" in sys.argv[1:]
    chat = Server()
    questions = load_questions()
    script(chat, {prompt(q): gold(q, "sqlite") for q in questions}, code=full)
    with chat.state.lock:
        for rule in chat.state.rules:
            rule["answer"]["usage"] = "measured"
    print("business set, %d questions, %s, scripted model answering with the gold SQL"
          % (len(questions), "full runs" if full else "SQL only"))
    with tempfile.TemporaryDirectory() as tmp:
        c, seconds = eval_run(chat, tmp, "folds", full, "--folds", "5", "--paraphrase-twins")
        compare("1. --folds 5 --paraphrase-twins", c, seconds)
        c, seconds = eval_run(chat, tmp, "again", full, "--memory", BUSINESS)
        compare("2. --memory with the set's own pairs (each question asked again)", c, seconds)
    chat.server.shutdown()


if __name__ == "__main__":
    main()
