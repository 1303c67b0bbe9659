// zolviai.dbtool: the host's database tools. The settings live in the core (read from the
// environment when this module is imported); the module attributes db_user, db_password,
// db_host, db_port and db_name show their current values. Result cells become the Python
// values the usual client libraries hand out (int, float, Decimal, str, bytes, date,
// datetime, time, timedelta, None).
#include "convert.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/dbtool/connections.hpp"
#include "zolviai/dbtool/query.hpp"
#include "zolviai/dbtool/schema.hpp"
#include "zolviai/dbtool/settings.hpp"

#include <datetime.h>
#include <map>
#include <pybind11/stl.h>
#include <set>
#include <tuple>

namespace py = pybind11;
namespace db = zolviai::dbtool;
namespace sql = zolviai::sql;

namespace {

// Python objects the conversions use, created once at import and kept for the process.
struct PythonTypes {
    PyObject* decimal = nullptr;
    PyObject* json_loads = nullptr;
    PyObject* database_error = nullptr;
    std::map<int, PyObject*> zones; // UTC offset in seconds -> datetime.timezone
};

PythonTypes& types() {
    static PythonTypes* t = new PythonTypes();
    return *t;
}

py::object steal(PyObject* o) {
    if (o == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(o);
}

PyObject* zone(int offset) {
    auto& zones = types().zones;
    auto known = zones.find(offset);
    if (known != zones.end()) {
        return known->second;
    }
    PyObject* zone = offset == 0
                         ? (Py_INCREF(PyDateTime_TimeZone_UTC), PyDateTime_TimeZone_UTC)
                         : PyTimeZone_FromOffset(steal(PyDelta_FromDSU(0, offset, 0)).ptr());
    if (zone == nullptr) {
        throw py::error_already_set();
    }
    zones.emplace(offset, zone);
    return zone;
}

// A new reference to the Python value of one cell.
PyObject* to_python(const sql::Cell& c) {
    const sql::DateTime& t = c.when;
    switch (c.type) {
    case sql::CellType::Null:
        Py_RETURN_NONE;
    case sql::CellType::Bool:
        return PyBool_FromLong(c.boolean);
    case sql::CellType::Integer:
        return PyLong_FromLongLong(c.integer);
    case sql::CellType::Float:
        return PyFloat_FromDouble(c.real);
    case sql::CellType::Decimal: {
        py::object digits = steal(PyUnicode_FromStringAndSize(c.text.data(), c.text.size()));
        return PyObject_CallOneArg(types().decimal, digits.ptr());
    }
    case sql::CellType::Text:
    case sql::CellType::Uuid:
        return PyUnicode_DecodeUTF8(c.text.data(), c.text.size(), "replace");
    case sql::CellType::Bytes:
        return PyBytes_FromStringAndSize(c.text.data(), c.text.size());
    case sql::CellType::Date:
        return PyDate_FromDate(t.year, t.month, t.day);
    case sql::CellType::Time:
        return PyDateTimeAPI->Time_FromTime(t.hour, t.minute, t.second, t.microsecond,
                                            t.has_offset ? zone(t.utc_offset) : Py_None,
                                            PyDateTimeAPI->TimeType);
    case sql::CellType::Timestamp:
    case sql::CellType::TimestampTz:
        return PyDateTimeAPI->DateTime_FromDateAndTime(
            t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond,
            t.has_offset ? zone(t.utc_offset) : Py_None, PyDateTimeAPI->DateTimeType);
    case sql::CellType::Interval:
        return PyDelta_FromDSU(static_cast<int>(c.span.days), static_cast<int>(c.span.seconds),
                               static_cast<int>(c.span.microseconds));
    case sql::CellType::Json: {
        py::object text = steal(PyUnicode_DecodeUTF8(c.text.data(), c.text.size(), "replace"));
        return PyObject_CallOneArg(types().json_loads, text.ptr());
    }
    }
    Py_RETURN_NONE;
}

py::tuple row_tuple(const sql::Row& row) {
    py::tuple out = py::reinterpret_steal<py::tuple>(steal(PyTuple_New(row.size())).release());
    for (std::size_t i = 0; i < row.size(); ++i) {
        PyTuple_SET_ITEM(out.ptr(), i, steal(to_python(row[i])).release().ptr());
    }
    return out;
}

// Keys of map rows: the column names; a name seen before gets its table in front
// ("orders.id"), as the MySQL clients' map cursors do, so no value is lost to a repeat.
std::vector<py::object> column_keys(const std::vector<sql::Column>& columns) {
    std::vector<py::object> keys;
    keys.reserve(columns.size());
    std::set<std::string> seen;
    for (const sql::Column& c : columns) {
        std::string key = c.name;
        if (!seen.insert(key).second && !c.table.empty()) {
            key = c.table + "." + c.name;
            seen.insert(key);
        }
        keys.push_back(steal(PyUnicode_DecodeUTF8(key.data(), key.size(), "replace")));
    }
    return keys;
}

py::dict row_dict(const sql::Row& row, const std::vector<py::object>& keys) {
    py::dict out;
    for (std::size_t i = 0; i < row.size(); ++i) {
        py::object value = steal(to_python(row[i]));
        if (PyDict_SetItem(out.ptr(), keys[i].ptr(), value.ptr()) != 0) {
            throw py::error_already_set();
        }
    }
    return out;
}

py::list rows_of(const std::vector<sql::Row>& rows, std::size_t begin, std::size_t end,
                 const std::vector<sql::Column>& columns, db::RowForm form) {
    py::list out = steal(PyList_New(static_cast<Py_ssize_t>(end - begin)));
    if (form == db::RowForm::Tuples) {
        for (std::size_t i = begin; i < end; ++i) {
            PyList_SET_ITEM(out.ptr(), i - begin, row_tuple(rows[i]).release().ptr());
        }
        return out;
    }
    const std::vector<py::object> keys = column_keys(columns);
    for (std::size_t i = begin; i < end; ++i) {
        PyList_SET_ITEM(out.ptr(), i - begin, row_dict(rows[i], keys).release().ptr());
    }
    return out;
}

std::string type_name(py::handle o) {
    return py::str(o.get_type().attr("__name__")).cast<std::string>();
}

sql::DateTime clock_of(int hour, int minute, int second, int micro, PyObject* offset_owner) {
    sql::DateTime t;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.microsecond = micro;
    py::object offset = steal(PyObject_CallMethod(offset_owner, "utcoffset", nullptr));
    if (!offset.is_none()) {
        t.has_offset = true;
        t.utc_offset = PyDateTime_DELTA_GET_DAYS(offset.ptr()) * 86400 +
                       PyDateTime_DELTA_GET_SECONDS(offset.ptr());
    }
    return t;
}

// The cell a statement parameter binds as.
sql::Cell to_cell(py::handle o) {
    PyObject* p = o.ptr();
    if (p == Py_None) {
        return sql::Cell::null();
    }
    if (PyBool_Check(p)) {
        return sql::Cell::of_bool(p == Py_True);
    }
    if (PyLong_Check(p)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (overflow != 0) {
            return sql::Cell::of_decimal(py::str(o).cast<std::string>());
        }
        return sql::Cell::of_int(v);
    }
    if (PyFloat_Check(p)) {
        return sql::Cell::of_float(PyFloat_AS_DOUBLE(p));
    }
    if (PyObject_IsInstance(p, types().decimal) == 1) {
        return sql::Cell::of_decimal(py::str(o).cast<std::string>());
    }
    if (PyUnicode_Check(p)) {
        return sql::Cell::of_text(o.cast<std::string>());
    }
    if (PyBytes_Check(p) || PyByteArray_Check(p) || PyMemoryView_Check(p)) {
        return sql::Cell::of_bytes(py::bytes(steal(PyBytes_FromObject(p))).cast<std::string>());
    }
    if (PyDateTime_Check(p)) {
        sql::DateTime t =
            clock_of(PyDateTime_DATE_GET_HOUR(p), PyDateTime_DATE_GET_MINUTE(p),
                     PyDateTime_DATE_GET_SECOND(p), PyDateTime_DATE_GET_MICROSECOND(p), p);
        t.year = PyDateTime_GET_YEAR(p);
        t.month = PyDateTime_GET_MONTH(p);
        t.day = PyDateTime_GET_DAY(p);
        return sql::Cell::of_timestamp(t);
    }
    if (PyDate_Check(p)) {
        return sql::Cell::of_date(PyDateTime_GET_YEAR(p), PyDateTime_GET_MONTH(p),
                                  PyDateTime_GET_DAY(p));
    }
    if (PyTime_Check(p)) {
        return sql::Cell::of_time(
            clock_of(PyDateTime_TIME_GET_HOUR(p), PyDateTime_TIME_GET_MINUTE(p),
                     PyDateTime_TIME_GET_SECOND(p), PyDateTime_TIME_GET_MICROSECOND(p), p));
    }
    if (PyDelta_Check(p)) {
        sql::Interval span;
        span.days = PyDateTime_DELTA_GET_DAYS(p);
        span.seconds = PyDateTime_DELTA_GET_SECONDS(p);
        span.microseconds = PyDateTime_DELTA_GET_MICROSECONDS(p);
        return sql::Cell::of_interval(span);
    }
    throw zolviai::TypeError("can't adapt type '" + type_name(o) + "'");
}

std::optional<db::Parameters> parameters_of(py::handle params) {
    if (params.is_none()) {
        return std::nullopt;
    }
    db::Parameters out;
    if (py::isinstance<py::list>(params) || py::isinstance<py::tuple>(params)) {
        for (py::handle item : params) {
            out.positional.push_back(to_cell(item));
        }
        return out;
    }
    if (py::hasattr(params, "keys") && py::hasattr(params, "__getitem__")) {
        out.by_name = true;
        for (py::handle key : params.attr("keys")()) {
            out.named.emplace_back(py::str(key).cast<std::string>(), to_cell(params[key]));
        }
        return out;
    }
    throw zolviai::TypeError("parameters must be a list, a tuple or a mapping, not " +
                             type_name(params));
}

// A text argument: None stays absent, anything else is its str().
std::optional<std::string> text_of(py::handle o) {
    if (o.is_none()) {
        return std::nullopt;
    }
    return py::str(o).cast<std::string>();
}

db::ConnectionParams params_of(py::handle user, py::handle password, py::handle host,
                               py::handle port, py::handle name) {
    db::ConnectionParams p;
    p.user = text_of(user);
    p.password = text_of(password);
    p.host = text_of(host);
    p.port = text_of(port);
    p.name = text_of(name);
    return p;
}

py::object optional_text(const std::optional<std::string>& value) {
    return value ? py::object(py::str(*value)) : py::none();
}

py::object description_of(const db::Cursor& cursor) {
    if (!cursor.has_rows()) {
        return py::none();
    }
    py::list out;
    for (const sql::Column& c : cursor.columns()) {
        out.append(py::make_tuple(c.name, c.type_name, py::none(), py::none(), py::none(),
                                  py::none(), py::none()));
    }
    return py::tuple(out);
}

py::object fetch(db::Cursor& cursor, std::int64_t count) {
    const auto [begin, end] = cursor.fetch(count);
    return rows_of(cursor.rows(), begin, end, cursor.columns(), cursor.row_form());
}

const char* engine_name(sql::Engine engine) {
    return engine == sql::Engine::Mysql ? "MySQL" : "PostgreSQL";
}

void register_connection_types(py::module_& m) {
    py::class_<db::Cursor, std::shared_ptr<db::Cursor>> cursor(
        m, "Cursor", "Runs statements on its connection and hands out their rows.",
        py::dynamic_attr());
    cursor
        .def(
            "execute",
            [](db::Cursor& self, const std::string& query, py::object params) -> py::object {
                std::optional<db::Parameters> values = parameters_of(params);
                {
                    py::gil_scoped_release release;
                    self.execute(query, values);
                }
                if (self.connection()->engine() == sql::Engine::Mysql) {
                    return py::int_(self.rowcount());
                }
                return py::none();
            },
            py::arg("query"), py::arg("params") = py::none(),
            "Runs one statement; %s and %(name)s take the parameters when they are given.")
        .def(
            "fetchone",
            [](db::Cursor& self) -> py::object {
                const auto [begin, end] = self.fetch(1);
                if (begin == end) {
                    return py::none();
                }
                py::list rows = rows_of(self.rows(), begin, end, self.columns(), self.row_form());
                return rows[0];
            },
            "The next row, or None.")
        .def(
            "fetchmany",
            [](py::object self, py::object size) {
                const py::object wanted = size.is_none() ? self.attr("arraysize") : size;
                const std::int64_t n = wanted.cast<std::int64_t>();
                return fetch(self.cast<db::Cursor&>(), std::max<std::int64_t>(n, 0));
            },
            py::arg("size") = py::none(), "The next size rows (arraysize when not given).")
        .def(
            "fetchall", [](db::Cursor& self) { return fetch(self, -1); }, "All remaining rows.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__",
             [](db::Cursor& self) -> py::object {
                 const auto [begin, end] = self.fetch(1);
                 if (begin == end) {
                     throw py::stop_iteration();
                 }
                 return rows_of(self.rows(), begin, end, self.columns(), self.row_form())[0];
             })
        .def_property_readonly("description", &description_of,
                               "One 7-item tuple per column (name, type name, then five None); "
                               "None when the last statement gave no rows.")
        .def_property_readonly("rowcount", &db::Cursor::rowcount)
        .def_property_readonly("connection", &db::Cursor::connection)
        .def_property_readonly("closed", &db::Cursor::closed)
        .def("close", &db::Cursor::close)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](db::Cursor& self, py::args) { self.close(); });
    cursor.attr("arraysize") = 1;

