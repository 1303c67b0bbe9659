#include "support/chat_server.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/llm/usage.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>
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
    const ChatResult r = model.invoke({{"system", "You are terse."}, {"user", "Say hello"}});
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
    server.queue(
        {{{"status", 401},
          {"body",
           {{"error", {{"message", std::string("Incorrect API key provided: ") + kKey}}}}}}});
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
    server.queue({{{"status", 500}, {"body", "a"}},
                  {{"status", 500}, {"body", "b"}},
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
                   {"answer",
                    {{"content", "x"},
                     {"model", "gpt-35-turbo-0613"},
                     {"usage", {{"prompt_tokens", 1000}, {"completion_tokens", 500}}}}}},
                  {{"match", {{"body_contains", "mystery"}}},
                   {"answer",
                    {{"content", "y"},
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

TEST(ChatModels, RetryWaitsFollowTheServiceAndOnlyTransientStatusesAreRetried) {
    ScriptedChatServer server;
    auto o = azure(server);
    // A backoff this long would blow the bound below: the short waits must come from the
    // service's headers.
    o.chat.retry.backoff_base = std::chrono::milliseconds(20000);
    o.chat.retry.backoff_cap = std::chrono::milliseconds(20000);
    AzureChatOpenAI model(o);
    struct Case {
        long status;
        Value headers;
        std::size_t requests; // 2: retried once, then answered; 1: the error at once
    };
    const std::vector<Case> cases = {
        {429, {{"retry-after-ms", "100"}}, 2}, {408, {{"retry-after-ms", "50"}}, 2},
        {409, {{"retry-after-ms", "50"}}, 2},  {500, {{"retry-after-ms", "50"}}, 2},
        {503, {{"retry-after-ms", "50"}}, 2},  {400, {{"retry-after-ms", "50"}}, 1},
        {403, {{"retry-after-ms", "50"}}, 1},  {404, {{"retry-after-ms", "50"}}, 1},
        {422, {{"retry-after-ms", "50"}}, 1},
    };
    for (const auto& c : cases) {
        server.reset();
        server.queue({{{"status", c.status},
                       {"headers", c.headers},
                       {"body", {{"error", {{"message", "scripted failure"}}}}}},
                      {{"content", "ok"}}});
        const auto started = std::chrono::steady_clock::now();
        if (c.requests == 2) {
            EXPECT_EQ(model.invoke("q").content, "ok") << c.status;
        } else {
            try {
                model.invoke("q");
                ADD_FAILURE() << c.status << " was not an error";
            } catch (const ModelError& e) {
                EXPECT_EQ(e.status(), c.status);
                EXPECT_NE(std::string(e.what()).find("scripted failure"), std::string::npos);
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5))
            << c.status << ": the service's wait was not honoured";
        EXPECT_EQ(server.requests().size(), c.requests) << c.status;
    }
}

TEST(ChatModels, CallsOfOneModelShareAKeptAliveConnection) {
    ScriptedChatServer server;
    server.rules({{{"match", Value::object()}, {"answer", {{"content", "x"}}}}});
    AzureChatOpenAI model(azure(server));
    for (int i = 0; i < 5; ++i) {
        model.invoke("q");
    }
    const Value log = server.requests();
    ASSERT_EQ(log.size(), 5u);
    for (const auto& request : log) {
        EXPECT_EQ(request["client_port"], log[0]["client_port"]) << "a new connection per call";
        EXPECT_FALSE(request["headers"].contains("Expect"));
    }
}

TEST(ChatModels, NoKeyInErrorsOrLogLines) {
    ScriptedChatServer server;
    auto lines = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(100);
    auto logger = std::make_shared<spdlog::logger>("keycheck", lines);
    logger->set_level(spdlog::level::debug);
    auto previous = spdlog::default_logger();
    spdlog::set_default_logger(logger);
    auto o = azure(server);
    o.chat.retry.max_retries = 1;
    AzureChatOpenAI model(o);
    const std::string echo = std::string("bad key ") + kKey;
    server.queue({{{"status", 500}, {"body", {{"error", {{"message", echo}}}}}},
                  {{"status", 500}, {"body", echo}}});
    std::string message;
    try {
        model.invoke("q");
    } catch (const ModelError& e) {
        message = e.what();
    }
    spdlog::set_default_logger(previous);
    EXPECT_NE(message.find("HTTP 500"), std::string::npos) << message;
    EXPECT_EQ(message.find(kKey), std::string::npos) << message;
    const auto logged = lines->last_formatted();
    ASSERT_FALSE(logged.empty()) << "the retry was not logged";
    for (const auto& line : logged) {
        EXPECT_EQ(line.find(kKey), std::string::npos) << line;
    }
}

TEST(ChatModels, PricesMatchWholeModelNames) {
    struct Case {
        const char* model;
        double prompt_per_1k;
    };
    const std::vector<Case> cases = {
        {"gpt-4", 0.03},
        {"gpt-4-0613", 0.03},
        {"gpt-4-32k-0613", 0.06},
        {"gpt-4o", 0.0025},
        {"gpt-4o-mini-2024-07-18", 0.00015},
        {"gpt-35-turbo", 0.0015},
        {"GPT-3.5-Turbo-0125", 0.0015},
        {"gpt-4.1", 0.0},
        {"gpt-4x", 0.0},
        {"llama-3-8b", 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(model_price(c.model).prompt_per_1k, c.prompt_per_1k) << c.model;
    }
    EXPECT_NEAR(call_cost("gpt-4o", 2000, 1000), 0.005 + 0.01, 1e-12);
}
