// Follow-up questions through the engine and a stored conversation, against the scripted chat
// server, a real SQLite database of data and a state database on SQLite and on PostgreSQL.
#include "state/state_test_support.hpp"
#include "support/chat_server.hpp"
#include "zolviai/agent/conversation.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/prompts/conversation_prompts.hpp"
#include "zolviai/sql/script.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace zolviai;
using zolviai::testing::ScratchStateDatabase;
using zolviai::testing::ScriptedChatServer;
using zolviai::testing::StateTempDir;

namespace {

class Quiet : public ConsoleSink {
public:
    void write_out(std::string_view) override {}
    void write_err(std::string_view) override {}
};

Value rule(const std::string& body_contains, Value answer) {
    return {{"match", {{"body_contains", body_contains}}}, {"answer", std::move(answer)}};
}
Value tool(const char* name, Value arguments) {
    return {{"tool_arguments", std::move(arguments)}, {"tool_name", name}, {"model", "gpt-4o"}};
}

// One scripted turn: what the user asks, what the follow-up step makes of it (none for a
// first question) and the SQL the model writes for it.
struct ScriptedTurn {
    std::string asked;
    std::string standalone;
    bool depends;
    std::string sql;
};

const std::string kPerCountry = "SELECT c.country, SUM(i.total) AS revenue FROM invoice i JOIN "
                                "customer c ON c.customer_id = i.customer_id GROUP BY c.country "
                                "ORDER BY c.country";
const std::string kGermany = "SELECT c.country, SUM(i.total) AS revenue FROM invoice i JOIN "
                             "customer c ON c.customer_id = i.customer_id WHERE c.country = "
                             "'Germany' GROUP BY c.country";
const std::string kAlbums = "SELECT COUNT(*) AS albums FROM album";

const std::vector<ScriptedTurn> kTurns = {
    {"What is the invoice total per country?", "", false, kPerCountry},
    {"and only for Germany?", "What is the invoice total for Germany?", true, kGermany},
    // Unrelated: the follow-up step keeps it as asked, and no earlier SQL reaches its prompt.
    {"How many albums are in the store?", "How many albums are in the store?", false, kAlbums},
};

// Rules in the order the server tries them: follow-up answers keyed on the new question,
// then the table pick, then the SQL keyed on the question the flow sees, then the review
// keyed on the SQL it reviews (the only prompt left that holds it).
Value script(const std::vector<ScriptedTurn>& turns) {
    Value rules = Value::array();
    for (const auto& t : turns)
        if (!t.standalone.empty())
            rules.push_back(rule("New question: " + t.asked,
                                 tool("FollowUpQuestion", {{"standalone_question", t.standalone},
                                                           {"depends_on_earlier", t.depends}})));
    rules.push_back(rule(
        "RelevantTablesOutput",
        tool("RelevantTablesOutput", {{"relevant_tables", {"customer", "invoice", "album"}}})));
    for (const auto& t : turns)
        rules.push_back(rule(t.standalone.empty() ? t.asked : t.standalone,
                             tool("SQLQueryInput", {{"sql_query", t.sql}})));
    for (const auto& t : turns)
        rules.push_back(rule(t.sql, {{"content", t.sql}, {"model", "gpt-4o"}}));
    return rules;
}

std::string tool_of(const Value& request) {
    const Value& json = request["json"];
    if (json.contains("tool_choice") && json["tool_choice"].is_object())
        return json["tool_choice"]["function"]["name"];
    return "";
}

// The requests of one tool among those after `from`.
std::vector<Value> requests_for(const Value& log, std::size_t from, const std::string& tool) {
    std::vector<Value> out;
    for (std::size_t i = from; i < log.size(); ++i)
        if (tool_of(log[i]) == tool)
            out.push_back(log[i]);
    return out;
}

std::string prompt_text(const Value& request) {
    std::string text;
    for (const auto& m : request["json"]["messages"])
        text += m["content"].get<std::string>() + "\n";
    return text;
}

struct Fixture {
    Fixture() {
        set_console_sink(std::make_shared<Quiet>());
        sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql",
                                  dir.path() + "/sample.db");
        auto db = sql::CustomSQLDatabase::from_uri("sqlite:///" + dir.path() + "/sample.db");
        llm::ChatOpenAI::Options o;
        o.openai_api_key = "key";
        o.model = "gpt-4o";
        o.base_url = server.url() + "/v1";
        o.chat.retry.max_retries = 1;
        auto model = std::make_shared<llm::ChatOpenAI>(o);
        asker = std::make_unique<agent::Asker>(std::make_shared<flow::SQLGraph>(db, model, model));
    }
    ~Fixture() { set_console_sink(nullptr); }

