#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The HTTP/1.1 transport of zolvi serve, built for clients that may be slow or hostile: every
// read and write has a deadline, the head and the body have size limits, connections are
// counted in total and per client address, and nothing a client sends is decoded beyond its
// framing. The asynchronous I/O behind it (Boost.Beast over Asio) stays in its .cpp.
namespace zolviai::serve {

struct HttpLimits {
    std::chrono::seconds head_timeout{10};  // from a request's first byte to its blank line
    std::chrono::seconds body_timeout{10};  // for each request body
    std::chrono::seconds idle_timeout{5};   // a connection waiting for its next request
    std::chrono::seconds write_timeout{30}; // each write of a response
    std::size_t max_header_lines = 100;
    std::size_t max_header_bytes = 16 * 1024;
    std::size_t max_body_bytes = 64 * 1024; // decoded, whatever the framing
    std::size_t max_connections = 1024;
    std::size_t max_connections_per_client = 256;
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string target; // as sent
    std::string path;   // percent-decoded, without the query
    std::string query;
    HttpHeaders headers; // names in lower case
    std::string body;
    std::string peer; // the client's address
    std::chrono::steady_clock::time_point start;

    // The first header of that (lower-case) name, or nullptr.
    const std::string* header(std::string_view name) const;
    // A query parameter, percent-decoded.
    std::optional<std::string> param(std::string_view name) const;
};

// A response sent as it is produced (Server-Sent Events). Safe from any thread.
class ChunkSink {
public:
    virtual ~ChunkSink() = default;
    // Queues a chunk; dropped once the sink is closed.
    virtual void write(std::string data) = 0;
    // The last chunk: the response ends and the connection closes.
    virtual void finish() = 0;
    // The client went away, a write passed its deadline, or finish() was called.
    virtual bool closed() const = 0;
};

struct HttpResponse {
    int status = 200;
    HttpHeaders headers;
    std::string body;
    // Instead of body: a file read from disk in chunks (Content-Length its size)...
    std::string file;
    // ...or a chunked stream, handed over once the head is sent.
    std::function<void(std::shared_ptr<ChunkSink>)> stream;
    bool close = false; // close the connection after this response
};

using HttpReply = std::function<void(HttpResponse)>;

class HttpHandler {
public:
    virtual ~HttpHandler() = default;
    // Called with the head, before any byte of the body is read: a response refuses the
    // request at once (the body is never read), nullopt lets the body be read.
    virtual std::optional<HttpResponse> screen(const HttpRequest& head) = 0;
    // Called with the whole request; calls reply exactly once, from any thread.
    virtual void handle(HttpRequest request, HttpReply reply) = 0;
    // Each response sent, refusals by the transport's limits included (method and path are
    // empty when the head could not be read).
    virtual void completed(const HttpRequest& request, int status) = 0;
};

class HttpListener {
public:
    HttpListener(HttpLimits limits, HttpHandler& handler, std::size_t threads);
    ~HttpListener();
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    // Binds and listens; an address in use or not this machine's is an IoError. Returns the
    // port (the one the system chose for port 0).
    int bind(const std::string& host, int port);
    // Serves until stop() and until the connections still answering have ended.
    void run();
    bool running() const;
    // Stops accepting and closes connections that wait for a request; responses under way
    // are finished. Safe from any thread.
    void stop();
    // Runs fn on an I/O thread after the delay; the function returned cancels it.
    std::function<void()> after(std::chrono::milliseconds delay, std::function<void()> fn);
    // Connections open now.
    std::size_t connections() const;

    const HttpLimits& limits() const;

    struct Impl; // the connections reach it too

private:
    std::unique_ptr<Impl> impl_;
};

// A header's value for a log line: control characters escaped (\xNN), cut to max bytes.
std::string log_safe(std::string_view text, std::size_t max);

} // namespace zolviai::serve
