"""The memory of verified SQL on the page, in headless Chromium: "Correct" certifies the
answer's SQL for its question, "Edit SQL" runs an edited statement and "Save as correct"
certifies it instead, and the question asked again is answered from memory, without SQL
written. A follow-up is certified as the question it was understood as."""
import pytest

from serve_support import ChatProcess, ServeProcess, answer_rules
from test_serve_browser import ask, ask_alone, browser, table_rows, text, wait  # noqa: F401

from selenium.webdriver.common.by import By  # noqa: E402

QUESTION = "How are the orders spread over their status?"
WRITTEN = "SELECT status, COUNT(*) AS n FROM orders GROUP BY status ORDER BY n DESC"
EDITED = "SELECT status, COUNT(*) AS orders FROM orders GROUP BY status ORDER BY status"
# What the model writes once the memory should have answered: never shown if it did.
WRONG = "SELECT COUNT(*) AS n FROM orders"


def sql_generations(chat):
    return [r for r in chat.requests() if "SQLQueryInput" in (r.get("body") or "")]


def memory_status(driver):
    return text(driver, "memory-status")


def entries(server):
    status, _, body = server.json("GET", "/v1/memory")
    assert status == 200, body
    return body["entries"]


def answered(driver, answer):
    """The run on screen is finished and shows this answer."""
    return (not driver.find_element(By.ID, "ask-button").get_attribute("disabled")
            and driver.find_element(By.ID, "answer").is_displayed() and text(driver, "answer") == answer)


@pytest.fixture
def chat():
    server = ChatProcess()
    yield server
    server.close()


def test_correct_and_edited_sql_are_certified_and_the_question_is_then_answered_from_memory(
        browser, chat, tmp_path):  # noqa: F811
    server = ServeProcess(tmp_path, "--state-db", str(tmp_path / "state.db"), model_url=chat.url)
    try:
        chat.script(answer_rules(sql=WRITTEN, answer="Most orders have shipped."))
        browser.get(server.url + "/")
        ask(browser, QUESTION)
        wait(browser, lambda d: answered(d, "Most orders have shipped."))
        assert text(browser, "sql") == WRITTEN
        assert memory_status(browser) == ""
        answer_rows = table_rows(browser)
        assert len(answer_rows) == 3

        browser.find_element(By.ID, "memory-correct").click()
        wait(browser, lambda d: memory_status(d).startswith("Saved as correct"))
        [entry] = entries(server)
        assert (entry["question"], entry["sql"], entry["source"], entry["state"]) == \
            (QUESTION, WRITTEN, "page", "certified")
        assert "#%d" % entry["id"] in memory_status(browser)

        # Edit SQL: the editor opens on the answer's statement; Run shows the edited one's
        # rows under it and leaves the answer's table as it was.
        assert not browser.find_element(By.ID, "memory-editor").is_displayed()
        browser.find_element(By.ID, "memory-edit").click()
        editor = browser.find_element(By.ID, "memory-sql")
        assert editor.is_displayed() and editor.get_attribute("value") == WRITTEN
        # As wide as the statement it edits, not a box a few words wide.
        assert editor.size["width"] >= 0.95 * browser.find_element(By.ID, "sql").size["width"]
        editor.clear()
        editor.send_keys(EDITED)
        browser.find_element(By.ID, "memory-run").click()
        wait(browser, lambda d: memory_status(d) == "3 row(s).")
        edited_rows = [[td.text for td in tr.find_elements(By.TAG_NAME, "td")]
                       for tr in browser.find_elements(By.CSS_SELECTOR, "#memory-table tbody tr")]
        status, _, ran = server.json("POST", "/v1/sql", {"sql": EDITED})
        assert status == 200, ran
        assert [row[0] for row in edited_rows] == [row[0] for row in ran["rows"]]
        assert [row[0] for row in edited_rows] == sorted(row[0] for row in answer_rows)
        assert table_rows(browser) == answer_rows

        browser.find_element(By.ID, "memory-save").click()
        wait(browser, lambda d: memory_status(d).startswith("Saved as correct")
             and "#%d" % entry["id"] not in memory_status(d))
        [saved] = entries(server)
        assert (saved["question"], saved["sql"], saved["source"]) == (QUESTION, EDITED, "page")
        assert "#%d" % saved["id"] in memory_status(browser)

        # The question again, in a conversation of its own: the certified statement answers.
        chat.script(answer_rules(sql=WRONG, answer="Shipped orders lead."))
        ask_alone(browser, QUESTION)
        wait(browser, lambda d: answered(d, "Shipped orders lead."))
        assert memory_status(browser).startswith("Answered from memory (#%d" % saved["id"])
        assert text(browser, "sql") == EDITED
        assert [row[0] for row in table_rows(browser)] == [row[0] for row in ran["rows"]]
        assert sql_generations(chat) == []
        assert entries(server)[0]["uses"] == 1
        browser.save_screenshot(str(tmp_path / "memory-page.png"))
    finally:
        assert server.stop() == 0, server.stderr()


