#include "zolviai/eval/harness.hpp"

#include "sql/drivers/engine_traits.hpp"
#include "zolviai/agent/error_table.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/core/settings.hpp"
#include "zolviai/eval/report.hpp"
#include "zolviai/pyexec/python_runner.hpp"
#include "zolviai/sql/render.hpp"
#include "zolviai/sql/uri.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace zolviai::eval {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* outcome_names[outcome_count] = {
    "correct", "wrong_result", "sql_error", "refused", "timeout", "model_error", "gold_error"};

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string dump(const Value& v) {
    return v.dump(-1, ' ', false, Value::error_handler_t::replace);
}

// The first rows of a result, for the record and the report.
void put_rows(Value& record, const char* prefix, const sql::ResultSet& result, std::size_t shown) {
    Value columns = Value::array();
    for (const auto& c : result.columns) {
        columns.push_back(c.name);
    }
    Value rows = Value::array();
    for (std::size_t i = 0; i < result.rows.size() && i < shown; ++i) {
        Value row = Value::array();
        for (const auto& cell : result.rows[i]) {
            row.push_back(sql::cell_json(cell));
        }
        rows.push_back(std::move(row));
    }
    const std::string p(prefix);
    record[p + "_columns"] = std::move(columns);
    record[p + "_rows"] = std::move(rows);
    record[p + "_row_count"] = result.total_rows;
}

std::string as_text(const Value& v) {
    return v.is_string() ? v.get<std::string>() : dump(v);
}

std::string now_iso() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// The records an earlier run left in results.jsonl; a line cut short by a crash, or one
// that is not a record, is dropped.
std::vector<Value> read_records(const std::string& path) {
    std::vector<Value> out;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        try {
            Value v = parse_json_input(line);
            const auto id = string_member(&v, "id");
            const auto outcome = string_member(&v, "outcome");
            if (!id || !outcome) {
                continue;
            }
            parse_outcome(*outcome);
            out.push_back(std::move(v));
        } catch (const ValueError&) {
            continue;
        }
    }
    return out;
}

} // namespace

const char* outcome_name(Outcome outcome) {
    return outcome_names[static_cast<int>(outcome)];
}

Outcome parse_outcome(std::string_view name) {
    for (int i = 0; i < outcome_count; ++i) {
        if (name == outcome_names[i]) {
            return static_cast<Outcome>(i);
        }
    }
    throw ValueError("unknown outcome '" + std::string(name) + "'");
}

Outcome outcome_of(const agent::Answer& answer) {
    // Rows, or a query that ran cleanly and found none: compared with the gold result by the
    // caller (nothing matches an empty gold result only).
    if (answer.error_type.empty() &&
        (answer.outcome == "answered" || answer.outcome == "no_rows")) {
        return Outcome::Correct;
    }
    if (!answer.error_kind) {
        return Outcome::SqlError; // the correction loop gave up
    }
    const agent::ErrorFace& face = agent::error_face(*answer.error_kind);
    if (face.eval_outcome == nullptr) {
        // A misconfigured run or an interrupt: no further question can succeed.
        if (*answer.error_kind == ErrorKind::Interrupted) {
            throw pyexec::Interrupted(answer.error);
        }
        throw ConfigError(answer.error);
    }
    return parse_outcome(face.eval_outcome);
}

Evaluation::Evaluation(std::vector<Question> questions, EvalOptions options, FlowFactory factory)
    : questions_(std::move(questions)), options_(std::move(options)), factory_(std::move(factory)) {
    if (options_.jobs < 1) {
        throw ValueError("the number of questions at once must be at least 1");
    }
    if (!factory_) {
        throw ValueError("the evaluation needs a way to build the flow");
    }
    if (options_.limit > 0 && questions_.size() > options_.limit) {
        questions_.resize(options_.limit);
    }
    if (!options_.out_dir.empty()) {
        fs::create_directories(options_.out_dir);
        results_path_ = (fs::path(options_.out_dir) / "results.jsonl").string();
    }
}

