"""zolvi eval and zolviai.eval.run as a user meets them: the shipped question set on all three
engines against the scripted chat server, the files and the headline, Ctrl-C, and the Python
API."""
import json
import os
import signal
import subprocess
import time
import urllib.parse

import pytest

from conftest import ROOT, pg_parts, reader_parts

BUILD = os.environ.get("ZOLVIAI_BUILD_DIR", os.path.join(ROOT, "build"))
ZOLVI = os.path.join(BUILD, "bin", "zolvi")
BUSINESS = os.path.join(ROOT, "examples", "eval", "business.jsonl")
TABLES = ["customers", "employees", "order_lines", "orders", "payments", "products"]


def in_json(text):
    """Text as it stands inside a JSON string of a request body."""
    return json.dumps(text, ensure_ascii=False)[1:-1]


def prompt(q):
    return q["question"] + ("\nHint: " + q["evidence"] if q.get("evidence") else "")


def gold(q, dialect):
    return q["gold_sql"] if isinstance(q["gold_sql"], str) else q["gold_sql"][dialect]


def script(chat, answers, fixes=None, code=False):
    """Reusable answers keyed on what each request holds: prompt -> first SQL; fixes maps a
    failing first SQL to the SQL every correction writes. With code, the analysis and the
    written answer of a full run are scripted too."""
    fixes = fixes or {}
    rules = []
    for sql in list(answers.values()) + list(fixes.values()):
        rules.append({"match": {"body_contains": in_json("Query:\n" + sql + "\n\nLook for")},
                      "answer": {"content": sql}})
    rules.append({"match": {"body_contains": "RelevantTablesOutput"},
                  "answer": {"tool_arguments": {"relevant_tables": TABLES}}})
    if code:
        rules.append({"match": {"body_contains": "PythonCodeInput"},
                      "answer": {"tool_arguments": {"code": "print('done')"}}})
        rules.append({"match": {"body_contains": "GenerationOutput"},
                      "answer": {"tool_arguments": {"final_response": "Here it is."}}})
    for bad, good in fixes.items():
        rules.append({"match": {"body_contains": in_json(bad + "\n        </query>")},
                      "answer": {"tool_arguments": {"sql_query": good}}})
    for text, sql in answers.items():
        rules.append({"match": {"body_contains": in_json(text + "\n Schemas_from_relevant_tables")},
                      "answer": {"tool_arguments": {"sql_query": sql}}})
    with chat.state.lock:
        chat.state.rules.extend(rules)


