// zolvi eval QUESTIONS: execution accuracy, cost and latency of the flow on a question set.
#include "commands.hpp"
#include "flow_lines.hpp"
#include "output.hpp"
#include "zolviai/agent/environment.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/eval/harness.hpp"
#include "zolviai/eval/memory_eval.hpp"
#include "zolviai/eval/report.hpp"
#include "zolviai/pyexec/analysis_runner.hpp"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace zolviai::cli {
namespace {

struct EvalCommandOptions {
    DatabaseOption db;
    std::string questions;
    std::string db_root;
    std::string format = "auto";
    int jobs = 4;
    std::string out = "eval-results";
    bool sql_only = false;
    std::size_t limit = 0;
    bool resume = false;
    std::string compare = "set";
    double timeout = 30;
    std::string analysis = "auto";
    bool verbose = false;
    std::string memory;            // --memory FILE
    std::size_t folds = 0;         // --folds K
    bool paraphrase_twins = false; // --paraphrase-twins
};

std::string duration(double s) {
    char buf[32];
    if (s < 60) {
        std::snprintf(buf, sizeof buf, "%.0fs", s);
    } else if (s < 3600) {
        std::snprintf(buf, sizeof buf, "%dm%02ds", static_cast<int>(s) / 60,
                      static_cast<int>(s) % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%dh%02dm", static_cast<int>(s) / 3600,
                      static_cast<int>(s) % 3600 / 60);
    }
    return buf;
}

// One line on standard error, redrawn in place after each question; nothing when standard
// error is not a terminal (a log file wants no carriage returns).
class ProgressBar {
public:
    ProgressBar() : terminal_(stderr_is_terminal()) {}

    void update(const eval::ProgressInfo& p) {
        if (!terminal_ || p.total == 0) {
            return;
        }
        constexpr int width = 24;
        const int filled = static_cast<int>(width * p.done / p.total);
        std::string bar =
            "\r[" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
        char line[160];
        const double eta = p.done ? p.elapsed_s / p.done * (p.total - p.done) : 0;
        std::snprintf(line, sizeof line, "%zu/%zu  accuracy %s  ETA %s  $%.4f   ", p.done, p.total,
                      p.scored ? (std::to_string(100 * p.correct / p.scored) + "%").c_str() : "-",
                      p.done ? duration(eta).c_str() : "?", p.cost);
        std::lock_guard lock(mutex_);
        err(bar + line);
        drawn_ = true;
    }
    void note(const std::string& text) {
        std::lock_guard lock(mutex_);
        err((drawn_ ? "\n" : "") + text + "\n");
        drawn_ = false;
    }
    void end() {
        std::lock_guard lock(mutex_);
        if (drawn_) {
            err("\n");
        }
        drawn_ = false;
    }

private:
    bool terminal_;
    bool drawn_ = false;
    std::mutex mutex_;
};

std::atomic<int> interrupts{0};

extern "C" void on_interrupt(int) {
    interrupts.fetch_add(1);
}

void evaluate(const EvalCommandOptions& o) {
    log_to_stderr(o.verbose);

    eval::EvalOptions options;
    options.db_root = o.db_root;
    options.jobs = o.jobs;
    options.out_dir = o.out;
    options.sql_only = o.sql_only;
    options.limit = o.limit;
    options.resume = o.resume;
    options.compare = eval::parse_compare_mode(o.compare);
    options.media_dir = o.out + "/media";
    options.database = o.db.options();
    options.database.statement_timeout_ms = static_cast<int>(o.timeout * 1000);
    const eval::QuestionFormat format = eval::parse_question_format(o.format);
    auto questions = eval::load_questions(o.questions, format);
    options.questions_file = o.questions;

    // The analysis runs only in full runs; there, a sandbox that cannot start fails at once.
    pyexec::AnalysisRunnerPtr runner;
    if (!o.sql_only) {
        runner = pyexec::make_analysis_runner(pyexec::parse_analysis_mode(o.analysis));
    }
    analysis_runner_given();
    // The flow's own printed lines (prompts, diagnostics) are no part of an evaluation's
    // output: held back, or with --verbose sent to standard error.
    SinkScope lines(std::make_shared<FlowLines>(o.verbose));

    // Questions that name no database: --db, ZOLVI_DB_URI or the bundled sample.
    if (!o.db.uri.empty()) {
        options.default_db_uri = o.db.uri;
    } else {
        bool any_default = false;
        for (const auto& q : questions) {
            any_default = any_default || q.db.empty();
        }
        if (any_default) {
            options.default_db = o.db.open(options.database);
        }
    }
    if (!agent::model_configured()) {
        agent::build_flow_from_environment(nullptr); // throws the ConfigError naming the settings
    }
    eval::FlowFactory factory = [runner](std::shared_ptr<sql::CustomSQLDatabase> db) {
        std::shared_ptr<flow::SQLGraph> flow = agent::build_flow_from_environment(std::move(db));
        if (runner) {
            flow->set_analysis_runner(runner);
        }
        return flow;
    };

    if (!o.memory.empty() || o.folds > 0) {
        // Without memory and with it, side by side.
        eval::MemoryEvalOptions m;
        m.memory_file = o.memory;
        m.folds = o.folds;
        m.paraphrase_twins = o.paraphrase_twins;
        const Value result = eval::run_memory_evaluation(std::move(questions), options, factory, m);
        out(eval::memory_report(result["comparison"]));
        err_line("zolvi: results in " + o.out +
                 " (memory_report.md, memory_summary.json, without-memory/, with-memory/)");
        return;
    }
    eval::Evaluation evaluation(std::move(questions), options, factory);
    ProgressBar bar;

    // Ctrl-C: the first lets the questions in flight finish and writes the report; a second
    // writes the report of what is finished and ends at once.
    interrupts = 0;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    struct sigaction previous {};
    sigaction(SIGINT, &action, &previous);
    std::atomic<bool> finished{false};
    std::thread watcher([&] {
        int seen = 0;
        while (!finished) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const int now = interrupts.load();
            if (now == seen) {
                continue;
            }
            seen = now;
            if (now == 1) {
                evaluation.stop();
                bar.note(
                    "zolvi: stopping after the questions in flight (Ctrl-C again to stop now)");
                continue;
            }
            const Value summary = evaluation.write_reports_now();
            bar.end();
            out_line(eval::headline(summary));
            err_line("zolvi: stopped; the report of the finished questions is in " + o.out);
            std::_Exit(130);
        }
    });
    Value result;
    try {
        result = evaluation.run([&](const Value&, const eval::ProgressInfo& p) { bar.update(p); });
    } catch (...) {
        finished = true;
        watcher.join();
        sigaction(SIGINT, &previous, nullptr);
        bar.end();
        throw;
    }
    finished = true;
    watcher.join();
    sigaction(SIGINT, &previous, nullptr);
    bar.end();
    out_line(eval::headline(result["summary"]));
    err_line("zolvi: results in " + o.out +
             " (report.html, report.md, summary.json, results.jsonl)");
    if (interrupts.load() > 0) {
        std::exit(130);
    }
}

} // namespace

