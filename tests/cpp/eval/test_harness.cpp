// The harness against the scripted chat server and a real SQLite database: every outcome,
// exact counts, parallel runs, resuming, and usage that adds up.
#include "eval/eval_test_support.hpp"
#include "sql/sql_test_support.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/eval/harness.hpp"
#include "zolviai/eval/report.hpp"
#include "zolviai/llm/usage.hpp"
#include "zolviai/sql/script.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

using namespace zolviai;
using zolviai::testing::ScriptedChatServer;
using zolviai::testing::ScriptedQuestion;
using zolviai::testing::TempDir;
namespace fs = std::filesystem;

namespace {

class Quiet : public ConsoleSink {
public:
    void write_out(std::string_view) override {}
    void write_err(std::string_view) override {}
};

const std::string kSlow =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT COUNT(*) FROM c";

struct Case {
    const char* id;
    const char* question;
    const char* gold;
    ScriptedQuestion model;
    const char* outcome;
    long model_calls;
    long corrections;
    bool rewritten;
};

// One question for every outcome, and two more that are right.
const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"ok1",
         "How many customers are there?",
         "SELECT COUNT(*) FROM customers",
         {"How many customers are there?", "SELECT COUNT(*) FROM customers", "", false},
         "correct",
         3,
         0,
         false},
        {"ok2",
         "How many orders are pending?",
         "SELECT COUNT(*) FROM orders WHERE status = 'pending'",
         {"How many orders are pending?",
          "SELECT COUNT(order_id) AS n FROM orders WHERE status = 'pending'", "", false},
         "correct",
         3,
         0,
         false},
        {"wrong",
         "How many orders were returned?",
         "SELECT COUNT(*) FROM orders WHERE status = 'returned'",
         {"How many orders were returned?", "SELECT COUNT(*) FROM orders WHERE status = 'shipped'",
          "", false},
         "wrong_result",
         3,
         0,
         false},
        {"fixed",
         "Who works in London?",
         "SELECT first_name FROM employees WHERE city = 'London'",
         {"Who works in London?", "SELECT first_nme FROM employees WHERE city = 'London'",
          "SELECT first_name FROM employees WHERE city = 'London' ORDER BY employee_id", false},
         "correct",
         5,
         1,
         false},
        {"refused",
         "Remove the pending orders.",
         "SELECT COUNT(*) FROM orders",
         {"Remove the pending orders.", "DELETE FROM orders WHERE status = 'pending'",
          "DELETE FROM orders WHERE status = 'pending'", false},
         "refused",
         15,
         5,
         true},
        {"service",
         "What is the average unit price?",
         "SELECT AVG(unit_price) FROM products",
         {"What is the average unit price?", "", "", true},
         "model_error",
         0,
         0,
         false},
        {"broken",
         "How many suppliers are there?",
         "SELECT COUNT(*) FROM suppliers",
         {"How many suppliers are there?", "SELECT 1", "", false},
         "gold_error",
         0,
         0,
         false},
        {"slow",
         "Count for ever.",
         "SELECT 1",
         {"Count for ever.", kSlow, "SELECT nme FROM orders", false},
         "timeout",
         15,
         5,
         true},
    };
    return all;
}

std::vector<eval::Question> questions() {
    std::vector<eval::Question> out;
    for (const auto& c : cases()) {
        eval::Question q;
        q.id = c.id;
        q.question = c.question;
        q.gold_sql = c.gold;
        q.difficulty = c.model_calls > 5 ? "hard" : "easy";
        q.tags = {"aggregate"};
        out.push_back(q);
    }
    return out;
}

struct Fixture {
    Fixture() {
        db_path = (fs::path(dir.path()) / "business.db").string();
        sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/business_db.sql",
                                  db_path);
        std::vector<ScriptedQuestion> script;
        for (const auto& c : cases()) {
            script.push_back(c.model);
        }
        server.rules(zolviai::testing::script_rules(
            script, {"customers", "orders", "employees", "products", "order_lines", "payments"}));
        set_console_sink(quiet);
    }
    ~Fixture() { set_console_sink(nullptr); }

    eval::EvalOptions options(const std::string& out, int jobs) const {
        eval::EvalOptions o;
        o.default_db_uri = "sqlite:///" + db_path + "?mode=ro";
        o.out_dir = (fs::path(dir.path()) / out).string();
        o.jobs = jobs;
        o.sql_only = true;
        o.database.statement_timeout_ms = 1000;
        return o;
    }
    Value run(const eval::EvalOptions& o) {
        eval::Evaluation evaluation(questions(), o, zolviai::testing::scripted_flows(server.url()));
        return evaluation.run();
    }

    TempDir dir;
    std::string db_path;
    ScriptedChatServer server;
    std::shared_ptr<Quiet> quiet = std::make_shared<Quiet>();
};

