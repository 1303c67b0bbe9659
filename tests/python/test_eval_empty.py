"""zolvi eval on questions whose predicted or gold query finds nothing: the labels its
documentation gives (an empty prediction is wrong_result against gold rows and correct against
an empty gold result, never sql_error), empty gold flagged, and a report that names what ran and
lists every question."""
import json
import os
import re
import sqlite3
import shutil
import subprocess

import pytest

from serve_support import ChatProcess, ZOLVI

SCHEMA = [
    "CREATE TABLE orders (order_id INTEGER PRIMARY KEY, status TEXT)",
    "CREATE TABLE refunds (refund_id INTEGER PRIMARY KEY, amount NUMERIC(10, 2))",
    "INSERT INTO orders VALUES (1, 'shipped'), (2, 'pending'), (3, 'pending')",
]

# id, question, gold, predicted, the outcome the documentation gives, gold without rows
CASES = [
    ("empty-vs-rows", "Which orders were lost?", "SELECT order_id FROM orders WHERE status = 'pending'",
     "SELECT order_id FROM orders WHERE status = 'lost'", "wrong_result", False),
    ("empty-vs-empty", "List all refunds.", "SELECT refund_id FROM refunds",
     "SELECT refund_id FROM refunds", "correct", True),
    ("rows-vs-empty", "Which refunds were paid?", "SELECT refund_id FROM refunds WHERE amount > 0",
     "SELECT order_id FROM orders", "wrong_result", True),
    ("rows-vs-rows", "How many orders are there?", "SELECT COUNT(*) FROM orders",
     "SELECT COUNT(*) FROM orders", "correct", False),
]


def in_json(text):
    return json.dumps(text, ensure_ascii=False)[1:-1]


def rules():
    out = [{"match": {"body_contains": "RelevantTablesOutput"},
            "answer": {"tool_arguments": {"relevant_tables": ["orders", "refunds"]}}}]
    for _, question, _, sql, _, _ in CASES:  # a correction keeps the query
        out.append({"match": {"body_contains": in_json("<user_question>" + question + "</user_question>")},
                    "answer": {"tool_arguments": {"sql_query": sql}}})
    for _, question, _, sql, _, _ in CASES:
        out.append({"match": {"body_contains": in_json("Query:\n" + sql + "\n\nLook for")},
                    "answer": {"content": sql}})
        out.append({"match": {"body_contains": in_json(question + "\n Schemas_from_relevant_tables")},
                    "answer": {"tool_arguments": {"sql_query": sql}}})
    return out


@pytest.fixture(scope="module")
def evaluated(tmp_path_factory):
    """The question set run once with zolvi eval: (database file, output folder)."""
    tmp_path = tmp_path_factory.mktemp("eval-empty")
    db = tmp_path / "shop.db"
    with sqlite3.connect(db) as conn:
        for statement in SCHEMA:
            conn.execute(statement)
    questions = tmp_path / "q.jsonl"
    questions.write_text("".join(json.dumps({"id": i, "question": q, "gold_sql": g}) + "\n"
                                 for i, q, g, _, _, _ in CASES))
    chat = ChatProcess()
    try:
        chat.script(rules())
        env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
        env.update(XDG_CACHE_HOME=str(tmp_path / "cache"), OPENAI_BASE_URL=chat.url + "/v1",
                   OPENAI_API_KEY="k", OPENAI_MODEL="scripted-model")
        out = tmp_path / "out"
        run = subprocess.run([ZOLVI, "eval", str(questions), "--db", "sqlite:///" + str(db), "--out", str(out),
                              "--sql-only", "--jobs", "1"],
                             capture_output=True, text=True, timeout=120, env=env, cwd=tmp_path)
    finally:
        chat.close()
    assert run.returncode == 0, run.stderr
    return db, out


