#pragma once

#include "zolviai/sql/connection.hpp"

#include <string>
#include <string_view>

// Whether a predicted query's result is the gold query's result: execution accuracy.
namespace zolviai::eval {

// How two results are compared. Set (the default, as the public benchmarks do): the same
// distinct rows, in any order and any number of times. Multiset: the same rows the same
// number of times. Ordered: the same rows in the same order.
enum class CompareMode { Set, Multiset, Ordered };

// "set", "multiset" or "ordered"; anything else is a ValueError naming it.
CompareMode parse_compare_mode(std::string_view name);
const char* compare_mode_name(CompareMode mode);

// Two cells hold the same value. Numbers compare by value across integer, decimal, float
// and boolean forms: two integers exactly, any other pair within 1e-9 of the larger
// magnitude. NULL equals NULL. A date, time or timestamp equals a text that spells it the
// way Python's str() does (SQLite keeps dates as text). Otherwise the kinds must agree and
// the values be equal (texts byte for byte).
bool cells_equal(const sql::Cell& a, const sql::Cell& b);

// Two rows hold equal cells, position by position; rows of different widths never do.
// Column names are not compared: the answer is the values.
bool rows_equal(const sql::Row& a, const sql::Row& b);

// The rows of two results compared in the given mode.
bool results_match(const sql::ResultSet& gold, const sql::ResultSet& predicted, CompareMode mode);

} // namespace zolviai::eval
