#include "sandbox_process.hpp"

#include "zolviai/core/error.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <glob.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zolviai::pyexec::sandbox {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kTailSize = 2048;
constexpr uid_t kUnprivileged = 65534; // "nobody": what a root host runs the sandbox as
constexpr int kInfoFd = 4;

// Every path of the interpreter's world that the code may read, besides the interpreter
// itself, its standard library and the multiarch libraries (found at run time).
const char* const kReadOnlyPaths[] = {
    "/usr/lib/python3",      "/usr/lib64",          "/usr/share/fonts", "/usr/share/fontconfig",
    "/usr/share/matplotlib", "/usr/share/zoneinfo", "/etc/fonts",       "/etc/matplotlibrc",
    "/etc/alternatives",     "/etc/ld.so.cache",    "/etc/localtime",   "/etc/python3",
};

int checked(int rc, const char* what) {
    if (rc < 0) {
        throw Error(std::string("the analysis sandbox could not start: ") + what + ": " +
                    std::strerror(errno));
    }
    return rc;
}

std::vector<std::string> matching(const std::string& pattern) {
    std::vector<std::string> out;
    glob_t found{};
    if (::glob(pattern.c_str(), GLOB_ONLYDIR, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
            out.emplace_back(found.gl_pathv[i]);
        }
    }
    ::globfree(&found);
    return out;
}

// The environment of every child: nothing of the host's.
std::vector<std::string> child_environment() {
    return {"PATH=/usr/bin:/bin", "HOME=/tmp",    "MPLBACKEND=Agg",
            "MPLCONFIGDIR=/tmp",  "LANG=C.UTF-8", "PYTHONDONTWRITEBYTECODE=1"};
}

void add(std::vector<std::string>& args, std::initializer_list<std::string> more) {
    args.insert(args.end(), more);
}

