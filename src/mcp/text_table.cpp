#include "zolviai/mcp/text_table.hpp"

#include "zolviai/core/text.hpp"

#include <algorithm>

namespace zolviai::mcp {
namespace {

// One cell on one line: NULL spelled out, line breaks and the separator escaped, cut.
std::string cell_text(const sql::Cell& cell, std::size_t most) {
    if (cell.type == sql::CellType::Null) {
        return "NULL";
    }
    const std::string raw = sql::cell_str(cell);
    std::string out;
    out.reserve(std::min(raw.size(), most + 8));
    const std::size_t cut = utf8_offset(raw, most);
    for (std::size_t i = 0; i < cut; ++i) {
        const char c = raw[i];
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '|') {
            out += "\\|";
        } else {
            out += c;
        }
    }
    if (cut < raw.size()) {
        out += "...";
    }
    return out;
}

} // namespace

std::string text_table(const sql::ResultSet& result, const TextTableLimits& limits) {
    const auto total =
        std::max<std::int64_t>(result.total_rows, static_cast<std::int64_t>(result.rows.size()));
    if (result.columns.empty() && result.rows.empty()) {
        return "(no rows)";
    }
    std::string out;
    for (std::size_t c = 0; c < result.columns.size(); ++c) {
        out += (c == 0 ? "" : " | ") +
               cell_text(sql::Cell::of_text(result.columns[c].name), limits.cell_chars);
    }
    out += '\n';
    std::size_t shown = 0;
    for (const sql::Row& row : result.rows) {
        if (shown == limits.rows) {
            break;
        }
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += (c == 0 ? "" : " | ") + cell_text(row[c], limits.cell_chars);
        }
        if (out.size() + line.size() + 1 > limits.chars && shown > 0) {
            break;
        }
        out += line;
        out += '\n';
        ++shown;
    }
    if (total == 0) {
        return out + "(no rows)";
    }
    if (static_cast<std::int64_t>(shown) < total) {
        out += "(" + std::to_string(shown) + " of " + std::to_string(total) + " rows shown; " +
               std::to_string(total - static_cast<std::int64_t>(shown)) + " cut)";
    } else {
        out.pop_back();
    }
    return out;
}

} // namespace zolviai::mcp
