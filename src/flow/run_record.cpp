#include "zolviai/flow/run_record.hpp"

namespace zolviai::flow {
namespace {

std::string text_member(const Value& state, const char* name) {
    const auto it = state.find(name);
    return it != state.end() && it->is_string() ? it->get<std::string>() : "";
}

long number_member(const Value& state, const char* name) {
    const auto it = state.find(name);
    return it != state.end() && it->is_number() ? it->get<long>() : 0;
}

bool true_member(const Value& state, const char* name) {
    const auto it = state.find(name);
    return it != state.end() && truthy(*it);
}

} // namespace

FinalState read_final_state(const Value& state) {
    FinalState f;
    f.rewritten_question = text_member(state, "rewritten_question");
    f.final_response = text_member(state, "final_response");
    if (const auto it = state.find("generated_sql_query"); it != state.end() && it->is_array()) {
        for (const auto& query : *it) {
            f.queries.push_back(query.is_string() ? query.get<std::string>() : query.dump());
        }
    }
    f.execution_success = true_member(state, "execution_success");
    f.corrections = static_cast<int>(number_member(state, "iteration_count"));
    f.rewritten = number_member(state, "rewrite_count") > 0;
    f.pandas_code = text_member(state, "pandas_code");
    f.python_output = text_member(state, "python_executed_output");
    f.python_success = true_member(state, "python_execution_success");
    f.python_error = text_member(state, "python_error_message");
    f.image_path = text_member(state, "image_path");
    return f;
}

} // namespace zolviai::flow
