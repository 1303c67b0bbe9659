"""The scripted chat-completions server that every model test relies on: its answers must have
the real response shape, its faults must reach the client as real HTTP faults, and its log must
record what was sent."""
import http.client
import json
import os
import subprocess
import time
import urllib.error
import urllib.request
import zlib

import pytest

from conftest import ROOT


def post(url, payload, headers=None, timeout=10):
    data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
    request = urllib.request.Request(url, data=data, method="POST",
                                     headers={"Content-Type": "application/json", **(headers or {})})
    with urllib.request.urlopen(request, timeout=timeout) as response:
        return response.status, dict(response.headers), response.read().decode()


def get(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return json.loads(response.read())


TOOL_REQUEST = {
    "messages": [{"role": "user", "content": "Which artist?"}],
    "tools": [{"type": "function", "function": {"name": "SQLQueryInput", "parameters": {}}}],
    "tool_choice": {"type": "function", "function": {"name": "SQLQueryInput"}},
}


@pytest.mark.parametrize("path", ["/openai/deployments/d35/chat/completions?api-version=2024-10-21",
                                  "/chat/completions", "/v1/chat/completions"])
def test_answers_have_the_chat_completion_shape(chat, path):
    chat.queue({"content": "hello", "model": "gpt-35-turbo",
                "usage": {"prompt_tokens": 12, "completion_tokens": 3}})
    status, _, body = post(chat.url + path, {"messages": [{"role": "user", "content": "hi"}]})
    answer = json.loads(body)
    assert status == 200
    assert answer["object"] == "chat.completion"
    assert answer["model"] == "gpt-35-turbo"
    assert isinstance(answer["created"], int) and answer["id"].startswith("chatcmpl-")
    assert answer["choices"] == [{"index": 0, "finish_reason": "stop",
                                  "message": {"role": "assistant", "content": "hello"}}]
    assert answer["usage"] == {"prompt_tokens": 12, "completion_tokens": 3, "total_tokens": 15}


def test_tool_answers_call_the_forced_tool_and_may_carry_unfit_arguments(chat):
    chat.queue({"tool_arguments": {"sql_query": "SELECT 1"}},
               {"tool_arguments": '{"sql_query": "SELECT'},
               {"tool_arguments": {"query": 42}})
    arguments = []
    for _ in range(3):
        answer = json.loads(post(chat.url + "/chat/completions", TOOL_REQUEST)[2])
        choice = answer["choices"][0]
        assert choice["finish_reason"] == "tool_calls"
        assert choice["message"]["content"] is None
        call = choice["message"]["tool_calls"][0]
        assert call["type"] == "function" and call["function"]["name"] == "SQLQueryInput"
        arguments.append(call["function"]["arguments"])
    assert json.loads(arguments[0]) == {"sql_query": "SELECT 1"}
    assert arguments[1] == '{"sql_query": "SELECT'  # sent as scripted: not JSON
    assert json.loads(arguments[2]) == {"query": 42}


def test_rules_match_the_request_before_the_queue_and_are_reused(chat):
    chat.queue({"content": "queued"})
    with chat.state.lock:
        chat.state.rules.append({"match": {"path_contains": "deployments/d4",
                                           "body_contains": "SQL"},
                                 "answer": {"content": "from rule"}})
    azure = chat.url + "/openai/deployments/d4/chat/completions?api-version=v"
    contents = [json.loads(post(azure, {"messages": [{"role": "user", "content": "SQL"}]})[2])
                ["choices"][0]["message"]["content"] for _ in range(2)]
    other = post(chat.url + "/chat/completions", {"messages": [{"role": "user", "content": "x"}]})
    assert contents == ["from rule", "from rule"]
    assert json.loads(other[2])["choices"][0]["message"]["content"] == "queued"
    with pytest.raises(urllib.error.HTTPError) as empty:
        post(chat.url + "/chat/completions", {"messages": []})
    assert empty.value.code == 500  # nothing left to answer with


def test_faults_reach_the_client_as_http_faults(chat):
    chat.queue({"status": 429, "headers": {"Retry-After": "1", "retry-after-ms": "1000"},
                "body": {"error": {"message": "Rate limit reached"}}},
               {"status": 200, "body": "{not json"},
               {"drop": True},
               {"delay": 1.5, "content": "late"})
    with pytest.raises(urllib.error.HTTPError) as limited:
        post(chat.url + "/chat/completions", {"messages": []})
    assert limited.value.code == 429
    assert limited.value.headers["Retry-After"] == "1"
    assert limited.value.headers["retry-after-ms"] == "1000"
    assert json.loads(limited.value.read())["error"]["message"] == "Rate limit reached"
    assert post(chat.url + "/chat/completions", {"messages": []})[2] == "{not json"
    with pytest.raises((http.client.RemoteDisconnected, ConnectionError, urllib.error.URLError)):
        post(chat.url + "/chat/completions", {"messages": []})
    started = time.monotonic()
    with pytest.raises((TimeoutError, urllib.error.URLError)):
        post(chat.url + "/chat/completions", {"messages": []}, timeout=0.5)
    assert time.monotonic() - started < 1.4


def test_the_request_log_and_reset(chat):
    chat.queue({"content": "a"})
    post(chat.url + "/v1/chat/completions", {"messages": [{"role": "user", "content": "logged"}]},
         headers={"Authorization": "Bearer sk-test"})
    log = get(chat.url + "/_requests")
    assert len(log) == 1
    assert log[0]["method"] == "POST" and log[0]["path"] == "/v1/chat/completions"
    assert log[0]["headers"]["Authorization"] == "Bearer sk-test"
    assert log[0]["json"] == {"messages": [{"role": "user", "content": "logged"}]}
    assert isinstance(log[0]["client_port"], int)
    post(chat.url + "/_reset", {})
    assert get(chat.url + "/_requests") == []


def test_service_endpoints(chat):
    deployments = [{"model": "GPT-3.5", "deployment_name": "d35", "azure_endpoint": chat.url,
                    "api_key": "k", "api_version": "2024-10-21"}]
    post(chat.url + "/_service", {"deployments": deployments,
                                  "openai": {"model_name": "gpt-4o-mini", "api_key": "sk"}})
    assert get(chat.url + "/zolvi/azure-openais/") == deployments
    assert get(chat.url + "/zolvi/openai/") == {"model_name": "gpt-4o-mini", "api_key": "sk"}
    status, _, body = post(chat.url + "/zolvi/usage/",
                           {"question": "q", "total_tokens": 15, "total_cost": 0.001},
                           headers={"X-Zolvi-Api-Key": "acct"})
    assert status == 200 and json.loads(body) == {"recorded": True}
    report = chat.requests()[-1]
    assert report["json"]["total_tokens"] == 15 and report["headers"]["X-Zolvi-Api-Key"] == "acct"


def test_raw_bodies_can_be_repeated_and_gzip_compressed(chat):
    chat.queue({"body": "ab", "repeat": 3_000_000},
               {"body": "[", "repeat": 300_000_000, "encoding": "gzip"},
               {"status": 503, "body": {"error": {"message": "busy"}}, "encoding": "gzip"})
    status, headers, body = post(chat.url + "/chat/completions", {"messages": []})
    assert status == 200 and int(headers["Content-Length"]) == 6_000_000
    assert body == "ab" * 3_000_000
    request = urllib.request.Request(chat.url + "/chat/completions", data=b"{}", method="POST")
    with urllib.request.urlopen(request, timeout=30) as response:
        assert response.headers["Content-Encoding"] == "gzip"
        packed = response.read()
    assert len(packed) < 400_000, "a bomb: small on the wire"
    # Inflated a block at a time, as a client with a cap would: 300 MB of '['.
    unpacker, inflated, rest = zlib.decompressobj(31), 0, packed
    while rest or not unpacker.eof:
        block = unpacker.decompress(rest, 1 << 24)
        assert block.strip(b"[") == b""
        inflated += len(block)
        rest = unpacker.unconsumed_tail
        if not block and not rest:
            break
    assert inflated == 300_000_000
    with pytest.raises(urllib.error.HTTPError) as busy:
        post(chat.url + "/chat/completions", {"messages": []})
    assert busy.value.code == 503 and busy.value.headers["Content-Encoding"] == "gzip"
    assert json.loads(zlib.decompress(busy.value.read(), 31)) == {"error": {"message": "busy"}}


def test_service_answers_can_be_scripted_raw(chat):
    post(chat.url + "/_service", {"deployments": [{"model": "GPT-3.5"}],
                                  "deployments_answer": {"body": "[" * 10},
                                  "openai_answer": {"status": 502, "body": "bad gateway"}})
    with urllib.request.urlopen(chat.url + "/zolvi/azure-openais/", timeout=10) as response:
        assert response.read() == b"[" * 10
    with pytest.raises(urllib.error.HTTPError) as refused:
        get(chat.url + "/zolvi/openai/")
    assert refused.value.code == 502 and refused.value.read() == b"bad gateway"


def test_started_as_a_program_it_prints_its_port_first():
    script = os.path.join(ROOT, "tests", "support", "chat_server.py")
    process = subprocess.Popen(["/usr/bin/python3", script, "--port", "0"],
                               stdout=subprocess.PIPE, text=True)
    try:
        port = int(process.stdout.readline())
        post("http://127.0.0.1:%d/_script" % port, {"queue": [{"content": "from child"}]})
        answer = post("http://127.0.0.1:%d/chat/completions" % port, {"messages": []})[2]
        assert json.loads(answer)["choices"][0]["message"]["content"] == "from child"
    finally:
        process.terminate()
        process.wait(timeout=10)
