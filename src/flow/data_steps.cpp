#include "zolviai/flow/data_steps.hpp"

#include "sql/drivers/engine_traits.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/flow/routing.hpp"
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

namespace {

// The update an execution gives for an attempt that did not yield rows.
Value unsuccessful_update(const SqlAttempt& attempt) {
    const std::string text = attempt.no_rows ? std::string("None") : attempt.error;
    return {{"sql_execution_result", Value::array({text})}, {"execution_success", false}};
}

} // namespace

Value SQLExecution::invoke(const Value& state, RunRecord* record) const {
    require_state_map(state);
    Value queries = get_field(state, "generated_sql_query");
    const std::string query = python::str(last_element(queries, "generated_sql_query"));
    // The same statement is not run twice in one run: its failure or empty result stands.
    // (One that gave rows never comes back: the flow moves on to the analysis.)
    if (record != nullptr) {
        if (const SqlAttempt* earlier = record->earlier_run(query);
            earlier != nullptr && !earlier->success) {
            SqlAttempt again = *earlier;
            again.sql = query;
            again.reused = true;
            again.elapsed = std::chrono::nanoseconds(0);
            record->attempts.push_back(again);
            return unsuccessful_update(again);
        }
    }
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
            attempt.not_run = true;
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
    if (record != nullptr) {
        record->last_result = std::move(rows);
    }
    if (result.empty()) {
        attempt.no_rows = true;
        attempt.error = "the query returned no rows";
        keep();
        // The state keeps "None"; the correction prompt says what it means and what the value
        // index can tell of why (SQLGeneration::no_rows_diagnosis).
        return {{"sql_execution_result", Value::array({"None"})}, {"execution_success", false}};
    }
    attempt.success = true;
    keep();
    return {{"sql_execution_result", Value::array({result})},
            {"execution_success", true},
            {"pandas_generation_prompt_type", "generation"}};
}

SQLErrorHandler::SQLErrorHandler(DatabasePtr database) : db(std::move(database)) {}

bool SQLErrorHandler::tables_hold_no_rows(const Value& tables) const {
    std::vector<std::string> names;
    if (tables.is_array()) {
        for (const auto& t : tables) {
            names.push_back(python::str(t));
        }
    } else if (tables.is_string()) {
        names.push_back(tables.get<std::string>());
    }
    if (names.empty()) {
        return false;
    }
    const sql::drivers::EngineTraits* traits = sql::drivers::engine_for_dialect(db->dialect());
    if (traits == nullptr) {
        return false;
    }
    for (const auto& name : names) {
        std::string quoted(1, traits->quote_open);
        for (const char c : name) {
            quoted += c;
            if (c == traits->quote_close) {
                quoted += c;
            }
        }
        quoted += traits->quote_close;
        const std::string probe = traits->row_limit == sql::drivers::RowLimit::Top
                                      ? "SELECT TOP 1 1 FROM " + quoted
                                      : "SELECT 1 FROM " + quoted + " LIMIT 1";
        try {
            if (!db->query(probe, 1, true).rows.empty()) {
                return false;
            }
        } catch (const DatabaseError&) {
            return false; // a table we cannot read may hold rows
        }
    }
    return true;
}

Value SQLErrorHandler::invoke(const Value& state, RunRecord* record) const {
    if (record == nullptr || record->attempts.empty()) {
        return handle_sql_error(state);
    }
    const SqlAttempt& last = record->attempts.back();
    int empty_runs = 0;
    for (const auto& attempt : record->attempts) {
        empty_runs += attempt.no_rows ? 1 : 0;
    }
    if (empty_runs == 0) {
        return handle_sql_error(state);
    }
    // A query ran cleanly and found nothing: that may be the answer. It gets one correction
    // (unless the tables it could read are empty, when no query finds more); after that
    // the run ends with the empty result, also when the correction itself failed.
    auto count = [&](const char* name) {
        const Value& v = get_field(state, name);
        return v.is_number() ? v.get<double>() : truthy(v) ? 1.0 : 0.0;
    };
    const auto tables = state.find("relevant_tables");
    if (last.no_rows && empty_runs == 1 && count("iteration_count") < count("max_iterations") &&
        count("rewrite_count") == 0 &&
        !tables_hold_no_rows(tables == state.end() ? Value() : *tables)) {
        return handle_sql_error(state);
    }
    // Spending the rewrite routes to the answer (sql_error_handler_condition): rewording a
    // question whose query ran cleanly would not find data.
    return {{"rewrite_count", 1}};
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
