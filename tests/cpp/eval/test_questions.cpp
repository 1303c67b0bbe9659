// Question files: our JSON Lines and the public benchmarks' dev.json layouts, read and run.
#include "eval/eval_test_support.hpp"
#include "sql/sql_test_support.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/eval/questions.hpp"
#include "zolviai/sql/script.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace zolviai;
using zolviai::testing::ScriptedChatServer;
using zolviai::testing::TempDir;
namespace fs = std::filesystem;

namespace {

void write_file(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A SQLite database laid out as the benchmarks ship theirs: <root>/<name>/<name>.sqlite.
void make_database(const fs::path& root, const std::string& name, const std::string& script) {
    sql::ConnectSettings s;
    s.engine = sql::Engine::Sqlite;
    s.database = (root / name / (name + ".sqlite")).string();
    fs::create_directories(root / name);
    sql::run_script(*sql::connect(s), script);
}

class Quiet : public ConsoleSink {
public:
    void write_out(std::string_view) override {}
    void write_err(std::string_view) override {}
};

} // namespace

TEST(Questions, JsonLinesReadEveryFieldAndGoldPerDialect) {
    const std::string text =
        R"({"id": "q1", "question": "How many?", "gold_sql": "SELECT 1", "difficulty": "easy", "tags": ["aggregate", 3]})"
        "\n\n"
        R"J({"id": 7, "question": "Per year?", "evidence": "year is YEAR()", "db": "sales", "gold_sql": {"sqlite": "SELECT 2", "mysql": "SELECT 3"}})J"
        "\n"
        R"({"question": "No id", "gold_sql": "SELECT 4"})";
    const auto qs = eval::parse_questions(text);
    ASSERT_EQ(qs.size(), 3u);
    EXPECT_EQ(qs[0].id, "q1");
    EXPECT_EQ(qs[0].difficulty, "easy");
    EXPECT_EQ(qs[0].tags, std::vector<std::string>({"aggregate"}))
        << "a tag that is no text is skipped";
    EXPECT_EQ(eval::prompt_text(qs[0]), "How many?");
    EXPECT_EQ(qs[1].id, "7");
    EXPECT_EQ(qs[1].db, "sales");
    EXPECT_EQ(eval::prompt_text(qs[1]), "Per year?\nHint: year is YEAR()");
    EXPECT_EQ(eval::gold_sql_for(qs[1], "sqlite"), "SELECT 2");
    EXPECT_EQ(eval::gold_sql_for(qs[1], "mysql"), "SELECT 3");
    EXPECT_EQ(eval::gold_sql_for(qs[1], "postgresql"), std::nullopt);
    EXPECT_EQ(eval::gold_sql_for(qs[0], "postgresql"), "SELECT 1");
    EXPECT_EQ(qs[2].id, "4") << "the line number stands in for a missing id";
}

TEST(Questions, BrokenFilesNameTheLineOrEntryAndTheFault) {
    struct Case {
        const char* what;
        std::string text;
        eval::QuestionFormat format;
        const char* expected;
    } cases[] = {
        {"malformed JSON", "{\"id\": 1, \"question\": \"a\", \"gold_sql\": \"S\"}\n{oops\n",
         eval::QuestionFormat::Auto, "line 2"},
        {"a repeated id",
         "{\"id\": 1, \"question\": \"a\", \"gold_sql\": \"S\"}\n"
         "{\"id\": \"1\", \"question\": \"b\", \"gold_sql\": \"S\"}",
         eval::QuestionFormat::Jsonl, "used twice"},
        {"no gold SQL", "{\"id\": 1, \"question\": \"a\"}", eval::QuestionFormat::Jsonl,
         "no gold_sql"},
        {"an empty gold map entry",
         "{\"id\": 1, \"question\": \"a\", \"gold_sql\": {\"sqlite\": \"\"}}",
         eval::QuestionFormat::Jsonl, "for sqlite"},
        {"no question text", "[{\"db_id\": \"x\", \"query\": \"S\"}]", eval::QuestionFormat::Auto,
         "entry 0: the question has no text"},
        {"not an array", "{\"question\": \"a\"}", eval::QuestionFormat::Spider, "JSON array"},
        {"a turn given twice",
         "{\"id\": 1, \"question\": \"a\", \"gold_sql\": \"S\", \"conversation\": \"c\", \"turn\": 1}\n"
         "{\"id\": 2, \"question\": \"b\", \"gold_sql\": \"S\", \"conversation\": \"c\", \"turn\": 1}",
         eval::QuestionFormat::Jsonl, "line 2: turn 1 of the conversation 'c' is given twice"},
        {"a turn without its conversation",
         "{\"id\": 1, \"question\": \"a\", \"gold_sql\": \"S\", \"turn\": 2}",
         eval::QuestionFormat::Jsonl, "needs its conversation"},
        {"a turn of zero",
         "{\"id\": 1, \"question\": \"a\", \"gold_sql\": \"S\", \"conversation\": \"c\", \"turn\": 0}",
         eval::QuestionFormat::Jsonl, "whole number from 1"},
    };
    for (const auto& c : cases) {
        try {
            eval::parse_questions(c.text, c.format);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const ValueError& e) {
            EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos)
                << c.what << ": " << e.what();
        }
    }
    EXPECT_THROW(eval::load_questions("/nonexistent/questions.jsonl"), IoError);
    EXPECT_THROW(eval::parse_question_format("csv"), ValueError);
}

