// zolviai.memory_native: the memory of verified SQL for Python hosts (zolviai._memory wraps
// it as Database.memory). Converts and forwards; the memory does the work without the GIL.
#include "zolviai/agent/memory.hpp"

#include "convert.hpp"

#include <pybind11/stl.h>

namespace py = pybind11;
using namespace zolviai;

namespace {

py::object entries(const std::vector<agent::MemoryEntry>& list) {
    Value out = Value::array();
    for (const auto& e : list) {
        out.push_back(agent::entry_json(e));
    }
    return bindings::from_value(out);
}

} // namespace

PYBIND11_MODULE(memory_native, m) {
    bindings::init_common();
    // The database type comes from its own module.
    py::module_::import("zolviai.flow_graph.custom_sql");
    py::class_<agent::Memory, std::shared_ptr<agent::Memory>>(m, "VerifiedMemory")
        .def(py::init([](const std::string& state_db) {
                 py::gil_scoped_release release;
                 return std::make_shared<agent::Memory>(state::Store::open(
                     state_db.empty() ? state::Store::default_path() : state_db));
             }),
             py::arg("state_db") = "")
        .def(
            "add",
            [](agent::Memory& memory, const sql::CustomSQLDatabase& db, const std::string& question,
               const std::string& sql, const std::string& by) {
                agent::MemoryEntry e;
                {
                    py::gil_scoped_release release;
                    e = memory.add(db, question, sql, "api", by);
                }
                return bindings::from_value(agent::entry_json(e));
            },
            py::arg("db"), py::arg("question"), py::arg("sql"), py::arg("by") = "")
        .def(
            "search",
            [](agent::Memory& memory, const sql::CustomSQLDatabase& db, const std::string& text,
               std::size_t k) {
                std::vector<agent::MemoryEntry> found;
                {
                    py::gil_scoped_release release;
                    found = memory.search(db.identity(), text, k);
                }
                return entries(found);
            },
            py::arg("db"), py::arg("text"), py::arg("k") = 10)
        .def(
            "list",
            [](agent::Memory& memory, const sql::CustomSQLDatabase& db) {
                std::vector<agent::MemoryEntry> found;
                {
                    py::gil_scoped_release release;
                    found = memory.list(db.identity());
                }
                return entries(found);
            },
            py::arg("db"))
        .def("remove", &agent::Memory::remove, py::arg("entry_id"),
             py::call_guard<py::gil_scoped_release>());
}
