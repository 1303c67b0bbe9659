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

// zolviai.errors.DatabaseError, looked up when the module initialises and kept for the
// interpreter's life, so that raising it never imports. Set and read with the GIL held.
PyObject* database_error = nullptr;

void look_up_exception_classes() {
    if (database_error != nullptr) {
        return;
    }
    py::object found = py::module_::import("zolviai.errors").attr("DatabaseError");
    // The import may have let another thread of this module's initialisation in first.
    if (database_error == nullptr) {
        database_error = found.release().ptr();
    }
}

// The Python-visible contract: failures Python has a class for raise that class, database
// failures raise zolviai.errors.DatabaseError, the rest RuntimeError.
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
        PyErr_SetString(database_error != nullptr ? database_error : PyExc_RuntimeError, e.what());
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
