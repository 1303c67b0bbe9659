#include "zolviai/serve/server.hpp"

#include "serve/chart_store.hpp"
#include "serve/metrics.hpp"
#include "serve/question.hpp"
#include "serve/question_pool.hpp"
#include "serve/web_assets.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/sql/tools.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <httplib.h>
#include <sstream>
#include <strings.h>
#include <thread>

namespace zolviai::serve {
namespace {

using Request = httplib::Request;
using Response = httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

constexpr std::size_t kMaxChartBytes = 64 * 1024 * 1024;
// A stream that has nothing to say for this long sends a comment line, so that proxies and
// browsers do not take a long step for a dead connection.
constexpr std::chrono::seconds kStreamKeepAlive{15};

// The routes by their pattern: what metrics and logs name, never the path a client sent.
std::string route_label(const std::string& path) {
    static const char* known[] = {"/",          "/app.js", "/app.css", "/openapi.json",
                                  "/healthz",   "/readyz", "/metrics", "/v1/tables",
                                  "/v1/schema", "/v1/sql", "/v1/ask",  "/v1/ask/stream"};
    for (const char* route : known) {
        if (path == route) {
            return route;
        }
    }
    if (path.rfind("/v1/charts/", 0) == 0) {
        return "/v1/charts/{name}";
    }
    return "other";
}

bool needs_token(const std::string& path) {
    return path.rfind("/v1/", 0) == 0 || path == "/metrics";
}

// Compares in time that depends only on the lengths, so the token cannot be found a byte
// at a time.
bool same_secret(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i % std::max<std::size_t>(b.size(), 1)]);
    }
    return diff == 0;
}

void send_json(Response& res, int status, const Value& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, Value::error_handler_t::replace), "application/json");
}

void send_error(Response& res, int status, const std::string& code, const std::string& message) {
    send_json(res, status, error_body(code, message));
}

std::string utc_now() {
    char text[32];
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// When each request on this thread began: the log line's time. httplib runs a request on
// one thread from its routing to its log line.
thread_local Clock::time_point t_request_start{};

// The fields of a JSON body. Missing or mistyped fields are a 400 that names them.
struct BodyReader {
    const Value& body;
    std::string problem;

    const Value* field(const char* name) const { return find_member(&body, name); }
    std::optional<std::string> text(const char* name) {
        const Value* v = field(name);
        if (!v) {
            note(std::string("the field \"") + name + "\" is missing");
            return std::nullopt;
        }
        if (!v->is_string() ||
            v->get<std::string>().find_first_not_of(" \t\r\n") == std::string::npos) {
            note(std::string("the field \"") + name + "\" must be a non-empty text");
            return std::nullopt;
        }
        return v->get<std::string>();
    }
    bool flag(const char* name) {
        const Value* v = field(name);
        if (!v || v->is_null()) {
            return false;
        }
        if (!v->is_boolean()) {
            note(std::string("the field \"") + name + "\" must be true or false");
            return false;
        }
        return v->get<bool>();
    }
    void note(const std::string& text) { problem += (problem.empty() ? "" : "; ") + text; }
};

} // namespace

struct Server::Impl {
    Impl(ServeOptions o, std::shared_ptr<sql::CustomSQLDatabase> database,
         std::shared_ptr<const flow::SQLGraph> graph)
        : options(std::move(o)), db(std::move(database)), flow(std::move(graph)),
          charts(options.media_dir, options.chart_ttl),
          pool(options.max_concurrent, options.queue) {}

    ServeOptions options;
    std::shared_ptr<sql::CustomSQLDatabase> db;
    std::shared_ptr<const flow::SQLGraph> flow;
    httplib::Server http;
    Metrics metrics;
    ChartStore charts;
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> pending{0};
    std::atomic<int> listen_socket{-1};
    std::atomic<double> mean_seconds{1.0}; // of recent questions: the Retry-After estimate

    std::mutex janitor_mutex;
    std::condition_variable janitor_wake;
    bool janitor_stop = false;
    std::thread janitor;

    QuestionPool pool; // last: its workers use everything above and are joined first

