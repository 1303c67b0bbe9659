#include "serve/question_pool.hpp"

namespace zolviai::serve {

QuestionPool::QuestionPool(std::size_t workers, std::size_t queue_capacity)
    : capacity_(queue_capacity) {
    threads_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) {
        threads_.emplace_back([this] { work(); });
    }
}

QuestionPool::~QuestionPool() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) {
        t.join();
    }
}

bool QuestionPool::submit(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        // Up to one job per worker runs; up to capacity_ more wait.
        if (closing_ || queue_.size() + running_ >= threads_.size() + capacity_) {
            return false;
        }
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

std::size_t QuestionPool::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

std::size_t QuestionPool::waiting() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void QuestionPool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) {
            return; // closing, nothing left
        }
        auto job = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        job();
        lock.lock();
        --running_;
    }
}

} // namespace zolviai::serve
