"""The web page of zolvi serve in a real browser: headless Chromium driven by Selenium asks a
question with the keyboard, watches the steps, reads the table, sorts it, downloads the CSV,
sees the chart load, and sees a failing question explained in words.

ZOLVIAI_UPDATE_SCREENSHOT=1 also writes the screenshot the README shows (docs/serve-page.png).
"""
import os
import shutil
import time

import pytest

from serve_support import ROOT, ChatProcess, ServeProcess, answer_rules

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

TOKEN = "page-token-51c0"
QUESTION = "How are the orders spread over their status?"


@pytest.fixture
def browser(tmp_path):
    if not shutil.which("chromium") or not os.path.exists("/usr/bin/chromedriver"):
        pytest.fail("chromium and chromium-driver are needed (scripts/setup installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,1000", "--hide-scrollbars"]:
        options.add_argument(arg)
    downloads = tmp_path / "downloads"
    downloads.mkdir()
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=webdriver.ChromeService("/usr/bin/chromedriver")
                              if hasattr(webdriver, "ChromeService")
                              else webdriver.chrome.service.Service("/usr/bin/chromedriver"),
                              options=options)
    driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(downloads)})
    driver.downloads = downloads
    yield driver
    driver.quit()


def wait(driver, condition, timeout=30):
    return WebDriverWait(driver, timeout, poll_frequency=0.1).until(lambda d: condition(d))


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def ask_alone(driver, question):
    """Asks a question of its own, not a follow-up of the one before (the page would make it)."""
    button = driver.find_element(By.ID, "new-conversation")
    if button.is_enabled():
        button.click()
    ask(driver, question)


def ask(driver, question):
    box = driver.find_element(By.ID, "question")
    box.clear()
    box.send_keys(question)
    box.send_keys(Keys.ENTER)  # Enter asks


def table_rows(driver):
    return [[td.text for td in tr.find_elements(By.TAG_NAME, "td")]
            for tr in driver.find_elements(By.CSS_SELECTOR, "#table tbody tr")]


