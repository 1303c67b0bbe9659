#include "sql/drivers/session_bounds.hpp"

#include "sql/drivers/drivers.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"

#include <condition_variable>
#include <cstdlib>
#include <libpq-fe.h>
#include <memory>
#include <mutex>
#include <thread>

namespace zolviai::sql::drivers {

std::string bounded_message(std::string_view message, std::size_t max_bytes) {
    if (message.size() <= max_bytes) {
        return trim_message(message);
    }
    const std::size_t keep = utf8_prefix_length(message, max_bytes);
    std::string out = trim_message(message.substr(0, keep));
    out += " ... (" + std::to_string(message.size() - keep) + " more bytes of the message cut)";
    return out;
}

void NoticeBudget::add(std::string_view notice) {
    if (dropped_ == 0 && kept_.size() + notice.size() <= max_bytes_) {
        kept_.append(notice);
        if (!kept_.empty() && kept_.back() != '\n') {
            kept_.push_back('\n');
        }
        return;
    }
    ++dropped_;
    dropped_bytes_ += notice.size();
}

std::string NoticeBudget::text() const {
    std::string out = kept_;
    if (dropped_ > 0) {
        out += std::to_string(dropped_) + " more notice" + (dropped_ == 1 ? "" : "s") + " (" +
               std::to_string(dropped_bytes_) + " bytes) left out\n";
    }
    return out;
}

std::string postgresql_guarded_options(const PgSessionBounds& bounds, int statement_timeout_ms) {
    std::string out = " -c work_mem=" + std::to_string(bounds.work_mem_kb) + "kB" +
                      " -c temp_buffers=" + std::to_string(bounds.temp_buffers_kb) + "kB" +
                      " -c hash_mem_multiplier=" + std::to_string(bounds.hash_mem_multiplier) +
                      // Parallel workers multiply every memory bound by their number, and JIT
                      // compiles code for the statement in the backend.
                      " -c max_parallel_workers_per_gather=0 -c jit=off";
    if (statement_timeout_ms > 0) {
        const std::string t = std::to_string(statement_timeout_ms);
        out += " -c lock_timeout=" + t + " -c idle_in_transaction_session_timeout=" +
               std::to_string(statement_timeout_ms + 5000);
    }
    return out;
}

std::string postgresql_transaction_bounds(const PgSessionBounds& bounds, int statement_timeout_ms) {
    std::string out =
        "SET LOCAL work_mem = '" + std::to_string(bounds.work_mem_kb) +
        "kB'; SET LOCAL hash_mem_multiplier = " + std::to_string(bounds.hash_mem_multiplier) +
        "; SET LOCAL max_parallel_workers_per_gather = 0; SET LOCAL jit = off";
    if (statement_timeout_ms > 0) {
        const std::string t = std::to_string(statement_timeout_ms);
        out += "; SET LOCAL statement_timeout = " + t + "; SET LOCAL lock_timeout = " + t +
               "; SET LOCAL idle_in_transaction_session_timeout = " +
               std::to_string(statement_timeout_ms + 5000);
    }
    return out;
}

bool run_with_time_limit(std::function<void()> work, std::chrono::milliseconds limit) {
    struct State {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    std::thread thread([state, work = std::move(work)] {
        work();
        std::lock_guard<std::mutex> lock(state->mutex);
        state->done = true;
        state->done_cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(state->mutex);
    const bool finished = state->done_cv.wait_for(lock, limit, [&] { return state->done; });
    lock.unlock();
    if (finished) {
        thread.join();
    } else {
        thread.detach();
    }
    return finished;
}

void stop_backend_later(const ConnectSettings& settings, int pid, PGcancel* cancel) {
    std::thread([settings, pid, cancel] {
        const auto start = std::chrono::steady_clock::now();
        if (cancel != nullptr) {
            // PQcancel waits for the server to close the cancel connection, with no time-out
            // of its own.
            run_with_time_limit(
                [cancel] {
                    char message[256];
                    PQcancel(cancel, message, sizeof message);
                    PQfreeCancel(cancel);
                },
                std::chrono::seconds(2));
        }
        std::this_thread::sleep_until(start + std::chrono::seconds(2));
        if (pid > 0) {
            postgresql_terminate_backend(settings, pid);
        }
    }).detach();
}

bool postgresql_terminate_backend(const ConnectSettings& settings, int pid) {
    const std::string port = settings.port > 0 ? std::to_string(settings.port) : "";
    const char* keys[] = {"host",    "port",
                          "user",    "password",
                          "dbname",  "connect_timeout",
                          "options", "application_name",
                          nullptr};
    const char* values[] = {settings.host.empty() ? nullptr : settings.host.c_str(),
                            port.empty() ? nullptr : port.c_str(),
                            settings.user.empty() ? nullptr : settings.user.c_str(),
                            settings.password.empty() ? nullptr : settings.password.c_str(),
                            settings.database.empty() ? nullptr : settings.database.c_str(),
                            "3",
                            "-c statement_timeout=3000",
                            "zolviai-stop",
                            nullptr};
    PGconn* side = PQconnectdbParams(keys, values, 0);
    bool done = false;
    if (side != nullptr && PQstatus(side) == CONNECTION_OK) {
        const std::string text = std::to_string(pid);
        const char* params[] = {text.c_str()};
        PGresult* r = PQexecParams(side, "SELECT pg_catalog.pg_terminate_backend($1::int)", 1,
                                   nullptr, params, nullptr, nullptr, 0);
        done = r != nullptr && PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 &&
               PQgetvalue(r, 0, 0)[0] == 't';
        PQclear(r);
    }
    PQfinish(side);
    return done;
}

std::string mariadb_guarded_settings(const MariadbSessionBounds& bounds) {
    std::string out =
        "max_session_mem_used=" + std::to_string(bounds.max_session_mem_bytes) +
        ", SESSION tmp_memory_table_size=" + std::to_string(bounds.tmp_memory_table_bytes) +
        ", SESSION max_heap_table_size=" + std::to_string(bounds.tmp_memory_table_bytes) +
        ", SESSION tmp_disk_table_size=" + std::to_string(bounds.tmp_disk_table_bytes) +
        ", SESSION max_recursive_iterations=" + std::to_string(bounds.max_recursive_iterations);
    if (bounds.max_join_size > 0) {
        out += ", SESSION max_join_size=" + std::to_string(bounds.max_join_size);
    }
    return out;
}

namespace {

std::string first_text(Connection& connection, const std::string& sql) {
    const ResultSet r = connection.execute(sql);
    if (r.rows.empty() || r.rows[0].empty() || r.rows[0][0].type == CellType::Null) {
        return "";
    }
    const Cell& c = r.rows[0][0];
    switch (c.type) {
    case CellType::Integer:
        return std::to_string(c.integer);
    case CellType::Float:
        return std::to_string(static_cast<long long>(c.real));
    default:
        return c.text;
    }
}

} // namespace

ServerLimitsReport postgresql_limits_report(Connection& connection) {
    ServerLimitsReport report;
    const std::string role = first_text(connection, "SELECT quote_ident(current_user)");
    {
        ServerLimit l;
        l.name = "temp_file_limit";
        l.current = first_text(connection, "SELECT current_setting('temp_file_limit')");
        l.recommended = "1GB";
        l.ok = l.current != "-1" && !l.current.empty();
        l.why = "temporary files one session may write for sorts, hashes and materialised "
                "results; unlimited by default, and only a superuser may set it";
        l.statement = "ALTER ROLE " + role + " SET temp_file_limit = '1GB';";
        report.limits.push_back(std::move(l));
    }
    {
        ServerLimit l;
        l.name = "connection limit";
        l.current = first_text(connection,
                               "SELECT rolconnlimit FROM pg_roles WHERE rolname = current_user");
        l.recommended = "32";
        l.ok = !l.current.empty() && l.current != "-1";
        l.why = "backends the role may hold at once, each with its own work_mem per plan node";
        l.statement = "ALTER ROLE " + role + " CONNECTION LIMIT 32;";
        report.limits.push_back(std::move(l));
    }
    return report;
}

ServerLimitsReport mariadb_limits_report(Connection& connection) {
    ServerLimitsReport report;
    const std::string user = first_text(connection, "SELECT CURRENT_USER()");
    std::string account = user;
    if (const std::size_t at = user.rfind('@'); at != std::string::npos) {
        account = "'" + user.substr(0, at) + "'@'" + user.substr(at + 1) + "'";
    }
    {
        ServerLimit l;
        l.name = "max_allowed_packet";
        l.current = first_text(connection, "SELECT @@GLOBAL.max_allowed_packet");
        l.recommended = "16777216";
        l.ok = !l.current.empty() && std::atoll(l.current.c_str()) <= 16777216;
        l.why = "the largest value a statement may build (REPEAT, GROUP_CONCAT, JSON) and the "
                "largest row sent; a global setting";
        l.statement = "SET GLOBAL max_allowed_packet = 16777216;  -- and max_allowed_packet = "
                      "16M under [mariadbd] in the server's configuration";
        report.limits.push_back(std::move(l));
    }
    {
        ServerLimit l;
        l.name = "max_user_connections";
        l.current = first_text(connection, "SELECT @@max_user_connections");
        l.recommended = "32";
        l.ok = !l.current.empty() && l.current != "0";
        l.why = "sessions the account may hold at once, each with its own memory bounds";
        l.statement = "ALTER USER " + account + " WITH MAX_USER_CONNECTIONS 32;";
        report.limits.push_back(std::move(l));
    }
    return report;
}

} // namespace zolviai::sql::drivers
