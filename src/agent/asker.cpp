#include "zolviai/agent/asker.hpp"

#include "zolviai/agent/error_table.hpp"
#include "zolviai/agent/memory.hpp"
#include "zolviai/flow/routing.hpp"
#include "zolviai/flow/sql_state.hpp"
#include "zolviai/llm/usage.hpp"
#include "zolviai/sql/cell.hpp"

#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>
#include <filesystem>
#include <mutex>
#include <spdlog/spdlog.h>
#include <typeinfo>

namespace zolviai::agent {
namespace {

using Clock = std::chrono::steady_clock;

struct StepLabel {
    std::string_view node;
    const char* label;
};
constexpr StepLabel step_labels[] = {
    {"follow_up_node", "Reading the conversation"},
    {"init_node", "Starting"},
    {"table_names_lookup_node", "Listing the tables"},
    {"relevant_table_names_node", "Choosing the tables"},
    {"relevant_schemas_node", "Reading the tables' definitions"},
    {"sql_generation_node", "Writing the SQL"},
    {"rewrite_query_node", "Rewriting the question"},
    {"sql_syntax_checker_node", "Checking the SQL"},
    {"sql_execution_node", "Running the SQL"},
    {"sql_error_handler_node", "Deciding how to go on"},
    {"pandas_generator_node", "Writing the analysis code"},
    {"pandas_executor_node", "Running the analysis"},
    {"pandas_error_handler_node", "Handling the analysis error"},
    {"final_response_generation_node", "Writing the answer"},
};

// The error's class as a reader knows it ("zolviai::OutputParsingError").
std::string error_type_name(const std::exception& e) {
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status);
    std::string out = status == 0 && name ? name : typeid(e).name();
    std::free(name);
    return out;
}

// Why the flow writes the SQL again, for people: the last attempt's outcome.
std::string retry_reason(const flow::SqlAttempt& attempt) {
    if (attempt.no_rows) {
        return "the query returned no rows";
    }
    if (attempt.error_kind == ErrorKind::StatementRefused) {
        return "the query was refused";
    }
    if (attempt.error_kind == ErrorKind::StatementTimeout) {
        return "the query took too long";
    }
    return "the query failed";
}

// Each step's start and end, kept for the answer and passed on to the caller's observer.
// Nodes of one super-step may report from several threads.
class StepRecorder : public graph::Observer {
public:
    StepRecorder(Clock::time_point start, graph::Observer* next, const flow::RunRecord* record)
        : start_(start), next_(next), record_(record) {}

    void on_node_start(std::string_view node, int step) override {
        {
            std::lock_guard lock(mutex_);
            started_.emplace_back(std::string(node), Clock::now() - start_);
        }
        if (next_) {
            next_->on_node_start(node, step);
        }
    }
    void on_node_end(std::string_view node, int step, std::chrono::nanoseconds elapsed,
                     bool failed) override {
        {
            std::lock_guard lock(mutex_);
            Step s;
            s.name = std::string(node);
            s.label = label_for(node);
            s.duration = elapsed;
            s.failed = failed;
            s.start = Clock::now() - start_ - elapsed;
            for (auto it = started_.begin(); it != started_.end(); ++it) {
                if (it->first == node) {
                    s.start = it->second;
                    started_.erase(it);
                    break;
                }
            }
            steps_.push_back(std::move(s));
        }
        if (next_) {
            next_->on_node_end(node, step, elapsed, failed);
        }
    }

    std::vector<Step> take() {
        std::lock_guard lock(mutex_);
        return std::move(steps_);
    }

private:
    // The label, with the reason when the SQL is written again: the execution that made the
    // flow retry finished in an earlier super-step, so its attempt is in the record.
    std::string label_for(std::string_view node) {
        if (node == "rewrite_query_node") {
            rewritten_ = true;
        }
        if (node != "sql_generation_node") {
            return step_label(node);
        }
        ++sql_writes_;
        if (rewritten_) {
            return "Writing the SQL for the reworded question";
        }
        if (sql_writes_ == 1 || record_ == nullptr || record_->attempts.empty()) {
            return step_label(node);
        }
        return "Writing the SQL again: " + retry_reason(record_->attempts.back()) +
               " \u2014 trying again, " + std::to_string(sql_writes_) + " of " +
               std::to_string(1 + flow::kMaxSqlCorrections);
    }

