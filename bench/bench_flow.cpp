// One question on the success route against the scripted server (answering at once) and
// the SQLite sample, split into the time spent in model calls, in the database-only steps
// and in the analysis run, and what is left: the orchestration's own cost.
#include "support/chat_server.hpp"
#include "zolviai/agent/asker.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/flow/sql_graph.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/sql/script.hpp"

#include <atomic>
#include <benchmark/benchmark.h>
#include <filesystem>
#include <spdlog/spdlog.h>

using namespace zolviai;
using Clock = std::chrono::steady_clock;

namespace {

// Delegates to the real client and adds up the time spent inside it.
class TimedModel : public llm::ChatModel {
public:
    explicit TimedModel(std::shared_ptr<llm::ChatModel> inner) : inner_(std::move(inner)) {}
    llm::ChatResult invoke(const std::vector<llm::Message>& messages,
                           const llm::CallOptions& options) const override {
        const auto start = Clock::now();
        auto result = inner_->invoke(messages, options);
        nanos += (Clock::now() - start).count();
        return result;
    }
    using llm::ChatModel::invoke;
    mutable std::atomic<long long> nanos{0};

private:
    std::shared_ptr<llm::ChatModel> inner_;
};

class NodeTimes : public graph::Observer {
public:
    void on_node_end(std::string_view node, int, std::chrono::nanoseconds elapsed, bool) override {
        if (node == "table_names_lookup_node" || node == "relevant_schemas_node" ||
            node == "sql_execution_node") {
            database += elapsed.count();
        } else if (node == "pandas_executor_node") {
            python += elapsed.count();
        }
    }
    long long database = 0, python = 0;
};

class Quiet : public ConsoleSink {
    void write_out(std::string_view) override {}
    void write_err(std::string_view) override {}
};

// through_engine: the question as every face asks it (agent::Asker, which also keeps the
// typed rows, the attempts and the steps); else SQLGraph::invoke alone.
void question_on_the_success_route(benchmark::State& state, bool through_engine) {
    testing::ScriptedChatServer server;
    server.rules(Value::array(
        {{{"match", {{"body_contains", "RelevantTablesOutput"}}},
          {"answer", {{"tool_arguments", {{"relevant_tables", {"artist", "album"}}}}}}},
         {{"match", {{"body_contains", "SQLQueryInput"}}},
          {"answer",
           {{"tool_arguments", {{"sql_query", "SELECT name FROM artist ORDER BY name"}}}}}},
         {{"match", {{"body_contains", "PythonCodeInput"}}},
          {"answer", {{"tool_arguments", {{"code", "print(8)"}}}}}},
         {{"match", {{"body_contains", "GenerationOutput"}}},
          {"answer", {{"tool_arguments", {{"final_response", "Eight."}}}}}},
         {{"match", Value::object()},
          {"answer", {{"content", "SELECT name FROM artist ORDER BY name"}}}}}));
    const auto dir = std::filesystem::temp_directory_path() / "zolviai-bench-flow";
    std::filesystem::create_directories(dir);
    const std::string db_path = (dir / "sample.db").string();
    sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql", db_path);
    llm::ChatOpenAI::Options o;
    o.openai_api_key = "k";
    o.base_url = server.url();
    auto model = std::make_shared<TimedModel>(std::make_shared<llm::ChatOpenAI>(o));
    auto graph = std::make_shared<flow::SQLGraph>(
        sql::CustomSQLDatabase::from_uri("sqlite:///" + db_path), model, model);
    const agent::Asker asker(graph);
    agent::Question question;
    question.text = "How many artists?";
    question.media_dir = dir.string();
    set_console_sink(std::make_shared<Quiet>());
    spdlog::set_level(spdlog::level::warn);
    const Value input = {{"user_question", "How many artists?"}, {"save_path", dir.string()}};
    graph->invoke(input); // the first run starts the interpreter
    model->nanos = 0;
    long long total = 0, database = 0, python = 0;
    for (auto _ : state) {
        NodeTimes times;
        const auto start = Clock::now();
        if (through_engine) {
            agent::Answer answer = asker.ask(question, &times);
            total += (Clock::now() - start).count();
            benchmark::DoNotOptimize(answer);
        } else {
            Value out = graph->invoke(input, &times);
            total += (Clock::now() - start).count();
            benchmark::DoNotOptimize(out);
        }
        database += times.database;
        python += times.python;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["total_ms"] = total / n / 1e6;
    state.counters["model_ms"] = model->nanos / n / 1e6;
    state.counters["database_ms"] = database / n / 1e6;
    state.counters["python_ms"] = python / n / 1e6;
    state.counters["orchestration_ms"] = (total - model->nanos - database - python) / n / 1e6;
    set_console_sink(nullptr);
    std::filesystem::remove_all(dir);
}
void BM_QuestionOnTheSuccessRoute(benchmark::State& state) {
    question_on_the_success_route(state, false);
}
void BM_QuestionThroughTheEngine(benchmark::State& state) {
    question_on_the_success_route(state, true);
}
BENCHMARK(BM_QuestionOnTheSuccessRoute)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_QuestionThroughTheEngine)->Unit(benchmark::kMillisecond)->MinTime(3.0);

} // namespace

BENCHMARK_MAIN();
