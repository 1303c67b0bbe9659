#!/usr/bin/python3
"""Host query tools against the Python clients hosts would otherwise use.

  eval "$(scripts/services start)"
  PYTHONPATH=build/python /usr/bin/python3 bench/bench_dbtool.py [rows]

Fetches the same table of 100,000 rows (int, text, decimal, float, timestamp, date, one column
with NULLs) into Python objects with execute_pgdb_query / execute_mysql_query, and with
psycopg2 (tuples) / PyMySQL (DictCursor) from Debian in the same run, each opening its own
connection per call as the tools do; the two clients take turns. Prints the best of several
runs and the ratios.
"""
import contextlib
import io
import os
import sys
import time
from urllib.parse import urlsplit

import psycopg2
import pymysql
import pymysql.cursors

import zolviai.dbtool as dbtool

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
RUNS = 5
QUERY = "SELECT id, label, price, ratio, created, day, note FROM bench_rows ORDER BY id"


def server(variable):
    uri = os.environ.get(variable)
    if not uri:
        sys.exit(f"{variable} is not set: run eval \"$(scripts/services start)\" first")
    p = urlsplit(uri)
    return dict(user=p.username, password=p.password, host=p.hostname, port=p.port,
                name=p.path.lstrip("/"))


def fill(cur, engine):
    cur.execute("DROP TABLE IF EXISTS bench_rows")
    cur.execute("CREATE TABLE bench_rows (id INT PRIMARY KEY, label VARCHAR(40), "
                "price DECIMAL(10,2), ratio DOUBLE PRECISION, created TIMESTAMP, day DATE, "
                "note VARCHAR(20))")
    if engine == "pg":
        cur.execute(f"""INSERT INTO bench_rows
            SELECT g, 'label number ' || g, (g % 10000) / 100.0, g / 7.0,
                   TIMESTAMP '2024-01-01 00:00:00' + g * INTERVAL '1 second',
                   DATE '2024-01-01' + (g % 365), CASE WHEN g % 3 = 0 THEN NULL ELSE 'n' END
            FROM generate_series(1, {ROWS}) g""")
    else:
        cur.execute(f"""INSERT INTO bench_rows
            WITH RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g WHERE n < {ROWS})
            SELECT n, CONCAT('label number ', n), (n % 10000) / 100.0, n / 7.0,
                   TIMESTAMP '2024-01-01 00:00:00' + INTERVAL n SECOND,
                   DATE '2024-01-01' + INTERVAL (n % 365) DAY, IF(n % 3 = 0, NULL, 'n')
            FROM g""")


def best(ours, theirs):
    """Best time of each, the two taking turns so that both see the same load."""
    times = {ours: [], theirs: []}
    rows = {}
    for _ in range(RUNS):
        for fn in (ours, theirs):
            rows.pop(fn, None)  # the previous rows are freed outside the timing
            start = time.perf_counter()
            rows[fn] = fn()
            times[fn].append(time.perf_counter() - start)
            assert len(rows[fn]) == ROWS, len(rows[fn])
    return min(times[ours]), rows[ours], min(times[theirs]), rows[theirs]


def psycopg2_fetch(s):
    conn = psycopg2.connect(user=s["user"], password=s["password"], host=s["host"],
                            port=s["port"], database=s["name"])
    try:
        cur = conn.cursor()
        cur.execute(QUERY)
        return cur.fetchall()
    finally:
        conn.close()


def pymysql_fetch(s):
    conn = pymysql.connect(host=s["host"], user=s["user"], password=s["password"],
                           database=s["name"], port=s["port"],
                           cursorclass=pymysql.cursors.DictCursor)
    try:
        with conn.cursor() as cur:
            cur.execute(QUERY)
            return cur.fetchall()
    finally:
        conn.close()


def main():
    sys.setrecursionlimit(10000)
    results = []
    pgs = server("ZOLVIAI_PG_URI")
    conn = psycopg2.connect(user=pgs["user"], password=pgs["password"], host=pgs["host"],
                            port=pgs["port"], database=pgs["name"])
    with conn, conn.cursor() as cur:
        fill(cur, "pg")
    conn.close()
    dbtool.set_database_config(pgs["name"], pgs["user"], pgs["password"], pgs["host"], pgs["port"])
    ours, our_rows, theirs, their_rows = best(lambda: dbtool.execute_pgdb_query(QUERY),
                                              lambda: psycopg2_fetch(pgs))
    assert our_rows == their_rows, "the two clients disagree on the rows"
    results.append(("PostgreSQL", "execute_pgdb_query", ours, "psycopg2", theirs))

    my = server("ZOLVIAI_MARIADB_URI")
    conn = pymysql.connect(host=my["host"], user=my["user"], password=my["password"],
                           database=my["name"], port=my["port"], autocommit=True)
    with conn.cursor() as cur:
        cur.execute("SET SESSION max_recursive_iterations = %s", (ROWS + 1,))
        fill(cur, "maria")
    conn.close()
    dbtool.set_database_config(my["name"], my["user"], my["password"], my["host"], my["port"])
    with contextlib.redirect_stdout(io.StringIO()):
        ours, our_rows, theirs, their_rows = best(lambda: dbtool.execute_mysql_query(QUERY),
                                                  lambda: pymysql_fetch(my))
    assert our_rows == list(their_rows), "the two clients disagree on the rows"
    results.append(("MariaDB", "execute_mysql_query", ours, "PyMySQL", theirs))

    print(f"{ROWS:,} rows of 7 columns into Python objects, best of {RUNS} runs each")
    for engine, ours_name, ours, ref_name, ref in results:
        print(f"{engine:10} {ours_name:20} {ours * 1000:8.1f} ms   {ref_name:9} {ref * 1000:8.1f} ms"
              f"   {ref / ours:5.2f}x as fast")


if __name__ == "__main__":
    main()
