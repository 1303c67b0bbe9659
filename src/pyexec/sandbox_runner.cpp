#include "zolviai/pyexec/sandbox_runner.hpp"

#include "sandbox_process.hpp"
#include "sandbox_reply.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/settings.hpp"
#include "zolviai/core/value.hpp"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zolviai::pyexec {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using sandbox::Child;

namespace {

const char* const kHowToAllow =
    "The sandbox needs bubblewrap (Debian package bubblewrap) and unprivileged user "
    "namespaces: allow them with `sysctl -w kernel.unprivileged_userns_clone=1` (Debian "
    "kernels) and a non-zero user.max_user_namespaces; on Ubuntu 23.10 and later also "
    "`sysctl -w kernel.apparmor_restrict_unprivileged_userns=0` or an AppArmor profile for "
    "bwrap; in a container, a seccomp profile that allows creating user namespaces. Or run "
    "analysis in-process (zolvi ask --analysis in-process, or leave ZOLVI_ANALYSIS_SANDBOX "
    "unset) where the code may be trusted";

std::string seconds_text(std::chrono::milliseconds ms) {
    char text[32];
    if (ms.count() % 1000 == 0) {
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(ms.count() / 1000));
    } else {
        std::snprintf(text, sizeof text, "%.1f s", ms.count() / 1000.0);
    }
    return text;
}

// An absolute path: the child starts it from the root directory.
std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return ::access(name.c_str(), X_OK) == 0 ? fs::absolute(name).string() : "";
    }
    std::string dirs = settings()->raw("PATH").value_or("/usr/bin:/bin");
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate =
            (end > start ? dirs.substr(start, end - start) : std::string(".")) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return fs::absolute(candidate).string();
        }
        start = end + 1;
    }
    return "";
}

// A non-negative number from the environment; fallback when unset or empty.
double env_number(const char* name, double fallback) {
    const std::string configured = settings()->get(name, "");
    if (configured.empty()) {
        return fallback;
    }
    const char* text = configured.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0) || value > 1e9) {
        throw ConfigError(std::string(name) + " must be a number, not '" + text + "'");
    }
    return value;
}

// The last line of what the child printed, short enough for an error message.
std::string last_line(const std::string& text) {
    std::string line =
        text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    if (line.size() > 200) {
        line = line.substr(0, 200) + "...";
    }
    return line;
}

// What a child that ended without a result tells, from its wait status. bwrap reports its
// child's death by signal N as exit status 128 + N.
std::string ended_without_result(int status, bool isolated, std::chrono::milliseconds limit,
                                 const std::string& printed) {
    int signal = 0;
    int code = -1;
    if (status != -1 && WIFSIGNALED(status)) {
        signal = WTERMSIG(status);
    } else if (status != -1 && WIFEXITED(status)) {
        code = WEXITSTATUS(status);
        if (isolated && code > 128 && code < 128 + NSIG) {
            signal = code - 128;
        }
    }
    std::string text;
    if (signal == SIGXCPU) {
        return "TimeoutError: the analysis code used more than " + seconds_text(limit) +
               " of processor time";
    }
    if (signal == SIGKILL && isolated) {
        // Nothing inside can kill the namespace's first process, and the deadline is ours:
        // the kernel did, at the processor-time limit or out of memory.
        text = "SystemExit: the analysis process was killed (signal 9): it used more than " +
               seconds_text(limit) + " of processor time, or the machine ran out of memory";
    } else if (signal != 0) {
        const char* name = ::sigabbrev_np(signal);
        text = "SystemExit: the analysis process was killed by signal " + std::to_string(signal) +
               (name ? std::string(" (SIG") + name + ")" : "");
    } else if (code >= 0) {
        text = "SystemExit: the analysis process ended with status " + std::to_string(code) +
               " before reporting a result";
    } else {
        text = "SystemExit: the analysis process ended before reporting a result";
    }
    const std::string line = last_line(printed);
    return line.empty() ? text : text + " (it printed: " + line + ")";
}

std::atomic<bool> g_reduced_said{false};

// The run's deadline passed while its reply was being read.
struct DeadlinePassed {};

// The child's channel as the reply reader sees it.
class ChildSource : public sandbox::ByteSource {
public:
    ChildSource(Child& child, Clock::time_point deadline) : child_(child), deadline_(deadline) {}

