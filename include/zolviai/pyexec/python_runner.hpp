#pragma once

#include "zolviai/core/error.hpp"

#include <string>
#include <vector>

// Running Python source in CPython with its standard output captured. The host's interpreter
// is used when one is running (a Python host loaded us); otherwise an embedded one is started
// on first use (the command line, C++ hosts, tests). Every call takes the GIL for itself.
namespace zolviai::pyexec {

struct RunResult {
    bool success = false;
    std::string output;             // what the code printed, in order
    std::string error;              // "{type}: {message}" when the code raised an ordinary error
    std::vector<std::string> files; // what a sandboxed run saved in the host's media folder
};

// Runs analysis code in a fresh namespace holding only `datetime` (the module): parsed as a
// module, compiled with the file name "<ast>", executed with that namespace as globals and
// locals. Ordinary errors of the code, and its requests to exit the interpreter, come back
// as the one-line error; an interruption (KeyboardInterrupt) is raised as Interrupted.
//
// Output is captured per run: while the code runs, what the running thread writes to
// sys.stdout goes to this run's buffer and what other threads write goes where it would
// have gone, so questions answered in parallel threads never see each other's output.
// sys.stdout is the object it was before the run in every outcome.
RunResult run_analysis(const std::string& source);

// The code was interrupted (Ctrl-C): the run is abandoned and the error propagates.
class Interrupted : public Error {
public:
    explicit Interrupted(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::Interrupted; }
};

// Runs code in one namespace that persists across calls (for C++ hosts and the command
// line): parsed as a module, compiled as "<ast>", standard output captured per run as above
// and restored before an error leaves. An error of the code is raised as Error with the
// text "{type}: {message}".
std::string execute_code(const std::string& source);

// Makes sure an interpreter is running (starting an embedded one with the plotting back end
// set to "agg" when none is) and returns whether this process embeds it.
bool ensure_interpreter();

// Switches matplotlib to its non-interactive "agg" back end: through MPLBACKEND when
// matplotlib is not imported yet (so loading stays fast), with matplotlib.use otherwise.
void use_agg_backend();

} // namespace zolviai::pyexec
