#include "zolviai/flow/sql_graph.hpp"

#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/settings.hpp"
#include "zolviai/flow/routing.hpp"
#include "zolviai/flow/sql_state.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <gvc.h>
#include <map>
#include <mutex>

namespace zolviai::flow {
namespace {

ChatModelPtr chat_model(const Value& settings_map, long max_tokens) {
    return llm::build_azure_chat_model(
        settings_map,
        {{"max_tokens", max_tokens}, {"temperature", 0}, {"model_kwargs", {{"top_p", 0.95}}}});
}

template <class Step>
graph::NodeFn node(std::shared_ptr<Step> step) {
    return [step](Value& state, const graph::RunConfig&) { return step->invoke(state); };
}

// A step that also writes the run's record (the caller's, when it gave one).
template <class Step>
graph::NodeFn recording_node(std::shared_ptr<Step> step) {
    return [step](Value& state, const graph::RunConfig& config) {
        return step->invoke(state, dynamic_cast<RunRecord*>(config.context));
    };
}

// Graphviz reports problems through a callback; keep the text for our own error.
thread_local std::string g_graphviz_message;

int keep_graphviz_message(char* message) {
    g_graphviz_message += message;
    return 0;
}

} // namespace

pyexec::AnalysisRunnerPtr analysis_runner_from_environment() {
    const auto current = settings();
    const std::string value = current->get("ZOLVI_ANALYSIS_SANDBOX", "");
    std::string choice = value;
    std::transform(choice.begin(), choice.end(), choice.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    pyexec::AnalysisMode mode;
    if (choice.empty() || choice == "0" || choice == "false" || choice == "no" || choice == "off" ||
        choice == "in-process") {
        mode = pyexec::AnalysisMode::InProcess;
    } else if (choice == "1" || choice == "true" || choice == "yes" || choice == "on" ||
               choice == "sandbox") {
        mode = pyexec::AnalysisMode::Sandbox;
    } else if (choice == "auto") {
        mode = pyexec::AnalysisMode::Auto;
    } else {
        throw ConfigError(std::string("ZOLVI_ANALYSIS_SANDBOX must be 1 (sandbox), auto or 0 "
                                      "(in this process), not '") +
                          value + "'");
    }
    // One runner per choice for the whole process, so that flows share the warm
    // interpreters. Never destroyed: its interpreters end with the process.
    static std::mutex mutex;
    static auto* runners = new std::map<std::string, pyexec::AnalysisRunnerPtr>();
    const std::string key = std::to_string(static_cast<int>(mode)) + "|" +
                            current->get("ZOLVI_ANALYSIS_TIME_LIMIT", "") + "|" +
                            current->get("ZOLVI_ANALYSIS_POOL_SIZE", "");
    std::lock_guard lock(mutex);
    auto& runner = (*runners)[key];
    if (!runner) {
        runner = pyexec::make_analysis_runner(mode);
    }
    return runner;
}

SQLGraph::SQLGraph(DatabasePtr custom_sql_db, const llm::ModelSettings& config_35,
                   const llm::ModelSettings& config_4, pyexec::AnalysisRunnerPtr runner)
    : SQLGraph(std::move(custom_sql_db), config_35.attribute_map(), config_4.attribute_map(),
               std::move(runner)) {}

SQLGraph::SQLGraph(DatabasePtr custom_sql_db, const Value& map_35, const Value& map_4,
                   pyexec::AnalysisRunnerPtr runner)
    : db(std::move(custom_sql_db)), graph(sql_state_schema()), runnable_config(config_graph()) {
    if (!db) {
        throw TypeError("SQLGraph needs a database (custom_sql_db)");
    }
    analysis_runner = runner ? std::move(runner) : analysis_runner_from_environment();
    relevant_tables_model = chat_model(map_35, 8192);
    sql_generation_model = chat_model(map_4, 4096);
    response_model = chat_model(map_35, 4096);
    pandas_code_model = chat_model(map_35, 8192);
    pandas_ai_model = chat_model(map_35, 8192);
    relevant_table_picker = std::make_shared<RelevantTablePicker>(map_35, db);
    compiled_graph = compile_graph(runnable_config);
}

SQLGraph::SQLGraph(DatabasePtr custom_sql_db, ChatModelPtr model, ChatModelPtr sql_model,
                   pyexec::AnalysisRunnerPtr runner)
    : db(std::move(custom_sql_db)), graph(sql_state_schema()), runnable_config(config_graph()) {
    if (!db || !model || !sql_model) {
        throw TypeError("SQLGraph needs a database and two chat models");
    }
    analysis_runner = runner ? std::move(runner) : analysis_runner_from_environment();
    relevant_tables_model = model;
    sql_generation_model = std::move(sql_model);
    response_model = model;
    pandas_code_model = model;
    pandas_ai_model = model;
    relevant_table_picker = std::make_shared<RelevantTablePicker>(model, db);
    compiled_graph = compile_graph(runnable_config);
}

Value SQLGraph::config_graph(const Value& metadata, const Value& tags, const Value& max_concurrency,
                             const Value& recursion_limit) {
    const Value config = {{"metadata", metadata},
                          {"tags", tags},
                          {"max_concurrency", max_concurrency},
                          {"recursion_limit", recursion_limit}};
    graph::RunConfig::from_value(config); // checks every kind
    if (tags.is_null()) {
        throw TypeError("Argument 'tags' has incorrect type (expected list, got NoneType)");
    }
    return config;
}

void wire_flow(graph::StateGraph& graph, const FlowNodes& n) {
    using graph::END;
    graph.add_node("init_node",
                   [](Value& s, const graph::RunConfig&) { return initialisation(s); });
    graph.set_entry_point("init_node");
    graph.add_node("table_names_lookup_node", n.table_names_lookup);
    graph.add_edge("init_node", "table_names_lookup_node");
    graph.add_node("relevant_table_names_node", n.relevant_table_names);
    graph.add_edge("table_names_lookup_node", "relevant_table_names_node");
    graph.add_node("relevant_schemas_node", n.relevant_schemas);
    graph.add_edge("relevant_table_names_node", "relevant_schemas_node");
    graph.add_node("sql_generation_node", n.sql_generation);
    graph.add_edge("relevant_schemas_node", "sql_generation_node");
    graph.add_node("rewrite_query_node", n.rewrite_query);
    graph.add_edge("rewrite_query_node", "relevant_table_names_node");
    graph.add_node("sql_syntax_checker_node", n.sql_syntax_checker);
    graph.add_edge("sql_generation_node", "sql_syntax_checker_node");
    graph.add_node("sql_execution_node", n.sql_execution);
    graph.add_edge("sql_syntax_checker_node", "sql_execution_node");
    graph.add_node("pandas_generator_node", n.pandas_generator);
    graph.add_node("pandas_executor_node", n.pandas_executor);
    graph.add_edge("pandas_generator_node", "pandas_executor_node");
    graph.add_node("final_response_generation_node", n.final_response_generation);
    graph.add_edge("final_response_generation_node", END);
    // No plain edge from the analysis run to the answer: the answer is produced once, after
    // a successful run or when the retries are exhausted, never beside a retry.
    graph.add_node("pandas_error_handler_node",
                   [](Value& s, const graph::RunConfig&) { return handle_pandas_error(s); });
    graph.add_conditional_edges("pandas_executor_node", pandas_execution_condition,
                                {{"final_response", "final_response_generation_node"},
                                 {"pandas_execution_error", "pandas_error_handler_node"}});
    graph.add_node(
        "sql_error_handler_node",
        n.sql_error_handler ? n.sql_error_handler : [](Value& s, const graph::RunConfig&) {
            return handle_sql_error(s);
        });
    graph.add_conditional_edges("sql_execution_node", sql_execution_condition,
                                {{"pandas_generation", "pandas_generator_node"},
                                 {"sql_execution_error", "sql_error_handler_node"}});
    graph.add_conditional_edges("sql_error_handler_node", sql_error_handler_condition,
                                {{"regenerate_sql_query", "sql_generation_node"},
                                 {"terminal_failure_response", "final_response_generation_node"},
                                 {"rewrite_query", "rewrite_query_node"}});
    graph.add_conditional_edges("pandas_error_handler_node", pandas_error_handler_condition,
                                {{"regenerate_pandas_code", "pandas_generator_node"},
                                 {"terminal_failure_response", "final_response_generation_node"}});
}

graph::CompiledGraph SQLGraph::compile_graph(const Value&) {
    FlowNodes n;
    n.table_names_lookup = node(std::make_shared<TableNamesLookup>(db));
    n.relevant_table_names = recording_node(relevant_table_picker);
    n.relevant_schemas = node(std::make_shared<RelevantSchemas>(db));
    sql_generation = std::make_shared<SQLGeneration>(db, sql_generation_model);
    // What the value index can tell of an empty result (wrong literals, dates outside a
    // column's range); a host may set its own.
    sql_generation->no_rows_diagnosis = [db = db](const std::string& sql, const Value&) {
        return db->empty_result_diagnosis(sql);
    };
    n.sql_generation = recording_node(sql_generation);
    n.rewrite_query = node(std::make_shared<RewriteQuery>(db, pandas_ai_model));
    auto checker = std::make_shared<SQLSyntaxChecker>(db, relevant_tables_model);
    n.sql_syntax_checker = [checker](Value& s, const graph::RunConfig&) {
        return checker->invoke(s);
    };
    n.sql_execution = recording_node(std::make_shared<SQLExecution>(db));
    n.pandas_generator = node(std::make_shared<PandasGenerator>(pandas_code_model));
    pandas_executor = std::make_shared<PandasExecutor>(pandas_ai_model, analysis_runner);
    n.pandas_executor = recording_node(pandas_executor);
    n.final_response_generation =
        recording_node(std::make_shared<GenerateResponse>(response_model));
    n.sql_error_handler = recording_node(std::make_shared<SQLErrorHandler>(db));
    wire_flow(graph, n);
    return graph.compile();
}

Value SQLGraph::invoke(const Value& inputs, graph::Observer* observer, RunRecord* record) const {
    if (!inputs.is_object()) {
        throw TypeError(std::string("Argument 'inputs' has incorrect type (expected dict, got ") +
                        python_type_name(inputs) + ")");
    }
    // A role that may do more than read is refused before any model is asked.
    db->check_generated_sql_allowed();
    graph::RunConfig config = graph::RunConfig::from_value(runnable_config);
    // The steps keep what they learn of the run in a record: the caller's, or one of our own.
    RunRecord own_record;
    config.context = record != nullptr ? record : &own_record;
    const auto sql_only = inputs.find("sql_only");
    if (sql_only == inputs.end() || !truthy(*sql_only)) {
        analysis_runner->prepare(); // warm interpreters get ready while the models answer
        return compiled_graph.invoke(inputs, config, observer);
    }
    // The run ends where the analysis or the answer would begin: after the last successful
    // execution, or when the correction loop has given up.
    config.interrupt_before = {"pandas_generator_node", "final_response_generation_node"};
    Value rest = inputs;
    rest.erase("sql_only");
    return compiled_graph.invoke(rest, config, observer);
}

void SQLGraph::set_no_rows_diagnosis(NoRowsDiagnosis diagnosis) {
    sql_generation->no_rows_diagnosis = std::move(diagnosis);
}

void SQLGraph::set_analysis_runner(pyexec::AnalysisRunnerPtr runner) {
    analysis_runner = runner ? std::move(runner) : analysis_runner_from_environment();
    if (pandas_executor) {
        pandas_executor->runner = analysis_runner;
    }
}

void SQLGraph::visualize_graph(const std::string& visualization_type,
                               const std::string& save_graph_path) const {
    if (visualization_type == "ascii") {
        print_out(compiled_graph.draw_ascii());
        return;
    }
    render_dot(compiled_graph.draw_dot(), save_graph_path);
}

void render_dot(const std::string& dot, const std::string& path) {
    std::string format = std::filesystem::path(path).extension().string();
    if (!format.empty()) {
        format.erase(0, 1);
    }
    std::transform(format.begin(), format.end(), format.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (format == "jpg") {
        format = "jpeg";
    }
    static std::mutex graphviz; // Graphviz keeps global state
    std::lock_guard lock(graphviz);
    g_graphviz_message.clear();
    agseterrf(keep_graphviz_message);
    GVC_t* gvc = gvContext();
    Agraph_t* g = agmemread(dot.c_str());
    if (g == nullptr) {
        gvFreeContext(gvc);
        throw ValueError("the graph drawing could not be read by Graphviz");
    }
    int rc = gvLayout(gvc, g, "dot");
    if (rc == 0) {
        rc = gvRenderFilename(gvc, g, format.c_str(), path.c_str());
    }
    gvFreeLayout(gvc, g);
    agclose(g);
    gvFreeContext(gvc);
    if (rc != 0) {
        if (format.empty()) {
            throw ValueError("unknown file extension: '" + path + "' names no picture format");
        }
        std::string why = g_graphviz_message;
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
            why.pop_back();
        }
        throw IoError("cannot write the graph picture '" + path + "' as " + format + ": " +
                      (why.empty() ? "the path cannot be written" : why));
    }
}

} // namespace zolviai::flow
