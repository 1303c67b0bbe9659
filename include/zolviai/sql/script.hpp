#pragma once

#include "zolviai/sql/connection.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace zolviai::sql {

// Splits a SQL script into statements: a statement ends with a semicolon at the end of a
// line; lines that start with "--" are comments.
std::vector<std::string> split_script(std::string_view script);

// Runs every statement of a script in order, in one transaction.
void run_script(Connection& connection, std::string_view script);

// Creates the bundled sample database (examples/sample_db.sql) in a SQLite file, replacing
// any file at the path.
void create_sample_sqlite(const std::string& script_path, const std::string& db_path);

} // namespace zolviai::sql
