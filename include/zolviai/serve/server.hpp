#pragma once

#include "zolviai/flow/sql_graph.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/state/conversations.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The HTTP face of the flow: a JSON API (questions, streamed progress, tables, guarded SQL,
// charts, health and metrics) and the web page that uses it. Questions run on a bounded pool
// of workers sharing one flow; the server keeps no per-user state in memory (conversations
// live in the state database), so several processes behind a load balancer scale it out.
namespace zolviai::agent {
class Memory;
}

namespace zolviai::serve {

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8700;                 // 0: any free port (bound_port() says which)
    std::string token;               // bearer token for /v1/* and /metrics; empty: none
    std::size_t max_concurrent = 16; // questions running at once
    std::size_t queue = 64;          // questions waiting for a worker; more are refused
    std::string media_dir;           // charts: one folder per question, removed after ttl
    std::chrono::seconds question_timeout{300};
    std::chrono::seconds grace{30}; // for running questions after a stop is asked
    std::chrono::seconds chart_ttl{86400};
    std::size_t max_body_bytes = 64 * 1024; // decoded, whatever the framing
    std::size_t max_rows = 200;             // rows of a result sent back
    // Where conversations are kept (the state database, shared by every server process on
    // it); null: every question stands alone and no conversation_id is given back.
    std::shared_ptr<state::ConversationStore> conversations;
    // The memory of verified SQL questions use and /v1/memory serves; null: none.
    std::shared_ptr<agent::Memory> memory;

    // Who may talk to the server. Requests whose Host is not a loopback name with the port,
    // the listen address or one of public_hosts are refused (421): a page that rebinds its
    // own name to this address cannot read it. A request with an Origin other than the
    // server's own is refused (403) unless that origin is in allow_origins, which also gets
    // the CORS headers.
    std::vector<std::string> public_hosts;  // "example.com" or "example.com:8443"
    std::vector<std::string> allow_origins; // "https://app.example.com"

    // Bounds on slow and abusive clients.
    std::chrono::seconds head_timeout{10}; // a request's head, from its first byte
    std::chrono::seconds body_timeout{10}; // each request body
    std::chrono::seconds idle_timeout{5};  // a kept-alive connection between requests
    std::size_t max_header_lines = 100;
    std::size_t max_header_bytes = 16 * 1024;
    std::size_t max_connections = 1024;
    std::size_t max_connections_per_client = 256;
    std::size_t io_threads = 2; // threads reading and writing connections
};

// Splits "host:port" ("[::1]:8700" for IPv6); a malformed address or port is a ValueError.
void parse_listen_address(std::string_view text, std::string& host, int& port);

// Whether a listen host is a loopback address (127.0.0.0/8, ::1, localhost).
bool is_loopback_host(std::string_view host);

// Makes sure `dir` is a folder only this user can enter: created with mode 0700 when missing
// (its parent too when `parents`), refused (ConfigError) when it is a symbolic link, not a
// folder, not owned by this user, or open to others.
void make_private_folder(const std::string& dir, bool parents);

struct HttpRequest;  // serve/http_listener.hpp
struct HttpResponse; // serve/http_listener.hpp

class Server {
public:
    // flow may be null when no model is configured: questions are then refused with 503 and
    // /readyz says why. Throws ConfigError for options it cannot serve with (a non-loopback
    // address without a token, a media folder it cannot create).
    Server(ServeOptions options, std::shared_ptr<sql::CustomSQLDatabase> db,
           std::shared_ptr<const flow::SQLGraph> flow);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the listen address; an address in use or not ours is an IoError. Returns the port.
    int bind();
    // Serves until stop(); returns when every connection has ended.
    void run();
    // Whether run() has begun accepting connections.
    bool listening() const;
    // Stops accepting; running and queued questions go on. Safe from any thread, once or more,
    // once listening() is true (before, it has nothing to stop).
    void stop();
    // Questions accepted and not yet ended (running or waiting).
    std::size_t questions_pending() const;

    // One whole request as the listener hands it over, without a socket: the checks of its
    // head, its route's handler and the metrics, as for one that came over the network.
    // Waits for the reply. For tests and hosts that bring their own transport.
    HttpResponse respond(HttpRequest request);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zolviai::serve
