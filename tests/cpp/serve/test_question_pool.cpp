#include "serve/question_pool.hpp"

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>

namespace zolviai::serve {
namespace {

// Jobs that hold their worker until the test opens the gate.
class Gate {
public:
    void wait() {
        std::unique_lock lock(mutex_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
    }
    void wait_for_waiting(int n) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return waiting_ >= n; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int waiting_ = 0;
    bool open_ = false;
};

TEST(QuestionPool, TakesOneJobPerWorkerAndQueueCapacityMoreThenRefuses) {
    struct Case {
        std::size_t workers, queue;
    };
    for (const Case c : {Case{1, 0}, Case{2, 3}, Case{4, 1}}) {
        Gate gate;
        std::atomic<int> ran{0};
        {
            QuestionPool pool(c.workers, c.queue);
            for (std::size_t i = 0; i < c.workers + c.queue; ++i) {
                ASSERT_TRUE(pool.submit([&] {
                    gate.wait();
                    ++ran;
                })) << "job "
                    << i << " of " << c.workers << "+" << c.queue;
            }
            gate.wait_for_waiting(static_cast<int>(c.workers));
            EXPECT_EQ(pool.running(), c.workers);
            EXPECT_EQ(pool.waiting(), c.queue);
            EXPECT_FALSE(pool.submit([&] { ++ran; })) << "a full pool must refuse";
            gate.open();
        } // the destructor lets every accepted job finish
        EXPECT_EQ(ran, static_cast<int>(c.workers + c.queue));
    }
}

TEST(QuestionPool, AcceptsAgainOnceAWorkerIsFree) {
    QuestionPool pool(1, 0);
    Gate gate;
    ASSERT_TRUE(pool.submit([&] { gate.wait(); }));
    gate.wait_for_waiting(1);
    EXPECT_FALSE(pool.submit([] {}));
    gate.open();
    std::atomic<bool> second{false};
    for (int i = 0; i < 1000 && !second; ++i) {
        if (pool.submit([&] { second = true; })) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    while (pool.running() + pool.waiting() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(second);
}

} // namespace
} // namespace zolviai::serve
