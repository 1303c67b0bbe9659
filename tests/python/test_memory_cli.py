"""zolvi memory from the command line: Spider's and BIRD's gold files imported as certified
pairs (what does not run, or names a database that is not there, reported and left out), the
entries listed per database, and `check` retiring an entry whose column was dropped."""
import json
import os
import sqlite3
import subprocess

from conftest import ROOT

BUILD = os.environ.get("ZOLVIAI_BUILD_DIR", os.path.join(ROOT, "build"))
ZOLVI = os.path.join(BUILD, "bin", "zolvi")


def zolvi(tmp_path, *args):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "AZURE_OPENAI_", "ZOLVI_"))}
    env.update(XDG_CACHE_HOME=str(tmp_path / "cache"), XDG_STATE_HOME=str(tmp_path / "xdg-state"))
    return subprocess.run([ZOLVI, *args], capture_output=True, text=True, timeout=120, env=env,
                          cwd=tmp_path)


def make_databases(root):
    """Two databases laid out as the benchmarks ship them: <root>/<name>/<name>.sqlite."""
    for name, script in {
        "concert": """CREATE TABLE singer (singer_id INTEGER PRIMARY KEY, name TEXT, age INTEGER,
                                           country TEXT);
                      INSERT INTO singer VALUES (1, 'Joe Sharp', 52, 'Netherlands'),
                          (2, 'Timbaland', 32, 'United States'), (3, 'Justin Brown', 29, 'France'),
                          (4, 'Rose White', 41, 'France');""",
        "shop": """CREATE TABLE product (product_id INTEGER PRIMARY KEY, name TEXT, price REAL);
                   INSERT INTO product VALUES (1, 'lamp', 12.5), (2, 'chair', 40.0);""",
    }.items():
        (root / name).mkdir(parents=True)
        with sqlite3.connect(root / name / (name + ".sqlite")) as conn:
            conn.executescript(script)
    return root


def uri(root, name):
    return "sqlite:///%s" % (root / name / (name + ".sqlite"))


def entries(tmp_path, state, root, name):
    run = zolvi(tmp_path, "memory", "list", "--db", uri(root, name), "--state-db", state, "--json")
    assert run.returncode == 0, run.stderr
    return sorted(json.loads(run.stdout), key=lambda e: e["question"])


SPIDER = [
    {"db_id": "concert", "question": "How many singers do we have?",
     "query": "SELECT count(*) FROM singer"},
    {"db_id": "concert", "question": "What are the names of the singers from France?",
     "query": "SELECT name FROM singer WHERE country = 'France'"},
    {"db_id": "shop", "question": "What is the price of the cheapest product?",
     "query": "SELECT min(price) FROM product"},
    # Spider's own slips and what a gold file must never carry.
    {"db_id": "concert", "question": "What is the average singer height?",
     "query": "SELECT avg(height) FROM singer"},
    {"db_id": "museum", "question": "How many museums are there?",
     "query": "SELECT count(*) FROM museum"},
    {"db_id": "concert", "question": "Remove every singer",
     "query": "DELETE FROM singer"},
    {"db_id": "../concert", "question": "How many singers are from France?",
     "query": "SELECT count(*) FROM singer WHERE country = 'France'"},
    {"db_id": "concert", "question": "Which countries do the singers come from?",
     "query": "SELECT DISTINCT country FROM singer ORDER BY country"},
]

BIRD = [
    {"question_id": 40, "db_id": "concert", "question": "How many singers are older than 40?",
     "evidence": "older than 40 refers to age > 40", "SQL": "SELECT COUNT(*) FROM singer WHERE age > 40",
     "difficulty": "simple"},
    {"question_id": 41, "db_id": "shop", "question": "Which product costs the most?",
     "evidence": "", "SQL": "SELECT name FROM product ORDER BY price DESC LIMIT 1",
     "difficulty": "simple"},
    {"question_id": 42, "db_id": "shop", "question": "How many orders were paid by card?",
     "evidence": "card refers to method = 'card'", "SQL": "SELECT COUNT(*) FROM orders WHERE method = 'card'",
     "difficulty": "moderate"},
]


