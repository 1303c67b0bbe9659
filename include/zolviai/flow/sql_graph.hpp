#pragma once

#include "zolviai/flow/data_steps.hpp"
#include "zolviai/flow/model_steps.hpp"
#include "zolviai/flow/relevant_table_picker.hpp"
#include "zolviai/graph/state_graph.hpp"
#include "zolviai/llm/model_settings.hpp"
#include "zolviai/pyexec/analysis_runner.hpp"

#include <memory>
#include <optional>
#include <string>

namespace zolviai::flow {

// The question-answering flow for one database: five chat models, the steps around them,
// the wiring, compiled once, and any number of questions through invoke.
//
// Every constructor takes the analysis runner last: where the analysis step runs the code a
// model wrote. Null chooses by ZOLVI_ANALYSIS_SANDBOX: unset, empty or 0, in this process;
// 1 in the sandbox (SandboxUnavailable when this machine cannot isolate it); auto in the
// sandbox or, without the namespaces, a plain child process after one warning. The sandboxed
// runners this choice makes are shared by every flow of the process.
class SQLGraph {
public:
    // config_35 serves every model role but SQL generation, which config_4 serves. A settings
    // map holding max_tokens, temperature or model_kwargs is a TypeError naming the key.
    SQLGraph(DatabasePtr custom_sql_db, const llm::ModelSettings& config_35,
             const llm::ModelSettings& config_4,
             pyexec::AnalysisRunnerPtr analysis_runner = nullptr);

    // From the settings' attribute maps (what a Python host's settings objects hold).
    SQLGraph(DatabasePtr custom_sql_db, const Value& config_35_map, const Value& config_4_map,
             pyexec::AnalysisRunnerPtr analysis_runner = nullptr);

    // With ready chat models (any OpenAI-compatible server): sql_model writes the SQL, model
    // serves every other role.
    SQLGraph(DatabasePtr custom_sql_db, ChatModelPtr model, ChatModelPtr sql_model,
             pyexec::AnalysisRunnerPtr analysis_runner = nullptr);

    // Replaces the analysis runner (null: the choice above) of a flow built elsewhere; before
    // its first question.
    void set_analysis_runner(pyexec::AnalysisRunnerPtr runner);

    // Adds words to the one correction a query that found no rows gets (NoRowsDiagnosis);
    // before the first question. Null: none.
    void set_no_rows_diagnosis(NoRowsDiagnosis diagnosis);

    // {"metadata", "tags", "max_concurrency", "recursion_limit"}; defaults null,
    // ["flow_graph"], 20, 50. A value of the wrong kind is a TypeError worded
    // "Argument '...' has incorrect type (expected ..., got ...)".
    static Value config_graph(const Value& metadata = nullptr,
                              const Value& tags = Value::array({"flow_graph"}),
                              const Value& max_concurrency = 20, const Value& recursion_limit = 50);

    // Wires the builder and compiles it; a second call fails (the nodes exist already).
    graph::CompiledGraph compile_graph(const Value& runnable_config);

    // One question: inputs must be a map ({"user_question", "save_path"}); returns the final
    // state. The observer, when given, sees every node start and end. With a true "sql_only"
    // input the run ends after the last successful SQL execution, or when the correction loop
    // gives up, without the analysis and the answer.
    // A record, when given, receives what the steps keep beside the state (RunRecord).
    Value invoke(const Value& inputs, graph::Observer* observer = nullptr,
                 RunRecord* record = nullptr) const;

    // "ascii": the drawing to the console; anything else: a picture of the graph written to
    // save_graph_path, in the format its extension names (png, svg, pdf, jpg, ...).
    void visualize_graph(const std::string& visualization_type = "ascii",
                         const std::string& save_graph_path = "graph_visualization.png") const;

    DatabasePtr db;
    graph::StateGraph graph;
    Value runnable_config;
    ChatModelPtr relevant_tables_model;
    ChatModelPtr sql_generation_model;
    ChatModelPtr response_model;
    ChatModelPtr pandas_code_model;
    ChatModelPtr pandas_ai_model;
    std::shared_ptr<RelevantTablePicker> relevant_table_picker;
    pyexec::AnalysisRunnerPtr analysis_runner;
    std::shared_ptr<PandasExecutor> pandas_executor;
    std::shared_ptr<SQLGeneration> sql_generation;
    graph::CompiledGraph compiled_graph;
};

// The steps the flow wires, one per node: the real ones in SQLGraph, scripted ones in tests of
// the routes.
struct FlowNodes {
    graph::NodeFn table_names_lookup;
    graph::NodeFn relevant_table_names;
    graph::NodeFn relevant_schemas;
    graph::NodeFn sql_generation;
    graph::NodeFn rewrite_query;
    graph::NodeFn sql_syntax_checker;
    graph::NodeFn sql_execution;
    graph::NodeFn pandas_generator;
    graph::NodeFn pandas_executor;
    graph::NodeFn final_response_generation;
    // The SQL error handler; empty: handle_sql_error on the state alone.
    graph::NodeFn sql_error_handler;
};

// Adds the flow's nodes, edges and routes to a graph of the flow state that has none: the
// start, the two error handlers and the routing functions are the flow's own, the steps are
// the ones given. SQLGraph::compile_graph wires its steps through it.
void wire_flow(graph::StateGraph& graph, const FlowNodes& nodes);

// The runner ZOLVI_ANALYSIS_SANDBOX chooses (see SQLGraph); a value it does not know is a
// ConfigError naming it.
pyexec::AnalysisRunnerPtr analysis_runner_from_environment();

// Writes DOT text as a picture through Graphviz; the format is the path's extension.
void render_dot(const std::string& dot, const std::string& path);

} // namespace zolviai::flow
