#include "zolviai/core/error.hpp"
#include "zolviai/flow/routing.hpp"
#include "zolviai/flow/run_record.hpp"
#include "zolviai/flow/sql_state.hpp"

#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::flow;

TEST(Routing, InitialisationResetsCountersAndKeepsEverythingElse) {
    const Value in = {
        {"user_question", "q"}, {"max_iterations", 10}, {"iteration_count", 3}, {"other", "kept"}};
    const Value out = initialisation(in);
    EXPECT_EQ(out["user_question"], "q");
    EXPECT_EQ(out["other"], "kept");
    EXPECT_EQ(out["max_iterations"], 5);
    EXPECT_EQ(out["iteration_count"], 0);
    EXPECT_EQ(out["rewrite_count"], 0);
    EXPECT_EQ(out["rewritten_question"], "");
    for (const char* list : {"generated_sql_query", "execution_error", "sql_execution_result"}) {
        EXPECT_EQ(out[list], Value::array()) << list;
    }
    for (const char* untouched : {"max_iterations_pandas", "iteration_count_pandas",
                                  "sql_generation_prompt_type", "pandas_generation_prompt_type"}) {
        EXPECT_FALSE(out.contains(untouched)) << untouched;
    }
    EXPECT_THROW(initialisation(nullptr), TypeError);
}

TEST(Routing, EntryStepMergedByTheStateRules) {
    const auto& schema = sql_state_schema();
    Value state = schema.initial_state();
    schema.merge(state, {{"user_question", "q"},
                         {"save_path", "m"},
                         {"follow_up_question", {"f"}},
                         {"max_iterations", 9}});
    schema.merge(state, initialisation(state));
    EXPECT_EQ(state["follow_up_question"], Value({"f", "f"})) << "written back and concatenated";
    EXPECT_EQ(state["max_iterations"], 5);
    EXPECT_EQ(state["iteration_count"], 0);
    EXPECT_EQ(state["max_iterations_pandas"], kDefaultMaxIterationsPandas);
    EXPECT_EQ(schema.fields().size(), 26u); // with earlier_sql, which follow-ups set
}

TEST(Routing, SingleFieldConditionsUsePythonTruth) {
    struct Case {
        std::string (*fn)(const Value&);
        const char* field;
        const char* yes;
        const char* no;
    };
    const Case cases[] = {
        {sql_syntax_condition, "is_valid_syntax", "sql_execute", "sql_syntax_error"},
        {sql_execution_condition, "execution_success", "pandas_generation", "sql_execution_error"},
        {pandas_execution_condition, "python_execution_success", "final_response",
         "pandas_execution_error"},
        {pandas_code_condition, "use_pandas_ai_flag", "use_pandas", "generate_response"},
    };
    for (const auto& c : cases) {
        for (const Value& t : {Value(true), Value(1), Value("x"), Value({1})}) {
            EXPECT_EQ(c.fn({{c.field, t}}), c.yes) << c.field << " " << t.dump();
        }
        for (const Value& f : {Value(false), Value(0), Value(""), Value::array(), Value(nullptr)}) {
            EXPECT_EQ(c.fn({{c.field, f}}), c.no) << c.field << " " << f.dump();
        }
        try {
            c.fn(Value::object());
            ADD_FAILURE() << c.field << ": no error for a missing field";
        } catch (const MissingFieldError& e) {
            EXPECT_EQ(e.field(), c.field);
        }
    }
}

