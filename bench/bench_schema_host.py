#!/usr/bin/python3
"""Cold schema reads through the Python host path, stage by stage, against SQLAlchemy.

  eval "$(scripts/services start)"
  build/bench/bench_sql_schema      # creates zolvi_bench_schema (2,000 tables x 20 columns)
  PYTHONPATH=build/python /usr/bin/python3 bench/bench_schema_host.py [runs]

For PostgreSQL, MariaDB and a SQLite file of the same shape: CustomSQLDatabase.from_uri, then
get_usable_table_names() and get_table_info_no_throw() over every table (CREATE TABLE text and
three sample rows each), each stage timed; then bench/reference_schema_reflection.py (Debian's
python3-sqlalchemy) on the same database in the same run. Prints, per engine, the range
(best..worst) of each stage over the runs and the ratio of the best total to SQLAlchemy's.
"""
import json
import os
import sqlite3
import subprocess
import sys
import tempfile
import time
from urllib.parse import urlsplit, urlunsplit

from zolviai.flow_graph.custom_sql import CustomSQLDatabase

RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 3
TABLES = 2000
DATABASE = "zolvi_bench_schema"
HERE = os.path.dirname(os.path.abspath(__file__))


def with_database(uri, scheme):
    p = urlsplit(uri)
    return urlunsplit((scheme, p.netloc, "/" + DATABASE, "", ""))


def sqlite_file():
    """A SQLite file of the same shape as the server databases (made once per run)."""
    path = os.path.join(tempfile.mkdtemp(), "schema.db")
    with sqlite3.connect(path) as c:
        for i in range(1, TABLES + 1):
            parent = f" REFERENCES t{i // 2} (id)" if i > 1 else ""
            c.execute(f"""CREATE TABLE t{i} (id integer PRIMARY KEY, parent_id integer{parent},
                name varchar(80) NOT NULL, note text, amount numeric(12, 2), ratio double,
                active boolean, created_at timestamp, day date, code char(4), qty integer,
                big bigint, small smallint, price numeric(10, 2), label varchar(40), flag boolean,
                seen_at timestamp, descr text, score real, extra text)""")
            c.executemany(f"INSERT INTO t{i} (id, parent_id, name, note, amount, ratio, qty) "
                          "VALUES (?, ?, ?, ?, ?, ?, ?)",
                          [(g, g if i > 1 else None, f"name {g}", "n" * 150, g * 1.25, g / 3, g)
                           for g in range(1, 6)])
    return path


def ours(uri):
    stages = {}
    start = time.perf_counter()
    db = CustomSQLDatabase.from_uri(uri, allow_privileged_role=True)
    stages["from_uri"] = time.perf_counter() - start
    mark = time.perf_counter()
    names = db.get_usable_table_names()
    stages["table names"] = time.perf_counter() - mark
    mark = time.perf_counter()
    info = db.get_table_info_no_throw(names)
    stages["descriptions"] = time.perf_counter() - mark
    stages["total"] = time.perf_counter() - start
    assert len(names) == TABLES and not info.startswith("Error"), info[:300]
    return stages


def reference(uri):
    out = subprocess.run([sys.executable, os.path.join(HERE, "reference_schema_reflection.py"),
                          uri], capture_output=True, text=True, check=True).stdout
    return json.loads(out)["seconds"]


def main():
    targets = []
    if os.environ.get("ZOLVIAI_PG_URI"):
        uri = os.environ["ZOLVIAI_PG_URI"]
        targets.append(("PostgreSQL", with_database(uri, "postgresql"),
                        with_database(uri, "postgresql+psycopg2")))
    if os.environ.get("ZOLVIAI_MARIADB_URI"):
        uri = os.environ["ZOLVIAI_MARIADB_URI"]
        targets.append(("MariaDB", with_database(uri, "mysql"),
                        with_database(uri, "mysql+pymysql")))
    path = sqlite_file()
    targets.append(("SQLite", "sqlite:///" + path, "sqlite:///" + path))
    print(f"{TABLES} tables x 20 columns: from_uri, table names, descriptions of every table; "
          f"{RUNS} runs each")
    for label, uri, ref_uri in targets:
        runs = [ours(uri) for _ in range(RUNS)]
        theirs = reference(ref_uri)
        parts = ", ".join(f"{k} {min(r[k] for r in runs) * 1000:.0f}..{max(r[k] for r in runs) * 1000:.0f} ms"
                          for k in runs[0])
        best = min(r["total"] for r in runs)
        print(f"{label:10} {parts}; SQLAlchemy {theirs:.2f} s; {theirs / best:.0f}x "
              f"({theirs / max(r['total'] for r in runs):.0f}x on the worst run)")


if __name__ == "__main__":
    main()
