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
        // Each queued job needs an idle thread of its own.
        if (closing_ || jobs_.size() >= idle_) {
            return false;
        }
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void Workers::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        wake_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
        --idle_;
        if (jobs_.empty()) {
            return; // closing
        }
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

} // namespace zolviai::mcp
