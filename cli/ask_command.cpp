// zolvi ask "question": asks the question engine and shows each step as it runs.
#include "commands.hpp"
#include "flow_lines.hpp"
#include "output.hpp"
#include "zolviai/agent/agent.hpp"
#include "zolviai/agent/api.hpp"
#include "zolviai/agent/asker.hpp"
#include "zolviai/agent/environment.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/pyexec/analysis_runner.hpp"
#include "zolviai/sql/cell.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace zolviai::cli {
namespace {

std::string env(const char* name, const std::string& fallback = "") {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

// Each step on standard error as it ends, with its time; on a terminal the running step is
// shown first and redrawn in place when it ends.
class Progress : public graph::Observer {
public:
    Progress() : terminal_(stderr_is_terminal()) {}

    void on_node_start(std::string_view node, int step) override {
        if (!terminal_) {
            return;
        }
        std::lock_guard lock(mutex_);
        err("  [" + std::to_string(step + 1) + "] " + std::string(node) + " ...\r");
    }
    void on_node_end(std::string_view node, int step, std::chrono::nanoseconds elapsed,
                     bool failed) override {
        std::lock_guard lock(mutex_);
        char time[32];
        std::snprintf(time, sizeof time, "%.2f s", std::chrono::duration<double>(elapsed).count());
        err_line("  [" + std::to_string(step + 1) + "] " + std::string(node) + "  " + time +
                 (failed ? "  failed" : ""));
    }

private:
    std::mutex mutex_;
    bool terminal_;
};

// A question that failed, of the failure's own kind: main's exit status follows it.
class QuestionFailed : public Error {
public:
    QuestionFailed(ErrorKind kind, const std::string& message) : Error(message), kind_(kind) {}
    ErrorKind kind() const override { return kind_; }

private:
    ErrorKind kind_;
};

struct AskOptions {
    DatabaseOption db;
    std::string question;
    std::string state_db;
    bool no_state = false;
    std::string media = "media";
    std::string analysis = "auto";
    bool json = false;
    bool verbose = false;
    bool sql_only = false;
};

void ask(const AskOptions& o) {
    // The flow logs its timing at information level: only with --verbose, on standard error.
    log_to_stderr(o.verbose);
    // The memory of verified SQL (none with --no-state). Opened first: a state file that is
    // not ours stops the command before any model is built.
    std::shared_ptr<agent::Memory> memory;
    if (!o.no_state) {
        memory = open_memory_store(o.state_db);
    }

    // Before anything else: a sandbox that cannot start fails the command at once. --analysis
    // decides here, not ZOLVI_ANALYSIS_SANDBOX (which the flow would read for its default).
    const auto runner = pyexec::make_analysis_runner(pyexec::parse_analysis_mode(o.analysis));
    analysis_runner_given();
    auto lines = std::make_shared<FlowLines>(o.verbose);
    SinkScope scope(lines);
    std::shared_ptr<flow::SQLGraph> flow = agent::build_flow_from_environment(o.db.open());
    flow->set_analysis_runner(runner);
    const std::string key = env("ZOLVI_API_KEY");
    if (key.empty() || env("ZOLVI_API_BASE_URL").empty()) {
        agent::set_usage_reporter([](auto&&...) {}); // nowhere to report to
    }
    Progress progress;
    agent::Asker asker(flow);
    if (memory) {
        asker.set_memory(memory);
    }
    agent::Question question;
    question.text = o.question;
    question.media_dir = o.media;
    question.mode = o.sql_only ? agent::RunMode::SqlOnly : agent::RunMode::Full;
    std::filesystem::create_directories(o.media);
    const agent::Answer answer = asker.ask(question, &progress);
    const bool raised = agent::print_agent_failure(answer);
    agent::report_usage(key, o.question, raised ? Value(nullptr) : Value(answer.usage.total_tokens),
                        raised ? Value(nullptr) : Value(answer.usage.cost));
    if (o.json) {
        out_line(agent::answer_json(answer).dump(2));
        if (raised) {
            throw QuestionFailed(*answer.error_kind, answer.error);
        }
        if (answer.outcome == "sql_failed") {
            throw QuestionFailed(answer.error_kind.value_or(ErrorKind::Database),
                                 "no SQL could be made to run for the question" +
                                     (answer.error.empty() ? "" : ": " + answer.error));
        }
        return;
    }
    if (raised) {
        if (!o.verbose) {
            err(lines->held());
        }
        throw QuestionFailed(*answer.error_kind,
                             "the question could not be answered (see the error above)");
    }
    if (answer.outcome == "sql_failed") {
        // The correction loop gave up: whatever the written answer says, no statement ran.
        if (!o.sql_only) {
            out_line("");
            out_line(answer.text);
        }
        if (answer.sql) {
            out_line("\nSQL tried last:\n" + *answer.sql);
        }
        throw QuestionFailed(answer.error_kind.value_or(ErrorKind::Database),
                             "no SQL could be made to run for the question" +
                                 (answer.error.empty() ? "" : ": " + answer.error));
    }
    if (!o.sql_only) {
        out_line("");
        out_line(answer.text);
    }
    if (answer.sql) {
        out_line((o.sql_only ? "SQL:\n" : "\nSQL:\n") + *answer.sql);
    } else if (o.sql_only) {
        throw Error("no SQL was generated for the question");
    }
    if (answer.result) {
        // The rows the flow's execution read, its first 20 as a table.
        sql::ResultSet shown = *answer.result;
        shown.total_rows =
            std::max<std::int64_t>(shown.total_rows, static_cast<std::int64_t>(shown.rows.size()));
        if (shown.rows.size() > 20) {
            shown.rows.resize(20);
        }
        out_line("\nResult:\n" + format_rows(shown, RowFormat::Table));
    } else if (answer.sql && !answer.attempts.empty()) {
        out_line("\nResult:\n" + answer.attempts.back().error);
    }
    if (!answer.analysis.chart.empty()) {
        out_line("\nChart: " + answer.analysis.chart);
    }
    if (answer.from_memory) {
        err_line("zolvi: " + from_memory_line(*answer.from_memory));
    }
    char cost[64];
    std::snprintf(cost, sizeof cost, "%.6f", answer.usage.cost);
    err_line("zolvi: " + std::to_string(answer.usage.calls) + " model calls, " +
             std::to_string(answer.usage.total_tokens) + " tokens, about $" + cost);
}

} // namespace

std::string from_memory_line(const agent::MemoryUse& use) {
    return "answered from memory (#" + std::to_string(use.id) + ", certified " + use.certified_at +
           (use.certified_by.empty() ? "" : " by " + use.certified_by) +
           "): its verified SQL ran as it is, none was written";
}

void add_ask_command(CLI::App& app) {
    auto o = std::make_shared<AskOptions>();
    CLI::App* command = app.add_subcommand("ask", "Answer a question about the database");
    o->db.add_to(*command);
    command->add_option("question", o->question, "The question, in plain language")
        ->required()
        ->check([](const std::string& text) {
            // Refused here, before the models are even built.
            const bool blank = text.find_first_not_of(" \t\r\n") == std::string::npos;
            return blank ? std::string("the question is empty") : std::string();
        });
    command->add_option("--media", o->media, "Directory for charts the analysis saves")
        ->capture_default_str();
    command->add_option("--state-db", o->state_db,
                        "Where the memory of verified SQL is kept: an SQLite file or "
                        "postgresql://... (default ZOLVI_STATE_DB, else zolviai/state.db in "
                        "$XDG_STATE_HOME or ~/.local/state)");
    command->add_flag("--no-state", o->no_state,
                      "Use no memory: the SQL is written for the question even when a verified "
                      "answer to it is stored");
    command
        ->add_option("--analysis", o->analysis,
                     "Where the analysis code a model writes runs: sandbox (isolated; fails "
                     "when this machine cannot isolate it), in-process (with every right of "
                     "zolvi), or auto (sandbox, else a plain child process after a warning)")
        ->check(CLI::IsMember({"in-process", "sandbox", "auto"}))
        ->capture_default_str();
    command->add_flag("--json", o->json,
                      "Print the answer as JSON, in the form POST /v1/ask answers with (the "
                      "AskRecord schema of docs/openapi.json)");
    command->add_flag("--sql-only", o->sql_only,
                      "Stop after the SQL has run: print the statement and its rows, without "
                      "the analysis and the written answer");
    command->add_flag("-v,--verbose", o->verbose,
                      "Also show the flow's own lines (prompts, diagnostics) and its timing log "
                      "on standard error");
    command->footer(model_help());
    command->callback([o] { ask(*o); });
}

} // namespace zolviai::cli
