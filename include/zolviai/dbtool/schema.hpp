#pragma once

#include "zolviai/core/value.hpp"

#include <optional>

// Descriptions of the tables of the configured database: a map from table name to the list
// of its columns, each {"name": ..., "type": ...}, tables and columns in the server's order.
// Each call opens its own connection with the current settings and closes it again.
namespace zolviai::dbtool {

// The PostgreSQL catalog statements, as sent (the table name is bound to %s).
extern const char* const pg_tables_query;
extern const char* const pg_columns_query;

// SHOW TABLES, then SHOW COLUMNS FROM `table` for each. std::nullopt when no connection
// could be opened (the factory printed why). A failure part way prints "An error occurred:
// <error>" and returns what was read until then.
std::optional<Value> get_mysql_database_schema();

// The tables of schema public (views included) and their columns from the information
// schema. As above; a connection failure other than the server's refusal counts as a
// failure part way (an empty map).
std::optional<Value> get_pgdb_schema();

} // namespace zolviai::dbtool
