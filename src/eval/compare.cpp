#include "zolviai/eval/compare.hpp"

#include "zolviai/core/error.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>

namespace zolviai::eval {
namespace {

using sql::Cell;
using sql::CellType;
using sql::Row;

// Cells of one kind compare with each other; kinds are ordered for sorting.
enum class Kind { Null, Number, Text, Bytes };

Kind kind_of(const Cell& c) {
    switch (c.type) {
    case CellType::Null:
        return Kind::Null;
    case CellType::Bool:
    case CellType::Integer:
    case CellType::Float:
    case CellType::Decimal:
        return Kind::Number;
    case CellType::Bytes:
        return Kind::Bytes;
    case CellType::Text:
    case CellType::Date:
    case CellType::Time:
    case CellType::Timestamp:
    case CellType::TimestampTz:
    case CellType::Interval:
    case CellType::Json:
    case CellType::Uuid:
        return Kind::Text;
    }
    return Kind::Text;
}

bool is_whole(const Cell& c) {
    return c.type == CellType::Integer || c.type == CellType::Bool;
}

std::int64_t whole(const Cell& c) {
    return c.type == CellType::Bool ? c.boolean : c.integer;
}

double number(const Cell& c) {
    switch (c.type) {
    case CellType::Bool:
        return c.boolean ? 1.0 : 0.0;
    case CellType::Integer:
        return static_cast<double>(c.integer);
    case CellType::Float:
        return c.real;
    default:
        break;
    }
    // Decimal digits, as the engine sent them ("12.50", "-3", "NaN").
    double v = 0;
    const char* first = c.text.data();
    const char* last = first + c.text.size();
    if (first != last && *first == '+') {
        ++first;
    }
    if (std::from_chars(first, last, v).ec != std::errc()) {
        return std::nan("");
    }
    return v;
}

// The text a temporal value is compared by: what str() gives, which is also how SQLite
// stores it.
std::string text_of(const Cell& c) {
    return c.type == CellType::Text || c.type == CellType::Json || c.type == CellType::Uuid
               ? c.text
               : sql::cell_str(c);
}

bool numbers_equal(const Cell& a, const Cell& b) {
    if (is_whole(a) && is_whole(b)) {
        return whole(a) == whole(b);
    }
    const double x = number(a);
    const double y = number(b);
    if (std::isnan(x) || std::isnan(y)) {
        return std::isnan(x) && std::isnan(y);
    }
    if (x == y) {
        return true;
    }
    return std::fabs(x - y) <= 1e-9 * std::max(std::fabs(x), std::fabs(y));
}

// A strict weak order consistent with cells_equal for all but values a hair apart, which
// sort next to each other; rows that the order puts in different places are matched one by
// one afterwards.
int order(const Cell& a, const Cell& b) {
    const Kind ka = kind_of(a);
    const Kind kb = kind_of(b);
    if (ka != kb) {
        return ka < kb ? -1 : 1;
    }
    switch (ka) {
    case Kind::Null:
        return 0;
    case Kind::Number: {
        const double x = number(a);
        const double y = number(b);
        if (std::isnan(x) || std::isnan(y)) {
            return std::isnan(x) == std::isnan(y) ? 0 : (std::isnan(x) ? 1 : -1);
        }
        return x < y ? -1 : (y < x ? 1 : 0);
    }
    case Kind::Text: {
        const int c = text_of(a).compare(text_of(b));
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case Kind::Bytes: {
        const int c = a.text.compare(b.text);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    }
    return 0;
}

bool row_less(const Row& a, const Row& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (const int c = order(a[i], b[i]); c != 0) {
            return c < 0;
        }
    }
    return a.size() < b.size();
}

std::vector<const Row*> sorted_rows(const std::vector<Row>& rows, bool distinct) {
    std::vector<const Row*> out;
    out.reserve(rows.size());
    for (const Row& r : rows) {
        out.push_back(&r);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Row* a, const Row* b) { return row_less(*a, *b); });
    if (distinct) {
        out.erase(std::unique(out.begin(), out.end(),
                              [](const Row* a, const Row* b) { return rows_equal(*a, *b); }),
                  out.end());
    }
    return out;
}

// Rows that sorting could not line up (numbers a hair apart in a leading column): each
// gold row takes the first unused equal predicted row. Quadratic, so only for results of
// modest size; larger ones stay unmatched.
bool match_one_by_one(const std::vector<const Row*>& gold,
                      const std::vector<const Row*>& predicted) {
    constexpr std::size_t max_rows = 5000;
    if (gold.size() > max_rows) {
        return false;
    }
    std::vector<bool> used(predicted.size(), false);
    for (const Row* g : gold) {
        bool found = false;
        for (std::size_t i = 0; i < predicted.size() && !found; ++i) {
            if (!used[i] && rows_equal(*g, *predicted[i])) {
                used[i] = true;
                found = true;
            }
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

} // namespace

CompareMode parse_compare_mode(std::string_view name) {
    if (name == "set") {
        return CompareMode::Set;
    }
    if (name == "multiset") {
        return CompareMode::Multiset;
    }
    if (name == "ordered") {
        return CompareMode::Ordered;
    }
    throw ValueError("unknown comparison '" + std::string(name) +
                     "': expected set, multiset or ordered");
}

const char* compare_mode_name(CompareMode mode) {
    switch (mode) {
    case CompareMode::Set:
        return "set";
    case CompareMode::Multiset:
        return "multiset";
    case CompareMode::Ordered:
        return "ordered";
    }
    return "set";
}

bool cells_equal(const Cell& a, const Cell& b) {
    const Kind ka = kind_of(a);
    if (ka != kind_of(b)) {
        return false;
    }
    switch (ka) {
    case Kind::Null:
        return true;
    case Kind::Number:
        return numbers_equal(a, b);
    case Kind::Text:
        return text_of(a) == text_of(b);
    case Kind::Bytes:
        return a.text == b.text;
    }
    return false;
}

bool rows_equal(const Row& a, const Row& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!cells_equal(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

bool results_match(const sql::ResultSet& gold, const sql::ResultSet& predicted, CompareMode mode) {
    if (mode == CompareMode::Ordered) {
        return gold.rows.size() == predicted.rows.size() &&
               std::equal(gold.rows.begin(), gold.rows.end(), predicted.rows.begin(), rows_equal);
    }
    const bool distinct = mode == CompareMode::Set;
    const auto g = sorted_rows(gold.rows, distinct);
    const auto p = sorted_rows(predicted.rows, distinct);
    if (g.size() != p.size()) {
        return false;
    }
    if (std::equal(g.begin(), g.end(), p.begin(),
                   [](const Row* a, const Row* b) { return rows_equal(*a, *b); })) {
        return true;
    }
    return match_one_by_one(g, p);
}

} // namespace zolviai::eval
