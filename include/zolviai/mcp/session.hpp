#pragma once

#include "zolviai/agent/asker.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/state/conversations.hpp"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The Model Context Protocol server: JSON-RPC 2.0 messages in, replies and notifications out,
// with the database and its questions as tools. A Session knows nothing of its transport: the
// standard streams (zolvi mcp) and Streamable HTTP (/mcp on zolvi serve) hand it each message
// and a Sink for what it sends back.
namespace zolviai::mcp {

// The revisions this server speaks, newest first. A client that asks for one of them gets it;
// any other gets the newest, and decides itself whether to go on.
const std::vector<std::string>& protocol_versions();
std::string negotiate_version(std::string_view asked);
bool is_protocol_version(std::string_view version);
// The session-free revision: no initialize; each request names it in its
// _meta["io.modelcontextprotocol/protocolVersion"], and server/discover tells what initialize
// would. Served beside the three above.
inline constexpr std::string_view kStatelessVersion = "2026-07-28";

// JSON-RPC error codes.
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;
inline constexpr int kServerBusy = -32000;

// A JSON-RPC error reply (id null when the message's id could not be read).
Value error_reply(const Value& id, int code, const std::string& message);

// Where a session's messages go. send is called from any thread, one message at a time per
// call; the sink keeps each message whole.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void send(const Value& message) = 0;
    // The request `id` gets no reply (the client cancelled it): a transport that waits for
    // one may stop waiting.
    virtual void withheld(const Value& id) {}
};
using SinkPtr = std::shared_ptr<Sink>;

// What the tools work on. asker may be null: `ask` then answers that no model is configured.
// conversations may be null: `ask` then answers each question alone and refuses a
// conversation_id. The asker's memory of verified SQL, when it has one, answers and guides
// questions.
struct Backend {
    std::shared_ptr<const sql::CustomSQLDatabase> db;
    std::shared_ptr<const agent::Asker> asker;
    std::shared_ptr<state::ConversationStore> conversations;
};

struct SessionOptions {
    std::string server_name = "zolvi";
    std::string server_version = "0.1.0";
    // Rows a result carries when the call does not say (max_rows), and the most it may ask.
    std::size_t default_rows = 100;
    std::size_t most_rows = 1000;
    // The text rendering of a result: at most this many rows and characters, then a line
    // saying how many rows were cut.
    std::size_t text_rows = 100;
    std::size_t text_chars = 16 * 1024;
    // A folder of the user's own where `ask` gives each question a folder for its charts
    // (removed once the chart is in the answer); "": questions save no charts.
    std::string media_dir;
    // Tool calls running at once in one session; more are refused (kServerBusy).
    std::size_t most_calls = 8;
    // Limits on each incoming message.
    JsonLimits limits{64, 4 * 1024 * 1024};
};

// What receive made of one message, for a transport that answers per message (HTTP).
enum class MessageKind {
    Invalid,      // not a JSON-RPC message: an error reply was sent
    Request,      // a reply follows on the sink (now or later)
    Notification, // nothing follows
    Response,     // a reply to a request of ours: nothing follows
};

class Workers;

class Session {
public:
    // workers: the threads tool calls run on, shared by the sessions of one server; null: the
    // session starts its own (options.most_calls of them).
    Session(Backend backend, SessionOptions options, std::shared_ptr<Workers> workers = nullptr);
    // Cancels the calls still running; waits for them when it holds the last use of workers.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // One message as received. Replies to it, and the notifications of a tool call it starts,
    // go to sink. Never throws for anything the message holds.
    MessageKind receive(std::string_view text, const SinkPtr& sink);
    // A message already parsed (with parse below).
    MessageKind handle(const Value& message, const SinkPtr& sink);

    // The message's JSON, or nullopt after sending the parse error to sink.
    std::optional<Value> parse(std::string_view text, const SinkPtr& sink) const;

    bool initialized() const;
    // The revision agreed at initialize; "" before.
    std::string protocol_version() const;
    // Stops every running call; their replies are not sent.
    void cancel_all();

    const SessionOptions& options() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
    std::shared_ptr<Workers> workers_;
};

} // namespace zolviai::mcp