def zolvi(tmp_path, chat, *args, popen=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
    env.update(XDG_CACHE_HOME=str(tmp_path / "cache"), OPENAI_BASE_URL=chat.url + "/v1", OPENAI_API_KEY="k")
    if popen:
        return subprocess.Popen([ZOLVI, "eval", *args], env=env, cwd=tmp_path, text=True, **popen)
    return subprocess.run([ZOLVI, "eval", *args], capture_output=True, text=True, timeout=120, env=env,
                          cwd=tmp_path)


def load_questions():
    with open(BUSINESS) as f:
        return [json.loads(line) for line in f if line.strip()]


def statements(path):
    """The script's statements (a statement ends with a semicolon at the end of a line)."""
    out, current = [], []
    with open(path) as f:
        for line in f:
            if line.lstrip().startswith("--"):
                continue
            current.append(line)
            if line.rstrip().endswith(";"):
                out.append("".join(current).rstrip().rstrip(";"))
                current = []
    return out


@pytest.fixture
def business_db(request, tmp_path):
    """The business database on the engine the test names: (dialect, --db arguments)."""
    engine = request.param
    if engine == "sqlite":
        yield "sqlite", []  # the bundled sample, made by zolvi from its compiled-in script
        return
    name = "zolvi_eval_%d" % os.getpid()
    if engine == "postgresql":
        import psycopg2
        parts = pg_parts()
        connect = dict(host=parts.hostname, port=parts.port, user=parts.username, password=parts.password)
        admin = psycopg2.connect(dbname=parts.path.lstrip("/"), **connect)
        admin.autocommit = True
        admin.cursor().execute("DROP DATABASE IF EXISTS %s" % name)
        admin.cursor().execute("CREATE DATABASE %s" % name)
        db = psycopg2.connect(dbname=name, **connect)
        with db, db.cursor() as cur:
            for s in statements(os.path.join(ROOT, "examples", "business_db_postgresql.sql")):
                cur.execute(s)
        db.close()
        # The questions run as the server's reader role.
        reader = reader_parts("ZOLVIAI_PG_READER_URI")
        uri = "postgresql://%s:%s@%s:%d/%s" % (reader.username, urllib.parse.quote(reader.password, safe=""),
                                               parts.hostname, parts.port, name)
        yield "postgresql", ["--db", uri]
        admin.cursor().execute("DROP DATABASE IF EXISTS %s WITH (FORCE)" % name)
        admin.close()
        return
    import pymysql
    parts = urllib.parse.urlparse(os.environ["ZOLVIAI_MARIADB_URI"])
    connect = dict(host=parts.hostname, port=parts.port, user=parts.username, password=parts.password,
                   autocommit=True)
    admin = pymysql.connect(**connect)
    admin.cursor().execute("DROP DATABASE IF EXISTS %s" % name)
    admin.cursor().execute("CREATE DATABASE %s CHARACTER SET utf8mb4" % name)
    db = pymysql.connect(database=name, **connect)
    for s in statements(os.path.join(ROOT, "examples", "business_db_mysql.sql")):
        db.cursor().execute(s)
    db.close()
    reader = reader_parts("ZOLVIAI_MARIADB_READER_URI")
    uri = "mysql://%s:%s@%s:%d/%s" % (reader.username, urllib.parse.quote(reader.password, safe=""),
                                      parts.hostname, parts.port, name)
    yield "mysql", ["--db", uri]
    admin.cursor().execute("DROP DATABASE IF EXISTS %s" % name)
    admin.close()


@pytest.mark.parametrize("business_db", ["sqlite", "postgresql", "mysql"], indirect=True)
def test_the_business_set_end_to_end(chat, tmp_path, business_db):
    dialect, db_args = business_db
    questions = load_questions()
    assert len(questions) >= 60
    answers = {prompt(q): gold(q, dialect) for q in questions}
    # Two wrong answers, and one first query that fails and is corrected.
    answers[prompt(questions[2])] = "SELECT product_name FROM products WHERE category = 'Seafood'"
    answers[prompt(questions[9])] = "SELECT country, COUNT(*) FROM customers WHERE segment = 'Retail' GROUP BY country"
    broken = gold(questions[0], dialect).replace("customers", "customer")
    answers[prompt(questions[0])] = broken
    script(chat, answers, fixes={broken: gold(questions[0], dialect)})

    out = tmp_path / "out"
    run = zolvi(tmp_path, chat, BUSINESS, "--sql-only", "--out", str(out), "-j", "4", *db_args)
    assert run.returncode == 0, run.stderr
    total = len(questions)
    summary = json.loads((out / "summary.json").read_text())
    assert summary["outcomes"] == {"correct": total - 2, "wrong_result": 2, "sql_error": 0, "refused": 0,
                                   "timeout": 0, "model_error": 0, "gold_error": 0}
    assert summary["accuracy"] == pytest.approx((total - 2) / total)
    assert summary["complete"] is True and summary["sql_only"] is True
    assert summary["model_calls"] == 3 * total + 2  # table choice, SQL, review; one correction
    records = [json.loads(line) for line in (out / "results.jsonl").read_text().splitlines()]
    assert sorted(r["id"] for r in records) == sorted(q["id"] for q in questions)
    by_id = {r["id"]: r for r in records}
    assert by_id[questions[0]["id"]]["corrections"] == 1
    assert by_id[questions[2]["id"]]["outcome"] == "wrong_result"
    assert {r["dialect"] for r in records} == {dialect}
    # The headline on standard output; off a terminal, no progress bar on standard error.
    assert run.stdout.startswith("execution accuracy %.1f%% (%d of %d" % (100 * (total - 2) / total, total - 2, total))
    assert "\r" not in run.stderr
    html = (out / "report.html").read_text()
    assert "<svg" in html and questions[2]["id"] in html and "http" not in html
    assert "## By difficulty" in (out / "report.md").read_text()


def test_a_full_run_and_the_settings_it_needs(chat, tmp_path):
    questions = tmp_path / "q.jsonl"
    questions.write_text(json.dumps({"id": "a", "question": "How many products?",
                                     "gold_sql": "SELECT COUNT(*) FROM products", "tags": ["aggregate"]}) + "\n")
    script(chat, {"How many products?": "SELECT COUNT(*) FROM products"}, code=True)
    run = zolvi(tmp_path, chat, str(questions), "--out", str(tmp_path / "out"), "--analysis", "in-process")
    assert run.returncode == 0, run.stderr
    record = json.loads((tmp_path / "out" / "results.jsonl").read_text())
    assert record["outcome"] == "correct"
    assert record["model_calls"] == 5, "the analysis and the answer ran too"

    env = {k: v for k, v in os.environ.items() if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
    env["XDG_CACHE_HOME"] = str(tmp_path / "cache")
    unconfigured = subprocess.run([ZOLVI, "eval", str(questions), "--out", str(tmp_path / "none")],
                                  capture_output=True, text=True, timeout=60, env=env)
    assert unconfigured.returncode == 1
    assert "OPENAI_API_KEY" in unconfigured.stderr


def test_the_time_out_reaches_the_bundled_sample(chat, tmp_path):
    # A reference query that runs for ever on the sample (no --db): --timeout 1 must stop it.
    questions = tmp_path / "q.jsonl"
    endless = ("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) "
               "SELECT COUNT(*) FROM n")
    questions.write_text(json.dumps({"id": "slow", "question": "How many products?",
                                     "gold_sql": endless}) + "\n")
    run = zolvi(tmp_path, chat, str(questions), "--sql-only", "--timeout", "1",
                "--out", str(tmp_path / "out"))
    assert run.returncode == 0, run.stderr
    record = json.loads((tmp_path / "out" / "results.jsonl").read_text())
    assert record["outcome"] == "gold_error"
    assert "time-out of 1000 ms" in record["error"]


def test_ctrl_c_stops_after_the_questions_in_flight_and_writes_the_partial_report(chat, tmp_path):
    questions = load_questions()[:12]
    script(chat, {prompt(q): gold(q, "sqlite") for q in questions})
    with chat.state.lock:  # every model call takes a while
        for rule in chat.state.rules:
            rule["answer"]["delay"] = 0.15
    subset = tmp_path / "q.jsonl"
    subset.write_text("".join(json.dumps(q) + "\n" for q in questions))
    out = tmp_path / "out"
    proc = zolvi(tmp_path, chat, str(subset), "--sql-only", "--out", str(out), "-j", "2",
                 popen=dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE))
    results = out / "results.jsonl"
    deadline = time.time() + 60
    while time.time() < deadline and not (results.exists() and results.read_text().count("\n") >= 2):
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=60)
    assert proc.returncode == 130, stderr
    summary = json.loads((out / "summary.json").read_text())
    done = len(results.read_text().splitlines())
    assert 2 <= done < len(questions)
    assert summary["answered"] == done and summary["complete"] is False
    assert "partial: %d of %d" % (done, len(questions)) in stdout
    assert (out / "report.html").exists()
    assert "stopping after the questions in flight" in stderr


