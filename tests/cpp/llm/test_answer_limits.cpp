// What a hostile or broken chat-completions endpoint can send: answers nested past any sensible
// depth, compression bombs, bodies of any size, tool calls of any shape. Each must end in a
// clear error with the process alive and its memory bounded.
#include "support/chat_server.hpp"
#include "support/memory.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/llm/http_client.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/llm/structured_output.hpp"

#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::llm;
using zolviai::testing::ScriptedChatServer;

namespace {

// The process's peak resident memory since start_kb was taken grew by less than bound_kb.
void expect_bounded(long start_kb, long bound_kb) {
    if (zolviai::testing::memory_is_measured) {
        EXPECT_LT(zolviai::testing::peak_resident_kb() - start_kb, bound_kb);
    }
}

constexpr long kMemoryBoundKb = 100 * 1024;

std::shared_ptr<ChatOpenAI> model_for(const ScriptedChatServer& server, int max_retries = 2) {
    ChatOpenAI::Options o;
    o.openai_api_key = "k";
    o.model = "gpt-4o";
    o.base_url = server.url();
    o.chat.retry.max_retries = max_retries;
    o.chat.retry.backoff_base = std::chrono::milliseconds(1);
    return std::make_shared<ChatOpenAI>(o);
}

std::string deep_arrays(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

std::string deep_objects(std::size_t depth) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) {
        text += "{\"a\":";
    }
    return text + "0" + std::string(depth, '}');
}

// A well-formed answer whose message carries `message_extra` (members, comma-led) and whose
// top level carries `top_extra`.
std::string answer_body(const std::string& message_extra, const std::string& top_extra = "") {
    return R"({"model":"gpt-4o","choices":[{"index":0,"message":{"role":"assistant","content":"hi")" +
           message_extra + R"(},"finish_reason":"stop"}])" + top_extra + "}";
}

std::string tool_call_answer(const std::string& call) {
    return answer_body(R"(,"tool_calls":[)" + call + "]");
}

RecordSchema SQLQueryInput() {
    return {"SQLQueryInput",
            "A SQL query that answers the user's question",
            {{"sql_query", FieldType::Text, "SQL query string to be executed", std::nullopt}}};
}

std::size_t chat_requests(const ScriptedChatServer& server) {
    return server.requests().size();
}

} // namespace

TEST(AnswerLimits, DeepAnswersAreModelErrorsNamingTheDepthLimit) {
    ScriptedChatServer server;
    const auto model = model_for(server);
    const std::string cases[] = {
        answer_body("", R"(,"extra":)" + deep_arrays(60000)),
        answer_body("", R"(,"extra":)" + deep_objects(60000)),
        answer_body(R"(,"content_filter_results":)" + deep_arrays(60000)),
        tool_call_answer(R"({"type":"function","function":{"name":"f","arguments":)" +
                         deep_arrays(60000) + "}}"),
        deep_arrays(60000),
        answer_body("", R"(,"extra":)" + deep_arrays(513)), // one level past the limit
    };
    const long memory_start_kb = zolviai::testing::reset_peak_resident_kb();
    for (const auto& body : cases) {
        SCOPED_TRACE(body.substr(0, 120));
        server.reset();
        server.queue({{{"body", body}}});
        try {
            model->invoke("q");
            ADD_FAILURE() << "a deep answer was taken";
        } catch (const ModelError& e) {
            EXPECT_EQ(e.status(), 200);
            EXPECT_NE(std::string(e.what()).find("limit of 512 levels"), std::string::npos)
                << e.what();
        }
        EXPECT_EQ(chat_requests(server), 1u) << "a refused answer is not asked for again";
    }
    expect_bounded(memory_start_kb, kMemoryBoundKb);

    // The limit leaves room for any answer a service really sends.
    server.queue({{{"body", answer_body("", R"(,"extra":)" + deep_arrays(500))}}});
    EXPECT_EQ(model->invoke("q").content, "hi");
}

