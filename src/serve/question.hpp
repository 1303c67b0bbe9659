#pragma once

#include "serve/chart_store.hpp"
#include "serve/metrics.hpp"
#include "zolviai/agent/asker.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/state/conversations.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zolviai::serve {

using Clock = std::chrono::steady_clock;

// One question from its acceptance to its end, shared by the worker that runs it and the
// request that waits for it (or streams its steps).
class Ticket {
public:
    Ticket(std::string question, bool sql_only, Clock::time_point deadline, bool stream);

    const std::string question;
    const bool sql_only;
    const Clock::time_point accepted = Clock::now();
    const Clock::time_point deadline;
    // The conversation the question continues ("" starts one), when the server keeps them.
    std::string conversation_id;

    // Worker side. Events are kept only for a streamed question.
    void push_event(const char* event, const Value& data);
    // run_ms: the time the flow took, told to clients in a Server-Timing header;
    // retry_after_s: the Retry-After the error table gives the failure (0: none).
    void finish(int status, Value body, double run_ms, int retry_after_s = 0);

    // Request side. Waits for the end until the deadline; false when the deadline came first.
    bool wait_until_done();
    // Takes the events that came (waiting up to `wait` for one); done tells whether the
    // question has ended and every event was taken.
    std::vector<std::string> take_events(std::chrono::milliseconds wait, bool& done);
    // Called after each event and at the end, on the thread that made the change (at once
    // when an event or the end is already there); replaces any earlier listener, and an empty
    // function removes it. The listener must not block.
    void on_change(std::function<void()> listener);
    bool done() const;
    // Nobody waits any more (deadline, client gone): a worker that has not started skips it.
    void abandon();
    bool abandoned() const;

    int status() const;
    double run_ms() const;
    int retry_after_s() const;
    const Value& body() const; // after the end

private:
    const bool stream_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::function<void()> listener_;
    bool done_ = false;
    bool abandoned_ = false;
    int status_ = 0;
    double run_ms_ = 0;
    int retry_after_s_ = 0;
    Value body_;
};

// What a question needs to run: the shared engine and wrapper, and where its results go.
struct QuestionServices {
    const agent::Asker& asker;
    const sql::CustomSQLDatabase& db;
    ChartStore& charts;
    Metrics& metrics;
    std::size_t max_rows;
    state::ConversationStore* conversations = nullptr; // null: questions stand alone
};

// Runs the question on this thread and finishes the ticket: 200 with the answer record, or
// an error status with {"error": {"code", "message"}}.
void run_question(const QuestionServices& services, Ticket& ticket);

// The status and body of a finished answer, as run_question gives them: the error table's
// status and code for a raised error, 422 sql_failed for a SQL-only question whose SQL never
// ran, else 200 with the answer record (chart: its address once recorded in the chart store,
// which only a question with a media folder has).
int answer_status(const agent::Answer& answer, bool sql_only);
Value answer_record(const agent::Answer& answer, std::size_t max_rows, const std::string& chart);

// The 422 body of a SQL-only question whose SQL never ran: the error body plus "last_error"
// (the last attempt's error), "sql" (the statement tried last) and "attempts" (how many ran).
Value sql_failed_body(const agent::Answer& answer);

// The text with the question's media folder and the chart store's root written as "media":
// no response names a path on the server.
std::string without_server_paths(std::string text, const std::filesystem::path& folder,
                                 const std::filesystem::path& root);

// The error body every failure carries.
Value error_body(const std::string& code, const std::string& message);

// A result as JSON: {"columns", "rows" (the rows given, each cell as sql::cell_json gives it),
// "row_count" (all the statement produced), "truncated" (rows were left out)}.
Value rows_json(const sql::ResultSet& result);

// Whether the database answers a trivial statement now.
bool database_reachable(const sql::CustomSQLDatabase& db, std::string* why = nullptr);

} // namespace zolviai::serve