    py::class_<db::HostConnection, std::shared_ptr<db::HostConnection>>(
        m, "Connection",
        "An open MySQL or PostgreSQL connection. The caller owns it and must close it.")
        .def(
            "cursor",
            [](std::shared_ptr<db::HostConnection> self, std::optional<bool> dict_rows) {
                const bool maps = dict_rows.value_or(self->engine() == sql::Engine::Mysql);
                return std::make_shared<db::Cursor>(std::move(self),
                                                    maps ? db::RowForm::Maps : db::RowForm::Tuples);
            },
            py::arg("dict_rows") = py::none(),
            "A new cursor. Rows are dicts on MySQL and tuples on PostgreSQL unless dict_rows "
            "says otherwise.")
        .def("commit", &db::HostConnection::commit, py::call_guard<py::gil_scoped_release>())
        .def("rollback", &db::HostConnection::rollback, py::call_guard<py::gil_scoped_release>())
        .def("close", &db::HostConnection::close, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("closed", &db::HostConnection::closed)
        .def_property_readonly(
            "engine", [](const db::HostConnection& self) { return engine_name(self.engine()); })
        .def_property("autocommit", &db::HostConnection::autocommit,
                      [](db::HostConnection& self, bool on) {
                          py::gil_scoped_release release;
                          self.set_autocommit(on);
                      })
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](db::HostConnection& self, py::object type, py::args) {
            const bool succeeded = type.is_none();
            py::gil_scoped_release release;
            self.end_block(succeeded);
        });
}