std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<Value> lines_of(const fs::path& p) {
    std::vector<Value> out;
    std::istringstream in(read(p));
    std::string line;
    while (std::getline(in, line)) {
        out.push_back(Value::parse(line));
    }
    return out;
}

// A record without the fields that depend on the clock.
Value timeless(Value r) {
    for (const char* k : {"latency_s", "database_s", "elapsed_s"}) {
        r.erase(k);
    }
    return r;
}

} // namespace

TEST(Harness, EveryOutcomeIsCountedExactlyAndUsageAddsUp) {
    Fixture f;
    llm::UsageScope usage; // -j 1 runs on this thread: the scope sees every model call
    const Value run = f.run(f.options("one", 1));
    const Value& summary = run["summary"];
    const Value& records = run["records"];
    ASSERT_EQ(records.size(), cases().size());
    for (std::size_t i = 0; i < cases().size(); ++i) {
        const Case& c = cases()[i];
        const Value& r = records[i];
        EXPECT_EQ(r["id"], c.id);
        EXPECT_EQ(r["outcome"], c.outcome) << c.id << ": " << r.value("error", Value()).dump();
        EXPECT_EQ(r["model_calls"], c.model_calls) << c.id;
        EXPECT_EQ(r["corrections"], c.corrections) << c.id;
        EXPECT_EQ(r["rewritten"], c.rewritten) << c.id;
        EXPECT_EQ(r["total_tokens"], 15 * c.model_calls) << c.id;
    }
    EXPECT_EQ(records[1]["predicted_sql"], cases()[1].model.first_sql);
    EXPECT_NE(records[4]["error"].get<std::string>().find("Statement refused"), std::string::npos);
    EXPECT_NE(records[5]["error"].get<std::string>().find("overloaded"), std::string::npos);
    EXPECT_NE(records[6]["error"].get<std::string>().find("suppliers"), std::string::npos);
    EXPECT_EQ(records[2]["gold_rows"], Value::parse("[[62]]"));
    EXPECT_EQ(records[2]["predicted_rows"][0][0].get<long>(), 1500 - 78 - 62);

    EXPECT_EQ(summary["outcomes"], Value::parse(R"({"correct": 3, "wrong_result": 1,
        "sql_error": 0, "refused": 1, "timeout": 1, "model_error": 1, "gold_error": 1})"));
    EXPECT_EQ(summary["scored"], 7) << "the broken question does not count";
    EXPECT_EQ(summary["correct"], 3);
    EXPECT_DOUBLE_EQ(summary["accuracy"].get<double>(), 3.0 / 7.0);
    EXPECT_EQ(summary["by_difficulty"]["hard"]["correct"], 0);
    EXPECT_EQ(summary["by_difficulty"]["easy"]["scored"], 5);
    EXPECT_TRUE(summary["complete"].get<bool>());

    // Tokens and cost: the records, the summary and the thread's usage scope agree, and the
    // server answered 15 tokens a call (the three 503s count for nothing).
    const long calls = static_cast<long>(f.server.requests().size()) - 3;
    EXPECT_EQ(summary["model_calls"], calls);
    EXPECT_EQ(summary["model_calls"], usage.successful_requests);
    EXPECT_EQ(summary["total_tokens"], usage.total_tokens);
    EXPECT_EQ(summary["prompt_tokens"], usage.prompt_tokens);
    EXPECT_EQ(summary["completion_tokens"], usage.completion_tokens);
    EXPECT_NEAR(summary["cost"].get<double>(), usage.total_cost, 1e-12);
    EXPECT_NEAR(usage.total_cost, calls * llm::call_cost("gpt-4o", 10, 5), 1e-12);

    // The files: one line a question, the summary as returned, the reports.
    const fs::path out = f.options("one", 1).out_dir;
    EXPECT_EQ(lines_of(out / "results.jsonl").size(), cases().size());
    Value on_disk = Value::parse(read(out / "summary.json"));
    EXPECT_EQ(on_disk["outcomes"], summary["outcomes"]);
    EXPECT_EQ(on_disk["accuracy"], summary["accuracy"]);
    const std::string html = read(out / "report.html");
    EXPECT_NE(html.find("<svg"), std::string::npos);
    EXPECT_EQ(html.find("http"), std::string::npos) << "the page fetches nothing";
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_NE(html.find("status = 'shipped'"), std::string::npos)
        << "the wrong question's predicted SQL is shown";
    const std::string md = read(out / "report.md");
    EXPECT_NE(md.find(eval::headline(summary)), std::string::npos);
    EXPECT_NE(md.find("### wrong: wrong_result"), std::string::npos);
    EXPECT_EQ(md.find("### ok1"), std::string::npos) << "right answers are not listed";
}