    Clock::time_point start_;
    graph::Observer* next_;
    const flow::RunRecord* record_;
    int sql_writes_ = 0;
    bool rewritten_ = false;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::chrono::nanoseconds>> started_;
    std::vector<Step> steps_;
};

// Fills the answer from the flow's final state and the run's record.
void read_run(Answer& a, const Question& q, const Value& state, flow::RunRecord& record) {
    flow::FinalState f = flow::read_final_state(state);
    a.understood = f.rewritten_question.empty() ? a.understood_as : f.rewritten_question;
    if (q.mode == RunMode::Full) {
        a.text = std::move(f.final_response);
    }
    a.queries = std::move(f.queries);
    if (!a.queries.empty()) {
        a.sql = a.queries.back();
    }
    a.corrections = f.corrections;
    a.rewritten = f.rewritten;
    a.analysis.code = std::move(f.pandas_code);
    a.analysis.output = std::move(f.python_output);
    if (!f.python_success) {
        a.analysis.error = std::move(f.python_error);
    }
    a.analysis.chart = std::move(f.image_path);
    a.analysis.files = std::move(record.analysis_files);
    a.value_hints = std::move(record.value_hints);
    if (f.execution_success && record.last_result) {
        a.attempts = std::move(record.attempts);
        a.result = std::move(record.last_result);
        if (q.max_rows > 0 && a.result->rows.size() > q.max_rows) {
            a.result->rows.resize(q.max_rows);
        }
        a.truncated = static_cast<std::int64_t>(a.result->rows.size()) < a.result->total_rows;
        a.outcome = "answered";
        return;
    }
    // The query ran cleanly and found nothing: an answer, not a failure.
    if (!f.execution_success) {
        if (const flow::SqlAttempt* empty = record.found_nothing(); empty != nullptr) {
            a.sql = empty->sql;
            a.result = std::move(record.last_result);
            a.result->rows.clear();
            a.outcome = "no_rows";
            a.attempts = std::move(record.attempts);
            return;
        }
    }
    // The correction loop gave up: the last attempt says why.
    a.outcome = "sql_failed";
    a.attempts = std::move(record.attempts);
    if (a.attempts.empty()) {
        a.error = "no SQL query was run";
        return;
    }
    const flow::SqlAttempt& last = a.attempts.back();
    a.error = last.error;
    if (last.error_kind && *last.error_kind != ErrorKind::Internal) {
        a.error_kind = last.error_kind;
    }
}

} // namespace

std::string step_label(std::string_view node) {
    for (const auto& l : step_labels) {
        if (l.node == node) {
            return l.label;
        }
    }
    return std::string(node);
}

Asker::Asker(std::shared_ptr<const flow::SQLGraph> flow) : flow_(std::move(flow)) {
    if (!flow_) {
        throw TypeError("the question engine needs a flow");
    }
    // The follow-up step is served by the model of every role but SQL generation.
    if (flow_->relevant_tables_model) {
        follow_up_ = std::make_unique<flow::FollowUpRewriter>(flow_->relevant_tables_model);
    }
}

Asker::~Asker() = default;
Asker::Asker(Asker&&) noexcept = default;
Asker& Asker::operator=(Asker&&) noexcept = default;

flow::FollowUp Asker::follow_up(const Question& q, graph::Observer& steps) const {
    if (!follow_up_) {
        throw TypeError("the flow has no model for follow-up questions");
    }
    const auto start = Clock::now();
    steps.on_node_start("follow_up_node", 0);
    try {
        flow::FollowUp f = follow_up_->invoke(q.earlier_turns, q.text);
        steps.on_node_end("follow_up_node", 0, Clock::now() - start, false);
        return f;
    } catch (...) {
        steps.on_node_end("follow_up_node", 0, Clock::now() - start, true);
        throw;
    }
}

void Asker::set_memory(std::shared_ptr<Memory> memory, std::size_t examples) {
    memory_ = std::move(memory);
    memory_examples_ = examples;
    reuse_graph_.reset();
    if (!memory_) {
        return;
    }
    // The flow from its execution step on, for a certified statement: no table choice, no
    // SQL written, no review. A statement that fails ends the run (the caller falls back on
    // the whole flow).
    using graph::END;
    const flow::SQLGraph& f = *flow_;
    graph::StateGraph g(flow::sql_state_schema());
    auto execution = std::make_shared<flow::SQLExecution>(f.db);
    g.add_node("sql_execution_node", [execution](Value& s, const graph::RunConfig& c) {
        return execution->invoke(s, dynamic_cast<flow::RunRecord*>(c.context));
    });
    g.set_entry_point("sql_execution_node");
    auto generator = std::make_shared<flow::PandasGenerator>(f.pandas_code_model);
    g.add_node("pandas_generator_node",
               [generator](Value& s, const graph::RunConfig&) { return generator->invoke(s); });
    auto executor = f.pandas_executor;
    g.add_node("pandas_executor_node", [executor](Value& s, const graph::RunConfig& c) {
        return executor->invoke(s, dynamic_cast<flow::RunRecord*>(c.context));
    });
    g.add_edge("pandas_generator_node", "pandas_executor_node");
    auto response = std::make_shared<flow::GenerateResponse>(f.response_model);
    g.add_node("final_response_generation_node",
               [response](Value& s, const graph::RunConfig&) { return response->invoke(s); });
    g.add_edge("final_response_generation_node", END);
    g.add_node("pandas_error_handler_node",
               [](Value& s, const graph::RunConfig&) { return flow::handle_pandas_error(s); });
    g.add_conditional_edges(
        "sql_execution_node", flow::sql_execution_condition,
        {{"pandas_generation", "pandas_generator_node"}, {"sql_execution_error", END}});
    g.add_conditional_edges("pandas_executor_node", flow::pandas_execution_condition,
                            {{"final_response", "final_response_generation_node"},
                             {"pandas_execution_error", "pandas_error_handler_node"}});
    g.add_conditional_edges("pandas_error_handler_node", flow::pandas_error_handler_condition,
                            {{"regenerate_pandas_code", "pandas_generator_node"},
                             {"terminal_failure_response", "final_response_generation_node"}});
    reuse_graph_ = std::make_shared<const graph::CompiledGraph>(g.compile());
}

