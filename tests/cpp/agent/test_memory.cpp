// The memory of verified SQL in the question engine, against the scripted chat server, the
// sample database on SQLite, PostgreSQL and MariaDB (generated SQL running as the servers'
// reader role), and a state database on SQLite or PostgreSQL: reuse exactly when the question
// is the same, examples otherwise, and entries retired when the tables they read change.
#include "sql/sql_test_support.hpp"
#include "state/state_test_support.hpp"
#include "support/chat_server.hpp"
#include "zolviai/agent/asker.hpp"
#include "zolviai/agent/memory.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/sql/render.hpp"
#include "zolviai/sql/script.hpp"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sstream>
#include <unistd.h>

using namespace zolviai;
using zolviai::testing::ScratchDatabase;
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

// Where the memory is kept and which database the questions are about.
struct Setup {
    std::string state;  // "sqlite" or "postgresql"
    std::string target; // "sqlite", "postgresql" or "mariadb"
};

void PrintTo(const Setup& s, std::ostream* os) {
    *os << s.target << " database, state on " << s.state;
}

std::string setup_name(const ::testing::TestParamInfo<Setup>& info) {
    auto title = [](std::string s) {
        s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
        return s;
    };
    return title(info.param.target) + "WithStateOn" + title(info.param.state);
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The rows as a Python client would print them, columns included: equal text, equal answer.
std::string rows_text(const sql::ResultSet& r) {
    return sql::render_rows(r, true);
}

// Each test runs with the state database on SQLite and on PostgreSQL, and on the sample
// database in each engine, each in a database of its own on the test servers.
class MemoryEngine : public ::testing::TestWithParam<Setup> {
protected:
    void SetUp() override {
        set_console_sink(std::make_shared<Quiet>());
        dir = fs::temp_directory_path() / ("zolviai-memory-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        const std::string sample = std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql";
        std::string state_uri = (dir / "state" / "state.db").string();
        if (GetParam().state == "postgresql") {
            pg = std::make_unique<ScratchStateDatabase>();
            if (pg->uri().empty()) {
                GTEST_FAIL() << "ZOLVIAI_PG_URI is not set: run through scripts/test";
            }
            state_uri = pg->uri();
        }
        std::string target_uri;
        if (GetParam().target == "sqlite") {
            sql::create_sample_sqlite(sample, (dir / "sample.db").string());
            target_uri = "sqlite:///" + (dir / "sample.db").string();
        } else {
            const char* variable =
                GetParam().target == "postgresql" ? "ZOLVIAI_PG_URI" : "ZOLVIAI_MARIADB_URI";
            ZOLVIAI_REQUIRE_SERVER(variable);
            target = std::make_unique<ScratchDatabase>(variable);
            sql::run_script(target->admin(), file_text(sample));
            // Generated and certified SQL run as the server's reader role.
            target_uri = target->reader_uri();
        }
        memory = std::make_shared<agent::Memory>(state::Store::open(state_uri));
        db = sql::CustomSQLDatabase::from_uri(target_uri);
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
        target.reset();
        set_console_sink(nullptr);
        fs::remove_all(dir);
    }

    agent::Answer ask(const std::string& text) {
        agent::Question q;
        q.text = text;
        q.mode = agent::RunMode::SqlOnly;
        return asker->ask(q);
    }

    // Changes the database's schema as its owner would (not through the reader role).
    void alter(const std::string& statement) {
        if (target) {
            target->admin().execute(statement);
            return;
        }
        exec(dir / "sample.db", statement);
    }

    std::unique_ptr<ScratchStateDatabase> pg;
    std::unique_ptr<ScratchDatabase> target;
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
    EXPECT_EQ(e.engine, db->dialect());
    ASSERT_EQ(e.tables.size(), 2u) << "the entry knows the tables it reads";
    // Any SQL the model would write differs from the certified one.
    server.rules(writes(kArtists));
    const std::string expected = rows_text(db->query(kAlbums, 1000));
    ASSERT_NE(expected.find("Miles Davis"), std::string::npos) << expected;
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
        EXPECT_EQ(rows_text(*a.result), expected) << text;
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
    const agent::MemoryEntry before =
        memory->add(*db, "Which albums were released before 1970?",
                    "SELECT title FROM album WHERE release_year < 1970 ORDER BY title", "api");
    memory->add(*db, "List every artist by name", kArtists, "api");
    struct Case {
        const char* question; // the certified one with another value
        const char* written;  // what the model writes for it
        const agent::MemoryEntry& nearest;
        const char* shown; // a part of the nearest entry's SQL
    };
    const Case cases[] = {
        {"How many albums did the artist 'Queen' release?", kQueen.c_str(), acdc, "'AC/DC'"},
        {"Which albums were released before 1990?",
         "SELECT title FROM album WHERE release_year < 1990 ORDER BY title", before,
         "release_year < 1970"},
    };
    for (const auto& c : cases) {
        server.reset();
        server.rules(writes(c.written));
        const agent::Answer a = ask(c.question);
        ASSERT_EQ(a.outcome, "answered") << c.question << ": " << a.error;
        EXPECT_FALSE(a.from_memory) << "another value must not reuse the certified SQL";
        EXPECT_EQ(a.sql, c.written);
        ASSERT_TRUE(a.result);
        EXPECT_EQ(rows_text(*a.result), rows_text(db->query(c.written, 1000))) << c.question;
        ASSERT_FALSE(a.memory_examples.empty()) << c.question;
        EXPECT_EQ(a.memory_examples[0], c.nearest.id) << "the nearest entry is the first example";
        const auto generation = bodies_with(server.requests(), "SQLQueryInput");
        ASSERT_EQ(generation.size(), 1u) << c.question;
        EXPECT_NE(generation[0].find("Verified examples"), std::string::npos);
        EXPECT_NE(generation[0].find(c.shown), std::string::npos) << "the example's SQL is shown";
        EXPECT_LT(generation[0].find(c.shown), generation[0].find("List every artist"))
            << "examples come best first";
        // The table choice is offered the example's tables.
        const auto picks = bodies_with(server.requests(), "RelevantTablesOutput");
        ASSERT_EQ(picks.size(), 1u);
        EXPECT_NE(picks[0].find("Likely tables"), std::string::npos);
    }
    EXPECT_EQ(memory->get(acdc.id)->uses, 0);
    EXPECT_EQ(memory->get(before.id)->uses, 0);
}

TEST_P(MemoryEngine, AFollowUpIsTheQuestionItStandsFor) {
    const std::string acdc_question = "How many albums did the artist 'AC/DC' release?";
    const agent::MemoryEntry acdc = memory->add(*db, acdc_question, kAcdc, "page");
    // Words that mean nothing alone, certified as they are by a client.
    const agent::MemoryEntry words = memory->add(*db, "and for that one?", kArtists, "api");
    struct Case {
        const char* standalone; // what the follow-up step makes of "and for that one?"
        std::optional<std::int64_t> reused;
    };
    const Case cases[] = {
        {acdc_question.c_str(), acdc.id},
        {"How many tracks are on the album 'Back in Black'?", std::nullopt},
    };
    for (const auto& c : cases) {
        server.reset();
        Value rules = writes("SELECT COUNT(*) FROM track");
        rules.insert(rules.begin(),
                     rule("FollowUpQuestion",
                          tool("FollowUpQuestion", {{"standalone_question", c.standalone},
                                                    {"depends_on_earlier", true}})));
        server.rules(rules);
        agent::Question q;
        q.text = "and for that one?";
        q.mode = agent::RunMode::SqlOnly;
        q.earlier_turns.push_back({"How many albums did the artist 'Queen' release?",
                                   "How many albums did the artist 'Queen' release?",
                                   kQueen,
                                   1,
                                   {"COUNT(*)"},
                                   "answered"});
        const agent::Answer a = asker->ask(q);
        ASSERT_EQ(a.outcome, "answered") << c.standalone << ": " << a.error;
        EXPECT_EQ(a.understood_as, c.standalone);
        if (c.reused) {
            ASSERT_TRUE(a.from_memory) << c.standalone;
            EXPECT_EQ(a.from_memory->id, *c.reused);
            EXPECT_EQ(a.sql, kAcdc);
            EXPECT_TRUE(bodies_with(server.requests(), "SQLQueryInput").empty());
        } else {
            EXPECT_FALSE(a.from_memory) << "the entry of the words typed answered "
                                        << a.from_memory->id << " (words: " << words.id << ")";
            EXPECT_EQ(a.sql, "SELECT COUNT(*) FROM track");
        }
    }
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
    const agent::MemoryEntry genres = memory->add(
        *db, "How many tracks has each genre?",
        "SELECT genre, COUNT(*) AS tracks FROM track GROUP BY genre ORDER BY genre", "cli");
    // A question asked once reads the schema as it is before the changes.
    server.rules(writes(kArtists));
    ASSERT_TRUE(ask("Which artists are there?").from_memory);
    alter("ALTER TABLE album DROP COLUMN title");
    alter("ALTER TABLE artist ADD COLUMN country VARCHAR(40)");
    alter("ALTER TABLE customer ADD COLUMN email VARCHAR(80)");
    const agent::Answer a = ask("What are the album titles?");
    EXPECT_FALSE(a.from_memory) << "a query that no longer runs is never reused";
    EXPECT_EQ(bodies_with(server.requests(), "SQLQueryInput").size(), 1u)
        << "the question is written afresh";
    EXPECT_EQ(memory->get(titles.id)->state, agent::EntryState::Failing);
    EXPECT_NE(memory->get(titles.id)->note.find("title"), std::string::npos)
        << "the note says what failed: " << memory->get(titles.id)->note;
    // A column added to a table it reads: re-checked, still runs, certified with a note.
    const auto after = memory->get(artists.id);
    EXPECT_EQ(after->state, agent::EntryState::Certified);
    EXPECT_NE(after->note.find("still runs"), std::string::npos);
    // Only tables it does not read changed: untouched.
    EXPECT_EQ(memory->get(genres.id)->state, agent::EntryState::Certified);
    EXPECT_EQ(memory->get(genres.id)->note, "");
    EXPECT_TRUE(ask("Which artists are there?").from_memory);
    EXPECT_TRUE(ask("How many tracks has each genre?").from_memory);
    // A failing entry is not an example either.
    const agent::Answer near = ask("What are the album titles of 2020?");
    for (auto id : near.memory_examples) {
        EXPECT_NE(id, titles.id);
    }
    // On demand: a column an entry reads dropped, and the failing entry checked again once
    // its column is back.
    alter("ALTER TABLE track DROP COLUMN genre");
    alter("ALTER TABLE album ADD COLUMN title VARCHAR(160)");
    const agent::CheckReport report = memory->check(*db);
    EXPECT_EQ(report.checked, 3u);
    EXPECT_EQ(report.certified, 2u);
    EXPECT_EQ(report.failing, 1u);
    EXPECT_EQ(memory->get(titles.id)->state, agent::EntryState::Certified);
    EXPECT_EQ(memory->get(genres.id)->state, agent::EntryState::Failing);
    EXPECT_NE(memory->get(genres.id)->note.find("genre"), std::string::npos)
        << memory->get(genres.id)->note;
    EXPECT_EQ(memory->get(artists.id)->state, agent::EntryState::Certified);
    server.reset();
    server.rules(writes(kArtists));
    EXPECT_FALSE(ask("How many tracks has each genre?").from_memory);
    EXPECT_TRUE(ask("What are the album titles?").from_memory);
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

// The state database on both stores with the sample on SQLite; the sample on the servers'
// engines with the state on SQLite.
INSTANTIATE_TEST_SUITE_P(StateAndTarget, MemoryEngine,
                         ::testing::Values(Setup{"sqlite", "sqlite"}, Setup{"postgresql", "sqlite"},
                                           Setup{"sqlite", "postgresql"},
                                           Setup{"sqlite", "mariadb"}),
                         setup_name);

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
