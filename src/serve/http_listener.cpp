// The only file that sees Boost.Beast and Asio: their templates are compiled here once.
#include "serve/http_listener.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <deque>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <strings.h>
#include <thread>
#include <unordered_map>

namespace zolviai::serve {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

// What a refused connection's peer reads after a response it did not finish sending: the
// rest of its request is read and dropped for a moment, so the close does not reset the
// connection before the response arrives.
constexpr std::size_t kDrainBytes = 256 * 1024;
constexpr std::chrono::seconds kDrainTime{2};

std::string percent_decode(std::string_view text, bool plus_is_space) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hex_digit_value(text[i + 1]) >= 0 &&
            hex_digit_value(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_digit_value(text[i + 1]) * 16 +
                                            hex_digit_value(text[i + 2])));
            i += 2;
            continue;
        }
        out.push_back(plus_is_space && c == '+' ? ' ' : c);
    }
    return out;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string error_json(std::string_view code, std::string_view message) {
    return std::string("{\"error\": {\"code\": \"") + std::string(code) + "\", \"message\": \"" +
           std::string(message) + "\"}}";
}

// What a connection over a cap reads before its close.
const std::string& canned_busy() {
    static const std::string text = [] {
        const std::string body =
            error_json("too_many_connections",
                       "the server holds as many connections as it takes (from this address or "
                       "in all); try again later");
        return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
               "Retry-After: 1\r\nConnection: close\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }();
    return text;
}

} // namespace

const std::string* HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

std::optional<std::string> HttpRequest::param(std::string_view name) const {
    std::string_view rest = query;
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        const auto eq = pair.find('=');
        if (percent_decode(pair.substr(0, eq), true) == name) {
            return eq == std::string_view::npos ? std::string()
                                                : percent_decode(pair.substr(eq + 1), true);
        }
    }
    return std::nullopt;
}

std::string log_safe(std::string_view text, std::size_t max) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (out.size() >= max) {
            out += "...";
            break;
        }
        if (c < 0x20 || c == 0x7f || c == '\\' || c == '"') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

class Session;

struct HttpListener::Impl {
    Impl(HttpLimits l, HttpHandler& h, std::size_t t)
        : limits(l), handler(h), threads(std::max<std::size_t>(1, t)), acceptor(io),
          accept_pause(io), work(net::make_work_guard(io)) {}

    HttpLimits limits;
    HttpHandler& handler;
    std::size_t threads;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> destroying{false};

    // Declared before the I/O context: sessions its destruction frees still count themselves
    // out here.
    mutable std::mutex mutex; // the fields below
    std::size_t open = 0;
    std::unordered_map<std::string, std::size_t> per_client;
    std::map<Session*, std::weak_ptr<Session>> sessions;

    net::io_context io;
    tcp::acceptor acceptor;
    net::steady_timer accept_pause;
    net::executor_work_guard<net::io_context::executor_type> work;

    void accept();
    void accepted(tcp::socket socket);
    void refuse(tcp::socket& socket);
    void ended(Session* session, const std::string& peer);
    void maybe_done();
};

// One connection: reads a head, screens it, reads the body, hands the request over, writes
// the response, and again while the connection is kept alive. Runs on its own strand.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, HttpListener::Impl& owner, std::string peer)
        : stream_(std::move(socket)), owner_(owner), peer_(std::move(peer)),
          buffer_(owner.limits.max_header_bytes + 64 * 1024) {}

    ~Session() { owner_.ended(this, peer_); }

    void start() { wait_for_request(); }

    // On stop: a connection waiting for a request closes now.
    void stop() {
        net::post(stream_.get_executor(), [self = shared_from_this()] {
            if (!self->busy_) {
                self->close();
            }
        });
    }

    class Sink;

