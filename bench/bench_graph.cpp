// One ten-node run of a flow-shaped graph with trivial nodes: state merging, routing and an
// observer, everything the engine adds around the steps; and rendering every prompt.
#include "zolviai/flow/routing.hpp"
#include "zolviai/flow/sql_state.hpp"
#include "zolviai/graph/state_graph.hpp"
#include "zolviai/prompts/answer_prompt.hpp"
#include "zolviai/prompts/brace_template.hpp"
#include "zolviai/prompts/flow_graph_prompts.hpp"
#include "zolviai/prompts/jinja_template.hpp"

#include <benchmark/benchmark.h>

using namespace zolviai;
using namespace zolviai::graph;

namespace {

class CountingObserver : public Observer {
public:
    void on_node_start(std::string_view, int) override { ++starts; }
    void on_node_end(std::string_view, int, std::chrono::nanoseconds, bool) override { ++ends; }
    long starts = 0, ends = 0;
};

CompiledGraph ten_node_flow() {
    StateGraph g(flow::sql_state_schema());
    auto step = [](Value update) { return [update](Value&, const RunConfig&) { return update; }; };
    const std::vector<std::pair<std::string, Value>> chain = {
        {"table_names_lookup_node", {{"table_names_from_db", "album, artist, track"}}},
        {"relevant_table_names_node", {{"relevant_tables", {"artist", "album"}}}},
        {"relevant_schemas_node",
         {{"sql_generation_prompt_type", "generation"}, {"schemas_from_relevant_tables", "..."}}},
        {"sql_generation_node", {{"generated_sql_query", {"SELECT 1"}}}},
        {"sql_syntax_checker_node", Value::object()},
        {"sql_execution_node",
         {{"sql_execution_result", {"[(1,)]"}},
          {"execution_success", true},
          {"pandas_generation_prompt_type", "generation"}}},
        {"pandas_generator_node", {{"pandas_code", "print(1)"}}},
        {"pandas_executor_node",
         {{"python_execution_success", true}, {"python_executed_output", "1\n"}}},
        {"final_response_generation_node", {{"final_response", "answer"}, {"image_path", ""}}},
    };
    g.add_node("init_node", [](Value& s, const RunConfig&) { return flow::initialisation(s); });
    g.set_entry_point("init_node");
    std::string previous = "init_node";
    for (const auto& [name, update] : chain) {
        g.add_node(name, step(update));
        if (name != "pandas_generator_node" && name != "final_response_generation_node") {
            g.add_edge(previous, name);
        }
        previous = name;
    }
    g.add_node("sql_error_handler_node",
               [](Value& s, const RunConfig&) { return flow::handle_sql_error(s); });
    g.add_conditional_edges("sql_execution_node", flow::sql_execution_condition,
                            {{"pandas_generation", "pandas_generator_node"},
                             {"sql_execution_error", "sql_error_handler_node"}});
    g.add_conditional_edges(
        "pandas_executor_node", flow::pandas_execution_condition,
        {{"final_response", "final_response_generation_node"}, {"pandas_execution_error", END}});
    g.add_edge("sql_error_handler_node", END);
    g.add_edge("final_response_generation_node", END);
    return g.compile();
}

void BM_TenNodeRun(benchmark::State& state) {
    const CompiledGraph graph = ten_node_flow();
    const Value input = {{"user_question", "How many artists are there?"}, {"save_path", "media"}};
    RunConfig config;
    config.recursion_limit = 50;
    config.max_concurrency = 20;
    config.tags = {"flow_graph"};
    CountingObserver observer;
    for (auto _ : state) {
        Value out = graph.invoke(input, config, &observer);
        benchmark::DoNotOptimize(out);
    }
    if (observer.starts != 10 * static_cast<long>(state.iterations())) {
        state.SkipWithError("the run did not visit ten nodes");
    }
}
BENCHMARK(BM_TenNodeRun)->Unit(benchmark::kMicrosecond);

Value pairs(int n) {
    Value out = Value::array();
    for (int i = 0; i < n; ++i) {
        out.push_back({"SELECT name FROM artist LIMIT 20", "[('AC/DC',), ('Accept',)]"});
    }
    return out;
}

void BM_RenderBracePrompts(benchmark::State& state) {
    const Value vars = {{"dialect", "postgresql"},
                        {"user_question", "Which artist has the most albums?"},
                        {"table_names_from_db", "album, artist, track"},
                        {"schemas_from_all_tables", std::string(4000, 'x')},
                        {"schemas_from_relevant_tables", std::string(2000, 'x')}};
    const std::vector<prompts::BraceTemplate> templates = {
        prompts::BraceTemplate(prompts::SQL_PREFIX),
        prompts::BraceTemplate(prompts::GET_RELEVANT_TABLE_NAMES_TEMPLATE),
        prompts::BraceTemplate(prompts::REWRITE_QUESTION_TEMPLATE),
        prompts::BraceTemplate(prompts::GENERATE_SQL_TEMPLATE),
        prompts::BraceTemplate(prompts::SQL_GENERATION_SYSTEM_TEXT),
        prompts::BraceTemplate(prompts::SQL_GENERATION_USER_TEXT)};
    for (auto _ : state) {
        for (const auto& t : templates) {
            std::string text = t.render(vars);
            benchmark::DoNotOptimize(text);
        }
    }
}
BENCHMARK(BM_RenderBracePrompts)->Unit(benchmark::kMicrosecond);

void BM_RenderJinjaPrompts(benchmark::State& state) {
    const Value vars = {{"user_question", "Which artist has the most albums?"},
                        {"original_question", "Which artist has the most albums?"},
                        {"schemas_from_relevant_tables", std::string(2000, 'x')},
                        {"save_path", "media"},
                        {"zipped_queries_errors", pairs(5)},
                        {"zipped_queries_results", pairs(1)}};
    const std::vector<prompts::JinjaTemplate> templates = [] {
        std::vector<prompts::JinjaTemplate> t;
        t.emplace_back(prompts::CORRECT_SQL_TEMPLATE);
        t.emplace_back(prompts::PANDAS_SYSTEM_TEMPLATE);
        t.emplace_back(prompts::PANDAS_HUMAN_TEMPLATE);
        return t;
    }();
    for (auto _ : state) {
        for (const auto& t : templates) {
            std::string text = t.render(vars);
            benchmark::DoNotOptimize(text);
        }
    }
}
BENCHMARK(BM_RenderJinjaPrompts)->Unit(benchmark::kMicrosecond);

void BM_ParseAndRenderCorrectionPrompt(benchmark::State& state) {
    const Value vars = {{"user_question", "q"},
                        {"schemas_from_relevant_tables", "s"},
                        {"zipped_queries_errors", pairs(5)}};
    for (auto _ : state) {
        std::string text = prompts::render_jinja(prompts::CORRECT_SQL_TEMPLATE, vars);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_ParseAndRenderCorrectionPrompt)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