TEST(AnswerLimits, ErrorBodiesOfAnyShapeStillGiveTheStatus) {
    ScriptedChatServer server;
    const auto model = model_for(server, 0);
    const std::string bodies[] = {deep_arrays(60000), R"({"error":["not","a","map"]})",
                                  R"({"error":{"message":7}})", "[1,2]"};
    for (const auto& body : bodies) {
        SCOPED_TRACE(body.substr(0, 60));
        server.queue({{{"status", 400}, {"body", body}}});
        try {
            model->invoke("q");
            ADD_FAILURE() << "a 400 was taken for an answer";
        } catch (const ModelError& e) {
            EXPECT_EQ(e.status(), 400);
            EXPECT_NE(std::string(e.what()).find("HTTP 400"), std::string::npos) << e.what();
        }
    }
}

TEST(AnswerLimits, AnswersOfUnexpectedShapesAreClearErrorsOrDefaults) {
    ScriptedChatServer server;
    const auto model = model_for(server, 0);
    // Parts a service may leave out or send in another shape fall back to defaults.
    server.queue({{{"body", R"({"model":5,"usage":{"prompt_tokens":"ten","completion_tokens":4.0},
        "choices":[{"message":{"content":["a"],"tool_calls":null},"finish_reason":7}]})"}}});
    const ChatResult r = model->invoke("q");
    EXPECT_EQ(r.content, "");
    EXPECT_TRUE(r.tool_calls.is_null());
    EXPECT_EQ(r.finish_reason, "");
    EXPECT_EQ(r.model, "gpt-4o") << "the model asked for, when the answer names none";
    EXPECT_EQ(r.prompt_tokens, 0);
    EXPECT_EQ(r.completion_tokens, 4);
    EXPECT_EQ(r.total_tokens, 4);

    // Without choices[0].message there is no answer.
    for (const char* body : {R"({"choices":{}})", R"({"choices":[]})", R"({"choices":[7]})",
                             R"({"choices":[{"message":"text"}]})", R"(["choices"])", "null"}) {
        SCOPED_TRACE(body);
        server.queue({{{"body", body}}});
        try {
            model->invoke("q");
            ADD_FAILURE() << "taken";
        } catch (const ModelError& e) {
            EXPECT_NE(std::string(e.what()).find("no choices[0].message"), std::string::npos)
                << e.what();
        }
    }
}

TEST(AnswerLimits, CompressionBombStopsAtTheAnswerCap) {
    ScriptedChatServer server;
    const auto model = model_for(server);
    // 300 MB of '[' in about 300 kB of gzip.
    server.queue({{{"body", "["}, {"repeat", 300000000}, {"encoding", "gzip"}}});
    const long memory_start_kb = zolviai::testing::reset_peak_resident_kb();
    try {
        model->invoke("q");
        ADD_FAILURE() << "the bomb was taken";
    } catch (const ResponseTooLargeError& e) {
        EXPECT_EQ(e.limit(), 16u * 1024 * 1024);
        EXPECT_EQ(e.status(), 200);
        EXPECT_NE(std::string(e.what()).find("over the limit of 16777216 bytes once decoded"),
                  std::string::npos)
            << e.what();
    }
    expect_bounded(memory_start_kb, kMemoryBoundKb);
    EXPECT_EQ(chat_requests(server), 1u) << "an answer over the cap is not fetched again";
}

TEST(AnswerLimits, TheAnswerCapIsASettingAndHoldsForPlainBodiesToo) {
    ScriptedChatServer server;
    ChatOpenAI::Options o;
    o.base_url = server.url();
    o.chat.retry.max_retries = 0;
    o.chat.max_answer_bytes = 64 * 1024;
    ChatOpenAI model(o);

    server.queue({{{"body", " "}, {"repeat", 64 * 1024 + 1}}});
    try {
        model.invoke("q");
        ADD_FAILURE() << "a body one byte over the cap was taken";
    } catch (const ResponseTooLargeError& e) {
        EXPECT_EQ(e.limit(), 64u * 1024);
        EXPECT_NE(std::string(e.what()).find("limit of 65536 bytes"), std::string::npos)
            << e.what();
    }
    // Exactly at the cap, and compressed: both arrive whole.
    const std::string body = answer_body("");
    const std::string padded = body + std::string(64 * 1024 - body.size(), ' ');
    server.queue({{{"body", padded}}});
    EXPECT_EQ(model.invoke("q").content, "hi");
    server.queue({{{"body", padded}, {"encoding", "gzip"}}});
    EXPECT_EQ(model.invoke("q").content, "hi");
    // The gzip request asked for only what the client decodes.
    EXPECT_EQ(server.requests().back()["headers"]["Accept-Encoding"], "gzip, deflate");
}

TEST(AnswerLimits, ContentEncodingsNotAskedForAreRefused) {
    ScriptedChatServer server;
    const auto model = model_for(server);
    for (const char* encoding : {"br", "zstd", "gzip, br", "compress"}) {
        SCOPED_TRACE(encoding);
        server.reset();
        server.queue({{{"body", answer_body("")}, {"headers", {{"Content-Encoding", encoding}}}}});
        try {
            model->invoke("q");
            ADD_FAILURE() << "taken";
        } catch (const ModelError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("content encoding '"), std::string::npos) << what;
            EXPECT_NE(what.find("not asked for"), std::string::npos) << what;
        }
        EXPECT_EQ(chat_requests(server), 1u);
    }
}

TEST(AnswerLimits, DeepToolCallArgumentsAreParsingErrorsNamingTheLimit) {
    ScriptedChatServer server;
    const auto structured = with_structured_output(model_for(server, 0), SQLQueryInput());
    const long memory_start_kb = zolviai::testing::reset_peak_resident_kb();
    for (const std::string& arguments : {deep_arrays(60000), std::string(60000, '['),
                                         "{\"sql_query\":" + deep_objects(60000) + "}"}) {
        server.queue({{{"tool_arguments", arguments}}});
        try {
            structured->invoke("q");
            ADD_FAILURE() << "deep arguments were taken";
        } catch (const OutputParsingError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("SQLQueryInput was refused"), std::string::npos) << what;
            EXPECT_NE(what.find("limit of 512 levels"), std::string::npos) << what;
        }
    }
    expect_bounded(memory_start_kb, kMemoryBoundKb);
}

