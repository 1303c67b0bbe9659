"""The page's conversation in headless Chromium: a follow-up continues the conversation and
shows how it was understood, "New conversation" starts over, and the side list keeps both."""
import pytest

from serve_support import ChatProcess, ServeProcess, answer_rules
from test_serve_browser import ask, browser, text, wait  # noqa: F401 (the browser fixture)

from selenium.webdriver.common.by import By  # noqa: E402

FIRST = "How are the orders spread over their status?"
FOLLOW = "and only the returned ones?"
STANDALONE = "How many orders have the status returned?"


def follow_up_calls(chat):
    return [r for r in chat.requests() if "FollowUpQuestion" in r["body"]]


def test_the_page_continues_a_conversation_and_starts_a_new_one(browser, tmp_path):  # noqa: F811
    chat = ChatProcess()
    server = ServeProcess(tmp_path, "--state-db", str(tmp_path / "state.db"), model_url=chat.url)
    try:
        chat.script([{"match": {"body_contains": "FollowUpQuestion"},
                      "answer": {"tool_arguments": {"standalone_question": STANDALONE,
                                                    "depends_on_earlier": True}}}]
                    + answer_rules(answer="Most orders have shipped."))
        browser.get(server.url + "/")
        assert "new conversation starts" in text(browser, "conversation-state")
        ask(browser, FIRST)
        wait(browser, lambda d: "1 question so far" in text(d, "conversation-state"))
        assert not browser.find_element(By.ID, "understood-as").is_displayed()
        assert follow_up_calls(chat) == []

        ask(browser, FOLLOW)
        wait(browser, lambda d: d.find_element(By.ID, "understood-as").is_displayed())
        assert text(browser, "understood-as") == "Understood as: " + STANDALONE
        assert "2 questions so far" in text(browser, "conversation-state")
        [call] = follow_up_calls(chat)
        assert "Question: " + FIRST in call["body"]

        browser.find_element(By.ID, "new-conversation").click()
        assert "new conversation starts" in text(browser, "conversation-state")
        ask(browser, FIRST)
        wait(browser, lambda d: "1 question so far" in text(d, "conversation-state"))
        assert len(follow_up_calls(chat)) == 1  # the new conversation's first question asks none
        items = browser.find_elements(By.CSS_SELECTOR, "#conversation-list li")
        assert len(items) == 2 and "(current)" in items[0].text
    finally:
        server.stop()
        chat.close()
