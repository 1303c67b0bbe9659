// zolviai.flow_graph.custom_sql: the database wrapper the flow uses, and the names hosts catch
// its failures by.
#include "convert.hpp"
#include "zolviai/sql/sql_database.hpp"

#include <pybind11/stl.h>

namespace py = pybind11;
using zolviai::sql::CustomSQLDatabase;

PYBIND11_MODULE(custom_sql, m) {
    zolviai::bindings::init_common();
    m.doc() = "The database wrapper: table names, table descriptions, guarded queries.";
    // Database failures, including statements the guard refuses: the one class every module
    // raises (zolviai.errors). SQLAlchemyError is the name flows written against the SQL
    // toolkit catch.
    py::object error = py::module_::import("zolviai.errors").attr("DatabaseError");
    m.attr("DatabaseError") = error;
    m.attr("SQLAlchemyError") = error;
    py::class_<CustomSQLDatabase, std::shared_ptr<CustomSQLDatabase>>(m, "CustomSQLDatabase")
        .def_static(
            "from_uri",
            [](const std::string& uri, const std::vector<std::string>& allowed_functions,
               bool require_read_only_role) {
                zolviai::sql::DatabaseOptions options;
                options.guard.allowed_functions = allowed_functions;
                options.require_read_only_role = require_read_only_role;
                py::gil_scoped_release release;
                return CustomSQLDatabase::from_uri(uri, options);
            },
            py::arg("database_uri"), py::kw_only(),
            py::arg("allowed_functions") = std::vector<std::string>{},
            py::arg("require_read_only_role") = false)
        .def_property_readonly("dialect", &CustomSQLDatabase::dialect)
        .def("get_usable_table_names", &CustomSQLDatabase::get_usable_table_names,
             py::call_guard<py::gil_scoped_release>())
        .def("get_table_info_no_throw", &CustomSQLDatabase::get_table_info_no_throw,
             py::arg("table_names"), py::call_guard<py::gil_scoped_release>())
        .def(
            "run",
            [](const CustomSQLDatabase& db, const std::string& command, const std::string& fetch,
               bool include_columns) { return db.run(command, fetch, include_columns); },
            py::arg("command"), py::arg("fetch") = "all", py::arg("include_columns") = false,
            py::call_guard<py::gil_scoped_release>());
}