    void routes();
    bool check_request(const Request& req, Response& res);
    std::optional<Value> read_body(const Request& req, Response& res);
    std::shared_ptr<Ticket> admit(const Request& req, Response& res, bool stream);
    void ask(const Request& req, Response& res);
    void ask_stream(const Request& req, Response& res);
    void run_sql(const Request& req, Response& res);
    void tables(Response& res);
    void schema(const Request& req, Response& res);
    void chart(const Request& req, Response& res);
    void ready(Response& res);
    void database_failed(Response& res, const DatabaseError& e);
    int retry_after() const;
    void log(const Request& req, const Response& res);
    void sweep_charts();
};

int Server::Impl::retry_after() const {
    const double waiting = static_cast<double>(pool.waiting()) + 1;
    const double estimate = mean_seconds.load() * waiting /
                            static_cast<double>(std::max<std::size_t>(1, options.max_concurrent));
    return static_cast<int>(std::clamp(std::ceil(estimate), 1.0, 60.0));
}

bool Server::Impl::check_request(const Request& req, Response& res) {
    if (!options.token.empty() && needs_token(req.path)) {
        const std::string header = req.get_header_value("Authorization");
        // The scheme's name is case-insensitive (RFC 7235); the token is not.
        const bool bearer = header.size() > 7 && strncasecmp(header.c_str(), "Bearer ", 7) == 0;
        const bool ok = bearer && same_secret(std::string_view(header).substr(7), options.token);
        if (!ok) {
            res.set_header("WWW-Authenticate", "Bearer");
            send_error(res, 401, "unauthorized",
                       header.empty() ? "this route needs an Authorization: Bearer header"
                                      : "the bearer token is not the server's");
            return false;
        }
    }
    return true;
}

std::optional<Value> Server::Impl::read_body(const Request& req, Response& res) {
    JsonLimits limits;
    limits.max_bytes = options.max_body_bytes;
    limits.max_depth = 64;
    Value body;
    try {
        body = parse_json_input(req.body, limits);
    } catch (const JsonInputError& e) {
        send_error(res, 400, "invalid_json",
                   std::string("the request body is not JSON: ") + e.what());
        return std::nullopt;
    }
    if (!body.is_object()) {
        send_error(res, 400, "invalid_json", "the request body must be a JSON object");
        return std::nullopt;
    }
    return body;
}

std::shared_ptr<Ticket> Server::Impl::admit(const Request& req, Response& res, bool stream) {
    const auto body = read_body(req, res);
    if (!body) {
        return nullptr;
    }
    BodyReader fields{*body, ""};
    const auto question = fields.text("question");
    const bool sql_only = fields.flag("sql_only");
    if (!fields.problem.empty()) {
        send_error(res, 400, "invalid_request", fields.problem);
        return nullptr;
    }
    if (!flow) {
        send_error(res, 503, "model_not_configured",
                   "no language model is configured for this server: set OPENAI_BASE_URL, "
                   "OPENAI_API_KEY, AZURE_OPENAI_* or ZOLVI_API_BASE_URL and restart it");
        return nullptr;
    }
    if (stopping) {
        res.set_header("Retry-After", "5");
        send_error(res, 503, "shutting_down", "the server is stopping and takes no new questions");
        return nullptr;
    }
    auto ticket = std::make_shared<Ticket>(*question, sql_only,
                                           Clock::now() + options.question_timeout, stream);
    ++pending;
    const QuestionServices services{*flow, *db, charts, metrics, options.max_rows};
    const bool queued = pool.submit([this, services, ticket] {
        run_question(services, *ticket);
        if (ticket->status() == 200) {
            // An average that follows the last few dozen questions.
            const double seconds = ticket->run_ms() / 1000.0;
            mean_seconds = mean_seconds.load() * 0.95 + seconds * 0.05;
        }
        --pending;
    });
    if (!queued) {
        --pending;
        res.set_header("Retry-After", std::to_string(retry_after()));
        send_error(res, 503, "busy",
                   "every worker is busy and the queue is full (" +
                       std::to_string(options.max_concurrent) + " running, " +
                       std::to_string(options.queue) + " waiting); try again later");
        return nullptr;
    }
    return ticket;
}

