#pragma once

#include "zolviai/sql/connection.hpp"

#include <string>
#include <string_view>

// What zolvi itself prints. It writes to the process's standard output and error directly,
// not through the library's console sink, so that a command can route or silence the
// library's own printed lines without silencing its results.
namespace zolviai::cli {

void out(std::string_view text);
void out_line(std::string_view text);
void err_line(std::string_view text);
void err(std::string_view text);

// Whether standard error is a terminal (progress is redrawn in place only there).
bool stderr_is_terminal();

enum class RowFormat { Python, Table, Csv, Json };

// Parses "python", "table", "csv" or "json".
RowFormat parse_row_format(const std::string& name);

// Rows in one of the formats: the Python literal a Python client's rows print as; an aligned
// table (cells cut at 40 characters); CSV with a header row (RFC 4180: CRLF after each
// record, quoting; NULL as an empty field, empty text as ""); or a JSON object {"columns", "rows",
// "row_count", "truncated"}.
std::string format_rows(const sql::ResultSet& rows, RowFormat format);

// Writes every row of the result to standard output, a block at a time: the formats above
// (Python: rows as maps with rows_as_maps), the table without its note on rows left out
// (the caller says that on standard error). JSON rows come one to a line.
void write_rows(const sql::ResultSet& rows, RowFormat format, bool rows_as_maps = false);

} // namespace zolviai::cli