Evaluation::~Evaluation() = default;

void Evaluation::stop() {
    stop_ = true;
}

Evaluation::Target& Evaluation::target_for(const std::string& uri, bool with_flow) {
    std::mutex* lock = nullptr;
    Target* target = nullptr;
    {
        std::lock_guard guard(targets_mutex_);
        auto& slot = targets_[uri];
        if (!slot) {
            slot = std::make_unique<Target>();
            target_locks_[uri] = std::make_unique<std::mutex>();
        }
        target = slot.get();
        lock = target_locks_[uri].get();
    }
    // Opening a database or building a flow is slow: only that database's users wait.
    std::lock_guard guard(*lock);
    if (!target->db && target->error.empty()) {
        if (uri.empty() && options_.default_db) {
            target->db = options_.default_db;
        }
    }
    if (!target->db && target->error.empty()) {
        try {
            target->db = sql::CustomSQLDatabase::from_uri(uri, options_.database);
        } catch (const Error& e) {
            target->error = e.what();
        }
    }
    if (with_flow && target->db && !target->asker) {
        target->asker = std::make_unique<agent::Asker>(factory_(target->db));
        if (options_.memory) {
            target->asker->set_memory(options_.memory);
        }
    }
    return *target;
}

Value Evaluation::evaluate(const Question& q) {
    return evaluate(q, nullptr);
}

