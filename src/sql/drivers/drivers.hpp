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

// Appends a result row, or only counts it once max_rows rows are kept.
inline bool keep_row(const ExecuteOptions& options, const ResultSet& result) {
    return options.max_rows < 0 || static_cast<std::int64_t>(result.rows.size()) < options.max_rows;
}

} // namespace zolviai::sql::drivers