def test_python_run_returns_the_summary_and_records(chat, tmp_path, monkeypatch):
    import sqlite3
    db = tmp_path / "shop.db"
    with sqlite3.connect(db) as c:
        c.executescript("CREATE TABLE fruit (name TEXT, price NUMERIC(6, 2));"
                        "INSERT INTO fruit VALUES ('apple', 1.50), ('pear', 2.25), ('fig', NULL);")
    questions = [
        {"id": 1, "question": "Which fruit has no price?", "gold_sql": "SELECT name FROM fruit WHERE price IS NULL",
         "difficulty": "easy", "tags": ["null"]},
        {"id": 2, "question": "What is the dearest fruit?",
         "gold_sql": {"sqlite": "SELECT name FROM fruit ORDER BY price DESC LIMIT 1"}, "difficulty": "easy"},
    ]
    script(chat, {"Which fruit has no price?": "SELECT name FROM fruit WHERE price IS NULL",
                  "What is the dearest fruit?": "SELECT name FROM fruit ORDER BY price LIMIT 1"})
    for name in [k for k in os.environ if k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))]:
        monkeypatch.delenv(name)
    monkeypatch.setenv("OPENAI_BASE_URL", chat.url + "/v1")
    monkeypatch.setenv("OPENAI_API_KEY", "k")
    import zolviai.eval
    seen = []
    result = zolviai.eval.run(questions, db="sqlite:///%s" % db, sql_only=True, jobs=2,
                              out=tmp_path / "out", progress=lambda record, done, total: seen.append((done, total)))
    assert sorted(seen) == [(1, 2), (2, 2)]
    assert [r["outcome"] for r in result["records"]] == ["correct", "wrong_result"]
    assert result["summary"]["correct"] == 1 and result["summary"]["scored"] == 2
    assert result["summary"]["by_tag"]["null"]["accuracy"] == 1.0
    assert result["records"][1]["gold_rows"] == [["pear"]]
    assert zolviai.eval.headline(result["summary"]).startswith("execution accuracy 50.0% (1 of 2")
    assert json.loads((tmp_path / "out" / "summary.json").read_text())["correct"] == 1
    with pytest.raises(ValueError, match="bag"):
        zolviai.eval.run(questions, db="sqlite:///%s" % db, compare="bag")