private:
    const HttpLimits& limits() const { return owner_.limits; }

    void wait_for_request() {
        busy_ = false;
        if (owner_.stopping) {
            close();
            return;
        }
        if (buffer_.size() > 0) {
            read_head();
            return;
        }
        // An idle connection may wait this long for its next request's first byte.
        stream_.expires_after(limits().idle_timeout);
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = shared_from_this()](error_code ec, std::size_t n) {
                                    if (ec) {
                                        self->close();
                                        return;
                                    }
                                    self->buffer_.commit(n);
                                    self->read_head();
                                });
    }

    void read_head() {
        busy_ = true;
        request_ = HttpRequest{};
        request_.peer = peer_;
        request_.start = std::chrono::steady_clock::now();
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(limits().max_header_bytes));
        // The head's Content-Length is judged below, after the route and the token.
        parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
        stream_.expires_after(limits().head_timeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->on_head(ec); });
    }

    void on_head(error_code ec) {
        if (ec == http::error::header_limit) {
            refuse(431, "header_too_large",
                   "the request head is over " + std::to_string(limits().max_header_bytes) +
                       " bytes");
            return;
        }
        if (ec == beast::error::timeout) {
            // The head did not arrive in time: the stream has closed the socket already.
            owner_.handler.completed(request_, 408);
            return;
        }
        if (ec == http::error::end_of_stream || ec == net::error::eof ||
            ec == net::error::connection_reset || ec == net::error::operation_aborted) {
            close();
            return;
        }
        if (ec) {
            refuse(400, "bad_request", "the request could not be read as HTTP/1.1");
            return;
        }
        const auto& message = parser_->get();
        keep_alive_ = parser_->keep_alive();
        request_.method = std::string(message.method_string());
        request_.target = std::string(message.target());
        const auto question = request_.target.find('?');
        request_.path =
            percent_decode(std::string_view(request_.target).substr(0, question), false);
        if (question != std::string::npos) {
            request_.query = request_.target.substr(question + 1);
        }
        std::size_t lines = 0;
        for (const auto& field : message) {
            ++lines;
            const auto name = field.name_string();
            const auto value = field.value();
            request_.headers.emplace_back(lower(std::string_view(name.data(), name.size())),
                                          std::string(value.data(), value.size()));
        }
        if (lines > limits().max_header_lines) {
            refuse(431, "header_too_large",
                   "the request has over " + std::to_string(limits().max_header_lines) +
                       " header lines");
            return;
        }
        // Nothing is ever inflated: a compressed body is refused before any byte is read.
        const std::string* encoding = request_.header("content-encoding");
        if (encoding && strcasecmp(encoding->c_str(), "identity") != 0) {
            refuse(415, "unsupported_content_encoding",
                   "request bodies must not be compressed (Content-Encoding: identity)");
            return;
        }
        const std::string* transfer = request_.header("transfer-encoding");
        if (transfer && strcasecmp(transfer->c_str(), "chunked") != 0) {
            refuse(501, "unsupported_transfer_encoding",
                   "the only transfer coding taken is chunked");
            return;
        }
        if (auto refusal = owner_.handler.screen(request_)) {
            refusal->close = refusal->close || !parser_->is_done();
            send(std::move(*refusal));
            return;
        }
        const auto length = parser_->content_length();
        if (length && *length > limits().max_body_bytes) {
            refuse(413, "body_too_large",
                   "the request body is over " + std::to_string(limits().max_body_bytes) +
                       " bytes");
            return;
        }
        if (parser_->is_done()) {
            dispatch();
            return;
        }
        // Counts the decoded body for every framing (a chunked body's chunks too).
        parser_->body_limit(limits().max_body_bytes);
        stream_.expires_after(limits().body_timeout);
        const std::string* expect = request_.header("expect");
        if (expect && strcasecmp(expect->c_str(), "100-continue") == 0) {
            // The client waits for this before it sends the body it was allowed to.
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            net::async_write(stream_, net::buffer(kContinue, sizeof kContinue - 1),
                             [self = shared_from_this()](error_code ec, std::size_t) {
                                 if (ec) {
                                     self->close();
                                     return;
                                 }
                                 self->read_body();
                             });
            return;
        }
        read_body();
    }

    void read_body() {
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](error_code ec, std::size_t) { self->on_body(ec); });
    }

    void on_body(error_code ec) {
        if (ec == http::error::body_limit) {
            refuse(413, "body_too_large",
                   "the request body is over " + std::to_string(limits().max_body_bytes) +
                       " bytes");
            return;
        }
        if (ec == beast::error::timeout) {
            owner_.handler.completed(request_, 408);
            return;
        }
        if (ec) {
            close();
            return;
        }
        request_.body = std::move(parser_->get().body());
        dispatch();
    }

    void dispatch() {
        keep_alive_ = parser_->keep_alive();
        stream_.expires_never(); // the handler's own deadlines hold from here
        HttpRequest copy = request_;
        copy.body.clear();
        auto self = shared_from_this();
        owner_.handler.handle(std::move(request_), [self](HttpResponse response) {
            net::post(self->stream_.get_executor(),
                      [self, r = std::move(response)]() mutable { self->send(std::move(r)); });
        });
        request_ = std::move(copy);
    }

    void refuse(int status, const char* code, const std::string& message) {
        HttpResponse response;
        response.status = status;
        response.body = error_json(code, message);
        response.headers.emplace_back("Content-Type", "application/json");
        response.close = true;
        send(std::move(response));
    }

    template <class Message>
    void add_headers(Message& message, const HttpResponse& response) {
        for (const auto& [name, value] : response.headers) {
            message.insert(name, value);
        }
    }

    void send(HttpResponse response) {
        status_ = response.status;
        closing_ = response.close || !keep_alive_ || owner_.stopping;
        const auto status = static_cast<http::status>(response.status);
        if (response.stream) {
            start_stream(std::move(response));
            return;
        }
        if (request_.method == "HEAD") {
            // The head of what a GET would send: its length, no body.
            std::uint64_t length = response.body.size();
            std::error_code ec;
            if (!response.file.empty()) {
                length = std::filesystem::file_size(response.file, ec);
            }
            auto message = std::make_shared<http::response<http::empty_body>>(status, 11);
            add_headers(*message, response);
            message->content_length(ec ? 0 : length);
            message->keep_alive(!closing_);
            write(message);
            return;
        }
        if (!response.file.empty()) {
            auto message = std::make_shared<http::response<http::file_body>>(status, 11);
            error_code ec;
            message->body().open(response.file.c_str(), beast::file_mode::scan, ec);
            if (!ec) {
                add_headers(*message, response);
                message->keep_alive(!closing_);
                message->prepare_payload();
                write(message);
                return;
            }
            response.status = 404;
            response.body = error_json("not_found", "no chart of that name");
            response.headers = {{"Content-Type", "application/json"}};
            status_ = 404;
        }
        auto message = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(response.status), 11);
        add_headers(*message, response);
        message->body() = std::move(response.body);
        message->keep_alive(!closing_);
        message->prepare_payload();
        write(message);
    }

    template <class Message>
    void write(std::shared_ptr<Message> message) {
        stream_.expires_after(limits().write_timeout);
        http::async_write(stream_, *message,
                          [self = shared_from_this(), message](error_code ec, std::size_t) {
                              self->written(ec);
                          });
    }

    void written(error_code ec) {
        owner_.handler.completed(request_, status_);
        if (ec) {
            close();
            return;
        }
        if (closing_) {
            linger();
            return;
        }
        parser_.reset();
        wait_for_request();
    }

    // Half-closes, then reads and drops what the client still sends for a moment.
    void linger() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(kDrainTime);
        drain();
    }

    void drain() {
        stream_.async_read_some(net::buffer(scratch_),
                                [self = shared_from_this()](error_code ec, std::size_t n) {
                                    self->drained_ += n;
                                    if (ec || self->drained_ > kDrainBytes) {
                                        self->close();
                                        return;
                                    }
                                    self->drain();
                                });
    }

    void close() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    void start_stream(HttpResponse response);
    void stream_next();

    beast::tcp_stream stream_;
    HttpListener::Impl& owner_;
    std::string peer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    HttpRequest request_;
    bool busy_ = false;
    bool keep_alive_ = true;
    bool closing_ = false;
    int status_ = 0;
    std::size_t drained_ = 0;
    char scratch_[4096];

    // A streamed response's state: chunks waiting, whether one is being written.
    std::shared_ptr<http::response<http::empty_body>> stream_head_;
    std::shared_ptr<http::response_serializer<http::empty_body>> stream_serializer_;
    std::deque<std::string> chunks_;
    bool writing_ = false;
    bool finishing_ = false;
    std::shared_ptr<std::atomic<bool>> stream_closed_;
};

