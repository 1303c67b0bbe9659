#include "sql/large_stack.hpp"

#include "zolviai/core/error.hpp"

#include <cstdint>
#include <exception>
#include <pthread.h>

namespace zolviai::sql {

namespace {

// The lowest address of the calling thread's stack, read once per thread.
std::uintptr_t stack_floor() {
    thread_local std::uintptr_t floor = [] {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) {
            return std::uintptr_t(0);
        }
        void* address = nullptr;
        std::size_t size = 0;
        const int rc = pthread_attr_getstack(&attr, &address, &size);
        pthread_attr_destroy(&attr);
        return rc == 0 ? reinterpret_cast<std::uintptr_t>(address) : std::uintptr_t(0);
    }();
    return floor;
}

struct Job {
    const std::function<void()>* work;
    std::exception_ptr error;
};

void* run_job(void* arg) {
    Job* job = static_cast<Job*>(arg);
    try {
        (*job->work)();
    } catch (...) {
        job->error = std::current_exception();
    }
    return nullptr;
}

} // namespace

std::size_t stack_bytes_left() {
    const std::uintptr_t floor = stack_floor();
    char here = 0;
    const auto point = reinterpret_cast<std::uintptr_t>(&here);
    return floor != 0 && point > floor ? point - floor : 0;
}

void run_with_stack(std::size_t needed, const std::function<void()>& work) {
    if (stack_bytes_left() >= needed) {
        work();
        return;
    }
    Job job{&work, nullptr};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, guard_stack_bytes);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, &run_job, &job);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        throw DatabaseError("could not start a thread to check the statement on (error " +
                            std::to_string(rc) + ")");
    }
    pthread_join(thread, nullptr);
    if (job.error) {
        std::rethrow_exception(job.error);
    }
}

} // namespace zolviai::sql
