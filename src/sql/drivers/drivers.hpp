#pragma once

#include "zolviai/sql/connection.hpp"

#include <memory>
#include <string>
#include <string_view>

// One factory per engine; connect() picks one from the settings.
namespace zolviai::sql::drivers {

std::unique_ptr<Connection> open_postgresql(const ConnectSettings& settings);
std::unique_ptr<Connection> open_mariadb(const ConnectSettings& settings);
std::unique_ptr<Connection> open_sqlite(const ConnectSettings& settings);
std::unique_ptr<Connection> open_odbc(const ConnectSettings& settings);

// Removes the password from a client library's message (a defence: the libraries do not
// normally echo it).
std::string scrub(std::string message, const std::string& password);

// Trims trailing line breaks and spaces of a client library message.
std::string trim_message(std::string message);

// Appends a result row, or only counts it once max_rows rows are kept (plain reads without
// byte bounds; guarded reads use RowBudget).
inline bool keep_row(const ExecuteOptions& options, const ResultSet& result) {
    return options.max_rows < 0 || static_cast<std::int64_t>(result.rows.size()) < options.max_rows;
}

// Which rows of a result are kept: at most options.max_rows rows, and none once the kept
// cells hold options.max_result_bytes bytes. Rows past the budget are counted, not kept.
class RowBudget {
public:
    explicit RowBudget(const ExecuteOptions& options) : options_(options) {}

    // Whether the next row may be kept.
    bool keep(const ResultSet& result) const {
        if (options_.max_rows >= 0 &&
            static_cast<std::int64_t>(result.rows.size()) >= options_.max_rows) {
            return false;
        }
        return options_.max_result_bytes == 0 || bytes_ < options_.max_result_bytes;
    }

    // Counts the bytes of a kept row.
    void kept(const Row& row) {
        for (const Cell& c : row) {
            bytes_ += sizeof(Cell) + c.text.size();
        }
    }

private:
    const ExecuteOptions& options_;
    std::size_t bytes_ = 0;
};

// The first options.max_cell_bytes bytes of a value read from the engine (on a character
// boundary when utf8), followed by "..." when it was longer; the whole value when there is no
// limit. Sets cut accordingly.
std::string bounded_value(std::string_view value, const ExecuteOptions& options, bool utf8,
                          bool& cut);

// A cell for a text value read from the engine: cut as bounded_value cuts it, and a
// DatabaseError naming the column when the text is not valid UTF-8.
Cell bounded_text_cell(std::string_view value, const ExecuteOptions& options,
                       const std::string& column);

} // namespace zolviai::sql::drivers