class Session::Sink : public ChunkSink {
public:
    Sink(std::shared_ptr<Session> session, std::shared_ptr<std::atomic<bool>> closed)
        : session_(std::move(session)), closed_(std::move(closed)) {}

    void write(std::string data) override {
        if (*closed_ || data.empty()) {
            return;
        }
        net::post(session_->stream_.get_executor(), [s = session_, d = std::move(data)]() mutable {
            s->chunks_.push_back(std::move(d));
            s->stream_next();
        });
    }
    void finish() override {
        if (closed_->exchange(true)) {
            return;
        }
        net::post(session_->stream_.get_executor(), [s = session_] {
            s->finishing_ = true;
            s->stream_next();
        });
    }
    bool closed() const override { return *closed_; }

private:
    std::shared_ptr<Session> session_;
    std::shared_ptr<std::atomic<bool>> closed_;
};

void Session::start_stream(HttpResponse response) {
    closing_ = true; // a stream ends its connection
    stream_head_ = std::make_shared<http::response<http::empty_body>>(
        static_cast<http::status>(response.status), 11);
    add_headers(*stream_head_, response);
    stream_head_->keep_alive(false);
    stream_head_->chunked(true);
    stream_serializer_ =
        std::make_shared<http::response_serializer<http::empty_body>>(*stream_head_);
    stream_closed_ = std::make_shared<std::atomic<bool>>(false);
    writing_ = true;
    stream_.expires_after(limits().write_timeout);
    auto produce = std::move(response.stream);
    http::async_write_header(
        stream_, *stream_serializer_,
        [self = shared_from_this(), produce = std::move(produce)](error_code ec, std::size_t) {
            self->writing_ = false;
            if (ec) {
                *self->stream_closed_ = true;
                self->owner_.handler.completed(self->request_, self->status_);
                self->close();
                return;
            }
            produce(std::make_shared<Sink>(self, self->stream_closed_));
            self->stream_next();
        });
}

