#pragma once

#include "zolviai/core/value.hpp"

#include <string>

// The entry step, the two error handlers and the routing conditions of the flow. Each takes
// the flow state as a map; a field it needs that has no value is a MissingFieldError naming
// the field.
namespace zolviai::flow {

// The SQL corrections a question may get (max_iterations, set by the entry step).
inline constexpr int kMaxSqlCorrections = 5;

// The flow's entry step: the given map with the counters and empty lists set, returned
// whole as the update (so every field it held is written back).
Value initialisation(const Value& inputs);

std::string sql_syntax_condition(const Value& state); // "sql_execute" | "sql_syntax_error"
std::string
sql_execution_condition(const Value& state); // "pandas_generation" | "sql_execution_error"
std::string
pandas_execution_condition(const Value& state); // "final_response" | "pandas_execution_error"
std::string pandas_code_condition(const Value& state); // "use_pandas" | "generate_response"

// Counts a failed SQL execution and chooses correction, rewrite or giving up.
Value handle_sql_error(const Value& state);
// "regenerate_sql_query" | "rewrite_query" | "terminal_failure_response"
std::string sql_error_handler_condition(const Value& state);

// Counts a failed analysis run and chooses correction or giving up.
Value handle_pandas_error(const Value& state);
// "regenerate_pandas_code" | "terminal_failure_response"
std::string pandas_error_handler_condition(const Value& state);

} // namespace zolviai::flow
