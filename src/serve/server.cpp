#include "zolviai/serve/server.hpp"

#include "serve/chart_store.hpp"
#include "serve/conversation_routes.hpp"
#include "serve/http_listener.hpp"
#include "serve/mcp_route.hpp"
#include "serve/memory_routes.hpp"
#include "serve/metrics.hpp"
#include "serve/question.hpp"
#include "serve/question_pool.hpp"
#include "serve/web_assets.hpp"
#include "zolviai/agent/error_table.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/sql/tools.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <future>
#include <set>
#include <strings.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zolviai::serve {
namespace {

constexpr std::uintmax_t kMaxChartBytes = 64 * 1024 * 1024;
// A stream that has nothing to say for this long sends a comment line, so that proxies and
// browsers do not take a long step for a dead connection.
constexpr std::chrono::seconds kStreamKeepAlive{15};
// Database routes (tables, schema, SQL, readiness) run off the connection threads.
constexpr std::size_t kDatabaseWorkers = 8;
constexpr std::size_t kDatabaseQueue = 64;

// The page may load only its own files and talk only to this server; nobody may frame it.
const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

bool is_chart_name(std::string_view name) {
    if (name.size() != 36 || name.substr(32) != ".png") {
        return false;
    }
    return std::all_of(name.begin(), name.begin() + 32,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
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

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

HttpResponse json_response(int status, const Value& body) {
    HttpResponse res;
    res.status = status;
    res.body = body.dump(-1, ' ', false, Value::error_handler_t::replace);
    res.headers.emplace_back("Content-Type", "application/json");
    return res;
}

HttpResponse error_response(int status, const std::string& code, const std::string& message) {
    return json_response(status, error_body(code, message));
}

std::string utc_now() {
    char text[32];
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

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

// What a streamed question shares between the worker's events, its timers and the sink.
struct StreamState {
    std::mutex mutex;
    std::shared_ptr<ChunkSink> sink;
    bool ended = false;
    std::function<void()> cancel_deadline;
    std::function<void()> cancel_keep_alive;
};

} // namespace

struct Server::Impl : HttpHandler {
    Impl(ServeOptions o, std::shared_ptr<sql::CustomSQLDatabase> database,
         std::shared_ptr<const flow::SQLGraph> graph)
        : options(std::move(o)), db(std::move(database)), flow(std::move(graph)),
          asker(flow ? std::make_unique<agent::Asker>(flow) : nullptr),
          charts(options.media_dir, options.chart_ttl),
          database_pool(kDatabaseWorkers, kDatabaseQueue),
          listener(limits_from(options), *this, options.io_threads),
          mcp_route(mcp_backend(), mcp_options(options)),
          pool(options.max_concurrent, options.queue) {
        if (asker && options.memory) {
            asker->set_memory(options.memory);
        }
        register_routes();
    }

    static HttpLimits limits_from(const ServeOptions& o) {
        HttpLimits l;
        l.head_timeout = o.head_timeout;
        l.body_timeout = o.body_timeout;
        l.idle_timeout = o.idle_timeout;
        l.max_header_lines = o.max_header_lines;
        l.max_header_bytes = o.max_header_bytes;
        l.max_body_bytes = o.max_body_bytes;
        l.max_connections = o.max_connections;
        l.max_connections_per_client = o.max_connections_per_client;
        return l;
    }

    ServeOptions options;
    std::shared_ptr<sql::CustomSQLDatabase> db;
    std::shared_ptr<const flow::SQLGraph> flow;
    std::unique_ptr<agent::Asker> asker; // over flow, when there is one
    Metrics metrics;
    ChartStore charts;
    std::set<std::string> allowed_hosts;   // lower case, with the port where it is given
    std::set<std::string> allowed_origins; // lower case, without a trailing slash
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> pending{0};
    std::atomic<double> mean_seconds{1.0}; // of recent questions: the Retry-After estimate

    std::mutex janitor_mutex;
    std::condition_variable janitor_wake;
    bool janitor_stop = false;
    std::thread janitor;

    QuestionPool database_pool;
    HttpListener listener;
    McpRoute mcp_route; // its calls reply through the listener
    QuestionPool pool;  // last: its workers use everything above and are joined first

    // One row per route: registration, the method and token checks and the metrics label all
    // read it. Handlers take the whole request and reply exactly once, from any thread.
    using Handler = void (Impl::*)(const HttpRequest&, HttpReply);
    struct Route {
        const char* method;
        std::string path; // the whole path, or its start when prefix
        bool prefix;
        bool token;         // needs the bearer token when the server has one
        std::string metric; // the route's label in metrics and logs (never the client's path)
        Handler handler;
    };
    std::vector<Route> routes;
    void register_routes();
    const Route* find_route(const std::string& path, std::string_view method = {}) const;

    void healthz(const HttpRequest&, HttpReply reply);
    void metrics_text(const HttpRequest&, HttpReply reply);
    void readyz(const HttpRequest&, HttpReply reply);
    void list_tables(const HttpRequest&, HttpReply reply);
    void describe(const HttpRequest& req, HttpReply reply);
    void sql(const HttpRequest& req, HttpReply reply);
    void chart_file(const HttpRequest& req, HttpReply reply);
    void conversation(const HttpRequest& req, HttpReply reply);
    void memory_route(const HttpRequest& req, HttpReply reply);
    void asset(const HttpRequest& req, HttpReply reply);
    void mcp(const HttpRequest& req, HttpReply reply) { mcp_route.handle(req, std::move(reply)); }
    // The server's memory and conversations serve MCP clients too.
    mcp::Backend mcp_backend() const {
        std::shared_ptr<agent::Asker> mcp_asker;
        if (flow) {
            mcp_asker = std::make_shared<agent::Asker>(flow);
            if (options.memory) {
                mcp_asker->set_memory(options.memory);
            }
        }
        return {db, std::move(mcp_asker), options.conversations};
    }
    static mcp::SessionOptions mcp_options(const ServeOptions& o) {
        mcp::SessionOptions m;
        m.media_dir = o.media_dir;
        m.limits.max_bytes = o.max_body_bytes;
        return m;
    }

    // HttpHandler
    std::optional<HttpResponse> screen(const HttpRequest& head) override;
    void handle(HttpRequest request, HttpReply reply) override;
    void completed(const HttpRequest& request, int status) override;

    void allow_hosts(int port);
    bool host_allowed(const HttpRequest& head) const;
    bool origin_allowed(const HttpRequest& head, bool& cross) const;
    void add_common_headers(HttpResponse& res, const std::string& origin) const;
    std::optional<Value> read_body(const HttpRequest& req, HttpResponse& refusal);
    std::shared_ptr<Ticket> admit(const HttpRequest& req, HttpResponse& refusal, bool stream);
    void ask(const HttpRequest& req, HttpReply reply);
    void ask_stream(const HttpRequest& req, HttpReply reply);
    void on_database(HttpReply reply, std::function<HttpResponse()> work);
    HttpResponse run_sql(const HttpRequest& req);
    HttpResponse tables();
    HttpResponse schema(const HttpRequest& req);
    HttpResponse chart(const HttpRequest& req);
    HttpResponse ready();
    HttpResponse database_failed(const DatabaseError& e);
    HttpResponse answer(const Ticket& ticket, Clock::time_point start);
    int retry_after() const;
    void sweep_charts();
};

int Server::Impl::retry_after() const {
    const double waiting = static_cast<double>(pool.waiting()) + 1;
    const double estimate = mean_seconds.load() * waiting /
                            static_cast<double>(std::max<std::size_t>(1, options.max_concurrent));
    return static_cast<int>(std::clamp(std::ceil(estimate), 1.0, 60.0));
}

void Server::Impl::allow_hosts(int port) {
    const std::string suffix = ":" + std::to_string(port);
    const bool v6 = options.host.find(':') != std::string::npos;
    for (const std::string& name :
         {std::string("localhost"), std::string("127.0.0.1"), std::string("[::1]"),
          v6 ? "[" + options.host + "]" : options.host}) {
        allowed_hosts.insert(lower(name) + suffix);
        if (port == 80) {
            allowed_hosts.insert(lower(name));
        }
    }
    for (const auto& host : options.public_hosts) {
        allowed_hosts.insert(lower(host));
        if (host.find(':') == std::string::npos || host.back() == ']') {
            allowed_hosts.insert(lower(host) + suffix);
        }
    }
    for (std::string origin : options.allow_origins) {
        while (!origin.empty() && origin.back() == '/') {
            origin.pop_back();
        }
        allowed_origins.insert(lower(origin));
    }
}

bool Server::Impl::host_allowed(const HttpRequest& head) const {
    const std::string* host = head.header("host");
    return host && allowed_hosts.count(lower(*host)) > 0;
}

// The server's own origin is the scheme and the Host the request came with (already one the
// server answers to); any other needs --allow-origin. cross tells whether CORS headers apply.
bool Server::Impl::origin_allowed(const HttpRequest& head, bool& cross) const {
    cross = false;
    const std::string* origin = head.header("origin");
    if (!origin) {
        return true;
    }
    const std::string value = lower(*origin);
    const std::string host = lower(*head.header("host"));
    if (value == "http://" + host || value == "https://" + host) {
        return true;
    }
    cross = allowed_origins.count(value) > 0;
    return cross;
}

void Server::Impl::add_common_headers(HttpResponse& res, const std::string& origin) const {
    res.headers.emplace_back("X-Content-Type-Options", "nosniff");
    res.headers.emplace_back("Referrer-Policy", "no-referrer");
    res.headers.emplace_back("X-Frame-Options", "DENY");
    res.headers.emplace_back("Content-Security-Policy", kContentSecurityPolicy);
    if (!origin.empty() && allowed_origins.count(lower(origin)) > 0) {
        res.headers.emplace_back("Access-Control-Allow-Origin", origin);
        res.headers.emplace_back("Vary", "Origin");
    }
}

std::optional<HttpResponse> Server::Impl::screen(const HttpRequest& head) {
    const std::string* origin = head.header("origin");
    auto refuse = [&](HttpResponse res) {
        add_common_headers(res, origin ? *origin : std::string());
        return std::optional<HttpResponse>(std::move(res));
    };
    if (!host_allowed(head)) {
        return refuse(error_response(421, "misdirected_request",
                                     "this server does not answer to that Host name; start it "
                                     "with --public-host to add one"));
    }
    bool cross = false;
    if (!origin_allowed(head, cross)) {
        return refuse(error_response(403, "forbidden_origin",
                                     "requests from pages of another origin are refused; start "
                                     "the server with --allow-origin to allow one"));
    }
    if (head.method == "OPTIONS" && cross) {
        HttpResponse res;
        res.status = 204;
        res.headers = {{"Access-Control-Allow-Methods", "GET, POST, DELETE"},
                       {"Access-Control-Allow-Headers",
                        "Authorization, Content-Type, Mcp-Session-Id, MCP-Protocol-Version"},
                       {"Access-Control-Max-Age", "600"}};
        return refuse(std::move(res));
    }
    // The route and the method are decided from the head, before any byte of the body.
    const Route* route = find_route(head.path, head.method == "HEAD" ? "GET" : head.method);
    if (!route) {
        return refuse(error_response(404, "not_found", "there is no such route"));
    }
    const std::string_view method = route->method; // one method, or several: "GET, POST"
    const auto takes = [&](std::string_view m) {
        for (std::size_t at = method.find(m); at != std::string_view::npos;
             at = method.find(m, at + 1)) {
            const std::size_t end = at + m.size();
            if ((at == 0 || method[at - 1] == ' ') &&
                (end == method.size() || method[end] == ',')) {
                return true;
            }
        }
        return false;
    };
    if (!takes(head.method) && !(head.method == "HEAD" && takes("GET"))) {
        auto res = error_response(405, "method_not_allowed",
                                  "this route takes " + std::string(method) + " only");
        res.headers.emplace_back("Allow", std::string(method));
        return refuse(std::move(res));
    }
    const bool needs_token = route->token;
    if (needs_token && !options.token.empty()) {
        const std::string* header = head.header("authorization");
        // The scheme's name is case-insensitive (RFC 7235); the token is not.
        const bool bearer =
            header && header->size() > 7 && strncasecmp(header->c_str(), "Bearer ", 7) == 0;
        if (!bearer || !same_secret(std::string_view(*header).substr(7), options.token)) {
            auto res = error_response(401, "unauthorized",
                                      !header || header->empty()
                                          ? "this route needs an Authorization: Bearer header"
                                          : "the bearer token is not the server's");
            res.headers.emplace_back("WWW-Authenticate", "Bearer");
            return refuse(std::move(res));
        }
    }
    if (head.method == "POST") {
        // A browser sends text/plain and form bodies to any origin without asking first; JSON
        // it sends only after a preflight this server does not grant.
        const std::string* type = head.header("content-type");
        if (!type || trim(lower(type->substr(0, type->find(';')))) != "application/json") {
            return refuse(error_response(415, "unsupported_media_type",
                                         "the request body must be sent as Content-Type: "
                                         "application/json"));
        }
    }
    return std::nullopt;
}

void Server::Impl::register_routes() {
    // clang-format off
    // method  path               prefix token  metric              handler
    routes = {
        {"GET",  "/healthz",        false, false, "/healthz",           &Impl::healthz},
        {"GET",  "/readyz",         false, false, "/readyz",            &Impl::readyz},
        {"GET",  "/metrics",        false, true,  "/metrics",           &Impl::metrics_text},
        {"GET",  "/v1/tables",      false, true,  "/v1/tables",         &Impl::list_tables},
        {"GET",  "/v1/schema",      false, true,  "/v1/schema",         &Impl::describe},
        {"POST", "/v1/sql",         false, true,  "/v1/sql",            &Impl::sql},
        {"POST", "/v1/ask",         false, true,  "/v1/ask",            &Impl::ask},
        {"POST", "/v1/ask/stream",  false, true,  "/v1/ask/stream",     &Impl::ask_stream},
        {"GET",  "/v1/charts/",     true,  true,  "/v1/charts/{name}",  &Impl::chart_file},
        {"GET",  "/v1/conversations/", true, true, "/v1/conversations/{id}", &Impl::conversation},
        {"DELETE", "/v1/conversations/", true, true, "/v1/conversations/{id}", &Impl::conversation},
        {"GET, POST", "/v1/memory", false, true,  "/v1/memory",         &Impl::memory_route},
        {"DELETE", "/v1/memory/",   true,  true,  "/v1/memory/{id}",    &Impl::memory_route},
        {"POST, DELETE", "/mcp",    false, true,  "/mcp",               &Impl::mcp},
    };
    // clang-format on
    // The page and its files, compiled in: open to every client that may reach the server.
    for (const auto& a : web_assets()) {
        routes.push_back(
            {"GET", std::string(a.path), false, false, std::string(a.path), &Impl::asset});
    }
}

const Server::Impl::Route* Server::Impl::find_route(const std::string& path,
                                                    std::string_view method) const {
    const Route* first = nullptr;
    for (const Route& r : routes) {
        if (r.prefix ? path.compare(0, r.path.size(), r.path) == 0 : path == r.path) {
            // A path served under several methods: the request's own, else the first.
            if (method.empty() || method == r.method) {
                return &r;
            }
            first = first ? first : &r;
        }
    }
    return first;
}

void Server::Impl::handle(HttpRequest request, HttpReply reply) {
    // Every answer carries the page's protection headers.
    const std::string* origin = request.header("origin");
    auto send = [this, reply, origin = origin ? *origin : std::string()](HttpResponse res) {
        add_common_headers(res, origin);
        reply(std::move(res));
    };
    const Route* route =
        find_route(request.path, request.method == "HEAD" ? "GET" : request.method);
    if (!route) {
        send(error_response(404, "not_found", "there is no such route"));
        return;
    }
    (this->*route->handler)(request, send);
}

void Server::Impl::healthz(const HttpRequest&, HttpReply reply) {
    reply(json_response(200, {{"status", "ok"}}));
}

void Server::Impl::metrics_text(const HttpRequest&, HttpReply reply) {
    HttpResponse res;
    res.body = metrics.render(pool.running(), pool.waiting());
    res.headers = {{"Content-Type", "text/plain; version=0.0.4; charset=utf-8"}};
    reply(std::move(res));
}

void Server::Impl::readyz(const HttpRequest&, HttpReply reply) {
    on_database(std::move(reply), [this] { return ready(); });
}

void Server::Impl::list_tables(const HttpRequest&, HttpReply reply) {
    on_database(std::move(reply), [this] { return tables(); });
}

void Server::Impl::describe(const HttpRequest& req, HttpReply reply) {
    on_database(std::move(reply), [this, req] { return schema(req); });
}

void Server::Impl::sql(const HttpRequest& req, HttpReply reply) {
    on_database(std::move(reply), [this, req] { return run_sql(req); });
}

void Server::Impl::memory_route(const HttpRequest& req, HttpReply reply) {
    on_database(std::move(reply), [this, req] {
        return memory_response(options.memory.get(), *db, req, options.max_body_bytes);
    });
}

void Server::Impl::chart_file(const HttpRequest& req, HttpReply reply) {
    reply(chart(req));
}

void Server::Impl::conversation(const HttpRequest& req, HttpReply reply) {
    on_database(std::move(reply), [this, req] {
        RouteAnswer a = conversation_request(options.conversations.get(), req.method, req.path);
        if (a.status == 204) {
            HttpResponse res;
            res.status = 204;
            return res;
        }
        return json_response(a.status, a.body);
    });
}

void Server::Impl::asset(const HttpRequest& req, HttpReply reply) {
    for (const auto& a : web_assets()) {
        if (req.path == a.path) {
            HttpResponse res;
            res.body = std::string(a.body);
            res.headers = {{"Content-Type", std::string(a.content_type)},
                           {"Cache-Control", "no-cache"}};
            reply(std::move(res));
            return;
        }
    }
    reply(error_response(404, "not_found", "there is no such route"));
}

void Server::Impl::on_database(HttpReply reply, std::function<HttpResponse()> work) {
    const bool queued = database_pool.submit([reply, work = std::move(work)] {
        try {
            reply(work());
        } catch (const std::exception&) {
            reply(error_response(500, "internal_error",
                                 "the server failed while handling the request"));
        }
    });
    if (!queued) {
        auto res = error_response(503, "busy", "too many database requests at once; try again");
        res.headers.emplace_back("Retry-After", "1");
        reply(std::move(res));
    }
}

void Server::Impl::completed(const HttpRequest& req, int status) {
    const double ms =
        req.start == Clock::time_point{}
            ? 0.0
            : std::chrono::duration<double, std::milli>(Clock::now() - req.start).count();
    const Route* found = req.path.empty() ? nullptr : find_route(req.path);
    const std::string route = found ? found->metric : "other";
    metrics.count_request(route, status);
    // The route's pattern for unknown paths: a path is the client's text. Any of it that is
    // logged is escaped and cut, so it cannot forge a line or steer a terminal.
    const std::string path = req.path.empty()   ? std::string("-")
                             : route == "other" ? std::string("(unknown route)")
                                                : log_safe(req.path, 120);
    const std::string method = req.method.empty() ? "-" : log_safe(req.method, 16);
    char line[512];
    std::snprintf(line, sizeof line, "%s %s %s %d %.1f ms\n", utc_now().c_str(), method.c_str(),
                  path.c_str(), status, ms);
    write_all(2, line);
}

std::optional<Value> Server::Impl::read_body(const HttpRequest& req, HttpResponse& refusal) {
    JsonLimits limits;
    limits.max_bytes = options.max_body_bytes;
    limits.max_depth = 64;
    Value body;
    try {
        body = parse_json_input(req.body, limits);
    } catch (const JsonInputError& e) {
        refusal = error_response(400, "invalid_json",
                                 std::string("the request body is not JSON: ") + e.what());
        return std::nullopt;
    }
    if (!body.is_object()) {
        refusal = error_response(400, "invalid_json", "the request body must be a JSON object");
        return std::nullopt;
    }
    return body;
}

std::shared_ptr<Ticket> Server::Impl::admit(const HttpRequest& req, HttpResponse& refusal,
                                            bool stream) {
    const auto body = read_body(req, refusal);
    if (!body) {
        return nullptr;
    }
    BodyReader fields{*body, ""};
    const auto question = fields.text("question");
    const bool sql_only = fields.flag("sql_only");
    std::string conversation_id;
    if (const Value* id = fields.field("conversation_id"); id && !id->is_null()) {
        if (!id->is_string()) {
            fields.note("the field \"conversation_id\" must be a text");
        } else {
            conversation_id = id->get<std::string>();
        }
    }
    if (!fields.problem.empty()) {
        refusal = error_response(400, "invalid_request", fields.problem);
        return nullptr;
    }
    if (!flow) {
        refusal =
            error_response(503, "model_not_configured",
                           "no language model is configured for this server: set OPENAI_BASE_URL, "
                           "OPENAI_API_KEY, AZURE_OPENAI_* or ZOLVI_API_BASE_URL and restart it");
        return nullptr;
    }
    if (stopping) {
        refusal = error_response(503, "shutting_down",
                                 "the server is stopping and takes no new questions");
        refusal.headers.emplace_back("Retry-After", "5");
        return nullptr;
    }
    auto ticket = std::make_shared<Ticket>(*question, sql_only,
                                           Clock::now() + options.question_timeout, stream);
    ticket->conversation_id = conversation_id;
    ++pending;
    const QuestionServices services{
        *asker, *db, charts, metrics, options.max_rows, options.conversations.get()};
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
        refusal = error_response(503, "busy",
                                 "every worker is busy and the queue is full (" +
                                     std::to_string(options.max_concurrent) + " running, " +
                                     std::to_string(options.queue) + " waiting); try again later");
        refusal.headers.emplace_back("Retry-After", std::to_string(retry_after()));
        return nullptr;
    }
    return ticket;
}

HttpResponse Server::Impl::answer(const Ticket& ticket, Clock::time_point start) {
    auto res = json_response(ticket.status(), ticket.body());
    if (ticket.retry_after_s() > 0) {
        res.headers.emplace_back("Retry-After", std::to_string(ticket.retry_after_s()));
    }
    // The flow's time and the request's time in this server up to its answer: their
    // difference is the server's own (HTTP, JSON, queue hand-over).
    char timing[96];
    std::snprintf(timing, sizeof timing, "run;dur=%.3f, total;dur=%.3f", ticket.run_ms(),
                  std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    res.headers.emplace_back("Server-Timing", timing);
    return res;
}

void Server::Impl::ask(const HttpRequest& req, HttpReply reply) {
    HttpResponse refusal;
    const auto ticket = admit(req, refusal, false);
    if (!ticket) {
        reply(std::move(refusal));
        return;
    }
    // The answer goes out once: when the question ends or when its deadline passes.
    auto once = std::make_shared<std::atomic<bool>>(false);
    const auto timeout = options.question_timeout;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(ticket->deadline - Clock::now());
    auto cancel = listener.after(left, [ticket, once, reply, timeout] {
        if (once->exchange(true)) {
            return;
        }
        ticket->on_change(nullptr);
        ticket->abandon();
        reply(error_response(504, "timeout",
                             "the question did not finish within " +
                                 std::to_string(timeout.count()) + " s"));
    });
    Ticket* t = ticket.get();
    const auto start = req.start;
    ticket->on_change([this, t, once, reply, cancel, start] {
        if (!t->done() || once->exchange(true)) {
            return;
        }
        reply(answer(*t, start));
        cancel();
    });
}

void Server::Impl::ask_stream(const HttpRequest& req, HttpReply reply) {
    HttpResponse refusal;
    const auto ticket = admit(req, refusal, true);
    if (!ticket) {
        reply(std::move(refusal));
        return;
    }
    HttpResponse res;
    res.headers = {{"Content-Type", "text/event-stream"},
                   {"Cache-Control", "no-cache"},
                   {"X-Accel-Buffering", "no"}};
    const auto timeout = options.question_timeout;
    res.stream = [this, ticket, timeout](std::shared_ptr<ChunkSink> sink) {
        auto state = std::make_shared<StreamState>();
        state->sink = std::move(sink);
        Ticket* t = ticket.get();
        // Ends the stream (under the state's lock).
        auto end = [t](StreamState& s) {
            s.ended = true;
            if (s.cancel_deadline) {
                s.cancel_deadline();
            }
            if (s.cancel_keep_alive) {
                s.cancel_keep_alive();
            }
            t->on_change(nullptr);
        };
        std::unique_lock lock(state->mutex);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(ticket->deadline - Clock::now());
        state->cancel_deadline = listener.after(left, [state, ticket, timeout, end] {
            std::lock_guard l(state->mutex);
            if (state->ended) {
                return;
            }
            ticket->abandon();
            state->sink->write("event: error\ndata: " +
                               error_body("timeout", "the question did not finish within " +
                                                         std::to_string(timeout.count()) + " s")
                                   .dump() +
                               "\n\n");
            state->sink->finish();
            end(*state);
        });
        // A comment line now and then while a step runs; a write that fails tells that the
        // client has gone, and the question is then dropped if it has not started.
        auto keep_alive = std::make_shared<std::function<void()>>();
        std::weak_ptr<std::function<void()>> weak_keep_alive = keep_alive;
        *keep_alive = [this, state, t, end, weak_keep_alive] {
            std::lock_guard l(state->mutex);
            if (state->ended) {
                return;
            }
            if (state->sink->closed()) {
                t->abandon();
                end(*state);
                return;
            }
            state->sink->write(": waiting\n\n");
            if (auto again = weak_keep_alive.lock()) {
                state->cancel_keep_alive =
                    listener.after(kStreamKeepAlive, [again] { (*again)(); });
            }
        };
        state->cancel_keep_alive =
            listener.after(kStreamKeepAlive, [keep_alive] { (*keep_alive)(); });
        lock.unlock(); // the ticket may call back at once
        ticket->on_change([state, t, end] {
            std::lock_guard l(state->mutex);
            if (state->ended) {
                return;
            }
            bool done = false;
            for (auto& frame : t->take_events(std::chrono::milliseconds(0), done)) {
                state->sink->write(std::move(frame));
            }
            if (done) {
                state->sink->finish();
                end(*state);
            } else if (state->sink->closed()) {
                t->abandon();
                end(*state);
            }
        });
    };
    reply(std::move(res));
}

HttpResponse Server::Impl::database_failed(const DatabaseError& e) {
    const agent::ErrorFace& face = agent::error_face(e);
    if (face.kind == ErrorKind::StatementRefused) {
        metrics.count_refusals(1);
    }
    // The statement is the client's own: an engine's error is a bad request, not ours.
    auto res = face.kind == ErrorKind::Database
                   ? error_response(400, "sql_error", e.what())
                   : error_response(face.http_status, face.http_code, e.what());
    if (face.retry_after_s > 0) {
        res.headers.emplace_back("Retry-After", std::to_string(face.retry_after_s));
    }
    return res;
}

HttpResponse Server::Impl::run_sql(const HttpRequest& req) {
    HttpResponse refusal;
    const auto body = read_body(req, refusal);
    if (!body) {
        return refusal;
    }
    BodyReader fields{*body, ""};
    const auto statement = fields.text("sql");
    if (!fields.problem.empty()) {
        return error_response(400, "invalid_request", fields.problem);
    }
    try {
        return json_response(
            200, rows_json(db->query(*statement, static_cast<std::int64_t>(options.max_rows))));
    } catch (const DatabaseError& e) {
        return database_failed(e);
    }
}

HttpResponse Server::Impl::tables() {
    try {
        return json_response(200, {{"tables", db->get_usable_table_names()}});
    } catch (const DatabaseError& e) {
        return database_failed(e);
    }
}

HttpResponse Server::Impl::schema(const HttpRequest& req) {
    const auto table = req.param("table");
    if (!table || table->empty()) {
        return error_response(400, "invalid_request", "the query parameter \"table\" is missing");
    }
    try {
        const auto names = db->get_usable_table_names();
        if (std::find(names.begin(), names.end(), *table) == names.end()) {
            return error_response(404, "unknown_table",
                                  "the database has no table named \"" + table->substr(0, 128) +
                                      "\"");
        }
        const sql::InfoSQLDatabaseTool info(db);
        return json_response(200, {{"table", *table}, {"schema", info.run(*table)}});
    } catch (const DatabaseError& e) {
        return database_failed(e);
    }
}

// A chart is read from disk in chunks as it is sent, never whole into memory.
HttpResponse Server::Impl::chart(const HttpRequest& req) {
    const std::string name = req.path.substr(std::string("/v1/charts/").size());
    const auto file = is_chart_name(name) ? charts.find(name) : std::nullopt;
    std::error_code ec;
    const auto size = file ? std::filesystem::file_size(*file, ec) : 0;
    if (!file || ec || size == 0 || size > kMaxChartBytes) {
        return error_response(404, "not_found", "no chart of that name");
    }
    HttpResponse res;
    res.file = file->string();
    res.headers = {{"Content-Type", "image/png"}, {"Cache-Control", "private, max-age=3600"}};
    return res;
}

HttpResponse Server::Impl::ready() {
    if (stopping) {
        return error_response(503, "shutting_down", "the server is stopping");
    }
    if (!flow) {
        return error_response(503, "model_not_configured", "no language model is configured");
    }
    std::string why;
    if (!database_reachable(*db, &why)) {
        auto res =
            error_response(503, "database_unavailable", "the database is not reachable: " + why);
        res.headers.emplace_back("Retry-After", "5");
        return res;
    }
    return json_response(200, {{"status", "ready"}});
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

void make_private_folder(const std::string& dir, bool parents) {
    namespace fs = std::filesystem;
    const fs::path path(dir);
    if (parents && path.has_parent_path() && path.parent_path() != path) {
        struct stat parent {};
        if (::lstat(path.parent_path().c_str(), &parent) != 0) {
            make_private_folder(path.parent_path().string(), true);
        }
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw ConfigError("cannot create the media folder " + dir + ": " +
                          std::error_code(errno, std::generic_category()).message());
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        throw ConfigError("cannot read the media folder " + dir + ": " +
                          std::error_code(errno, std::generic_category()).message());
    }
    if (S_ISLNK(info.st_mode)) {
        throw ConfigError("the media folder " + dir +
                          " is a symbolic link; remove it or choose another with --media");
    }
    if (!S_ISDIR(info.st_mode)) {
        throw ConfigError("the media folder " + dir + " is not a folder");
    }
    if (info.st_uid != ::geteuid()) {
        throw ConfigError("the media folder " + dir +
                          " belongs to another user; remove it or choose another with --media");
    }
    if ((info.st_mode & 077) != 0) {
        throw ConfigError("the media folder " + dir +
                          " is open to other users; make it private (chmod 700) or choose "
                          "another with --media");
    }
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
    // Charts and the analysis' files live here: nobody else may enter it or swap it for a link.
    make_private_folder(options.media_dir, true);
    impl_ = std::make_unique<Impl>(std::move(options), std::move(db), std::move(flow));
    Impl& s = *impl_;
    if (s.options.port != 0) {
        s.allow_hosts(s.options.port); // bind() adds the port it gets when asked for any
    }
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

HttpResponse Server::respond(HttpRequest request) {
    if (auto refusal = impl_->screen(request)) {
        impl_->completed(request, refusal->status);
        return std::move(*refusal);
    }
    auto done = std::make_shared<std::promise<HttpResponse>>();
    impl_->handle(request, [done](HttpResponse res) { done->set_value(std::move(res)); });
    HttpResponse res = done->get_future().get();
    impl_->completed(request, res.status);
    return res;
}

int Server::bind() {
    Impl& s = *impl_;
    const int port = s.listener.bind(s.options.host, s.options.port);
    s.options.port = port;
    s.allow_hosts(port);
    return port;
}

void Server::run() {
    impl_->listener.run();
}

bool Server::listening() const {
    return impl_->listener.running();
}

void Server::stop() {
    impl_->stopping = true;
    impl_->listener.stop();
}

std::size_t Server::questions_pending() const {
    return impl_->pending;
}

} // namespace zolviai::serve