def test_spider_and_bird_gold_files_are_imported_as_certified_pairs_and_checked(tmp_path):
    root = make_databases(tmp_path / "databases")
    state = str(tmp_path / "state" / "state.db")
    (tmp_path / "dev.json").write_text(json.dumps(SPIDER))
    (tmp_path / "bird.json").write_text(json.dumps(BIRD))

    # Databases named by name need the folder that holds them: said before anything is stored.
    run = zolvi(tmp_path, "memory", "import", str(tmp_path / "dev.json"), "--state-db", state)
    assert run.returncode != 0 and "--db-root" in run.stderr, run.stderr
    assert entries(tmp_path, state, root, "concert") == []

    run = zolvi(tmp_path, "memory", "import", str(tmp_path / "dev.json"), "--db-root", str(root),
                "--state-db", state, "--by", "gold")
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["imported 4 of 8 pairs (4 skipped)"], run.stdout
    skipped = [line for line in run.stderr.splitlines() if "not imported" in line]
    # Spider's ids are positions in the file; each line says why, and the pairs after a bad
    # one are imported still.
    assert [line.split()[2] for line in skipped] == ["3", "4", "5", "6"], run.stderr
    assert "height" in skipped[0]
    assert "museum" in skipped[1]
    assert "refused" in skipped[2].lower(), skipped[2]
    assert "../concert" in skipped[3]

    concert = entries(tmp_path, state, root, "concert")
    assert [(e["question"], e["sql"]) for e in concert] == sorted(
        (SPIDER[i]["question"], SPIDER[i]["query"]) for i in (0, 1, 7))
    assert all(e["state"] == "certified" and e["source"] == "import" and e["certified_by"] == "gold"
               and e["engine"] == "sqlite" and list(e["tables"]) == ["singer"] for e in concert)
    shop = entries(tmp_path, state, root, "shop")
    assert [(e["question"], e["sql"]) for e in shop] == [(SPIDER[2]["question"], SPIDER[2]["query"])]
    # The refused statement was never run: the file opened for the import keeps its rows.
    with sqlite3.connect(root / "concert" / "concert.sqlite") as conn:
        assert conn.execute("SELECT count(*) FROM singer").fetchone() == (4,)

    # Importing the same file again replaces its entries rather than adding twins.
    again = zolvi(tmp_path, "memory", "import", str(tmp_path / "dev.json"), "--db-root", str(root),
                  "--state-db", state, "--format", "spider")
    assert again.returncode == 0 and "imported 4 of 8 pairs" in again.stdout, again.stderr
    assert [e["question"] for e in entries(tmp_path, state, root, "concert")] == \
        [e["question"] for e in concert]

    run = zolvi(tmp_path, "memory", "import", str(tmp_path / "bird.json"), "--db-root", str(root),
                "--state-db", state)
    assert run.returncode == 0, run.stderr
    assert "imported 2 of 3 pairs (1 skipped)" in run.stdout, run.stdout
    assert "question 42 not imported" in run.stderr and "orders" in run.stderr
    concert = entries(tmp_path, state, root, "concert")
    bird = [e for e in concert if e["question"] == BIRD[0]["question"]]
    assert len(bird) == 1 and bird[0]["sql"] == BIRD[0]["SQL"] and bird[0]["state"] == "certified"
    assert bird[0]["slots"] == [{"type": "number", "value": "40"}]
    assert BIRD[1]["question"] in [e["question"] for e in entries(tmp_path, state, root, "shop")]

    # A dropped column retires the entries that read it, and only those.
    with sqlite3.connect(root / "concert" / "concert.sqlite") as conn:
        conn.execute("ALTER TABLE singer DROP COLUMN country")
    run = zolvi(tmp_path, "memory", "check", "--db", uri(root, "concert"), "--state-db", state,
                "--json")
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    assert (report["checked"], report["certified"], report["failing"]) == (4, 2, 2), report
    states = {e["question"]: e["state"] for e in entries(tmp_path, state, root, "concert")}
    assert states == {SPIDER[0]["question"]: "certified", SPIDER[1]["question"]: "failing",
                      SPIDER[7]["question"]: "failing", BIRD[0]["question"]: "certified"}
    assert all(e["state"] == "certified" for e in entries(tmp_path, state, root, "shop"))