    std::size_t read_some(char* buffer, std::size_t size) override {
        std::size_t got = 0;
        switch (child_.read_some(buffer, size, got, deadline_)) {
        case Child::Read::Data:
            return got;
        case Child::Read::Ended:
            return 0;
        case Child::Read::Deadline:
            throw DeadlinePassed();
        }
        return 0;
    }

private:
    Child& child_;
    Clock::time_point deadline_;
};

} // namespace

SandboxOptions SandboxOptions::from_environment() {
    SandboxOptions options;
    const double seconds =
        env_number("ZOLVI_ANALYSIS_TIME_LIMIT", options.time_limit.count() / 1000.0);
    if (seconds <= 0) {
        throw ConfigError("ZOLVI_ANALYSIS_TIME_LIMIT must be more than 0 seconds");
    }
    options.time_limit = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    options.pool_size = static_cast<std::size_t>(
        env_number("ZOLVI_ANALYSIS_POOL_SIZE", static_cast<double>(options.pool_size)));
    return options;
}

// A run's analysis process, and the warm parent it was forked from (kept until the process
// has been stopped: the parent's end would end it).
struct Lease {
    std::shared_ptr<Child> parent;
    std::unique_ptr<Child> child;
};

// Readable once the warm parent has ended: it writes nothing after "ready".
bool parent_gone(Child& parent, std::chrono::milliseconds wait = std::chrono::milliseconds(0)) {
    pollfd p{parent.channel.get(), POLLIN, 0};
    if (!parent.channel) {
        return true;
    }
    const auto until = Clock::now() + wait;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        const int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (r >= 0 || errno != EINTR) {
            return r != 0;
        }
    }
}

struct SandboxRunner::Pool {
    SandboxOptions options;
    sandbox::Layout layout;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::deque<std::unique_ptr<Child>> ready; // plain children (without the namespaces)
    std::shared_ptr<Child> parent;            // the warm parent (in the namespaces)
    std::deque<Lease> forked;                 // its analysis processes, ready for a job
    sandbox::Fd refill;                       // readable when one of those was taken
    bool stopping = false;
    std::uint64_t failures = 0;
    std::string last_failure;
    sandbox::Fd wake; // readable once the pool stops: abandons a warm-up in progress
    std::thread filler;
    std::once_flag filler_started;

    bool warm() const { return layout.isolated; }

    void start_filling() {
        if (options.pool_size > 0) {
            std::call_once(filler_started, [this] {
                filler = std::thread([this] { warm() ? keep_parent() : fill(); });
            });
        }
    }

    std::unique_ptr<Child> warm_one() const {
        auto child = sandbox::start_child(layout);
        if (!child->wait_ready(options.startup_limit, wake.get())) {
            child->stop();
            const std::string why = child->why();
            throw Error("the analysis interpreter did not start" +
                        (why.empty() ? std::string() : ": " + last_line(why)));
        }
        return child;
    }

    // Keeps one warm parent: starts it, watches it, and replaces it when it ends.
    void keep_parent() {
        for (;;) {
            std::shared_ptr<Child> current;
            {
                std::lock_guard lock(mutex);
                if (stopping) {
                    return;
                }
                current = parent;
            }
            if (!current) {
                std::shared_ptr<Child> started;
                std::string failure;
                try {
                    started = warm_one();
                } catch (const std::exception& e) {
                    failure = e.what();
                }
                std::unique_lock lock(mutex);
                if (stopping) {
                    return;
                }
                if (started) {
                    parent = std::move(started);
                } else {
                    ++failures;
                    last_failure = failure;
                }
                changed.notify_all();
                if (!failure.empty()) { // a broken interpreter is not retried in a tight loop
                    changed.wait_for(lock, std::chrono::seconds(1), [&] { return stopping; });
                }
                continue;
            }
            // Analysis processes are forked ahead, pool_size of them, so that a run finds
            // one ready; they are fresh, so nothing waits in them but the interpreter.
            bool more;
            {
                std::lock_guard lock(mutex);
                more = forked.size() < options.pool_size;
            }
            if (more && !parent_gone(*current)) {
                Lease lease{current, nullptr};
                try {
                    lease.child =
                        sandbox::fork_child(*current, Clock::now() + options.startup_limit);
                    if (lease.child->wait_ready(options.startup_limit, wake.get())) {
                        std::lock_guard lock(mutex);
                        if (stopping) {
                            return;
                        }
                        if (parent == current) {
                            forked.push_back(std::move(lease));
                            changed.notify_all();
                            continue;
                        }
                    }
                } catch (const std::exception&) {
                }
                if (!parent_gone(*current)) {
                    // The fork failed for a reason of its own: the run that needs one says why.
                    std::unique_lock lock(mutex);
                    changed.wait_for(lock, std::chrono::seconds(1), [&] { return stopping; });
                    continue;
                }
            }
            pollfd p[3] = {{current->channel.get(), POLLIN, 0},
                           {wake.get(), POLLIN, 0},
                           {refill.get(), POLLIN, 0}};
            if (!more && ::poll(p, 3, -1) < 0 && errno != EINTR) {
                return;
            }
            if (p[1].revents) {
                return;
            }
            if (p[2].revents) {
                std::uint64_t count;
                [[maybe_unused]] auto n = ::read(refill.get(), &count, sizeof count);
            }
            if (more || p[0].revents) {
                if (parent_gone(*current)) {
                    parent_ended(current); // stopped once the last run that holds it is done
                }
            }
        }
    }

