#include "zolviai/mcp/workers.hpp"

namespace zolviai::mcp {

Workers::Workers(std::size_t threads) {
    threads_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
        threads_.emplace_back([this] { work(); });
    }
}

Workers::~Workers() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) {
        t.join();
    }
}

bool Workers::submit(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        // Each job needs a thread of its own: counted from the submission, not from when a
        // thread picks it up (a thread that has not started yet is not busy).
        if (closing_ || busy_ >= threads_.size()) {
            return false;
        }
        ++busy_;
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void Workers::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
        if (jobs_.empty()) {
            return; // closing
        }
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        job = nullptr; // what it holds is let go of outside the lock
        lock.lock();
        --busy_;
    }
}

} // namespace zolviai::mcp
