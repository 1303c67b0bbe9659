// zolviai.flow_graph.flow_graph: the flow state and SQLGraph.
#include "convert.hpp"
#include "zolviai/flow/sql_graph.hpp"
#include "zolviai/flow/sql_state.hpp"

#include <pybind11/stl.h>

namespace py = pybind11;
using namespace zolviai;

namespace {

const char* rule_name(graph::MergeRule rule) {
    switch (rule) {
    case graph::MergeRule::Replace:
        return "replace";
    case graph::MergeRule::Add:
        return "add";
    case graph::MergeRule::Concatenate:
        return "concatenate";
    }
    return "";
}

bool is_int(py::handle v) {
    return py::isinstance<py::int_>(v) && !py::isinstance<py::bool_>(v);
}

// The run configuration, with the argument checks of a typed Python signature.
Value config_graph(py::object metadata, py::object tags, py::object max_concurrency,
                   py::object recursion_limit) {
    if (!metadata.is_none() && !py::isinstance<py::dict>(metadata)) {
        throw bindings::argument_type_error("metadata", "dict", metadata);
    }
    if (!py::isinstance<py::list>(tags)) {
        throw bindings::argument_type_error("tags", "list", tags);
    }
    if (!max_concurrency.is_none() && !is_int(max_concurrency)) {
        throw bindings::argument_type_error("max_concurrency", "int", max_concurrency);
    }
    if (!is_int(recursion_limit)) {
        throw bindings::argument_type_error("recursion_limit", "int", recursion_limit);
    }
    return flow::SQLGraph::config_graph(bindings::to_value(metadata), bindings::to_value(tags),
                                        bindings::to_value(max_concurrency),
                                        bindings::to_value(recursion_limit));
}

// The steps, the table choice and the settings records, and the flow state's fields.
void init_state(py::module_& m) {
    bindings::reexport_public_names("zolviai.flow_graph.flow_steps", m);
    m.attr("RelevantTablePicker") =
        py::module_::import("zolviai.function_calling.base").attr("RelevantTablePicker");
    py::module_ settings = py::module_::import("zolviai.settings");
    m.attr("AzureOpenAIChat35") = settings.attr("AzureOpenAIChat35");
    m.attr("AzureOpenAIChat4") = settings.attr("AzureOpenAIChat4");

    py::dict state;
    for (const auto& field : flow::sql_state_schema().fields()) {
        state[py::str(field.name)] = rule_name(field.rule);
    }
    m.attr("SQLState") = state; // field name -> merge rule, in declared order
}

void init_graph(py::module_& m) {
    py::class_<flow::SQLGraph, std::shared_ptr<flow::SQLGraph>>(m, "SQLGraph")
        .def(py::init([](std::shared_ptr<sql::CustomSQLDatabase> db, py::handle config_35,
                         py::handle config_4) {
                 const Value map_35 = bindings::attributes_of(config_35);
                 const Value map_4 = bindings::attributes_of(config_4);
                 py::gil_scoped_release release;
                 return std::make_shared<flow::SQLGraph>(std::move(db), map_35, map_4);
             }),
             py::arg("custom_sql_db"), py::arg("config_35"), py::arg("config_4"))
        .def_property_readonly("db",
                               [](const flow::SQLGraph& g) {
                                   return std::const_pointer_cast<sql::CustomSQLDatabase>(g.db);
                               })
        .def_readonly("runnable_config", &flow::SQLGraph::runnable_config)
        .def_static("_config_graph", &config_graph, py::arg("metadata") = py::none(),
                    py::arg("tags") = py::list(py::make_tuple("flow_graph")),
                    py::arg("max_concurrency") = 20, py::arg("recursion_limit") = 50)
        .def(
            "_compile_graph",
            [](flow::SQLGraph& g, py::object runnable_config) {
                g.compile_graph(bindings::to_value(runnable_config));
            },
            py::arg("runnable_config"))
        .def(
            "invoke",
            [](const flow::SQLGraph& g, py::handle inputs) {
                if (!py::isinstance<py::dict>(inputs)) {
                    throw bindings::argument_type_error("inputs", "dict", inputs);
                }
                const Value in = bindings::to_value(inputs);
                py::gil_scoped_release release;
                return g.invoke(in);
            },
            py::arg("inputs"), "Answers one question; returns the final flow state.")
        .def(
            "visualize_graph",
            [](const flow::SQLGraph& g, const std::string& visualization_type,
               const std::string& save_graph_path) {
                g.visualize_graph(visualization_type, save_graph_path);
            },
            py::arg("visualization_type") = "ascii",
            py::arg("save_graph_path") = "graph_visualization.png",
            "Prints the flow as ASCII art, or writes a picture in the format the path's "
            "extension names.");
}

} // namespace

PYBIND11_MODULE(flow_graph, m) {
    bindings::init_common();
    m.doc() = "The question-answering flow: its state record and SQLGraph.";
    init_state(m);
    init_graph(m);
}
