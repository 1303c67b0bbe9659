// The table picker with and without pruning, against the scripted chat server and a real
// SQLite database: below the threshold its prompt is the unpruned step's prompt byte for byte;
// above it the model sees only the question's candidates.
#include "sql/sql_test_support.hpp"
#include "support/chat_server.hpp"
#include "zolviai/flow/model_steps.hpp"
#include "zolviai/flow/relevant_table_picker.hpp"
#include "zolviai/flow/sql_graph.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/sql/script.hpp"
#include "zolviai/sql/tools.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace zolviai;
using zolviai::testing::ScriptedChatServer;
namespace fs = std::filesystem;

namespace {

struct PickerFixture {
    PickerFixture() {
        dir = fs::temp_directory_path() / ("zolviai-pruning-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql",
                                  (dir / "sample.db").string());
        llm::ChatOpenAI::Options o;
        o.openai_api_key = "test-key";
        o.model = "gpt-4o";
        o.base_url = server.url();
        model = std::make_shared<llm::ChatOpenAI>(o);
    }
    ~PickerFixture() { fs::remove_all(dir); }

    std::shared_ptr<sql::CustomSQLDatabase> open(const sql::DatabaseOptions& options = {}) {
        return sql::CustomSQLDatabase::from_uri("sqlite:///" + (dir / "sample.db").string(),
                                                options);
    }

    // The flow state as the picker finds it after the table list step.
    static Value state_for(const std::shared_ptr<sql::CustomSQLDatabase>& db,
                           const std::string& question, const std::string& rewritten = "") {
        return {{"user_question", question},
                {"rewritten_question", rewritten},
                {"table_names_from_db", sql::ListSQLDatabaseTool(db).run()}};
    }

    // The messages of the one request the picker sent.
    Value sent_messages() const {
        const Value requests = server.requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? Value() : requests.back()["json"]["messages"];
    }

    ScriptedChatServer server;
    fs::path dir;
    std::shared_ptr<llm::ChatOpenAI> model;
};

Value picked(const Value& tables) {
    return {{"tool_arguments", {{"relevant_tables", tables}}},
            {"tool_name", "RelevantTablesOutput"},
            {"model", "gpt-4o"}};
}

TEST(TablePruningFlow, BelowTheThresholdThePromptIsTheUnprunedOne) {
    PickerFixture f;
    auto db = f.open(); // five tables, threshold 60
    const flow::RelevantTablePicker picker(f.model, db);
    const flow::RelevantTableNames plain(db, f.model);
    for (const auto& [question, rewritten] : std::vector<std::pair<std::string, std::string>>{
             {"How many albums does each artist have?", ""},
             {"Which customers spent the most?", "Top five customers by invoice total"}}) {
        SCOPED_TRACE(question);
        const Value state = PickerFixture::state_for(db, question, rewritten);
        const auto expected = plain.generate_prompt(state);
        const auto messages = picker.generate_prompt(state);
        ASSERT_EQ(messages.size(), expected.size());
        for (std::size_t i = 0; i < messages.size(); ++i) {
            EXPECT_EQ(messages[i].role, expected[i].role);
            EXPECT_EQ(messages[i].content, expected[i].content);
        }
        // The prompt lists every table.
        EXPECT_NE(expected[1].content.find("album, artist, customer, invoice, track"),
                  std::string::npos);

        f.server.reset();
        f.server.queue(Value::array({picked({"album", "artist"})}));
        const Value out = picker.invoke(state);
        EXPECT_EQ(out["relevant_tables"], Value({"album", "artist"}));
        const Value sent = f.sent_messages();
        ASSERT_EQ(sent.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(sent[i]["content"].get<std::string>(), expected[i].content);
        }
    }
}

TEST(TablePruningFlow, AboveTheThresholdTheModelSeesTheCandidatesOnly) {
    PickerFixture f;
    sql::DatabaseOptions options;
    options.prune_threshold = 3;
    options.prune_top_k = 1;
    auto db = f.open(options);
    const flow::RelevantTablePicker picker(f.model, db);
    const flow::RelevantTableNames plain(db, f.model);
    struct Case {
        std::string question;
        std::string rewritten;
        std::string listed; // the names the prompt shows
    };
    for (const auto& c : std::vector<Case>{
             // The best match, and the table its foreign key names.
             {"How many albums are there?", "", "album, artist"},
             {"Longest tracks", "", "album, track"},
             // The rewritten question is the one ranked.
             {"Who spent the most?", "Customers by total spent", "customer, invoice"},
         }) {
        SCOPED_TRACE(c.question);
        const Value state = PickerFixture::state_for(db, c.question, c.rewritten);
        Value narrowed = state;
        narrowed["table_names_from_db"] = c.listed;
        const auto expected = plain.generate_prompt(narrowed);
        f.server.reset();
        f.server.queue(Value::array({picked({"album", "ARTIST", "track"})}));
        const Value out = picker.invoke(state);
        const Value sent = f.sent_messages();
        ASSERT_EQ(sent.size(), expected.size());
        EXPECT_EQ(sent[1]["content"].get<std::string>(), expected[1].content);
        // Whatever the model answers is still matched against every real table.
        EXPECT_EQ(out["relevant_tables"], Value({"album", "artist", "track"}));
    }
}

// The rewrite step describes tables to the model too: above the threshold only the
// question's candidates, below it every table.
TEST(TablePruningFlow, TheRewriteDescribesTheCandidatesOfAPrunedDatabase) {
    PickerFixture f;
    sql::DatabaseOptions options;
    options.prune_threshold = 3;
    options.prune_top_k = 1;
    const Value state = PickerFixture::state_for(f.open(), "How many albums are there?");
    const std::string pruned =
        flow::RewriteQuery(f.open(options), f.model).generate_prompt(state)[0].content;
    const std::string full =
        flow::RewriteQuery(f.open(), f.model).generate_prompt(state)[0].content;
    for (const char* table : {"album", "artist", "customer", "invoice", "track"}) {
        EXPECT_NE(full.find(std::string("CREATE TABLE ") + table), std::string::npos) << table;
    }
    EXPECT_NE(pruned.find("CREATE TABLE album"), std::string::npos);
    EXPECT_NE(pruned.find("CREATE TABLE artist"), std::string::npos);
    EXPECT_EQ(pruned.find("CREATE TABLE customer"), std::string::npos);
    EXPECT_EQ(pruned.find("CREATE TABLE invoice"), std::string::npos);
}

// A question on a 2,000-table PostgreSQL database through the whole flow (SQL only): the
// picker's prompt lists the candidates, not the catalog, and the chosen tables are described
// and queried as on any database.
TEST(TablePruningFlow, AQuestionOnTwoThousandPostgreSQLTables) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    zolviai::testing::ScratchDatabase pg("ZOLVIAI_PG_URI");
    pg.admin().execute("CREATE TABLE artist (artist_id integer PRIMARY KEY, name text NOT NULL)");
    pg.admin().execute("CREATE TABLE album (album_id integer PRIMARY KEY, title text NOT NULL, "
                       "artist_id integer REFERENCES artist)");
    pg.admin().execute("INSERT INTO artist VALUES (1, 'AC/DC'), (2, 'Accept')");
    pg.admin().execute("INSERT INTO album VALUES (1, 'Let There Be Rock', 1), (2, 'Restless', 2), "
                       "(3, 'Powerage', 1)");
    // Noise that shares words with the real tables: staging copies, archives, reports.
    pg.admin().execute(
        "DO $$ DECLARE words text[] := ARRAY['sales', 'artist', 'album', 'report', 'archive', "
        "'stage', 'inventory', 'customer', 'order', 'track']; BEGIN FOR i IN 1..1998 LOOP "
        "EXECUTE format('CREATE TABLE %s_%s_%s (id integer, %s_id integer, amount numeric, "
        "loaded_at timestamp)', words[1 + i % 10], words[1 + (i / 10) % 10], i, "
        "words[1 + (i / 100) % 10]); END LOOP; END $$");

