#pragma once

#include "zolviai/sql/connection.hpp"

#include <cstddef>
#include <string>

// Rows as text for clients (and their models) that read only a tool's text: one header line,
// one line per row, cells separated by " | ", long cells cut. Far fewer tokens than the same
// rows as JSON objects, and still unambiguous for a model.
namespace zolviai::mcp {

struct TextTableLimits {
    std::size_t rows = 100;        // rows shown at most
    std::size_t chars = 16 * 1024; // characters of the whole table at most
    std::size_t cell_chars = 60;   // characters of one cell at most (then "...")
};

// The table, followed by a line "(N of M rows shown)" when rows were left out, here or
// before (total_rows counts all the statement produced); "(no rows)" for an empty result.
std::string text_table(const sql::ResultSet& result, const TextTableLimits& limits = {});

} // namespace zolviai::mcp