TEST(Harness, FourAtOnceGiveTheRecordsOfOneAtATime) {
    Fixture f;
    const Value one = f.run(f.options("one", 1));
    const Value four = f.run(f.options("four", 4));
    ASSERT_EQ(one["records"].size(), four["records"].size());
    for (std::size_t i = 0; i < one["records"].size(); ++i) {
        EXPECT_EQ(timeless(one["records"][i]), timeless(four["records"][i]))
            << one["records"][i]["id"];
    }
    EXPECT_EQ(one["summary"]["outcomes"], four["summary"]["outcomes"]);
    EXPECT_EQ(one["summary"]["total_tokens"], four["summary"]["total_tokens"]);
    // results.jsonl holds the same records, in the order they finished.
    auto by_id = [](const std::vector<Value>& lines) {
        std::map<std::string, Value> m;
        for (const auto& r : lines) {
            m[r["id"]] = timeless(r);
        }
        return m;
    };
    EXPECT_EQ(by_id(lines_of(fs::path(f.options("four", 4).out_dir) / "results.jsonl")),
              by_id(lines_of(fs::path(f.options("one", 1).out_dir) / "results.jsonl")));
}

TEST(Harness, ResumeRunsOnlyTheMissingQuestionsAndDropsACutLine) {
    Fixture f;
    eval::EvalOptions first = f.options("resume", 2);
    first.limit = 3;
    const Value partial = f.run(first);
    EXPECT_EQ(partial["records"].size(), 3u);
    EXPECT_EQ(partial["summary"]["questions"], 3);
    const fs::path results = fs::path(first.out_dir) / "results.jsonl";
    {
        std::ofstream cut(results, std::ios::app | std::ios::binary);
        cut << R"({"id": "fixed", "outcome": "corr)"; // a crash in the middle of a line
    }
    f.server.reset();
    f.server.rules(zolviai::testing::script_rules(
        [] {
            std::vector<ScriptedQuestion> s;
            for (const auto& c : cases()) {
                s.push_back(c.model);
            }
            return s;
        }(),
        {"customers", "orders", "employees", "products", "order_lines", "payments"}));
    eval::EvalOptions rest = f.options("resume", 2);
    rest.resume = true;
    const Value full = f.run(rest);

    // No model call was made for the three questions already done.
    for (const Value& request : f.server.requests()) {
        const std::string body = request["body"];
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(body.find(zolviai::testing::in_json(cases()[i].question)), std::string::npos)
                << cases()[i].id << " ran again";
        }
    }
    const auto lines = lines_of(results);
    EXPECT_EQ(lines.size(), cases().size()) << "the cut line is gone, every record once";
    std::set<std::string> ids;
    for (const auto& r : lines) {
        ids.insert(r["id"]);
    }
    EXPECT_EQ(ids.size(), cases().size());
    EXPECT_EQ(full["records"].size(), cases().size());
    EXPECT_EQ(full["records"][0], partial["records"][0]) << "kept as the first run wrote it";
    EXPECT_EQ(full["summary"]["outcomes"]["correct"], 3);
    EXPECT_EQ(full["summary"]["answered"], cases().size());
}

