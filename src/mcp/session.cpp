// One client's conversation with the server: JSON-RPC framing and its faults, the handshake
// and version negotiation, the method table, and tool calls on worker threads with their
// progress and cancellation.
#include "zolviai/mcp/session.hpp"

#include "tools.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/mcp/workers.hpp"

#include <atomic>
#include <map>
#include <mutex>

namespace zolviai::mcp {

const std::vector<std::string>& protocol_versions() {
    static const std::vector<std::string> versions{"2025-11-25", "2025-06-18", "2025-03-26"};
    return versions;
}

bool is_protocol_version(std::string_view version) {
    const auto& all = protocol_versions();
    return std::find(all.begin(), all.end(), version) != all.end();
}

std::string negotiate_version(std::string_view asked) {
    return is_protocol_version(asked) ? std::string(asked) : protocol_versions().front();
}

Value error_reply(const Value& id, int code, const std::string& message) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

namespace {

// Where a request of the session-free revision names its version.
const char* const kVersionKey = "io.modelcontextprotocol/protocolVersion";

Value result_reply(const Value& id, Value result) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

const char* const kInstructions =
    "Tools over one relational database. Start with list_tables or search_tables, read "
    "describe_table, then run_query (read-only SQL through a statement guard) or ask (a "
    "question in plain language, answered with SQL and an analysis).";

// A request's fault that the client should see as a JSON-RPC error.
struct Fault {
    int code;
    std::string message;
};

// A request id is a text or a whole number (JSON-RPC 2.0; MCP forbids null).
bool valid_id(const Value& id) {
    return id.is_string() || id.is_number_integer() || id.is_number_unsigned();
}

// The key a request id is kept under for cancellation: the id's JSON text.
std::string id_key(const Value& id) {
    return id.dump();
}

} // namespace

struct Session::Impl : std::enable_shared_from_this<Session::Impl> {
    Impl(Backend b, SessionOptions o, std::shared_ptr<Workers> w)
        : backend(std::move(b)), options(std::move(o)), workers(std::move(w)) {}

    Backend backend;
    const SessionOptions options;

    mutable std::mutex mutex;
    bool initialized = false;
    std::string version;
    // Calls running now, by request id: their cancellation flags.
    std::map<std::string, std::shared_ptr<std::atomic<bool>>> running;

    // Shared with the session, never owned through a job: a job may hold the last reference
    // to this state, and a worker cannot join itself.
    std::shared_ptr<Workers> workers;