py::object connection_or_none(std::shared_ptr<db::HostConnection> connection) {
    return connection ? py::cast(std::move(connection)) : py::none();
}

} // namespace

PYBIND11_MODULE(dbtool, m) {
    zolviai::bindings::init_common();
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) {
        throw py::error_already_set();
    }
    m.doc() = "Database tools for the host: settings, a connection test, schema listing and "
              "statement execution for MySQL and PostgreSQL.";
    types().decimal = py::object(py::module_::import("decimal").attr("Decimal")).release().ptr();
    types().json_loads = py::object(py::module_::import("json").attr("loads")).release().ptr();
    types().database_error = PyErr_NewExceptionWithDoc(
        "zolviai.dbtool.DatabaseError",
        "A statement or connection failed on a Connection or Cursor.", PyExc_Exception, nullptr);
    m.attr("DatabaseError") = py::handle(types().database_error);
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            std::rethrow_exception(p);
        } catch (const zolviai::DatabaseError& e) {
            PyErr_SetString(types().database_error, e.what());
        }
    });
    db::load_database_settings();
    register_connection_types(m);

    m.def(
        "__getattr__",
        [](const std::string& name) -> py::object {
            const db::DatabaseSettings s = db::database_settings();
            if (name == "db_user") {
                return optional_text(s.db_user);
            }
            if (name == "db_password") {
                return optional_text(s.db_password);
            }
            if (name == "db_host") {
                return optional_text(s.db_host);
            }
            if (name == "db_name") {
                return optional_text(s.db_name);
            }
            if (name == "db_port") {
                return py::int_(s.db_port);
            }
            throw py::attribute_error("module 'zolviai.dbtool' has no attribute '" + name + "'");
        },
        py::arg("name"));

    m.def(
        "set_database_config",
        [](py::object name, py::object user, py::object password, py::object host,
           py::object port) {
            std::optional<std::int64_t> number;
            if (PyLong_Check(port.ptr())) {
                int overflow = 0;
                const long long v = PyLong_AsLongLongAndOverflow(port.ptr(), &overflow);
                if (overflow == 0) {
                    number = v;
                }
            }
            db::set_database_config(text_of(name), text_of(user), text_of(password), text_of(host),
                                    number);
        },
        py::arg("name"), py::arg("user"), py::arg("password"), py::arg("host"), py::arg("port"),
        "Replaces the database settings; ValueError when a text is None or port is not an "
        "int.");
    m.def("check_db_config_variables", &db::check_db_config_variables,
          "Prints which settings are missing or empty and returns their names.");
    m.def(
        "get_db_connection",
        [](py::object engine, py::object db_user, py::object db_password, py::object db_host,
           py::object db_port, py::object db_name) {
            const std::string name =
                py::isinstance<py::str>(engine) ? engine.cast<std::string>() : std::string();
            const db::ConnectionParams p =
                params_of(db_user, db_password, db_host, db_port, db_name);
            py::gil_scoped_release release;
            return db::get_db_connection(name, p);
        },
        py::arg("engine"), py::arg("db_user"), py::arg("db_password"), py::arg("db_host"),
        py::arg("db_port"), py::arg("db_name"),
        "Tests a connection to \"MySQL\", \"PostgreSQL\" or \"MsSQL\" and returns a status text.");
    for (const auto& [name, open, doc] :
         {std::tuple{"get_mysql_db_connection", &db::get_mysql_db_connection,
                     "An open MySQL Connection (dict rows), or None."},
          std::tuple{"get_pgdb_connection", &db::get_pgdb_connection,
                     "An open PostgreSQL Connection (tuple rows), or None."}}) {
        m.def(
            name,
            [open = open](py::object db_user, py::object db_password, py::object db_host,
                          py::object db_port, py::object db_name) {
                const db::ConnectionParams p =
                    params_of(db_user, db_password, db_host, db_port, db_name);
                std::shared_ptr<db::HostConnection> c;
                {
                    py::gil_scoped_release release;
                    c = open(p);
                }
                return connection_or_none(std::move(c));
            },
            py::arg("db_user"), py::arg("db_password"), py::arg("db_host"), py::arg("db_port"),
            py::arg("db_name"), doc);
    }

    for (const auto& [name, read, doc] :
         {std::tuple{"get_mysql_database_schema", &db::get_mysql_database_schema,
                     "{table: [{'name': ..., 'type': ...}, ...]} of the configured MySQL "
                     "database, or None."},
          std::tuple{"get_pgdb_schema", &db::get_pgdb_schema,
                     "{table: [{'name': ..., 'type': ...}, ...]} of schema public, or None."}}) {
        m.def(
            name,
            [read = read]() -> py::object {
                std::optional<zolviai::Value> schema;
                {
                    py::gil_scoped_release release;
                    schema = read();
                }
                return schema ? zolviai::bindings::from_value(*schema) : py::none();
            },
            doc);
    }
    for (const auto& [name, run, form, doc] :
         {std::tuple{"execute_mysql_query", &db::execute_mysql_query, db::RowForm::Maps,
                     "The statement's rows as dicts; nothing is committed."},
          std::tuple{"execute_pgdb_query", &db::execute_pgdb_query, db::RowForm::Tuples,
                     "Rows as tuples for a SELECT; other statements are committed and give "
                     "None."}}) {
        m.def(
            name,
            [run = run, form = form](const std::string& sql_query) -> py::object {
                std::optional<sql::ResultSet> result;
                {
                    py::gil_scoped_release release;
                    result = run(sql_query);
                }
                if (!result) {
                    return py::none();
                }
                return rows_of(result->rows, 0, result->rows.size(), result->columns, form);
            },
            py::arg("sql_query"), doc);
    }
}
