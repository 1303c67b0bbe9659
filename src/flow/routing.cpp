#include "zolviai/flow/routing.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/graph/state_schema.hpp"

#include <cmath>

namespace zolviai::flow {
namespace {

using graph::get_field;

// Counters and bounds compare as numbers, whatever numeric kind they arrived as.
double number(const Value& state, const char* name) {
    const Value& v = get_field(state, name);
    if (v.is_boolean()) {
        return v.get<bool>() ? 1 : 0;
    }
    if (!v.is_number()) {
        throw TypeError(std::string("state field '") + name + "' must be a number, not " +
                        python_type_name(v));
    }
    return v.get<double>();
}

const char* pick(const Value& state, const char* field, const char* yes, const char* no) {
    return truthy(get_field(state, field)) ? yes : no;
}

} // namespace

Value initialisation(const Value& inputs) {
    if (!inputs.is_object()) {
        throw TypeError(std::string("Argument 'state' has incorrect type (expected dict, got ") +
                        python_type_name(inputs) + ")");
    }
    Value out = inputs;
    out["iteration_count"] = 0;
    out["max_iterations"] = kMaxSqlCorrections;
    out["rewrite_count"] = 0;
    out["rewritten_question"] = "";
    out["generated_sql_query"] = Value::array();
    out["execution_error"] = Value::array();
    out["sql_execution_result"] = Value::array();
    return out;
}

std::string sql_syntax_condition(const Value& state) {
    return pick(state, "is_valid_syntax", "sql_execute", "sql_syntax_error");
}

std::string sql_execution_condition(const Value& state) {
    return pick(state, "execution_success", "pandas_generation", "sql_execution_error");
}

std::string pandas_execution_condition(const Value& state) {
    return pick(state, "python_execution_success", "final_response", "pandas_execution_error");
}

std::string pandas_code_condition(const Value& state) {
    return pick(state, "use_pandas_ai_flag", "use_pandas", "generate_response");
}

Value handle_sql_error(const Value& state) {
    const double i = number(state, "iteration_count");
    const double r = number(state, "rewrite_count");
    const double m = number(state, "max_iterations");
    if (i < m && r == 0) {
        return {{"iteration_count", 1}, {"sql_generation_prompt_type", "correction"}};
    }
    if (i == m && r == 0) {
        return {{"rewrite_count", 1}};
    }
    return {{"sql_execution_result", Value::array({"SQL generation failed after max iterations"})}};
}

std::string sql_error_handler_condition(const Value& state) {
    const double i = number(state, "iteration_count");
    const double r = number(state, "rewrite_count");
    const double m = number(state, "max_iterations");
    if (i < m && r == 0) {
        return "regenerate_sql_query";
    }
    if (i == m) {
        return r == 0 ? "rewrite_query" : "terminal_failure_response";
    }
    return "terminal_failure_response";
}

Value handle_pandas_error(const Value& state) {
    const double p = number(state, "iteration_count_pandas");
    const double q = number(state, "max_iterations_pandas");
    if (p < q) {
        return {{"iteration_count_pandas", 1}, {"pandas_generation_prompt_type", "correction"}};
    }
    return {{"python_executed_output", "Python generation failed after max iterations"}};
}

std::string pandas_error_handler_condition(const Value& state) {
    const double p = number(state, "iteration_count_pandas");
    const double q = number(state, "max_iterations_pandas");
    return p < q ? "regenerate_pandas_code" : "terminal_failure_response";
}

} // namespace zolviai::flow
