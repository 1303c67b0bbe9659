// zolviai.master: start-up preparation of the code runner, reporting problems as printed
// lines. It re-exports the code runner's public names; its operations act on the code
// runner's own settings.
#include "convert.hpp"
#include "zolviai/core/console.hpp"

namespace py = pybind11;

namespace {

// Calls an operation of zolviai.coderunner; an ordinary error (not an interruption or an
// exit request) becomes the printed line prefix + its text.
void guarded(const char* operation, py::object argument, const char* prefix) {
    py::module_ coderunner = py::module_::import("zolviai.coderunner");
    try {
        coderunner.attr(operation)(argument);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        zolviai::print_line(prefix + py::str(e.value()).cast<std::string>());
    }
}

} // namespace

PYBIND11_MODULE(master, m) {
    zolviai::bindings::init_common();
    m.doc() = "Start-up preparation of the code runner's environment.";
    zolviai::bindings::reexport_public_names("zolviai.coderunner", m);
    m.def(
        "initialize_env",
        [](py::object env_path) {
            guarded("initialize_environment", env_path, "An error occurred during initilization: ");
        },
        py::arg("env_path"),
        "Prepares the code runner's environment at env_path; errors are printed, not raised.");
    m.def(
        "safe_install_modules",
        [](py::object module_names) {
            py::module_ coderunner = py::module_::import("zolviai.coderunner");
            coderunner.attr("safe_install_modules")(module_names);
        },
        py::arg("module_names"),
        "Installs the named modules and prints one outcome line; never raises.");
}
