// zolviai.flow_graph.flow_graph: the flow state and SQLGraph.
#include "convert.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/flow/sql_graph.hpp"
#include "zolviai/flow/sql_state.hpp"

#include <pybind11/stl.h>

namespace py = pybind11;
using namespace zolviai;

namespace {

// The attribute map of a settings object, as vars() gives it.
Value settings_map(py::handle settings) {
    if (!py::hasattr(settings, "__dict__")) {
        throw TypeError("vars() argument must have __dict__ attribute");
    }
    return bindings::to_value(settings.attr("__dict__"));
}

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

} // namespace

PYBIND11_MODULE(flow_graph, m) {
    bindings::init_common();
    m.doc() = "The question-answering flow: its state record and SQLGraph.";
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

    py::class_<flow::SQLGraph, std::shared_ptr<flow::SQLGraph>>(m, "SQLGraph")
        .def(py::init([](std::shared_ptr<sql::CustomSQLDatabase> db, py::handle config_35,
                         py::handle config_4) {
                 const Value map_35 = settings_map(config_35);
                 const Value map_4 = settings_map(config_4);
                 py::gil_scoped_release release;
                 return std::make_shared<flow::SQLGraph>(std::move(db), map_35, map_4);
             }),
             py::arg("custom_sql_db"), py::arg("config_35"), py::arg("config_4"))
        .def_property_readonly("db",
                               [](const flow::SQLGraph& g) {
                                   return std::const_pointer_cast<sql::CustomSQLDatabase>(g.db);
                               })
        .def_property_readonly(
            "runnable_config",
            [](const flow::SQLGraph& g) { return bindings::from_value(g.runnable_config); })
        .def_static(
            "_config_graph",
            [](py::object metadata, py::object tags, py::object max_concurrency,
               py::object recursion_limit) {
                auto kind = [](py::handle v) {
                    return py::str(v.get_type().attr("__name__")).cast<std::string>();
                };
                auto wrong = [&](const char* name, const char* expected, py::handle v) {
                    return TypeError(std::string("Argument '") + name +
                                     "' has incorrect type (expected " + expected + ", got " +
                                     kind(v) + ")");
                };
                if (!metadata.is_none() && !py::isinstance<py::dict>(metadata)) {
                    throw wrong("metadata", "dict", metadata);
                }
                if (!py::isinstance<py::list>(tags)) {
                    throw wrong("tags", "list", tags);
                }
                if (!max_concurrency.is_none() && (!py::isinstance<py::int_>(max_concurrency) ||
                                                   py::isinstance<py::bool_>(max_concurrency))) {
                    throw wrong("max_concurrency", "int", max_concurrency);
                }
                if (!py::isinstance<py::int_>(recursion_limit) ||
                    py::isinstance<py::bool_>(recursion_limit)) {
                    throw wrong("recursion_limit", "int", recursion_limit);
                }
                return bindings::from_value(flow::SQLGraph::config_graph(
                    bindings::to_value(metadata), bindings::to_value(tags),
                    bindings::to_value(max_concurrency), bindings::to_value(recursion_limit)));
            },
            py::arg("metadata") = py::none(),
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
                    throw TypeError(
                        std::string("Argument 'inputs' has incorrect type (expected dict, got ") +
                        py::str(inputs.get_type().attr("__name__")).cast<std::string>() + ")");
                }
                const Value in = bindings::to_value(inputs);
                Value out;
                {
                    py::gil_scoped_release release;
                    out = g.invoke(in);
                }
                return bindings::from_value(out);
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