bool Asker::answer_from_memory(const Question& q, const std::string& standalone,
                               const MemoryEntry& entry, Answer& a, graph::Observer* steps) const {
    flow_->db->check_generated_sql_allowed();
    Value inputs = flow::initialisation(Value{{"user_question", standalone}});
    inputs["generated_sql_query"] = Value::array({entry.sql});
    if (!q.media_dir.empty()) {
        inputs["save_path"] = q.media_dir;
    }
    graph::RunConfig config = graph::RunConfig::from_value(flow_->runnable_config);
    flow::RunRecord record;
    config.context = &record;
    if (q.mode == RunMode::SqlOnly) {
        config.interrupt_before = {"pandas_generator_node", "final_response_generation_node"};
    } else {
        flow_->analysis_runner->prepare();
    }
    Value state = reuse_graph_->invoke(inputs, config, steps);
    if (record.attempts.empty() || !record.attempts.back().success) {
        // The certified statement did not give rows now: the whole flow answers instead.
        const std::string why = record.attempts.empty() ? "" : record.attempts.back().error;
        spdlog::info("memory entry {} did not answer as it is ({}); asking the flow", entry.id,
                     why);
        return false;
    }
    a.state = std::move(state);
    read_run(a, q, a.state, record);
    a.from_memory =
        MemoryUse{entry.id, entry.question, entry.source, entry.certified_by, entry.created_at};
    try {
        memory_->record_use(entry.id);
    } catch (const Error& e) {
        spdlog::warn("the use of memory entry {} could not be counted: {}", entry.id, e.what());
    }
    return true;
}

Answer Asker::ask(const Question& q, graph::Observer* observer) const {
    const auto start = Clock::now();
    Answer a;
    a.question = q.text;
    a.understood_as = q.text;
    a.understood = q.text;
    flow::RunRecord record;
    StepRecorder steps(start, observer, &record);
    record.given_value_hints = q.value_hints;
    llm::UsageScope usage;
    try {
        if (q.deadline && start >= *q.deadline) {
            throw TimeoutError("the question waited past its deadline");
        }
        Value inputs = {{"user_question", q.text}};
        if (!q.earlier_turns.empty()) {
            const flow::FollowUp f = follow_up(q, steps);
            a.understood_as = f.standalone_question;
            a.understood = f.standalone_question;
            a.depends_on_earlier = f.depends_on_earlier;
            inputs["user_question"] = f.standalone_question;
            if (f.depends_on_earlier && !q.earlier_turns.back().sql.empty()) {
                inputs["earlier_sql"] = q.earlier_turns.back().sql;
            }
        }
        if (!q.media_dir.empty()) {
            inputs["save_path"] = q.media_dir;
        }
        if (q.mode == RunMode::SqlOnly) {
            inputs["sql_only"] = true;
        }
        // A follow-up is the question it stands for: "and in 2024?" certified in one
        // conversation must not answer the same words in another.
        const std::string standalone = inputs["user_question"].get<std::string>();
        std::optional<MemoryMatch> match;
        if (memory_ && q.use_memory) {
            try {
                match = memory_->lookup(*flow_->db, standalone, memory_examples_);
            } catch (const state::StateError& e) {
                // The memory guides; a state database out of reach does not stop an answer.
                spdlog::warn("the memory of verified SQL is not available: {}", e.what());
            }
        }
        if (match && match->exact && answer_from_memory(q, standalone, *match->exact, a, &steps)) {
            a.steps = steps.take();
            a.usage = {usage.successful_requests, usage.prompt_tokens, usage.completion_tokens,
                       usage.total_tokens, usage.total_cost};
            return a;
        }
        if (match) {
            for (const auto& e : match->examples) {
                record.examples.push_back({e.question, e.sql, {}});
                for (const auto& [table, signature] : e.tables) {
                    record.examples.back().tables.push_back(table);
                }
                a.memory_examples.push_back(e.id);
            }
        }
        a.state = flow_->invoke(inputs, &steps, &record);
        read_run(a, q, a.state, record);
    } catch (const std::exception& e) {
        a.error_kind = error_kind(e);
        a.error = e.what();
        a.error_type = error_type_name(e);
        a.outcome = error_face(*a.error_kind).outcome;
        a.attempts = std::move(record.attempts);
        a.value_hints = std::move(record.value_hints);
    }
    a.steps = steps.take();
    a.usage = {usage.successful_requests, usage.prompt_tokens, usage.completion_tokens,
               usage.total_tokens, usage.total_cost};
    return a;
}

