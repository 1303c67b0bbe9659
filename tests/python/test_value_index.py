"""The database's own values in a question's run, as the zolvi command shows it: the values the
question names in the SQL-generation prompt, a wrong literal sent back before the query runs,
the diagnosis of an empty result, excluded columns, and zolvi schema --values."""
import json

from conftest import tool
from test_cli import zolvi

def model_env(chat):
    return {"OPENAI_BASE_URL": chat.url + "/v1", "OPENAI_API_KEY": "k"}


def prompts(chat):
    """Each model request's messages as one text."""
    return ["\n".join(m.get("content") or "" for m in r["json"]["messages"])
            for r in chat.requests() if r["json"] and "messages" in r["json"]]


def ask_json(chat, tmp_path, question, *flags):
    run = zolvi(tmp_path, "ask", "--sql-only", "--json", *flags, question, env=model_env(chat))
    assert run.returncode in (0, 1), run.stderr
    return json.loads(run.stdout), run


def test_a_wrong_literal_is_sent_back_before_the_query_runs(chat, tmp_path):
    wrong = "SELECT COUNT(*) FROM customers WHERE country = 'Germny'"
    right = "SELECT COUNT(*) FROM customers WHERE country = 'Germany'"
    chat.queue(tool("RelevantTablesOutput", relevant_tables=["customers"]),
               tool("SQLQueryInput", sql_query=wrong), {"content": wrong},
               tool("SQLQueryInput", sql_query=right), {"content": right})
    record, run = ask_json(chat, tmp_path, "How many customers are in Germny?")
    assert record["outcome"] == "answered", run.stderr
    first, second = record["attempts"]
    # The first statement never reached the database: the check stopped it.
    assert not first["success"] and first["row_count"] == 0
    assert first["error"].startswith("Literal check (the query was not run)")
    assert second["success"] and record["rows"] == [[15]]
    seen = prompts(chat)
    generation, correction = seen[1], seen[3]
    assert "customers.country = 'Germany' -- 15 rows" in generation
    assert "'Germny' never occurs in customers.country; close values: 'Germany' (15 rows)" in correction
    hints = {(h["table"], h["column"], h["value"]) for h in record["value_hints"]}
    assert hints == {("customers", "country", "Germany"), ("orders", "ship_country", "Germany")}


def test_a_question_without_values_keeps_its_prompt_as_it_was(chat, tmp_path):
    query = "SELECT COUNT(*) FROM orders"
    chat.queue(tool("RelevantTablesOutput", relevant_tables=["orders"]),
               tool("SQLQueryInput", sql_query=query), {"content": query})
    record, run = ask_json(chat, tmp_path, "How many orders were placed in 2023?")
    assert record["outcome"] == "answered", run.stderr
    assert record["value_hints"] == []
    assert all("Values_from_the_database" not in p for p in prompts(chat))


def test_an_empty_result_comes_back_with_the_date_range_the_column_holds(chat, tmp_path):
    empty = "SELECT order_id FROM orders WHERE order_date >= '2026-01-01'"
    fixed = "SELECT order_id FROM orders WHERE order_date >= '2024-12-01' ORDER BY order_id LIMIT 3"
    chat.queue(tool("RelevantTablesOutput", relevant_tables=["orders"]),
               tool("SQLQueryInput", sql_query=empty), {"content": empty},
               tool("SQLQueryInput", sql_query=fixed), {"content": fixed})
    record, run = ask_json(chat, tmp_path, "Which orders were placed this year?")
    assert record["outcome"] == "answered", run.stderr
    assert record["attempts"][0]["error"] == "the query returned no rows"
    correction = prompts(chat)[3]
    assert "orders.order_date holds values from 2023-01-01 to" in correction
    assert "outside that range" in correction


def test_excluded_columns_never_reach_a_prompt(chat, tmp_path):
    query = "SELECT COUNT(*) FROM customers WHERE contact_name = 'Yoshi'"
    chat.queue(tool("RelevantTablesOutput", relevant_tables=["customers"]),
               tool("SQLQueryInput", sql_query=query), {"content": query})
    record, run = ask_json(chat, tmp_path, "How many customers have Yoshi as contact in Germany?",
                           "--no-values", "customers.contact_name,employees.*")
    assert record["outcome"] == "answered", run.stderr
    hints = [(h["table"], h["column"]) for h in record["value_hints"]]
    assert ("customers", "country") in hints  # the index is on
    assert ("customers", "contact_name") not in hints
    assert all("customers.contact_name = " not in p for p in prompts(chat))


def test_schema_values_lists_a_tables_values_with_their_counts(tmp_path):
    run = zolvi(tmp_path, "schema", "--values", "customers", "--values", "orders")
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert "customers.country (8 distinct values, all kept)" in lines
    assert "  'Germany'\t15" in lines
    assert any(line.startswith("orders.order_date: from 2023-01-01 to ") for line in lines)
    excluded = zolvi(tmp_path, "schema", "--values", "customers", "--no-values", "customers.country")
    assert excluded.returncode == 0 and "customers.country" not in excluded.stdout
    unknown = zolvi(tmp_path, "schema", "--values", "nosuch")
    assert unknown.returncode != 0 and "nosuch" in unknown.stderr


def test_a_python_host_sees_the_hints_and_can_exclude_columns(tmp_path):
    from zolviai.flow_graph.custom_sql import CustomSQLDatabase
    zolvi(tmp_path, "tables")  # makes the sample database under tmp_path
    path = tmp_path / "cache" / "zolviai" / "business.db"
    db = CustomSQLDatabase.from_uri(f"sqlite:///{path}")
    found = {(h["table"], h["column"], h["value"]): h for h in db.value_hints("How many customers are in Germny?")}
    assert found[("customers", "country", "Germany")]["rows"] == 15
    assert found[("customers", "country", "Germany")]["phrase"] == "Germny"
    private = CustomSQLDatabase.from_uri(f"sqlite:///{path}", no_values=["customers.country"])
    assert all(h["column"] != "country" or h["table"] != "customers"
               for h in private.value_hints("How many customers are in Germny?"))
    assert CustomSQLDatabase.from_uri(f"sqlite:///{path}", value_index=False).value_hints("Germany") == []