// bwrap's arguments for the layout, up to and including "--".
std::vector<std::string> bwrap_arguments(const Layout& layout) {
    std::vector<std::string> args = {layout.bwrap};
    add(args, {"--unshare-all", "--unshare-user", "--uid", "0", "--gid", "0"});
    add(args, {"--die-with-parent", "--new-session", "--hostname", "sandbox"});
    // No reaper of bwrap's own: when the interpreter ends, its PID namespace ends with it and
    // bwrap, its parent, reaps it (an orphaned reaper may never be reaped).
    add(args, {"--as-pid-1", "--info-fd", std::to_string(kInfoFd)});
    // Held only until the child has set up its media folder and dropped them all.
    // A warm parent also brings up each analysis's loopback (CAP_NET_ADMIN).
    for (const char* cap : {"CAP_SYS_ADMIN", "CAP_SETPCAP", "CAP_SYS_RESOURCE", "CAP_NET_ADMIN"}) {
        add(args, {"--cap-add", cap});
    }
    std::error_code ec;
    const fs::path real = fs::canonical(layout.python, ec);
    const std::string python = ec ? layout.python : real.string();
    add(args, {"--ro-bind", python, python});
    if (python != layout.python) {
        add(args, {"--symlink", python, layout.python});
    }
    const std::string version = fs::path(python).filename().string(); // python3.11
    add(args, {"--ro-bind-try", "/usr/lib/" + version, "/usr/lib/" + version});
    add(args, {"--ro-bind-try", "/etc/" + version, "/etc/" + version});
    for (const auto& dir : matching("/usr/lib/*-linux-gnu*")) {
        add(args, {"--ro-bind", dir, dir});
    }
    for (const char* path : kReadOnlyPaths) {
        add(args, {"--ro-bind-try", path, path});
    }
    // Merged /usr keeps /lib and /lib64 as links; older layouts have real directories.
    for (const char* top : {"/lib", "/lib64", "/lib32"}) {
        if (fs::is_symlink(top, ec)) {
            add(args, {"--symlink", fs::read_symlink(top, ec).string(), top});
        } else if (fs::is_directory(top, ec)) {
            add(args, {"--ro-bind", top, top});
        }
    }
    // /dev holds the device nodes Python uses and nothing writable but /dev/shm. The one
    // sized tmpfs for everything the code may write is bound by the child at /tmp, /dev/shm
    // and the media folder (sandbox_child_script.cpp).
    add(args, {"--proc", "/proc", "--perms", "0755", "--size", "65536", "--tmpfs", "/dev"});
    for (const char* node : {"null", "zero", "full", "random", "urandom"}) {
        add(args, {"--dev-bind", std::string("/dev/") + node, std::string("/dev/") + node});
    }
    add(args, {"--symlink", "/proc/self/fd", "/dev/fd", "--symlink", "/proc/self/fd/0",
               "/dev/stdin", "--symlink", "/proc/self/fd/1", "/dev/stdout", "--symlink",
               "/proc/self/fd/2", "/dev/stderr", "--dir", "/dev/shm", "--remount-ro", "/dev"});
    add(args, {"--dir", "/tmp", "--dir", "/.zolviai-media"});
    add(args, {"--perms", "0700", "--size", std::to_string(layout.scratch_size), "--tmpfs",
               "/.zolviai-scratch"});
    add(args, {"--chdir", "/", "--clearenv"});
    for (const auto& entry : child_environment()) {
        const auto eq = entry.find('=');
        add(args, {"--setenv", entry.substr(0, eq), entry.substr(eq + 1)});
    }
    args.emplace_back("--");
    return args;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

struct ChildEnds {
    int channel = -1;     // becomes fd 3
    int diagnostics = -1; // becomes fds 1 and 2
    int info = -1;        // becomes fd 4
};

// Forks and executes argv[0]. The child leads a process group of its own, is killed when
// the thread that started it ends, keeps only the descriptors it is given, and, when this
// process runs as root and the child is a sandbox, gives up root first (a sandbox of root
// would not count its processes). Between fork and exec only async-signal-safe calls: the
// host may be running threads.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, const ChildEnds& ends,
            bool leave_root, bool to_root_directory) {
    auto cargv = pointers(argv);
    auto cenv = pointers(env);
    Fd null(checked(::open("/dev/null", O_RDONLY | O_CLOEXEC), "opening /dev/null"));
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    checked(pid, "fork");
    if (pid > 0) {
        return pid;
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) {
        ::sigaction(s, &default_action, nullptr);
    }
    ::setpgid(0, 0);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        ::_exit(127);
    }
    const int in = ::fcntl(null.get(), F_DUPFD, 10);
    const int channel = ends.channel >= 0 ? ::fcntl(ends.channel, F_DUPFD, 10) : -1;
    const int diagnostics = ::fcntl(ends.diagnostics, F_DUPFD, 10);
    const int info = ends.info >= 0 ? ::fcntl(ends.info, F_DUPFD, 10) : -1;
    if (in < 0 || diagnostics < 0 || ::dup2(in, 0) < 0 || ::dup2(diagnostics, 1) < 0 ||
        ::dup2(diagnostics, 2) < 0 || (channel >= 0 && ::dup2(channel, 3) < 0) ||
        (info >= 0 && ::dup2(info, kInfoFd) < 0)) {
        ::_exit(127);
    }
    if (channel < 0) {
        ::close(3);
    }
    if (info < 0) {
        ::close(kInfoFd);
    }
    const unsigned first = kInfoFd + 1;
    if (::syscall(SYS_close_range, first, ~0U, 0) != 0) {
        struct rlimit files {};
        ::getrlimit(RLIMIT_NOFILE, &files);
        for (unsigned fd = first; fd < files.rlim_cur && fd < (1u << 20); ++fd) {
            ::close(static_cast<int>(fd));
        }
    }
    if (leave_root && ::getuid() == 0) {
        if (::syscall(SYS_setgroups, 0, nullptr) != 0 ||
            ::syscall(SYS_setresgid, kUnprivileged, kUnprivileged, kUnprivileged) != 0 ||
            ::syscall(SYS_setresuid, kUnprivileged, kUnprivileged, kUnprivileged) != 0) {
            ::_exit(126);
        }
    }
    struct rlimit no_core {};
    ::setrlimit(RLIMIT_CORE, &no_core);
    if (to_root_directory && ::chdir("/") != 0) {
        ::_exit(127);
    }
    ::execve(cargv[0], cargv.data(), cenv.data());
    static const char message[] = "the analysis sandbox could not execute its program\n";
    [[maybe_unused]] auto written = ::write(2, message, sizeof message - 1);
    ::_exit(127);
}

