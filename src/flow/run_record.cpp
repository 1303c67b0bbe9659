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

std::string normalised_sql(std::string_view sql) {
    std::string out;
    out.reserve(sql.size());
    char quote = 0; // the closing character of the quoted text we are in
    bool blank = false;
    for (const char c : sql) {
        if (quote != 0) {
            out += c;
            quote = c == quote ? 0 : quote;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) {
            out += ' ';
        }
        blank = false;
        out += c;
        if (c == '\'' || c == '"' || c == '`') {
            quote = c;
        } else if (c == '[') {
            quote = ']';
        }
    }
    while (!out.empty() && (out.back() == ';' || out.back() == ' ')) {
        out.pop_back();
    }
    return out;
}

const SqlAttempt* RunRecord::earlier_run(std::string_view sql) const {
    const std::string wanted = normalised_sql(sql);
    for (const auto& attempt : attempts) {
        if (!attempt.reused && !attempt.not_run && normalised_sql(attempt.sql) == wanted) {
            return &attempt;
        }
    }
    return nullptr;
}

const SqlAttempt* RunRecord::found_nothing() const {
    const SqlAttempt* empty = nullptr;
    for (const auto& attempt : attempts) {
        if (attempt.success) {
            return nullptr;
        }
        if (attempt.no_rows) {
            empty = &attempt;
        }
    }
    return empty != nullptr && last_result ? empty : nullptr;
}

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
    // Not rewrite_count: the correction loop also spends the rewrite when a query ran cleanly
    // without rows (the question was understood; rewording it would not find data).
    f.rewritten = !f.rewritten_question.empty();
    f.pandas_code = text_member(state, "pandas_code");
    f.python_output = text_member(state, "python_executed_output");
    f.python_success = true_member(state, "python_execution_success");
    f.python_error = text_member(state, "python_error_message");
    f.image_path = text_member(state, "image_path");
    return f;
}

} // namespace zolviai::flow
