#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/sql/connection.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace zolviai::sql {

// The cell as a JSON value for API answers, reports and `--format json`: numbers JSON holds
// exactly (integers, finite floats) and booleans as themselves; JSON cells as the value they
// hold (their text when it does not parse within the limits of outside input); bytes as
// hexadecimal digits; everything else, decimals included (a double would change their
// digits), as the text cell_str gives.
Value cell_json(const Cell& cell);

struct RenderLimits {
    std::int64_t max_rows = 1000;     // rows shown
    std::size_t max_chars = 100000;   // characters of the rendered list, note excluded
    std::size_t max_text_chars = 300; // a longer text value is cut and ends in "..."
};

// Renders rows as the Python literal a Python client's result would print as:
// [(1, 'AC/DC')] or, with include_columns, [{'artist_id': 1, 'name': 'AC/DC'}]. No rows give
// "". When rows are left out (limits, or total_rows above the rows given) the list is closed
// and a comment follows on the same line, so the text stays a valid Python expression:
//   [(1,), (2,)]  # result truncated: showing 2 of 5234 rows
std::string render_rows(const ResultSet& result, bool include_columns,
                        const RenderLimits& limits = {});

} // namespace zolviai::sql
