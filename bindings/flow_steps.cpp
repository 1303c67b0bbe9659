// zolviai.flow_graph.flow_steps: the steps of the question-answering flow and its routing.
// Steps take the flow state as a dict and return the update they make.
#include "convert.hpp"
#include "zolviai/flow/data_steps.hpp"
#include "zolviai/flow/model_steps.hpp"
#include "zolviai/flow/routing.hpp"
#include "zolviai/llm/records.hpp"
#include "zolviai/pyexec/python_runner.hpp"

#include <pybind11/stl.h>

namespace py = pybind11;
using namespace zolviai;
using bindings::from_value;
using bindings::state_of;

namespace {

py::list messages_to_python(const std::vector<llm::Message>& messages) {
    py::list out;
    for (const auto& msg : messages) {
        py::dict d;
        d["role"] = msg.role;
        d["content"] = msg.content;
        out.append(d);
    }
    return out;
}

// Runs a step's invoke on the dict without the GIL and hands back its update.
template <class Step>
py::object invoke_step(const Step& step, py::handle state) {
    const Value s = state_of(state);
    Value update;
    {
        py::gil_scoped_release release;
        update = step.invoke(s);
    }
    return from_value(update);
}

py::dict schema_dict(const llm::RecordSchema& s) {
    py::dict d;
    d["name"] = s.name;
    d["schema"] = from_value(s.json_schema());
    return d;
}

} // namespace

