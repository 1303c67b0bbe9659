"""Reference for bench_sql_schema: the table list and the description of every table (CREATE
TABLE text and three sample rows) through SQLAlchemy's reflection, the way a Python SQL
database wrapper builds them.

Usage: /usr/bin/python3 reference_schema_reflection.py postgresql+psycopg2://user:pw@host:port/db
       /usr/bin/python3 reference_schema_reflection.py mysql+pymysql://user:pw@host:port/db
Prints one JSON line: {"seconds": ..., "tables": ..., "chars": ...}.
"""
import json
import sys
import time

from sqlalchemy import MetaData, create_engine, inspect, select
from sqlalchemy.schema import CreateTable


def describe(engine):
    inspector = inspect(engine)
    names = sorted(inspector.get_table_names() + inspector.get_view_names())
    metadata = MetaData()
    metadata.reflect(bind=engine, only=names, views=True)
    parts = []
    with engine.connect() as connection:
        for name in names:
            table = metadata.tables[name]
            text = str(CreateTable(table).compile(engine)).rstrip()
            rows = connection.execute(select(table).limit(3)).fetchall()
            sample = "\t".join(c.name for c in table.columns) + "\n"
            sample += "\n".join("\t".join(str(v)[:100] for v in row) for row in rows)
            parts.append(f"{text}\n\n/*\n3 rows from {name} table:\n{sample}\n*/")
    return ", ".join(names), "\n\n".join(parts)


def main():
    engine = create_engine(sys.argv[1])
    start = time.perf_counter()
    names, info = describe(engine)
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "tables": names.count(", ") + 1, "chars": len(info)}))


if __name__ == "__main__":
    main()
