#pragma once

#include "zolviai/dbtool/host_connection.hpp"
#include "zolviai/sql/connection.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// How the host tools hand rows and counts to the host. Each engine keeps the habits of the
// Python client hosts know for it: MySQL's hands out rows as maps and a row count from
// execute, PostgreSQL's hands out tuples and nothing from execute.
namespace zolviai::dbtool {

// The form of a new cursor's rows when the host does not choose, and of the rows
// execute_mysql_query and execute_pgdb_query hand back: maps on MySQL, tuples on PostgreSQL.
RowForm default_row_form(sql::Engine engine);

// What a cursor's execute hands back: the row count of the statement on MySQL, nothing on
// PostgreSQL.
std::optional<std::int64_t> execute_result(const Cursor& cursor);

// The engine's name as a connection reports it to the host: "MySQL" or "PostgreSQL".
const char* engine_name(sql::Engine engine);

// Keys of map rows: the column names, except that a name seen before gets its table in front
// ("orders.id"), as the MySQL clients' map cursors do, so that no value is lost to a repeat.
std::vector<std::string> map_row_keys(const std::vector<sql::Column>& columns);

} // namespace zolviai::dbtool
