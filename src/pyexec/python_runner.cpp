#include "zolviai/pyexec/python_runner.hpp"

#include "zolviai/pyexec/python_namespace.hpp"

#include <cstdlib>
#include <future>
#include <mutex>
#include <pybind11/embed.h>
#include <thread>

namespace py = pybind11;

namespace zolviai::pyexec {
namespace {

// The Python side of the runner, installed once per interpreter as a module of its own.
// The router replaces sys.stdout only while at least one run is capturing, and puts back
// the stream it found once the last run ends.
const char* kRunnerSource = R"PY(
import ast, io, sys, threading, datetime as _datetime

class _ThreadRoutedStdout:
    def __init__(self, original):
        self.original = original
        self.buffers = {}

    def write(self, text):
        buffer = self.buffers.get(threading.get_ident())
        if buffer is not None:
            return buffer.write(text)
        return self.original.write(text)

    def flush(self):
        if threading.get_ident() not in self.buffers and self.original is not None:
            self.original.flush()

    def __getattr__(self, name):
        return getattr(self.original, name)

_lock = threading.Lock()
_router = None

def _begin(buffer):
    global _router
    with _lock:
        if _router is None or sys.stdout is not _router:
            _router = _ThreadRoutedStdout(sys.stdout)
            sys.stdout = _router
        _router.buffers[threading.get_ident()] = buffer

def _end():
    global _router
    with _lock:
        router = _router
        if router is None:
            return
        router.buffers.pop(threading.get_ident(), None)
        if not router.buffers:
            if sys.stdout is router:
                sys.stdout = router.original
            _router = None

def run_analysis(source):
    namespace = {"datetime": _datetime}
    error = None
    buffer = None
    try:
        tree = ast.parse(source, mode="exec")
        buffer = io.StringIO()
        _begin(buffer)
        exec(compile(tree, "<ast>", "exec"), namespace, namespace)
    except SystemExit as e:
        # Generated code must not end the host process.
        error = "{}: {}".format(type(e).__name__, e)
    except Exception as e:
        error = "{}: {}".format(type(e).__name__, e)
    finally:
        if buffer is not None:
            _end()
    if error is not None:
        return (False, "", error)
    return (True, buffer.getvalue(), None)

_persistent = {}

def execute_code(source, namespace=None):
    if namespace is None:
        namespace = _persistent
    tree = ast.parse(source, mode="exec")
    buffer = io.StringIO()
    _begin(buffer)
    try:
        exec(compile(tree, "<ast>", "exec"), namespace, namespace)
    finally:
        _end()
    return buffer.getvalue()
)PY";

// Takes the GIL through the interpreter's own thread-state bookkeeping, which also works on
// threads the interpreter has never seen and cleans up after them.
class Gil {
public:
    Gil() : state_(PyGILState_Ensure()) {}
    ~Gil() { PyGILState_Release(state_); }
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;

private:
    PyGILState_STATE state_;
};

std::once_flag g_embed_once;
bool g_embedded = false;

py::object runner_module() {
    // Kept in sys.modules so every thread and every run shares one router.
    py::module_ sys = py::module_::import("sys");
    py::dict modules = sys.attr("modules");
    if (modules.contains("_zolviai_runner")) {
        return modules["_zolviai_runner"];
    }
    py::module_ types = py::module_::import("types");
    py::object module = types.attr("ModuleType")("_zolviai_runner");
    py::exec(kRunnerSource, module.attr("__dict__"));
    modules["_zolviai_runner"] = module;
    return module;
}

} // namespace

bool ensure_interpreter() {
    std::call_once(g_embed_once, [] {
        if (Py_IsInitialized()) {
            return;
        }
        // Set before the interpreter starts: no figure window ever, matplotlib not imported.
        ::setenv("MPLBACKEND", "agg", 1);
        // The interpreter's main thread state belongs to the thread that starts it, so it is
        // started on a thread that lives as long as the process: a caller's thread may end
        // while the interpreter is still in use by others.
        std::promise<void> started;
        std::thread([&started] {
            py::initialize_interpreter(false);
            PyEval_SaveThread(); // every run takes the GIL for itself
            started.set_value();
            for (;;) { // park for the life of the process
                std::this_thread::sleep_for(std::chrono::hours(24));
            }
        }).detach();
        started.get_future().wait();
        g_embedded = true;
    });
    return g_embedded;
}

void use_agg_backend() {
    ensure_interpreter();
    Gil gil;
    py::module_ sys = py::module_::import("sys");
    if (py::dict(sys.attr("modules")).contains("matplotlib")) {
        py::module_::import("matplotlib").attr("use")("agg");
        return;
    }
    py::module_::import("os").attr("environ")["MPLBACKEND"] = "agg";
}

RunResult run_analysis(const std::string& source) {
    ensure_interpreter();
    Gil gil;
    try {
        py::tuple result = runner_module().attr("run_analysis")(py::str(source));
        RunResult out;
        out.success = result[0].cast<bool>();
        out.output = result[1].cast<std::string>();
        if (!result[2].is_none()) {
            out.error = result[2].cast<std::string>();
        }
        return out;
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_KeyboardInterrupt)) {
            throw Interrupted("KeyboardInterrupt: the analysis code was interrupted");
        }
        throw Error(std::string("running analysis code failed: ") + e.what());
    }
}

std::string execute_code(const std::string& source) {
    ensure_interpreter();
    Gil gil;
    try {
        return runner_module().attr("execute_code")(py::str(source)).cast<std::string>();
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_KeyboardInterrupt)) {
            throw Interrupted("KeyboardInterrupt: the code was interrupted");
        }
        const std::string type = py::str(e.type().attr("__name__"));
        const std::string message = py::str(e.value());
        throw Error(type + ": " + message);
    }
}

std::string execute_code_in(PyObject* name_space, const std::string& source) {
    return runner_module()
        .attr("execute_code")(py::str(source), py::reinterpret_borrow<py::dict>(name_space))
        .cast<std::string>();
}

} // namespace zolviai::pyexec
