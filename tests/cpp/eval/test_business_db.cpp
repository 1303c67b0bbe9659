// The shipped question set and the business database on all three engines: the engines hold
// the same rows, and every gold query runs through the guard, answers something, and gives
// the same answer everywhere.
#include "sql/sql_test_support.hpp"
#include "zolviai/eval/compare.hpp"
#include "zolviai/eval/questions.hpp"
#include "zolviai/sql/script.hpp"
#include "zolviai/sql/sql_database.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>

using namespace zolviai;
using zolviai::testing::ScratchDatabase;
using zolviai::testing::TempDir;

namespace {

std::string source(const std::string& relative) {
    std::ifstream in(std::string(ZOLVIAI_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(BusinessDatabase, SameRowsAndSameGoldAnswersOnSqlitePostgresqlAndMariadb) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    TempDir dir;
    const std::string file = dir.path() + "/business.db";
    sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/business_db.sql", file);
    ScratchDatabase pg("ZOLVIAI_PG_URI");
    sql::run_script(pg.admin(), source("examples/business_db_postgresql.sql"));
    ScratchDatabase maria("ZOLVIAI_MARIADB_URI");
    sql::run_script(maria.admin(), source("examples/business_db_mysql.sql"));

    const auto sqlite = sql::CustomSQLDatabase::from_uri("sqlite:///" + file + "?mode=ro");
    const std::vector<std::shared_ptr<sql::CustomSQLDatabase>> others = {
        sql::CustomSQLDatabase::from_uri(pg.reader_uri()),
        sql::CustomSQLDatabase::from_uri(maria.reader_uri())};
    constexpr std::int64_t all = 100000;

    for (const char* table :
         {"employees", "customers", "products", "orders", "order_lines", "payments"}) {
        const auto expected = sqlite->query(std::string("SELECT * FROM ") + table, all);
        EXPECT_GT(expected.rows.size(), 0u) << table;
        for (const auto& db : others) {
            const auto got = db->query(std::string("SELECT * FROM ") + table, all);
            EXPECT_TRUE(eval::results_match(expected, got, eval::CompareMode::Multiset))
                << table << " differs on " << db->dialect();
        }
    }

    auto questions =
        eval::load_questions(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/eval/business.jsonl");
    EXPECT_GE(questions.size(), 60u);
    // The conversation set: at least 15 conversations and 40 turns, each numbered from 1.
    const auto turns = eval::load_questions(std::string(ZOLVIAI_SOURCE_DIR) +
                                            "/examples/eval/business_conversations.jsonl");
    std::map<std::string, std::set<int>> conversations;
    for (const auto& q : turns) {
        EXPECT_FALSE(q.conversation.empty()) << q.id;
        conversations[q.conversation].insert(q.turn);
    }
    EXPECT_GE(conversations.size(), 15u);
    EXPECT_GE(turns.size(), 40u);
    for (const auto& [name, numbers] : conversations) {
        EXPECT_EQ(*numbers.begin(), 1) << name;
        EXPECT_EQ(*numbers.rbegin(), static_cast<int>(numbers.size())) << name;
    }
    questions.insert(questions.end(), turns.begin(), turns.end());
    for (const auto& q : questions) {
        EXPECT_TRUE(!q.difficulty.empty() || !q.conversation.empty()) << q.id;
        const auto gold = eval::gold_sql_for(q, "sqlite");
        ASSERT_TRUE(gold) << q.id;
        sql::ResultSet expected;
        try {
            expected = sqlite->query(*gold, all);
        } catch (const std::exception& e) {
            ADD_FAILURE() << q.id << " on sqlite: " << e.what();
            continue;
        }
        // The flow takes a query without rows for a failure: every gold query has some.
        EXPECT_GT(expected.rows.size(), 0u) << q.id;
        for (const auto& db : others) {
            const auto sql = eval::gold_sql_for(q, db->dialect());
            ASSERT_TRUE(sql) << q.id << " has no gold SQL for " << db->dialect();
            try {
                const auto got = db->query(*sql, all);
                EXPECT_TRUE(eval::results_match(expected, got, eval::CompareMode::Multiset))
                    << q.id << " answers differently on " << db->dialect();
            } catch (const std::exception& e) {
                ADD_FAILURE() << q.id << " on " << db->dialect() << ": " << e.what();
            }
        }
    }
}
