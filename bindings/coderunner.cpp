// zolviai.coderunner: the private virtual environment, guarded module installation and code
// execution in this module's own namespace. env_path and python_executable are attributes of
// the module (code run by execute_code may read and replace them), so every operation reads
// them from the module before it runs and writes them back after.
#include "convert.hpp"
#include "zolviai/coderunner/environment.hpp"
#include "zolviai/pyexec/python_namespace.hpp"

#include <optional>
#include <pybind11/stl.h>

namespace py = pybind11;
namespace cr = zolviai::coderunner;

namespace {

std::optional<std::string> optional_text(py::handle module, const char* name) {
    py::object value = module.attr(name);
    if (value.is_none()) {
        return std::nullopt;
    }
    return py::str(value).cast<std::string>();
}

// Builds this call's own settings from the module's attributes, runs fn on them without the
// GIL (it starts child processes), and copies them back, also when fn raises. Nothing is
// shared with a call running meanwhile on another thread.
template <class Fn>
void with_settings(py::module_ m, Fn fn) {
    cr::Settings s = cr::startup_settings();
    s.env_path = optional_text(m, "env_path");
    s.python_executable = optional_text(m, "python_executable");
    s.base_python = py::module_::import("sys").attr("executable").cast<std::string>();
    auto write_back = [&] {
        m.attr("env_path") = s.env_path ? py::object(py::str(*s.env_path)) : py::none();
        m.attr("python_executable") =
            s.python_executable ? py::object(py::str(*s.python_executable)) : py::none();
    };
    try {
        {
            py::gil_scoped_release release;
            fn(s);
        }
        write_back();
    } catch (...) {
        write_back();
        throw;
    }
}

std::vector<std::string> names_of(py::handle list) {
    std::vector<std::string> names;
    for (py::handle item : list) {
        names.push_back(py::str(item).cast<std::string>());
    }
    return names;
}

} // namespace

PYBIND11_MODULE(coderunner, m) {
    zolviai::bindings::init_common();
    m.doc() = "The code runner: a private virtual environment, module installation into it, "
              "and Python code execution with printed output captured.";
    for (const char* name : {"ast", "io", "os", "sys", "subprocess", "venv"}) {
        m.attr(name) = py::module_::import(name);
    }
    m.attr("env_path") = py::none();
    m.attr("python_executable") = py::none();

    m.def(
        "initialize_environment",
        [m](py::object env_path_param) {
            std::optional<std::string> path;
            if (!env_path_param.is_none()) {
                path = py::str(env_path_param).cast<std::string>();
            }
            with_settings(m, [&](cr::Settings& s) {
                // An unset path reaches the existence test, which reports it.
                if (!path) {
                    s.env_path.reset();
                    cr::ensure_virtual_environment(s);
                    return;
                }
                cr::initialize_environment(s, *path);
            });
        },
        py::arg("env_path_param"),
        "Sets env_path and makes sure the environment exists; creates it and installs the "
        "default modules when nothing is at the path.");
    m.def(
        "ensure_virtual_environment",
        [m]() { with_settings(m, [](cr::Settings& s) { cr::ensure_virtual_environment(s); }); },
        "Creates the environment at env_path when nothing is there and sets python_executable.");
    m.def(
        "install_defaults",
        [m]() { with_settings(m, [](cr::Settings& s) { cr::install_defaults(s); }); },
        "Installs matplotlib, scikit-learn, numpy, statsmodels, pandas and scipy.");
    m.def(
        "safe_install_modules",
        [m](py::object module_names) {
            const auto names = names_of(module_names);
            with_settings(m, [&](cr::Settings& s) { cr::safe_install_modules(s, names); });
        },
        py::arg("module_names"),
        "Installs the named modules and prints one outcome line; never raises.");
    m.def(
        "install_dependencies",
        [m](py::object dependencies) {
            const auto names = names_of(dependencies);
            with_settings(m, [&](cr::Settings& s) { cr::install_dependencies(s, names); });
        },
        py::arg("dependencies"),
        "Runs python_executable -m pip install NAME once per name; installer failures do not "
        "stop the remaining names.");
    m.def(
        "execute_code",
        [m](const std::string& code) {
            return zolviai::pyexec::execute_code_in(m.attr("__dict__").ptr(), code);
        },
        py::arg("code"),
        "Runs Python source in this module's namespace and returns what it printed.");
}
