// Execution accuracy's comparison: when two results count as the same answer.
#include "zolviai/core/error.hpp"
#include "zolviai/eval/compare.hpp"

#include <cmath>
#include <gtest/gtest.h>

using namespace zolviai;
using eval::CompareMode;
using sql::Cell;

namespace {

sql::ResultSet result(std::vector<sql::Row> rows) {
    sql::ResultSet r;
    r.rows = std::move(rows);
    r.total_rows = static_cast<std::int64_t>(r.rows.size());
    return r;
}

Cell i(std::int64_t v) {
    return Cell::of_int(v);
}
Cell f(double v) {
    return Cell::of_float(v);
}
Cell d(const char* v) {
    return Cell::of_decimal(v);
}
Cell t(const char* v) {
    return Cell::of_text(v);
}

} // namespace

TEST(Compare, CellsEqualAcrossNumericFormsNullsAndDates) {
    sql::DateTime ts{2024, 1, 5, 13, 4, 5};
    struct Case {
        const char* what;
        Cell a, b;
        bool equal;
    } cases[] = {
        {"integer and float", i(12), f(12.0), true},
        {"integer and decimal with a scale", i(12), d("12.00"), true},
        {"decimal scales", d("12.5"), d("12.50"), true},
        {"float within 1e-9 relative", f(33.333333333333336), d("33.3333333333333333"), true},
        {"float just outside 1e-9 relative", f(1.0), f(1.0 + 3e-9), false},
        {"large integers compare exactly", i(10000000000), i(10000000001), false},
        {"decimal vs integer off by a cent", d("12.01"), i(12), false},
        {"boolean is 1 or 0", Cell::of_bool(true), i(1), true},
        {"boolean false is not 1", Cell::of_bool(false), i(1), false},
        {"NULL equals NULL", Cell::null(), Cell::null(), true},
        {"NULL is not zero", Cell::null(), i(0), false},
        {"NULL is not empty text", Cell::null(), t(""), false},
        {"text is not a number", t("12"), i(12), false},
        {"texts byte for byte", t("London"), t("london"), false},
        {"date and its text (SQLite keeps dates as text)", Cell::of_date(2024, 1, 5),
         t("2024-01-05"), true},
        {"date and another day's text", Cell::of_date(2024, 1, 5), t("2024-01-06"), false},
        {"timestamp and its text", Cell::of_timestamp(ts), t("2024-01-05 13:04:05"), true},
        {"NaN equals NaN", d("NaN"), f(std::nan("")), true},
        {"bytes are not text", Cell::of_bytes("ab"), t("ab"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(eval::cells_equal(c.a, c.b), c.equal) << c.what;
        EXPECT_EQ(eval::cells_equal(c.b, c.a), c.equal) << c.what << " (swapped)";
    }
}

TEST(Compare, ModesTreatOrderAndRepeatsAsTheirNamesSay) {
    const auto ab = result({{t("a"), i(1)}, {t("b"), i(2)}});
    const auto ba = result({{t("b"), i(2)}, {t("a"), i(1)}});
    const auto aab = result({{t("a"), i(1)}, {t("a"), i(1)}, {t("b"), i(2)}});
    const auto abb = result({{t("a"), i(1)}, {t("b"), i(2)}, {t("b"), i(2)}});
    struct Case {
        const char* what;
        const sql::ResultSet &gold, &predicted;
        bool set, multiset, ordered;
    } cases[] = {
        {"same rows, same order", ab, ab, true, true, true},
        {"same rows, other order", ab, ba, true, true, false},
        {"a repeated row", ab, aab, true, false, false},
        {"the same number of rows, repeated differently", aab, abb, true, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(eval::results_match(c.gold, c.predicted, CompareMode::Set), c.set) << c.what;
        EXPECT_EQ(eval::results_match(c.gold, c.predicted, CompareMode::Multiset), c.multiset)
            << c.what;
        EXPECT_EQ(eval::results_match(c.gold, c.predicted, CompareMode::Ordered), c.ordered)
            << c.what;
    }
}

TEST(Compare, ColumnCountMismatchIsWrongButTwoEmptyResultsAgree) {
    const auto one = result({{t("Laura")}});
    const auto two = result({{t("Laura"), t("Callahan")}});
    for (auto mode : {CompareMode::Set, CompareMode::Multiset, CompareMode::Ordered}) {
        EXPECT_FALSE(eval::results_match(one, two, mode)) << eval::compare_mode_name(mode);
        EXPECT_FALSE(eval::results_match(two, one, mode)) << eval::compare_mode_name(mode);
        // Rows are compared, not column lists: no rows on either side is the same answer.
        EXPECT_TRUE(eval::results_match(result({}), result({}), mode));
        EXPECT_FALSE(eval::results_match(one, result({}), mode));
    }
}

TEST(Compare, NumbersAHairApartInALeadingColumnStillMatchAsSets) {
    // Sorting puts these rows in different orders on the two sides; the rows still pair up.
    const auto gold = result({{f(1.0), t("b")}, {f(1.0), t("a")}});
    const auto predicted = result({{f(1.0 + 1e-12), t("a")}, {f(1.0 - 1e-12), t("b")}});
    EXPECT_TRUE(eval::results_match(gold, predicted, CompareMode::Multiset));
    EXPECT_TRUE(eval::results_match(gold, predicted, CompareMode::Set));
    EXPECT_FALSE(eval::results_match(gold, predicted, CompareMode::Ordered));
    // Mixed forms in sets: 2, 2.0 and Decimal('2.00') are one distinct value.
    EXPECT_TRUE(
        eval::results_match(result({{i(2)}, {f(2.0)}}), result({{d("2.00")}}), CompareMode::Set));
    EXPECT_FALSE(eval::results_match(result({{i(2)}, {f(2.0)}}), result({{d("2.00")}}),
                                     CompareMode::Multiset));
}

TEST(Compare, ModeNamesParseAndUnknownOnesAreNamed) {
    for (auto mode : {CompareMode::Set, CompareMode::Multiset, CompareMode::Ordered}) {
        EXPECT_EQ(eval::parse_compare_mode(eval::compare_mode_name(mode)), mode);
    }
    try {
        eval::parse_compare_mode("bag");
        FAIL() << "an unknown mode was accepted";
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("'bag'"), std::string::npos);
    }
}
