// The question engine against the scripted chat server and a real SQLite database: the typed
// answer, the statements it costs, and each failure's kind.
#include "support/chat_server.hpp"
#include "zolviai/agent/agent.hpp"
#include "zolviai/agent/asker.hpp"
#include "zolviai/agent/error_table.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/sql/script.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <sqlite3.h>
#include <unistd.h>

using namespace zolviai;
using zolviai::testing::ScriptedChatServer;
namespace fs = std::filesystem;

namespace {

// Every statement SQLite starts on any connection of this process, as the engine saw it:
// a trace hook installed on each connection as it opens.
std::mutex g_trace_mutex;
std::vector<std::string> g_statements;

int on_statement(unsigned, void*, void* p, void*) {
    const char* text = sqlite3_sql(static_cast<sqlite3_stmt*>(p));
    std::lock_guard lock(g_trace_mutex);
    g_statements.emplace_back(text ? text : "");
    return 0;
}

int trace_connection(sqlite3* db, char**, const sqlite3_api_routines*) {
    sqlite3_trace_v2(db, SQLITE_TRACE_STMT, on_statement, nullptr);
    return SQLITE_OK;
}

long times_run(const std::string& sql) {
    std::lock_guard lock(g_trace_mutex);
    return std::count(g_statements.begin(), g_statements.end(), sql);
}

class Quiet : public ConsoleSink {
public:
    void write_out(std::string_view) override {}
    void write_err(std::string_view) override {}
};

Value tool(const char* name, Value arguments) {
    return {{"tool_arguments", std::move(arguments)}, {"tool_name", name}, {"model", "gpt-4o"}};
}
Value rule(const std::string& body_contains, Value answer) {
    return {{"match", {{"body_contains", body_contains}}}, {"answer", std::move(answer)}};
}

// The model writes `sql` for every generation and gives it back unchanged on review.
Value writes(const std::string& sql) {
    return Value::array(
        {rule("Look for", {{"content", sql}, {"model", "gpt-4o"}}),
         rule("RewriteQueryOutput",
              tool("RewriteQueryOutput", {{"rewritten_question", "the same, rewritten"}})),
         rule("RelevantTablesOutput",
              tool("RelevantTablesOutput", {{"relevant_tables", {"album", "artist"}}})),
         rule("SQLQueryInput", tool("SQLQueryInput", {{"sql_query", sql}}))});
}

struct Fixture {
    Fixture() {
        static const int installed = [] {
            return sqlite3_auto_extension(reinterpret_cast<void (*)()>(trace_connection));
        }();
        EXPECT_EQ(installed, SQLITE_OK);
        set_console_sink(std::make_shared<Quiet>());
        dir = fs::temp_directory_path() / ("zolviai-asker-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql",
                                  (dir / "sample.db").string());
    }
    ~Fixture() {
        set_console_sink(nullptr);
        fs::remove_all(dir);
    }

    agent::Asker asker(int statement_timeout_ms = 30000) {
        sql::DatabaseOptions options;
        options.statement_timeout_ms = statement_timeout_ms;
        auto db =
            sql::CustomSQLDatabase::from_uri("sqlite:///" + (dir / "sample.db").string(), options);
        llm::ChatOpenAI::Options o;
        o.openai_api_key = "key";
        o.model = "gpt-4o";
        o.base_url = server.url() + "/v1";
        o.chat.retry.max_retries = 1;
        auto model = std::make_shared<llm::ChatOpenAI>(o);
        return agent::Asker(std::make_shared<flow::SQLGraph>(db, model, model));
    }

