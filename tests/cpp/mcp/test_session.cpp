// A session without a transport: messages in, what it sends collected. The database is the
// sample on SQLite; no model (ask answers with an error result).
#include "zolviai/core/json_input.hpp"
#include "zolviai/mcp/session.hpp"
#include "zolviai/mcp/workers.hpp"
#include "zolviai/sql/script.hpp"

#include <condition_variable>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace zolviai;
namespace fs = std::filesystem;

namespace {

class Collect : public mcp::Sink {
public:
    void send(const Value& message) override {
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
        changed_.notify_all();
    }
    // The reply to id, waiting for a worker to send it.
    Value reply(const Value& id) {
        std::unique_lock lock(mutex_);
        const bool came = changed_.wait_for(lock, std::chrono::seconds(60), [&] {
            return std::any_of(messages_.begin(), messages_.end(),
                               [&](const Value& m) { return m.value("id", Value()) == id; });
        });
        EXPECT_TRUE(came) << "no reply to " << id.dump();
        for (const auto& m : messages_) {
            if (m.value("id", Value()) == id) {
                return m;
            }
        }
        return nullptr;
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return messages_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Value> messages_;
};

struct Fixture {
    Fixture() {
        dir = fs::temp_directory_path() / ("zolviai-mcp-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql",
                                  (dir / "sample.db").string());
        db = sql::CustomSQLDatabase::from_uri("sqlite:///" + (dir / "sample.db").string());
    }
    ~Fixture() { fs::remove_all(dir); }

    std::unique_ptr<mcp::Session> session(std::shared_ptr<mcp::Workers> workers = nullptr,
                                          const std::string& version = "2025-11-25") {
        auto s = std::make_unique<mcp::Session>(mcp::Backend{db, nullptr}, mcp::SessionOptions{},
                                                std::move(workers));
        auto sink = std::make_shared<Collect>();
        s->receive(
            R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":")" +
                version + R"(","capabilities":{}}})",
            sink);
        return s;
    }

    fs::path dir;
    std::shared_ptr<sql::CustomSQLDatabase> db;
};

TEST(McpSession, VersionsAreNegotiatedNewestFirst) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"2025-11-25", "2025-11-25"}, {"2025-06-18", "2025-06-18"}, {"2025-03-26", "2025-03-26"},
        {"2024-11-05", "2025-11-25"}, {"", "2025-11-25"},           {"2026-07-28", "2025-11-25"},
    };
    for (const auto& [asked, agreed] : cases) {
        EXPECT_EQ(mcp::negotiate_version(asked), agreed) << asked;
    }
    EXPECT_EQ(mcp::protocol_versions().front(), "2025-11-25");
}

TEST(McpSession, EachMessageIsTakenForWhatItIsAndOnlyRequestsAreAnswered) {
    Fixture f;
    auto s = f.session();
    struct Case {
        const char* text;
        mcp::MessageKind kind;
        std::size_t sent; // messages sent back at once
    };
    const std::vector<Case> cases = {
        {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", mcp::MessageKind::Request, 1},
        {R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
         mcp::MessageKind::Notification, 0},
        {R"({"jsonrpc":"2.0","method":"notifications/whatever","params":{}})",
         mcp::MessageKind::Notification, 0},
        {R"({"jsonrpc":"2.0","id":7,"result":{}})", mcp::MessageKind::Response, 0},
        {R"({"jsonrpc":"2.0","id":8,"error":{"code":1,"message":"x"}})", mcp::MessageKind::Response,
         0},
        {R"({"jsonrpc":"2.0","id":true,"method":"ping"})", mcp::MessageKind::Invalid, 1},
        {R"({"jsonrpc":"1.0","id":1,"method":"ping"})", mcp::MessageKind::Invalid, 1},
        {R"({"jsonrpc":"2.0","id":1})", mcp::MessageKind::Invalid, 1},
        {R"({not json)", mcp::MessageKind::Invalid, 1},
        {R"({"jsonrpc":"2.0","id":2,"method":"initialize","params":{"protocolVersion":"2025-11-25"}})",
         mcp::MessageKind::Request, 1}, // a second initialize is refused
    };
    for (const auto& c : cases) {
        auto sink = std::make_shared<Collect>();
        EXPECT_EQ(s->receive(c.text, sink), c.kind) << c.text;
        EXPECT_EQ(sink->count(), c.sent) << c.text;
    }
    EXPECT_EQ(s->protocol_version(), "2025-11-25");
}

TEST(McpSession, ToolCallsReplyFromAWorkerWithDataAndText) {
    Fixture f;
    auto s = f.session();
    auto sink = std::make_shared<Collect>();
    EXPECT_EQ(s->receive(R"({"jsonrpc":"2.0","id":"q","method":"tools/call","params":{"name":
        "run_query","arguments":{"sql":"SELECT COUNT(*) AS n FROM artist","max_rows":5}}})",
                         sink),
              mcp::MessageKind::Request);
    const Value reply = sink->reply("q");
    const Value& result = reply.at("result");
    EXPECT_FALSE(result.at("isError").get<bool>());
    EXPECT_EQ(result.at("structuredContent").at("columns"), Value::array({"n"}));
    EXPECT_EQ(result.at("content").at(0).at("text").get<std::string>().substr(0, 2), "n\n");
}

TEST(McpSession, ACallFindingEveryWorkerBusyIsRefusedAndTheSessionGoesOn) {
    Fixture f;
    auto workers = std::make_shared<mcp::Workers>(1);
    auto s = f.session(workers);
    std::promise<void> release;
    auto held = release.get_future().share();
    ASSERT_TRUE(workers->submit([held] { held.wait(); }));
    auto sink = std::make_shared<Collect>();
    s->receive(R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"list_tables"}})",
               sink);
    EXPECT_EQ(sink->reply(5).at("error").at("code"), mcp::kServerBusy);
    // The session still answers what needs no worker.
    s->receive(R"({"jsonrpc":"2.0","id":6,"method":"ping"})", sink);
    EXPECT_TRUE(sink->reply(6).contains("result"));
    release.set_value();
}

TEST(McpSession, NothingButPingIsAnsweredBeforeInitialize) {
    Fixture f;
    mcp::Session s(mcp::Backend{f.db, nullptr}, mcp::SessionOptions{});
    auto sink = std::make_shared<Collect>();
    s.receive(R"({"jsonrpc":"2.0","id":1,"method":"ping"})", sink);
    s.receive(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})", sink);
    EXPECT_TRUE(sink->reply(1).contains("result"));
    EXPECT_EQ(sink->reply(2).at("error").at("code"), mcp::kInvalidRequest);
    EXPECT_FALSE(s.initialized());
}

} // namespace
