#!/usr/bin/python3
"""Model calls per question with and without the value index, on the labelled set of value
links (tests/data/value_links.jsonl) over the bundled business database.

The model is scripted: it writes the question's gold SQL, but with each literal as the question
writes it ('Germny', 'United Kingdom', 'Bev.'), unless a prompt it was sent offers the real
value (a value hint "customers.country = 'Germany'", or a literal check's "close values:
'Germany'"). So it repeats the question's mistake until the flow tells it better, as a model
that cannot see the data would. Each question runs `zolvi ask --sql-only --json` twice: with
--no-value-index (before) and with the index (after). Reported: model calls per question,
questions answered with the gold rows, and questions that ran out of corrections.

Usage: bench/bench_value_calls.py [BUILD_DIR]
"""
import json
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import chat_server  # noqa: E402

BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
ZOLVI = os.path.join(BUILD, "bin", "zolvi")


def quoted(text):
    return "'" + text.replace("'", "''") + "'"


class Script:
    """What the scripted model knows of the question being asked."""
    lock = threading.Lock()
    item = None
    last_sql = ""


def sql_for(prompt):
    item = Script.item
    sql = item["gold_sql"]
    for link in item["links"]:
        value = link["value"]
        offered = (f"{link['table']}.{link['column']} = {quoted(value)}" in prompt
                   or f"close values: {quoted(value)}" in prompt)
        if not offered:
            sql = sql.replace(quoted(value), quoted(link["asked"]))
    return sql


class Handler(chat_server.Handler):
    def pick(self, path, body):
        request = json.loads(body)
        prompt = "\n".join(m.get("content") or "" for m in request.get("messages", []))
        tool = chat_server.forced_tool(request)
        with Script.lock:
            if tool == "RelevantTablesOutput":
                tables = re.findall(r"(?:FROM|JOIN)\s+(\w+)", Script.item["gold_sql"], re.I)
                return {"tool_arguments": {"relevant_tables": sorted(set(tables))}}
            if tool == "RewriteQueryOutput":
                return {"tool_arguments": {"rewritten_question": Script.item["question"]}}
            if tool == "SQLQueryInput":
                Script.last_sql = sql_for(prompt)
                return {"tool_arguments": {"sql_query": Script.last_sql}}
            return {"content": Script.last_sql}  # the query checker: the query as it is


def main():
    items = [json.loads(line) for line in open(os.path.join(ROOT, "tests", "data", "value_links.jsonl"))
             if line.strip()]
    server = chat_server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.state = chat_server.State()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d/v1" % server.server_address[1]
    with tempfile.TemporaryDirectory() as tmp:
        env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
        env.update({"XDG_CACHE_HOME": os.path.join(tmp, "cache"), "OPENAI_BASE_URL": url, "OPENAI_API_KEY": "k"})
        subprocess.run([ZOLVI, "tables"], env=env, capture_output=True, check=True)  # makes the sample
        db = sqlite3.connect(os.path.join(tmp, "cache", "zolviai", "business.db"))
        totals = {}
        for label, flags in (("before (no value index)", ["--no-value-index"]), ("after (value index)", [])):
            calls = answered = right = gave_up = 0
            hard_calls = hard = 0
            for item in items:
                with Script.lock:
                    Script.item = item
                run = subprocess.run([ZOLVI, "ask", "--sql-only", "--json", *flags, item["question"]],
                                     env=env, capture_output=True, text=True, timeout=300)
                record = json.loads(run.stdout)
                n = record["usage"]["model_calls"]
                calls += n
                if item["variant"] in ("misspelled", "abbreviated"):
                    hard += 1
                    hard_calls += n
                if record["outcome"] == "answered":
                    answered += 1
                    gold = [list(r) for r in db.execute(item["gold_sql"]).fetchall()]
                    right += sorted(map(str, gold)) == sorted(map(str, record["rows"]))
                else:
                    gave_up += 1
            totals[label] = (calls / len(items), right, answered, gave_up, hard_calls / max(hard, 1))
        print(f"model calls per question on {len(items)} questions "
              f"({sum(i['variant'] in ('misspelled', 'abbreviated') for i in items)} misspelled or abbreviated):")
        for label, (mean, right, answered, gave_up, hard_mean) in totals.items():
            print(f"  {label:26s} {mean:5.2f} calls/question ({hard_mean:5.2f} on misspelled/abbreviated); "
                  f"gold rows {right}/{len(items)}; answered {answered}, gave up {gave_up}")
    server.shutdown()


if __name__ == "__main__":
    main()