TEST(Harness, StopLeavesTheRestAndTheReportSaysItIsPartial) {
    Fixture f;
    eval::EvalOptions o = f.options("stopped", 1);
    eval::Evaluation evaluation(questions(), o, zolviai::testing::scripted_flows(f.server.url()));
    std::size_t seen = 0;
    const Value run = evaluation.run([&](const Value&, const eval::ProgressInfo& p) {
        seen = p.done;
        EXPECT_EQ(p.total, cases().size());
        if (p.done == 2) {
            evaluation.stop();
        }
    });
    EXPECT_EQ(seen, 2u);
    EXPECT_EQ(run["records"].size(), 2u);
    EXPECT_FALSE(run["summary"]["complete"].get<bool>());
    const Value on_disk = Value::parse(read(fs::path(o.out_dir) / "summary.json"));
    EXPECT_EQ(on_disk["answered"], 2);
    EXPECT_NE(eval::headline(on_disk).find("partial: 2 of 8"), std::string::npos);
}

TEST(Harness, AnOutcomeComesFromTheErrorsClassNotItsText) {
    struct Row {
        std::optional<ErrorKind> kind;
        bool raised;
        const char* text; // misleading on purpose: the class decides
        eval::Outcome outcome;
    } rows[] = {
        {ErrorKind::StatementRefused, false, "no such column", eval::Outcome::Refused},
        {ErrorKind::StatementTimeout, false, "Statement refused: x", eval::Outcome::Timeout},
        {ErrorKind::Database, false, "statement timeout", eval::Outcome::SqlError},
        {std::nullopt, false, "the query returned no rows", eval::Outcome::SqlError},
        {ErrorKind::ModelUnavailable, true, "time-out", eval::Outcome::ModelError},
        {ErrorKind::ModelAnswerInvalid, true, "Statement refused", eval::Outcome::ModelError},
        {ErrorKind::Timeout, true, "model down", eval::Outcome::Timeout},
        {ErrorKind::StatementRefused, true, "model down", eval::Outcome::Refused},
    };
    for (const auto& r : rows) {
        agent::Answer a;
        a.outcome = r.raised ? "failed" : "sql_failed";
        a.error_kind = r.kind;
        a.error = r.text;
        a.error_type = r.raised ? "raised" : "";
        EXPECT_EQ(eval::outcome_of(a), r.outcome) << r.text;
    }
    agent::Answer config;
    config.error_kind = ErrorKind::Config;
    config.error_type = "zolviai::ConfigError";
    EXPECT_THROW(eval::outcome_of(config), ConfigError);
    for (int i = 0; i < eval::outcome_count; ++i) {
        const auto o = static_cast<eval::Outcome>(i);
        EXPECT_EQ(eval::parse_outcome(eval::outcome_name(o)), o);
    }
}

