// What records add up to: accuracy with its interval, per group, and the spread of latency
// and cost.
#include "zolviai/eval/report.hpp"

#include <gtest/gtest.h>

using namespace zolviai;

TEST(Report, WilsonIntervalsMatchTheTextbookValues) {
    struct Case {
        std::size_t k, n;
        double lo, hi;
    } cases[] = {
        // Reference values: Wilson score interval, z = 1.96 (e.g. statsmodels' "wilson").
        {3, 7, 0.1582, 0.7495},
        {0, 10, 0.0, 0.2775},
        {10, 10, 0.7225, 1.0},
        {81, 100, 0.7222, 0.8749},
    };
    for (const auto& c : cases) {
        const auto [lo, hi] = eval::wilson_interval(c.k, c.n);
        EXPECT_NEAR(lo, c.lo, 5e-4) << c.k << "/" << c.n;
        EXPECT_NEAR(hi, c.hi, 5e-4) << c.k << "/" << c.n;
    }
    EXPECT_EQ(eval::wilson_interval(0, 0), std::make_pair(0.0, 0.0));
}

TEST(Report, SummaryGroupsByDifficultyAndTagAndLeavesBrokenQuestionsOut) {
    auto rec = [](const char* outcome, const char* difficulty, Value tags, double latency,
                  double cost) {
        return Value{{"id", "x"},         {"outcome", outcome},   {"difficulty", difficulty},
                     {"tags", tags},      {"latency_s", latency}, {"cost", cost},
                     {"model_calls", 3},  {"total_tokens", 45},   {"corrections", 1},
                     {"rewritten", false}};
    };
    const std::vector<Value> records = {
        rec("correct", "easy", {"join"}, 1.0, 0.01),
        rec("correct", "hard", {"join", "window"}, 2.0, 0.02),
        rec("wrong_result", "hard", {"window"}, 3.0, 0.03),
        rec("gold_error", "hard", {"join"}, 0.0, 0.0),
        rec("timeout", "medium", Value::array(), 4.0, 0.04),
    };
    const Value s = eval::summarize(records, {{"questions", 6}});
    EXPECT_EQ(s["questions"], 6) << "what the run was given is kept";
    EXPECT_EQ(s["answered"], 5);
    EXPECT_EQ(s["scored"], 4);
    EXPECT_DOUBLE_EQ(s["accuracy"].get<double>(), 0.5);
    EXPECT_EQ(s["outcomes"]["gold_error"], 1);
    EXPECT_EQ(s["outcomes"]["sql_error"], 0) << "every outcome is listed";
    // Difficulties in their natural order, whatever order the records came in.
    std::vector<std::string> order;
    for (const auto& [d, _] : s["by_difficulty"].items()) {
        order.push_back(d);
    }
    EXPECT_EQ(order, std::vector<std::string>({"easy", "medium", "hard"}));
    EXPECT_EQ(s["by_difficulty"]["hard"]["questions"], 3);
    EXPECT_EQ(s["by_difficulty"]["hard"]["scored"], 2);
    EXPECT_DOUBLE_EQ(s["by_tag"]["join"]["accuracy"].get<double>(), 1.0);
    EXPECT_DOUBLE_EQ(s["by_tag"]["window"]["accuracy"].get<double>(), 0.5);
    EXPECT_EQ(s["model_calls"], 15);
    EXPECT_NEAR(s["cost"].get<double>(), 0.10, 1e-12);
    // Latency over the scored questions only: 1, 2, 3, 4.
    EXPECT_DOUBLE_EQ(s["latency_s"]["p50"].get<double>(), 2.0);
    EXPECT_DOUBLE_EQ(s["latency_s"]["p90"].get<double>(), 4.0);
    EXPECT_DOUBLE_EQ(s["latency_s"]["mean"].get<double>(), 2.5);
    const std::string line = eval::headline(s);
    EXPECT_NE(line.find("50.0% (2 of 4"), std::string::npos) << line;
    EXPECT_NE(line.find("1 wrong_result, 1 timeout, 1 gold_error"), std::string::npos) << line;
    EXPECT_NE(line.find("partial: 5 of 6"), std::string::npos) << line;
}

TEST(Report, PagesEscapeWhatTheModelWrote) {
    const Value r = {{"id", "q<1>"},
                     {"outcome", "wrong_result"},
                     {"question", "a & b?"},
                     {"gold_sql", "SELECT 1"},
                     {"predicted_sql", "SELECT '<script>alert(1)</script>'"},
                     {"predicted_rows", {{"<b>"}}},
                     {"predicted_columns", {"x"}}};
    const Value s = eval::summarize({r}, Value::object());
    const std::string html = eval::render_html(s, {r});
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(html.find("q&lt;1&gt;: a &amp; b?"), std::string::npos);
    EXPECT_NE(html.find("<td>&lt;b&gt;</td>"), std::string::npos);
}
