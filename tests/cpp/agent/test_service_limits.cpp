// The model-settings service's answers are outside input like a model's: nested past the
// depth limit, over the size cap or compressed into a bomb, they are clear errors.
#include "support/chat_server.hpp"
#include "support/memory.hpp"
#include "zolviai/agent/api.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/llm/http_client.hpp"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::agent;
using zolviai::testing::ScriptedChatServer;

namespace {

// The process's peak resident memory since start_kb was taken grew by less than bound_kb.
void expect_bounded(long start_kb, long bound_kb) {
    if (zolviai::testing::memory_is_measured) {
        EXPECT_LT(zolviai::testing::peak_resident_kb() - start_kb, bound_kb);
    }
}

std::string deep_arrays(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

// ZOLVI_API_BASE_URL for the life of a test.
class ServiceAt {
public:
    explicit ServiceAt(const std::string& url) { ::setenv("ZOLVI_API_BASE_URL", url.c_str(), 1); }
    ~ServiceAt() { ::unsetenv("ZOLVI_API_BASE_URL"); }
};

} // namespace

TEST(ServiceLimits, DeepAnswersAreValueErrorsNamingTheDepthLimit) {
    ScriptedChatServer server;
    ServiceAt at(server.url());
    server.service({{"deployments_answer", {{"body", deep_arrays(60000)}}},
                    {"openai_answer", {{"body", R"({"model_name":)" + deep_arrays(60000) + "}"}}}});
    const long memory_start_kb = zolviai::testing::reset_peak_resident_kb();
    try {
        fetch_azure_deployments();
        ADD_FAILURE() << "a deep deployment list was taken";
    } catch (const ValueError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("deployment list request was refused"), std::string::npos) << what;
        EXPECT_NE(what.find("limit of 512 levels"), std::string::npos) << what;
    }
    try {
        ZolviAPIHandler("k").get_openai_data();
        ADD_FAILURE() << "deep settings were taken";
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("limit of 512 levels"), std::string::npos) << e.what();
    }
    expect_bounded(memory_start_kb, 100 * 1024);
}

TEST(ServiceLimits, AnswersOverTheCapStopAtItCompressedOrNot) {
    ScriptedChatServer server;
    ServiceAt at(server.url());
    server.service(
        {{"deployments_answer", {{"body", " "}, {"repeat", 1024 * 1024 + 1}}},
         {"openai_answer", {{"body", "["}, {"repeat", 300000000}, {"encoding", "gzip"}}}});
    const long memory_start_kb = zolviai::testing::reset_peak_resident_kb();
    try {
        fetch_azure_deployments();
        ADD_FAILURE() << "an answer over the cap was taken";
    } catch (const llm::ResponseTooLargeError& e) {
        EXPECT_EQ(e.limit(), 1024u * 1024);
        EXPECT_NE(std::string(e.what()).find("limit of 1048576 bytes"), std::string::npos)
            << e.what();
    }
    EXPECT_THROW(ZolviAPIHandler("k").get_openai_data(), llm::ResponseTooLargeError);
    expect_bounded(memory_start_kb, 100 * 1024);
}

TEST(ServiceLimits, SettingsOfOtherShapesAreTypeErrorsOrDefaults) {
    ScriptedChatServer server;
    ServiceAt at(server.url());
    server.service({{"openai", {{"api_key", "sk"}}}});
    auto chat = create_chat_openai_instance("k");
    EXPECT_EQ(chat->options().model, "gpt-3.5-turbo") << "no model_name keeps the default";
    EXPECT_EQ(chat->settings().temperature, 1.0);

    server.service({{"openai", {{"model_name", {"gpt-4o"}}}}});
    EXPECT_THROW(create_chat_openai_instance("k"), TypeError);
    server.service({{"openai", {{"temperature", "warm"}}}});
    EXPECT_THROW(create_chat_openai_instance("k"), TypeError);
    server.service({{"openai_answer", {{"body", "[1,2]"}}}});
    EXPECT_THROW(ZolviAPIHandler("k").get_openai_data(), TypeError) << "settings are a map";
}