TEST(Harness, AnUnopenableDefaultDatabaseFailsTheRunBeforeAnyModelCall) {
    Fixture f;
    eval::EvalOptions o = f.options("nodb", 2);
    o.default_db_uri = "sqlite:///" + f.dir.path() + "/missing.db?mode=ro";
    eval::Evaluation evaluation(questions(), o, zolviai::testing::scripted_flows(f.server.url()));
    try {
        evaluation.run();
        FAIL() << "the run went ahead";
    } catch (const DatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("could not be opened"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(f.server.requests().empty());
}

// Conversations: turns run in order with the earlier ones as context, whatever the number of
// workers; the summary counts each turn and each conversation, and the report shows how a
// wrong turn was understood.
TEST(Harness, ConversationsRunTurnByTurnAndAreScoredPerTurnAndWhole) {
    TempDir dir;
    const std::string db_path = dir.path() + "/business.db";
    sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/business_db.sql",
                              db_path);
    struct Turn {
        const char* id;
        const char* conversation;
        int turn;
        const char* asked;
        const char* standalone; // the follow-up step's answer ("" for a first turn)
        const char* gold;
        const char* written;
    };
    const std::vector<Turn> turns = {
        {"c1-1", "c1", 1, "How many orders are pending?", "",
         "SELECT COUNT(*) FROM orders WHERE status = 'pending'",
         "SELECT COUNT(*) FROM orders WHERE status = 'pending'"},
        {"c2-1", "c2", 1, "How many customers are there?", "", "SELECT COUNT(*) FROM customers",
         "SELECT COUNT(*) AS n FROM customers"},
        {"alone", "", 0, "Who works in London?", "",
         "SELECT first_name FROM employees WHERE city = 'London'",
         "SELECT first_name FROM employees WHERE city = 'London'"},
        {"c1-2", "c1", 2, "and how many were returned?", "How many orders were returned?",
         "SELECT COUNT(*) FROM orders WHERE status = 'returned'",
         "SELECT COUNT(*) FROM orders WHERE status = 'returned'"},
        // The model loses the filter: a wrong second turn.
        {"c2-2", "c2", 2, "and in Germany?", "How many customers are there in Germany?",
         "SELECT COUNT(*) FROM customers WHERE country = 'Germany'",
         "SELECT COUNT(*) FROM customers"},
    };
    std::vector<eval::Question> questions;
    std::vector<ScriptedQuestion> script;
    Value follow_ups = Value::array();
    for (const Turn& t : turns) {
        eval::Question q;
        q.id = t.id;
        q.question = t.asked;
        q.gold_sql = t.gold;
        q.conversation = t.conversation;
        q.turn = t.turn;
        questions.push_back(q);
        const std::string seen = *t.standalone ? t.standalone : t.asked;
        script.push_back({seen, t.written, "", false});
        if (*t.standalone) {
            follow_ups.push_back(zolviai::testing::rule(
                "New question: " + std::string(t.asked),
                {{"tool_arguments",
                  {{"standalone_question", t.standalone}, {"depends_on_earlier", true}}}}));
        }
    }
    ScriptedChatServer server;
    Value rules = follow_ups;
    for (auto& r : zolviai::testing::script_rules(script, {"customers", "orders", "employees"})) {
        rules.push_back(r);
    }
    server.rules(rules);
    auto quiet = std::make_shared<Quiet>();
    set_console_sink(quiet);
    eval::EvalOptions o;
    o.default_db_uri = "sqlite:///" + db_path + "?mode=ro";
    o.out_dir = dir.path() + "/out";
    o.jobs = 4;
    o.sql_only = true;
    eval::Evaluation evaluation(questions, o, zolviai::testing::scripted_flows(server.url()));
    const Value result = evaluation.run();
    set_console_sink(nullptr);

    std::map<std::string, Value> by_id;
    for (const Value& r : result["records"]) {
        by_id[r["id"].get<std::string>()] = r;
    }
    ASSERT_EQ(by_id.size(), turns.size());
    for (const Turn& t : turns) {
        const Value& r = by_id[t.id];
        EXPECT_EQ(r["outcome"], std::string(t.id) == "c2-2" ? "wrong_result" : "correct") << t.id;
        if (!*t.conversation) {
            EXPECT_FALSE(r.contains("conversation")) << t.id;
            EXPECT_FALSE(r.contains("understood_as")) << t.id;
            continue;
        }
        EXPECT_EQ(r["conversation"], t.conversation);
        EXPECT_EQ(r["turn"], t.turn);
        EXPECT_EQ(r["understood_as"], *t.standalone ? t.standalone : t.asked);
    }
    // Each second turn's follow-up step saw its own conversation's first turn, and only that.
    int follow_up_calls = 0;
    for (const Value& req : server.requests()) {
        const std::string body = req["body"];
        if (body.find("FollowUpQuestion") == std::string::npos ||
            body.find("New question:") == std::string::npos) {
            continue;
        }
        ++follow_up_calls;
        const bool first_conversation =
            body.find("and how many were returned?") != std::string::npos;
        EXPECT_EQ(body.find("How many orders are pending?") != std::string::npos,
                  first_conversation);
        EXPECT_EQ(body.find("How many customers are there?") != std::string::npos,
                  !first_conversation);
    }
    EXPECT_EQ(follow_up_calls, 2);

    const Value& s = result["summary"];
    EXPECT_EQ(s["by_turn"]["1"]["correct"], 2);
    EXPECT_EQ(s["by_turn"]["1"]["scored"], 2);
    EXPECT_EQ(s["by_turn"]["2"]["correct"], 1);
    EXPECT_EQ(s["by_turn"]["2"]["scored"], 2);
    EXPECT_EQ(s["conversations"]["count"], 2);
    EXPECT_EQ(s["conversations"]["fully_correct"], 1);
    EXPECT_DOUBLE_EQ(s["conversations"]["share"].get<double>(), 0.5);
    EXPECT_EQ(s["correct"], 4);
    const std::string report = read(fs::path(o.out_dir) / "report.md");
    EXPECT_NE(report.find("understood as: How many customers are there in Germany?"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Conversations with every turn right: 1 of 2"), std::string::npos);
    EXPECT_NE(read(fs::path(o.out_dir) / "report.html")
                  .find("understood as: How many customers are there in Germany?"),
              std::string::npos);
}
