// The server side of a guarded PostgreSQL session, as a role that may only read: the settings
// it runs with, notices and error texts held to a few kB, a backend that outlives the client's
// deadline ended from a second session, and the settings an administrator should add.
#include "sql/freezing_proxy.hpp"
#include "sql/sql_test_support.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/connection.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace zolviai::sql;
using zolviai::DatabaseError;
using zolviai::testing::FreezingProxy;
using zolviai::testing::ScratchDatabase;

namespace {

using Clock = std::chrono::steady_clock;

// A login role that may only read the scratch database's public schema, dropped at the end.
class PgReader {
public:
    explicit PgReader(ScratchDatabase& db) : db_(db) {
        static std::atomic<int> counter{0};
        role_ = "zg_rd_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
        db.admin().execute("CREATE ROLE " + role_ + " LOGIN PASSWORD 'zg-reader-pw'");
        db.admin().execute("GRANT USAGE ON SCHEMA public TO " + role_);
        db.admin().execute("GRANT SELECT ON ALL TABLES IN SCHEMA public TO " + role_);
    }
    ~PgReader() {
        try {
            db_.admin().execute("REVOKE ALL ON SCHEMA public FROM " + role_);
            db_.admin().execute("REVOKE ALL ON ALL TABLES IN SCHEMA public FROM " + role_);
            db_.admin().execute("DROP ROLE " + role_);
        } catch (const DatabaseError&) {
        }
    }
    ConnectSettings settings(int timeout_ms, std::vector<std::string> functions = {}) const {
        ConnectSettings s = db_.settings();
        s.user = role_;
        s.password = "zg-reader-pw";
        s.read_only = true;
        s.statement_timeout_ms = timeout_ms;
        s.guard.allowed_functions = std::move(functions);
        return s;
    }
    const std::string& role() const { return role_; }

private:
    ScratchDatabase& db_;
    std::string role_;
};

// Whether a backend with this pid still exists (from the admin connection).
bool backend_exists(ScratchDatabase& db, long long pid) {
    return db.admin()
               .execute("SELECT count(*) FROM pg_stat_activity WHERE pid = " + std::to_string(pid))
               .rows.at(0)
               .at(0)
               .integer != 0;
}

// Seconds until the backend was gone, or -1 when it was still there after `limit` seconds.
double seconds_until_gone(ScratchDatabase& db, long long pid, double limit) {
    const auto start = Clock::now();
    for (;;) {
        const double waited = std::chrono::duration<double>(Clock::now() - start).count();
        if (!backend_exists(db, pid)) {
            return waited;
        }
        if (waited > limit) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

long long backend_pid(Connection& conn) {
    return conn.execute_guarded("SELECT pg_backend_pid()", {}).rows.at(0).at(0).integer;
}

// Collects what the library writes to standard error.
class CapturingSink : public zolviai::ConsoleSink {
public:
    void write_out(std::string_view) override {}
    void write_err(std::string_view text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        err_ += text;
    }
    std::string err() {
        std::lock_guard<std::mutex> lock(mutex_);
        return err_;
    }

private:
    std::mutex mutex_;
    std::string err_;
};

TEST(PgSessionBounds, GuardedSessionsRunWithTheirMemoryAndTimeBounds) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    PgReader reader(db);
    auto conn = connect(reader.settings(2000));
    for (int round = 0; round < 2; ++round) { // the second after DISCARD ALL
        const ResultSet r = conn->execute_guarded(
            "SELECT current_setting('work_mem'), current_setting('temp_buffers'), "
            "current_setting('hash_mem_multiplier'), "
            "current_setting('max_parallel_workers_per_gather'), current_setting('jit'), "
            "current_setting('statement_timeout'), "
            "current_setting('idle_in_transaction_session_timeout')",
            {});
        ASSERT_EQ(r.rows.size(), 1u);
        const Row& row = r.rows[0];
        EXPECT_EQ(row[0].text, "16MB");
        EXPECT_EQ(row[1].text, "8MB");
        EXPECT_EQ(row[2].text, "1");
        EXPECT_EQ(row[3].text, "0");
        EXPECT_EQ(row[4].text, "off");
        EXPECT_EQ(row[5].text, "2s");
        EXPECT_EQ(row[6].text, "7s");
    }
    // A sort past work_mem spills to a temporary file instead of growing the backend.
    const ResultSet sorted = conn->execute_guarded(
        "SELECT count(*) FROM (SELECT g FROM generate_series(1, 2000000) g ORDER BY g DESC) s", {});
    EXPECT_EQ(sorted.rows.at(0).at(0).integer, 2000000);
}

TEST(PgSessionBounds, NoticesAndErrorTextsAreHeldToAFewKilobytes) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    db.admin().execute("CREATE FUNCTION zg_noisy(n int) RETURNS int LANGUAGE plpgsql AS $$ "
                       "BEGIN FOR i IN 1..n LOOP RAISE NOTICE '%', repeat('n', 10000); END LOOP; "
                       "RETURN n; END $$");
    PgReader reader(db);
    // The host allows the function here only to make notices.
    auto conn = connect(reader.settings(10000, {"zg_noisy"}));
    auto sink = std::make_shared<CapturingSink>();
    zolviai::set_console_sink(sink);
    ResultSet r;
    try {
        r = conn->execute_guarded("SELECT zg_noisy(2000)", {});
    } catch (...) {
        zolviai::set_console_sink(nullptr);
        throw;
    }
    zolviai::set_console_sink(nullptr);
    EXPECT_EQ(r.rows.at(0).at(0).integer, 2000);
    const std::string err = sink->err();
    // 20 MB of notices: the first few kB and a count of the rest.
    EXPECT_LT(err.size(), 8000u);
    EXPECT_NE(err.find("more notices"), std::string::npos) << err.substr(0, 200);

    const long idle = zolviai::testing::reset_peak_resident_kb();
    try {
        conn->execute_guarded("SELECT repeat('x', 20000000)::int", {});
        ADD_FAILURE() << "no error";
    } catch (const DatabaseError& e) {
        const std::string message = e.what();
        EXPECT_LT(message.size(), 5000u);
        EXPECT_NE(message.find("invalid input syntax for type integer"), std::string::npos);
        EXPECT_NE(message.find("more bytes of the message cut"), std::string::npos);
    }
    // libpq itself holds the whole message while it reads it; the copies after it are cut.
    std::printf("20 MB error text: host peak %ld MB above idle\n",
                (zolviai::testing::peak_resident_kb() - idle) / 1024);
    EXPECT_FALSE(conn->is_broken());
}

// The server answers, the relay in front of it does not pass the answer on: past the client
// deadline the backend is ended (by the cancel, the idle-in-transaction time-out or the
// terminate from a second session, whichever comes first), never left behind.
TEST(PgSessionBounds, DeadlineLeavesNoBackendBehind) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    PgReader reader(db);
    FreezingProxy proxy(db.settings().port);
    ConnectSettings s = reader.settings(1000);
    s.host = "127.0.0.1";
    s.port = proxy.port();
    auto conn = connect(s);
    const long long pid = backend_pid(*conn);
    const auto start = Clock::now();
    EXPECT_THROW(conn->execute_guarded("SELECT 'zg_freeze'", {}), DatabaseError);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("silent relay: call ended after %.2f s (time-out 1 s)\n", seconds);
    EXPECT_LT(seconds, 1 + 5 + 3); // back at the deadline
    EXPECT_TRUE(conn->is_broken());
    const double gone = seconds_until_gone(db, pid, 1 + 5);
    EXPECT_GE(gone, 0) << "backend " << pid << " still there";
}

