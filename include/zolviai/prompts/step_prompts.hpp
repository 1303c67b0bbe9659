#pragma once

#include <string_view>

// The prompt texts of the flow's own steps beside those of flow_graph_prompts: the query
// review, the analysis-code correction and the final answer. Which placeholders each one
// takes is noted beside it.
namespace zolviai::prompts {

// The query review. {dialect} and {query} are replaced as plain text (not brace format): the
// query is the model's and may hold braces of its own.
extern const std::string_view QUERY_CHECKER;

// Brace format: user_question, python_code, error. The correction prompt shared by the
// analysis-code generator and the stand-alone correction step.
extern const std::string_view PANDAS_CORRECTION_TEXT;

// Brace format: user_question, sql_query, sql_query_result, python_code,
// python_executed_result. What the final answer is built from; final_node_prompt, then
// RESPONSE_CONTEXT_LEAD and the deployment's context and instructions follow it.
extern const std::string_view RESPONSE_PROMPT_TEMPLATE;
extern const std::string_view RESPONSE_CONTEXT_LEAD;

// What the SQL correction prompt shows in place of the result of a query that ran cleanly and
// returned no rows (the state holds "None" there).
extern const std::string_view NO_ROWS_NOTE;

// The written answer when the question's query ran cleanly and found nothing (no model is
// asked): {sql} is replaced by the statement as plain text.
extern const std::string_view NO_ROWS_ANSWER;

} // namespace zolviai::prompts
