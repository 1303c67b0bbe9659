#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/flow/prompt_template.hpp"
#include "zolviai/flow/query_checker.hpp"
#include "zolviai/flow/run_record.hpp"
#include "zolviai/llm/chat_model.hpp"
#include "zolviai/pyexec/analysis_runner.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/tools.hpp"

#include <memory>

// The flow steps that read the database or run analysis code. Each takes the flow state
// (a map) and returns the update it makes; a state that is not a map is a TypeError naming
// "state", a field it needs without a value a MissingFieldError naming the field.
namespace zolviai::flow {

using DatabasePtr = std::shared_ptr<const sql::CustomSQLDatabase>;
using ChatModelPtr = std::shared_ptr<const llm::ChatModel>;

// Throws the TypeError a step gives for a state that is not a map.
void require_state_map(const Value& state);

// Table names held as a list, joined with "," (no blank); a text as it is.
std::string joined_names(const Value& names);

// Lists the database's usable tables: {"table_names_from_db": "a, b, c"}.
class TableNamesLookup {
public:
    explicit TableNamesLookup(DatabasePtr db);
    Value invoke(const Value& state) const;

    sql::ListSQLDatabaseTool tool;
};

// Describes the chosen tables and resets the SQL prompt to first-attempt generation:
// {"sql_generation_prompt_type": "generation", "schemas_from_relevant_tables": text}.
class RelevantSchemas {
public:
    explicit RelevantSchemas(DatabasePtr db);
    Value invoke(const Value& state) const;

    sql::InfoSQLDatabaseTool tool;
};

// Has the model review the newest query and puts its answer in place of that query, in the
// state's own list; returns an empty update.
class SQLSyntaxChecker {
public:
    SQLSyntaxChecker(DatabasePtr db, ChatModelPtr model);
    Value invoke(Value& state) const;

    QuerySQLCheckerTool tool;
};

// Runs the newest query. Rows: the rendered rows, success and the analysis prompt set to
// "generation"; no rows: "None" and failure; a database error: its text and failure. With a
// record, the attempt (and for a clean run the typed rows) are kept there too, and a query
// that already failed or found nothing in this run is not run again: its outcome is repeated.
class SQLExecution {
public:
    explicit SQLExecution(DatabasePtr db);
    Value invoke(const Value& state, RunRecord* record = nullptr) const;

    DatabasePtr db;
};

// The SQL error handler with the run's record: errors go through handle_sql_error as always.
// A query that ran cleanly and found nothing gets at most one correction, and none when every
// table the flow chose holds no rows; then the run goes on to the answer (the rewrite is
// spent, so the routing condition says "terminal_failure_response"), without the failure text.
class SQLErrorHandler {
public:
    explicit SQLErrorHandler(DatabasePtr db);
    Value invoke(const Value& state, RunRecord* record = nullptr) const;
    // Every named table (a list, or one name) can be read and holds no rows.
    bool tables_hold_no_rows(const Value& tables) const;

    DatabasePtr db;
};

// Runs the analysis code in a fresh namespace: {"python_executed_output": printed,
// "python_execution_success": true} or {"python_execution_success": false,
// "python_error_message": "{type}: {message}"}. A missing or non-text pandas_code is
// reported like an error of the code. An interruption propagates. The runner decides where
// the code runs (null: in this process); save_path, when the state holds one, is the run's
// media folder.
class PandasExecutor {
public:
    explicit PandasExecutor(ChatModelPtr model, pyexec::AnalysisRunnerPtr runner = nullptr);
    // With a record, the files the run saved are kept there.
    Value invoke(const Value& state, RunRecord* record = nullptr) const;
    // The user message of PANDAS_SYSTEM_TEMPLATE for the state (not used by the flow).
    std::vector<llm::Message> generate_prompt(const Value& state) const;

    ChatModelPtr model;
    pyexec::AnalysisRunnerPtr runner;
    ChatPromptTemplate template_;
};

} // namespace zolviai::flow