TEST(Questions, DatabaseNamesResolveUnderTheRootReadOnly) {
    eval::Question q;
    q.id = "1";
    EXPECT_EQ(eval::database_uri(q, "/data", "sqlite:///default.db"), "sqlite:///default.db");
    q.db = "postgresql://u@h/db";
    EXPECT_EQ(eval::database_uri(q, "/data", ""), "postgresql://u@h/db");
    q.db = "concert_singer";
    EXPECT_EQ(eval::database_uri(q, "/data", ""),
              "sqlite:////data/concert_singer/concert_singer.sqlite?mode=ro");
    EXPECT_THROW(eval::database_uri(q, "", ""), ConfigError) << "a name needs --db-root";
    q.db = "../etc";
    EXPECT_THROW(eval::database_uri(q, "/data", ""), ConfigError);
}

// A Spider-style and a BIRD-style file, each with its database folder, run as they are.
TEST(Questions, SpiderAndBirdFilesRunWithTheirDatabaseFolders) {
    TempDir dir;
    const fs::path root = fs::path(dir.path()) / "database";
    make_database(root, "concert_singer",
                  "CREATE TABLE singer (singer_id INTEGER PRIMARY KEY, name TEXT, country TEXT, "
                  "age INTEGER);\n"
                  "INSERT INTO singer VALUES (1, 'Joe Sharp', 'Netherlands', 52), (2, 'Timbaland', "
                  "'United States', 32), (3, 'Justin Brown', 'France', 29);\n");
    make_database(root, "pets_1",
                  "CREATE TABLE pets (pet_id INTEGER PRIMARY KEY, pet_type TEXT, weight REAL);\n"
                  "INSERT INTO pets VALUES (1, 'cat', 12.0), (2, 'dog', 13.4), (3, 'dog', 9.3);\n");
    const fs::path spider = fs::path(dir.path()) / "spider_dev.json";
    write_file(spider, R"([
 {"db_id": "concert_singer", "query": "SELECT count(*) FROM singer", "query_toks": ["SELECT"],
  "question": "How many singers do we have?", "question_toks": ["How"], "sql": {}},
 {"db_id": "pets_1", "query": "SELECT count(*) FROM pets WHERE weight > 10",
  "question": "How many pets have a weight above 10?", "sql": {}}
])");
    const fs::path bird = fs::path(dir.path()) / "bird_dev.json";
    write_file(bird, R"J([
 {"question_id": 0, "db_id": "concert_singer", "question": "Name the oldest singer.",
  "evidence": "oldest refers to MAX(age)", "SQL": "SELECT name FROM singer ORDER BY age DESC LIMIT 1",
  "difficulty": "simple"},
 {"question_id": 1, "db_id": "pets_1", "question": "Average weight of dogs?",
  "evidence": "", "SQL": "SELECT AVG(weight) FROM pets WHERE pet_type = 'dog'",
  "difficulty": "moderate"}
])J");
    EXPECT_EQ(eval::detect_question_format("[{\"db_id\": \"a\", \"query\": \"q\"}]"),
              eval::QuestionFormat::Spider);
    const auto spider_qs = eval::load_questions(spider.string());
    const auto bird_qs = eval::load_questions(bird.string());
    ASSERT_EQ(spider_qs.size(), 2u);
    ASSERT_EQ(bird_qs.size(), 2u);
    EXPECT_EQ(spider_qs[1].id, "1");
    EXPECT_EQ(spider_qs[1].db, "pets_1");
    EXPECT_EQ(bird_qs[0].difficulty, "simple");
    EXPECT_EQ(eval::prompt_text(bird_qs[0]),
              "Name the oldest singer.\nHint: oldest refers to MAX(age)");
    EXPECT_EQ(eval::prompt_text(bird_qs[1]), "Average weight of dogs?") << "no empty hint";

    ScriptedChatServer server;
    std::vector<zolviai::testing::ScriptedQuestion> script = {
        {"How many singers do we have?", "SELECT COUNT(*) FROM singer", "", false},
        // Right rows, other column list: wrong.
        {"How many pets have a weight above 10?",
         "SELECT pet_id, COUNT(*) FROM pets WHERE weight > 10", "", false},
        {"Name the oldest singer.\nHint: oldest refers to MAX(age)",
         "SELECT name FROM singer WHERE age = (SELECT MAX(age) FROM singer)", "", false},
        {"Average weight of dogs?",
         "SELECT SUM(weight) / COUNT(*) FROM pets WHERE pet_type = 'dog'", "", false},
    };
    server.rules(zolviai::testing::script_rules(script, {"singer", "pets"}));
    auto quiet = std::make_shared<Quiet>();
    set_console_sink(quiet);
    eval::EvalOptions options;
    options.db_root = root.string();
    options.sql_only = true;
    options.jobs = 2;
    const Value spider_run =
        eval::run_evaluation(spider.string(), eval::QuestionFormat::Auto, options,
                             zolviai::testing::scripted_flows(server.url()));
    const Value bird_run = eval::run_evaluation(bird.string(), eval::QuestionFormat::Bird, options,
                                                zolviai::testing::scripted_flows(server.url()));
    set_console_sink(nullptr);
    EXPECT_EQ(spider_run["records"][0]["outcome"], "correct");
    EXPECT_EQ(spider_run["records"][1]["outcome"], "wrong_result");
    EXPECT_EQ(bird_run["records"][0]["outcome"], "correct");
    EXPECT_EQ(bird_run["records"][1]["outcome"], "correct") << "11.35 either way";
    EXPECT_EQ(bird_run["summary"]["by_difficulty"]["moderate"]["correct"], 1);
    EXPECT_EQ(bird_run["records"][1]["dialect"], "sqlite");
}

TEST(Questions, ConversationTurnsAreReadAndMissingOnesFollowTheLast) {
    const auto qs = eval::parse_questions(
        "{\"id\": \"a2\", \"question\": \"and in 2023?\", \"gold_sql\": \"S\", "
        "\"conversation\": \"a\", \"turn\": 2}\n"
        "{\"id\": \"a1\", \"question\": \"orders in 2024?\", \"gold_sql\": \"S\", "
        "\"conversation\": \"a\", \"turn\": 1}\n"
        "{\"id\": \"alone\", \"question\": \"customers?\", \"gold_sql\": \"S\"}\n"
        "{\"id\": \"a3\", \"question\": \"only Germany?\", \"gold_sql\": \"S\", "
        "\"conversation\": \"a\"}\n",
        eval::QuestionFormat::Jsonl);
    ASSERT_EQ(qs.size(), 4u);
    EXPECT_EQ(qs[0].conversation, "a");
    EXPECT_EQ(qs[0].turn, 2);
    EXPECT_EQ(qs[1].turn, 1);
    EXPECT_TRUE(qs[2].conversation.empty());
    EXPECT_EQ(qs[2].turn, 0);
    EXPECT_EQ(qs[3].turn, 3); // after the highest turn given so far
}
