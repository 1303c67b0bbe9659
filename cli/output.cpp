#include "output.hpp"

#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/sql/render.hpp"

#include <unistd.h>

namespace zolviai::cli {
namespace {

std::size_t width_of(const std::string& s) {
    return utf8_length(s);
}

std::string cut(const std::string& s, std::size_t max) {
    return utf8_shorten(s, max);
}

std::string cell_text(const sql::Cell& cell) {
    return cell.type == sql::CellType::Null ? "NULL" : sql::cell_str(cell);
}

bool rows_left_out(const sql::ResultSet& rs) {
    return rs.total_rows > static_cast<std::int64_t>(rs.rows.size());
}

std::string as_table(const sql::ResultSet& rs, bool note = true) {
    std::vector<std::vector<std::string>> cells;
    std::vector<std::size_t> widths;
    std::vector<std::string> header;
    for (const auto& column : rs.columns) {
        header.push_back(cut(column.name, 40));
        widths.push_back(width_of(header.back()));
    }
    for (const auto& row : rs.rows) {
        std::vector<std::string> line;
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            line.push_back(cut(cell_text(row[i]), 40));
            widths[i] = std::max(widths[i], width_of(line.back()));
        }
        cells.push_back(std::move(line));
    }
    auto format_line = [&](const std::vector<std::string>& line) {
        std::string out;
        for (std::size_t i = 0; i < line.size(); ++i) {
            out += (i ? " | " : "") + line[i] + std::string(widths[i] - width_of(line[i]), ' ');
        }
        return out + "\n";
    };
    std::string out = format_line(header);
    for (std::size_t i = 0; i < widths.size(); ++i) {
        out += (i ? "-+-" : "") + std::string(widths[i], '-');
    }
    out += "\n";
    for (const auto& line : cells) {
        out += format_line(line);
    }
    if (note && rows_left_out(rs)) {
        out += "(" + std::to_string(rs.rows.size()) + " of " + std::to_string(rs.total_rows) +
               " rows)\n";
    }
    return out;
}

// RFC 4180: a field with a comma, a double quote or a line break is quoted, its quotes
// doubled. Empty text is quoted too ("") so that it reads apart from NULL, which is an empty
// field.
std::string csv_field(const std::string& v) {
    if (!v.empty() && v.find_first_of(",\"\r\n") == std::string::npos) {
        return v;
    }
    std::string out = "\"";
    for (char c : v) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

std::string csv_header(const sql::ResultSet& rs) {
    std::string out;
    for (std::size_t i = 0; i < rs.columns.size(); ++i) {
        out += (i ? "," : "") + csv_field(rs.columns[i].name);
    }
    return out + "\r\n";
}

// Records end in CRLF, as RFC 4180 has them.
void append_csv_row(std::string& out, const sql::Row& row) {
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i) {
            out += ',';
        }
        if (row[i].type != sql::CellType::Null) {
            out += csv_field(cell_text(row[i]));
        }
    }
    out += "\r\n";
}

std::string as_csv(const sql::ResultSet& rs) {
    std::string out = csv_header(rs);
    for (const auto& row : rs.rows) {
        append_csv_row(out, row);
    }
    return out;
}

std::string as_json(const sql::ResultSet& rs) {
    Value out = Value::object();
    out["columns"] = Value::array();
    for (const auto& column : rs.columns) {
        out["columns"].push_back(column.name);
    }
    out["rows"] = Value::array();
    for (const auto& row : rs.rows) {
        Value line = Value::array();
        for (const auto& cell : row) {
            line.push_back(sql::cell_json(cell));
        }
        out["rows"].push_back(std::move(line));
    }
    out["row_count"] = std::max<std::int64_t>(rs.total_rows, rs.rows.size());
    out["truncated"] = rows_left_out(rs);
    return out.dump(2, ' ', false, Value::error_handler_t::replace) + "\n";
}

