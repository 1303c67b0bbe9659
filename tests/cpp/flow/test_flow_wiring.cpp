// The flow's own wiring with scripted steps: the routes and their lengths in super-steps, with
// the real state schema, routing functions and error handlers.
#include "zolviai/core/error.hpp"
#include "zolviai/flow/routing.hpp"
#include "zolviai/flow/sql_graph.hpp"
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

// The flow's own wiring (wire_flow, as SQLGraph uses it) around scripted steps.
CompiledGraph scripted_flow(Script& script) {
    auto step = [](Value update) { return [update](Value&, const RunConfig&) { return update; }; };
    FlowNodes n;
    n.table_names_lookup = step({{"table_names_from_db", "album, artist"}});
    n.relevant_table_names = step({{"relevant_tables", {"artist"}}});
    n.relevant_schemas = step(
        {{"sql_generation_prompt_type", "generation"}, {"schemas_from_relevant_tables", "CREATE"}});
    n.sql_generation = [](Value& s, const RunConfig&) {
        return Value{
            {"generated_sql_query", {"SELECT " + std::to_string(s["generated_sql_query"].size())}}};
    };
    n.rewrite_query = step({{"rewritten_question", "rewritten"}});
    n.sql_syntax_checker = [](Value& s, const RunConfig&) {
        s["generated_sql_query"].back() = s["generated_sql_query"].back().get<std::string>() + ";";
        return Value::object();
    };
    n.sql_execution = [&script](Value&, const RunConfig&) {
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
    };
    n.pandas_generator = step({{"pandas_code", "print(1)"}});
    n.pandas_executor = [&script](Value&, const RunConfig&) {
        const bool ok = script.pandas.empty() ? true : script.pandas.front();
        if (!script.pandas.empty()) {
            script.pandas.pop_front();
        }
        return Value{{"python_execution_success", ok},
                     {ok ? "python_executed_output" : "python_error_message", ok ? "1" : "boom"}};
    };
    n.final_response_generation = step({{"final_response", "answer"}, {"image_path", ""}});
    StateGraph g(sql_state_schema());
    wire_flow(g, n);
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
    const Value out = scripted_flow(script).invoke(kInput, flow_config(), &trace);
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
    const Value out = scripted_flow(script).invoke(kInput, flow_config(), &trace);
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

TEST(FlowWiring, AFailedAnalysisIsAnsweredOnceAfterTheRetriesRunOut) {
    Script script{{true}, {false, false, false, false}};
    Trace trace;
    const Value out = scripted_flow(script).invoke(kInput, flow_config(), &trace);
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
    EXPECT_THROW(scripted_flow(script).invoke(kInput, config), GraphRecursionError);
}