def test_the_page_answers_a_question_in_a_real_browser(browser, tmp_path):
    chat = ChatProcess()
    server = ServeProcess(tmp_path, model_url=chat.url, token=TOKEN)
    try:
        chat.script(answer_rules(media=str(server.media), delay=0.05,
                                 answer="Most orders have shipped: 1360 of 1500. 78 are pending "
                                        "and 62 were returned."))
        browser.get(server.url + "/")
        assert browser.title.startswith("zolvi")
        browser.find_element(By.CSS_SELECTOR, "#token-box summary").click()
        browser.find_element(By.ID, "token").send_keys(TOKEN)
        ask(browser, QUESTION)

        wait(browser, lambda d: d.find_element(By.ID, "answer").is_displayed())
        assert text(browser, "answer").startswith("Most orders have shipped")
        assert "GROUP BY status" in text(browser, "sql")
        steps = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "#steps li")]
        assert len(steps) >= 9, steps
        assert steps[0].startswith("Starting") and steps[-1].startswith("Writing the answer")
        assert all(s.endswith(" s") for s in steps), steps  # each with its time
        assert table_rows(browser) == [["shipped", "1,360"], ["pending", "78"], ["returned", "62"]]
        assert "(3 rows)" in text(browser, "row-count")
        assert "5 model calls" in text(browser, "usage") and "$" in text(browser, "usage")

        # The chart, fetched with the token and shown.
        wait(browser, lambda d: d.execute_script(
            "const i = document.getElementById('chart'); return i.complete && i.naturalWidth > 0;"))

        if os.environ.get("ZOLVIAI_UPDATE_SCREENSHOT") == "1":
            browser.find_element(By.CSS_SELECTOR, "#token-box summary").click()  # folded away
            for _ in range(3):  # the page's height follows its width: settle both
                height = browser.execute_script("return document.documentElement.scrollHeight")
                browser.set_window_size(1280, height + 140)
                time.sleep(0.3)
            browser.save_screenshot(os.path.join(ROOT, "docs", "serve-page.png"))
            browser.set_window_size(1280, 1000)
        browser.save_screenshot(str(tmp_path / "serve-page.png"))

        # The copy button puts the SQL on the clipboard.
        browser.execute_cdp_cmd("Browser.grantPermissions", {
            "origin": server.url, "permissions": ["clipboardReadWrite", "clipboardSanitizedWrite"]})
        browser.find_element(By.ID, "copy-sql").click()
        wait(browser, lambda d: text(d, "copy-sql") == "Copied", timeout=5)
        copied = browser.execute_async_script(
            "navigator.clipboard.readText().then(arguments[0], e => arguments[0]('failed: ' + e))")
        assert copied == text(browser, "sql")

        # Sorting by the count, both ways.
        browser.find_element(By.CSS_SELECTOR, "#table th:nth-child(2) button").click()
        assert [r[0] for r in table_rows(browser)] == ["returned", "pending", "shipped"]
        browser.find_element(By.CSS_SELECTOR, "#table th:nth-child(2) button").click()
        assert [r[0] for r in table_rows(browser)] == ["shipped", "pending", "returned"]

        # The CSV download holds the rows.
        browser.find_element(By.ID, "csv").click()
        target = browser.downloads / "result.csv"
        wait(browser, lambda d: target.exists() and target.stat().st_size > 0, timeout=15)
        assert target.read_bytes() == b"status,n\r\nshipped,1360\r\npending,78\r\nreturned,62\r\n"

        # A failing question is explained in words, and the earlier one can be opened again.
        chat.script([{"match": {}, "answer": {"tool_arguments": {"wrong_field": ["orders"]}}}])
        # A question of its own, not a follow-up of the first (which the page would make it).
        browser.find_element(By.ID, "new-conversation").click()
        ask(browser, "What breaks the model?")
        wait(browser, lambda d: d.find_element(By.ID, "error").is_displayed())
        assert "relevant_tables" in text(browser, "error") and "question_failed" in text(browser, "error")
        history = browser.find_elements(By.CSS_SELECTOR, "#history-list button")
        assert [h.text for h in history] == [QUESTION, "What breaks the model? (failed)"]
        history[0].click()
        wait(browser, lambda d: d.find_element(By.ID, "answer").is_displayed())
        assert not browser.find_element(By.ID, "error").is_displayed()
        assert len(table_rows(browser)) == 3

        # A phone-width screen: nothing wider than the screen, the question box still usable.
        browser.set_window_size(390, 844)
        overflow = browser.execute_script(
            "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
        assert overflow <= 0, overflow
        assert browser.find_element(By.ID, "question").is_displayed()
        browser.save_screenshot(str(tmp_path / "serve-page-phone.png"))
    finally:
        server.stop()
        chat.close()


def test_the_page_shows_a_missing_token_in_words(browser, tmp_path):
    chat = ChatProcess()
    server = ServeProcess(tmp_path, model_url=chat.url, token=TOKEN)
    try:
        browser.get(server.url + "/")
        ask(browser, QUESTION)
        wait(browser, lambda d: d.find_element(By.ID, "error").is_displayed())
        assert "Authorization" in text(browser, "error")
        assert browser.find_element(By.ID, "token").is_displayed()  # the token box opened
    finally:
        server.stop()
        chat.close()


def test_the_page_speaks_in_words(browser, tmp_path):
    """Steps and retries in words, numbers for reading (exact on hover and in the CSV), NULL
    apart from empty text, an empty answer shown as one, a failed SQL with its error and
    statement, the favicon, and the hooks other scripts use."""
    import sqlite3
    db = tmp_path / "shop.db"
    with sqlite3.connect(db) as conn:
        conn.execute("CREATE TABLE items (name TEXT, note TEXT, price REAL, sold INTEGER)")
        conn.execute("INSERT INTO items VALUES ('lamp', NULL, 449.4600000000003, 1234567)")
        conn.execute("INSERT INTO items VALUES ('desk', '', 0.000123456, 0)")
    rows_sql = "SELECT name, note, price, sold FROM items ORDER BY name DESC"
    empty_sql = "SELECT name FROM items WHERE name = 'sofa'"
    bad_sql = "SELECT nme FROM items"
    reworded = {"match": {"body_contains": "RewriteQueryOutput"},
                "answer": {"tool_arguments": {"rewritten_question": "What are the items called?"}}}
    chat = ChatProcess()
    server = ServeProcess(tmp_path, "--db", "sqlite:///" + str(db), model_url=chat.url)
    try:
        browser.get(server.url + "/")
        icon = browser.find_element(By.CSS_SELECTOR, "link[rel=icon]").get_attribute("href")
        assert icon.endswith("/favicon.svg")
        status, headers, body = server.call("GET", "/favicon.svg")
        assert status == 200 and headers["content-type"].startswith("image/svg+xml") and b"<svg" in body
        browser.execute_script(
            "window.seen = [];"
            "document.addEventListener('zolvi:answer', e => window.seen.push("
            "  e.detail.record ? e.detail.record.outcome : 'error'));"
            "window.zolvi.setRequestFields({note_for_other_parts: 1});")
        browser.find_element(By.ID, "sql-only").click()

        chat.script(answer_rules(sql=rows_sql, tables=("items",)))
        ask(browser, "What do the items cost?")
        wait(browser, lambda d: len(table_rows(d)) == 2)
        assert table_rows(browser) == [["lamp", "NULL", "449.46", "1,234,567"], ["desk", "", "0.000123", "0"]]
        cells = browser.find_elements(By.CSS_SELECTOR, "#table tbody td")
        assert cells[1].get_attribute("class") == "null" and cells[5].get_attribute("class") == "empty"
        assert cells[2].get_attribute("title") == "449.4600000000003"
        steps = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "#steps li")]
        assert steps[0].startswith("Starting") and any(s.startswith("Running the SQL") for s in steps), steps
        assert not any("_node" in s for s in steps), steps
        browser.find_element(By.ID, "csv").click()
        target = browser.downloads / "result.csv"
        wait(browser, lambda d: target.exists() and target.stat().st_size > 0, timeout=15)
        assert target.read_bytes() == (b"name,note,price,sold\r\nlamp,,449.4600000000003,1234567\r\n"
                                       b'desk,"",0.000123456,0\r\n')

        # Nothing found: one correction, said in words, the repeats collapsed; an answer, not an error.
        chat.script(answer_rules(sql=empty_sql, tables=("items",)))
        ask_alone(browser, "Which sofas are there?")
        wait(browser, lambda d: "No matching data" in text(d, "status"))
        steps = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "#steps li")]
        assert any("the query returned no rows \u2014 trying again, 2 of 6" in s for s in steps), steps
        assert not browser.find_element(By.ID, "error").is_displayed()
        assert table_rows(browser) == [["No rows: the query ran and found nothing."]]
        assert "(0 rows)" in text(browser, "row-count")

        # A SQL that never ran: the 422 in words, with the last error and the statement.
        chat.script([reworded] + answer_rules(sql=bad_sql, tables=("items",)))
        ask_alone(browser, "What are the names?")
        wait(browser, lambda d: d.find_element(By.ID, "error").is_displayed())
        error = text(browser, "error")
        assert "no such column" in error and "sql_failed" in error
        assert "The SQL tried last:" in error and bad_sql in error

        # The same in a full run: an answer that says it failed, for the reworded question.
        browser.find_element(By.ID, "sql-only").click()
        chat.script([reworded] + answer_rules(sql=bad_sql, tables=("items",), answer="It failed."))
        ask_alone(browser, "What are the names?")
        wait(browser, lambda d: d.find_element(By.ID, "understood").is_displayed())
        assert text(browser, "understood") == "Understood as: What are the items called?"
        assert browser.execute_script("return window.seen") == ["answered", "no_rows", "error", "sql_failed"]
    finally:
        server.stop()
        chat.close()
