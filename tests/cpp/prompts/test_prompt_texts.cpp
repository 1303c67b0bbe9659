#include "zolviai/prompts/answer_prompt.hpp"
#include "zolviai/prompts/brace_template.hpp"
#include "zolviai/prompts/flow_graph_prompts.hpp"
#include "zolviai/prompts/step_prompts.hpp"

#include <algorithm>
#include <gtest/gtest.h>

using namespace zolviai::prompts;

namespace {

std::size_t lines(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
}

} // namespace

TEST(PromptTexts, LengthsAndLineCountsAreTheProductsOwn) {
    struct Case {
        const char* name;
        std::string_view text;
        std::size_t chars;
        std::size_t lines;
    };
    const Case cases[] = {
        {"SQL_PREFIX", SQL_PREFIX, 319, 11},
        {"GET_RELEVANT_TABLE_NAMES_TEMPLATE", GET_RELEVANT_TABLE_NAMES_TEMPLATE, 130, 6},
        {"TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE", TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE, 183, 6},
        {"REWRITE_QUESTION_TEMPLATE", REWRITE_QUESTION_TEMPLATE, 326, 13},
        {"GENERATE_SQL_TEMPLATE", GENERATE_SQL_TEMPLATE, 559, 18},
        {"CORRECT_SQL_TEMPLATE", CORRECT_SQL_TEMPLATE, 988, 36},
        {"PANDAS_SYSTEM_TEMPLATE", PANDAS_SYSTEM_TEMPLATE, 1716, 30},
        {"PANDAS_HUMAN_TEMPLATE", PANDAS_HUMAN_TEMPLATE, 416, 15},
        {"final_node_prompt", final_node_prompt, 394, 10},
        {"SQL_GENERATION_SYSTEM_TEXT", SQL_GENERATION_SYSTEM_TEXT, 1244, 14},
        {"SQL_GENERATION_USER_TEXT", SQL_GENERATION_USER_TEXT, 77, 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.text.size(), c.chars) << c.name;
        EXPECT_EQ(lines(c.text), c.lines) << c.name;
    }
}

TEST(PromptTexts, DetailsThatAreEasyToLoseInCopying) {
    EXPECT_TRUE(final_node_prompt.starts_with("\n\nYou are a helpful SQL based assistant"));
    EXPECT_TRUE(final_node_prompt.ends_with("gracefully back to the user.\n\n"));
    EXPECT_TRUE(PANDAS_SYSTEM_TEMPLATE.starts_with("\"\nYou are an pandas assistant code. \n"));
    EXPECT_TRUE(PANDAS_SYSTEM_TEMPLATE.ends_with("final answer: {{instructions}}\n"));
    EXPECT_NE(
        TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE.find(
            "Format as JSON: \n    {\"relevant_tables\": [\"TABLE_NAME_1\", \"TABLE_NAME_2\"]}."),
        std::string_view::npos);
    EXPECT_TRUE(
        SQL_GENERATION_SYSTEM_TEXT.ends_with("\n                    \n                    "));
    EXPECT_TRUE(
        SQL_GENERATION_USER_TEXT.starts_with("{user_question}\n Schemas_from_relevant_tables: "));
}

// The steps fill these by name: a field renamed in the text would be a KeyError in the middle
// of a run, and a lost one would silently drop what the model needs to see.
TEST(PromptTexts, StepPromptsTakeTheFieldsTheStepsFill) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(BraceTemplate(PANDAS_CORRECTION_TEXT).field_names(),
              Names({"user_question", "python_code", "error"}));
    EXPECT_EQ(BraceTemplate(RESPONSE_PROMPT_TEMPLATE).field_names(),
              Names({"user_question", "sql_query", "sql_query_result", "python_code",
                     "python_executed_result"}));
    EXPECT_TRUE(RESPONSE_PROMPT_TEMPLATE.ends_with("in the best way.Only the anwer part"));
    // The query review fills its two markers as plain text, the dialect in two places.
    const std::string checker(QUERY_CHECKER);
    const std::size_t query_at = checker.find("{query}");
    ASSERT_NE(query_at, std::string::npos);
    EXPECT_EQ(query_at, checker.rfind("{query}"));
    const std::size_t dialect_at = checker.find("{dialect}");
    ASSERT_NE(dialect_at, std::string::npos);
    EXPECT_NE(dialect_at, checker.rfind("{dialect}"));
}
