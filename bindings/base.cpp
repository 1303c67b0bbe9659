// zolviai.function_calling.base: the flow's table choice.
#include "convert.hpp"
#include "zolviai/flow/relevant_table_picker.hpp"

namespace py = pybind11;
using namespace zolviai;

PYBIND11_MODULE(base, m) {
    bindings::init_common();
    py::module_::import("zolviai.flow_graph.custom_sql");
    m.doc() = "The relevant-table choice: the model's names reconciled with the database's.";
    py::class_<flow::RelevantTablePicker, std::shared_ptr<flow::RelevantTablePicker>>(
        m, "RelevantTablePicker")
        .def(py::init([](py::handle config, std::shared_ptr<sql::CustomSQLDatabase> db) {
                 const Value map = bindings::attributes_of(config);
                 return std::make_shared<flow::RelevantTablePicker>(map, std::move(db));
             }),
             py::kw_only(), py::arg("config"), py::arg("db"))
        .def(
            "invoke",
            [](const flow::RelevantTablePicker& p, py::handle state, py::kwargs) {
                const Value s = bindings::state_of(state);
                py::gil_scoped_release release;
                return p.invoke(s);
            },
            py::arg("state"));
}
