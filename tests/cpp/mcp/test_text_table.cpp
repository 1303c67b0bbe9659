// The text rendering of rows that clients reading only text get: what is cut, escaped and said.
#include "zolviai/mcp/text_table.hpp"

#include <gtest/gtest.h>

using namespace zolviai;

namespace {

sql::ResultSet numbers(int rows, std::int64_t total = -1) {
    sql::ResultSet rs;
    rs.columns = {{"n", "INTEGER"}, {"label", "TEXT"}};
    for (int i = 1; i <= rows; ++i) {
        rs.rows.push_back({sql::Cell::of_int(i), sql::Cell::of_text("row " + std::to_string(i))});
    }
    rs.total_rows = total < 0 ? rows : total;
    return rs;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = std::min(text.find('\n', start), text.size());
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

TEST(TextTable, RowsAreCappedAndTheCutIsCountedAgainstEveryRowTheStatementGave) {
    struct Case {
        int rows;
        std::int64_t total;
        mcp::TextTableLimits limits;
        std::size_t shown;
        std::string last;
    };
    const std::vector<Case> cases = {
        {3, 3, {}, 3, "3 | row 3"},
        {150, 150, {}, 100, "(100 of 150 rows shown; 50 cut)"},
        // Rows the database read but did not keep count too.
        {5, 3503, {}, 5, "(5 of 3503 rows shown; 3498 cut)"},
        {10, 10, {4, 16 * 1024, 60}, 4, "(4 of 10 rows shown; 6 cut)"},
        // The character cap ends the table at a whole row.
        {100, 100, {100, 60, 60}, 5, "(5 of 100 rows shown; 95 cut)"},
    };
    for (const auto& c : cases) {
        const auto got = lines(mcp::text_table(numbers(c.rows, c.total), c.limits));
        EXPECT_EQ(got.front(), "n | label");
        const bool cut = c.shown < static_cast<std::size_t>(c.total);
        EXPECT_EQ(got.size(), 1 + c.shown + (cut ? 1 : 0)) << c.rows << " rows";
        EXPECT_EQ(got.back(), c.last);
    }
}

TEST(TextTable, CellsStayOnOneLineAndCannotForgeAColumn) {
    sql::ResultSet rs;
    rs.columns = {{"a|b", "TEXT"}, {"note", "TEXT"}};
    rs.rows = {{sql::Cell::null(), sql::Cell::of_text("line one\nline two | not a column")},
               {sql::Cell::of_text(std::string(100, 'x')),
                sql::Cell::of_text("ü" + std::string(70, 'y'))}};
    rs.total_rows = 2;
    const auto got = lines(mcp::text_table(rs));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], "a\\|b | note");
    EXPECT_EQ(got[1], "NULL | line one\\nline two \\| not a column");
    // Cut at 60 characters (not bytes: the two-byte letter stays whole).
    EXPECT_EQ(got[2], std::string(60, 'x') + "... | ü" + std::string(59, 'y') + "...");
}

TEST(TextTable, AnEmptyResultSaysSo) {
    EXPECT_EQ(mcp::text_table(sql::ResultSet{}), "(no rows)");
    EXPECT_EQ(mcp::text_table(numbers(0)), "n | label\n(no rows)");
}

} // namespace
