#include "serve/mcp_route.hpp"

#include "serve/chart_store.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/mcp/workers.hpp"

#include <algorithm>

namespace zolviai::serve {
namespace {

using Clock = std::chrono::steady_clock;

// Sessions kept at once; past it the one used longest ago is dropped for a new one.
constexpr std::size_t kMostSessions = 256;
// A session nobody has used for this long is dropped.
constexpr std::chrono::hours kSessionIdle{1};

HttpResponse rpc_response(int status, const Value& body) {
    HttpResponse res;
    res.status = status;
    res.body = body.dump(-1, ' ', false, Value::error_handler_t::replace);
    res.headers.emplace_back("Content-Type", "application/json");
    return res;
}

HttpResponse rpc_error(int status, int code, const std::string& message) {
    return rpc_response(status, mcp::error_reply(nullptr, code, message));
}

HttpResponse accepted() {
    HttpResponse res;
    res.status = 202;
    return res;
}

bool accepts_events(const HttpRequest& req) {
    const std::string* accept = req.header("accept");
    return accept && accept->find("text/event-stream") != std::string::npos;
}

// The reply that ends a request: the one to its id, or an error about a message whose id
// could not be read.
bool is_reply_to(const Value& message, const Value& id) {
    const Value* got = find_member(message, "id");
    if (!got) {
        return false;
    }
    if (got->is_null()) {
        return find_member(message, "error") != nullptr;
    }
    return *got == id && (find_member(message, "result") || find_member(message, "error"));
}

// A request answered with one JSON body: the reply to it (sent now or by a worker later).
class JsonReply : public mcp::Sink {
public:
    // keep: a session-free request's own session, which lives as long as its call.
    JsonReply(HttpReply reply, Value id, std::shared_ptr<mcp::Session> keep)
        : reply_(std::move(reply)), id_(std::move(id)), keep_(std::move(keep)) {}

    void send(const Value& message) override {
        if (!id_.is_null() && !is_reply_to(message, id_)) {
            return; // progress of a call whose client takes no stream
        }
        finish(rpc_response(200, message));
    }
    void withheld(const Value&) override {
        HttpResponse res;
        res.status = 204;
        finish(std::move(res));
    }

private:
    void finish(HttpResponse res) {
        std::lock_guard lock(mutex_);
        if (done_) {
            return;
        }
        done_ = true;
        reply_(std::move(res));
    }

    HttpReply reply_;
    const Value id_;
    std::shared_ptr<mcp::Session> keep_;
    std::mutex mutex_;
    bool done_ = false;
};

// A tool call answered as an event stream: its progress notifications, then its reply. The
// messages that come before the stream is handed over wait in a queue.
class EventReply : public mcp::Sink {
public:
    EventReply(Value id, std::shared_ptr<mcp::Session> keep)
        : id_(std::move(id)), keep_(std::move(keep)) {}