// xpath runs inside libxml2, which never checks for a cancel: the server's time-out cannot
// stop it. The host gives up at its deadline; the backend is ended as soon as the server
// reaches a point where it takes the cancel or the terminate.
TEST(PgSessionBounds, UninterruptibleStatementHostReturnsAtItsDeadline) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    PgReader reader(db);
    // The host allows xpath here to reach a statement the server does not interrupt.
    auto conn = connect(reader.settings(1000, {"xpath"}));
    const long long pid = backend_pid(*conn);
    const auto start = Clock::now();
    try {
        conn->execute_guarded("SELECT xpath('count(//a[count(//a[count(//a) > 0]) > 0])', "
                              "('<r>' || repeat('<a/>', 1000) || '</r>')::xml)",
                              {});
    } catch (const DatabaseError&) {
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LT(seconds, 1 + 5 + 3);
    const double gone = seconds_until_gone(db, pid, 120);
    std::printf("xpath: host back after %.2f s, backend gone %.2f s later\n", seconds, gone);
    EXPECT_GE(gone, 0) << "backend " << pid << " still there after two minutes";
}

TEST(PgSessionBounds, ServerLimitsReportNamesTheAdministratorsSettings) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    PgReader reader(db);
    const ServerLimitsReport report = connect(reader.settings(2000))->server_limits();
    ASSERT_EQ(report.limits.size(), 2u);
    EXPECT_EQ(report.limits[0].name, "temp_file_limit");
    EXPECT_FALSE(report.limits[0].ok); // the test server leaves it unlimited
    EXPECT_EQ(report.limits[0].statement,
              "ALTER ROLE " + reader.role() + " SET temp_file_limit = '1GB';");
    // Once an administrator sets it, the report says so.
    db.admin().execute("ALTER ROLE " + reader.role() + " SET temp_file_limit = '1GB'");
    const ServerLimitsReport after = connect(reader.settings(2000))->server_limits();
    EXPECT_TRUE(after.limits.at(0).ok) << after.limits[0].current;
    EXPECT_EQ(after.limits[1].name, "connection limit");
    EXPECT_FALSE(after.limits[1].ok);
}

} // namespace