void Session::stream_next() {
    if (writing_ || !stream_head_) {
        return;
    }
    if (!chunks_.empty()) {
        writing_ = true;
        auto data = std::make_shared<std::string>(std::move(chunks_.front()));
        chunks_.pop_front();
        stream_.expires_after(limits().write_timeout);
        net::async_write(stream_, http::make_chunk(net::buffer(*data)),
                         [self = shared_from_this(), data](error_code ec, std::size_t) {
                             self->writing_ = false;
                             if (ec) {
                                 *self->stream_closed_ = true;
                                 self->chunks_.clear();
                                 self->stream_head_.reset();
                                 self->owner_.handler.completed(self->request_, self->status_);
                                 self->close();
                                 return;
                             }
                             self->stream_next();
                         });
        return;
    }
    if (finishing_) {
        writing_ = true;
        stream_.expires_after(limits().write_timeout);
        net::async_write(stream_, http::make_chunk_last(),
                         [self = shared_from_this()](error_code ec, std::size_t) {
                             self->writing_ = false;
                             self->stream_head_.reset();
                             self->written(ec);
                         });
    }
}

void HttpListener::Impl::accept() {
    acceptor.async_accept(net::make_strand(io), [this](error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor.is_open()) {
            return;
        }
        if (ec) {
            // Out of descriptors or memory: try again shortly rather than spin.
            accept_pause.expires_after(std::chrono::milliseconds(50));
            accept_pause.async_wait([this](error_code e) {
                if (!e && acceptor.is_open()) {
                    accept();
                }
            });
            return;
        }
        accepted(std::move(socket));
        accept();
    });
}

