// zolviai.dbtool: the host's database tools. The settings live in the core (read from the
// environment when this module is imported); the module attributes db_user, db_password,
// db_host, db_port and db_name show their current values. Result cells become the Python
// values the usual client libraries hand out (convert.hpp); the core decides per engine
// which form rows take and what execute hands back (dbtool/rows).
#include "convert.hpp"
#include "value_memo.hpp"
#include "zolviai/dbtool/connections.hpp"
#include "zolviai/dbtool/query.hpp"
#include "zolviai/dbtool/rows.hpp"
#include "zolviai/dbtool/schema.hpp"
#include "zolviai/dbtool/settings.hpp"
#include "zolviai/sql/postgresql_binary.hpp"

#include <charconv>
#include <cstdlib>
#include <datetime.h>
#include <exception>
#include <memory>
#include <optional>
#include <pybind11/stl.h>
#include <sys/mman.h>
#include <tuple>

namespace py = pybind11;
namespace db = zolviai::dbtool;
namespace sql = zolviai::sql;

namespace {

py::object steal(PyObject* o) {
    if (o == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(o);
}

// Python values made straight from the bytes the client library read: integers, floats,
// decimals, text, dates and timestamps from their text or from PostgreSQL's binary forms,
// without a sql::Cell in between; any other type, and dates Python cannot hold, through the
// driver's own cell.
class RowBuilder {
public:
    // shape: rows (or a part of them) with the statement's columns and value forms.
    explicit RowBuilder(const sql::TextRows& shape) {
        if (PyDateTimeAPI == nullptr) {
            PyDateTime_IMPORT;
            if (PyDateTimeAPI == nullptr) {
                throw py::error_already_set();
            }
        }
        reads_.reserve(shape.columns.size());
        memos_.reserve(shape.columns.size());
        for (std::size_t c = 0; c < shape.columns.size(); ++c) {
            reads_.push_back(read_of(shape, c));
            memos_.push_back(memo_of(reads_.back()));
        }
    }

    // A new reference to the value of row r, column c of rows (which have the shape's
    // columns).
    PyObject* value(const sql::TextRows& rows, std::size_t r, std::size_t c) {
        std::size_t length = 0;
        const char* v = rows.value(r, c, length);
        if (v == nullptr) {
            Py_RETURN_NONE;
        }
        zolviai::bindings::ValueMemo* memo = memos_[c].get();
        if (memo == nullptr || !memo->on() || length > zolviai::bindings::ValueMemo::max_key) {
            return make(rows, r, c, v, length);
        }
        const zolviai::bindings::ValueMemo::Key key(v, length);
        if (PyObject* seen = memo->find(key)) {
            return seen;
        }
        PyObject* made = make(rows, r, c, v, length);
        if (made != nullptr) {
            memo->keep(key, made);
        }
        return made;
    }

private:
    // A new reference to the value of row r, column c made from its bytes v.
    PyObject* make(const sql::TextRows& rows, std::size_t r, std::size_t c, const char* v,
                   std::size_t length) {
        sql::DateTime t;
        switch (reads_[c]) {
        case Read::Integer:
            return integer(v, length);
        case Read::Float:
            return PyFloat_FromDouble(real(v, length));
        case Read::Decimal:
            return decimal(v, length);
        case Read::Text:
            return PyUnicode_DecodeUTF8(v, static_cast<Py_ssize_t>(length), "replace");
        case Read::Date:
            if (sql::parse_date(std::string_view(v, length), t)) {
                return PyDate_FromDate(t.year, t.month, t.day);
            }
            break;
        case Read::Timestamp:
            if (sql::parse_timestamp(std::string_view(v, length), t) && !t.has_offset) {
                return datetime(t);
            }
            break;
        case Read::BinaryInteger:
            return PyLong_FromLongLong(sql::pg_binary_integer(v, length));
        case Read::BinaryFloat:
            return PyFloat_FromDouble(sql::pg_binary_float(v, length));
        case Read::BinaryNumeric:
            scratch_.clear();
            if (sql::pg_binary_numeric(v, length, scratch_)) {
                return decimal(scratch_.data(), scratch_.size());
            }
            break;
        case Read::BinaryDate:
            if (sql::pg_binary_date(v, length, t, scratch_)) {
                return PyDate_FromDate(t.year, t.month, t.day);
            }
            break;
        case Read::BinaryTimestamp:
            if (sql::pg_binary_timestamp(v, length, t, scratch_)) {
                return datetime(t);
            }
            break;
        case Read::Cell:
            break;
        }
        return zolviai::bindings::from_cell(rows.cell(r, c)).release().ptr();
    }

    enum class Read : unsigned char {
        Integer,
        Float,
        Decimal,
        Text,
        Date,
        Timestamp,
        BinaryInteger,
        BinaryFloat,
        BinaryNumeric,
        BinaryDate,
        BinaryTimestamp,
        Cell,
    };

    static Read read_of(const sql::TextRows& rows, std::size_t c) {
        const sql::ValueForm form =
            c < rows.value_forms.size() ? rows.value_forms[c] : sql::ValueForm::Text;
        switch (form) {
        case sql::ValueForm::Integer:
            return Read::BinaryInteger;
        case sql::ValueForm::Float:
            return Read::BinaryFloat;
        case sql::ValueForm::Numeric:
            return Read::BinaryNumeric;
        case sql::ValueForm::Date:
            return Read::BinaryDate;
        case sql::ValueForm::Timestamp:
            return Read::BinaryTimestamp;
        case sql::ValueForm::Other:
            return Read::Cell;
        case sql::ValueForm::Text:
            break;
        }
        switch (c < rows.text_types.size() ? rows.text_types[c] : sql::CellType::Null) {
        case sql::CellType::Integer:
            return Read::Integer;
        case sql::CellType::Float:
            return Read::Float;
        case sql::CellType::Decimal:
            return Read::Decimal;
        case sql::CellType::Text:
            return Read::Text;
        case sql::CellType::Date:
            return Read::Date;
        case sql::CellType::Timestamp:
        case sql::CellType::TimestampTz:
            return Read::Timestamp;
        default:
            return Read::Cell;
        }
    }

    // Values worth sharing down a column: immutable ones dearer to make than a hash lookup.
    // Decimals always are; text, dates and timestamps only where they repeat.
    static std::unique_ptr<zolviai::bindings::ValueMemo> memo_of(Read read) {
        switch (read) {
        case Read::Decimal:
        case Read::BinaryNumeric:
            return std::make_unique<zolviai::bindings::ValueMemo>(false);
        case Read::Text:
        case Read::Date:
        case Read::Timestamp:
        case Read::BinaryDate:
        case Read::BinaryTimestamp:
            return std::make_unique<zolviai::bindings::ValueMemo>(true);
        default:
            return nullptr;
        }
    }

    static PyObject* datetime(const sql::DateTime& t) {
        return PyDateTime_FromDateAndTime(t.year, t.month, t.day, t.hour, t.minute, t.second,
                                          t.microsecond);
    }

    PyObject* decimal(const char* v, std::size_t length) {
        PyObject* digits = PyUnicode_FromStringAndSize(v, static_cast<Py_ssize_t>(length));
        if (digits == nullptr) {
            return nullptr;
        }
        PyObject* out = PyObject_CallOneArg(decimal_type(), digits);
        Py_DECREF(digits);
        return out;
    }

    // Up to 18 digits fit an int64 whatever they are; longer texts (unsigned 64-bit values
    // among them) go through Python's own parser.
    static PyObject* integer(const char* v, std::size_t length) {
        const bool negative = length > 0 && v[0] == '-';
        const std::size_t digits = length - (negative ? 1 : 0);
        if (digits == 0 || digits > 18) {
            return PyLong_FromString(v, nullptr, 10);
        }
        std::int64_t n = 0;
        for (std::size_t i = negative ? 1 : 0; i < length; ++i) {
            const unsigned d = static_cast<unsigned char>(v[i]) - '0';
            if (d > 9) {
                return PyLong_FromString(v, nullptr, 10);
            }
            n = n * 10 + d;
        }
        return PyLong_FromLongLong(negative ? -n : n);
    }

    // The shortest-digits parser first; the C library for what it does not read whole
    // ("Infinity", "NaN" as PostgreSQL spells them).
    static double real(const char* v, std::size_t length) {
        double out = 0;
        const auto [end, error] = std::from_chars(v, v + length, out);
        if (error == std::errc() && end == v + length) {
            return out;
        }
        return std::strtod(v, nullptr);
    }

    PyObject* decimal_type() {
        if (!decimal_) {
            decimal_ = py::module_::import("decimal").attr("Decimal");
        }
        return decimal_.ptr();
    }

    std::vector<Read> reads_; // how each column's values are read
    std::vector<std::unique_ptr<zolviai::bindings::ValueMemo>> memos_; // per column, or null
    std::string scratch_; // a numeric's digits, a date's text
    py::object decimal_;
};

// Rows [begin, end) as a list of tuples or of dicts (keys interned: one string per column).
py::list rows_of(const sql::TextRows& rows, std::size_t begin, std::size_t end, db::RowForm form);

// The cyclic collector would otherwise run every few hundred new rows, each pass visiting
// every row made so far; rows of plain values form no cycles, so it waits until they exist.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~CollectorPause() {
        if (was_enabled_) {
            PyGC_Enable();
        }
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

// While a result's rows are made, each new arena of the object allocator has its pages
// mapped in one call rather than one fault per page as the objects fill it.
class ArenaPrefault {
public:
    ArenaPrefault() {
        PyObject_GetArenaAllocator(&previous_);
        PyObjectArenaAllocator mine{this, &alloc, &release};
        PyObject_SetArenaAllocator(&mine);
    }
    ~ArenaPrefault() { PyObject_SetArenaAllocator(&previous_); }
    ArenaPrefault(const ArenaPrefault&) = delete;
    ArenaPrefault& operator=(const ArenaPrefault&) = delete;

private:
    static void* alloc(void* ctx, std::size_t size) {
        auto* self = static_cast<ArenaPrefault*>(ctx);
        void* arena = self->previous_.alloc(self->previous_.ctx, size);
        if (arena != nullptr) {
            ::madvise(arena, size, MADV_POPULATE_WRITE);
        }
        return arena;
    }
    static void release(void* ctx, void* ptr, std::size_t size) {
        auto* self = static_cast<ArenaPrefault*>(ctx);
        self->previous_.free(self->previous_.ctx, ptr, size);
    }

    PyObjectArenaAllocator previous_{};
};

// Python rows of one statement, made from its rows or from parts of them in turn.
class RowMaker {
public:
    RowMaker(const sql::TextRows& shape, db::RowForm form) : build_(shape), form_(form) {
        if (form_ == db::RowForm::Maps) {
            for (const std::string& key : db::map_row_keys(shape.columns)) {
                PyObject* k = PyUnicode_DecodeUTF8(key.data(), key.size(), "replace");
                if (k == nullptr) {
                    throw py::error_already_set();
                }
                PyUnicode_InternInPlace(&k);
                keys_.push_back(steal(k));
            }
        }
    }

    // Rows [begin, end) of rows, appended to out.
    void add(const sql::TextRows& rows, std::size_t begin, std::size_t end, py::list& out) {
        CollectorPause pause;
        ArenaPrefault prefault;
        const std::size_t width = rows.columns.size();
        for (std::size_t i = begin; i < end; ++i) {
            py::object row =
                steal(form_ == db::RowForm::Tuples ? tuple(rows, i, width) : map(rows, i, width));
            if (PyList_Append(out.ptr(), row.ptr()) != 0) {
                throw py::error_already_set();
            }
        }
    }

private:
    PyObject* tuple(const sql::TextRows& rows, std::size_t i, std::size_t width) {
        PyObject* row = PyTuple_New(static_cast<Py_ssize_t>(width));
        if (row == nullptr) {
            return nullptr;
        }
        bool holds_containers = false;
        for (std::size_t c = 0; c < width; ++c) {
            PyObject* v = build_.value(rows, i, c);
            if (v == nullptr) {
                Py_DECREF(row);
                return nullptr;
            }
            PyTuple_SET_ITEM(row, c, v);
            // As the collector itself judges it: any container but an untracked tuple may
            // come to hold a reference back to the row.
            holds_containers =
                holds_containers ||
                (PyObject_IS_GC(v) && (!PyTuple_CheckExact(v) || PyObject_GC_IsTracked(v)));
        }
        if (!holds_containers) {
            // A tuple of plain values can be part of no cycle: the collector would find that
            // out and stop tracking it on its first pass over the rows; we say so now, so
            // that no pass has to visit them.
            PyObject_GC_UnTrack(row);
        }
        return row;
    }

    PyObject* map(const sql::TextRows& rows, std::size_t i, std::size_t width) {
        PyObject* row = _PyDict_NewPresized(static_cast<Py_ssize_t>(width));
        if (row == nullptr) {
            return nullptr;
        }
        for (std::size_t c = 0; c < width; ++c) {
            PyObject* v = build_.value(rows, i, c);
            if (v == nullptr) {
                Py_DECREF(row);
                return nullptr;
            }
            const int failed = PyDict_SetItem(row, keys_[c].ptr(), v);
            Py_DECREF(v);
            if (failed != 0) {
                Py_DECREF(row);
                return nullptr;
            }
        }
        return row;
    }

    RowBuilder build_;
    db::RowForm form_;
    std::vector<py::object> keys_; // interned, one per column
};

py::list rows_of(const sql::TextRows& rows, std::size_t begin, std::size_t end, db::RowForm form) {
    py::list out = steal(PyList_New(0));
    RowMaker(rows, form).add(rows, begin, end, out);
    return out;
}

// Python rows made while the statement's later rows are still arriving: the driver hands
// each part over on the thread that let the GIL go, which takes it back for the part.
class PartRows {
public:
    explicit PartRows(db::RowForm form) : form_(form), made_(steal(PyList_New(0))) {}

    // Called without the GIL. A failure stops the making; made() reports it.
    void take(const sql::TextRows& part) {
        py::gil_scoped_acquire gil;
        if (failure_) {
            return;
        }
        try {
            if (!maker_) {
                maker_.emplace(part, form_);
            }
            maker_->add(part, 0, part.size(), made_);
        } catch (...) {
            failure_ = std::current_exception();
        }
    }

    // The rows made, with the GIL held; what stopped the making is raised.
    py::list made() {
        if (failure_) {
            std::exception_ptr failure = std::move(failure_);
            failure_ = nullptr;
            std::rethrow_exception(failure);
        }
        return made_;
    }

private:
    db::RowForm form_;
    py::list made_;
    std::optional<RowMaker> maker_;
    std::exception_ptr failure_;
};

py::list fetch(db::Cursor& cursor, std::int64_t count) {
    const auto [begin, end] = cursor.fetch(count);
    if (begin == end) {
        return py::list();
    }
    return rows_of(cursor.rows(), begin, end, cursor.row_form());
}

// The next row, or None when none is left.
py::object fetch_one(db::Cursor& cursor) {
    py::list rows = fetch(cursor, 1);
    return rows.empty() ? py::none() : py::object(rows[0]);
}

std::optional<db::Parameters> parameters_of(py::handle params) {
    if (params.is_none()) {
        return std::nullopt;
    }
    db::Parameters out;
    if (py::isinstance<py::list>(params) || py::isinstance<py::tuple>(params)) {
        for (py::handle item : params) {
            out.positional.push_back(item.cast<sql::Cell>());
        }
        return out;
    }
    if (py::hasattr(params, "keys") && py::hasattr(params, "__getitem__")) {
        out.by_name = true;
        for (py::handle key : params.attr("keys")()) {
            out.named.emplace_back(py::str(key).cast<std::string>(),
                                   py::object(params[key]).cast<sql::Cell>());
        }
        return out;
    }
    throw zolviai::TypeError("parameters must be a list, a tuple or a mapping, not " +
                             zolviai::bindings::type_name(params));
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

void init_cursor(py::module_& m) {
    py::class_<db::Cursor, std::shared_ptr<db::Cursor>> cursor(
        m, "Cursor", "Runs statements on its connection and hands out their rows.",
        py::dynamic_attr());
    cursor
        .def(
            "execute",
            [](db::Cursor& self, const std::string& query, py::object params) {
                std::optional<db::Parameters> values = parameters_of(params);
                py::gil_scoped_release release;
                self.execute(query, values);
                return db::execute_result(self);
            },
            py::arg("query"), py::arg("params") = py::none(),
            "Runs one statement; %s and %(name)s take the parameters when they are given.")
        .def("fetchone", &fetch_one, "The next row, or None.")
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
             [](db::Cursor& self) {
                 py::object row = fetch_one(self);
                 if (row.is_none()) {
                     throw py::stop_iteration();
                 }
                 return row;
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
}

void init_connection(py::module_& m) {
    py::class_<db::HostConnection, std::shared_ptr<db::HostConnection>>(
        m, "Connection",
        "An open MySQL or PostgreSQL connection. The caller owns it and must close it.")
        .def(
            "cursor",
            [](std::shared_ptr<db::HostConnection> self, std::optional<bool> dict_rows) {
                db::RowForm form = db::default_row_form(self->engine());
                if (dict_rows) {
                    form = *dict_rows ? db::RowForm::Maps : db::RowForm::Tuples;
                }
                return std::make_shared<db::Cursor>(std::move(self), form);
            },
            py::arg("dict_rows") = py::none(),
            "A new cursor. Rows are dicts on MySQL and tuples on PostgreSQL unless dict_rows "
            "says otherwise.")
        .def("commit", &db::HostConnection::commit, py::call_guard<py::gil_scoped_release>())
        .def("rollback", &db::HostConnection::rollback, py::call_guard<py::gil_scoped_release>())
        .def("close", &db::HostConnection::close, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("closed", &db::HostConnection::closed)
        .def_property_readonly(
            "engine", [](const db::HostConnection& self) { return db::engine_name(self.engine()); })
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

void init_settings(py::module_& m) {
    db::load_database_settings();
    m.def(
        "__getattr__",
        [](const std::string& name) -> py::object {
            const db::DatabaseSettings s = db::database_settings();
            for (const auto& [field, value] :
                 {std::pair{"db_user", &s.db_user}, std::pair{"db_password", &s.db_password},
                  std::pair{"db_host", &s.db_host}, std::pair{"db_name", &s.db_name}}) {
                if (name == field) {
                    return py::cast(*value);
                }
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
}

void init_connection_factories(py::module_& m) {
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
                py::gil_scoped_release release;
                return open(p); // None for a connection that could not be opened
            },
            py::arg("db_user"), py::arg("db_password"), py::arg("db_host"), py::arg("db_port"),
            py::arg("db_name"), doc);
    }
}

void init_operations(py::module_& m) {
    for (const auto& [name, read, doc] :
         {std::tuple{"get_mysql_database_schema", &db::get_mysql_database_schema,
                     "{table: [{'name': ..., 'type': ...}, ...]} of the configured MySQL "
                     "database, or None."},
          std::tuple{"get_pgdb_schema", &db::get_pgdb_schema,
                     "{table: [{'name': ..., 'type': ...}, ...]} of schema public, or None."}}) {
        m.def(name, read, py::call_guard<py::gil_scoped_release>(), doc);
    }
    m.def(
        "execute_mysql_query",
        [](const std::string& sql_query) -> py::object {
            std::unique_ptr<sql::TextRows> result;
            {
                py::gil_scoped_release release;
                result = db::execute_mysql_query(sql_query);
            }
            if (!result) {
                return py::none();
            }
            return rows_of(*result, 0, result->size(), db::default_row_form(sql::Engine::Mysql));
        },
        py::arg("sql_query"), "The statement's rows as dicts; nothing is committed.");
    m.def(
        "execute_pgdb_query",
        [](const std::string& sql_query) -> py::object {
            PartRows rows(db::default_row_form(sql::Engine::Postgresql));
            std::unique_ptr<sql::TextRows> result;
            {
                py::gil_scoped_release release;
                result = db::execute_pgdb_query(
                    sql_query, [&rows](const sql::TextRows& part) { rows.take(part); });
            }
            py::list made = rows.made();
            if (!result) {
                return py::none();
            }
            return made;
        },
        py::arg("sql_query"),
        "Rows as tuples for a SELECT; other statements are committed and give None.");
}

} // namespace

PYBIND11_MODULE(dbtool, m) {
    zolviai::bindings::init_common();
    m.doc() = "Database tools for the host: settings, a connection test, schema listing and "
              "statement execution for MySQL and PostgreSQL.";
    // The one class every module raises for database failures (zolviai.errors).
    m.attr("DatabaseError") = py::module_::import("zolviai.errors").attr("DatabaseError");
    init_settings(m);
    init_cursor(m);
    init_connection(m);
    init_connection_factories(m);
    init_operations(m);
}