    ScriptedChatServer server;
    fs::path dir;
};

const std::string kAlbums = "SELECT a.name, COUNT(*) AS albums FROM artist a JOIN album b ON "
                            "b.artist_id = a.artist_id GROUP BY a.name ORDER BY a.name";

TEST(Asker, TheTypedRowsComeFromTheOneExecutionOfTheFinalStatement) {
    Fixture f;
    f.server.rules(writes(kAlbums));
    const agent::Asker asker = f.asker();
    agent::Question q;
    q.text = "How many albums has each artist?";
    q.mode = agent::RunMode::SqlOnly;
    const long before = times_run(kAlbums);
    const agent::Answer a = asker.ask(q);
    ASSERT_EQ(a.outcome, "answered") << a.error;
    // One round trip to the database for the final statement, however the rows are used.
    EXPECT_EQ(times_run(kAlbums) - before, 1);
    ASSERT_TRUE(a.result.has_value());
    ASSERT_EQ(a.result->columns.size(), 2u);
    EXPECT_EQ(a.result->columns[1].name, "albums");
    ASSERT_EQ(a.result->rows.size(), 8u); // every artist has an album
    EXPECT_EQ(a.result->rows[0][0].text, "AC/DC");
    EXPECT_EQ(a.result->rows[0][1].integer, 2);
    EXPECT_FALSE(a.truncated);
    ASSERT_EQ(a.attempts.size(), 1u);
    EXPECT_TRUE(a.attempts[0].success);
    EXPECT_EQ(a.attempts[0].row_count, 8);
    EXPECT_EQ(a.sql, kAlbums);
    EXPECT_EQ(a.usage.calls, 3); // tables, SQL, review
    // Every step that ran is in the answer, in order, with a label for people.
    ASSERT_FALSE(a.steps.empty());
    EXPECT_EQ(a.steps.front().name, "init_node");
    EXPECT_EQ(a.steps.back().name, "sql_execution_node");
    EXPECT_EQ(a.steps.back().label, "Running the SQL");

    // The record the faces show holds the same rows as values.
    const Value json = agent::answer_json(a, 3);
    EXPECT_EQ(json["rows"].size(), 3u);
    EXPECT_EQ(json["row_count"], 8);
    EXPECT_EQ(json["truncated"], true);
    EXPECT_EQ(json["rows"][0], Value::array({"AC/DC", 2}));

    // The seed record through the same engine: also one execution.
    const fs::path media = f.dir / "media";
    const long again = times_run(kAlbums);
    const Value record = agent::run_agent(asker.flow(), "", q.text, media.string(), nullptr, true);
    EXPECT_EQ(times_run(kAlbums) - again, 1);
    EXPECT_EQ(record["generated_query"].back(), kAlbums);
}

TEST(Asker, EachFailureIsInTheAnswerWithItsKindAndItsOutcome) {
    const std::string slow =
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT COUNT(*) FROM c";
    struct Case {
        const char* name;
        Value rules;
        int timeout_ms;
        const char* outcome;
        std::optional<ErrorKind> kind;
        bool raised; // the flow raised, rather than its correction loop giving up
    };
    const Value overloaded =
        Value::array({rule("", {{"status", 503},
                                {"headers", {{"retry-after-ms", "1"}}},
                                {"body", {{"error", {{"message", "the model is overloaded"}}}}}})});
    const Value unusable = Value::array(
        {rule("RelevantTablesOutput", tool("RelevantTablesOutput", {{"wrong_field", {"album"}}}))});
    const std::vector<Case> cases = {
        {"refused", writes("DELETE FROM album"), 30000, "sql_failed", ErrorKind::StatementRefused,
         false},
        {"timeout", writes(slow), 300, "sql_failed", ErrorKind::StatementTimeout, false},
        {"engine", writes("SELECT nme FROM artist"), 30000, "sql_failed", ErrorKind::Database,
         false},
        {"overloaded", overloaded, 30000, "model_unavailable", ErrorKind::ModelUnavailable, true},
        {"unusable", unusable, 30000, "model_error", ErrorKind::ModelAnswerInvalid, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.server.rules(c.rules);
        agent::Question q;
        q.text = "Which artists are there?";
        q.mode = agent::RunMode::SqlOnly;
        const agent::Answer a = f.asker(c.timeout_ms).ask(q);
        EXPECT_EQ(a.outcome, c.outcome) << a.error;
        EXPECT_EQ(a.error_kind, c.kind) << a.error;
        EXPECT_EQ(!a.error_type.empty(), c.raised) << a.error_type;
        EXPECT_FALSE(a.error.empty());
        EXPECT_FALSE(a.result.has_value());
        if (!c.raised) {
            // Every attempt the correction loop made, each with its own failure.
            ASSERT_GE(a.attempts.size(), 2u);
            for (const auto& attempt : a.attempts) {
                EXPECT_FALSE(attempt.success);
            }
        }
    }
}

// The model picks `tables`, writes `sql`, gives it back on review, and answers a correction
// prompt that says "returned no rows" with `fix` (the same query when empty).
Value writes_for_empty(const std::vector<std::string>& tables, const std::string& sql,
                       const std::string& fix = "") {
    const Value review = {{"content", "```sql\n" + sql + "\n```"}, {"model", "gpt-4o"}};
    Value rules = Value::array({rule(
        "returned no rows", tool("SQLQueryInput", {{"sql_query", fix.empty() ? sql : fix}}))});
    if (!fix.empty()) { // the review of the corrected query gives it back
        rules.push_back(rule(fix, {{"content", fix}, {"model", "gpt-4o"}}));
    }
    for (const Value& r : Value::array(
             {rule("Look for", review),
              rule("RelevantTablesOutput",
                   tool("RelevantTablesOutput", {{"relevant_tables", tables}})),
              rule("SQLQueryInput", tool("SQLQueryInput", {{"sql_query", sql}})),
              rule("GenerationOutput", tool("GenerationOutput", {{"final_response", "model answer"},
                                                                 {"image_path", ""}}))})) {
        rules.push_back(r);
    }
    return rules;
}

long requests_containing(const ScriptedChatServer& server, const std::string& text) {
    long n = 0;
    for (const auto& r : server.requests()) {
        n += r["body"].get<std::string>().find(text) != std::string::npos;
    }
    return n;
}

TEST(Asker, AQueryThatRanCleanlyWithoutRowsIsAnAnswerNotAFailure) {
    const std::string refunds = "SELECT refund_id, amount FROM refunds";
    const std::string nobody = "SELECT name FROM artist WHERE name = 'Nobody'";
    struct Case {
        const char* name;
        std::vector<std::string> tables;
        std::string sql, fix;
        agent::RunMode mode;
        const char* outcome;
        long calls;       // model calls the question costs
        long corrections; // SQL corrections made
        std::size_t runs; // statements the database ran for the question
    };
    const std::vector<Case> cases = {
        // An empty table: nothing a correction could find, so none is tried.
        {"empty table, SQL only",
         {"refunds"},
         refunds,
         "",
         agent::RunMode::SqlOnly,
         "no_rows",
         3,
         0,
         1},
        {"empty table, full", {"refunds"}, refunds, "", agent::RunMode::Full, "no_rows", 3, 0, 1},
        // A filter that finds nothing: one correction; the model keeps the query, which is
        // reviewed but not run again (and the answer needs no model).
        {"kept query, SQL only",
         {"artist"},
         nobody,
         "",
         agent::RunMode::SqlOnly,
         "no_rows",
         5,
         1,
         1},
        {"kept query, full", {"artist"}, nobody, "", agent::RunMode::Full, "no_rows", 5, 1, 1},
        // The one correction finds rows: an ordinary answer (the analysis is not scripted, so
        // SQL only).
        {"corrected",
         {"artist"},
         nobody,
         "SELECT name FROM artist WHERE name LIKE 'A%'",
         agent::RunMode::SqlOnly,
         "answered",
         5,
         1,
         2},
        // The correction also finds nothing: the run ends there, with no third query.
        {"still empty",
         {"artist"},
         nobody,
         "SELECT name FROM artist WHERE name = 'Nemo'",
         agent::RunMode::SqlOnly,
         "no_rows",
         5,
         1,
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open((f.dir / "sample.db").c_str(), &raw), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE refunds(refund_id INTEGER, amount REAL)", nullptr,
                               nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(raw);
        f.server.rules(writes_for_empty(c.tables, c.sql, c.fix));
        const agent::Asker asker = f.asker();
        agent::Question q;
        q.text = "List all refunds.";
        q.mode = c.mode;
        const long before = times_run(c.sql) + (c.fix.empty() ? 0 : times_run(c.fix));
        const agent::Answer a = asker.ask(q);
        EXPECT_EQ(a.outcome, c.outcome) << a.error;
        EXPECT_TRUE(a.ok());
        EXPECT_EQ(a.usage.calls, c.calls);
        EXPECT_EQ(static_cast<long>(f.server.requests().size()), c.calls);
        EXPECT_EQ(a.corrections, c.corrections);
        EXPECT_EQ(times_run(c.sql) + (c.fix.empty() ? 0 : times_run(c.fix)) - before,
                  static_cast<long>(c.runs));
        EXPECT_FALSE(a.rewritten);
        ASSERT_TRUE(a.result.has_value());
        if (std::string(c.outcome) != "no_rows") {
            continue;
        }
        EXPECT_TRUE(a.error.empty()) << a.error;
        EXPECT_FALSE(a.error_kind.has_value());
        EXPECT_TRUE(a.result->rows.empty());
        EXPECT_FALSE(a.result->columns.empty()) << "the columns of the empty result are kept";
        ASSERT_TRUE(a.sql.has_value());
        EXPECT_EQ(*a.sql, c.fix.empty() ? c.sql : c.fix);
        ASSERT_FALSE(a.attempts.empty());
        EXPECT_TRUE(a.attempts.back().no_rows);
        EXPECT_FALSE(a.attempts.back().error_kind.has_value());
        const Value json = agent::answer_json(a);
        EXPECT_EQ(json["outcome"], "no_rows");
        EXPECT_EQ(json["row_count"], 0);
        EXPECT_EQ(json["truncated"], false);
        EXPECT_TRUE(json["error"].is_null());
        if (c.mode == agent::RunMode::Full) {
            // Written without the model, and it says what happened, with the query.
            EXPECT_NE(a.text.find("no matching data"), std::string::npos) << a.text;
            EXPECT_NE(a.text.find(*a.sql), std::string::npos) << a.text;
            EXPECT_EQ(requests_containing(f.server, "GenerationOutput"), 0);
        }
        if (c.corrections > 0) {
            // The correction prompt says it plainly, never "None".
            EXPECT_EQ(requests_containing(f.server, "returned no rows"), 1);
            EXPECT_EQ(requests_containing(f.server, "          None"), 0);
            bool labelled = false;
            for (const auto& step : a.steps) {
                labelled = labelled || step.label.find("the query returned no rows \u2014 trying "
                                                       "again, 2 of 6") != std::string::npos;
            }
            EXPECT_TRUE(labelled);
        }
    }
}

TEST(Asker, TheSeedRecordKeepsNoneInTheStateButItsAnswerSaysThereIsNoData) {
    Fixture f;
    const std::string nobody = "SELECT name FROM artist WHERE name = 'Nobody'";
    f.server.rules(writes_for_empty({"artist"}, nobody));
    const agent::Asker asker = f.asker();
    // The hook through which a diagnosis of the query's values reaches its one correction.
    std::vector<std::string> diagnosed;
    const_cast<flow::SQLGraph&>(asker.flow())
        .set_no_rows_diagnosis([&](const std::string& sql, const Value&) {
            diagnosed.push_back(sql);
            return std::string("'Nobody' occurs in no row of artist.name");
        });
    const Value record = agent::run_agent(asker.flow(), "", "Which artist is called Nobody?",
                                          (f.dir / "media").string(), nullptr, false);
    EXPECT_EQ(record["sql_execution_result"], Value::array({"None", "None"}));
    EXPECT_NE(record["output"].get<std::string>().find("no matching data"), std::string::npos);
    EXPECT_EQ(diagnosed, std::vector<std::string>{nobody});
    EXPECT_EQ(requests_containing(f.server, "occurs in no row of artist.name"), 1);
}

TEST(ErrorTable, EveryKindHasItsOwnRowAndEveryClassItsKind) {
    for (int i = 0; i < error_kind_count; ++i) {
        const auto kind = static_cast<ErrorKind>(i);
        const agent::ErrorFace& face = agent::error_face(kind);
        EXPECT_EQ(face.kind, kind) << error_kind_name(kind);
        EXPECT_GE(face.http_status, 400) << error_kind_name(kind);
        EXPECT_NE(face.exit_code, 0) << error_kind_name(kind);
    }
    struct Row {
        std::exception_ptr error;
        ErrorKind kind;
        const char* outcome;
        int exit_code;
        int http_status;
        const char* eval_outcome;
    } rows[] = {
        {std::make_exception_ptr(StatementRefused("DELETE changes data")),
         ErrorKind::StatementRefused, "refused", 1, 400, "refused"},
        {std::make_exception_ptr(StatementTimeout("interrupted")), ErrorKind::StatementTimeout,
         "timeout", 124, 504, "timeout"},
        {std::make_exception_ptr(DatabaseUnavailable("could not connect")),
         ErrorKind::DatabaseUnavailable, "unavailable", 69, 503, "sql_error"},
        {std::make_exception_ptr(ModelUnavailable("HTTP 503", 503)), ErrorKind::ModelUnavailable,
         "model_unavailable", 69, 502, "model_error"},
        {std::make_exception_ptr(ModelAnswerInvalid("no tool call")), ErrorKind::ModelAnswerInvalid,
         "model_error", 1, 500, "model_error"},
        {std::make_exception_ptr(OutputParsingError("no tool call")), ErrorKind::ModelAnswerInvalid,
         "model_error", 1, 500, "model_error"},
        {std::make_exception_ptr(ModelError("HTTP 400", 400)), ErrorKind::Model, "model_error", 1,
         502, "model_error"},
        {std::make_exception_ptr(DatabaseError("no such column")), ErrorKind::Database,
         "sql_failed", 1, 500, "sql_error"},
        {std::make_exception_ptr(std::runtime_error("bug")), ErrorKind::Internal, "failed", 1, 500,
         "model_error"},
    };
    for (const auto& r : rows) {
        try {
            std::rethrow_exception(r.error);
        } catch (const std::exception& e) {
            SCOPED_TRACE(e.what());
            EXPECT_EQ(error_kind(e), r.kind);
            const agent::ErrorFace& face = agent::error_face(e);
            EXPECT_STREQ(face.outcome, r.outcome);
            EXPECT_EQ(face.exit_code, r.exit_code);
            EXPECT_EQ(face.http_status, r.http_status);
            EXPECT_STREQ(face.eval_outcome, r.eval_outcome);
        }
    }
    // A layer that adds to a message keeps the class.
    try {
        throw_database_error(ErrorKind::StatementRefused, "Statement refused: x\n[SQL: y]");
    } catch (const StatementRefused& e) {
        EXPECT_STREQ(e.what(), "Statement refused: x\n[SQL: y]");
    }
    EXPECT_THROW(throw_database_error(ErrorKind::StatementTimeout, "late"), StatementTimeout);
}

} // namespace
