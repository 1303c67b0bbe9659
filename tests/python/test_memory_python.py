"""db.memory for Python hosts: certify, search, list and remove verified SQL of one database."""
import sqlite3

import pytest

from zolviai._memory import Memory
from zolviai.errors import DatabaseError
from zolviai.flow_graph.custom_sql import CustomSQLDatabase


def test_a_python_host_certifies_finds_and_removes_verified_sql(tmp_path):
    path = tmp_path / "shop.db"
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE orders (id INTEGER PRIMARY KEY, status TEXT)")
        conn.executemany("INSERT INTO orders (status) VALUES (?)", [("open",), ("shipped",)])
    db = CustomSQLDatabase.from_uri("sqlite:///%s" % path)
    memory = Memory(db, str(tmp_path / "state" / "state.db"))
    entry = memory.add("How many orders are open?", "SELECT COUNT(*) FROM orders WHERE status = 'open'",
                       by="ana")
    assert entry["state"] == "certified" and entry["tables"].keys() == {"orders"}
    assert entry["certified_by"] == "ana" and entry["slots"] == []
    for bad in ["DROP TABLE orders", "SELECT missing FROM orders"]:
        with pytest.raises(DatabaseError):
            memory.add("Something else", bad)
    assert [e["id"] for e in memory.list()] == [entry["id"]]
    assert memory.search("open orders")[0]["id"] == entry["id"]
    # Another process opening the same state file sees the entry.
    assert [e["id"] for e in Memory(db, str(tmp_path / "state" / "state.db")).list()] == [entry["id"]]
    assert memory.remove(entry["id"]) is True
    assert memory.remove(entry["id"]) is False
    assert memory.list() == []