void add_eval_command(CLI::App& app) {
    auto o = std::make_shared<EvalCommandOptions>();
    CLI::App* command = app.add_subcommand(
        "eval", "Measure execution accuracy, cost and latency on a question set");
    o->db.add_to(*command);
    command
        ->add_option("questions", o->questions,
                     "The question file: JSON Lines ({\"id\", \"question\", \"gold_sql\", ...}), "
                     "or a Spider or BIRD dev.json")
        ->required();
    command->add_option("--db-root", o->db_root,
                        "Folder of the databases questions name (<DIR>/<db_id>/<db_id>.sqlite)");
    command->add_option("--format", o->format, "Question file format")
        ->check(CLI::IsMember({"auto", "jsonl", "spider", "bird"}))
        ->capture_default_str();
    command->add_option("-j,--jobs", o->jobs, "Questions at once")
        ->check(CLI::Range(1, 256))
        ->capture_default_str();
    command->add_option("--out", o->out, "Folder for results.jsonl, summary.json and the reports")
        ->capture_default_str();
    command->add_flag("--sql-only", o->sql_only,
                      "Stop each run once its SQL has run: no analysis, no written answer");
    command->add_option("--limit", o->limit, "Only the first N questions");
    command->add_flag("--resume", o->resume,
                      "Keep the results already in the folder and run only the other questions");
    command->add_option("--compare", o->compare, "How results are compared")
        ->check(CLI::IsMember({"set", "multiset", "ordered"}))
        ->capture_default_str();
    command
        ->add_option("--timeout", o->timeout,
                     "Statement time-out in seconds, for the generated, final and gold queries "
                     "alike")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    command
        ->add_option("--analysis", o->analysis,
                     "Where the analysis code runs in full runs: sandbox, in-process or auto")
        ->check(CLI::IsMember({"in-process", "sandbox", "auto"}))
        ->capture_default_str();
    command->add_flag("-v,--verbose", o->verbose,
                      "Show the flow's own lines and timing log on standard error");
    command->add_option("--memory", o->memory,
                        "Also answer with a memory of verified SQL holding this file's gold "
                        "pairs, and compare with the run without memory");
    command->add_option("--folds", o->folds,
                        "Also answer in K folds, each with the other folds' gold pairs as the "
                        "memory, and compare with the run without memory");
    command->add_flag("--paraphrase-twins", o->paraphrase_twins,
                      "With --folds: spread each paraphrase group over the folds, so that a "
                      "question's twins are in memory");
    command->footer(model_help());
    command->callback([o] { evaluate(*o); });
}

} // namespace zolviai::cli