std::vector<std::string> python_command(const Layout& layout, bool probe_only) {
    if (probe_only) {
        return {layout.python, "-I", "-S", "-c", "pass"};
    }
    // What the child sets up before it warms up, while it holds its capabilities.
    const long page = ::sysconf(_SC_PAGESIZE) > 0 ? ::sysconf(_SC_PAGESIZE) : 4096;
    const std::string setup =
        "{\"isolated\": " + std::string(layout.isolated ? "true" : "false") +
        ", \"warm\": " + std::string(layout.isolated && layout.warm ? "true" : "false") +
        ", \"scratch\": " + std::to_string(layout.scratch_size) +
        ", \"shmmax\": " + std::to_string(layout.ipc_memory) +
        ", \"shmall\": " + std::to_string((layout.ipc_memory + page - 1) / page) + "}";
    return {layout.python, "-I", "-c", kChildScript, setup};
}

void append_tail(std::string& tail, const char* data, std::size_t n) {
    tail.append(data, n);
    if (tail.size() > kTailSize) {
        tail.erase(0, tail.size() - kTailSize);
    }
}

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

} // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int Fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

std::unique_ptr<Child> start_child(const Layout& layout) {
    int pair[2];
    checked(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), "socketpair");
    Fd host_channel(pair[0]), child_channel(pair[1]);
    int pipe_fds[2];
    checked(::pipe2(pipe_fds, O_CLOEXEC), "pipe");
    Fd diagnostics_read(pipe_fds[0]), diagnostics_write(pipe_fds[1]);
    Fd info_read, info_write;
    if (layout.isolated) {
        checked(::pipe2(pipe_fds, O_CLOEXEC), "pipe");
        info_read.reset(pipe_fds[0]);
        info_write.reset(pipe_fds[1]);
    }
    std::vector<std::string> argv;
    if (layout.isolated) {
        argv = bwrap_arguments(layout);
    }
    for (auto& part : python_command(layout, false)) {
        argv.push_back(std::move(part));
    }
    auto child = std::make_unique<Child>();
    child->isolated = layout.isolated;
    child->pid = spawn(std::move(argv), child_environment(),
                       {child_channel.get(), diagnostics_write.get(), info_write.get()},
                       layout.isolated, layout.isolated);
    child->channel = std::move(host_channel);
    child->diagnostics = std::move(diagnostics_read);
    child->info = std::move(info_read);
    return child;
}