    void fill() {
        for (;;) {
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stopping || ready.size() < options.pool_size; });
                if (stopping) {
                    return;
                }
            }
            std::unique_ptr<Child> child;
            std::string failure;
            try {
                child = warm_one();
            } catch (const std::exception& e) {
                failure = e.what();
            }
            std::unique_lock lock(mutex);
            if (stopping) {
                return;
            }
            if (child) {
                ready.push_back(std::move(child));
            } else {
                ++failures;
                last_failure = failure;
            }
            changed.notify_all();
            if (!failure.empty()) { // a broken interpreter is not retried in a tight loop
                changed.wait_for(lock, std::chrono::seconds(1), [&] { return stopping; });
            }
        }
    }

    // The warm parent, once there is one; raises Error when starting one failed meanwhile.
    std::shared_ptr<Child> current_parent() {
        if (options.pool_size == 0) {
            return warm_one(); // one per run
        }
        start_filling();
        std::unique_lock lock(mutex);
        const std::uint64_t failures_before = failures;
        changed.wait(lock, [&] { return stopping || parent || failures != failures_before; });
        if (parent) {
            return parent;
        }
        throw Error("the analysis sandbox could not start an interpreter: " +
                    (stopping ? std::string("the runner is stopping") : last_failure));
    }

    // Forgets a parent that has ended, so that the next request waits for its successor.
    void parent_ended(const std::shared_ptr<Child>& gone) {
        std::deque<Lease> dropped; // stopped after the lock is released
        std::lock_guard lock(mutex);
        if (parent == gone) {
            parent.reset();
            dropped.swap(forked);
        }
        changed.notify_all();
    }

    Lease acquire() {
        if (!warm()) {
            return {nullptr, acquire_plain()};
        }
        // A parent that ends before the analysis process is ready is replaced, and the
        // request goes to its successor.
        for (int attempt = 0;; ++attempt) {
            Lease lease;
            if (options.pool_size > 0) {
                std::unique_lock lock(mutex);
                while (!forked.empty()) {
                    Lease ready = std::move(forked.front());
                    forked.pop_front();
                    if (!ready.child->has_ended()) {
                        lock.unlock();
                        const std::uint64_t one = 1;
                        [[maybe_unused]] auto n = ::write(refill.get(), &one, sizeof one);
                        return ready;
                    }
                    lock.unlock();
                    ready = {};
                    lock.lock();
                }
            }
            lease.parent = current_parent();
            try {
                lease.child =
                    sandbox::fork_child(*lease.parent, Clock::now() + options.startup_limit);
                if (lease.child->wait_ready(options.startup_limit, wake.get())) {
                    return lease;
                }
                lease.child->stop();
                if (!parent_gone(*lease.parent)) {
                    // The parent may be ending at this moment (a killed sandbox ends its
                    // analysis processes before its parent's socket closes), so the
                    // request goes to it again: a parent that is gone refuses the fork.
                    const std::string why = lease.child->why();
                    if (attempt >= 3) {
                        throw Error("the analysis process did not start" +
                                    (why.empty() ? std::string() : ": " + last_line(why)));
                    }
                    continue;
                }
            } catch (const sandbox::ParentGone&) {
            }
            parent_ended(lease.parent);
            if (attempt >= 3) {
                throw Error("the analysis sandbox's warm interpreter ended four times in a row");
            }
        }
    }

    std::unique_ptr<Child> acquire_plain() {
        if (options.pool_size == 0) {
            return warm_one();
        }
        start_filling();
        std::vector<std::unique_ptr<Child>> dead; // stopped after the lock is released
        std::unique_lock lock(mutex);
        const std::uint64_t failures_before = failures;
        for (;;) {
            while (!ready.empty()) {
                auto child = std::move(ready.front());
                ready.pop_front();
                changed.notify_all();
                if (!child->has_ended()) {
                    return child;
                }
                dead.push_back(std::move(child));
            }
            if (failures != failures_before) {
                throw Error("the analysis sandbox could not start an interpreter: " + last_failure);
            }
            changed.wait(lock);
        }
    }
};