def test_empty_predictions_and_empty_gold_get_their_documented_labels(evaluated):
    db, out = evaluated
    records = {r["id"]: r for r in map(json.loads, (out / "results.jsonl").read_text().splitlines())}
    for case_id, _, _, predicted, outcome, gold_empty in CASES:
        r = records[case_id]
        assert (r["outcome"], r["gold_empty"]) == (outcome, gold_empty), r
        assert r["predicted_sql"] == predicted
    assert records["empty-vs-rows"]["predicted_row_count"] == 0
    assert records["empty-vs-rows"]["corrections"] == 1

    summary = json.loads((out / "summary.json").read_text())
    assert summary["outcomes"]["sql_error"] == 0
    assert summary["outcomes"]["correct"] == 2 and summary["outcomes"]["wrong_result"] == 2
    assert summary["gold_empty"] == 2
    assert re.fullmatch(r"\d+\.\d+\.\d+", summary["zolvi_version"])
    assert summary["engine"] == "SQLite"
    assert summary["database"] == "sqlite:///" + str(db)
    assert summary["models"]["model"] == "scripted-model"
    assert summary["models"]["provider"] == "openai-compatible" and "/" not in summary["models"]["base_url"]
    assert summary["settings"]["sql_only"] is True and summary["settings"]["compare"] == "set"

    html = (out / "report.html").read_text()
    assert "name='viewport'" in html and "@media (max-width:700px)" in html
    for case_id, question, *_ in CASES:  # every question, also the correct ones
        assert question in html
    assert html.count("class='qr o-") == len(CASES)
    assert "id='f-wrong_result'" in html and "#f-wrong_result:checked" in html
    assert html.count("<span class='flag'>gold has no rows</span>") >= 2
    assert "scripted-model" in html and "SQLite" in html
    assert "latency per question (s)" in html and ">questions</text>" in html
    md = (out / "report.md").read_text()
    assert "## Every question" in md and "- models: openai-compatible: scripted-model" in md
    assert md.count("gold has no rows") >= 2


def test_the_summary_names_the_database_without_its_password(tmp_path):
    """A PostgreSQL URI with a password: the summary and the reports name the server and the
    database, never the password (the evaluation stops at once: no question file entries)."""
    questions = tmp_path / "q.jsonl"
    questions.write_text(json.dumps({"id": "x", "question": "Anything?", "gold_sql": "SELECT 1"}) + "\n")
    uri = os.environ["ZOLVIAI_PG_URI"]
    secret = uri.split("://", 1)[1].split("@", 1)[0].split(":", 1)[1]
    chat = ChatProcess()
    try:
        chat.script([{"match": {"body_contains": "RelevantTablesOutput"},
                      "answer": {"tool_arguments": {"relevant_tables": []}}},
                     {"match": {"body_contains": "SQLQueryInput"}, "answer": {"tool_arguments": {"sql_query": "SELECT 1"}}},
                     {"match": {}, "answer": {"content": "SELECT 1"}}])
        env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
        env.update(XDG_CACHE_HOME=str(tmp_path / "cache"), OPENAI_BASE_URL=chat.url + "/v1", OPENAI_API_KEY="k",
                   ZOLVI_ALLOW_PRIVILEGED_ROLE="1")
        out = tmp_path / "out"
        run = subprocess.run([ZOLVI, "eval", str(questions), "--db", uri, "--out", str(out), "--sql-only"],
                             capture_output=True, text=True, timeout=120, env=env, cwd=tmp_path)
    finally:
        chat.close()
    assert run.returncode == 0, run.stderr
    summary = json.loads((out / "summary.json").read_text())
    assert summary["engine"] == "PostgreSQL"
    assert summary["database"].startswith("postgresql://") and ":***@" in summary["database"]
    for name in ("summary.json", "report.md", "report.html", "results.jsonl"):
        assert ":" + secret + "@" not in (out / name).read_text(), name


def test_the_report_reads_at_phone_width(evaluated):
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.common.by import By
    if not shutil.which("chromium") or not os.path.exists("/usr/bin/chromedriver"):
        pytest.fail("chromium and chromium-driver are needed (scripts/setup installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=390,844"]:
        options.add_argument(arg)
    from selenium.webdriver.chrome.service import Service
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.get((evaluated[1] / "report.html").as_uri())
        overflow = driver.execute_script(
            "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
        assert overflow <= 0, overflow
        rows = driver.find_elements(By.CSS_SELECTOR, "tr.qr")
        assert sum(r.is_displayed() for r in rows) == len(CASES)
        # The outcome filter works without a script: only the wrong results stay.
        driver.find_element(By.CSS_SELECTOR, "label[for=f-wrong_result]").click()
        shown = [r.get_attribute("class") for r in rows if r.is_displayed()]
        assert shown == ["qr o-wrong_result"] * 2, shown
    finally:
        driver.quit()
