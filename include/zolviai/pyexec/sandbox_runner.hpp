#pragma once

#include "zolviai/core/error.hpp"
#include "zolviai/pyexec/analysis_runner.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// Analysis code in a child process that cannot reach what the host can: bubblewrap puts
// /usr/bin/python3 in new namespaces (user, mount, PID, network, IPC, UTS) where only the
// interpreter, its libraries, fonts and configuration are visible, read-only; the run's media
// folder, a private /tmp and /dev/shm (one sized tmpfs) are the only writable places, System
// V IPC has small limits of its own; the environment is empty but for
// the plotting settings; the child has limits on processor time, address space, file size
// and processes, and a wall-clock deadline kills it with everything it started. One warm
// interpreter (pandas and matplotlib imported) forks a process for each analysis, in new
// mount, IPC, PID and network namespaces with a fresh /tmp, /dev/shm and media folder, that
// runs that one analysis and ends; without the namespaces, warm plain children wait in a
// pool and each runs one analysis. What the child sends back is read as hostile input
// (sandbox_reply.hpp).
// docs/architecture.md ("Analysis sandbox") says what this does not cover.
namespace zolviai::pyexec {

struct SandboxOptions {
    // Analysis processes forked ahead from the warm interpreter (plain children kept waiting,
    // without the namespaces); 0 starts an interpreter per run.
    std::size_t pool_size = 2;
    std::chrono::milliseconds time_limit{30000}; // wall clock and processor time of one run
    std::uint64_t memory_limit = 2ull << 30;     // address space of each process
    std::uint64_t file_size_limit = 64ull << 20; // largest file the code may write
    int process_limit = 64;                      // processes and threads of the run
    int open_files_limit = 1024;
    // The one tmpfs behind /tmp, /dev/shm and the media folder: all the files of a run.
    std::uint64_t scratch_size = 256ull << 20;
    std::uint64_t ipc_memory_limit = 16ull << 20; // System V shared memory, all segments
    // What comes back (sandbox_reply.hpp): the printed text and error the host holds in
    // memory; the files kept in the media folder and their bytes together.
    std::size_t max_result_size = 24u << 20;
    std::size_t max_saved_files = 32;
    std::uint64_t max_saved_size = 64ull << 20;
    std::chrono::milliseconds startup_limit{60000}; // for an interpreter to warm up
    std::string python = "/usr/bin/python3";
    std::string bwrap = "bwrap"; // looked up on PATH when it has no slash
    // Without the namespaces, run the code in a plain child process (cleared environment and
    // limits, but the host's file system and network) after one warning on standard error,
    // instead of raising SandboxUnavailable.
    bool allow_reduced_isolation = false;

    // The defaults, with ZOLVI_ANALYSIS_TIME_LIMIT (seconds) and ZOLVI_ANALYSIS_POOL_SIZE
    // applied; a value that is not a number is a ConfigError naming the variable.
    static SandboxOptions from_environment();
};

// The namespaces the sandbox needs are not available; the message says why and how to
// allow them.
class SandboxUnavailable : public ConfigError {
public:
    explicit SandboxUnavailable(const std::string& message) : ConfigError(message) {}
};

class SandboxRunner : public AnalysisRunner {
public:
    // Checks that the sandbox can start (a few milliseconds). The pool fills from the first
    // prepare(), run() or wait_until_warm() on, so a runner that never runs anything never
    // starts an interpreter.
    explicit SandboxRunner(SandboxOptions options = {});
    ~SandboxRunner() override;
    SandboxRunner(const SandboxRunner&) = delete;
    SandboxRunner& operator=(const SandboxRunner&) = delete;

    // Safe to call from several threads at once; each run gets its own interpreter. An
    // interpreter that cannot be started raises Error.
    RunResult run(const AnalysisJob& job) override;
    void prepare() override;
    std::string describe() const override;

    // False when the namespaces were not available and runs use a plain child process.
    bool isolated() const;
    // Waits until the warm interpreter is ready (without the namespaces: pool_size plain
    // children); false after `limit`.
    bool wait_until_warm(std::chrono::milliseconds limit) const;

private:
    struct Pool;
    std::unique_ptr<Pool> pool_;
};

} // namespace zolviai::pyexec
