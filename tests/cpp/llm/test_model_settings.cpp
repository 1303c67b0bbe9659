#include "zolviai/core/error.hpp"
#include "zolviai/llm/model_settings.hpp"

#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::llm;

TEST(ModelSettings, AttributeMapHoldsExactlyTheFourFields) {
    const AzureOpenAIChat35 s("dep", "https://x", "key", "2024-10-21");
    EXPECT_EQ(s.attribute_map(), Value({{"azure_deployment", "dep"},
                                        {"azure_endpoint", "https://x"},
                                        {"api_key", "key"},
                                        {"api_version", "2024-10-21"}}));
    const AzureOpenAIChat35 placeholder(std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    EXPECT_TRUE(placeholder.attribute_map()["azure_endpoint"].is_null());
}

TEST(ModelSettings, DuplicateKeywordsAreRejectedNamingTheKey) {
    const AzureOpenAIChat4 s("dep", "https://x", "key", "v");
    const Value extra = {
        {"max_tokens", 4096}, {"temperature", 0}, {"model_kwargs", {{"top_p", 0.95}}}};
    auto model = build_azure_chat_model(s.attribute_map(), extra);
    EXPECT_EQ(model->settings().max_tokens, 4096);
    EXPECT_EQ(model->settings().model_kwargs, Value({{"top_p", 0.95}}));
    for (const char* key : {"max_tokens", "temperature", "model_kwargs"}) {
        Value map = s.attribute_map();
        map[key] = 1;
        try {
            build_azure_chat_model(map, extra);
            ADD_FAILURE() << key;
        } catch (const TypeError& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("AzureChatOpenAI() got multiple values for keyword argument '") +
                          key + "'");
        }
    }
}

TEST(ModelSettings, KeywordsOfTheWrongKindAreTypeErrorsNamingThem) {
    const AzureOpenAIChat35 s("dep", "https://x", "key", "v");
    struct Case {
        const char* key;
        Value value;
    };
    const std::vector<Case> cases = {
        {"max_tokens", "4096"}, {"max_tokens", 1.5}, {"temperature", "0"}, {"max_retries", true}};
    for (const auto& c : cases) {
        try {
            build_azure_chat_model(s.attribute_map(), {{c.key, c.value}});
            ADD_FAILURE() << c.key << "=" << c.value.dump();
        } catch (const TypeError& e) {
            EXPECT_NE(std::string(e.what()).find(std::string("'") + c.key + "'"), std::string::npos)
                << e.what();
        }
    }
}
