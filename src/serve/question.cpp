#include "serve/question.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/graph/run_config.hpp"
#include "zolviai/llm/usage.hpp"
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

// Each node's start and end: kept for the record and, for a streamed question, sent as it
// happens. Nodes of one super-step may report from several threads.
class StepEvents : public graph::Observer {
public:
    StepEvents(Ticket& ticket, Clock::time_point start) : ticket_(ticket), start_(start) {}

    void on_node_start(std::string_view node, int step) override {
        ticket_.push_event("step", {{"phase", "start"},
                                    {"name", node},
                                    {"step", step + 1},
                                    {"elapsed_ms", ms_between(start_, Clock::now())}});
    }
    void on_node_end(std::string_view node, int step, std::chrono::nanoseconds elapsed,
                     bool failed) override {
        const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
        {
            std::lock_guard lock(mutex_);
            steps_.push_back({{"name", node}, {"ms", ms}, {"failed", failed}});
        }
        ticket_.push_event("step", {{"phase", "end"},
                                    {"name", node},
                                    {"step", step + 1},
                                    {"elapsed_ms", ms_between(start_, Clock::now())},
                                    {"ms", ms},
                                    {"failed", failed}});
    }

    Value steps() {
        std::lock_guard lock(mutex_);
        return steps_;
    }

private:
    Ticket& ticket_;
    Clock::time_point start_;
    std::mutex mutex_;
    Value steps_ = Value::array();
};

const Value* state_field(const Value& state, const char* name) {
    const auto it = state.find(name);
    return it == state.end() || it->is_null() ? nullptr : &*it;
}

std::string text_field(const Value& state, const char* name) {
    const Value* v = state_field(state, name);
    return v && v->is_string() ? v->get<std::string>() : "";
}

long count_refusals(const Value& state) {
    const Value* errors = state_field(state, "execution_error");
    long n = 0;
    if (errors && errors->is_array()) {
        for (const auto& e : *errors) {
            n += e.is_string() &&
                 e.get<std::string>().find("Statement refused") != std::string::npos;
        }
    }
    return n;
}

// The answer record of a finished run.
Value answer_record(const QuestionServices& s, const Ticket& ticket, const Value& state,
                    const std::filesystem::path& folder) {
    Value record = Value::object();
    const std::string answer = text_field(state, "final_response");
    record["answer"] = ticket.sql_only || answer.empty() ? Value(nullptr) : Value(answer);
    const Value* queries = state_field(state, "generated_sql_query");
    record["queries"] = queries && queries->is_array() ? *queries : Value::array();
    const bool have_sql = !record["queries"].empty() && record["queries"].back().is_string();
    record["sql"] = have_sql ? record["queries"].back() : Value(nullptr);
    const Value* success = state_field(state, "execution_success");
    Value rows = {{"columns", Value::array()}, {"rows", Value::array()}, {"row_count", 0}};
    if (have_sql && success && truthy(*success)) {
        // The flow keeps the rows as rendered text; the final statement once more gives them
        // as values (read-only, through the guard, its first rows only).
        try {
            rows = rows_json(s.db.query(record["sql"].get<std::string>(),
                                        static_cast<std::int64_t>(s.max_rows)));
        } catch (const DatabaseError& e) {
            spdlog::warn("serve: the final statement did not run again: {}", e.what());
        }
    }
    record["columns"] = std::move(rows["columns"]);
    record["rows"] = std::move(rows["rows"]);
    record["row_count"] = std::move(rows["row_count"]);
    record["chart"] = nullptr;
    if (!folder.empty()) {
        const std::string name = s.charts.record(folder, text_field(state, "image_path"));
        if (!name.empty()) {
            record["chart"] = "/v1/charts/" + name;
        }
    }
    const std::string code = text_field(state, "pandas_code");
    record["code"] = code.empty() ? Value(nullptr) : Value(code);
    return record;
}

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

void Ticket::finish(int status, Value body, double run_ms) {
    std::function<void()> listener;
    {
        std::lock_guard lock(mutex_);
        run_ms_ = run_ms;
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
    return {{"columns", std::move(columns)}, {"rows", std::move(rows)}, {"row_count", count}};
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

void run_question(const QuestionServices& s, Ticket& ticket) {
    if (ticket.abandoned() || Clock::now() >= ticket.deadline) {
        ticket.finish(504, error_body("timeout", "the question waited past its deadline"), 0);
        return;
    }
    const auto start = Clock::now();
    StepEvents steps(ticket, start);
    std::filesystem::path folder;
    llm::UsageScope usage;
    int status = 200;
    Value body;
    Value state;
    try {
        Value inputs = {{"user_question", ticket.question}};
        if (ticket.sql_only) {
            inputs["sql_only"] = true;
        } else {
            folder = s.charts.new_folder();
            inputs["save_path"] = folder.string();
        }
        state = s.flow.invoke(inputs, &steps);
        s.metrics.count_refusals(count_refusals(state));
        const Value* success = state_field(state, "execution_success");
        if (ticket.sql_only && !(success && truthy(*success))) {
            const Value* errors = state_field(state, "execution_error");
            std::string why = "the SQL could not be written so that it runs";
            if (errors && errors->is_array() && !errors->empty() && errors->back().is_string()) {
                why += ": " + errors->back().get<std::string>();
            }
            status = 422;
            body = error_body("sql_failed", why);
        } else {
            body = answer_record(s, ticket, state, folder);
        }
    } catch (const DatabaseError& e) {
        std::string why;
        const bool down = !database_reachable(s.db, &why);
        status = down ? 503 : 500;
        body = down ? error_body("database_unavailable", std::string("the database is not "
                                                                     "reachable: ") +
                                                             e.what())
                    : error_body("question_failed", e.what());
    } catch (const ModelError& e) {
        status = 502;
        body = error_body("model_error", e.what());
    } catch (const TimeoutError& e) {
        status = 504;
        body = error_body("timeout", e.what());
    } catch (const Error& e) {
        status = 500;
        body = error_body("question_failed", e.what());
    } catch (const std::exception& e) {
        spdlog::error("serve: a question failed unexpectedly: {}", e.what());
        status = 500;
        body = error_body("internal_error", "the server failed while answering the question");
    }
    if (status != 200 && !folder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    const Value usage_json = {{"model_calls", usage.successful_requests},
                              {"prompt_tokens", usage.prompt_tokens},
                              {"completion_tokens", usage.completion_tokens},
                              {"cost", usage.total_cost}};
    if (status == 200) {
        body["usage"] = usage_json;
        body["steps"] = steps.steps();
    }
    const auto end = Clock::now();
    s.metrics.observe_question(std::chrono::duration<double>(end - start).count(),
                               usage.successful_requests, usage.prompt_tokens,
                               usage.completion_tokens, usage.total_cost);
    ticket.finish(status, std::move(body), ms_between(start, end));
}

} // namespace zolviai::serve
