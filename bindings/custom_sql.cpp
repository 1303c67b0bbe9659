// zolviai.flow_graph.custom_sql: the database wrapper the flow uses, and the names hosts catch
// its failures by.
#include "convert.hpp"
#include "zolviai/sql/sql_database.hpp"

#include <optional>
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
               bool require_read_only_role, const std::string& schema_cache,
               std::size_t prune_threshold, std::size_t prune_top_k,
               std::optional<bool> allow_privileged_role, const std::vector<std::string>& no_values,
               bool value_index) {
                zolviai::sql::DatabaseOptions options;
                options.guard.allowed_functions = allowed_functions;
                // Not given: the host's environment decides, as it does for zolvi.
                options.allow_privileged_role =
                    allow_privileged_role ? *allow_privileged_role
                                          : zolviai::bindings::environment_allows_privileged_role();
                options.require_read_only_role = require_read_only_role;
                options.schema_cache_dir = schema_cache;
                options.prune_threshold = prune_threshold;
                options.prune_top_k = prune_top_k;
                options.values.excluded = no_values;
                options.values.enabled = value_index;
                py::gil_scoped_release release;
                return CustomSQLDatabase::from_uri(uri, options);
            },
            py::arg("database_uri"), py::kw_only(),
            py::arg("allowed_functions") = std::vector<std::string>{},
            py::arg("require_read_only_role") = false, py::arg("schema_cache") = "",
            py::arg("prune_threshold") = 60, py::arg("prune_top_k") = 40,
            py::arg("allow_privileged_role") = py::none(),
            py::arg("no_values") = std::vector<std::string>{}, py::arg("value_index") = true)
        .def_property_readonly("dialect", &CustomSQLDatabase::dialect)
        .def("schema_fingerprint", &CustomSQLDatabase::schema_fingerprint,
             py::call_guard<py::gil_scoped_release>())
        .def("get_usable_table_names", &CustomSQLDatabase::get_usable_table_names,
             py::call_guard<py::gil_scoped_release>())
        .def("get_table_info_no_throw", &CustomSQLDatabase::get_table_info_no_throw,
             py::arg("table_names"), py::call_guard<py::gil_scoped_release>())
        .def(
            "run",
            [](const CustomSQLDatabase& db, const std::string& command, const std::string& fetch,
               bool include_columns) { return db.run(command, fetch, include_columns); },
            py::arg("command"), py::arg("fetch") = "all", py::arg("include_columns") = false,
            py::call_guard<py::gil_scoped_release>())
        .def(
            "value_hints",
            [](const CustomSQLDatabase& db, const std::string& question) {
                std::vector<zolviai::sql::ValueHint> hints;
                {
                    py::gil_scoped_release release;
                    hints = db.value_hints(question);
                }
                py::list out;
                for (const auto& h : hints) {
                    py::dict d;
                    d["table"] = h.table;
                    d["column"] = h.column;
                    d["value"] = h.value;
                    d["rows"] = h.count;
                    d["score"] = h.score;
                    d["phrase"] = h.phrase;
                    out.append(d);
                }
                return out;
            },
            py::arg("question"));
}