TEST(AnswerLimits, ToolCallsOfAnyShapeAreParsingErrors) {
    ScriptedChatServer server;
    const auto structured = with_structured_output(model_for(server, 0), SQLQueryInput());
    struct Case {
        std::string call; // one element of tool_calls
        const char* expected;
    };
    const Case cases[] = {
        {R"({"type":"function","function":{"name":"SQLQueryInput"}})", "without arguments"},
        {R"({"type":"function","function":{"name":"SQLQueryInput","arguments":null}})",
         "without arguments"},
        {R"({"type":"function","function":"SQLQueryInput"})", "without calling"},
        {R"({"type":"function","function":{"name":["SQLQueryInput"]}})", "without calling"},
        {R"({"type":"function"})", "without calling"},
        {R"("SQLQueryInput")", "without calling"},
        {R"({"function":{"name":"SQLQueryInput","arguments":[1]}})", "not a JSON object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        server.queue({{{"body", tool_call_answer(c.call)}}});
        try {
            structured->invoke("q");
            ADD_FAILURE() << "taken";
        } catch (const OutputParsingError& e) {
            EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
        }
    }
    // tool_calls that is not a list at all.
    server.queue({{{"body", answer_body(R"(,"tool_calls":{"name":"SQLQueryInput"})")}}});
    EXPECT_THROW(structured->invoke("q"), OutputParsingError);
    // A later call to the tool is still found past calls of other shapes.
    server.queue({{{"body", tool_call_answer(
                                R"("junk",{"function":{"name":"SQLQueryInput",
                                "arguments":"{\"sql_query\":\"SELECT 1\"}"}})")}}});
    EXPECT_EQ(structured->invoke("q"), Value({{"sql_query", "SELECT 1"}}));
}