TEST(Routing, SqlErrorHandlerAndConditionAcrossTheRetryCycle) {
    struct Case {
        int i, r, m;
        Value update;
        const char* label_after; // the condition on the state after the update
    };
    const Case cases[] = {
        {0,
         0,
         5,
         {{"iteration_count", 1}, {"sql_generation_prompt_type", "correction"}},
         "regenerate_sql_query"},
        {4,
         0,
         5,
         {{"iteration_count", 1}, {"sql_generation_prompt_type", "correction"}},
         "rewrite_query"},
        {5, 0, 5, {{"rewrite_count", 1}}, "terminal_failure_response"},
        {2,
         1,
         5,
         {{"sql_execution_result", {"SQL generation failed after max iterations"}}},
         "terminal_failure_response"},
        {7,
         0,
         5,
         {{"sql_execution_result", {"SQL generation failed after max iterations"}}},
         "terminal_failure_response"},
    };
    const auto& schema = sql_state_schema();
    for (const auto& c : cases) {
        Value state = schema.initial_state();
        schema.merge(state, {{"iteration_count", c.i},
                             {"rewrite_count", c.r},
                             {"max_iterations", c.m},
                             {"sql_execution_result", Value::array()}});
        const Value update = handle_sql_error(state);
        EXPECT_EQ(update, c.update) << c.i << "," << c.r << "," << c.m;
        schema.merge(state, update);
        EXPECT_EQ(sql_error_handler_condition(state), c.label_after) << c.i << "," << c.r;
    }
    EXPECT_EQ(sql_error_handler_condition(
                  {{"iteration_count", 0}, {"rewrite_count", 0}, {"max_iterations", 0}}),
              "rewrite_query");
    EXPECT_EQ(sql_error_handler_condition(
                  {{"iteration_count", 2}, {"rewrite_count", 1}, {"max_iterations", 5}}),
              "terminal_failure_response");
    EXPECT_THROW(handle_sql_error({{"iteration_count", 0}, {"rewrite_count", 0}}),
                 MissingFieldError);
}

TEST(Routing, PandasErrorHandlerAndCondition) {
    EXPECT_EQ(
        handle_pandas_error({{"iteration_count_pandas", 0}, {"max_iterations_pandas", 3}}),
        Value({{"iteration_count_pandas", 1}, {"pandas_generation_prompt_type", "correction"}}));
    EXPECT_EQ(handle_pandas_error({{"iteration_count_pandas", 3}, {"max_iterations_pandas", 3}}),
              Value({{"python_executed_output", "Python generation failed after max iterations"}}));
    EXPECT_EQ(pandas_error_handler_condition(
                  {{"iteration_count_pandas", 2}, {"max_iterations_pandas", 3}}),
              "regenerate_pandas_code");
    EXPECT_EQ(pandas_error_handler_condition(
                  {{"iteration_count_pandas", 3}, {"max_iterations_pandas", 3}}),
              "terminal_failure_response");
    try {
        handle_pandas_error({{"iteration_count_pandas", 0}});
        FAIL();
    } catch (const MissingFieldError& e) {
        EXPECT_EQ(e.field(), "max_iterations_pandas");
    }
    EXPECT_THROW(
        handle_pandas_error({{"iteration_count_pandas", "0"}, {"max_iterations_pandas", 3}}),
        TypeError);
}

TEST(Routing, StatementsAreTheSameUpToWhitespaceOutsideQuotedText) {
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"SELECT a FROM t", "  SELECT  a\n\tFROM t ;", true},
        {"SELECT a FROM t;", "SELECT a FROM t", true},
        {"SELECT 'a  b' FROM t", "SELECT 'a b' FROM t", false},           // inside a text
        {"SELECT \"my  col\" FROM t", "SELECT \"my col\" FROM t", false}, // a quoted name
        {"SELECT [my  col] FROM t", "SELECT [my col] FROM t", false},
        {"SELECT `my  col` FROM t", "SELECT `my col` FROM t", false},
        {"SELECT 'it''s' ,  x FROM t", "SELECT 'it''s' , x FROM t", true},
        {"SELECT a FROM t", "SELECT b FROM t", false},
        {"SELECT a FROM t", "select a from t", false}, // case is the engine's business
    };
    for (const auto& c : cases) {
        EXPECT_EQ(normalised_sql(c.a) == normalised_sql(c.b), c.same) << c.a << " | " << c.b;
    }
    RunRecord record;
    SqlAttempt ran;
    ran.sql = "SELECT a\nFROM t";
    ran.no_rows = true;
    record.attempts.push_back(ran);
    EXPECT_EQ(record.earlier_run("SELECT a FROM t"), &record.attempts[0]);
    EXPECT_EQ(record.earlier_run("SELECT a FROM u"), nullptr);
    EXPECT_EQ(record.found_nothing(), nullptr) << "no clean result kept: nothing to show";
    record.last_result = sql::ResultSet{};
    EXPECT_EQ(record.found_nothing(), &record.attempts[0]);
    SqlAttempt rows;
    rows.sql = "SELECT b FROM t";
    rows.success = true;
    record.attempts.push_back(rows);
    EXPECT_EQ(record.found_nothing(), nullptr) << "a query that gave rows answers the question";
}