    MessageKind receive(const Value& message, const SinkPtr& sink);
    void notification(const std::string& method, const Value* params);
    Value request(const std::string& method, const Value& id, const Value* params,
                  const SinkPtr& sink, bool& later);
    Value initialize(const Value* params);
    Value discover() const;
    Value tools_list(const std::string& version) const;
    void start_call(const Value& id, const Value* params, const SinkPtr& sink,
                    const std::string& version);
};

MessageKind Session::Impl::receive(const Value& message, const SinkPtr& sink) {
    if (message.is_array()) {
        sink->send(error_reply(nullptr, kInvalidRequest,
                               "batches are not supported: send one JSON-RPC message at a time"));
        return MessageKind::Invalid;
    }
    if (!message.is_object()) {
        sink->send(error_reply(nullptr, kInvalidRequest, "a message must be a JSON object"));
        return MessageKind::Invalid;
    }
    const Value* id = find_member(message, "id");
    const Value* method = find_member(message, "method");
    const bool id_ok = id && valid_id(*id);
    const Value reply_id = id_ok ? *id : Value(nullptr);
    const auto version = string_member(&message, "jsonrpc");
    if (!version || *version != "2.0") {
        sink->send(error_reply(reply_id, kInvalidRequest, "\"jsonrpc\" must be \"2.0\""));
        return MessageKind::Invalid;
    }
    if (id && !id_ok) {
        sink->send(
            error_reply(nullptr, kInvalidRequest, "\"id\" must be a text or a whole number"));
        return MessageKind::Invalid;
    }
    if (!method) {
        if (id_ok && (find_member(message, "result") || find_member(message, "error"))) {
            return MessageKind::Response; // this server sends no requests: nothing waits for it
        }
        sink->send(error_reply(reply_id, kInvalidRequest, "the message has no \"method\""));
        return MessageKind::Invalid;
    }
    if (!method->is_string()) {
        sink->send(error_reply(reply_id, kInvalidRequest, "\"method\" must be a text"));
        return MessageKind::Invalid;
    }
    const Value* params = find_member(message, "params");
    if (params && !params->is_object()) {
        if (!id) {
            return MessageKind::Notification;
        }
        sink->send(error_reply(reply_id, kInvalidParams, "\"params\" must be an object"));
        return MessageKind::Request;
    }
    const std::string& name = method->get_ref<const std::string&>();
    if (!id) {
        notification(name, params);
        return MessageKind::Notification;
    }
    bool later = false;
    try {
        Value result = request(name, *id, params, sink, later);
        if (!later) {
            sink->send(result_reply(*id, std::move(result)));
        }
    } catch (const Fault& f) {
        sink->send(error_reply(*id, f.code, f.message));
    } catch (const std::exception& e) {
        print_err_line(std::string("zolvi mcp: ") + name + " failed: " + e.what());
        sink->send(
            error_reply(*id, kInternalError, "the server failed while handling the request"));
    }
    return MessageKind::Request;
}

void Session::Impl::notification(const std::string& method, const Value* params) {
    if (method == "notifications/cancelled") {
        const Value* id = find_member(params, "requestId");
        if (!id || !valid_id(*id)) {
            return;
        }
        std::lock_guard lock(mutex);
        if (auto it = running.find(id_key(*id)); it != running.end()) {
            *it->second = true;
        }
    }
    // notifications/initialized and anything else: nothing to do.
}

Value Session::Impl::request(const std::string& method, const Value& id, const Value* params,
                             const SinkPtr& sink, bool& later) {
    if (method == "initialize") {
        return initialize(params);
    }
    if (method == "server/discover") {
        return discover();
    }
    if (method == "ping") {
        return Value::object();
    }
    // A request of the session-free revision names its version itself; any other needs the
    // version agreed at initialize.
    std::string used;
    if (const auto named = string_member(find_member(params, "_meta"), kVersionKey)) {
        if (*named != kStatelessVersion) {
            throw Fault{kInvalidParams,
                        "protocol version \"" + named->substr(0, 32) +
                            "\" is not supported: send " + std::string(kStatelessVersion) +
                            " in _meta, or initialize with " + protocol_versions().front()};
        }
        used = std::string(kStatelessVersion);
    } else {
        std::lock_guard lock(mutex);
        if (!initialized) {
            throw Fault{kInvalidRequest, "the session is not initialized: send initialize first"};
        }
        used = version;
    }
    if (method == "tools/list") {
        Value result = tools_list(used);
        if (used == kStatelessVersion) {
            result["resultType"] = "complete";
        }
        return result;
    }
    if (method == "tools/call") {
        start_call(id, params, sink, used);
        later = true;
        return nullptr;
    }
    throw Fault{kMethodNotFound, "this server has no method \"" + method.substr(0, 64) +
                                     "\" (it offers tools: tools/list, tools/call)"};
}

Value Session::Impl::initialize(const Value* params) {
    const auto asked = string_member(params, "protocolVersion");
    if (!asked) {
        throw Fault{kInvalidParams, "initialize needs \"protocolVersion\" (a text)"};
    }
    const Value* capabilities = find_member(params, "capabilities");
    if (capabilities && !capabilities->is_object()) {
        throw Fault{kInvalidParams, "\"capabilities\" must be an object"};
    }
    std::lock_guard lock(mutex);
    if (initialized) {
        throw Fault{kInvalidRequest, "the session is already initialized"};
    }
    initialized = true;
    version = negotiate_version(*asked);
    Value result = {{"protocolVersion", version},
                    {"capabilities", {{"tools", {{"listChanged", false}}}}},
                    {"serverInfo",
                     {{"name", options.server_name},
                      {"title", "zolvi: questions about a database"},
                      {"version", options.server_version}}}};
    result["instructions"] = kInstructions;
    return result;
}

// What initialize and tools/list tell, at once and without a session (the session-free
// revision's discovery).
Value Session::Impl::discover() const {
    Value versions = Value::array({std::string(kStatelessVersion)});
    for (const auto& v : protocol_versions()) {
        versions.push_back(v);
    }
    return {{"resultType", "complete"},
            {"supportedVersions", std::move(versions)},
            {"capabilities", {{"tools", Value::object()}}},
            {"serverInfo", {{"name", options.server_name}, {"version", options.server_version}}},
            {"instructions", kInstructions}};
}

Value Session::Impl::tools_list(const std::string& version) const {
    Value list = Value::array();
    for (const Tool& t : tools()) {
        Value entry = {{"name", t.name},
                       {"title", t.title},
                       {"description", t.description},
                       {"inputSchema", t.input_schema}};
        // outputSchema and structuredContent came with 2025-06-18.
        if (version != "2025-03-26") {
            entry["outputSchema"] = t.output_schema;
        }
        Value annotations = t.annotations;
        annotations["title"] = t.title;
        entry["annotations"] = std::move(annotations);
        list.push_back(std::move(entry));
    }
    return {{"tools", std::move(list)}};
}

void Session::Impl::start_call(const Value& id, const Value* params, const SinkPtr& sink,
                               const std::string& version) {
    const auto name = string_member(params, "name");
    if (!name) {
        throw Fault{kInvalidParams, "tools/call needs \"name\" (a text)"};
    }
    const Tool* tool = find_tool(*name);
    if (!tool) {
        throw Fault{kInvalidParams, "there is no tool \"" + name->substr(0, 64) +
                                        "\"; tools/list gives their names"};
    }
    const Value* given = find_member(params, "arguments");
    if (given && !given->is_object() && !given->is_null()) {
        throw Fault{kInvalidParams, "\"arguments\" must be an object"};
    }
    const Value args = given && given->is_object() ? *given : Value::object();
    Value token = nullptr;
    if (const Value* t = find_member(find_member(params, "_meta"), "progressToken")) {
        if (!t->is_string() && !t->is_number_integer() && !t->is_number_unsigned()) {
            throw Fault{kInvalidParams, "\"progressToken\" must be a text or a whole number"};
        }
        token = *t;
    }
    const std::string key = id_key(id);
    auto flag = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(mutex);
        if (running.count(key)) {
            throw Fault{kInvalidRequest, "a call with this id is still running"};
        }
        running[key] = flag;
    }
    // Older revisions call a wrong argument a protocol error.
    const bool strict = version == "2025-06-18" || version == "2025-03-26";
    const bool data = version != "2025-03-26"; // structuredContent came with 2025-06-18
    const bool stateless = version == kStatelessVersion;
    auto self = shared_from_this();
    auto job = [self, tool, args, token, flag, key, id, sink, strict, data, stateless] {
        Value reply;
        CallContext context{
            *flag, [&](double progress, const std::string& message) {
                if (token.is_null() || *flag) {
                    return;
                }
                sink->send(
                    {{"jsonrpc", "2.0"},
                     {"method", "notifications/progress"},
                     {"params",
                      {{"progressToken", token}, {"progress", progress}, {"message", message}}}});
            }};
        try {
            ToolResult r = tool->run(self->backend, self->options, args, context);
            Value result = {{"content", std::move(r.content)}};
            if (!r.structured.is_null() && data) {
                result["structuredContent"] = std::move(r.structured);
            }
            result["isError"] = r.is_error;
            reply = result_reply(id, std::move(result));
        } catch (const Cancelled&) {
            reply = nullptr;
        } catch (const ArgumentError& e) {
            // Older revisions call a wrong argument a protocol error; the newest a tool error
            // the client's model can read and correct.
            reply = strict
                        ? error_reply(id, kInvalidParams, e.what())
                        : result_reply(id, {{"content", {{{"type", "text"}, {"text", e.what()}}}},
                                            {"isError", true}});
        } catch (const std::exception& e) {
            // Our own errors say what failed in words meant for the client; anything else is
            // the server's fault, logged here and not shown.
            std::string text = e.what();
            if (error_kind(e) == ErrorKind::Internal) {
                print_err_line(std::string("zolvi mcp: ") + tool->name + " failed: " + text);
                text = std::string("the server failed while running ") + tool->name;
            }
            reply = result_reply(
                id, {{"content", {{{"type", "text"}, {"text", text}}}}, {"isError", true}});
        }
        if (stateless && reply.contains("result")) {
            reply["result"]["resultType"] = "complete";
        }
        {
            std::lock_guard lock(self->mutex);
            self->running.erase(key);
        }
        // A cancelled call gets no reply: the client has stopped waiting for it.
        if (!reply.is_null() && !*flag) {
            sink->send(reply);
        } else {
            sink->withheld(id);
        }
    };
    if (!workers->submit(std::move(job))) {
        std::lock_guard lock(mutex);
        running.erase(key);
        throw Fault{kServerBusy, "too many tool calls are running in this session (" +
                                     std::to_string(options.most_calls) + "); try again later"};
    }
}

