#include "sql/connection_pool.hpp"

#include "zolviai/core/error.hpp"

#include <string>

namespace zolviai::sql {

ConnectionPool::ConnectionPool(ConnectSettings settings, std::size_t most,
                               std::chrono::milliseconds wait)
    : settings_(std::move(settings)), most_(most), wait_(wait) {}

ConnectionPool::Lease::~Lease() {
    // A connection that closed itself, or that failed and no longer answers, is dropped.
    if (conn_->is_broken() || (suspect_ && !conn_->is_alive())) {
        conn_.reset();
    }
    pool_.release(std::move(conn_));
}

std::unique_ptr<Connection> ConnectionPool::acquire() {
    const auto deadline = std::chrono::steady_clock::now() + wait_;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (!available_.wait_until(lock, deadline,
                                       [&] { return !idle_.empty() || open_ < most_; })) {
                throw DatabaseUnavailable("all " + std::to_string(most_) +
                                    " database connections are busy; waited " +
                                    std::to_string(wait_.count()) + " ms for one to become free");
            }
        }
        // Another caller may have taken the free place meanwhile: then wait again.
        if (std::unique_ptr<Connection> c = try_acquire_or_throw()) {
            return c;
        }
    }
}

std::unique_ptr<Connection> ConnectionPool::try_acquire() {
    try {
        return try_acquire_or_throw();
    } catch (const Error&) {
        return nullptr; // the caller reads on its own connection instead
    }
}

std::unique_ptr<Connection> ConnectionPool::try_acquire_or_throw() {
    std::unique_lock lock(mutex_);
    if (!idle_.empty()) {
        std::unique_ptr<Connection> c = std::move(idle_.back());
        idle_.pop_back();
        return c;
    }
    if (open_ >= most_) {
        return nullptr;
    }
    ++open_;
    lock.unlock();
    try {
        return connect(settings_);
    } catch (...) {
        lock.lock();
        --open_;
        available_.notify_one();
        throw;
    }
}

void ConnectionPool::release(std::unique_ptr<Connection> connection) {
    {
        std::lock_guard lock(mutex_);
        if (connection) {
            idle_.push_back(std::move(connection));
        } else {
            --open_;
        }
    }
    available_.notify_one();
}

void ConnectionPool::adopt(std::unique_ptr<Connection> connection) {
    {
        std::lock_guard lock(mutex_);
        ++open_;
        idle_.push_back(std::move(connection));
    }
    available_.notify_one();
}

} // namespace zolviai::sql
