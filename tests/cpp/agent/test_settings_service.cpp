#include "support/chat_server.hpp"
#include "zolviai/agent/api.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::agent;
using zolviai::testing::ScriptedChatServer;

namespace {

class Lines : public ConsoleSink {
public:
    void write_out(std::string_view t) override { out += t; }
    void write_err(std::string_view) override {}
    std::string out;
};

} // namespace

TEST(Service, DeploymentsSettingsAndUsageReportReachTheService) {
    ScriptedChatServer server;
    ::setenv("ZOLVI_API_BASE_URL", (server.url() + "/").c_str(), 1);
    server.service(
        {{"deployments", {{{"model", "GPT-3.5"}, {"deployment_name", "d35"}}}},
         {"openai", {{"model_name", "gpt-4o-mini"}, {"api_key", "sk-o"}, {"extra", 1}}}});
    EXPECT_EQ(fetch_azure_deployments()[0]["deployment_name"], "d35");

    auto sink = std::make_shared<Lines>();
    set_console_sink(sink);
    auto chat = create_chat_openai_instance("account-key");
    set_console_sink(nullptr);
    EXPECT_EQ(sink->out, "LLM is Ready!\n");
    EXPECT_EQ(chat->options().model, "gpt-4o-mini");
    EXPECT_EQ(chat->settings().temperature, 1.0) << "absent temperature falls back to 1";

    server.service({{"openai", {{"model_name", "m"}, {"api_key", "k"}, {"temperature", 0}}}});
    EXPECT_EQ(create_chat_openai_instance("account-key")->settings().temperature, 0.0);

    send_user_question("account-key", "How many artists?", 1510, 0.0025);
    send_user_question("account-key", "failed run", nullptr, nullptr);
    const Value log = server.requests();
    EXPECT_EQ(log[0]["path"], "/zolvi/azure-openais/");
    EXPECT_FALSE(log[0]["headers"].contains("X-Zolvi-Api-Key"));
    EXPECT_EQ(log[1]["path"], "/zolvi/openai/");
    EXPECT_EQ(log[1]["headers"]["X-Zolvi-Api-Key"], "account-key");
    const Value report = log[3];
    EXPECT_EQ(report["path"], "/zolvi/usage/");
    EXPECT_EQ(report["headers"]["X-Zolvi-Api-Key"], "account-key");
    EXPECT_EQ(
        report["json"],
        Value({{"question", "How many artists?"}, {"total_tokens", 1510}, {"total_cost", 0.0025}}));
    EXPECT_TRUE(log[4]["json"]["total_tokens"].is_null());

    ::unsetenv("ZOLVI_API_BASE_URL");
    try {
        fetch_azure_deployments();
        FAIL();
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("ZOLVI_API_BASE_URL"), std::string::npos);
    }
}

TEST(Service, RefusalsNameTheStatusButNotTheAccountKey) {
    ScriptedChatServer server;
    ::setenv("ZOLVI_API_BASE_URL", server.url().c_str(), 1);
    const std::string key = "zk-account-key-4242";
    server.service({{"openai", {{"detail", "unknown account key " + key}}},
                    {"openai_status", 401},
                    {"usage_status", 503}});
    try {
        ZolviAPIHandler(key).get_openai_data();
        ADD_FAILURE() << "a 401 was taken for settings";
    } catch (const ModelError& e) {
        EXPECT_EQ(e.status(), 401);
        const std::string msg = e.what();
        EXPECT_NE(msg.find("HTTP 401"), std::string::npos) << msg;
        EXPECT_NE(msg.find("unknown account key"), std::string::npos) << msg;
        EXPECT_EQ(msg.find(key), std::string::npos) << msg;
    }
    EXPECT_THROW(send_user_question(key, "q", 1, 0.1), ModelError) << "a refused report raises";
    ::unsetenv("ZOLVI_API_BASE_URL");
}
