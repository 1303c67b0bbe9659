#pragma once

#include "zolviai/flow/data_steps.hpp"
#include "zolviai/flow/model_steps.hpp"
#include "zolviai/flow/relevant_table_picker.hpp"
#include "zolviai/graph/state_graph.hpp"
#include "zolviai/llm/model_settings.hpp"

#include <memory>
#include <optional>
#include <string>

namespace zolviai::flow {

// The question-answering flow for one database: five chat models, the steps around them,
// the wiring, compiled once, and any number of questions through invoke.
class SQLGraph {
public:
    // config_35 serves every model role but SQL generation, which config_4 serves. A settings
    // map holding max_tokens, temperature or model_kwargs is a TypeError naming the key.
    SQLGraph(DatabasePtr custom_sql_db, const llm::ModelSettings& config_35,
             const llm::ModelSettings& config_4);

    // From the settings' attribute maps (what a Python host's settings objects hold).
    SQLGraph(DatabasePtr custom_sql_db, const Value& config_35_map, const Value& config_4_map);

    // With ready chat models (any OpenAI-compatible server): sql_model writes the SQL, model
    // serves every other role.
    SQLGraph(DatabasePtr custom_sql_db, ChatModelPtr model, ChatModelPtr sql_model);

    // {"metadata", "tags", "max_concurrency", "recursion_limit"}; defaults null,
    // ["flow_graph"], 20, 50. A value of the wrong kind is a TypeError worded
    // "Argument '...' has incorrect type (expected ..., got ...)".
    static Value config_graph(const Value& metadata = nullptr,
                              const Value& tags = Value::array({"flow_graph"}),
                              const Value& max_concurrency = 20, const Value& recursion_limit = 50);

    // Wires the builder and compiles it; a second call fails (the nodes exist already).
    graph::CompiledGraph compile_graph(const Value& runnable_config);

    // One question: inputs must be a map ({"user_question", "save_path"}); returns the final
    // state. The observer, when given, sees every node start and end.
    Value invoke(const Value& inputs, graph::Observer* observer = nullptr) const;

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
    graph::CompiledGraph compiled_graph;
};

// Writes DOT text as a picture through Graphviz; the format is the path's extension.
void render_dot(const std::string& dot, const std::string& path);

} // namespace zolviai::flow
