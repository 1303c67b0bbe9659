#include "zolviai/prompts/answer_prompt.hpp"
#include "zolviai/prompts/brace_template.hpp"
#include "zolviai/prompts/flow_graph_prompts.hpp"
#include "zolviai/prompts/step_prompts.hpp"

#include <algorithm>
#include <gtest/gtest.h>

using namespace zolviai::prompts;

// What each prompt must hold for its step: the fields the step fills in (a field renamed in
// the text is a KeyError in the middle of a run; one lost silently drops what the model needs)
// and, for the Jinja2 templates, the loops over earlier attempts.
TEST(PromptTexts, EachPromptHoldsWhatItsStepFillsIn) {
    using Names = std::vector<std::string>;
    struct Brace {
        const char* name;
        std::string_view text;
        Names fields;
    };
    const Brace brace[] = {
        {"SQL_PREFIX", SQL_PREFIX, {"dialect"}},
        {"GET_RELEVANT_TABLE_NAMES_TEMPLATE",
         GET_RELEVANT_TABLE_NAMES_TEMPLATE,
         {"table_names_from_db", "user_question"}},
        {"REWRITE_QUESTION_TEMPLATE",
         REWRITE_QUESTION_TEMPLATE,
         {"schemas_from_all_tables", "user_question"}},
        {"GENERATE_SQL_TEMPLATE",
         GENERATE_SQL_TEMPLATE,
         {"schemas_from_relevant_tables", "user_question"}},
        {"SQL_GENERATION_SYSTEM_TEXT", SQL_GENERATION_SYSTEM_TEXT, {"dialect"}},
        {"SQL_GENERATION_USER_TEXT",
         SQL_GENERATION_USER_TEXT,
         {"schemas_from_relevant_tables", "user_question"}},
    };
    for (const auto& c : brace) {
        Names fields = BraceTemplate(std::string(c.text)).field_names();
        std::sort(fields.begin(), fields.end());
        fields.erase(std::unique(fields.begin(), fields.end()), fields.end());
        EXPECT_EQ(fields, c.fields) << c.name;
    }
    struct Jinja {
        const char* name;
        std::string_view text;
        Names must_hold;
    };
    const Jinja jinja[] = {
        {"CORRECT_SQL_TEMPLATE",
         CORRECT_SQL_TEMPLATE,
         {"{% for", "{% endfor %}", "{{ query }}", "{{ error }}", "{{ loop.index }}",
          "{{ user_question }}", "{{ schemas_from_relevant_tables }}"}},
        {"PANDAS_HUMAN_TEMPLATE",
         PANDAS_HUMAN_TEMPLATE,
         {"{% for", "{% endfor %}", "{{ query }}", "{{ execution_result }}",
          "{{ original_question }}"}},
        // The chart must land in the question's media folder.
        {"PANDAS_SYSTEM_TEMPLATE", PANDAS_SYSTEM_TEMPLATE, {"{{ save_path }}", "{{instructions}}"}},
    };
    for (const auto& c : jinja) {
        for (const auto& piece : c.must_hold) {
            EXPECT_NE(c.text.find(piece), std::string_view::npos) << c.name << " lacks " << piece;
        }
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