SandboxRunner::SandboxRunner(SandboxOptions options) : pool_(std::make_unique<Pool>()) {
    pool_->options = std::move(options);
    const SandboxOptions& o = pool_->options;
    if (::access(o.python.c_str(), X_OK) != 0) {
        throw SandboxUnavailable("the analysis interpreter " + o.python +
                                 " cannot be run: " + std::strerror(errno));
    }
    pool_->layout.python = o.python;
    pool_->layout.scratch_size = o.scratch_size;
    pool_->layout.ipc_memory = o.ipc_memory_limit;
    pool_->layout.warm = true;
    pool_->layout.bwrap = find_program(o.bwrap);
    std::string reason;
    if (pool_->layout.bwrap.empty()) {
        reason = "bubblewrap ('" + o.bwrap + "') was not found";
    } else {
        reason = sandbox::probe(pool_->layout);
        if (!reason.empty()) {
            reason = "bwrap could not create the namespaces (" + last_line(reason) + ")";
        }
    }
    if (!reason.empty()) {
        if (!o.allow_reduced_isolation) {
            throw SandboxUnavailable("the analysis sandbox is not available: " + reason + ". " +
                                     kHowToAllow + ".");
        }
        pool_->layout.isolated = false;
        if (!g_reduced_said.exchange(true)) {
            print_err_line("zolviai: warning: isolation of analysis code is reduced: " + reason +
                           ". The code runs in a plain child process with an empty environment "
                           "and resource limits, but it can read what this process can read, "
                           "reach the network and signal this process. " +
                           kHowToAllow + ".");
        }
    }
    pool_->wake.reset(::eventfd(0, EFD_CLOEXEC));
    pool_->refill.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

SandboxRunner::~SandboxRunner() {
    {
        std::lock_guard lock(pool_->mutex);
        pool_->stopping = true;
    }
    if (pool_->wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(pool_->wake.get(), &one, sizeof one);
    }
    pool_->changed.notify_all();
    std::call_once(pool_->filler_started, [] {}); // no filler may start from now on
    if (pool_->filler.joinable()) {
        pool_->filler.join();
    }
    pool_->ready.clear();
    pool_->forked.clear();
    pool_->parent.reset();
}

bool SandboxRunner::isolated() const {
    return pool_->layout.isolated;
}

std::string SandboxRunner::describe() const {
    return isolated() ? "sandbox" : "plain child";
}

void SandboxRunner::prepare() {
    pool_->start_filling();
}

bool SandboxRunner::wait_until_warm(std::chrono::milliseconds limit) const {
    pool_->start_filling();
    if (pool_->options.pool_size == 0) {
        return true;
    }
    std::unique_lock lock(pool_->mutex);
    return pool_->changed.wait_for(lock, limit, [&] {
        return pool_->warm() ? pool_->parent != nullptr
                             : pool_->ready.size() >= pool_->options.pool_size;
    });
}

RunResult SandboxRunner::run(const AnalysisJob& job) {
    const SandboxOptions& o = pool_->options;
    const bool isolated = pool_->layout.isolated;
    RunResult result;
    fs::path media;
    if (!job.media_dir.empty()) {
        media = fs::absolute(job.media_dir).lexically_normal();
        if (!media.has_filename() && media != media.root_path()) {
            media = media.parent_path();
        }
        if (media == media.root_path()) {
            result.error = "ValueError: the media folder cannot be the root directory";
            return result;
        }
    }
    std::error_code ec;
    std::string cwd = fs::current_path(ec).string();
    if (ec) {
        cwd = "/";
    }
    long processes = o.process_limit;
    if (!isolated && ::getuid() != 0) {
        processes += sandbox::tasks_of_user(); // counted across the whole user without namespaces
    }
    const Value message = {
        {"source", job.source},
        {"media", media.empty() ? Value(nullptr) : Value(media.string())},
        {"cwd", cwd},
        {"isolated", isolated},
        {"limits",
         {{"cpu_seconds", (o.time_limit.count() + 999) / 1000},
          {"address_space", o.memory_limit},
          {"file_size", o.file_size_limit},
          {"processes", processes},
          {"open_files", o.open_files_limit}}},
        {"reply", {{"files", o.max_saved_files}, {"file_size", o.file_size_limit}}}};
    const std::string text = message.dump(-1, ' ', false, Value::error_handler_t::replace);

    sandbox::ReplyLimits limits;
    limits.max_text = o.max_result_size;
    limits.max_files = o.max_saved_files;
    limits.max_saved_size = o.max_saved_size;
    limits.max_file_size = o.file_size_limit;
    limits.max_file_bytes = o.scratch_size;
    sandbox::Reply reply;
    enum class Outcome { Result, Ended, Deadline, Refused } outcome = Outcome::Ended;
    std::string refusal;
    bool went_on = false;
    int status = -1;
    std::string printed;
    // A run whose warm parent ended under it (killed from outside: nothing inside can reach
    // it) goes to the parent's successor.
    for (int attempt = 0;; ++attempt) {
        Lease lease = pool_->acquire();
        std::unique_ptr<Child>& child = lease.child;
        reply = {};
        outcome = Outcome::Ended;
        const auto deadline = Clock::now() + o.time_limit;
        ChildSource source(*child, deadline);
        if (child->send_job(text, deadline)) {
            try {
                // Nothing is written for a run without a media folder, and in a plain child the
                // code saved its files itself.
                reply = sandbox::read_reply(source, limits, isolated ? media : fs::path());
                outcome = Outcome::Result;
            } catch (const DeadlinePassed&) {
                outcome = Outcome::Deadline;
            } catch (const sandbox::ReplyRefused& e) {
                using Reason = sandbox::ReplyRefused::Reason;
                switch (e.reason()) {
                case Reason::Incomplete:
                    outcome = Outcome::Ended;
                    break;
                case Reason::TooLarge:
                    outcome = Outcome::Refused;
                    refusal =
                        std::string("MemoryError: the analysis result was refused: ") + e.what();
                    break;
                case Reason::Malformed:
                    outcome = Outcome::Refused;
                    refusal = std::string("RuntimeError: the analysis process sent a result that "
                                          "could not be read: ") +
                              e.what();
                    break;
                }
            }
        } else if (Clock::now() >= deadline) {
            outcome = Outcome::Deadline;
        }
        // A child that stopped talking ends by itself in a moment, and its exit status says why;
        // one that goes on has closed its channel and is stopped.
        went_on = outcome == Outcome::Ended &&
                  !child->wait_end(std::min(deadline, Clock::now() + std::chrono::seconds(1)));
        if (outcome == Outcome::Result && child->forked) {
            // Its end frame came: the analysis process is killed, and not waited for (its
            // namespaces are taken down behind the answer).
            child->abandon();
        } else {
            status = child->stop();
        }
        printed = child->why();
        child.reset();
        // No wait status: the warm parent, which holds the status socket, was killed (nothing
        // inside can do that), and its channel closes a moment later (its sandbox's first
        // process ends after it).
        if (outcome == Outcome::Ended && lease.parent && attempt < 2 &&
            parent_gone(*lease.parent, status == -1 ? std::chrono::milliseconds(5000)
                                                    : std::chrono::milliseconds(0))) {
            pool_->parent_ended(lease.parent);
            continue;
        }
        break;
    }

    switch (outcome) {
    case Outcome::Deadline:
        result.error = "TimeoutError: the analysis code ran longer than " +
                       seconds_text(o.time_limit) + " and was stopped";
        return result;
    case Outcome::Refused:
        result.error = refusal;
        return result;
    case Outcome::Ended:
        result.error = went_on ? "SystemExit: the analysis code closed its channel to the host "
                                 "before reporting a result"
                               : ended_without_result(status, isolated, o.time_limit, printed);
        return result;
    case Outcome::Result:
        break;
    }
    if (reply.error) {
        result.error = std::move(*reply.error);
    } else {
        result.success = true;
        result.output = std::move(reply.output);
    }
    result.files = std::move(reply.files);
    return result;
}

} // namespace zolviai::pyexec
