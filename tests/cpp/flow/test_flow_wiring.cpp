// The flow's wiring with scripted steps: the routes, their lengths in super-steps, and the
// fan-out after a failed analysis run, with the real state schema and routing functions.
#include "zolviai/core/error.hpp"
#include "zolviai/flow/routing.hpp"
#include "zolviai/flow/sql_state.hpp"
#include "zolviai/graph/state_graph.hpp"

#include <deque>
#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::graph;
using namespace zolviai::flow;

namespace {

struct Visit {
    std::string node;
    int step;
};

class Trace : public Observer {
public:
    void on_node_start(std::string_view node, int step) override {
        visits.push_back({std::string(node), step});
    }
    int steps() const { return visits.empty() ? 0 : visits.back().step + 1; }
    std::vector<std::string> nodes() const {
        std::vector<std::string> out;
        for (const auto& v : visits) {
            out.push_back(v.node);
        }
        return out;
    }
    std::vector<Visit> visits;
};

// Scripted outcomes: each SQL execution and each analysis run takes the next entry.
struct Script {
    std::deque<bool> sql;
    std::deque<bool> pandas;
};

CompiledGraph wire_flow(Script& script, bool plain_edge_after_analysis) {
    StateGraph g(sql_state_schema());
    auto step = [](Value update) { return [update](Value&, const RunConfig&) { return update; }; };
    g.add_node("init_node", [](Value& s, const RunConfig&) { return initialisation(s); });
    g.set_entry_point("init_node");
    g.add_node("table_names_lookup_node", step({{"table_names_from_db", "album, artist"}}));
    g.add_edge("init_node", "table_names_lookup_node");
    g.add_node("relevant_table_names_node", step({{"relevant_tables", {"artist"}}}));
    g.add_edge("table_names_lookup_node", "relevant_table_names_node");
    g.add_node("relevant_schemas_node", step({{"sql_generation_prompt_type", "generation"},
                                              {"schemas_from_relevant_tables", "CREATE TABLE"}}));
    g.add_edge("relevant_table_names_node", "relevant_schemas_node");
    g.add_node("sql_generation_node", [](Value& s, const RunConfig&) {
        return Value{
            {"generated_sql_query", {"SELECT " + std::to_string(s["generated_sql_query"].size())}}};
    });
    g.add_edge("relevant_schemas_node", "sql_generation_node");
    g.add_node("rewrite_query_node", step({{"rewritten_question", "rewritten"}}));
    g.add_edge("rewrite_query_node", "relevant_table_names_node");
    g.add_node("sql_syntax_checker_node", [](Value& s, const RunConfig&) {
        s["generated_sql_query"].back() = s["generated_sql_query"].back().get<std::string>() + ";";
        return Value::object();
    });
    g.add_edge("sql_generation_node", "sql_syntax_checker_node");
    g.add_node("sql_execution_node", [&script](Value&, const RunConfig&) {
        const bool ok = script.sql.empty() ? false : script.sql.front();
        if (!script.sql.empty()) {
            script.sql.pop_front();
        }
        if (ok) {
            return Value{{"sql_execution_result", {"[(1,)]"}},
                         {"execution_success", true},
                         {"pandas_generation_prompt_type", "generation"}};
        }
        return Value{{"sql_execution_result", {"error"}}, {"execution_success", false}};
    });
    g.add_edge("sql_syntax_checker_node", "sql_execution_node");
    g.add_node("pandas_generator_node", step({{"pandas_code", "print(1)"}}));
    g.add_node("pandas_executor_node", [&script](Value&, const RunConfig&) {
        const bool ok = script.pandas.empty() ? true : script.pandas.front();
        if (!script.pandas.empty()) {
            script.pandas.pop_front();
        }
        return Value{{"python_execution_success", ok},
                     {ok ? "python_executed_output" : "python_error_message", ok ? "1" : "boom"}};
    });
    g.add_edge("pandas_generator_node", "pandas_executor_node");
    g.add_node("final_response_generation_node",
               step({{"final_response", "answer"}, {"image_path", ""}}));
    g.add_edge("final_response_generation_node", END);
    if (plain_edge_after_analysis) {
        g.add_edge("pandas_executor_node", "final_response_generation_node");
    }
    g.add_node("pandas_error_handler_node",
               [](Value& s, const RunConfig&) { return handle_pandas_error(s); });
    g.add_conditional_edges("pandas_executor_node", pandas_execution_condition,
                            {{"final_response", "final_response_generation_node"},
                             {"pandas_execution_error", "pandas_error_handler_node"}});
    g.add_node("sql_error_handler_node",
               [](Value& s, const RunConfig&) { return handle_sql_error(s); });
    g.add_conditional_edges("sql_execution_node", sql_execution_condition,
                            {{"pandas_generation", "pandas_generator_node"},
                             {"sql_execution_error", "sql_error_handler_node"}});
    g.add_conditional_edges("sql_error_handler_node", sql_error_handler_condition,
                            {{"regenerate_sql_query", "sql_generation_node"},
                             {"terminal_failure_response", "final_response_generation_node"},
                             {"rewrite_query", "rewrite_query_node"}});
    g.add_conditional_edges("pandas_error_handler_node", pandas_error_handler_condition,
                            {{"regenerate_pandas_code", "pandas_generator_node"},
                             {"terminal_failure_response", "final_response_generation_node"}});
    return g.compile();
}

RunConfig flow_config() {
    return RunConfig::from_value({{"metadata", nullptr},
                                  {"tags", {"flow_graph"}},
                                  {"max_concurrency", 20},
                                  {"recursion_limit", 50}});
}

const Value kInput = {{"user_question", "How many artists?"}, {"save_path", "media"}};

} // namespace

