#pragma once

#include "zolviai/sql/connection.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace zolviai::sql {

// The connections one database wrapper opens: at most `most` at a time, reused while they
// work. Safe to use from many threads at once.
class ConnectionPool {
public:
    // wait: how long acquire waits for a connection when all are busy.
    ConnectionPool(ConnectSettings settings, std::size_t most, std::chrono::milliseconds wait);

    const ConnectSettings& settings() const { return settings_; }

    // A connection, waiting for one while all are busy; DatabaseError when none becomes free
    // in time or a new one cannot be opened.
    std::unique_ptr<Connection> acquire();
    // A connection when one is idle or the pool may open one more; nullptr instead of waiting
    // (or of a failure to connect).
    std::unique_ptr<Connection> try_acquire();
    // An idle connection, else a new one when the pool may open one (a failure to connect is
    // thrown), else nullptr.
    std::unique_ptr<Connection> try_acquire_or_throw();
    // Gives a connection back; null when it was dropped, which frees its place.
    void release(std::unique_ptr<Connection> connection);
    // A connection opened elsewhere (the first one, which proved the database answers) joins
    // the pool's idle ones.
    void adopt(std::unique_ptr<Connection> connection);

    // A connection borrowed from the pool; it goes back when the lease ends, or is dropped
    // when it stopped working.
    class Lease {
    public:
        explicit Lease(ConnectionPool& pool) : pool_(pool), conn_(pool.acquire()) {}
        Lease(ConnectionPool& pool, std::unique_ptr<Connection> connection)
            : pool_(pool), conn_(std::move(connection)) {}
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Connection& operator*() { return *conn_; }
        Connection* operator->() { return conn_.get(); }
        // The connection failed: check that it still answers before it goes back.
        void suspect() { suspect_ = true; }

    private:
        ConnectionPool& pool_;
        std::unique_ptr<Connection> conn_;
        bool suspect_ = false;
    };

private:
    const ConnectSettings settings_;
    const std::size_t most_;
    const std::chrono::milliseconds wait_;
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::size_t open_ = 0;
};

} // namespace zolviai::sql