Value Evaluation::evaluate(const Question& q, std::vector<agent::EarlierTurn>* earlier) {
    const auto start = Clock::now();
    Value rec = {{"id", q.id}, {"question", q.question}};
    if (!q.conversation.empty()) {
        rec["conversation"] = q.conversation;
        rec["turn"] = q.turn;
    }
    if (!q.evidence.empty()) {
        rec["evidence"] = q.evidence;
    }
    rec["db"] = q.db;
    rec["difficulty"] = q.difficulty;
    rec["tags"] = q.tags;
    rec["gold_sql"] = nullptr;
    rec["predicted_sql"] = nullptr;
    rec["error"] = nullptr;
    rec["model_calls"] = 0;
    rec["prompt_tokens"] = 0;
    rec["completion_tokens"] = 0;
    rec["total_tokens"] = 0;
    rec["cost"] = 0.0;
    rec["corrections"] = 0;
    rec["rewritten"] = false;
    rec["latency_s"] = 0.0;
    double database_s = 0;
    auto finish = [&](Outcome outcome, const std::string& error) {
        rec["outcome"] = outcome_name(outcome);
        if (!error.empty()) {
            rec["error"] = error;
        }
        rec["database_s"] = database_s;
        rec["elapsed_s"] = seconds(Clock::now() - start);
        return rec;
    };

    std::string uri;
    try {
        uri = database_uri(q, options_.db_root, options_.default_db_uri);
    } catch (const ConfigError& e) {
        return finish(Outcome::GoldError, e.what());
    }
    Target* target = &target_for(uri, false);
    if (!target->db) {
        return finish(Outcome::GoldError, "the database could not be opened: " + target->error);
    }
    const std::string dialect = target->db->dialect();
    rec["dialect"] = dialect;
    const auto gold_sql = gold_sql_for(q, dialect);
    if (!gold_sql) {
        return finish(Outcome::GoldError, "the question has no gold SQL for " + dialect);
    }
    rec["gold_sql"] = *gold_sql;

    // The gold query first: a broken question costs no model calls.
    sql::ResultSet gold;
    auto db_start = Clock::now();
    try {
        gold = target->db->query(*gold_sql, options_.max_result_rows);
    } catch (const DatabaseError& e) {
        database_s += seconds(Clock::now() - db_start);
        return finish(Outcome::GoldError, e.what());
    }
    database_s += seconds(Clock::now() - db_start);
    put_rows(rec, "gold", gold, options_.shown_rows);
    // A gold query without rows makes a weak question: any query that finds nothing passes.
    rec["gold_empty"] = gold.rows.empty() && gold.total_rows == 0;

    target = &target_for(uri, true);
    agent::Question question;
    question.text = prompt_text(q);
    question.media_dir = options_.media_dir;
    question.mode = options_.sql_only ? agent::RunMode::SqlOnly : agent::RunMode::Full;
    if (earlier) {
        question.earlier_turns = *earlier;
    }
    const auto flow_start = Clock::now();
    const agent::Answer answer = target->asker->ask(question);
    rec["latency_s"] = seconds(Clock::now() - flow_start);
    if (earlier) {
        rec["understood_as"] = answer.understood_as;
        agent::EarlierTurn turn;
        turn.question = answer.question;
        turn.understood_as = answer.understood_as;
        turn.sql = answer.sql.value_or("");
        turn.outcome = answer.outcome;
        if (answer.result) {
            turn.row_count = std::max<std::int64_t>(
                answer.result->total_rows, static_cast<std::int64_t>(answer.result->rows.size()));
            for (const auto& c : answer.result->columns) {
                turn.columns.push_back(c.name);
            }
        }
        earlier->push_back(std::move(turn));
    }
    rec["model_calls"] = answer.usage.calls;
    rec["prompt_tokens"] = answer.usage.prompt_tokens;
    rec["completion_tokens"] = answer.usage.completion_tokens;
    rec["total_tokens"] = answer.usage.total_tokens;
    rec["cost"] = answer.usage.cost;
    if (options_.memory) {
        rec["from_memory"] = answer.from_memory.has_value();
        rec["memory_examples"] = answer.memory_examples.size();
    }
    if (answer.result && !answer.attempts.empty()) {
        database_s += seconds(answer.attempts.back().elapsed); // the final query's own run
    }
    if (!answer.error_type.empty()) {
        return finish(outcome_of(answer), answer.error);
    }
    rec["corrections"] = answer.corrections;
    rec["rewritten"] = answer.rewritten;
    if (!answer.sql) {
        return finish(Outcome::SqlError, "the flow wrote no SQL query");
    }
    rec["predicted_sql"] = *answer.sql;
    if (!answer.result) {
        return finish(outcome_of(answer),
                      answer.error.empty() ? "no SQL query was run" : answer.error);
    }
    // The rows the flow's own execution read: the final query is not run again.
    const sql::ResultSet& result = *answer.result;
    put_rows(rec, "predicted", result, options_.shown_rows);
    if (static_cast<std::int64_t>(gold.rows.size()) < gold.total_rows ||
        static_cast<std::int64_t>(result.rows.size()) < result.total_rows) {
        rec["truncated"] = true; // compared on the rows kept
    }
    const bool same = results_match(gold, result, options_.compare);
    return finish(same ? Outcome::Correct : Outcome::WrongResult, "");
}

void Evaluation::append_record(const Value& record) {
    std::lock_guard lock(records_mutex_);
    records_[record["id"].get<std::string>()] = record;
    if (results_path_.empty()) {
        return;
    }
    // Opened for each record: a crash or a kill loses at most the line being written.
    std::ofstream out(results_path_, std::ios::app | std::ios::binary);
    out << dump(record) << '\n';
    out.flush();
    if (!out) {
        throw IoError("cannot write " + results_path_);
    }
}

std::vector<Value> Evaluation::finished_records() const {
    std::lock_guard lock(records_mutex_);
    std::vector<Value> out;
    for (const Question& q : questions_) {
        if (auto it = records_.find(q.id); it != records_.end()) {
            out.push_back(it->second);
        }
    }
    return out;
}

