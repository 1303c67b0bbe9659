// The memory of verified SQL in the question engine, against the scripted chat server, a real
// SQLite database and a state database on SQLite (and PostgreSQL when the test server is up):
// reuse exactly when the question is the same, examples otherwise, and entries retired when
// the tables they read change.
#include "state/state_test_support.hpp"
#include "support/chat_server.hpp"
#include "zolviai/agent/asker.hpp"
#include "zolviai/agent/memory.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/sql/script.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

using namespace zolviai;
using zolviai::testing::ScratchStateDatabase;
using zolviai::testing::ScriptedChatServer;
namespace fs = std::filesystem;

namespace {

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
         rule("RelevantTablesOutput",
              tool("RelevantTablesOutput", {{"relevant_tables", {"album", "artist"}}})),
         rule("SQLQueryInput", tool("SQLQueryInput", {{"sql_query", sql}}))});
}

// The requests that asked the model for something of one kind (a forced tool or the review).
std::vector<std::string> bodies_with(const Value& requests, const std::string& needle) {
    std::vector<std::string> out;
    for (const auto& r : requests) {
        const std::string body = r.value("body", "");
        if (body.find(needle) != std::string::npos) {
            out.push_back(body);
        }
    }
    return out;
}

const std::string kAlbums = "SELECT a.name, COUNT(*) AS albums FROM artist a JOIN album b ON "
                            "b.artist_id = a.artist_id GROUP BY a.name ORDER BY a.name";
const std::string kAcdc = "SELECT COUNT(*) FROM album b JOIN artist a ON a.artist_id = "
                          "b.artist_id WHERE a.name = 'AC/DC'";
const std::string kQueen = "SELECT COUNT(*) FROM album b JOIN artist a ON a.artist_id = "
                           "b.artist_id WHERE a.name = 'Queen'";
const std::string kArtists = "SELECT name FROM artist ORDER BY name";

void exec(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "") << " in " << sql;
    sqlite3_free(error);
    sqlite3_close(db);
}

// Each test runs with the state database on SQLite and on PostgreSQL.
class MemoryEngine : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        set_console_sink(std::make_shared<Quiet>());
        dir = fs::temp_directory_path() / ("zolviai-memory-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql",
                                  (dir / "sample.db").string());
        std::string state_uri = (dir / "state" / "state.db").string();
        if (GetParam() == "postgresql") {
            pg = std::make_unique<ScratchStateDatabase>();
            if (pg->uri().empty()) {
                GTEST_SKIP() << "ZOLVIAI_PG_URI is not set: run through scripts/test";
            }
            state_uri = pg->uri();
        }
        memory = std::make_shared<agent::Memory>(state::Store::open(state_uri));
        db = sql::CustomSQLDatabase::from_uri("sqlite:///" + (dir / "sample.db").string());
        llm::ChatOpenAI::Options o;
        o.openai_api_key = "key";
        o.model = "gpt-4o";
        o.base_url = server.url() + "/v1";
        o.chat.retry.max_retries = 1;
        auto model = std::make_shared<llm::ChatOpenAI>(o);
        asker = std::make_unique<agent::Asker>(std::make_shared<flow::SQLGraph>(db, model, model));
        asker->set_memory(memory);
    }
    void TearDown() override {
        asker.reset();
        memory.reset();
        db.reset();
        set_console_sink(nullptr);
        fs::remove_all(dir);
    }

    agent::Answer ask(const std::string& text) {
        agent::Question q;
        q.text = text;
        q.mode = agent::RunMode::SqlOnly;
        return asker->ask(q);
    }

    std::unique_ptr<ScratchStateDatabase> pg;
    ScriptedChatServer server;
    fs::path dir;
    std::shared_ptr<agent::Memory> memory;
    std::shared_ptr<sql::CustomSQLDatabase> db;
    std::unique_ptr<agent::Asker> asker;
};

