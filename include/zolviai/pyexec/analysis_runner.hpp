#pragma once

#include "zolviai/pyexec/python_runner.hpp"

#include <memory>
#include <string>
#include <string_view>

// Where the flow's analysis step runs the code a model wrote: in this process, or in a
// sandboxed child (sandbox_runner.hpp). Both keep one contract: source in; what it printed,
// or its error as "{type}: {message}"; files it saved under the run's media folder end up in
// the host's media folder.
namespace zolviai::pyexec {

struct AnalysisJob {
    std::string source;
    std::string media_dir; // the host's media folder (save_path); empty when there is none
};

class AnalysisRunner {
public:
    virtual ~AnalysisRunner() = default;
    // Errors of the code come back in the result; a runner that cannot run anything raises.
    virtual RunResult run(const AnalysisJob& job) = 0;
    // A run may follow soon (a question has started): get ready for it in the background.
    virtual void prepare() {}
    // "in-process", "sandbox", or "plain child" (the sandbox's reduced form).
    virtual std::string describe() const = 0;
};

using AnalysisRunnerPtr = std::shared_ptr<AnalysisRunner>;

// run_analysis in this process: the code has every right the host has. No time limit.
class InProcessRunner : public AnalysisRunner {
public:
    RunResult run(const AnalysisJob& job) override;
    std::string describe() const override { return "in-process"; }
};

enum class AnalysisMode {
    InProcess,
    Sandbox, // isolated, or an error that says why not
    Auto,    // isolated when this machine allows it, else a plain child, said once
};

// "in-process", "sandbox", "auto"; anything else is a ValueError naming the choices.
AnalysisMode parse_analysis_mode(std::string_view text);

// A runner for the mode with the sandbox's settings from the environment
// (SandboxOptions::from_environment). Sandbox mode on a machine without the namespaces
// raises SandboxUnavailable.
AnalysisRunnerPtr make_analysis_runner(AnalysisMode mode);

} // namespace zolviai::pyexec
