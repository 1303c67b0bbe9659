#pragma once

#include "zolviai/core/error.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/flow/follow_up.hpp"
#include "zolviai/flow/run_record.hpp"
#include "zolviai/flow/sql_graph.hpp"
#include "zolviai/graph/run_config.hpp"
#include "zolviai/sql/connection.hpp"
#include "zolviai/sql/value_index.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The question engine: one question in, one typed answer out. Every face (the command line,
// the server, the evaluation, the Python modules, run_agent) asks through it.
namespace zolviai::agent {

enum class RunMode {
    Full,    // SQL, analysis and the written answer
    SqlOnly, // ends once the SQL has run (or the correction loop gave up)
};

// An earlier turn of a conversation (question as asked and as understood, final SQL, row
// count, columns, outcome), for the follow-up step.
using EarlierTurn = flow::EarlierTurn;

struct Question {
    std::string text;
    RunMode mode = RunMode::Full;
    std::string media_dir; // where the analysis saves its charts; "": none given
    // Rows of the final result kept in the answer; 0: all the execution step kept (the
    // database's row limit).
    std::size_t max_rows = 0;
    // A question that has not started by then is not run (TimeoutError); none: no deadline.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    // The conversation's earlier turns, oldest first. With any, one model step first makes
    // the question stand alone (at most the last five turns shown); without, no extra call.
    std::vector<EarlierTurn> earlier_turns;
    // Whether the asker's memory of verified SQL (when it has one) may answer or guide this
    // question.
    bool use_memory = true;
    // Values the host knows the question names (table, column, value), shown to the SQL
    // writer before those the database's value index finds.
    std::vector<sql::ValueHint> value_hints;
};

struct Step {
    std::string name;                  // the node's name
    std::string label;                 // what it does, for people
    std::chrono::nanoseconds start{0}; // since the question started
    std::chrono::nanoseconds duration{0};
    bool failed = false;
};

struct Usage {
    long calls = 0;
    long prompt_tokens = 0;
    long completion_tokens = 0;
    long total_tokens = 0;
    double cost = 0; // USD, estimated from the price table
};

struct Analysis {
    std::string code;               // the analysis code that ran last
    std::string output;             // what it printed
    std::string error;              // its error, when the last run failed
    std::string chart;              // the picture the answer names ("" none)
    std::vector<std::string> files; // what the run saved in the media folder
};

// The stored entry an answer came from, when the memory answered.
struct MemoryUse {
    std::int64_t id = 0;
    std::string question; // the question as certified
    std::string source;   // how it was certified ("page", "api", "cli", "import", "eval")
    std::string certified_by;
    std::string certified_at;
};

struct Answer {
    std::string question;             // as asked
    std::string understood_as;        // as the follow-up step made it stand alone (= question
                                      // for a first question)
    bool depends_on_earlier = false;  // the follow-up step found it builds on earlier turns
    std::string understood;           // as the flow understood it (rewritten, when it was)
    std::string text;                 // the written answer; "" for SQL-only runs
    std::optional<std::string> sql;   // the final statement
    std::vector<std::string> queries; // every statement written, the last one final
    // The final statement's rows as the execution step read them: no second execution.
    std::optional<sql::ResultSet> result;
    bool truncated = false; // rows left out of result (counted in result->total_rows)
    std::vector<flow::SqlAttempt> attempts;
    Analysis analysis;
    std::vector<Step> steps;
    Usage usage;
    // The database values the SQL-generation prompt carried for the question's words.
    std::vector<sql::ValueHint> value_hints;
    int corrections = 0; // SQL corrections the flow made
    bool rewritten = false;
    // "answered", "no_rows" (the final query ran cleanly and found nothing: sql is that query,
    // result holds its columns and no rows, text says so), "sql_failed" (the correction loop
    // gave up), or the failure's outcome word from the error table ("refused", "timeout",
    // "model_error", ...).
    std::string outcome;
    std::optional<ErrorKind> error_kind; // the raised error's, or the last failed attempt's
    std::string error;
    std::string error_type; // the raised error's class ("zolviai::OutputParsingError"); ""
    Value state;            // the flow's final state (null when the flow raised)
    // Set when a certified entry answered the question as it is (no table choice, no SQL
    // written, no review): its SQL ran through the guard.
    std::optional<MemoryUse> from_memory;
    std::vector<std::int64_t> memory_examples; // entries shown to SQL generation as examples

    bool ok() const { return outcome == "answered" || outcome == "no_rows"; }
};

// The answer as JSON: the server's /v1/ask record (answer, sql, queries, columns, rows,
// row_count, chart, code, usage, steps) plus question, understood_as, understood, outcome, error,
// column_types, truncated, attempts and value_hints. Cells as sql::cell_json gives them; at most
// max_rows rows (0: all kept). chart: the path as the flow named it.
Value answer_json(const Answer& answer, std::size_t max_rows = 0);

class Memory;
struct MemoryEntry;

class Asker {
public:
    explicit Asker(std::shared_ptr<const flow::SQLGraph> flow);
    ~Asker();
    Asker(Asker&&) noexcept;
    Asker& operator=(Asker&&) noexcept;

    // Gives the asker a memory of verified SQL (null: none). Before its first question.
    // A certified entry for the very question answers it; otherwise up to `examples` similar
    // entries guide the table choice and SQL generation.
    void set_memory(std::shared_ptr<Memory> memory, std::size_t examples = 3);
    const std::shared_ptr<Memory>& memory() const { return memory_; }

    // Runs the flow once. Every failure is in the answer (outcome, error_kind, error), never
    // raised; the error table says what each face makes of it. The observer sees every step
    // start and end.
    Answer ask(const Question& question, graph::Observer* observer = nullptr) const;

    const flow::SQLGraph& flow() const { return *flow_; }

private:
    flow::FollowUp follow_up(const Question& question, graph::Observer& steps) const;

    // Runs a certified entry's SQL and, for a full run, the analysis and the answer after it,
    // for the question as it stands alone (a follow-up as the follow-up step made it).
    bool answer_from_memory(const Question& q, const std::string& standalone,
                            const MemoryEntry& entry, Answer& a, graph::Observer* steps) const;

    std::shared_ptr<const flow::SQLGraph> flow_;
    std::unique_ptr<flow::FollowUpRewriter> follow_up_;
    std::shared_ptr<Memory> memory_;
    std::size_t memory_examples_ = 3;
    std::shared_ptr<const graph::CompiledGraph> reuse_graph_; // from the execution step on
};

// What a step does, for people ("Writing the SQL"); the name itself for a step it does not know.
std::string step_label(std::string_view node);

} // namespace zolviai::agent
