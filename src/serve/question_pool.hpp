#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zolviai::serve {

// A fixed number of worker threads and a bounded queue in front of them. A job that finds
// the queue full is refused at once, so a burst turns into quick refusals instead of
// requests that wait without end.
class QuestionPool {
public:
    QuestionPool(std::size_t workers, std::size_t queue_capacity);
    ~QuestionPool(); // lets queued jobs run, then joins the workers
    QuestionPool(const QuestionPool&) = delete;
    QuestionPool& operator=(const QuestionPool&) = delete;

    // False when the queue is full or the pool is closing; the job is then not run.
    bool submit(std::function<void()> job);

    std::size_t running() const;
    std::size_t waiting() const;

private:
    void work();

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::size_t running_ = 0;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

} // namespace zolviai::serve
