#include "zolviai/pyexec/analysis_runner.hpp"

#include "zolviai/pyexec/sandbox_runner.hpp"

namespace zolviai::pyexec {

RunResult InProcessRunner::run(const AnalysisJob& job) {
    return run_analysis(job.source);
}

AnalysisMode parse_analysis_mode(std::string_view text) {
    if (text == "in-process") {
        return AnalysisMode::InProcess;
    }
    if (text == "sandbox") {
        return AnalysisMode::Sandbox;
    }
    if (text == "auto") {
        return AnalysisMode::Auto;
    }
    throw ValueError("unknown analysis mode '" + std::string(text) +
                     "': choose in-process, sandbox or auto");
}

AnalysisRunnerPtr make_analysis_runner(AnalysisMode mode) {
    if (mode == AnalysisMode::InProcess) {
        return std::make_shared<InProcessRunner>();
    }
    SandboxOptions options = SandboxOptions::from_environment();
    options.allow_reduced_isolation = mode == AnalysisMode::Auto;
    return std::make_shared<SandboxRunner>(std::move(options));
}

} // namespace zolviai::pyexec