void Server::Impl::ask(const Request& req, Response& res) {
    const auto ticket = admit(req, res, false);
    if (!ticket) {
        return;
    }
    if (!ticket->wait_until_done()) {
        ticket->abandon();
        send_error(res, 504, "timeout",
                   "the question did not finish within " +
                       std::to_string(options.question_timeout.count()) + " s");
        return;
    }
    if (ticket->status() == 503) {
        res.set_header("Retry-After", "5");
    }
    send_json(res, ticket->status(), ticket->body());
    // The flow's time and the request's time in this server up to its answer: their
    // difference is the server's own (HTTP, JSON, queue hand-over).
    char timing[96];
    std::snprintf(
        timing, sizeof timing, "run;dur=%.3f, total;dur=%.3f", ticket->run_ms(),
        std::chrono::duration<double, std::milli>(Clock::now() - t_request_start).count());
    res.set_header("Server-Timing", timing);
}

void Server::Impl::ask_stream(const Request& req, Response& res) {
    const auto ticket = admit(req, res, true);
    if (!ticket) {
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Accel-Buffering", "no");
    const auto timeout = options.question_timeout;
    res.set_chunked_content_provider(
        "text/event-stream", [ticket, timeout](std::size_t, httplib::DataSink& sink) {
            const auto now = Clock::now();
            if (now >= ticket->deadline) {
                ticket->abandon();
                const std::string frame =
                    "event: error\ndata: " +
                    error_body("timeout", "the question did not finish within " +
                                              std::to_string(timeout.count()) + " s")
                        .dump() +
                    "\n\n";
                sink.write(frame.data(), frame.size());
                sink.done();
                return true;
            }
            const auto wait = std::min<Clock::duration>(kStreamKeepAlive, ticket->deadline - now);
            bool done = false;
            auto frames =
                ticket->take_events(std::chrono::duration_cast<std::chrono::milliseconds>(wait) +
                                        std::chrono::milliseconds(1),
                                    done);
            if (frames.empty() && !done) {
                frames.push_back(": waiting\n\n");
            }
            for (const auto& frame : frames) {
                if (!sink.write(frame.data(), frame.size())) {
                    ticket->abandon(); // the client went away
                    return false;
                }
            }
            if (done) {
                sink.done();
            }
            return true;
        });
}

void Server::Impl::database_failed(Response& res, const DatabaseError& e) {
    std::string why;
    if (!database_reachable(*db, &why)) {
        res.set_header("Retry-After", "5");
        send_error(res, 503, "database_unavailable",
                   std::string("the database is not reachable: ") + e.what());
        return;
    }
    const std::string message = e.what();
    if (message.find("Statement refused") != std::string::npos) {
        metrics.count_refusals(1);
        send_error(res, 400, "statement_refused", message);
        return;
    }
    send_error(res, 400, "sql_error", message);
}

void Server::Impl::run_sql(const Request& req, Response& res) {
    const auto body = read_body(req, res);
    if (!body) {
        return;
    }
    BodyReader fields{*body, ""};
    const auto statement = fields.text("sql");
    if (!fields.problem.empty()) {
        send_error(res, 400, "invalid_request", fields.problem);
        return;
    }
    try {
        send_json(res, 200,
                  rows_json(db->query(*statement, static_cast<std::int64_t>(options.max_rows))));
    } catch (const DatabaseError& e) {
        database_failed(res, e);
    }
}

void Server::Impl::tables(Response& res) {
    try {
        send_json(res, 200, {{"tables", db->get_usable_table_names()}});
    } catch (const DatabaseError& e) {
        database_failed(res, e);
    }
}

void Server::Impl::schema(const Request& req, Response& res) {
    if (!req.has_param("table") || req.get_param_value("table").empty()) {
        send_error(res, 400, "invalid_request", "the query parameter \"table\" is missing");
        return;
    }
    const std::string table = req.get_param_value("table");
    try {
        const auto names = db->get_usable_table_names();
        if (std::find(names.begin(), names.end(), table) == names.end()) {
            send_error(res, 404, "unknown_table",
                       "the database has no table named \"" + table.substr(0, 128) + "\"");
            return;
        }
        const sql::InfoSQLDatabaseTool info(db);
        send_json(res, 200, {{"table", table}, {"schema", info.run(table)}});
    } catch (const DatabaseError& e) {
        database_failed(res, e);
    }
}

void Server::Impl::chart(const Request& req, Response& res) {
    const auto file = charts.find(req.matches[1].str());
    std::ifstream in;
    if (file) {
        in.open(*file, std::ios::binary);
    }
    std::string data;
    if (in) {
        std::ostringstream text;
        text << in.rdbuf();
        data = text.str();
    }
    if (data.empty() || data.size() > kMaxChartBytes) {
        send_error(res, 404, "not_found", "no chart of that name");
        return;
    }
    res.set_header("Cache-Control", "private, max-age=3600");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(std::move(data), "image/png");
}

void Server::Impl::ready(Response& res) {
    if (stopping) {
        send_error(res, 503, "shutting_down", "the server is stopping");
        return;
    }
    if (!flow) {
        send_error(res, 503, "model_not_configured", "no language model is configured");
        return;
    }
    std::string why;
    if (!database_reachable(*db, &why)) {
        res.set_header("Retry-After", "5");
        send_error(res, 503, "database_unavailable", "the database is not reachable: " + why);
        return;
    }
    send_json(res, 200, {{"status", "ready"}});
}

void Server::Impl::log(const Request& req, const Response& res) {
    const auto start = t_request_start;
    t_request_start = {};
    const double ms = start == Clock::time_point{}
                          ? 0.0
                          : std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const std::string route = route_label(req.path);
    metrics.count_request(route, res.status);
    // The route's pattern for unknown paths too: a path is the client's text.
    char line[256];
    std::snprintf(
        line, sizeof line, "%s %s %s %d %.1f ms\n", utc_now().c_str(),
        req.method.substr(0, 16).c_str(),
        (route == "other" ? std::string("(unknown route)") : req.path.substr(0, 120)).c_str(),
        res.status, ms);
    write_all(2, line);
}

void Server::Impl::sweep_charts() {
    const auto every = std::clamp<std::chrono::seconds>(
        options.chart_ttl / 4, std::chrono::seconds(1), std::chrono::seconds(60));
    std::unique_lock lock(janitor_mutex);
    while (!janitor_stop) {
        lock.unlock();
        charts.sweep();
        lock.lock();
        janitor_wake.wait_for(lock, every, [this] { return janitor_stop; });
    }
}

void Server::Impl::routes() {
    http.set_pre_routing_handler([this](const Request& req, Response& res) {
        t_request_start = Clock::now();
        return check_request(req, res) ? HandlerResponse::Unhandled : HandlerResponse::Handled;
    });
    http.set_error_handler(
        httplib::Server::HandlerWithResponse([this](const Request&, Response& res) {
            if (!res.body.empty()) {
                return HandlerResponse::Unhandled;
            }
            switch (res.status) {
            case 404:
                send_error(res, 404, "not_found", "there is no such route");
                break;
            case 413:
                send_error(res, 413, "body_too_large",
                           "the request body is over " + std::to_string(options.max_body_bytes) +
                               " bytes");
                break;
            default:
                send_error(res, res.status, "bad_request", "the request could not be read");
            }
            return HandlerResponse::Handled;
        }));
    http.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
        send_error(res, 500, "internal_error", "the server failed while handling the request");
    });
    http.set_logger([this](const Request& req, const Response& res) { log(req, res); });

    for (const auto& asset : web_assets()) {
        http.Get(std::string(asset.path), [&asset](const Request&, Response& res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_header("X-Content-Type-Options", "nosniff");
            res.set_content(std::string(asset.body), std::string(asset.content_type));
        });
    }
    http.Get("/healthz", [](const Request&, Response& res) {
        send_json(res, 200, {{"status", "ok"}});
    });
    http.Get("/readyz", [this](const Request&, Response& res) { ready(res); });
    http.Get("/metrics", [this](const Request&, Response& res) {
        res.set_content(metrics.render(pool.running(), pool.waiting()),
                        "text/plain; version=0.0.4; charset=utf-8");
    });
    http.Get("/v1/tables", [this](const Request&, Response& res) { tables(res); });
    http.Get("/v1/schema", [this](const Request& req, Response& res) { schema(req, res); });
    http.Post("/v1/sql", [this](const Request& req, Response& res) { run_sql(req, res); });
    http.Post("/v1/ask", [this](const Request& req, Response& res) { ask(req, res); });
    http.Post("/v1/ask/stream",
              [this](const Request& req, Response& res) { ask_stream(req, res); });
    http.Get(R"(/v1/charts/([0-9a-f]{32}\.png))",
             [this](const Request& req, Response& res) { chart(req, res); });
}