Value model_names() {
    const auto s = settings();
    auto host_of = [](const std::string& url) {
        const std::size_t scheme = url.find("://");
        const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
        std::size_t end = url.find('/', start);
        std::string host =
            url.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (const std::size_t at = host.rfind('@'); at != std::string::npos) {
            host.erase(0, at + 1); // never a user or password
        }
        return host;
    };
    if (const std::string endpoint = s->get("AZURE_OPENAI_ENDPOINT", ""); !endpoint.empty()) {
        const std::string model = s->get("AZURE_OPENAI_DEPLOYMENT", "");
        return {{"provider", "azure"},
                {"model", model},
                {"sql_model", s->get("AZURE_OPENAI_SQL_DEPLOYMENT", model)},
                {"base_url", host_of(endpoint)}};
    }
    const std::string base = s->get("OPENAI_BASE_URL", "");
    if (!base.empty() || !s->get("OPENAI_API_KEY", "").empty()) {
        const std::string model = s->get("OPENAI_MODEL", "gpt-4o-mini");
        Value out = {{"provider", base.empty() ? "openai" : "openai-compatible"},
                     {"model", model},
                     {"sql_model", s->get("OPENAI_SQL_MODEL", model)}};
        if (!base.empty()) {
            out["base_url"] = host_of(base);
        }
        return out;
    }
    if (!s->get("ZOLVI_API_BASE_URL", "").empty()) {
        return {{"provider", "model-settings service"}};
    }
    return {{"provider", "none"}};
}

Value Evaluation::summary_of(const std::vector<Value>& records) const {
    // What ran, named so that a reader of the report can run it again: engines, database
    // (never its password), models and the settings that change the figures.
    std::vector<std::string> engines;
    for (const Value& r : records) {
        const Value* d = find_member(r, "dialect");
        if (d == nullptr || !d->is_string()) {
            continue;
        }
        const auto* traits = sql::drivers::engine_for_dialect(d->get<std::string>());
        const std::string name =
            traits != nullptr ? std::string(traits->display_name) : d->get<std::string>();
        if (std::find(engines.begin(), engines.end(), name) == engines.end()) {
            engines.push_back(name);
        }
    }
    std::string database;
    if (!options_.default_db_uri.empty()) {
        database = sql::redact_database_uri(options_.default_db_uri);
    } else if (options_.default_db) {
        database = "the bundled sample database";
    }
    if (!options_.db_root.empty()) {
        database +=
            (database.empty() ? "" : "; ") + std::string("databases under ") + options_.db_root;
    }
    std::string joined;
    for (const auto& e : engines) {
        joined += (joined.empty() ? "" : ", ") + e;
    }
    const Value settings_used = {
        {"compare", compare_mode_name(options_.compare)},
        {"sql_only", options_.sql_only},
        {"jobs", options_.jobs},
        {"limit", options_.limit},
        {"max_result_rows", options_.max_result_rows},
        {"statement_timeout_ms", options_.database.statement_timeout_ms},
    };
    const Value about = {
        {"questions", questions_.size()},
        {"complete", records.size() == questions_.size()},
        {"compare", compare_mode_name(options_.compare)},
        {"sql_only", options_.sql_only},
        {"jobs", options_.jobs},
        {"questions_file", options_.questions_file},
        {"started_at", started_at_},
        {"wall_s", seconds(Clock::now() - run_start_)},
        {"zolvi_version", ZOLVIAI_VERSION},
        {"engine", joined},
        {"database", database},
        {"models", options_.models.is_null() ? model_names() : options_.models},
        {"settings", settings_used},
    };
    return summarize(records, about);
}

Value Evaluation::write_reports(const std::vector<Value>& records) const {
    Value summary = summary_of(records);
    if (!options_.out_dir.empty()) {
        write_report_files(options_.out_dir, summary, records);
    }
    return summary;
}

Value Evaluation::write_reports_now() {
    return write_reports(finished_records());
}