    const std::string uri =
        "postgresql://" + pg.reader_uri().substr(pg.reader_uri().find("://") + 3);
    ScriptedChatServer server;
    const llm::AzureOpenAIChat35 c35("gpt35", server.url(), "key-35", "2024-10-21");
    const llm::AzureOpenAIChat4 c4("gpt4", server.url(), "key-4", "2024-10-21");
    auto db = sql::CustomSQLDatabase::from_uri(uri);
    ASSERT_EQ(db->get_usable_table_names().size(), 2000u);
    flow::SQLGraph graph(db, c35, c4);
    const std::string query = "SELECT r.name, COUNT(*) FROM artist r JOIN album a ON "
                              "a.artist_id = r.artist_id GROUP BY r.name ORDER BY 2 DESC";
    server.queue(Value::array({picked({"album", "artist"}),
                               {{"tool_arguments", {{"sql_query", query}}},
                                {"tool_name", "SQLQueryInput"},
                                {"model", "gpt-4o"}},
                               {{"content", query}, {"model", "gpt-4o"}}}));
    const Value out = graph.invoke(
        {{"user_question", "How many albums does each artist have?"}, {"sql_only", true}});
    EXPECT_EQ(out["execution_success"], true);
    EXPECT_EQ(out["sql_execution_result"].back(), "[('AC/DC', 2), ('Accept', 1)]");

    const Value requests = server.requests();
    ASSERT_GE(requests.size(), 2u);
    const std::string picker_prompt = requests[0]["json"]["messages"][1]["content"];
    const auto from = picker_prompt.find("<table_names>") + 13;
    const std::string listed =
        picker_prompt.substr(from, picker_prompt.find("</table_names>") - from);
    const std::size_t listed_count = std::count(listed.begin(), listed.end(), ',') + 1;
    EXPECT_LE(listed_count, 2 * db->options().prune_top_k) << "top K and their foreign keys";
    EXPECT_NE(listed.find("album"), std::string::npos);
    EXPECT_NE((", " + listed + ",").find(", artist,"), std::string::npos);
    // The generation prompt holds the chosen tables' descriptions, with their sample rows.
    const std::string generation = requests[1]["json"]["messages"].dump();
    EXPECT_NE(generation.find("3 rows from album table"), std::string::npos);
}

} // namespace