    void attach(std::shared_ptr<ChunkSink> chunks) {
        std::lock_guard lock(mutex_);
        chunks_ = std::move(chunks);
        for (auto& frame : waiting_) {
            chunks_->write(std::move(frame));
        }
        waiting_.clear();
        if (ended_) {
            chunks_->finish();
        }
    }
    void send(const Value& message) override {
        std::string frame = "event: message\ndata: " +
                            message.dump(-1, ' ', false, Value::error_handler_t::replace) + "\n\n";
        std::lock_guard lock(mutex_);
        if (ended_) {
            return;
        }
        ended_ = is_reply_to(message, id_);
        if (!chunks_) {
            waiting_.push_back(std::move(frame));
            return;
        }
        chunks_->write(std::move(frame));
        if (ended_) {
            chunks_->finish();
        }
    }
    void withheld(const Value&) override {
        std::lock_guard lock(mutex_);
        ended_ = true;
        if (chunks_) {
            chunks_->finish();
        }
    }

private:
    const Value id_;
    std::shared_ptr<mcp::Session> keep_;
    std::mutex mutex_;
    std::shared_ptr<ChunkSink> chunks_;
    std::vector<std::string> waiting_;
    bool ended_ = false;
};

// Whatever a message that is not a request brings back (its error, when it was invalid).
class Collected : public mcp::Sink {
public:
    void send(const Value& message) override {
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
    }
    std::optional<Value> first() {
        std::lock_guard lock(mutex_);
        if (messages_.empty()) {
            return std::nullopt;
        }
        return messages_.front();
    }

private:
    std::mutex mutex_;
    std::vector<Value> messages_;
};

} // namespace

McpRoute::McpRoute(mcp::Backend backend, mcp::SessionOptions options)
    : backend_(std::move(backend)), options_(std::move(options)),
      workers_(std::make_shared<mcp::Workers>(options_.most_calls)) {}

McpRoute::~McpRoute() {
    std::map<std::string, Entry> ending;
    {
        std::lock_guard lock(mutex_);
        ending.swap(sessions_);
    }
    ending.clear(); // cancels their calls
    workers_.reset();
}

std::size_t McpRoute::sessions() const {
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

void McpRoute::handle(const HttpRequest& request, HttpReply reply) {
    if (request.method == "DELETE") {
        end(request, std::move(reply));
        return;
    }
    post(request, std::move(reply));
}

std::string McpRoute::open(std::shared_ptr<mcp::Session> session) {
    const std::string id = random_hex_name();
    std::vector<std::shared_ptr<mcp::Session>> dropped; // ended outside the lock
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (now - it->second.used > kSessionIdle) {
            dropped.push_back(std::move(it->second.session));
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
    if (sessions_.size() >= kMostSessions) {
        auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](auto& a, auto& b) {
            return a.second.used < b.second.used;
        });
        dropped.push_back(std::move(oldest->second.session));
        sessions_.erase(oldest);
    }
    sessions_[id] = Entry{std::move(session), now};
    return id;
}

std::shared_ptr<mcp::Session> McpRoute::find(const HttpRequest& request, HttpReply& reply) {
    const std::string* id = request.header("mcp-session-id");
    if (!id || id->empty()) {
        reply(rpc_error(400, mcp::kInvalidRequest,
                        "the request has no Mcp-Session-Id header: send initialize first"));
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(*id);
    if (it == sessions_.end()) {
        reply(rpc_error(404, mcp::kInvalidRequest,
                        "the session has ended or never was: initialize a new one"));
        return nullptr;
    }
    it->second.used = Clock::now();
    return it->second.session;
}

void McpRoute::post(const HttpRequest& request, HttpReply reply) {
    Value message;
    try {
        message = parse_json_input(request.body, options_.limits);
    } catch (const JsonInputError& e) {
        reply(rpc_error(400, mcp::kParseError,
                        std::string("the message is not JSON the server accepts: ") + e.what()));
        return;
    }
    const auto method = string_member(&message, "method");
    const Value* id = find_member(message, "id");
    const bool is_request = method && id;

    if (is_request && *method == "initialize") {
        auto session = std::make_shared<mcp::Session>(backend_, options_, workers_);
        auto collected = std::make_shared<Collected>();
        session->handle(message, collected);
        const auto answer = collected->first();
        if (!answer) {
            reply(rpc_error(500, mcp::kInternalError, "initialize gave no answer"));
            return;
        }
        HttpResponse res = rpc_response(200, *answer);
        if (session->initialized()) {
            res.headers.emplace_back("Mcp-Session-Id", open(std::move(session)));
        }
        reply(std::move(res));
        return;
    }
    const std::string* version = request.header("mcp-protocol-version");
    if (version && !mcp::is_protocol_version(*version) && *version != mcp::kStatelessVersion) {
        reply(rpc_error(400, mcp::kInvalidRequest,
                        "MCP-Protocol-Version " + version->substr(0, 32) +
                            " is not one this server speaks"));
        return;
    }
    // The session-free revision: each request on its own, in a session of its own that lives
    // as long as its call.
    const bool stateless =
        version && *version == mcp::kStatelessVersion && !request.header("mcp-session-id");
    const auto session = stateless ? std::make_shared<mcp::Session>(backend_, options_, workers_)
                                   : find(request, reply);
    if (!session) {
        return;
    }
    const auto keep = stateless ? session : nullptr;
    if (!is_request) {
        auto collected = std::make_shared<Collected>();
        const auto kind = session->handle(message, collected);
        if (kind == mcp::MessageKind::Invalid) {
            reply(rpc_response(400, collected->first().value_or(Value(nullptr))));
            return;
        }
        reply(accepted());
        return;
    }
    if (*method == "tools/call" && accepts_events(request)) {
        auto events = std::make_shared<EventReply>(*id, keep);
        session->handle(message, events);
        HttpResponse res;
        res.headers = {{"Content-Type", "text/event-stream"},
                       {"Cache-Control", "no-cache"},
                       {"X-Accel-Buffering", "no"}};
        res.stream = [events](std::shared_ptr<ChunkSink> chunks) {
            events->attach(std::move(chunks));
        };
        reply(std::move(res));
        return;
    }
    session->handle(message, std::make_shared<JsonReply>(reply, *id, keep));
}

void McpRoute::end(const HttpRequest& request, HttpReply reply) {
    const std::string* id = request.header("mcp-session-id");
    if (!id || id->empty()) {
        reply(rpc_error(400, mcp::kInvalidRequest, "the request has no Mcp-Session-Id header"));
        return;
    }
    std::shared_ptr<mcp::Session> ending;
    {
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(*id);
        if (it == sessions_.end()) {
            reply(rpc_error(404, mcp::kInvalidRequest, "no such session"));
            return;
        }
        ending = std::move(it->second.session);
        sessions_.erase(it);
    }
    ending.reset(); // cancels its calls
    HttpResponse res;
    res.status = 204;
    reply(std::move(res));
}

} // namespace zolviai::serve
