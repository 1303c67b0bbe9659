#include "zolviai/flow/sql_state.hpp"

namespace zolviai::flow {

const graph::StateSchema& sql_state_schema() {
    using graph::MergeRule;
    static const graph::StateSchema schema({
        {"user_question", MergeRule::Replace, {}},
        {"follow_up_question", MergeRule::Concatenate, {}},
        {"schemas_from_relevant_tables", MergeRule::Replace, {}},
        {"table_names_from_db", MergeRule::Replace, {}},
        {"relevant_tables", MergeRule::Replace, {}},
        {"generated_sql_query", MergeRule::Concatenate, {}},
        {"sql_generation_prompt_type", MergeRule::Replace, {}},
        {"execution_success", MergeRule::Replace, {}},
        {"execution_error", MergeRule::Concatenate, {}},
        {"sql_execution_result", MergeRule::Concatenate, {}},
        {"pandas_code", MergeRule::Replace, {}},
        {"use_pandas_ai_flag", MergeRule::Replace, {}},
        {"image_path", MergeRule::Replace, {}},
        {"python_executed_output", MergeRule::Replace, {}},
        {"save_path", MergeRule::Replace, {}},
        {"final_response", MergeRule::Replace, {}},
        {"iteration_count", MergeRule::Add, {}},
        {"iteration_count_pandas", MergeRule::Add, {}},
        {"rewrite_count", MergeRule::Replace, {}},
        {"rewritten_question", MergeRule::Replace, {}},
        {"max_iterations", MergeRule::Replace, {}},
        {"max_iterations_pandas", MergeRule::Replace, Value(kDefaultMaxIterationsPandas)},
        {"python_execution_success", MergeRule::Replace, {}},
        {"python_error_message", MergeRule::Replace, {}},
        {"pandas_generation_prompt_type", MergeRule::Replace, {}},
        // The previous turn's SQL, when the question builds on an earlier one.
        {"earlier_sql", MergeRule::Replace, {}},
    });
    return schema;
}

} // namespace zolviai::flow
