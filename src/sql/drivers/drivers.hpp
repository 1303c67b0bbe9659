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

// Trims trailing line breaks and spaces of a client library message.
std::string trim_message(std::string_view message);

// Collects the rows of one result as a driver reads them. Every row is counted in
// total_rows; at most options.max_rows are kept, and none once the kept cells hold
// options.max_result_bytes bytes (when bound_bytes). Rows past the budget are counted and
// dropped, or, with options.stop_after_max_rows, end the reading.
//
//     RowCollector rows(out, options);
//     while (fetch a row) {
//         const RowCollector::Next next = rows.next();
//         if (next == RowCollector::Next::Stop) break;
//         if (next == RowCollector::Next::Skip) continue;
//         rows.add(build the row);
//     }
class RowCollector {
public:
    enum class Next {
        Keep, // build the row and add() it
        Skip, // drop it and read on
        Stop, // drop it and read no more rows
    };

    RowCollector(ResultSet& out, const ExecuteOptions& options, bool bound_bytes = true)
        : out_(out), options_(options), bound_bytes_(bound_bytes) {}

    ResultSet& result() { return out_; }

    // Counts the row just read and says what to do with it.
    Next next() {
        ++out_.total_rows;
        if (fits()) {
            return Next::Keep;
        }
        return options_.stop_after_max_rows ? Next::Stop : Next::Skip;
    }

    void add(Row row) {
        for (const Cell& c : row) {
            bytes_ += sizeof(Cell) + c.text.size();
        }
        out_.rows.push_back(std::move(row));
    }

private:
    bool fits() const {
        if (options_.max_rows >= 0 &&
            static_cast<std::int64_t>(out_.rows.size()) >= options_.max_rows) {
            return false;
        }
        return !bound_bytes_ || options_.max_result_bytes == 0 ||
               bytes_ < options_.max_result_bytes;
    }

    ResultSet& out_;
    const ExecuteOptions& options_;
    bool bound_bytes_;
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
