#include "support/chat_server.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/llm/usage.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace zolviai;
using namespace zolviai::llm;
using zolviai::testing::ScriptedChatServer;

namespace {

const char* kKey = "sk-secret-test-key-0123456789";

AzureChatOpenAI::Options azure(const ScriptedChatServer& server) {
    AzureChatOpenAI::Options o;
    o.azure_deployment = "gpt35-deploy";
    o.azure_endpoint = server.url() + "/";
    o.api_key = kKey;
    o.api_version = "2024-10-21";
    o.chat.max_tokens = 4096;
    o.chat.temperature = 0;
    o.chat.model_kwargs = {{"top_p", 0.95}};
    o.chat.retry.backoff_base = std::chrono::milliseconds(10);
    return o;
}

} // namespace

TEST(ChatModels, AzureRequestIsWhatTheServiceSpecifies) {
    ScriptedChatServer server;
    server.queue({{{"content", "hello"}, {"model", "gpt-35-turbo"}}});
    AzureChatOpenAI model(azure(server));
    const ChatResult r =
        model.invoke({{"system", "You are terse."}, {"user", "Say hello"}});
    EXPECT_EQ(r.content, "hello");
    EXPECT_EQ(r.finish_reason, "stop");
    EXPECT_EQ(r.total_tokens, 15);
    const Value req = server.requests().at(0);
    EXPECT_EQ(req["method"], "POST");
    EXPECT_EQ(req["path"],
              "/openai/deployments/gpt35-deploy/chat/completions?api-version=2024-10-21");
    EXPECT_EQ(req["headers"]["api-key"], kKey);
    EXPECT_EQ(req["headers"]["Content-Type"], "application/json");
    EXPECT_FALSE(req["headers"].contains("Authorization"));
    EXPECT_EQ(req["json"], Value({{"messages",
                                   {{{"role", "system"}, {"content", "You are terse."}},
                                    {{"role", "user"}, {"content", "Say hello"}}}},
                                  {"temperature", 0.0},
                                  {"max_tokens", 4096},
                                  {"top_p", 0.95}}));
}

TEST(ChatModels, OpenAIRequestUsesBearerTokenAndModelAndPlainTextIsOneUserMessage) {
    ScriptedChatServer server;
    server.queue({{{"content", "pong"}}});
    ChatOpenAI::Options o;
    o.openai_api_key = kKey;
    o.model = "gpt-4o-mini";
    o.base_url = server.url() + "/v1";
    o.chat.temperature = 1;
    ChatOpenAI model(o);
    EXPECT_EQ(model.invoke("ping").content, "pong");
    const Value req = server.requests().at(0);
    EXPECT_EQ(req["path"], "/v1/chat/completions");
    EXPECT_EQ(req["headers"]["Authorization"], std::string("Bearer ") + kKey);
    EXPECT_EQ(req["json"], Value({{"messages", {{{"role", "user"}, {"content", "ping"}}}},
                                  {"model", "gpt-4o-mini"},
                                  {"temperature", 1.0}}));
}

TEST(ChatModels, RetriesHonourRetryAfterAndStopOnOtherClientErrors) {
    ScriptedChatServer server;
    const Value busy = {{"status", 429},
                        {"headers", {{"Retry-After", "1"}}},
                        {"body", {{"error", {{"message", "Rate limit reached"}}}}}};
    server.queue({busy, busy, {{"content", "finally"}}});
    AzureChatOpenAI model(azure(server));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(model.invoke("q").content, "finally");
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1900))
        << "Retry-After: 1 was honoured twice";

    server.reset();
    server.queue({{{"status", 401},
                   {"body", {{"error", {{"message", std::string("Incorrect API key provided: ") + kKey}}}}}}});
    try {
        model.invoke("q");
        FAIL() << "expected ModelError";
    } catch (const ModelError& e) {
        EXPECT_EQ(e.status(), 401);
        const std::string msg = e.what();
        EXPECT_NE(msg.find("401"), std::string::npos) << msg;
        EXPECT_NE(msg.find("Incorrect API key provided"), std::string::npos) << msg;
        EXPECT_EQ(msg.find(kKey), std::string::npos) << "the key leaked: " << msg;
    }
    EXPECT_EQ(server.requests().size(), 1u);

    server.reset();
    server.queue({{{"status", 503}, {"body", "down"}}, {{"drop", true}}, {{"content", "up"}}});
    EXPECT_EQ(model.invoke("q").content, "up") << "5xx and dropped connections are retried";
    server.reset();
    server.queue({{{"status", 500}, {"body", "a"}}, {{"status", 500}, {"body", "b"}},
                  {{"status", 500}, {"body", "c"}}});
    EXPECT_THROW(model.invoke("q"), ModelError);
    EXPECT_EQ(server.requests().size(), 3u) << "two retries by default, then the error";
}

TEST(ChatModels, AServerThatNeverAnswersTimesOut) {
    ScriptedChatServer server;
    server.queue({{{"delay", 5}, {"content", "late"}}});
    auto o = azure(server);
    o.chat.timeout = std::chrono::milliseconds(500);
    o.chat.retry.max_retries = 0;
    AzureChatOpenAI model(o);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(model.invoke("q"), TimeoutError);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

TEST(ChatModels, UsageScopesSumCallsPerThreadAndNest) {
    ScriptedChatServer server;
    server.rules({{{"match", {{"body_contains", "cheap"}}},
                   {"answer", {{"content", "x"},
                               {"model", "gpt-35-turbo-0613"},
                               {"usage", {{"prompt_tokens", 1000}, {"completion_tokens", 500}}}}}},
                  {{"match", {{"body_contains", "mystery"}}},
                   {"answer", {{"content", "y"},
                               {"model", "house-model"},
                               {"usage", {{"prompt_tokens", 7}, {"completion_tokens", 3}}}}}}});
    AzureChatOpenAI model(azure(server));
    UsageScope outer;
    {
        UsageScope inner;
        model.invoke("cheap");
        model.invoke("mystery");
        EXPECT_EQ(inner.total_tokens, 1510);
        EXPECT_EQ(inner.successful_requests, 2);
        EXPECT_NEAR(inner.total_cost, 0.0015 + 0.001, 1e-12) << "gpt-35 priced as gpt-3.5";
    }
    model.invoke("cheap");
    EXPECT_EQ(outer.total_tokens, 3010);
    EXPECT_EQ(outer.prompt_tokens, 2007);
    EXPECT_EQ(outer.completion_tokens, 1003);
    EXPECT_NEAR(outer.total_cost, 2 * 0.0025, 1e-12);

    std::vector<long> tokens(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            UsageScope mine;
            for (int i = 0; i <= t; ++i) {
                model.invoke("cheap");
            }
            tokens[static_cast<std::size_t>(t)] = mine.total_tokens;
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(tokens, (std::vector<long>{1500, 3000, 4500, 6000}));
    EXPECT_EQ(outer.total_tokens, 3010) << "other threads' calls are not this thread's";
    EXPECT_DOUBLE_EQ(model_price("unknown-model").prompt_per_1k, 0.0);
    EXPECT_DOUBLE_EQ(model_price("GPT-4o-2024-08-06").completion_per_1k, 0.01);
    EXPECT_DOUBLE_EQ(model_price("gpt-4-0613").prompt_per_1k, 0.03);
}