TEST_P(MemoryEngine, TheSameQuestionIsAnsweredByItsCertifiedSqlWithoutWritingSql) {
    const agent::MemoryEntry e =
        memory->add(*db, "How many albums has each artist?", kAlbums, "cli", "tester");
    EXPECT_EQ(e.state, agent::EntryState::Certified);
    ASSERT_EQ(e.tables.size(), 2u) << "the entry knows the tables it reads";
    // Any SQL the model would write differs from the certified one.
    server.rules(writes(kArtists));
    const sql::ResultSet expected = db->query(kAlbums, 1000);
    const char* variants[] = {"How many albums has each artist?", "how many ALBUMS has each artist",
                              "  How many albums   has each artist ?!",
                              "How many albums, has each artist."};
    for (const char* text : variants) {
        const agent::Answer a = ask(text);
        ASSERT_EQ(a.outcome, "answered") << text << ": " << a.error;
        ASSERT_TRUE(a.from_memory) << text;
        EXPECT_EQ(a.from_memory->id, e.id);
        EXPECT_EQ(a.from_memory->source, "cli");
        EXPECT_EQ(a.from_memory->certified_by, "tester");
        EXPECT_EQ(a.sql, kAlbums) << text;
        ASSERT_TRUE(a.result);
        ASSERT_EQ(a.result->rows.size(), expected.rows.size()) << text;
        for (std::size_t i = 0; i < expected.rows.size(); ++i) {
            EXPECT_EQ(a.result->rows[i][0].text, expected.rows[i][0].text);
            EXPECT_EQ(a.result->rows[i][1].integer, expected.rows[i][1].integer);
        }
        EXPECT_EQ(a.usage.calls, 0) << "no table choice, no SQL written, no review";
    }
    EXPECT_TRUE(bodies_with(server.requests(), "SQLQueryInput").empty());
    EXPECT_TRUE(bodies_with(server.requests(), "RelevantTablesOutput").empty());
    EXPECT_EQ(memory->get(e.id)->uses, 4);
    EXPECT_EQ(agent::answer_json(ask(variants[1]))["from_memory"]["id"], e.id);
}

TEST_P(MemoryEngine, AnotherValueIsNeverReusedButGuidesTheSqlAsAnExample) {
    const agent::MemoryEntry acdc =
        memory->add(*db, "How many albums did the artist 'AC/DC' release?", kAcdc, "api");
    memory->add(*db, "List every artist by name", kArtists, "api");
    server.rules(writes(kQueen));
    const agent::Answer a = ask("How many albums did the artist 'Queen' release?");
    ASSERT_EQ(a.outcome, "answered") << a.error;
    EXPECT_FALSE(a.from_memory) << "another name must not reuse the certified SQL";
    EXPECT_EQ(a.sql, kQueen);
    ASSERT_FALSE(a.memory_examples.empty());
    EXPECT_EQ(a.memory_examples[0], acdc.id) << "the nearest entry is the first example";
    const auto generation = bodies_with(server.requests(), "SQLQueryInput");
    ASSERT_EQ(generation.size(), 1u);
    EXPECT_NE(generation[0].find("Verified examples"), std::string::npos);
    EXPECT_NE(generation[0].find("AC/DC"), std::string::npos) << "the example's SQL is shown";
    EXPECT_LT(generation[0].find("AC/DC"), generation[0].find("List every artist"))
        << "examples come best first";
    // The table choice is offered the example's tables.
    const auto picks = bodies_with(server.requests(), "RelevantTablesOutput");
    ASSERT_EQ(picks.size(), 1u);
    EXPECT_NE(picks[0].find("Likely tables"), std::string::npos);
}

TEST_P(MemoryEngine, WithoutEntriesThePromptsAreTheSameAsWithoutMemory) {
    server.rules(writes(kAlbums));
    const agent::Answer with = ask("How many albums has each artist?");
    ASSERT_EQ(with.outcome, "answered") << with.error;
    const Value first = server.requests();
    server.reset();
    server.rules(writes(kAlbums));
    asker->set_memory(nullptr);
    const agent::Answer without = ask("How many albums has each artist?");
    ASSERT_EQ(without.outcome, "answered") << without.error;
    const Value second = server.requests();
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i]["json"]["messages"], second[i]["json"]["messages"]) << i;
    }
}