Session::Session(Backend backend, SessionOptions options, std::shared_ptr<Workers> workers) {
    if (!workers) {
        workers = std::make_shared<Workers>(options.most_calls);
    }
    workers_ = workers;
    impl_ = std::make_shared<Impl>(std::move(backend), std::move(options), std::move(workers));
}

Session::~Session() {
    cancel_all();
    impl_->workers.reset();
    impl_.reset();
    // Joins the threads when this session was the last to use them: the calls still running
    // end at their next step, without replying.
    workers_.reset();
}

MessageKind Session::receive(std::string_view text, const SinkPtr& sink) {
    auto message = parse(text, sink);
    if (!message) {
        return MessageKind::Invalid;
    }
    return handle(*message, sink);
}

MessageKind Session::handle(const Value& message, const SinkPtr& sink) {
    return impl_->receive(message, sink);
}

std::optional<Value> Session::parse(std::string_view text, const SinkPtr& sink) const {
    try {
        return parse_json_input(text, impl_->options.limits);
    } catch (const JsonInputError& e) {
        sink->send(
            error_reply(nullptr, kParseError,
                        std::string("the message is not JSON the server accepts: ") + e.what()));
        return std::nullopt;
    }
}

bool Session::initialized() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->initialized;
}

std::string Session::protocol_version() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->version;
}

void Session::cancel_all() {
    std::lock_guard lock(impl_->mutex);
    for (auto& [key, flag] : impl_->running) {
        *flag = true;
    }
}

const SessionOptions& Session::options() const {
    return impl_->options;
}

} // namespace zolviai::mcp