FIRST = "How many orders are there?"
FOLLOW = "and only the returned ones?"
STANDALONE = "How many orders have the status returned?"
RETURNED = "SELECT COUNT(*) AS n FROM orders WHERE status = 'returned'"
PAYMENTS = "How many payments are there?"


def run(driver, chat, question, answer, sql=WRONG, understood_as=None, alone=False,
        tables=("orders",)):
    """Asks as a person would (alone: in a new conversation) with the model scripted to write
    sql, understand a follow-up as understood_as and answer with answer; waits for the answer."""
    rules = []
    if understood_as:
        rules.append({"match": {"body_contains": "FollowUpQuestion"},
                      "answer": {"tool_arguments": {"standalone_question": understood_as,
                                                    "depends_on_earlier": True}}})
    chat.script(rules + answer_rules(sql=sql, answer=answer, tables=tables))
    (ask_alone if alone else ask)(driver, question)
    wait(driver, lambda d: answered(d, answer))
    if understood_as:
        assert text(driver, "understood-as") == "Understood as: " + understood_as


def test_a_follow_up_is_certified_and_reused_as_the_question_it_was_understood_as(
        browser, chat, tmp_path):  # noqa: F811
    server = ServeProcess(tmp_path, "--state-db", str(tmp_path / "state.db"), model_url=chat.url)
    try:
        browser.get(server.url + "/")
        run(browser, chat, FIRST, "1500 orders.", sql="SELECT COUNT(*) AS n FROM orders")
        run(browser, chat, FOLLOW, "62 were returned.", sql=RETURNED, understood_as=STANDALONE)
        browser.find_element(By.ID, "memory-correct").click()
        wait(browser, lambda d: memory_status(d).startswith("Saved as correct"))
        [entry] = entries(server)
        # The words typed mean nothing alone: the entry holds what they were understood as.
        assert (entry["question"], entry["sql"]) == (STANDALONE, RETURNED)

        # The same follow-up in another conversation about orders: answered from memory.
        run(browser, chat, FIRST, "There are 1500.", alone=True)
        run(browser, chat, FOLLOW, "Returned: 62.", understood_as=STANDALONE)
        assert memory_status(browser).startswith("Answered from memory (#%d" % entry["id"])
        assert text(browser, "sql") == RETURNED
        assert sql_generations(chat) == []

        # The same words after a question about payments mean another question: not reused.
        payments = "SELECT COUNT(*) AS n FROM payments"
        run(browser, chat, PAYMENTS, "Payments: 1400.", sql=payments, alone=True,
            tables=("payments",))
        run(browser, chat, FOLLOW, "None were returned.", sql=payments, tables=("payments",),
            understood_as="How many payments were returned?")
        assert memory_status(browser) == ""
        assert text(browser, "sql") == payments
        assert len(sql_generations(chat)) == 1
    finally:
        assert server.stop() == 0, server.stderr()