void HttpListener::Impl::accepted(tcp::socket socket) {
    error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    if (ec) {
        return;
    }
    std::string peer = remote.address().to_string();
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(mutex);
        auto& mine = per_client[peer];
        if (open >= limits.max_connections || mine >= limits.max_connections_per_client ||
            stopping) {
            if (mine == 0) {
                per_client.erase(peer);
            }
        } else {
            ++open;
            ++mine;
            session = std::make_shared<Session>(std::move(socket), *this, peer);
            sessions[session.get()] = session;
        }
    }
    if (!session) {
        refuse(socket);
        return;
    }
    socket.set_option(tcp::no_delay(true), ec);
    session->start();
}

void HttpListener::Impl::refuse(tcp::socket& socket) {
    // Over a connection cap: a short answer written without waiting, then the close.
    error_code ec;
    socket.non_blocking(true, ec);
    socket.write_some(net::buffer(canned_busy()), ec);
    socket.shutdown(tcp::socket::shutdown_both, ec);
    socket.close(ec);
    HttpRequest none;
    handler.completed(none, 503);
}

void HttpListener::Impl::ended(Session* session, const std::string& peer) {
    {
        std::lock_guard lock(mutex);
        --open;
        const auto it = per_client.find(peer);
        if (it != per_client.end() && --it->second == 0) {
            per_client.erase(it);
        }
        sessions.erase(session);
    }
    if (!destroying) {
        maybe_done();
    }
}

void HttpListener::Impl::maybe_done() {
    std::lock_guard lock(mutex);
    if (stopping && open == 0) {
        io.stop();
    }
}

HttpListener::HttpListener(HttpLimits limits, HttpHandler& handler, std::size_t threads)
    : impl_(std::make_unique<Impl>(limits, handler, threads)) {}

HttpListener::~HttpListener() {
    impl_->destroying = true;
    impl_->io.stop();
}

int HttpListener::bind(const std::string& host, int port) {
    Impl& s = *impl_;
    error_code ec;
    const auto address = net::ip::make_address(host == "localhost" ? "127.0.0.1" : host, ec);
    if (ec) {
        throw IoError("cannot listen on " + host + ": not an address of this machine");
    }
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    s.acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        s.acceptor.set_option(net::socket_base::reuse_address(true), ec);
        s.acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        s.acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        throw IoError("cannot listen on " + host + ":" + std::to_string(port) + ": " +
                      ec.message());
    }
    return s.acceptor.local_endpoint().port();
}

void HttpListener::run() {
    Impl& s = *impl_;
    if (s.stopping) {
        return;
    }
    s.running = true;
    s.accept();
    std::vector<std::thread> others;
    for (std::size_t i = 1; i < s.threads; ++i) {
        others.emplace_back([&s] { s.io.run(); });
    }
    s.io.run();
    for (auto& t : others) {
        t.join();
    }
    s.running = false;
}

bool HttpListener::running() const {
    return impl_->running;
}

void HttpListener::stop() {
    Impl& s = *impl_;
    net::post(s.io, [&s] {
        s.stopping = true;
        error_code ignored;
        s.acceptor.close(ignored);
        s.accept_pause.cancel();
        // The work guard stays: a reply may still come from a worker to a connection that
        // waits with nothing pending; the last connection's end stops the context.
        std::vector<std::shared_ptr<Session>> open;
        {
            std::lock_guard lock(s.mutex);
            for (auto& [_, weak] : s.sessions) {
                if (auto session = weak.lock()) {
                    open.push_back(std::move(session));
                }
            }
        }
        for (auto& session : open) {
            session->stop();
        }
        s.maybe_done();
    });
}

std::function<void()> HttpListener::after(std::chrono::milliseconds delay,
                                          std::function<void()> fn) {
    auto timer = std::make_shared<net::steady_timer>(impl_->io, delay);
    timer->async_wait([timer, fn = std::move(fn)](error_code ec) {
        if (!ec) {
            fn();
        }
    });
    std::weak_ptr<net::steady_timer> weak = timer;
    return [this, weak] {
        net::post(impl_->io, [weak] {
            if (auto t = weak.lock()) {
                t->cancel();
            }
        });
    };
}

std::size_t HttpListener::connections() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->open;
}

const HttpLimits& HttpListener::limits() const {
    return impl_->limits;
}

} // namespace zolviai::serve
