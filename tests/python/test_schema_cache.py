"""The schema cache and table pruning as a Python host reaches them: the keywords of
CustomSQLDatabase.from_uri, the fingerprint, and a cache file that a second process uses."""
import os
import sqlite3

import pytest

from conftest import tool
from zolviai.flow_graph.custom_sql import CustomSQLDatabase
from zolviai.function_calling.base import RelevantTablePicker
from zolviai.settings import AzureOpenAIChat35


def make_database(path, tables):
    con = sqlite3.connect(path)
    for name in tables:
        con.execute(f"CREATE TABLE {name} (id INTEGER PRIMARY KEY, {name}_name TEXT)")
        con.execute(f"INSERT INTO {name} ({name}_name) VALUES ('first {name}')")
    con.commit()
    con.close()


def test_fingerprint_and_cache_file(tmp_path):
    path = tmp_path / "shop.db"
    make_database(path, ["customer", "invoice"])
    cache = tmp_path / "cache"
    db = CustomSQLDatabase.from_uri(f"sqlite:///{path}", schema_cache=str(cache))
    before = db.schema_fingerprint()
    assert "CREATE TABLE customer" in db.get_table_info_no_throw(["customer"])
    files = os.listdir(cache)
    assert len(files) == 1
    # Rows do not move the fingerprint; a new table does.
    con = sqlite3.connect(path)
    con.execute("INSERT INTO customer (customer_name) VALUES ('second')")
    con.commit()
    assert db.schema_fingerprint() == before
    con.execute("CREATE TABLE refund (id INTEGER PRIMARY KEY)")
    con.commit()
    con.close()
    assert db.schema_fingerprint() != before
    assert "refund" in db.get_usable_table_names()
    # A damaged cache file is ignored, never trusted.
    (cache / files[0]).write_text("{not json")
    again = CustomSQLDatabase.from_uri(f"sqlite:///{path}", schema_cache=str(cache))
    assert sorted(again.get_usable_table_names()) == ["customer", "invoice", "refund"]


def test_pruning_keywords_reach_the_picker(chat, tmp_path):
    path = tmp_path / "many.db"
    make_database(path, ["customer", "invoice", "supplier", "warehouse", "shipment"])
    settings = AzureOpenAIChat35(azure_deployment="d", azure_endpoint=chat.url, api_key="k",
                                 api_version="v")
    state = {"user_question": "Which supplier delivered most?", "rewritten_question": "",
             "table_names_from_db": "customer, invoice, shipment, supplier, warehouse"}

    def prompt_seen(db):
        chat.queue(tool("RelevantTablesOutput", relevant_tables=["supplier"]))
        assert RelevantTablePicker(config=settings, db=db).invoke(state) == {
            "relevant_tables": ["supplier"]}
        return str(chat.requests()[-1]["json"]["messages"])

    pruned = prompt_seen(
        CustomSQLDatabase.from_uri(f"sqlite:///{path}", prune_threshold=3, prune_top_k=1))
    assert "supplier" in pruned and "warehouse" not in pruned and "customer" not in pruned
    assert "warehouse" in prompt_seen(CustomSQLDatabase.from_uri(f"sqlite:///{path}"))
    with pytest.raises(TypeError):
        CustomSQLDatabase.from_uri(f"sqlite:///{path}", prune_top_k="many")
