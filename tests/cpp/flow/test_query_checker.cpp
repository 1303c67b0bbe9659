#include "zolviai/flow/query_checker.hpp"

#include <gtest/gtest.h>

using namespace zolviai::flow;

// The checker hands the model's answer on as the query to run: fences and the language tag
// must go, and the query inside must stay as written.
TEST(QueryChecker, StripsMarkdownCodeFences) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SELECT 1", "SELECT 1"},
        {"  SELECT name\nFROM artist;\n\n", "SELECT name\nFROM artist;"},
        {"```sql\nSELECT name FROM artist\n```", "SELECT name FROM artist"},
        {"```\nSELECT 1\n```\n", "SELECT 1"},
        {"Here is the query:\n```postgresql\nSELECT a\n  FROM t\n```\nIt is correct.",
         "SELECT a\n  FROM t"},
        {"```SELECT 1```", "SELECT 1"},
        {"```sql\nSELECT 1", "SELECT 1"}, // an answer cut off before the closing fence
        {"SELECT '```' AS fence", "SELECT '```' AS fence"},
    };
    for (const auto& [answer, query] : cases) {
        EXPECT_EQ(strip_code_fences(answer), query) << answer;
    }
}

TEST(QueryChecker, PromptCarriesQueryAndDialect) {
    const std::string prompt =
        QuerySQLCheckerTool::prompt("SELECT '{dialect}' FROM t WHERE x = '{query}'", "mysql");
    EXPECT_NE(prompt.find("one mysql SQL query"), std::string::npos) << prompt;
    // The query's own braces are kept as written, not filled in.
    EXPECT_NE(prompt.find("\nSELECT '{dialect}' FROM t WHERE x = '{query}'\n"), std::string::npos)
        << prompt;
    EXPECT_EQ(prompt.find("{dialect} SQL"), std::string::npos) << prompt;
}
