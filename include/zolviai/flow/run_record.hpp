#pragma once

#include "zolviai/core/error.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/graph/run_config.hpp"
#include "zolviai/sql/connection.hpp"
#include "zolviai/sql/value_index.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zolviai::flow {

// One run of the execution step.
struct SqlAttempt {
    std::string sql;
    bool success = false; // ran and gave rows
    // Ran cleanly and found nothing: not an error (no kind); error holds "the query returned
    // no rows" for readers of the attempt list.
    bool no_rows = false;
    // The same statement (up to whitespace) ran earlier in this run: its outcome is repeated
    // here and the database was not asked again.
    bool reused = false;
    // Stopped before the database saw it (the literal check spoke): the same statement again
    // runs as written.
    bool not_run = false;
    // Failures: the error's kind and text.
    std::optional<ErrorKind> error_kind;
    std::string error;
    std::int64_t row_count = 0; // rows the statement produced
    std::chrono::nanoseconds elapsed{0};
};

// A statement with its whitespace runs outside quoted text and names collapsed to one blank
// and trimmed, and trailing semicolons dropped: two statements are "the same" when this is.
std::string normalised_sql(std::string_view sql);
// A question whose SQL someone checked as correct on this database: SQL generation sees it as
// a worked example, the table choice its tables as likely candidates.
struct VerifiedExample {
    std::string question;
    std::string sql;
    std::vector<std::string> tables; // what the SQL reads
};

// What the steps of one run keep beside the state: the typed rows the execution step read
// (so that nobody runs the final statement again), every attempt with its outcome, and the
// files the analysis saved. A caller passes one to SQLGraph::invoke; the steps that write it
// never share a super-step with each other, so it needs no lock.
class RunRecord : public graph::RunContext {
public:
    std::vector<SqlAttempt> attempts;
    // The rows of the last execution that ran cleanly (with rows, or without: then only the
    // columns), as the engine sent them (at most the database's row limit kept; total_rows
    // counts them all).
    std::optional<sql::ResultSet> last_result;
    std::vector<std::string> analysis_files; // saved by the last analysis run

    // The earlier attempt whose statement is the same as sql (normalised_sql); null: none.
    const SqlAttempt* earlier_run(std::string_view sql) const;
    // The run's SQL ended without rows and without an error to show for it: no attempt gave
    // rows, and one ran cleanly and found nothing (the last such one); null otherwise.
    const SqlAttempt* found_nothing() const;
    // Hints the host gives beside those the value index finds (they come first), and the
    // hints the SQL-generation prompt carried.
    std::vector<sql::ValueHint> given_value_hints;
    std::vector<sql::ValueHint> value_hints;
    // Given by the caller before the run, read by the table choice and SQL generation: the
    // prompts hold an examples section only when there are some.
    std::vector<VerifiedExample> examples;
};

// The flow's final state as typed fields: what callers above the flow read of it (the state's
// field names stay in this layer). Fields the run never wrote are empty.
struct FinalState {
    std::string rewritten_question;
    std::string final_response;
    std::vector<std::string> queries; // generated_sql_query, the last one final
    bool execution_success = false;
    int corrections = 0; // iteration_count
    bool rewritten = false;
    std::string pandas_code;
    std::string python_output;
    bool python_success = false;
    std::string python_error;
    std::string image_path;
};
FinalState read_final_state(const Value& state);

} // namespace zolviai::flow
