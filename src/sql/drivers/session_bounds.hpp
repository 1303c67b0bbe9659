#pragma once

// Bounds the server side of a guarded session: the settings a reader role may set for its own
// session, the messages and notices an engine sends back (held to a few kB before they are
// copied around), and what an administrator should set that no reader may.
#include "zolviai/sql/connection.hpp"

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

struct pg_cancel; // libpq's PGcancel

namespace zolviai::sql::drivers {

// The longest engine message (error or notice) kept, in bytes.
constexpr std::size_t max_message_bytes = 4096;

// The first max_bytes bytes of an engine's message (on a character boundary), trailing line
// breaks trimmed, with a note of how much was left out when it was longer. Reads only what it
// keeps: call it on the client library's buffer before anything else copies the text.
std::string bounded_message(std::string_view message, std::size_t max_bytes = max_message_bytes);

// The notices of one statement: the first max_bytes bytes are kept, the rest only counted.
class NoticeBudget {
public:
    explicit NoticeBudget(std::size_t max_bytes = max_message_bytes) : max_bytes_(max_bytes) {}

    void start() {
        kept_.clear();
        dropped_ = 0;
        dropped_bytes_ = 0;
    }
    void add(std::string_view notice);

    // The kept notices, one a line, and a last line counting the dropped ones.
    std::string text() const;
    std::size_t dropped() const { return dropped_; }

private:
    std::size_t max_bytes_;
    std::string kept_;
    std::size_t dropped_ = 0;
    std::size_t dropped_bytes_ = 0;
};

// PostgreSQL: the settings of a guarded session, as startup options ("-c name=value ..."): they
// become the session's defaults, which DISCARD ALL returns to. All of them a role without
// special rights may set.
struct PgSessionBounds {
    int work_mem_kb = 16 * 1024;    // each sort or hash node of a plan
    int temp_buffers_kb = 8 * 1024; // temporary tables (none can be made; set all the same)
    int hash_mem_multiplier = 1;    // hash nodes get work_mem, no more
};
std::string postgresql_guarded_options(const PgSessionBounds& bounds, int statement_timeout_ms);

// The same bounds for one transaction, as SET LOCAL statements (for sessions whose startup
// options the driver does not set, and that DISCARD ALL returns to the server's defaults).
std::string postgresql_transaction_bounds(const PgSessionBounds& bounds, int statement_timeout_ms);

// Runs work on a thread of its own and waits for it at most `limit`; past it the thread is left
// to finish alone (work must own everything it uses). True when it finished in time. For
// client-library calls that have no time-out of their own (PQcancel waits for the server to
// close the cancel connection, however long that takes).
bool run_with_time_limit(std::function<void()> work, std::chrono::milliseconds limit);

// Stops a PostgreSQL backend whose client gave up, on a thread of its own so that the caller
// does not wait: sends the cancel (and frees it), waits 2 s, then terminates the backend from
// a second session of the same role (a role may end its own backends). Takes ownership of
// cancel (may be null).
void stop_backend_later(const ConnectSettings& settings, int pid, ::pg_cancel* cancel);

// Ends the PostgreSQL backend pid from a second, short-lived session of the same role (a role
// may terminate its own backends). Best effort: it never throws; false when it could not.
bool postgresql_terminate_backend(const ConnectSettings& settings, int pid);

// MariaDB: the same for a guarded session, as the body of one SET SESSION statement.
struct MariadbSessionBounds {
    long long max_session_mem_bytes = 256LL * 1024 * 1024;
    long long tmp_memory_table_bytes = 16LL * 1024 * 1024;
    long long tmp_disk_table_bytes = 1024LL * 1024 * 1024;
    long long max_recursive_iterations = 100000;
    long long max_join_size = 0; // 0: the server's default
};
std::string mariadb_guarded_settings(const MariadbSessionBounds& bounds);

// The settings an administrator should give the role generated SQL runs as, which the role
// cannot set itself, read from the server: one line per setting.
ServerLimitsReport postgresql_limits_report(Connection& connection);
ServerLimitsReport mariadb_limits_report(Connection& connection);

} // namespace zolviai::sql::drivers
