// What every module sets up when it is imported: the translation of our errors into Python's
// exception classes and the console sink that writes to sys.stdout/sys.stderr.
#include "convert.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/settings.hpp"
#include "zolviai/pyexec/python_runner.hpp"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>

namespace py = pybind11;

namespace zolviai::bindings {
namespace {

// zolviai.errors' classes by error kind, looked up when the module initialises and kept for
// the interpreter's life, so that raising one never imports. Set and read with the GIL held.
PyObject* error_classes[error_kind_count] = {};

void look_up_exception_classes() {
    if (error_classes[static_cast<int>(ErrorKind::Database)] != nullptr) {
        return;
    }
    py::module_ errors = py::module_::import("zolviai.errors");
    for (ErrorKind kind :
         {ErrorKind::Database, ErrorKind::StatementRefused, ErrorKind::StatementTimeout,
          ErrorKind::DatabaseUnavailable, ErrorKind::Model, ErrorKind::ModelUnavailable,
          ErrorKind::ModelAnswerInvalid}) {
        py::object found = errors.attr(error_kind_name(kind));
        // The import may have let another thread of this module's initialisation in first.
        PyObject*& slot = error_classes[static_cast<int>(kind)];
        if (slot == nullptr) {
            slot = found.release().ptr();
        }
    }
}

// Raises the class of the error's kind; `fallback` before the classes are known.
void raise_as(const Error& e, PyObject* fallback) {
    PyObject* type = error_classes[static_cast<int>(e.kind())];
    PyErr_SetString(type != nullptr ? type : fallback, e.what());
}

// The Python-visible contract: failures Python has a class for raise that class, database
// failures zolviai.errors.DatabaseError (or the subclass of its kind), the model's failures
// zolviai.errors.ModelError (a RuntimeError; ModelAnswerInvalid for an unusable answer), the
// rest RuntimeError.
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
        raise_as(e, PyExc_RuntimeError);
    } catch (const ModelError& e) {
        raise_as(e, PyExc_RuntimeError);
    } catch (const OutputParsingError& e) {
        raise_as(e, PyExc_RuntimeError);
    } catch (const pyexec::Interrupted& e) {
        PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
    } catch (const Error& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
}

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
            py::handle target = PySys_GetObject(stream); // borrowed; nullptr when unset
            if (target && !target.is_none()) {
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

} // namespace

// A Python host's settings: its environment (os.environ writes through to it, so it is looked
// up as each setting is read) and the .env file of the working directory.
void install_process_settings() {
    Settings settings;
    settings.set_environment([](const std::string& name) -> std::optional<std::string> {
        const char* v = std::getenv(name.c_str());
        return v ? std::optional<std::string>(v) : std::nullopt;
    });
    if (std::ifstream in(".env", std::ios::binary); in) {
        std::ostringstream text;
        text << in.rdbuf();
        settings.set_dotenv(Settings::parse_dotenv(text.str()));
    }
    install_settings(std::move(settings));
}

bool environment_allows_privileged_role() {
    return settings()->enabled("ZOLVI_ALLOW_PRIVILEGED_ROLE");
}

void init_common() {
    look_up_exception_classes();
    static std::once_flag once;
    std::call_once(once, [] {
        install_process_settings();
        set_console_sink(std::make_shared<PythonConsoleSink>());
        py::register_exception_translator(&translate);
    });
}

} // namespace zolviai::bindings