Value Evaluation::run(const ProgressCallback& progress) {
    stop_ = false;
    started_at_ = now_iso();
    run_start_ = Clock::now();
    if (!results_path_.empty()) {
        if (options_.resume) {
            // Keep the whole records an earlier run wrote, and only those: a line cut short
            // would otherwise swallow the next record appended to it.
            const std::vector<Value> earlier = read_records(results_path_);
            std::ofstream out(results_path_ + ".tmp", std::ios::trunc | std::ios::binary);
            for (const Value& r : earlier) {
                out << dump(r) << '\n';
                records_[r["id"].get<std::string>()] = r;
            }
            out.close();
            fs::rename(results_path_ + ".tmp", results_path_);
        } else {
            std::ofstream(results_path_, std::ios::trunc | std::ios::binary);
        }
    }
    // Units of work: a question alone, or a whole conversation in turn order (its turns are
    // follow-ups of each other, so they run one after the other on one worker). A
    // conversation with a turn not yet done is asked again from its first turn.
    std::vector<std::vector<const Question*>> units;
    std::map<std::string, std::size_t> unit_of_conversation;
    for (const Question& q : questions_) {
        if (q.conversation.empty()) {
            if (!records_.count(q.id)) {
                units.push_back({&q});
            }
            continue;
        }
        const auto [it, fresh] = unit_of_conversation.emplace(q.conversation, units.size());
        if (fresh) {
            units.emplace_back();
        }
        units[it->second].push_back(&q);
    }
    for (auto& unit : units) {
        std::stable_sort(unit.begin(), unit.end(),
                         [](const Question* a, const Question* b) { return a->turn < b->turn; });
    }
    std::erase_if(units, [&](const std::vector<const Question*>& unit) {
        return std::all_of(unit.begin(), unit.end(),
                           [&](const Question* q) { return records_.count(q->id) > 0; });
    });
    std::vector<const Question*> todo;
    for (const auto& unit : units) {
        todo.insert(todo.end(), unit.begin(), unit.end());
    }

    // A default database that cannot be opened would make every question a broken one: the
    // run fails at once instead.
    for (const Question* q : todo) {
        if (!q->db.empty()) {
            continue;
        }
        const Target& target = target_for(options_.default_db_uri, false);
        if (!target.db) {
            throw DatabaseError("the database could not be opened: " + target.error);
        }
        break;
    }

    const auto start = Clock::now();
    std::mutex progress_mutex;
    ProgressInfo info;
    info.total = todo.size();
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_mutex;
    auto work = [&] {
        while (!stop_) {
            const std::size_t u = next++;
            if (u >= units.size()) {
                return;
            }
            const bool conversation = !units[u].front()->conversation.empty();
            std::vector<agent::EarlierTurn> earlier;
            for (const Question* q : units[u]) {
                if (stop_) {
                    break;
                }
                try {
                    const Value record = evaluate(*q, conversation ? &earlier : nullptr);
                    append_record(record);
                    std::lock_guard lock(progress_mutex);
                    ++info.done;
                    const std::string outcome = record["outcome"];
                    info.correct += outcome == "correct";
                    info.scored += outcome != "gold_error";
                    info.cost += record["cost"].get<double>();
                    info.elapsed_s = seconds(Clock::now() - start);
                    if (progress) {
                        progress(record, info);
                    }
                } catch (...) {
                    std::lock_guard lock(failure_mutex);
                    if (!failure) {
                        failure = std::current_exception();
                    }
                    stop_ = true;
                    return;
                }
            }
        }
    };
    const std::size_t threads = std::min<std::size_t>(options_.jobs, units.size());
    if (threads <= 1) {
        work(); // on the caller's thread: its usage scopes see every model call
    } else {
        std::vector<std::thread> pool;
        for (std::size_t t = 0; t < threads; ++t) {
            pool.emplace_back(work);
        }
        for (auto& t : pool) {
            t.join();
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    const std::vector<Value> records = finished_records();
    Value summary = write_reports(records);
    return {{"summary", std::move(summary)}, {"records", records}};
}

Value run_evaluation(const std::string& questions_file, QuestionFormat format,
                     const EvalOptions& options, const FlowFactory& factory,
                     const ProgressCallback& progress) {
    EvalOptions o = options;
    if (o.questions_file.empty()) {
        o.questions_file = questions_file;
    }
    Evaluation evaluation(load_questions(questions_file, format), o, factory);
    return evaluation.run(progress);
}

} // namespace zolviai::eval
