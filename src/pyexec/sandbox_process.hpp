#pragma once

// The processes behind the sandboxed runner: how one is started (bwrap's arguments, or a
// plain child), its channels, and how it is stopped with everything it started.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zolviai::pyexec::sandbox {

extern const char* const kChildScript;

// A file descriptor that closes itself.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    int release();
    void reset(int fd = -1);
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// What a child sees and may use; fixed when it starts.
struct Layout {
    bool isolated = true;                      // bwrap and namespaces; false: a plain child process
    std::string bwrap;                         // the bwrap executable (isolated only)
    std::string python;                        // the interpreter, as the code sees it
    std::uint64_t scratch_size = 256ull << 20; // the one tmpfs behind /tmp, /dev/shm and media
    std::uint64_t ipc_memory = 16ull << 20;    // System V shared memory of the sandbox
    // Isolated only: the child is a warm parent that forks one process per analysis
    // (fork_child) instead of running a job itself.
    bool warm = false;
};

// One started child. Its destructor stops it (see stop()).
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    // Waits until the child says it is ready, for at most `limit`; false when it ended or
    // said something else (why() then tells what it printed). stop_fd, when readable,
    // abandons the wait.
    bool wait_ready(std::chrono::milliseconds limit, int stop_fd = -1);

    // Sends the job and closes the host's side of the channel; false when the child is gone
    // or the deadline passed first.
    bool send_job(const std::string& job, std::chrono::steady_clock::time_point deadline);

    enum class Read { Data, Ended, Deadline };
    // Reads what the child sent next, up to `size` bytes (what came with the ready line
    // first); `got` is the count when the answer is Data.
    Read read_some(char* buffer, std::size_t size, std::size_t& got,
                   std::chrono::steady_clock::time_point deadline);

    // Kills the sandbox's first process (and with it every process of its PID namespace) and
    // waits for it, then the child's process group; reaps the child. Returns the wait status
    // (or -1 when unknown). Later calls return the same.
    int stop();

    // A forked child only: kills it without waiting for its end or its wait status.
    void abandon();

    // Whether the child has ended (it is not reaped until stop()).
    bool has_ended();
    // Waits until the child ends, keeping what it prints; false when the deadline came first.
    bool wait_end(std::chrono::steady_clock::time_point deadline);

    // The end of what the child wrote to its standard output and error (diagnostics).
    std::string why() const;

    pid_t pid = -1;
    bool isolated = true;
    Fd channel;        // socket: the job in, "ready" and the result out
    Fd diagnostics;    // the child's standard output and error
    Fd info;           // bwrap's information (the sandbox's first process)
    Fd namespace_init; // pidfd of that first process
    // A child forked by a warm parent (fork_child): it is not this process's child; its
    // wait status comes over `status` from the process between it and the parent.
    bool forked = false;
    Fd status;

private:
    void drain_diagnostics();
    void stop_forked();
    // Reads what bwrap said about the sandbox and opens a handle on its first process.
    void read_info(bool final);

    std::string input_; // bytes read from the channel and not used yet
    std::string tail_;  // the end of the diagnostics
    std::string info_text_;
    int status_ = -1;
    bool stopped_ = false;
};

// The warm parent ended or refused the request; another parent can serve it.
class ParentGone : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Asks a warm parent (started with Layout::warm) for one analysis process: the parent forks,
// the fork enters new mount, IPC, PID and network namespaces and starts the analysis as the
// first process of its PID namespace, which then says "ready" like a cold child. Returns
// once the handle on that process has arrived; raises ParentGone when the parent is gone.
std::unique_ptr<Child> fork_child(Child& parent, std::chrono::steady_clock::time_point deadline);

// Starts a child with the layout; a failure to start raises Error.
std::unique_ptr<Child> start_child(const Layout& layout);

// Runs bwrap with the layout's namespaces and mounts and an interpreter that does nothing;
// returns what went wrong (empty when it worked).
std::string probe(const Layout& layout);

// The number of tasks (processes and threads) the real user id owns now.
long tasks_of_user();

} // namespace zolviai::pyexec::sandbox