Value answer_json(const Answer& a, std::size_t max_rows) {
    Value columns = Value::array();
    Value types = Value::array();
    Value rows = Value::array();
    std::int64_t row_count = 0;
    if (a.result) {
        for (const auto& c : a.result->columns) {
            columns.push_back(c.name);
            types.push_back(c.type_name);
        }
        const std::size_t n =
            max_rows > 0 ? std::min(max_rows, a.result->rows.size()) : a.result->rows.size();
        for (std::size_t i = 0; i < n; ++i) {
            Value line = Value::array();
            for (const auto& cell : a.result->rows[i]) {
                line.push_back(sql::cell_json(cell));
            }
            rows.push_back(std::move(line));
        }
        row_count = std::max<std::int64_t>(a.result->total_rows,
                                           static_cast<std::int64_t>(a.result->rows.size()));
    }
    Value attempts = Value::array();
    for (const auto& t : a.attempts) {
        Value item = {{"sql", t.sql},
                      {"success", t.success},
                      {"row_count", t.row_count},
                      {"ms", std::chrono::duration<double, std::milli>(t.elapsed).count()}};
        item["error"] = t.success ? Value(nullptr) : Value(t.error);
        item["error_kind"] = t.error_kind && *t.error_kind != ErrorKind::Internal
                                 ? Value(error_kind_name(*t.error_kind))
                                 : Value(nullptr);
        attempts.push_back(std::move(item));
    }
    Value steps = Value::array();
    for (const auto& s : a.steps) {
        steps.push_back({{"name", s.name},
                         {"label", s.label},
                         {"start_ms", std::chrono::duration<double, std::milli>(s.start).count()},
                         {"ms", std::chrono::duration<double, std::milli>(s.duration).count()},
                         {"failed", s.failed}});
    }
    Value out = {{"question", a.question},
                 {"understood_as", a.understood_as},
                 {"depends_on_earlier", a.depends_on_earlier},
                 {"understood", a.understood}};
    out["outcome"] = a.outcome;
    out["answer"] = a.text.empty() ? Value(nullptr) : Value(a.text);
    out["sql"] = a.sql ? Value(*a.sql) : Value(nullptr);
    out["queries"] = a.queries;
    out["columns"] = std::move(columns);
    out["column_types"] = std::move(types);
    out["rows"] = std::move(rows);
    out["row_count"] = row_count;
    out["truncated"] = a.truncated || static_cast<std::int64_t>(out["rows"].size()) < row_count;
    out["chart"] = a.analysis.chart.empty() ? Value(nullptr) : Value(a.analysis.chart);
    out["code"] = a.analysis.code.empty() ? Value(nullptr) : Value(a.analysis.code);
    out["attempts"] = std::move(attempts);
    out["usage"] = {{"model_calls", a.usage.calls},
                    {"prompt_tokens", a.usage.prompt_tokens},
                    {"completion_tokens", a.usage.completion_tokens},
                    {"cost", a.usage.cost}};
    out["steps"] = std::move(steps);
    Value hints = Value::array();
    for (const auto& h : a.value_hints) {
        hints.push_back({{"table", h.table},
                         {"column", h.column},
                         {"value", h.value},
                         {"rows", h.count},
                         {"score", h.score},
                         {"phrase", h.phrase}});
    }
    out["value_hints"] = std::move(hints);
    if (a.from_memory) {
        out["from_memory"] = {{"id", a.from_memory->id},
                              {"question", a.from_memory->question},
                              {"source", a.from_memory->source},
                              {"certified_by", a.from_memory->certified_by},
                              {"certified_at", a.from_memory->certified_at}};
    } else {
        out["from_memory"] = nullptr;
    }
    out["memory_examples"] = a.memory_examples;
    out["error"] = a.error.empty()
                       ? Value(nullptr)
                       : Value({{"kind", a.error_kind ? error_kind_name(*a.error_kind) : "none"},
                                {"message", a.error}});
    return out;
}

} // namespace zolviai::agent
