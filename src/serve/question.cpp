#include "serve/question.hpp"

#include "serve/conversation_routes.hpp"
#include "zolviai/agent/conversation.hpp"
#include "zolviai/agent/error_table.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/graph/run_config.hpp"
#include "zolviai/sql/render.hpp"

#include <filesystem>
#include <spdlog/spdlog.h>

namespace zolviai::serve {
namespace {

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string sse_frame(const char* event, const Value& data) {
    return std::string("event: ") + event +
           "\ndata: " + data.dump(-1, ' ', false, Value::error_handler_t::replace) + "\n\n";
}

// Each node's start and end, for a streamed question, sent as it happens. Nodes of one super-step
// may report from several threads.
class StepEvents : public graph::Observer {
public:
    StepEvents(Ticket& ticket, Clock::time_point start) : ticket_(ticket), start_(start) {}

    void on_node_start(std::string_view node, int step) override {
        ticket_.push_event("step", {{"phase", "start"},
                                    {"name", node},
                                    {"label", agent::step_label(node)},
                                    {"step", step + 1},
                                    {"elapsed_ms", ms_between(start_, Clock::now())}});
    }
    void on_node_end(std::string_view node, int step, std::chrono::nanoseconds elapsed,
                     bool failed) override {
        const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
        ticket_.push_event("step", {{"phase", "end"},
                                    {"name", node},
                                    {"label", agent::step_label(node)},
                                    {"step", step + 1},
                                    {"elapsed_ms", ms_between(start_, Clock::now())},
                                    {"ms", ms},
                                    {"failed", failed}});
    }

private:
    Ticket& ticket_;
    Clock::time_point start_;
};

} // namespace

Ticket::Ticket(std::string question, bool sql_only, Clock::time_point deadline, bool stream)
    : question(std::move(question)), sql_only(sql_only), deadline(deadline), stream_(stream) {}

void Ticket::push_event(const char* event, const Value& data) {
    if (!stream_) {
        return;
    }
    std::function<void()> listener;
    {
        std::lock_guard lock(mutex_);
        events_.push_back(sse_frame(event, data));
        listener = listener_;
    }
    changed_.notify_all();
    if (listener) {
        listener();
    }
}

void Ticket::finish(int status, Value body, double run_ms, int retry_after_s) {
    std::function<void()> listener;
    {
        std::lock_guard lock(mutex_);
        run_ms_ = run_ms;
        retry_after_s_ = retry_after_s;
        if (stream_) {
            events_.push_back(sse_frame(status == 200 ? "result" : "error", body));
        }
        status_ = status;
        body_ = std::move(body);
        done_ = true;
        listener = std::move(listener_);
        listener_ = nullptr;
    }
    changed_.notify_all();
    if (listener) {
        listener();
    }
}

void Ticket::on_change(std::function<void()> listener) {
    bool now = false;
    {
        std::lock_guard lock(mutex_);
        now = done_ || !events_.empty();
        if (!done_) {
            listener_ = listener;
        }
    }
    if (now && listener) {
        listener();
    }
}

bool Ticket::done() const {
    std::lock_guard lock(mutex_);
    return done_;
}

bool Ticket::wait_until_done() {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [this] { return done_; });
}

std::vector<std::string> Ticket::take_events(std::chrono::milliseconds wait, bool& done) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [this] { return done_ || !events_.empty(); });
    std::vector<std::string> out;
    out.swap(events_);
    done = done_;
    return out;
}

void Ticket::abandon() {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
}

bool Ticket::abandoned() const {
    std::lock_guard lock(mutex_);
    return abandoned_;
}

int Ticket::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

int Ticket::retry_after_s() const {
    std::lock_guard lock(mutex_);
    return retry_after_s_;
}

double Ticket::run_ms() const {
    std::lock_guard lock(mutex_);
    return run_ms_;
}

const Value& Ticket::body() const {
    std::lock_guard lock(mutex_);
    return body_;
}

Value error_body(const std::string& code, const std::string& message) {
    return {{"error", {{"code", code}, {"message", message}}}};
}

Value rows_json(const sql::ResultSet& result) {
    Value columns = Value::array();
    for (const auto& column : result.columns) {
        columns.push_back(column.name);
    }
    Value rows = Value::array();
    for (const auto& row : result.rows) {
        Value line = Value::array();
        for (const auto& cell : row) {
            line.push_back(sql::cell_json(cell));
        }
        rows.push_back(std::move(line));
    }
    const auto count =
        std::max<std::int64_t>(result.total_rows, static_cast<std::int64_t>(result.rows.size()));
    const bool truncated = static_cast<std::int64_t>(result.rows.size()) < count;
    return {{"columns", std::move(columns)},
            {"rows", std::move(rows)},
            {"row_count", count},
            {"truncated", truncated}};
}

bool database_reachable(const sql::CustomSQLDatabase& db, std::string* why) {
    try {
        db.query("SELECT 1", 1);
        return true;
    } catch (const Error& e) {
        if (why) {
            *why = e.what();
        }
        return false;
    }
}

int answer_status(const agent::Answer& a, bool sql_only) {
    if (!a.error_type.empty()) {
        return agent::error_face(a.error_kind.value_or(ErrorKind::Internal)).http_status;
    }
    return sql_only && !a.ok() ? 422 : 200;
}

