#!/usr/bin/python3
"""A scripted chat-completions server for tests: real HTTP on loopback.

It answers chat-completion requests (Azure: /openai/deployments/<d>/chat/completions,
OpenAI: /chat/completions and /v1/chat/completions) from a script, records every request,
and serves the model-settings service's endpoints. Tests drive it over HTTP on the same port:

  POST /_script   {"queue": [answer, ...]}     answers used once each, in order
                  {"rules": [{"match": {...}, "answer": answer}, ...]}
                                               reusable answers for matching requests
                                               (match keys: "path_contains", "body_contains");
                                               rules are tried before the queue
  POST /_service  {"deployments": [...], "openai": {...}}, optionally "openai_status" and
                  "usage_status" (HTTP status of those two answers; default 200), and
                  "deployments_answer" / "openai_answer": a raw answer (below) sent instead
  GET  /_requests the request log: [{"method", "path", "headers", "body", "json", "client_port"}]
                  (client_port tells connections apart: kept-alive calls share one)
  POST /_reset    forget the script, the service data and the log

An answer is a map:
  "content": text               an assistant message with that content
  "tool_arguments": text|object a tool call of the request's forced tool (text is sent as is,
                                so malformed JSON can be scripted)
  "tool_name": text             the tool call's function name (default: the forced tool)
  "usage": {"prompt_tokens", "completion_tokens"}  (default 10 and 5), or "measured": counts
                                estimated from the text of the request's messages and tools
                                and of the answer (four bytes a token), so that a longer
                                prompt costs more
  "model": text                 the model named in the answer (default "gpt-4o")
  "status": int, "headers": {}, "body": text|object   a raw answer instead (errors, faults)
  "repeat": n                   the raw body is sent n times over (a body of any size, made
                                as it is sent)
  "encoding": "gzip"            the raw body (repeated) is sent gzip-compressed with
                                Content-Encoding: gzip; compressed as it is made, so a body
                                that inflates to 300 MB costs the server about 300 kB
  "delay": seconds              wait before answering
  "drop": true                  close the connection without answering

Start: chat_server.py --port 0 ; the first line of standard output is the port.
"""
import argparse
import json
import socket
import sys
import threading
import time
import uuid
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        self.queue = []
        self.rules = []
        self.requests = []
        self.service = {"deployments": [], "openai": {}}


def forced_tool(request_json):
    try:
        return request_json["tool_choice"]["function"]["name"]
    except (KeyError, TypeError):
        tools = (request_json or {}).get("tools") or []
        return tools[0]["function"]["name"] if tools else None


