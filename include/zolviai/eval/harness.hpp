#pragma once

#include "zolviai/agent/asker.hpp"
#include "zolviai/agent/memory.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/eval/compare.hpp"
#include "zolviai/eval/questions.hpp"
#include "zolviai/flow/sql_graph.hpp"
#include "zolviai/sql/sql_database.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The evaluation harness: each question through the flow, its final query and the gold
// query run on the same database through the guarded wrapper, the results compared.
namespace zolviai::eval {

// What became of one question.
enum class Outcome {
    Correct,     // the final query's result equals the gold query's
    WrongResult, // it ran, with another result (no rows where the gold query has some, too)
    SqlError,    // the correction loop gave up (or the final query failed when run again)
    Refused,     // ... and the last statement was refused by the guard
    Timeout,     // ... and the last statement ran past the statement time-out
    ModelError,  // the model service failed (after its retries) or answered unusably
    GoldError,   // the gold query failed: the question is broken, not the model
};
inline constexpr int outcome_count = 7;

const char* outcome_name(Outcome outcome);
// Parses the names outcome_name gives; a ValueError otherwise.
Outcome parse_outcome(std::string_view name);

// The outcome of an answer that did not end in a result: the error table's evaluation outcome
// for its error's kind (a refusal or a time-out of the last statement included), SqlError for
// a correction loop that gave up otherwise; Correct for an answer with a result, rows or a
// clean empty one ("no_rows"), to be compared with the gold result.
// A kind the table gives no outcome (a misconfiguration, an interrupt) is raised again.
Outcome outcome_of(const agent::Answer& answer);

struct EvalOptions {
    std::string default_db_uri; // questions that name no database run here
    // ... or on this database, already open, when it is set (the command line's bundled sample)
    std::shared_ptr<sql::CustomSQLDatabase> default_db;
    std::string db_root;   // where named databases live (<root>/<name>/<name>.sqlite)
    int jobs = 4;          // questions in flight at once
    std::string out_dir;   // results.jsonl, summary.json, report.md, report.html; "": none
    bool sql_only = false; // end each run once its SQL has run: no analysis, no answer
    std::size_t limit = 0; // the first this many questions; 0: all
    bool resume = false;   // keep out_dir's results.jsonl and skip the ids it holds
    CompareMode compare = CompareMode::Set;
    // For every database the harness opens: the statement time-out (the flow's, the gold
    // query's and the final query's alike), the guard's allowed functions, and so on.
    sql::DatabaseOptions database;
    std::int64_t max_result_rows = 100000; // rows of each result kept for the comparison
    std::size_t shown_rows = 5;            // rows of each result kept in the record
    std::string media_dir = "media";       // where a full run's analysis saves its charts
    std::string questions_file;            // named in the summary
    // The models that answer, for the summary's header ({"provider", "model", "sql_model",
    // ...}); null: as the settings name them (model_names()).
    Value models = nullptr;
    // A memory of verified SQL every question may use (null: none); the record then says
    // whether the answer came from it (from_memory) and how many examples guided it.
    std::shared_ptr<agent::Memory> memory;
};

// The models the settings choose, as the summary names them: {"provider": "azure" |
// "openai" | "openai-compatible" | "model-settings service" | "none", "model", "sql_model",
// "base_url" (host only)}. No key, no password.
Value model_names();

// The flow for a database. Called once per database, from any worker thread; a ConfigError
// it throws ends the whole run.
using FlowFactory =
    std::function<std::shared_ptr<flow::SQLGraph>(std::shared_ptr<sql::CustomSQLDatabase>)>;

// Where the run stands after each question.
struct ProgressInfo {
    std::size_t done = 0;  // questions finished in this run
    std::size_t total = 0; // questions this run had to do
    std::size_t correct = 0;
    std::size_t scored = 0; // finished questions that count toward accuracy (all but gold_error)
    double cost = 0;        // USD, this run so far
    double elapsed_s = 0;
};
using ProgressCallback = std::function<void(const Value& record, const ProgressInfo& progress)>;

class Evaluation {
public:
    Evaluation(std::vector<Question> questions, EvalOptions options, FlowFactory factory);
    ~Evaluation();
    Evaluation(const Evaluation&) = delete;
    Evaluation& operator=(const Evaluation&) = delete;

    // Runs every question not yet done, options.jobs at a time; each record is appended to
    // results.jsonl as its question finishes. Writes the reports and returns
    // {"summary": ..., "records": [...]} with the records in question order. After stop(),
    // the questions in flight finish and the rest are left; the reports then cover what was
    // done ("complete": false).
    Value run(const ProgressCallback& progress = {});

    // No further question starts. Safe from any thread (not from a signal handler: set a
    // flag there and call this from a thread).
    void stop();

    // The summary and reports of the records finished so far, written now (also while run()
    // is still going: the questions in flight are left out). Returns the summary.
    Value write_reports_now();

    // One question, start to end, as a record (what run() does on its workers).
    Value evaluate(const Question& question);
    // The same as a turn of a conversation: `earlier` holds the turns asked before it (the
    // follow-up step reads them), and this turn is added to it once asked.
    Value evaluate(const Question& question, std::vector<agent::EarlierTurn>* earlier);

private:
    struct Target {
        std::shared_ptr<sql::CustomSQLDatabase> db;
        std::unique_ptr<agent::Asker> asker; // over the database's flow
        std::string error;                   // why the database could not be opened
    };
    Target& target_for(const std::string& uri, bool with_flow);
    void append_record(const Value& record);
    std::vector<Value> finished_records() const;
    Value summary_of(const std::vector<Value>& records) const;
    Value write_reports(const std::vector<Value>& records) const;

    std::vector<Question> questions_;
    EvalOptions options_;
    FlowFactory factory_;
    std::atomic<bool> stop_{false};
    std::string started_at_; // UTC, ISO 8601
    std::chrono::steady_clock::time_point run_start_;

    std::mutex targets_mutex_;
    std::map<std::string, std::unique_ptr<Target>> targets_;
    std::map<std::string, std::unique_ptr<std::mutex>> target_locks_;

    mutable std::mutex records_mutex_;
    std::map<std::string, Value> records_; // by id: earlier runs' (resume) and this run's
    std::string results_path_;
};

// Runs a question file: questions read (format auto-detected unless given), options.limit
// applied, then Evaluation::run.
Value run_evaluation(const std::string& questions_file, QuestionFormat format,
                     const EvalOptions& options, const FlowFactory& factory,
                     const ProgressCallback& progress = {});

} // namespace zolviai::eval