std::unique_ptr<Child> fork_child(Child& parent, Clock::time_point deadline) {
    int pair[2];
    checked(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), "socketpair");
    Fd host_channel(pair[0]), child_channel(pair[1]);
    checked(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), "socketpair");
    Fd host_status(pair[0]), child_status(pair[1]);
    int pipe_fds[2];
    checked(::pipe2(pipe_fds, O_CLOEXEC), "pipe");
    Fd diagnostics_read(pipe_fds[0]), diagnostics_write(pipe_fds[1]);

    // One byte and the three descriptors, in one message.
    const int fds[3] = {child_channel.get(), child_status.get(), diagnostics_write.get()};
    char byte = 'f';
    iovec io{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof fds);
    std::memcpy(CMSG_DATA(header), fds, sizeof fds);
    ssize_t sent;
    while ((sent = ::sendmsg(parent.channel.get(), &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    if (sent != 1) {
        throw ParentGone(std::string("the warm analysis parent is gone: ") + std::strerror(errno));
    }
    child_channel.reset();
    child_status.reset();
    diagnostics_write.reset();

    auto child = std::make_unique<Child>();
    child->isolated = true;
    child->forked = true;
    child->channel = std::move(host_channel);
    child->diagnostics = std::move(diagnostics_read);
    child->status = std::move(host_status);
    // The first message on the status socket carries the handle on the analysis process.
    for (;;) {
        pollfd p{child->status.get(), POLLIN, 0};
        const int timeout = remaining_ms(deadline);
        if (timeout == 0) {
            throw ParentGone("the warm analysis parent did not fork in time");
        }
        if (::poll(&p, 1, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw ParentGone(std::string("poll: ") + std::strerror(errno));
        }
        if (!p.revents) {
            continue;
        }
        char got = 0;
        iovec in{&got, 1};
        alignas(cmsghdr) char received[CMSG_SPACE(sizeof(int))] = {};
        msghdr reply{};
        reply.msg_iov = &in;
        reply.msg_iovlen = 1;
        reply.msg_control = received;
        reply.msg_controllen = sizeof received;
        const ssize_t n = ::recvmsg(child->status.get(), &reply, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        int handle = -1;
        for (cmsghdr* c = CMSG_FIRSTHDR(&reply); c != nullptr; c = CMSG_NXTHDR(&reply, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
                c->cmsg_len == CMSG_LEN(sizeof(int))) {
                std::memcpy(&handle, CMSG_DATA(c), sizeof handle);
            }
        }
        if (handle >= 0) {
            child->namespace_init.reset(handle);
        }
        if (n != 1 || got != 'p' || handle < 0 || (reply.msg_flags & MSG_CTRUNC)) {
            throw ParentGone("the warm analysis parent could not fork an analysis process");
        }
        return child;
    }
}

std::string probe(const Layout& layout) {
    int pipe_fds[2];
    checked(::pipe2(pipe_fds, O_CLOEXEC), "pipe");
    Fd read_end(pipe_fds[0]), write_end(pipe_fds[1]);
    checked(::pipe2(pipe_fds, O_CLOEXEC), "pipe");
    Fd info_read(pipe_fds[0]), info_write(pipe_fds[1]);
    std::vector<std::string> argv = bwrap_arguments(layout);
    for (auto& part : python_command(layout, true)) {
        argv.push_back(std::move(part));
    }
    Child child;
    child.pid = spawn(std::move(argv), child_environment(), {-1, write_end.get(), info_write.get()},
                      true, true);
    write_end.reset();
    info_write.reset();
    child.diagnostics = std::move(read_end);
    child.info = std::move(info_read);
    // The probe ends by itself within milliseconds; a stuck one is stopped after 20 s.
    const bool ended = child.wait_end(Clock::now() + std::chrono::seconds(20));
    const int status = child.stop();
    if (!ended) {
        return "bwrap did not finish within 20 s";
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return "";
    }
    std::string why = child.why();
    if (why.empty()) {
        why = WIFEXITED(status) ? "bwrap ended with status " + std::to_string(WEXITSTATUS(status))
                                : "bwrap was killed by signal " + std::to_string(WTERMSIG(status));
    }
    return why;
}

Child::~Child() {
    stop();
}

void Child::drain_diagnostics() {
    if (!diagnostics) {
        return;
    }
    char buffer[4096];
    for (;;) {
        // Only what is there now: a read on the empty pipe would wait for the process's end.
        pollfd p{diagnostics.get(), POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) {
            return;
        }
        const ssize_t n = ::read(diagnostics.get(), buffer, sizeof buffer);
        if (n > 0) {
            append_tail(tail_, buffer, static_cast<std::size_t>(n));
            if (static_cast<std::size_t>(n) < sizeof buffer) {
                return;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0) {
            diagnostics.reset(); // the child closed it
        }
        return;
    }
}

void Child::read_info(bool final) {
    char buffer[512];
    while (info) {
        pollfd p{info.get(), POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) {
            break;
        }
        const ssize_t n = ::read(info.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            info.reset(); // bwrap closed it: everything it says is here
            final = true;
            break;
        }
        info_text_.append(buffer, static_cast<std::size_t>(n));
    }
    if (namespace_init || pid <= 0) {
        return;
    }
    const auto key = info_text_.find("\"child-pid\"");
    const auto digits =
        key == std::string::npos ? key : info_text_.find_first_of("0123456789", key);
    if (digits == std::string::npos) {
        return;
    }
    const auto end = info_text_.find_first_not_of("0123456789", digits);
    if (end == std::string::npos && !final) {
        return; // the number may go on in the next write
    }
    const long init = std::strtol(info_text_.c_str() + digits, nullptr, 10);
    const long fd = init > 0 ? ::syscall(SYS_pidfd_open, static_cast<pid_t>(init), 0) : -1;
    if (fd < 0) {
        return;
    }
    Fd handle(static_cast<int>(fd));
    // The number is the sandbox's first process only while bwrap is its parent; once the
    // handle is open it cannot change hands.
    std::ifstream status("/proc/" + std::to_string(init) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("PPid:", 0) == 0) {
            if (std::strtol(line.c_str() + 5, nullptr, 10) == pid) {
                namespace_init = std::move(handle);
            }
            return;
        }
    }
}

bool Child::wait_ready(std::chrono::milliseconds limit, int stop_fd) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto newline = input_.find('\n');
        if (newline != std::string::npos) {
            const bool ready = input_.compare(0, newline, "ready") == 0;
            input_.erase(0, newline + 1);
            read_info(false);
            return ready;
        }
        pollfd p[4] = {{channel.get(), POLLIN, 0},
                       {diagnostics.get(), POLLIN, 0},
                       {info.get(), POLLIN, 0},
                       {stop_fd, POLLIN, 0}};
        const int timeout = remaining_ms(deadline);
        if (timeout == 0) {
            return false;
        }
        if (::poll(p, 4, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (p[3].revents) {
            return false;
        }
        if (p[2].revents) {
            read_info(false);
        }
        if (p[1].revents) {
            drain_diagnostics();
        }
        if (p[0].revents) {
            char buffer[256];
            const ssize_t n = ::read(channel.get(), buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                drain_diagnostics();
                return false;
            }
            if (n > 0) {
                input_.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
}

bool Child::send_job(const std::string& job, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < job.size()) {
        pollfd p[2] = {{channel.get(), POLLOUT, 0}, {diagnostics.get(), POLLIN, 0}};
        const int timeout = remaining_ms(deadline);
        if (timeout == 0) {
            return false;
        }
        if (::poll(p, 2, timeout) < 0 && errno != EINTR) {
            return false;
        }
        if (p[1].revents) {
            drain_diagnostics();
        }
        if (p[0].revents & (POLLERR | POLLHUP)) {
            return false;
        }
        if (p[0].revents & POLLOUT) {
            const ssize_t n = ::send(channel.get(), job.data() + sent, job.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                return false;
            }
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    }
    ::shutdown(channel.get(), SHUT_WR);
    return true;
}

Child::Read Child::read_some(char* buffer, std::size_t size, std::size_t& got,
                             Clock::time_point deadline) {
    got = 0;
    if (!input_.empty()) {
        got = std::min(size, input_.size());
        std::memcpy(buffer, input_.data(), got);
        input_.erase(0, got);
        return Read::Data;
    }
    for (;;) {
        pollfd p[2] = {{channel.get(), POLLIN, 0}, {diagnostics.get(), POLLIN, 0}};
        const int timeout = remaining_ms(deadline);
        if (timeout == 0) {
            return Read::Deadline;
        }
        if (::poll(p, 2, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Read::Ended;
        }
        if (p[1].revents) {
            drain_diagnostics();
        }
        if (p[0].revents) {
            const ssize_t n = ::read(channel.get(), buffer, size);
            if (n > 0) {
                got = static_cast<std::size_t>(n);
                return Read::Data;
            }
            if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                drain_diagnostics();
                return Read::Ended;
            }
        }
    }
}

bool Child::has_ended() {
    if (forked) {
        pollfd p{namespace_init.get(), POLLIN, 0};
        return stopped_ || !namespace_init || ::poll(&p, 1, 0) != 0;
    }
    if (stopped_ || pid <= 0) {
        return true;
    }
    // Looked at, not reaped: the process keeps its number (and so its group's) until stop().
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
        return errno == ECHILD;
    }
    return info.si_pid == pid;
}

bool Child::wait_end(Clock::time_point deadline) {
    while (!has_ended()) {
        const int timeout = remaining_ms(deadline);
        if (timeout == 0) {
            return false;
        }
        pollfd p{diagnostics.get(), POLLIN, 0};
        if (::poll(&p, 1, std::min(timeout, 20)) > 0) {
            drain_diagnostics();
        }
    }
    drain_diagnostics();
    return true;
}

int Child::stop() {
    if (stopped_) {
        return status_;
    }
    stopped_ = true;
    if (forked) {
        stop_forked();
        return status_;
    }
    if (isolated && !namespace_init) {
        read_info(false);
    }
    if (namespace_init) {
        // The sandbox's first process goes first, and with it every process of its PID
        // namespace; bwrap, its parent, then reaps it and ends.
        ::syscall(SYS_pidfd_send_signal, namespace_init.get(), SIGKILL, nullptr, 0);
    }
    if (pid > 0) {
        pollfd p{namespace_init.get(), POLLIN, 0};
        while (namespace_init && ::poll(&p, 1, 2000) < 0 && errno == EINTR) {
        }
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        int status = 0;
        pid_t r;
        while ((r = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
        }
        status_ = r == pid ? status : -1;
        pid = -1;
    }
    namespace_init.reset();
    info.reset();
    drain_diagnostics();
    channel.reset();
    diagnostics.reset();
    return status_;
}

void Child::abandon() {
    if (!forked || stopped_) {
        return;
    }
    stopped_ = true;
    if (namespace_init) {
        ::syscall(SYS_pidfd_send_signal, namespace_init.get(), SIGKILL, nullptr, 0);
    }
    namespace_init.reset();
    status.reset();
    drain_diagnostics();
    channel.reset();
    diagnostics.reset();
}

void Child::stop_forked() {
    // The analysis goes, with every process of its PID namespace; the warm parent then sends
    // its wait status and closes the status socket.
    if (namespace_init) {
        ::syscall(SYS_pidfd_send_signal, namespace_init.get(), SIGKILL, nullptr, 0);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    std::string text;
    while (status && text.find('\n') == std::string::npos && text.size() < 32) {
        pollfd p{status.get(), POLLIN, 0};
        const int timeout = remaining_ms(deadline);
        if (timeout == 0) {
            break;
        }
        if (::poll(&p, 1, timeout) < 0 && errno != EINTR) {
            break;
        }
        char buffer[32];
        const ssize_t n = ::recv(status.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            break;
        }
    }
    const auto newline = text.find('\n');
    if (newline != std::string::npos && newline > 0 &&
        text.find_first_not_of("0123456789") == newline) {
        status_ = static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
    }
    namespace_init.reset();
    status.reset();
    drain_diagnostics();
    channel.reset();
    diagnostics.reset();
}

std::string Child::why() const {
    std::string text = tail_;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

long tasks_of_user() {
    const uid_t me = ::getuid();
    long total = 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    while (const dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        std::ifstream status(std::string("/proc/") + entry->d_name + "/status");
        std::string line;
        bool mine = false;
        while (std::getline(status, line)) {
            if (line.rfind("Uid:", 0) == 0) {
                mine = std::strtoul(line.c_str() + 4, nullptr, 10) == me;
            } else if (line.rfind("Threads:", 0) == 0) {
                if (mine) {
                    total += std::strtol(line.c_str() + 8, nullptr, 10);
                }
                break;
            }
        }
    }
    ::closedir(proc);
    return total;
}

} // namespace zolviai::pyexec::sandbox