def measured_usage(request_json, message):
    """Token counts of about four bytes a token: the messages' and tools' text sent, and the
    answer's content or tool call."""
    request_json = request_json or {}
    sent = sum(len(json.dumps(m.get("content") or "", ensure_ascii=False).encode())
               for m in request_json.get("messages") or [])
    sent += len(json.dumps(request_json.get("tools") or [], ensure_ascii=False).encode())
    received = len((message.get("content") or "").encode())
    for call in message.get("tool_calls") or []:
        received += len(call["function"]["arguments"].encode())
    return {"prompt_tokens": (sent + 3) // 4, "completion_tokens": (received + 3) // 4}


def completion(answer, request_json):
    message = {"role": "assistant", "content": answer.get("content")}
    finish = "stop"
    if "tool_arguments" in answer:
        arguments = answer["tool_arguments"]
        if not isinstance(arguments, str):
            arguments = json.dumps(arguments)
        message["content"] = None
        message["tool_calls"] = [{
            "id": "call_" + uuid.uuid4().hex[:12],
            "type": "function",
            "function": {"name": answer.get("tool_name") or forced_tool(request_json) or "tool",
                         "arguments": arguments},
        }]
        finish = "tool_calls"
    usage = answer.get("usage", {"prompt_tokens": 10, "completion_tokens": 5})
    if usage == "measured":
        usage = measured_usage(request_json, message)
    usage = dict(usage)
    usage.setdefault("total_tokens", usage.get("prompt_tokens", 0) + usage.get("completion_tokens", 0))
    return {
        "id": "chatcmpl-" + uuid.uuid4().hex[:12],
        "object": "chat.completion",
        "created": int(time.time()),
        "model": answer.get("model", "gpt-4o"),
        "choices": [{"index": 0, "message": message, "finish_reason": finish}],
        "usage": usage,
    }


_gzip_cache = {}
_gzip_lock = threading.Lock()


def gzip_repeated(unit, times):
    """unit * times, gzip-compressed without ever holding the whole text; remembered."""
    key = (unit, times)
    with _gzip_lock:
        if key in _gzip_cache:
            return _gzip_cache[key]
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)  # 31: gzip framing
    per_block = max(1, (1 << 20) // max(1, len(unit)))
    block = unit * per_block
    parts = []
    full, rest = divmod(times, per_block)
    for _ in range(full):
        parts.append(packer.compress(block))
    parts.append(packer.compress(unit * rest))
    parts.append(packer.flush())
    data = b"".join(parts)
    with _gzip_lock:
        _gzip_cache[key] = data
    return data


def as_bytes(payload):
    if isinstance(payload, (bytes, bytearray)):
        return bytes(payload)
    return payload.encode() if isinstance(payload, str) else json.dumps(payload).encode()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # headers and body go out as separate writes

    def log_message(self, *args):
        pass

    def handle(self):
        try:
            super().handle()
        except (ConnectionResetError, BrokenPipeError):
            pass  # the client hung up mid-answer, as a client does when an answer is over its cap

    def send(self, status, payload, headers=None):
        body = as_bytes(payload)
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        for name, value in (headers or {}).items():
            self.send_header(name, str(value))
        self.end_headers()
        try:
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True  # the client stopped reading: expected of a cap

    def send_raw(self, answer):
        """A scripted raw answer: status, headers, body, optionally repeated and compressed."""
        status, headers = answer.get("status", 200), dict(answer.get("headers") or {})
        unit, times = as_bytes(answer.get("body", "")), int(answer.get("repeat", 1))
        if answer.get("encoding") == "gzip":
            headers["Content-Encoding"] = "gzip"
            return self.send(status, gzip_repeated(unit, times), headers)
        if times == 1:
            return self.send(status, unit, headers)
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(unit) * times))
        for name, value in headers.items():
            self.send_header(name, str(value))
        self.end_headers()
        per_block = max(1, (1 << 20) // max(1, len(unit)))
        sent = 0
        try:
            while sent < times:
                n = min(per_block, times - sent)
                self.wfile.write(unit * n)
                sent += n
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True  # the client stopped reading: expected of a cap

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length).decode("utf-8", "replace") if length else ""

    def do_GET(self):
        self.handle_any("GET")

    def do_POST(self):
        self.handle_any("POST")

    def handle_any(self, method):
        body = self.read_body()
        try:
            parsed = json.loads(body) if body else None
        except ValueError:
            parsed = None
        path = self.path
        if path.startswith("/_"):
            return self.control(method, path, parsed)
        with self.server.state.lock:
            self.server.state.requests.append({"method": method, "path": path, "headers": dict(self.headers.items()),
                                               "body": body, "json": parsed,
                                               "client_port": self.client_address[1]})
        if path.startswith("/zolvi/"):
            return self.service(method, path, parsed)
        if not path.split("?")[0].endswith("/chat/completions"):
            return self.send(404, {"error": {"message": "no such endpoint: " + path}})
        answer = self.pick(path, body)
        if answer is None:
            return self.send(500, {"error": {"message": "the scripted server has no answer left"}})
        if answer.get("delay"):
            time.sleep(float(answer["delay"]))
        if answer.get("drop"):
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        if "status" in answer or "body" in answer:
            return self.send_raw(answer)
        return self.send(200, completion(answer, parsed), answer.get("headers"))

    def pick(self, path, body):
        with self.server.state.lock:
            for rule in self.server.state.rules:
                match = rule.get("match", {})
                if match.get("path_contains", "") in path and match.get("body_contains", "") in body:
                    return rule["answer"]
            if self.server.state.queue:
                return self.server.state.queue.pop(0)
        return None

    def service(self, method, path, parsed):
        route = path.split("?")[0]
        service = self.server.state.service
        if route == "/zolvi/azure-openais/" and method == "GET":
            if "deployments_answer" in service:
                return self.send_raw(service["deployments_answer"])
            return self.send(200, service["deployments"])
        if route == "/zolvi/openai/" and method == "GET":
            if "openai_answer" in service:
                return self.send_raw(service["openai_answer"])
            return self.send(service.get("openai_status", 200), service["openai"])
        if route == "/zolvi/usage/" and method == "POST":
            return self.send(self.server.state.service.get("usage_status", 200), {"recorded": True})
        return self.send(404, {"error": {"message": "no such service endpoint: " + path}})

    def control(self, method, path, parsed):
        with self.server.state.lock:
            if path == "/_requests":
                return self.send(200, self.server.state.requests)
            if path == "/_reset":
                self.server.state.reset()
                return self.send(200, {"ok": True})
            if path == "/_script":
                self.server.state.queue.extend((parsed or {}).get("queue", []))
                self.server.state.rules.extend((parsed or {}).get("rules", []))
                return self.send(200, {"queued": len(self.server.state.queue), "rules": len(self.server.state.rules)})
            if path == "/_service":
                self.server.state.service.update(parsed or {})
                return self.send(200, {"ok": True})
        return self.send(404, {"error": {"message": "no such control endpoint: " + path}})


def start(port=0):
    """Starts a server in this process (for pytest); returns (server, base_url)."""
    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    server.state = State()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://127.0.0.1:%d" % server.server_address[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    server.state = State()
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
