// The checks every engine shares before its own grammar decides, and the function lists the
// engines' policies are built on.
#include "sql/drivers/policies.hpp"
#include "zolviai/sql/guard.hpp"

#include <gtest/gtest.h>

using namespace zolviai::sql;

TEST(SharedChecks, RefuseSizeNulInvalidTextAndEmptiness) {
    GuardOptions options;
    options.max_statement_bytes = 100;
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"SELECT '" + std::string(100, 'x') + "'", "bytes long, more than the 100 bytes"},
        {std::string("SELECT 1\0; DROP TABLE t", 24), "NUL"},
        {"SELECT '\xc3\x28'", "not valid UTF-8"},
        {"SELECT '\xed\xa0\x80'", "not valid UTF-8"}, // a surrogate
        {"SELECT '\xc0\xaf'", "not valid UTF-8"},     // an overlong '/'
        {"", "empty"},
        {" ;\n\t; ", "empty"},
    };
    for (const auto& [sql, found] : refused) {
        const auto reason = shared_refusal(sql, options);
        ASSERT_TRUE(reason.has_value()) << sql;
        EXPECT_NE(reason->find(found), std::string::npos) << *reason;
    }
    EXPECT_EQ(shared_refusal("SELECT 'ünïcödé ✓ 𝄞'", options), std::nullopt);
    options.max_statement_bytes = 0; // no limit
    EXPECT_EQ(shared_refusal("SELECT '" + std::string(200000, 'x') + "'", options), std::nullopt);
}

TEST(FunctionAllowList, ReadsTheListAndTheHostsAdditions) {
    const char* list = "# strings\nlower upper  # case\n\n# maths\nabs\n";
    const drivers::FunctionAllowList folded(list, {"My_Func", "rep.score"}, "", true);
    EXPECT_TRUE(folded.allows("", "LOWER"));
    EXPECT_TRUE(folded.allows("", "abs"));
    EXPECT_TRUE(folded.allows("", "my_func"));
    EXPECT_TRUE(folded.allows("REP", "Score"));
    EXPECT_FALSE(folded.allows("", "strings")); // comments are not names
    EXPECT_FALSE(folded.allows("", "case"));
    EXPECT_FALSE(folded.allows("other", "lower")); // no schema holds the built-ins here
    EXPECT_EQ(folded.size(), 3u);

    const drivers::FunctionAllowList exact(list, {}, "pg_catalog", false);
    EXPECT_TRUE(exact.allows("pg_catalog", "lower"));
    EXPECT_FALSE(exact.allows("", "LOWER")); // a quoted upper-case name is another function
    EXPECT_FALSE(exact.allows("public", "lower"));
}

TEST(FunctionAllowList, EngineListsKeepDangerousBuiltInsOut) {
    const drivers::FunctionAllowList pg(drivers::postgresql_functions, {}, "pg_catalog", false);
    EXPECT_GT(pg.size(), 300u);
    for (const char* name : {"pg_read_file", "pg_sleep", "set_config", "nextval", "lo_export",
                             "pg_advisory_lock", "dblink_exec", "query_to_xml", "setseed"}) {
        EXPECT_FALSE(pg.allows("", name)) << name;
    }
}
