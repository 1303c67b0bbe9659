#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zolviai::mcp {

// The threads tool calls run on, so that the reader of a session stays free for pings and
// cancellations: a fixed number of threads, no queue (a call that finds them all busy is
// refused at once).
class Workers {
public:
    explicit Workers(std::size_t threads);
    ~Workers(); // lets running jobs end, then joins
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // False when every thread has a job or the pool is closing; the job is then not run.
    bool submit(std::function<void()> job);

private:
    void work();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::size_t busy_ = 0; // jobs submitted and not yet ended
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

} // namespace zolviai::mcp
