#include "support/chat_server.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/llm/structured_output.hpp"

#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::llm;
using zolviai::testing::ScriptedChatServer;

namespace {

std::shared_ptr<ChatOpenAI> model_for(const ScriptedChatServer& server) {
    ChatOpenAI::Options o;
    o.openai_api_key = "k";
    o.model = "gpt-4o";
    o.base_url = server.url();
    o.chat.retry.max_retries = 0;
    return std::make_shared<ChatOpenAI>(o);
}

// Records shaped like two of the flow's, so that the requests look like the flow's own.
RecordSchema SQLQueryInput() {
    return {"SQLQueryInput",
            "A SQL query that answers the user's question",
            {{"sql_query", FieldType::Text, "SQL query string to be executed", std::nullopt}}};
}

RecordSchema RelevantTablesOutput() {
    return {
        "RelevantTablesOutput",
        "The tables relevant to the user's question",
        {{"relevant_tables", FieldType::TextList, "List of relevant table names", std::nullopt}}};
}

} // namespace

TEST(StructuredOutput, FunctionCallingSendsTheSchemaAsAForcedTool) {
    ScriptedChatServer server;
    server.queue({{{"tool_arguments", {{"sql_query", "SELECT 1"}}}}});
    auto structured = with_structured_output(model_for(server), SQLQueryInput());
    EXPECT_EQ(structured->invoke("q"), Value({{"sql_query", "SELECT 1"}}));
    const Value body = server.requests().at(0)["json"];
    EXPECT_EQ(body["tool_choice"],
              Value({{"type", "function"}, {"function", {{"name", "SQLQueryInput"}}}}));
    const Value fn = body["tools"][0]["function"];
    EXPECT_EQ(fn["name"], "SQLQueryInput");
    EXPECT_EQ(fn["parameters"],
              Value({{"type", "object"},
                     {"properties",
                      {{"sql_query",
                        {{"type", "string"}, {"description", "SQL query string to be executed"}}}}},
                     {"required", {"sql_query"}}}));
}

TEST(StructuredOutput, AnswersThatDoNotFitAreParsingErrorsNamingTheProblem) {
    struct Case {
        Value answer;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {{{"tool_arguments", "{\"sql_query\": \"SELECT"}}, "is not JSON"},
        {{{"tool_arguments", {{"query", "SELECT 1"}}}}, "lacks the field 'sql_query'"},
        {{{"tool_arguments", {{"sql_query", 42}}}}, "field 'sql_query' that is not text"},
        {{{"tool_arguments", "[1, 2]"}}, "is not a JSON object"},
        {{{"content", "I refuse to call tools"}}, "without calling 'SQLQueryInput'"},
    };
    ScriptedChatServer server;
    auto structured = with_structured_output(model_for(server), SQLQueryInput());
    for (const auto& c : cases) {
        server.queue(Value::array({c.answer}));
        try {
            structured->invoke("q");
            ADD_FAILURE() << c.answer.dump() << ": no error";
        } catch (const OutputParsingError& e) {
            EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos)
                << c.answer.dump() << " -> " << e.what();
        }
    }
}

TEST(StructuredOutput, JsonSchemaMethodUsesResponseFormat) {
    ScriptedChatServer server;
    server.queue({{{"content", "{\"relevant_tables\": [\"artist\", \"album\"]}"}}});
    auto structured = with_structured_output(model_for(server), RelevantTablesOutput(),
                                             StructuredMethod::JsonSchema);
    EXPECT_EQ(structured->invoke("q")["relevant_tables"], Value({"artist", "album"}));
    const Value body = server.requests().at(0)["json"];
    EXPECT_FALSE(body.contains("tools"));
    EXPECT_EQ(body["response_format"]["type"], "json_schema");
    EXPECT_EQ(body["response_format"]["json_schema"]["name"], "RelevantTablesOutput");
}
