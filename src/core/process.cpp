#include "zolviai/core/process.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"

#include <cerrno>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zolviai {

ProcessResult run_process(const std::vector<std::string>& argv,
                          std::optional<std::chrono::milliseconds> time_limit) {
    if (argv.empty()) {
        throw ValueError("an argument vector needs at least the program to run");
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = argv[0].find('/') == std::string::npos
                       ? ::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ)
                       : ::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ);
    if (rc != 0) {
        throw IoError("[Errno " + std::to_string(rc) + "] " + std::strerror(rc) + ": " +
                      python::repr_text(argv[0]));
    }
    ProcessResult result;
    const auto deadline = time_limit ? std::chrono::steady_clock::now() + *time_limit
                                     : std::chrono::steady_clock::time_point::max();
    int status = 0;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, time_limit ? WNOHANG : 0);
        if (done == pid) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            throw IoError(std::string("waiting for ") + python::repr_text(argv[0]) +
                          " failed: " + std::strerror(errno));
        }
        if (done == 0 && std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            result.timed_out = true;
            break;
        }
        if (done == 0) {
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(100));
        }
    }
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exit_status = 128 + WTERMSIG(status);
    }
    return result;
}

} // namespace zolviai
