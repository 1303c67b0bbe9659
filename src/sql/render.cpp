#include "zolviai/sql/render.hpp"

#include "zolviai/core/python_repr.hpp"

#include <algorithm>

namespace zolviai::sql {

namespace {

// Appends one row as a tuple, or as a dict keyed by column name. Like a Python dict built
// from the row, a repeated column name keeps its first position and its last value.
void append_row(std::string& out, const ResultSet& result, const Row& row, bool include_columns,
                const std::vector<std::size_t>& value_of, std::size_t max_text) {
    if (!include_columns) {
        out.push_back('(');
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i != 0) {
                out += ", ";
            }
            append_cell_repr(out, row[i], max_text);
        }
        if (row.size() == 1) {
            out.push_back(',');
        }
        out.push_back(')');
        return;
    }
    out.push_back('{');
    bool first = true;
    for (std::size_t i = 0; i < row.size() && i < result.columns.size(); ++i) {
        if (value_of[i] == static_cast<std::size_t>(-1)) {
            continue; // a repeated name: shown at its first position
        }
        if (!first) {
            out += ", ";
        }
        first = false;
        python::append_repr_text(out, result.columns[i].name);
        out += ": ";
        append_cell_repr(out, row[value_of[i]], max_text);
    }
    out.push_back('}');
}

} // namespace

std::string render_rows(const ResultSet& result, bool include_columns, const RenderLimits& limits) {
    if (result.rows.empty()) {
        return "";
    }
    // For each column position: which value it shows (the last of its name), or -1 when an
    // earlier column has the same name.
    std::vector<std::size_t> value_of(result.columns.size());
    for (std::size_t i = 0; i < result.columns.size(); ++i) {
        value_of[i] = i;
        for (std::size_t j = 0; j < i; ++j) {
            if (result.columns[j].name == result.columns[i].name) {
                value_of[i] = static_cast<std::size_t>(-1);
                break;
            }
        }
        if (value_of[i] == i) {
            for (std::size_t j = result.columns.size(); j-- > i + 1;) {
                if (result.columns[j].name == result.columns[i].name) {
                    value_of[i] = j;
                    break;
                }
            }
        }
    }

    const std::int64_t total = std::max<std::int64_t>(result.total_rows, result.rows.size());
    const std::size_t row_limit = limits.max_rows < 0
                                      ? result.rows.size()
                                      : std::min<std::size_t>(result.rows.size(), limits.max_rows);
    std::string out;
    const std::size_t guess = row_limit * (result.columns.size() * 12 + 4) + 64;
    out.reserve(limits.max_chars == 0 ? guess : std::min(limits.max_chars + 64, guess));
    out.push_back('[');
    std::size_t shown = 0;
    for (; shown < row_limit; ++shown) {
        const std::size_t mark = out.size();
        if (shown != 0) {
            out += ", ";
        }
        append_row(out, result, result.rows[shown], include_columns, value_of,
                   limits.max_text_chars);
        // +1 for the closing bracket; the first row is always shown.
        if (shown != 0 && limits.max_chars != 0 && out.size() + 1 > limits.max_chars) {
            out.resize(mark);
            break;
        }
    }
    out.push_back(']');
    if (static_cast<std::int64_t>(shown) < total) {
        out += "  # result truncated: showing " + std::to_string(shown) + " of " +
               std::to_string(total) + " rows";
    }
    return out;
}

} // namespace zolviai::sql
