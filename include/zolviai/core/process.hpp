#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zolviai {

struct ProcessResult {
    int exit_status = 0;    // the child's exit code; 128 + signal number when a signal ended it
    bool timed_out = false; // the time limit ran out and the child was killed
};

// Starts argv[0] (looked up on PATH when it has no slash) with exactly the given argument
// vector, no shell, the caller's standard streams, environment and working directory, and
// waits for it. With a time limit the child is killed (SIGKILL) when it runs longer.
// A child that cannot be started raises IoError worded as Python words it
// ("[Errno 2] No such file or directory: 'x'").
ProcessResult run_process(const std::vector<std::string>& argv,
                          std::optional<std::chrono::milliseconds> time_limit = std::nullopt);

} // namespace zolviai