TEST_P(MemoryEngine, ASchemaChangeRetiresWhatItBreaksAndKeepsTheRest) {
    const agent::MemoryEntry titles =
        memory->add(*db, "What are the album titles?", "SELECT title FROM album", "cli");
    const agent::MemoryEntry artists =
        memory->add(*db, "Which artists are there?", kArtists, "cli");
    const agent::MemoryEntry tracks =
        memory->add(*db, "How many tracks are there?", "SELECT COUNT(*) FROM track", "cli");
    exec(dir / "sample.db", "ALTER TABLE album DROP COLUMN title");
    exec(dir / "sample.db", "ALTER TABLE artist ADD COLUMN country TEXT");
    server.rules(writes(kArtists));
    const agent::Answer a = ask("What are the album titles?");
    EXPECT_FALSE(a.from_memory) << "a query that no longer runs is never reused";
    EXPECT_EQ(memory->get(titles.id)->state, agent::EntryState::Failing);
    EXPECT_NE(memory->get(titles.id)->note.find("title"), std::string::npos)
        << "the note says what failed";
    // A column added to a table it reads: re-checked, still runs, certified with a note.
    const auto after = memory->get(artists.id);
    EXPECT_EQ(after->state, agent::EntryState::Certified);
    EXPECT_NE(after->note.find("still runs"), std::string::npos);
    // A table it does not read changed: untouched.
    EXPECT_EQ(memory->get(tracks.id)->state, agent::EntryState::Certified);
    EXPECT_EQ(memory->get(tracks.id)->note, "");
    EXPECT_TRUE(ask("Which artists are there?").from_memory);
    EXPECT_TRUE(ask("How many tracks are there?").from_memory);
    // A failing entry is not an example either.
    const agent::Answer near = ask("What are the album titles of 2020?");
    for (auto id : near.memory_examples) {
        EXPECT_NE(id, titles.id);
    }
    // On demand: the failing entry is checked again once the column is back.
    exec(dir / "sample.db", "ALTER TABLE album ADD COLUMN title TEXT");
    const agent::CheckReport report = memory->check(*db);
    EXPECT_EQ(report.checked, 3u);
    EXPECT_EQ(report.failing, 0u);
    EXPECT_EQ(memory->get(titles.id)->state, agent::EntryState::Certified);
}

TEST_P(MemoryEngine, WhatDoesNotRunIsNotCertifiedAndEntriesCanBeFoundAndRemoved) {
    EXPECT_THROW(memory->add(*db, "Drop it", "DROP TABLE album", "api"), DatabaseError);
    EXPECT_THROW(memory->add(*db, "Nothing", "SELECT nope FROM album", "api"), DatabaseError);
    EXPECT_TRUE(memory->list(db->identity()).empty());
    const auto a = memory->add(*db, "Which artists are there?", kArtists, "api");
    // Certifying the same question again replaces the entry instead of adding a second one.
    const auto b = memory->add(*db, "which artists are there", kAlbums, "page");
    const auto all = memory->list(db->identity());
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].sql, kAlbums);
    EXPECT_FALSE(memory->get(a.id));
    const auto found = memory->search(db->identity(), "artists");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].id, b.id);
    EXPECT_TRUE(memory->remove(b.id));
    EXPECT_FALSE(memory->remove(b.id));
    server.rules(writes(kArtists));
    EXPECT_FALSE(ask("Which artists are there?").from_memory);
}

INSTANTIATE_TEST_SUITE_P(StateDatabases, MemoryEngine, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

TEST(MemoryTables, TheTablesAStatementReadsAreFoundOutsideLiteralsAndComments) {
    const std::vector<std::string> names = {"Album", "artist", "track", "genre", "order"};
    struct Case {
        const char* sql;
        std::vector<std::string> tables;
    };
    const Case cases[] = {
        {"SELECT * FROM album JOIN main.\"Artist\" USING (x)", {"Album", "artist"}},
        {"SELECT 'track' FROM genre -- track\n", {"genre"}},
        {"SELECT /* album */ 1 FROM `order`", {"order"}},
        {"SELECT 'it''s album' FROM [track]", {"track"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(agent::tables_read(c.sql, names), c.tables) << c.sql;
    }
}

} // namespace
