#include "zolviai/flow/data_steps.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/graph/state_schema.hpp"
#include "zolviai/prompts/flow_graph_prompts.hpp"
#include "zolviai/pyexec/analysis_runner.hpp"
#include "zolviai/sql/render.hpp"
#include "zolviai/sql/value_index.hpp"

#include <algorithm>
#include <chrono>

namespace zolviai::flow {

using graph::get_field;

std::string joined_names(const Value& names) {
    if (!names.is_array()) {
        return python::str(names);
    }
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        out += i ? "," : "";
        out += python::str(names[i]);
    }
    return out;
}

namespace {

Value& last_element(Value& list, const char* field) {
    if (!list.is_array()) {
        throw TypeError(std::string("state field '") + field + "' must be a list, not " +
                        python_type_name(list));
    }
    if (list.empty()) {
        throw IndexError("list index out of range");
    }
    return list.back();
}

} // namespace

void require_state_map(const Value& state) {
    if (!state.is_object()) {
        throw TypeError(std::string("Argument 'state' has incorrect type (expected dict, got ") +
                        python_type_name(state) + ")");
    }
}

TableNamesLookup::TableNamesLookup(DatabasePtr db) : tool(std::move(db)) {}

Value TableNamesLookup::invoke(const Value& state) const {
    require_state_map(state);
    return {{"table_names_from_db", tool.run()}};
}

RelevantSchemas::RelevantSchemas(DatabasePtr db) : tool(std::move(db)) {}

Value RelevantSchemas::invoke(const Value& state) const {
    require_state_map(state);
    const std::string names = joined_names(get_field(state, "relevant_tables"));
    return {{"sql_generation_prompt_type", "generation"},
            {"schemas_from_relevant_tables", tool.run(names)}};
}

SQLSyntaxChecker::SQLSyntaxChecker(DatabasePtr db, ChatModelPtr model)
    : tool(std::move(db), std::move(model)) {}

Value SQLSyntaxChecker::invoke(Value& state) const {
    require_state_map(state);
    Value& query = last_element(get_field(state, "generated_sql_query"), "generated_sql_query");
    query = tool.run(python::str(query));
    return Value::object();
}

SQLExecution::SQLExecution(DatabasePtr database) : db(std::move(database)) {}

Value SQLExecution::invoke(const Value& state, RunRecord* record) const {
    require_state_map(state);
    Value queries = get_field(state, "generated_sql_query");
    const std::string query = python::str(last_element(queries, "generated_sql_query"));
    SqlAttempt attempt;
    attempt.sql = query;
    const auto start = std::chrono::steady_clock::now();
    auto keep = [&] {
        if (record != nullptr) {
            attempt.elapsed = std::chrono::steady_clock::now() - start;
            record->attempts.push_back(std::move(attempt));
        }
    };
    // A literal that never occurs in its column, when a close value does, is sent back to the
    // model before the query costs a round trip; said once, so a statement that keeps it after
    // being told runs as written.
    const std::string findings = sql::literal_check_text(db->check_literals(query));
    if (!findings.empty()) {
        const std::string told = "Literal check (the query was not run): " + findings;
        const auto earlier = state.find("sql_execution_result");
        const bool said =
            earlier != state.end() && earlier->is_array() &&
            std::find(earlier->begin(), earlier->end(), Value(told)) != earlier->end();
        if (!said) {
            attempt.error_kind = ErrorKind::Internal;
            attempt.error = told;
            keep();
            return {{"sql_execution_result", Value::array({told})}, {"execution_success", false}};
        }
    }
    // What run() gives, read once: the typed rows are kept, their rendering goes to the state.
    const sql::RenderLimits& limits = db->options().limits;
    sql::ResultSet rows;
    try {
        rows = db->query(query, limits.max_rows, false);
    } catch (const DatabaseError& e) {
        attempt.error_kind = e.kind();
        attempt.error = e.what();
        keep();
        return {{"sql_execution_result", Value::array({e.what()})}, {"execution_success", false}};
    }
    std::string result = sql::render_rows(rows, false, limits);
    attempt.row_count =
        std::max<std::int64_t>(rows.total_rows, static_cast<std::int64_t>(rows.rows.size()));
    if (result.empty()) {
        attempt.error_kind = ErrorKind::Internal;
        attempt.error = "the query returned no rows";
        keep();
        // What the value index can tell of why (wrong literals, dates outside a column's range).
        const std::string diagnosis = db->empty_result_diagnosis(query);
        const std::string shown =
            diagnosis.empty() ? std::string("None") : "None\nThe query found no rows. " + diagnosis;
        return {{"sql_execution_result", Value::array({shown})}, {"execution_success", false}};
    }
    attempt.success = true;
    keep();
    if (record != nullptr) {
        record->last_result = std::move(rows);
    }
    return {{"sql_execution_result", Value::array({result})},
            {"execution_success", true},
            {"pandas_generation_prompt_type", "generation"}};
}

PandasExecutor::PandasExecutor(ChatModelPtr chat_model, pyexec::AnalysisRunnerPtr analysis_runner)
    : model(std::move(chat_model)),
      runner(analysis_runner ? std::move(analysis_runner)
                             : std::make_shared<pyexec::InProcessRunner>()),
      template_({{"user", prompts::PANDAS_SYSTEM_TEMPLATE, TemplateFormat::Jinja2}}) {}

Value PandasExecutor::invoke(const Value& state, RunRecord* record) const {
    require_state_map(state);
    std::string error;
    pyexec::RunResult run;
    const auto code = state.find("pandas_code");
    if (code == state.end()) {
        error = "KeyError: 'pandas_code'";
    } else if (!code->is_string()) {
        error = "TypeError: compile() arg 1 must be a string, bytes or AST object";
    } else {
        pyexec::AnalysisJob job{code->get<std::string>(), ""};
        const auto save_path = state.find("save_path");
        if (save_path != state.end() && save_path->is_string()) {
            job.media_dir = save_path->get<std::string>();
        }
        run = runner->run(job);
        if (record != nullptr) {
            record->analysis_files = run.files;
        }
        if (!run.success) {
            error = run.error;
        }
    }
    if (!error.empty()) {
        return {{"python_execution_success", false}, {"python_error_message", error}};
    }
    return {{"python_executed_output", run.output}, {"python_execution_success", true}};
}

std::vector<llm::Message> PandasExecutor::generate_prompt(const Value& state) const {
    require_state_map(state);
    const Value& follow = get_field(state, "follow_up_question");
    const Value& queries = get_field(state, "generated_sql_query");
    const Value& results = get_field(state, "sql_execution_result");
    Value triples = Value::array();
    const std::size_t n = std::min({follow.size(), queries.size(), results.size()});
    for (std::size_t i = 0; i < n; ++i) {
        triples.push_back({follow[i], queries[i], results[i]});
    }
    return template_.format_messages({{"original_question", get_field(state, "original_question")},
                                      {"zipped_queries_results", triples},
                                      {"save_path", get_field(state, "save_path")}});
}

} // namespace zolviai::flow
