#pragma once

#include "serve/http_listener.hpp"
#include "zolviai/mcp/session.hpp"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace zolviai::mcp {
class Workers;
}

namespace zolviai::serve {

// /mcp: the MCP tools over Streamable HTTP. Each POST carries one JSON-RPC message; a request
// is answered with JSON, or with an event stream (progress, then the reply) for a tool call
// from a client that accepts one. initialize opens a session whose id the client sends back
// in Mcp-Session-Id; DELETE ends it. The server's token, Host and Origin checks and body
// limits apply as to every route.
class McpRoute {
public:
    McpRoute(mcp::Backend backend, mcp::SessionOptions options);
    ~McpRoute();
    McpRoute(const McpRoute&) = delete;
    McpRoute& operator=(const McpRoute&) = delete;

    void handle(const HttpRequest& request, HttpReply reply);

    std::size_t sessions() const;

private:
    struct Entry {
        std::shared_ptr<mcp::Session> session;
        std::chrono::steady_clock::time_point used;
    };
    void post(const HttpRequest& request, HttpReply reply);
    void end(const HttpRequest& request, HttpReply reply);
    // The session the request names; otherwise the refusal is sent and null returned.
    std::shared_ptr<mcp::Session> find(const HttpRequest& request, HttpReply& reply);
    std::string open(std::shared_ptr<mcp::Session> session);

    const mcp::Backend backend_;
    const mcp::SessionOptions options_;
    std::shared_ptr<mcp::Workers> workers_;
    mutable std::mutex mutex_;
    std::map<std::string, Entry> sessions_;
};

} // namespace zolviai::serve
