"""zolvi eval with a memory of verified SQL, against the scripted chat server on the bundled
business database: the comparison with and without memory, K folds with paraphrase twins,
and a near miss never answered from memory."""
import json
import sqlite3

from test_eval import prompt, script, zolvi

WRONG = "SELECT COUNT(*) FROM employees"


def write_questions(path, questions):
    with open(path, "w") as f:
        for q in questions:
            f.write(json.dumps(q) + "\n")


def summary(tmp_path):
    with open(tmp_path / "out" / "memory_summary.json") as f:
        return json.load(f)


def records(tmp_path):
    with open(tmp_path / "out" / "with-memory" / "results.jsonl") as f:
        return {r["id"]: r for r in map(json.loads, f)}


def test_a_memory_file_answers_its_questions_and_the_report_compares_both_runs(chat, tmp_path):
    pairs = [
        {"id": "m1", "question": "How many customers are there?", "gold_sql": "SELECT COUNT(*) FROM customers"},
        {"id": "m2", "question": "How many orders were placed in 2023?",
         "gold_sql": "SELECT COUNT(*) FROM orders WHERE order_date >= '2023-01-01' AND order_date < '2024-01-01'"},
    ]
    asked = [
        {"id": "q1", "question": "how many CUSTOMERS are there", "gold_sql": pairs[0]["gold_sql"]},
        {"id": "q2", "question": "How many orders were placed in 2023 ?", "gold_sql": pairs[1]["gold_sql"]},
        # The near miss: same words, another year. Never the stored SQL as it is.
        {"id": "q3", "question": "How many orders were placed in 2024?",
         "gold_sql": "SELECT COUNT(*) FROM orders WHERE order_date >= '2024-01-01' AND order_date < '2025-01-01'"},
    ]
    write_questions(tmp_path / "memory.jsonl", pairs)
    write_questions(tmp_path / "asked.jsonl", asked)
    # The model gets every question wrong.
    script(chat, {q["question"]: WRONG for q in asked})
    run = zolvi(tmp_path, chat, str(tmp_path / "asked.jsonl"), "--sql-only", "--out",
                str(tmp_path / "out"), "--memory", str(tmp_path / "memory.jsonl"), "-j", "1")
    assert run.returncode == 0, run.stderr
    s = summary(tmp_path)
    assert s["without"]["correct"] == 0 and s["without"]["from_memory"] == 0
    assert s["with"]["correct"] == 2 and s["with"]["from_memory"] == 2
    assert s["with"]["model_calls_per_question"] < s["without"]["model_calls_per_question"]
    r = records(tmp_path)
    assert r["q1"]["from_memory"] and r["q1"]["model_calls"] == 0
    assert not r["q3"]["from_memory"] and r["q3"]["memory_examples"] >= 1
    assert r["q3"]["predicted_sql"] == WRONG
    assert "with memory" in run.stdout and "without memory" in run.stdout
    assert (tmp_path / "out" / "without-memory" / "summary.json").exists()


def test_folds_keep_paraphrase_groups_together_unless_twins_are_asked_for(chat, tmp_path):
    # Two groups whose phrasings differ only in case and spacing: a twin in memory answers.
    questions = []
    for g, (text, sql) in enumerate([("How many products are there?", "SELECT COUNT(*) FROM products"),
                                     ("How many payments are there?", "SELECT COUNT(*) FROM payments")]):
        for i, variant in enumerate([text, text.lower(), text.upper().replace(" ", "  ")]):
            questions.append({"id": "g%d-%d" % (g, i), "question": variant, "gold_sql": sql,
                              "tags": ["paraphrase:g%d" % g]})
    write_questions(tmp_path / "asked.jsonl", questions)
    script(chat, {q["question"]: WRONG for q in questions})
    for twins, reused in [(False, 0), (True, 6)]:
        args = [str(tmp_path / "asked.jsonl"), "--sql-only", "--out", str(tmp_path / "out"),
                "--folds", "3", "-j", "1"] + (["--paraphrase-twins"] if twins else [])
        run = zolvi(tmp_path, chat, *args)
        assert run.returncode == 0, run.stderr
        s = summary(tmp_path)
        assert s["with"]["from_memory"] == reused, (twins, s)
        assert s["with"]["correct"] == reused
        folds = {r["fold"] for r in records(tmp_path).values()}
        assert len(folds) == (3 if twins else 2)


def test_bird_pairs_with_their_evidence_answer_themselves_from_memory(chat, tmp_path):
    # The benchmark's questions are asked with their evidence as a hint: the memory holds them
    # as they are asked.
    (tmp_path / "dbs" / "shop").mkdir(parents=True)
    with sqlite3.connect(tmp_path / "dbs" / "shop" / "shop.sqlite") as conn:
        conn.executescript("""CREATE TABLE payments (id INTEGER PRIMARY KEY, method TEXT);
                              INSERT INTO payments (method) VALUES ('card'), ('card'), ('cash');""")
    bird = [
        {"question_id": 1, "db_id": "shop", "question": "How many payments were made by card?",
         "evidence": "by card refers to method = 'card'",
         "SQL": "SELECT COUNT(*) FROM payments WHERE method = 'card'", "difficulty": "simple"},
        {"question_id": 2, "db_id": "shop", "question": "How many payments were made in cash?",
         "evidence": "", "SQL": "SELECT COUNT(*) FROM payments WHERE method = 'cash'",
         "difficulty": "simple"},
    ]
    (tmp_path / "bird.json").write_text(json.dumps(bird))
    script(chat, {prompt({"question": q["question"], "evidence": q["evidence"]}): "SELECT COUNT(*) FROM payments"
                  for q in bird})
    run = zolvi(tmp_path, chat, str(tmp_path / "bird.json"), "--db-root", str(tmp_path / "dbs"),
                "--sql-only", "--out", str(tmp_path / "out"), "--memory", str(tmp_path / "bird.json"),
                "-j", "1")
    assert run.returncode == 0, run.stderr
    s = summary(tmp_path)
    assert s["without"]["correct"] == 0
    assert s["with"]["from_memory"] == 2 and s["with"]["correct"] == 2, s
