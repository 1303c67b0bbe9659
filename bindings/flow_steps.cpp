// zolviai.flow_graph.flow_steps: the steps of the question-answering flow and its routing.
// Steps take the flow state as a dict and return the update they make.
#include "convert.hpp"
#include "zolviai/flow/data_steps.hpp"
#include "zolviai/flow/model_steps.hpp"
#include "zolviai/flow/records.hpp"
#include "zolviai/flow/routing.hpp"
#include "zolviai/pyexec/python_runner.hpp"

#include <pybind11/stl.h>

namespace py = pybind11;
using namespace zolviai;
using bindings::state_of;

namespace {

using DB = std::shared_ptr<sql::CustomSQLDatabase>;
using Model = std::shared_ptr<llm::ChatModel>;

// A step class with its keyword-only constructor (taking the database and/or the model) and
// invoke(state, **kwargs), which runs the step on the dict without the GIL and hands back
// its update.
template <class Step, class... Args, class... Names>
py::class_<Step> bind_step(py::module_& m, const char* name, Names... names) {
    py::class_<Step> cls(m, name);
    cls.def(py::init<Args...>(), py::kw_only(), names...);
    cls.def(
        "invoke",
        [](const Step& step, py::handle state, py::kwargs) {
            const Value s = state_of(state);
            py::gil_scoped_release release;
            return step.invoke(s);
        },
        py::arg("state"));
    return cls;
}

// A method that builds the step's request (messages or a text) from the state dict.
template <class Step, class Result>
void def_prompt(py::class_<Step>& cls, const char* name,
                Result (Step::*build)(const Value&) const) {
    cls.def(
        name, [build](const Step& s, py::handle state) { return (s.*build)(state_of(state)); },
        py::arg("state"));
}

py::dict schema_dict(const llm::RecordSchema& s) {
    py::dict d;
    d["name"] = s.name;
    d["schema"] = s.json_schema();
    return d;
}

// The modules the steps rest on, the texts they send and the records their models fill in.
void init_texts(py::module_& m) {
    py::module_::import("zolviai.flow_graph.custom_sql");
    py::module_::import("zolviai.llm");
    for (const char* module :
         {"zolviai.flow_graph.flow_graph_prompts", "zolviai.prompts.answer_prompt"}) {
        bindings::reexport_public_names(module, m);
    }
    py::module_ context = py::module_::import("zolviai.prompts.context");
    for (const char* name :
         {"read_values", "context_prompt", "custom_instructions", "check_instructions"}) {
        m.attr(name) = context.attr(name);
    }
    m.attr("current_values") = flow::current_values();
    m.attr("RelevantTablesOutput") = schema_dict(flow::RelevantTablesOutput());
    m.attr("RewriteQueryOutput") = schema_dict(flow::RewriteQueryOutput());
    m.attr("SQLQueryInput") = schema_dict(flow::SQLQueryInput());
    m.attr("PythonCodeInput") = schema_dict(flow::PythonCodeInput());
    m.attr("GenerationOutput") = schema_dict(flow::GenerationOutput());
}

void init_routing(py::module_& m) {
    m.def(
        "initialisation",
        [](py::dict inputs) {
            const Value out = flow::initialisation(bindings::to_value(inputs));
            // What the entry step writes goes into the host's own dict: the fields it sets
            // whatever the input holds, and keys the dict lacks (a non-text key comes back as
            // its text). The host's other values stay the objects it gave.
            const Value reset = flow::initialisation(Value::object());
            for (const auto& [key, value] : out.items()) {
                if (reset.contains(key) || !inputs.contains(key)) {
                    inputs[py::str(key)] = value;
                }
            }
            return inputs;
        },
        py::arg("inputs"), "Fills the counters and empty lists in the given dict and returns it.");
    for (const auto& [name, condition] : {
             std::pair{"sql_syntax_condition", &flow::sql_syntax_condition},
             std::pair{"sql_execution_condition", &flow::sql_execution_condition},
             std::pair{"pandas_execution_condition", &flow::pandas_execution_condition},
             std::pair{"pandas_code_condition", &flow::pandas_code_condition},
             std::pair{"sql_error_handler_condition", &flow::sql_error_handler_condition},
             std::pair{"pandas_error_handler_condition", &flow::pandas_error_handler_condition},
         }) {
        m.def(
            name, [condition = condition](py::handle s) { return condition(state_of(s)); },
            py::arg("state"));
    }
    for (const auto& [name, handler] : {
             std::pair{"handle_sql_error", &flow::handle_sql_error},
             std::pair{"handle_pandas_error", &flow::handle_pandas_error},
         }) {
        m.def(
            name, [handler = handler](py::handle s) { return handler(state_of(s)); },
            py::arg("state"));
    }
}

// The steps that read the database or run analysis code.
void init_data_steps(py::module_& m) {
    bind_step<flow::TableNamesLookup, DB>(m, "TableNamesLookup", py::arg("db"));
    bind_step<flow::RelevantSchemas, DB>(m, "RelevantSchemas", py::arg("db"));
    bind_step<flow::SQLExecution, DB>(m, "SQLExecution", py::arg("db"));
    auto executor = bind_step<flow::PandasExecutor, Model>(m, "PandasExecutor", py::arg("model"));
    def_prompt(executor, "generate_prompt", &flow::PandasExecutor::generate_prompt);

    py::class_<flow::SQLSyntaxChecker>(m, "SQLSyntaxChecker")
        .def(py::init<DB, Model>(), py::kw_only(), py::arg("db"), py::arg("model"))
        .def(
            "invoke",
            [](const flow::SQLSyntaxChecker& s, py::handle state, py::kwargs) {
                Value st = state_of(state);
                {
                    py::gil_scoped_release release;
                    s.invoke(st);
                }
                // The reviewed query replaces the last element of the host's own list.
                py::list queries =
                    py::dict(py::reinterpret_borrow<py::object>(state))["generated_sql_query"];
                queries[py::len(queries) - 1] = st["generated_sql_query"].back();
                return py::dict();
            },
            py::arg("state"));
}

// The steps that ask a chat model.
void init_model_steps(py::module_& m) {
    auto relevant = bind_step<flow::RelevantTableNames, DB, Model>(m, "RelevantTableNames",
                                                                   py::arg("db"), py::arg("model"));
    relevant.def_readonly("dialect", &flow::RelevantTableNames::dialect);
    def_prompt(relevant, "generate_prompt", &flow::RelevantTableNames::generate_prompt);

    auto rewrite = bind_step<flow::RewriteQuery, DB, Model>(m, "RewriteQuery", py::arg("db"),
                                                            py::arg("model"));
    rewrite.def(
        "generate_prompt",
        [](const flow::RewriteQuery& s, py::handle state) {
            const Value st = state_of(state);
            py::gil_scoped_release release; // it reads every table's schema
            return s.generate_prompt(st);
        },
        py::arg("state"));

    auto generation = bind_step<flow::SQLGeneration, DB, Model>(m, "SQLGeneration", py::arg("db"),
                                                                py::arg("model"));
    generation.def_readonly("dialect", &flow::SQLGeneration::dialect);
    def_prompt(generation, "generate_messages", &flow::SQLGeneration::generate_messages);

    auto generator =
        bind_step<flow::PandasGenerator, Model>(m, "PandasGenerator", py::arg("model"));
    def_prompt(generator, "generate_prompt", &flow::PandasGenerator::generate_prompt);
    auto correction =
        bind_step<flow::PandasCorrection, Model>(m, "PandasCorrection", py::arg("model"));
    def_prompt(correction, "generate_prompt", &flow::PandasCorrection::generate_prompt);
    bind_step<flow::GenerateResponse, Model>(m, "GenerateResponse", py::arg("model"));
}

} // namespace

PYBIND11_MODULE(flow_steps, m) {
    bindings::init_common();
    m.doc() = "The steps of the question-answering flow and the routing between them.";
    init_texts(m);
    // Plots never open windows: the non-interactive back end from the time this module loads.
    {
        py::gil_scoped_release release;
        pyexec::use_agg_backend();
    }
    init_routing(m);
    init_data_steps(m);
    init_model_steps(m);
}