TEST(FlowWiring, SuccessRouteTakesTenSuperStepsInOrder) {
    Script script{{true}, {true}};
    Trace trace;
    const Value out = wire_flow(script, true).invoke(kInput, flow_config(), &trace);
    EXPECT_EQ(trace.nodes(),
              (std::vector<std::string>{"init_node", "table_names_lookup_node",
                                        "relevant_table_names_node", "relevant_schemas_node",
                                        "sql_generation_node", "sql_syntax_checker_node",
                                        "sql_execution_node", "pandas_generator_node",
                                        "pandas_executor_node", "final_response_generation_node"}));
    EXPECT_EQ(trace.steps(), 10);
    EXPECT_EQ(out["generated_sql_query"], Value({"SELECT 0;"})) << "checked in place";
    EXPECT_EQ(out["sql_execution_result"], Value({"[(1,)]"}));
    EXPECT_EQ(out["final_response"], "answer");
    EXPECT_EQ(out["pandas_code"], "print(1)");
}

TEST(FlowWiring, LongestSqlFailureRouteTakesThirtyTwoSuperSteps) {
    Script script{{false, false, false, false, false, false}, {}};
    Trace trace;
    const Value out = wire_flow(script, true).invoke(kInput, flow_config(), &trace);
    EXPECT_EQ(trace.steps(), 32);
    const auto nodes = trace.nodes();
    EXPECT_EQ(std::count(nodes.begin(), nodes.end(), "rewrite_query_node"), 1);
    EXPECT_EQ(std::count(nodes.begin(), nodes.end(), "sql_generation_node"), 6);
    EXPECT_EQ(std::count(nodes.begin(), nodes.end(), "sql_error_handler_node"), 6);
    const auto rewrite = std::find(nodes.begin(), nodes.end(), "rewrite_query_node");
    EXPECT_EQ(*(rewrite + 1), "relevant_table_names_node");
    EXPECT_EQ(nodes.back(), "final_response_generation_node");
    EXPECT_EQ(out["iteration_count"], 5);
    EXPECT_EQ(out["rewrite_count"], 1);
    EXPECT_EQ(out["generated_sql_query"].size(), 6u);
    EXPECT_EQ(out["sql_execution_result"].size(), 6u);
    EXPECT_EQ(out["rewritten_question"], "rewritten");
    EXPECT_FALSE(out.contains("pandas_code")) << "the SQL failure route never writes it";
}

TEST(FlowWiring, FailedAnalysisFansOutToTheAnswerAndTheHandlerInOneStep) {
    Script script{{true}, {false, true}};
    Trace trace;
    const Value out = wire_flow(script, true).invoke(kInput, flow_config(), &trace);
    std::vector<std::string> step9;
    for (const auto& v : trace.visits) {
        if (v.step == 9) {
            step9.push_back(v.node);
        }
    }
    std::sort(step9.begin(), step9.end()); // they run side by side
    EXPECT_EQ(step9, (std::vector<std::string>{"final_response_generation_node",
                                               "pandas_error_handler_node"}));
    EXPECT_EQ(out["iteration_count_pandas"], 1);
    EXPECT_EQ(out["python_execution_success"], true);
}

TEST(FlowWiring, WithoutThePlainEdgeTheAnswerComesOnceAfterRetriesRunOut) {
    Script script{{true}, {false, false, false, false}};
    Trace trace;
    const Value out = wire_flow(script, false).invoke(kInput, flow_config(), &trace);
    const auto nodes = trace.nodes();
    EXPECT_EQ(std::count(nodes.begin(), nodes.end(), "final_response_generation_node"), 1);
    EXPECT_EQ(std::count(nodes.begin(), nodes.end(), "pandas_executor_node"), 3);
    EXPECT_EQ(out["iteration_count_pandas"], 3);
    EXPECT_EQ(nodes.back(), "final_response_generation_node");
}

TEST(FlowWiring, AFlowThatKeepsLoopingStopsAtTheRecursionLimit) {
    Script script{{true}, {false, false, false, false}};
    RunConfig config = flow_config();
    config.recursion_limit = 12;
    EXPECT_THROW(wire_flow(script, false).invoke(kInput, config), GraphRecursionError);
}