PYBIND11_MODULE(flow_steps, m) {
    bindings::init_common();
    m.doc() = "The steps of the question-answering flow and the routing between them.";
    // The modules the steps rest on, and the texts they send.
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
    // Plots never open windows: the non-interactive back end from the time this module loads.
    {
        py::gil_scoped_release release;
        pyexec::use_agg_backend();
    }
    m.attr("current_values") = from_value(flow::current_values());
    m.attr("RelevantTablesOutput") = schema_dict(llm::RelevantTablesOutput());
    m.attr("RewriteQueryOutput") = schema_dict(llm::RewriteQueryOutput());
    m.attr("SQLQueryInput") = schema_dict(llm::SQLQueryInput());
    m.attr("PythonCodeInput") = schema_dict(llm::PythonCodeInput());
    m.attr("GenerationOutput") = schema_dict(llm::GenerationOutput());

    // Routing.
    m.def(
        "initialisation",
        [](py::dict inputs) {
            const Value out = flow::initialisation(bindings::to_value(inputs));
            for (const auto& [key, value] : out.items()) {
                if (!inputs.contains(key) || key == "iteration_count" || key == "max_iterations" ||
                    key == "rewrite_count" || key == "rewritten_question" ||
                    key == "generated_sql_query" || key == "execution_error" ||
                    key == "sql_execution_result") {
                    inputs[py::str(key)] = from_value(value);
                }
            }
            return inputs;
        },
        py::arg("inputs"), "Fills the counters and empty lists in the given dict and returns it.");
    auto condition = [&m](const char* name, std::string (*fn)(const Value&)) {
        m.def(
            name, [fn](py::handle state) { return fn(state_of(state)); }, py::arg("state"));
    };
    condition("sql_syntax_condition", flow::sql_syntax_condition);
    condition("sql_execution_condition", flow::sql_execution_condition);
    condition("pandas_execution_condition", flow::pandas_execution_condition);
    condition("pandas_code_condition", flow::pandas_code_condition);
    condition("sql_error_handler_condition", flow::sql_error_handler_condition);
    condition("pandas_error_handler_condition", flow::pandas_error_handler_condition);
    m.def(
        "handle_sql_error",
        [](py::handle s) { return from_value(flow::handle_sql_error(state_of(s))); },
        py::arg("state"));
    m.def(
        "handle_pandas_error",
        [](py::handle s) { return from_value(flow::handle_pandas_error(state_of(s))); },
        py::arg("state"));

    using DB = std::shared_ptr<sql::CustomSQLDatabase>;
    using Model = std::shared_ptr<llm::ChatModel>;
    py::class_<flow::TableNamesLookup>(m, "TableNamesLookup")
        .def(py::init<DB>(), py::kw_only(), py::arg("db"))
        .def(
            "invoke",
            [](const flow::TableNamesLookup& s, py::handle state, py::kwargs) {
                return invoke_step(s, state);
            },
            py::arg("state"));
    py::class_<flow::RelevantSchemas>(m, "RelevantSchemas")
        .def(py::init<DB>(), py::kw_only(), py::arg("db"))
        .def(
            "invoke",
            [](const flow::RelevantSchemas& s, py::handle state, py::kwargs) {
                return invoke_step(s, state);
            },
            py::arg("state"));
    py::class_<flow::RelevantTableNames>(m, "RelevantTableNames")
        .def(py::init<DB, Model>(), py::kw_only(), py::arg("db"), py::arg("model"))
        .def_readonly("dialect", &flow::RelevantTableNames::dialect)
        .def(
            "generate_prompt",
            [](const flow::RelevantTableNames& s, py::handle state) {
                return messages_to_python(s.generate_prompt(state_of(state)));
            },
            py::arg("state"))
        .def(
            "invoke",
            [](const flow::RelevantTableNames& s, py::handle state, py::kwargs) {
                return invoke_step(s, state);
            },
            py::arg("state"));
    py::class_<flow::RewriteQuery>(m, "RewriteQuery")
        .def(py::init<DB, Model>(), py::kw_only(), py::arg("db"), py::arg("model"))
        .def(
            "generate_prompt",
            [](const flow::RewriteQuery& s, py::handle state) {
                const Value st = state_of(state);
                std::vector<llm::Message> messages;
                {
                    py::gil_scoped_release release;
                    messages = s.generate_prompt(st);
                }
                return messages_to_python(messages);
            },
            py::arg("state"))
        .def(
            "invoke",
            [](const flow::RewriteQuery& s, py::handle state, py::kwargs) {
                return invoke_step(s, state);
            },
            py::arg("state"));
    py::class_<flow::SQLGeneration>(m, "SQLGeneration")
        .def(py::init<DB, Model>(), py::kw_only(), py::arg("db"), py::arg("model"))
        .def_readonly("dialect", &flow::SQLGeneration::dialect)
        .def(
            "generate_messages",
            [](const flow::SQLGeneration& s, py::handle state) {
                return messages_to_python(s.generate_messages(state_of(state)));
            },
            py::arg("state"))
        .def(
            "invoke",
            [](const flow::SQLGeneration& s, py::handle state, py::kwargs) {
                return invoke_step(s, state);
            },
            py::arg("state"));
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
                queries[py::len(queries) - 1] = from_value(st["generated_sql_query"].back());
                return py::dict();
            },
            py::arg("state"));
    py::class_<flow::SQLExecution>(m, "SQLExecution")
        .def(py::init<DB>(), py::kw_only(), py::arg("db"))
        .def(
            "invoke",
            [](const flow::SQLExecution& s, py::handle state, py::kwargs) {
                return invoke_step(s, state);
            },
            py::arg("state"));
    py::class_<flow::PandasGenerator>(m, "PandasGenerator")
        .def(py::init<Model>(), py::kw_only(), py::arg("model"))
        .def(
            "generate_prompt",
            [](const flow::PandasGenerator& s, py::handle state) -> py::object {
                const flow::Prompt p = s.generate_prompt(state_of(state));
                if (std::holds_alternative<std::string>(p)) {
                    return py::str(std::get<std::string>(p));
                }
                return messages_to_python(std::get<std::vector<llm::Message>>(p));
            },
            py::arg("state"))
        .def(
            "invoke",
            [](const flow::PandasGenerator& s, py::handle state, py::kwargs) {
                return invoke_step(s, state);
            },
            py::arg("state"));
    py::class_<flow::PandasExecutor>(m, "PandasExecutor")
        .def(py::init<Model>(), py::kw_only(), py::arg("model"))
        .def(
            "generate_prompt",
            [](const flow::PandasExecutor& s, py::handle state) {
                return messages_to_python(s.generate_prompt(state_of(state)));
            },
            py::arg("state"))
        .def(
            "invoke",
            [](const flow::PandasExecutor& s, py::handle state, py::kwargs) {
                return invoke_step(s, state);
            },
            py::arg("state"));
    py::class_<flow::PandasCorrection>(m, "PandasCorrection")
        .def(py::init<Model>(), py::kw_only(), py::arg("model"))
        .def(
            "generate_prompt",
            [](const flow::PandasCorrection& s, py::handle state) {
                return s.generate_prompt(state_of(state));
            },
            py::arg("state"))
        .def(
            "invoke",
            [](const flow::PandasCorrection& s, py::handle state, py::kwargs) {
                return invoke_step(s, state);
            },
            py::arg("state"));
    py::class_<flow::GenerateResponse>(m, "GenerateResponse")
        .def(py::init<Model>(), py::kw_only(), py::arg("model"))
        .def(
            "invoke",
            [](const flow::GenerateResponse& s, py::handle state, py::kwargs) {
                return invoke_step(s, state);
            },
            py::arg("state"));
}