    // The sample database's own answer to a statement: the reference the engine must match.
    std::vector<std::vector<std::string>> reference(const std::string& sql) const {
        sqlite3* db = nullptr;
        sqlite3_open((dir.path() + "/sample.db").c_str(), &db);
        std::vector<std::vector<std::string>> rows;
        sqlite3_exec(
            db, sql.c_str(),
            [](void* out, int n, char** values, char**) {
                std::vector<std::string> row;
                for (int i = 0; i < n; ++i)
                    row.emplace_back(values[i] ? values[i] : "NULL");
                static_cast<std::vector<std::vector<std::string>>*>(out)->push_back(row);
                return 0;
            },
            &rows, nullptr);
        sqlite3_close(db);
        return rows;
    }

    StateTempDir dir;
    ScriptedChatServer server;
    std::unique_ptr<agent::Asker> asker;
};

class ConversationOnStateEngine : public ::testing::TestWithParam<std::string> {
protected:
    std::string state_uri(const StateTempDir& dir) {
        if (GetParam() == "sqlite")
            return dir.path() + "/state/state.db";
        pg_ = std::make_unique<ScratchStateDatabase>();
        return pg_->uri();
    }
    std::unique_ptr<ScratchStateDatabase> pg_;
};

TEST_P(ConversationOnStateEngine, ThreeTurnsAnsweredWithTheEarlierContextInTheFollowUpPrompt) {
    Fixture f;
    const std::string uri = state_uri(f.dir);
    ASSERT_FALSE(uri.empty()) << "ZOLVIAI_PG_URI is not set: start the test servers";
    f.server.rules(script(kTurns));
    auto store = std::make_unique<state::ConversationStore>(state::Store::open(uri));

    std::string id;
    std::vector<long> calls;
    for (std::size_t i = 0; i < kTurns.size(); ++i) {
        const ScriptedTurn& t = kTurns[i];
        const std::size_t before = f.server.requests().size();
        agent::Question q;
        q.text = t.asked;
        q.mode = agent::RunMode::SqlOnly;
        const auto r = agent::ask_in_conversation(*f.asker, *store, id, q);
        if (i == 0) {
            EXPECT_TRUE(state::ConversationStore::valid_id(r.conversation_id));
            id = r.conversation_id;
        }
        EXPECT_EQ(r.conversation_id, id);
        EXPECT_EQ(r.turn, static_cast<int>(i + 1));
        const agent::Answer& a = r.answer;
        ASSERT_EQ(a.outcome, "answered") << t.asked << ": " << a.error;
        EXPECT_EQ(a.question, t.asked);
        EXPECT_EQ(a.understood_as, t.standalone.empty() ? t.asked : t.standalone);
        EXPECT_EQ(a.depends_on_earlier, t.depends);
        EXPECT_EQ(a.sql, t.sql);
        // The rows are the database's own answer to the turn's statement.
        const auto expected = f.reference(t.sql);
        ASSERT_TRUE(a.result);
        ASSERT_EQ(a.result->rows.size(), expected.size()) << t.asked;
        calls.push_back(a.usage.calls);

        const Value log = f.server.requests();
        const auto follow_ups = requests_for(log, before, "FollowUpQuestion");
        const auto generations = requests_for(log, before, "SQLQueryInput");
        ASSERT_EQ(generations.size(), 1u) << t.asked;
        const std::string generation = prompt_text(generations[0]);
        EXPECT_NE(generation.find(a.understood_as), std::string::npos) << generation;
        if (i == 0) {
            EXPECT_TRUE(follow_ups.empty()) << "a first question cost a follow-up call";
            continue;
        }
        ASSERT_EQ(follow_ups.size(), 1u) << t.asked;
        const std::string follow_up = prompt_text(follow_ups[0]);
        // Every earlier question and its SQL is in the follow-up prompt, and the new question.
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_NE(follow_up.find("Question: " + kTurns[j].asked), std::string::npos)
                << follow_up;
            EXPECT_NE(follow_up.find("SQL: " + kTurns[j].sql), std::string::npos) << follow_up;
        }
        EXPECT_NE(follow_up.find("New question: " + t.asked), std::string::npos);
        // The SQL prompt sees the previous statement only when the question builds on it.
        const bool sees_previous = generation.find(kTurns[i - 1].sql) != std::string::npos;
        EXPECT_EQ(sees_previous, t.depends) << generation;
        EXPECT_EQ(generation.find(prompts::FOLLOW_UP_SQL_SECTION.substr(2, 30)) !=
                      std::string::npos,
                  t.depends);
    }
    // A follow-up costs exactly one call more than a first question.
    EXPECT_EQ(calls[1], calls[0] + 1);
    EXPECT_EQ(calls[2], calls[0] + 1);

    // The conversation outlives the process's store: a new one on the same database reads it.
    store = std::make_unique<state::ConversationStore>(state::Store::open(uri));
    const auto turns = store->turns(id);
    ASSERT_EQ(turns.size(), kTurns.size());
    for (std::size_t i = 0; i < turns.size(); ++i) {
        EXPECT_EQ(turns[i].number, static_cast<int>(i + 1));
        EXPECT_EQ(turns[i].question, kTurns[i].asked);
        EXPECT_EQ(turns[i].sql, kTurns[i].sql);
        EXPECT_EQ(turns[i].outcome, "answered");
        EXPECT_EQ(turns[i].row_count, static_cast<std::int64_t>(f.reference(kTurns[i].sql).size()));
    }
    EXPECT_EQ(turns[1].understood_as, kTurns[1].standalone);
    EXPECT_EQ(turns[0].columns, (std::vector<std::string>{"country", "revenue"}));
}

