#include "convert.hpp"

#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/pyexec/python_runner.hpp"

#include <mutex>
#include <unistd.h>

namespace py = pybind11;

namespace zolviai::bindings {
namespace {

// Printed lines go through sys.stdout/sys.stderr, so a host's redirection and capture work
// as for its own prints.
class PythonConsoleSink : public ConsoleSink {
public:
    void write_out(std::string_view text) override { write("stdout", STDOUT_FILENO, text); }
    void write_err(std::string_view text) override { write("stderr", STDERR_FILENO, text); }

private:
    static void write(const char* stream, int fd, std::string_view text) {
        if (!Py_IsInitialized()) {
            (void)!::write(fd, text.data(), text.size());
            return;
        }
        // The interpreter's own bookkeeping: the graph engine may call from threads Python
        // has never seen.
        const PyGILState_STATE gil = PyGILState_Ensure();
        {
            py::object target = py::module_::import("sys").attr(stream);
            if (!target.is_none()) {
                try {
                    target.attr("write")(py::str(text.data(), text.size()));
                } catch (py::error_already_set&) {
                    // A host stream that fails must not turn a printed line into an error.
                }
            }
        }
        PyGILState_Release(gil);
    }
};

void translate(std::exception_ptr p) {
    try {
        std::rethrow_exception(p);
    } catch (const MissingFieldError& e) {
        PyErr_SetObject(PyExc_KeyError, py::str(e.field()).ptr());
    } catch (const KeyError& e) {
        PyErr_SetObject(PyExc_KeyError, py::str(e.key()).ptr());
    } catch (const TypeError& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const ValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const IndexError& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const IoError& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const TimeoutError& e) {
        PyErr_SetString(PyExc_TimeoutError, e.what());
    } catch (const DatabaseError& e) {
        // The class zolviai.flow_graph.custom_sql defines; importing it defines it.
        PyObject* cls = PyExc_RuntimeError;
        py::object holder;
        try {
            holder = py::module_::import("zolviai.flow_graph.custom_sql").attr("DatabaseError");
            cls = holder.ptr();
        } catch (py::error_already_set&) {
        }
        PyErr_SetString(cls, e.what());
    } catch (const pyexec::Interrupted& e) {
        PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
    } catch (const Error& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
}

} // namespace

Value to_value(py::handle o) {
    if (o.is_none()) {
        return nullptr;
    }
    if (py::isinstance<py::bool_>(o)) {
        return o.cast<bool>();
    }
    if (py::isinstance<py::int_>(o)) {
        return o.cast<std::int64_t>();
    }
    if (py::isinstance<py::float_>(o)) {
        return o.cast<double>();
    }
    if (py::isinstance<py::str>(o)) {
        return o.cast<std::string>();
    }
    if (py::isinstance<py::bytes>(o)) {
        const std::string bytes = o.cast<std::string>();
        return Value::binary(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    if (py::isinstance<py::dict>(o)) {
        Value out = Value::object();
        for (const auto& [key, item] : o.cast<py::dict>()) {
            out[py::str(key).cast<std::string>()] = to_value(item);
        }
        return out;
    }
    if (py::isinstance<py::list>(o) || py::isinstance<py::tuple>(o)) {
        Value out = Value::array();
        for (const auto& item : o) {
            out.push_back(to_value(item));
        }
        return out;
    }
    throw TypeError(std::string("cannot convert a value of type '") +
                    py::str(o.get_type().attr("__name__")).cast<std::string>() + "'");
}

py::object from_value(const Value& v) {
    switch (v.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
        return py::none();
    case Value::value_t::boolean:
        return py::bool_(v.get<bool>());
    case Value::value_t::number_integer:
        return py::int_(v.get<std::int64_t>());
    case Value::value_t::number_unsigned:
        return py::int_(v.get<std::uint64_t>());
    case Value::value_t::number_float:
        return py::float_(v.get<double>());
    case Value::value_t::string:
        return py::str(v.get_ref<const std::string&>());
    case Value::value_t::binary: {
        const auto& b = v.get_binary();
        return py::bytes(reinterpret_cast<const char*>(b.data()), b.size());
    }
    case Value::value_t::array: {
        py::list out;
        for (const auto& item : v) {
            out.append(from_value(item));
        }
        return out;
    }
    case Value::value_t::object: {
        py::dict out;
        for (const auto& [key, item] : v.items()) {
            out[py::str(key)] = from_value(item);
        }
        return out;
    }
    }
    return py::none();
}

void init_common() {
    static std::once_flag once;
    std::call_once(once, [] {
        set_console_sink(std::make_shared<PythonConsoleSink>());
        py::register_exception_translator(&translate);
    });
}

} // namespace zolviai::bindings

namespace zolviai::bindings {

Value state_of(py::handle state) {
    if (!py::isinstance<py::dict>(state)) {
        throw TypeError(std::string("Argument 'state' has incorrect type (expected dict, got ") +
                        py::str(state.get_type().attr("__name__")).cast<std::string>() + ")");
    }
    return to_value(state);
}

} // namespace zolviai::bindings

namespace zolviai::bindings {

void reexport_public_names(const char* from, py::module_& to) {
    py::module_ source = py::module_::import(from);
    for (const auto& [name, value] : py::dict(source.attr("__dict__"))) {
        const std::string key = py::str(name);
        if (!key.empty() && key[0] != '_') {
            to.attr(name) = value;
        }
    }
}

} // namespace zolviai::bindings