std::string json_row(const sql::Row& row) {
    Value line = Value::array();
    for (const auto& cell : row) {
        line.push_back(sql::cell_json(cell));
    }
    return line.dump(-1, ' ', false, Value::error_handler_t::replace);
}

// Collects output and writes it to standard output a block at a time.
class BlockWriter {
public:
    ~BlockWriter() { flush(); }
    std::string& buffer() { return buffer_; }
    void maybe_flush() {
        if (buffer_.size() >= block) {
            flush();
        }
    }
    void flush() {
        out(buffer_);
        buffer_.clear();
    }

private:
    static constexpr std::size_t block = 64 * 1024;
    std::string buffer_;
};

} // namespace

void write_rows(const sql::ResultSet& rs, RowFormat format, bool rows_as_maps) {
    BlockWriter w;
    std::string& b = w.buffer();
    switch (format) {
    case RowFormat::Python: {
        if (rs.rows.empty()) {
            b += "(no rows)\n";
            return;
        }
        // Each row as the one-row literal renders it, without its brackets.
        sql::ResultSet one;
        one.columns = rs.columns;
        one.rows.resize(1);
        sql::RenderLimits all;
        all.max_rows = -1;
        all.max_chars = 0;
        all.max_text_chars = 0;
        b += '[';
        for (std::size_t i = 0; i < rs.rows.size(); ++i) {
            one.rows[0] = rs.rows[i];
            one.total_rows = 1;
            const std::string text = sql::render_rows(one, rows_as_maps, all);
            b += (i ? ", " : "") + text.substr(1, text.size() - 2);
            w.maybe_flush();
        }
        b += "]\n";
        return;
    }
    case RowFormat::Table:
        b += as_table(rs, false);
        return;
    case RowFormat::Csv:
        b += csv_header(rs);
        for (const auto& row : rs.rows) {
            append_csv_row(b, row);
            w.maybe_flush();
        }
        return;
    case RowFormat::Json: {
        Value columns = Value::array();
        for (const auto& column : rs.columns) {
            columns.push_back(column.name);
        }
        b += "{\"columns\": " + columns.dump(-1, ' ', false, Value::error_handler_t::replace) +
             ",\n \"rows\": [";
        for (std::size_t i = 0; i < rs.rows.size(); ++i) {
            b += (i ? ",\n  " : "\n  ") + json_row(rs.rows[i]);
            w.maybe_flush();
        }
        b += rs.rows.empty() ? "]" : "\n ]";
        b += ",\n \"row_count\": " +
             std::to_string(std::max<std::int64_t>(rs.total_rows, rs.rows.size())) +
             ",\n \"truncated\": " + (rows_left_out(rs) ? "true" : "false") + "}\n";
        return;
    }
    }
}

void out(std::string_view text) {
    write_all(STDOUT_FILENO, text);
}

void out_line(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    write_all(STDOUT_FILENO, line);
}

void err_line(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    write_all(STDERR_FILENO, line);
}

void err(std::string_view text) {
    write_all(STDERR_FILENO, text);
}

bool stderr_is_terminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

RowFormat parse_row_format(const std::string& name) {
    if (name == "python") {
        return RowFormat::Python;
    }
    if (name == "table") {
        return RowFormat::Table;
    }
    if (name == "csv") {
        return RowFormat::Csv;
    }
    if (name == "json") {
        return RowFormat::Json;
    }
    throw ValueError("unknown format '" + name + "': use python, table, csv or json");
}

std::string format_rows(const sql::ResultSet& rows, RowFormat format) {
    switch (format) {
    case RowFormat::Python: {
        const std::string text = sql::render_rows(rows, false);
        return (text.empty() ? "(no rows)" : text) + "\n";
    }
    case RowFormat::Table:
        return as_table(rows);
    case RowFormat::Csv:
        return as_csv(rows);
    case RowFormat::Json:
        return as_json(rows);
    }
    return {};
}

} // namespace zolviai::cli