INSTANTIATE_TEST_SUITE_P(StateEngines, ConversationOnStateEngine,
                         ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

TEST(FollowUp, PromptShowsAtMostTheLastFiveTurnsAndNoEarlierContextWithoutTurns) {
    Fixture f;
    std::vector<agent::EarlierTurn> turns;
    for (int i = 1; i <= 7; ++i) {
        agent::EarlierTurn t;
        t.question = "question number " + std::to_string(i) + "?";
        t.understood_as = t.question;
        t.sql = "SELECT " + std::to_string(i) + " AS n";
        t.outcome = i == 7 ? "sql_failed" : "answered";
        t.row_count = 1;
        t.columns = {"n"};
        turns.push_back(t);
    }
    flow::FollowUpRewriter rewriter(f.asker->flow().relevant_tables_model);
    const std::string text = rewriter.generate_messages(turns, "and the next?")[1].content;
    for (int i = 1; i <= 7; ++i) {
        const bool shown =
            text.find("question number " + std::to_string(i) + "?") != std::string::npos;
        EXPECT_EQ(shown, i > 2) << "turn " << i << " in:\n" << text;
    }
    EXPECT_NE(text.find("Result: 1 row with the columns n"), std::string::npos) << text;
    EXPECT_NE(text.find("Result: not answered (sql_failed)"), std::string::npos) << text;

    // A model that answers with blank text does not lose the question.
    f.server.queue(Value::array(
        {tool("FollowUpQuestion", {{"standalone_question", "  "}, {"depends_on_earlier", true}})}));
    const flow::FollowUp kept = rewriter.invoke(turns, "and the next?");
    EXPECT_EQ(kept.standalone_question, "and the next?");
    EXPECT_FALSE(kept.depends_on_earlier);
    // A mistyped field is the model's answer being unusable, not a crash.
    f.server.queue(Value::array(
        {tool("FollowUpQuestion", {{"standalone_question", "x"}, {"depends_on_earlier", "yes"}})}));
    EXPECT_THROW(rewriter.invoke(turns, "and the next?"), OutputParsingError);
}

TEST(Conversation, MissingFullAndExpiredConversationsCostNoModelCall) {
    Fixture f;
    std::int64_t clock = 1'000'000;
    state::ConversationLimits limits;
    limits.max_turns = 2;
    limits.max_age = std::chrono::seconds(100);
    state::ConversationStore store(state::Store::open(f.dir.path() + "/state.db"), limits,
                                   [&] { return clock; });
    f.server.rules(script(kTurns));
    agent::Question q;
    q.text = kTurns[0].asked;
    q.mode = agent::RunMode::SqlOnly;
    const std::string id = agent::ask_in_conversation(*f.asker, store, "", q).conversation_id;
    q.text = kTurns[1].asked;
    agent::ask_in_conversation(*f.asker, store, id, q);
    const std::size_t calls = f.server.requests().size();
    EXPECT_THROW(agent::ask_in_conversation(*f.asker, store, id, q), state::ConversationFull);
    EXPECT_THROW(agent::ask_in_conversation(*f.asker, store, "0123456789abcdef0123456789abcdef", q),
                 state::ConversationNotFound);
    EXPECT_THROW(agent::ask_in_conversation(*f.asker, store, "../../etc/passwd", q),
                 state::ConversationNotFound);
    EXPECT_EQ(f.server.requests().size(), calls);
    // Past its age the conversation reads as gone, before and after the sweep deletes it.
    clock += 101;
    EXPECT_THROW(agent::ask_in_conversation(*f.asker, store, id, q), state::ConversationNotFound);
    EXPECT_EQ(f.server.requests().size(), calls);
}

} // namespace