namespace {

// Every occurrence of a server folder in a text, replaced by what a reader may see.
void replace_path(std::string& text, const std::string& path, std::string_view shown) {
    if (path.size() < 2) {
        return;
    }
    for (std::size_t at = text.find(path); at != std::string::npos;
         at = text.find(path, at + shown.size())) {
        text.replace(at, path.size(), shown);
    }
}

} // namespace

std::string without_server_paths(std::string text, const std::filesystem::path& folder,
                                 const std::filesystem::path& root) {
    // The question's own folder first: it lies inside the root.
    if (!folder.empty()) {
        replace_path(text, folder.string(), "media");
        std::error_code ec;
        const auto real = std::filesystem::weakly_canonical(folder, ec);
        if (!ec) {
            replace_path(text, real.string(), "media");
        }
    }
    if (!root.empty()) {
        replace_path(text, root.string(), "media");
    }
    return text;
}

Value answer_record(const agent::Answer& a, std::size_t max_rows, const std::string& chart) {
    Value record = agent::answer_json(a, max_rows);
    record["chart"] = chart.empty() ? Value(nullptr) : Value(chart);
    return record;
}

Value sql_failed_body(const agent::Answer& a) {
    std::string message = "the SQL could not be written so that it runs";
    if (!a.error.empty()) {
        message += ": " + a.error;
    }
    Value body = error_body("sql_failed", message);
    Value& error = body["error"];
    error["last_error"] = a.error.empty() ? Value(nullptr) : Value(a.error);
    const std::string tried = !a.attempts.empty() ? a.attempts.back().sql : a.sql.value_or("");
    error["sql"] = tried.empty() ? Value(nullptr) : Value(tried);
    error["attempts"] = static_cast<std::int64_t>(a.attempts.size());
    return body;
}

void run_question(const QuestionServices& s, Ticket& ticket) {
    if (ticket.abandoned() || Clock::now() >= ticket.deadline) {
        ticket.finish(504, error_body("timeout", "the question waited past its deadline"), 0);
        return;
    }
    const auto start = Clock::now();
    StepEvents events(ticket, start);
    std::filesystem::path folder;
    agent::Question question;
    question.text = ticket.question;
    question.mode = ticket.sql_only ? agent::RunMode::SqlOnly : agent::RunMode::Full;
    question.max_rows = s.max_rows;
    question.deadline = ticket.deadline;
    int status = 500;
    int retry_after_s = 0;
    Value body;
    agent::Answer answer;
    Value conversation; // {"conversation_id", "turn"} of a stored turn
    try {
        if (!ticket.sql_only) {
            folder = s.charts.new_folder();
            question.media_dir = folder.string();
        }
        if (s.conversations) {
            auto turn = agent::ask_in_conversation(s.asker, *s.conversations,
                                                   ticket.conversation_id, question, &events);
            answer = std::move(turn.answer);
            conversation = {{"conversation_id", turn.conversation_id}, {"turn", turn.turn}};
        } else {
            answer = s.asker.ask(question, &events);
        }
        status = answer_status(answer, ticket.sql_only);
    } catch (const std::exception& e) {
        if (const auto [code, name] = conversation_failure(e); code != 0) {
            if (!folder.empty()) {
                std::error_code ec;
                std::filesystem::remove_all(folder, ec);
            }
            ticket.finish(code, error_body(name, e.what()), 0);
            return;
        }
        // The chart folder could not be made: nothing ran.
        spdlog::error("serve: a question failed before it ran: {}", e.what());
        answer.error_kind = error_kind(e);
        answer.error = e.what();
        answer.error_type = "setup";
        status = 500;
    }
    long refusals = 0;
    for (const auto& attempt : answer.attempts) {
        refusals += attempt.error_kind == ErrorKind::StatementRefused;
    }
    s.metrics.count_refusals(refusals);
    if (status == 200) {
        std::string chart;
        if (!folder.empty()) {
            const std::string name = s.charts.record(folder, answer.analysis.chart);
            if (!name.empty()) {
                chart = "/v1/charts/" + name;
            }
        }
        body = answer_record(answer, s.max_rows, chart);
        // The analysis code and the answer name the media folder the code saved into: the
        // reader sees the chart's address instead, never where the server keeps it.
        for (const char* field : {"code", "answer"}) {
            if (body[field].is_string()) {
                body[field] =
                    without_server_paths(body[field].get<std::string>(), folder, s.charts.root());
            }
        }
    } else if (answer.error_type.empty()) {
        body = sql_failed_body(answer);
    } else {
        const agent::ErrorFace& face =
            agent::error_face(answer.error_kind.value_or(ErrorKind::Internal));
        std::string message = answer.error;
        if (face.kind == ErrorKind::Internal) {
            spdlog::error("serve: a question failed unexpectedly: {}", answer.error);
            message = "the server failed while answering the question";
        }
        body = error_body(face.http_code, message);
        retry_after_s = face.retry_after_s;
    }
    // The turn was stored whatever its outcome: the client continues from it.
    if (conversation.is_object()) {
        body.update(conversation);
    }
    if (status != 200 && !folder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    const auto end = Clock::now();
    s.metrics.observe_question(std::chrono::duration<double>(end - start).count(),
                               answer.usage.calls, answer.usage.prompt_tokens,
                               answer.usage.completion_tokens, answer.usage.cost);
    ticket.finish(status, std::move(body), ms_between(start, end), retry_after_s);
}

} // namespace zolviai::serve
