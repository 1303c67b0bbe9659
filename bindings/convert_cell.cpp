// Result cells and statement parameters: the Python values the usual database clients use.
#include "convert.hpp"

#include <datetime.h>
#include <map>

namespace py = pybind11;

namespace zolviai::bindings {
namespace {

// The Python objects the conversions need, looked up on first use and kept for the
// interpreter's life. Every access holds the GIL, which guards them: a lookup that imports
// may let another thread in, so a slot is filled only when it is still empty afterwards.
struct PythonObjects {
    PyObject* decimal = nullptr;
    PyObject* json_loads = nullptr;
    std::map<int, PyObject*> zones; // UTC offset in seconds -> datetime.timezone
};

PythonObjects& objects() {
    static PythonObjects* kept = new PythonObjects(); // never destroyed: outlives the interpreter
    return *kept;
}

PyObject* cached(PyObject*& slot, const char* module, const char* name) {
    if (slot != nullptr) {
        return slot;
    }
    py::object found = py::module_::import(module).attr(name);
    if (slot == nullptr) {
        slot = found.release().ptr();
    }
    return slot;
}

PyObject* decimal_type() {
    return cached(objects().decimal, "decimal", "Decimal");
}

PyObject* json_loads() {
    return cached(objects().json_loads, "json", "loads");
}

// The datetime C API of this file (datetime.h keeps it per translation unit).
void require_datetime_api() {
    if (PyDateTimeAPI != nullptr) {
        return;
    }
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) {
        throw py::error_already_set();
    }
}

py::object steal(PyObject* o) {
    if (o == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(o);
}

PyObject* zone(int offset) {
    auto& zones = objects().zones;
    auto known = zones.find(offset);
    if (known != zones.end()) {
        return known->second;
    }
    py::object made =
        offset == 0 ? py::reinterpret_borrow<py::object>(PyDateTime_TimeZone_UTC)
                    : steal(PyTimeZone_FromOffset(steal(PyDelta_FromDSU(0, offset, 0)).ptr()));
    // Creating the zone may run Python code that lets another thread cache it first.
    const auto [slot, inserted] = zones.emplace(offset, made.ptr());
    if (inserted) {
        made.release();
    }
    return slot->second;
}

PyObject* new_reference(const sql::Cell& c) {
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
        return PyObject_CallOneArg(decimal_type(), digits.ptr());
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
        return PyObject_CallOneArg(json_loads(), text.ptr());
    }
    }
    Py_RETURN_NONE;
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

sql::Cell integer_cell(py::handle o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (overflow != 0) {
        return sql::Cell::of_decimal(py::str(o).cast<std::string>());
    }
    return sql::Cell::of_int(v);
}

// Dates, times, timestamps and durations; std::nullopt for anything else.
std::optional<sql::Cell> calendar_cell(PyObject* p) {
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
    return std::nullopt;
}

} // namespace

py::object from_cell(const sql::Cell& cell) {
    require_datetime_api();
    return steal(new_reference(cell));
}

sql::Cell to_cell(py::handle o) {
    require_datetime_api();
    PyObject* p = o.ptr();
    if (p == Py_None) {
        return sql::Cell::null();
    }
    if (PyBool_Check(p)) {
        return sql::Cell::of_bool(p == Py_True);
    }
    if (PyLong_Check(p)) {
        return integer_cell(o);
    }
    if (PyFloat_Check(p)) {
        return sql::Cell::of_float(PyFloat_AS_DOUBLE(p));
    }
    if (PyObject_IsInstance(p, decimal_type()) == 1) {
        return sql::Cell::of_decimal(py::str(o).cast<std::string>());
    }
    if (PyUnicode_Check(p)) {
        return sql::Cell::of_text(o.cast<std::string>());
    }
    if (PyBytes_Check(p) || PyByteArray_Check(p) || PyMemoryView_Check(p)) {
        return sql::Cell::of_bytes(py::bytes(steal(PyBytes_FromObject(p))).cast<std::string>());
    }
    if (std::optional<sql::Cell> cell = calendar_cell(p)) {
        return std::move(*cell);
    }
    throw TypeError("can't adapt type '" + type_name(o) + "'");
}

} // namespace zolviai::bindings