void parse_listen_address(std::string_view text, std::string& host, int& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == text.size()) {
        throw ValueError("the listen address must be host:port, e.g. 127.0.0.1:8700, not \"" +
                         std::string(text) + "\"");
    }
    std::string_view h = text.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') {
        h = h.substr(1, h.size() - 2);
    }
    const std::string digits(text.substr(colon + 1));
    if (h.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 65535) {
        throw ValueError(
            "the listen address must be host:port with a port from 0 to 65535, not \"" +
            std::string(text) + "\"");
    }
    host = std::string(h);
    port = std::stoi(digits);
}

bool is_loopback_host(std::string_view host) {
    if (host == "localhost" || host == "::1") {
        return true;
    }
    in_addr v4{};
    const std::string text(host);
    return ::inet_pton(AF_INET, text.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

Server::Server(ServeOptions options, std::shared_ptr<sql::CustomSQLDatabase> db,
               std::shared_ptr<const flow::SQLGraph> flow) {
    if (!is_loopback_host(options.host) && options.token.empty()) {
        throw ConfigError("refusing to listen on " + options.host +
                          " without a token: anyone who reaches that address could ask "
                          "questions and run SQL. Set --token or ZOLVI_SERVE_TOKEN, or listen on "
                          "127.0.0.1");
    }
    if (options.max_concurrent == 0) {
        throw ConfigError("--max-concurrent must be at least 1");
    }
    impl_ = std::make_unique<Impl>(std::move(options), std::move(db), std::move(flow));
    Impl& s = *impl_;
    // One connection thread for every question that may run or wait, and some for the other
    // routes, so a full queue is answered with 503 at once and never by a stalled connection.
    const std::size_t threads = s.options.max_concurrent + s.options.queue + 16;
    s.http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    s.http.set_payload_max_length(s.options.max_body_bytes);
    s.http.set_tcp_nodelay(true);
    // httplib listens with a backlog of 5, which a burst of connections overflows (the
    // kernel then resets some). The listening socket is remembered here and its backlog
    // raised after the bind; listen() on a listening socket only changes the backlog.
    s.http.set_socket_options([&s](socket_t sock) {
        httplib::default_socket_options(sock);
        s.listen_socket = sock;
    });
    s.http.set_keep_alive_timeout(5);
    s.routes();
    s.janitor = std::thread([&s] { s.sweep_charts(); });
}

Server::~Server() {
    {
        std::lock_guard lock(impl_->janitor_mutex);
        impl_->janitor_stop = true;
    }
    impl_->janitor_wake.notify_all();
    impl_->janitor.join();
}

int Server::bind() {
    Impl& s = *impl_;
    if (s.options.port == 0) {
        const int port = s.http.bind_to_any_port(s.options.host);
        if (port <= 0) {
            throw IoError("cannot listen on " + s.options.host + ": no free port");
        }
        s.options.port = port;
        ::listen(s.listen_socket, SOMAXCONN);
        return port;
    }
    if (!s.http.bind_to_port(s.options.host, s.options.port)) {
        throw IoError("cannot listen on " + s.options.host + ":" + std::to_string(s.options.port) +
                      ": the address is in use or not this machine's");
    }
    ::listen(s.listen_socket, SOMAXCONN);
    return s.options.port;
}

void Server::run() {
    impl_->http.listen_after_bind();
}

bool Server::listening() const {
    return impl_->http.is_running();
}

void Server::stop() {
    impl_->stopping = true;
    impl_->http.stop();
}

std::size_t Server::questions_pending() const {
    return impl_->pending;
}

} // namespace zolviai::serve
