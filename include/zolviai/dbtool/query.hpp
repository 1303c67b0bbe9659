#pragma once

#include "zolviai/sql/connection.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

// One statement from the host, run against the configured database on a connection of its
// own. Failures never reach the caller: they are printed as one line, "An error occurred
// while executing the query: <error>" (or the connection factory's own line), and the
// result is nullptr.
namespace zolviai::dbtool {

// Runs the statement and hands back all its rows (the host sees them as maps keyed by
// column name); a statement without rows gives an empty result. Nothing is committed:
// the connection runs with autocommit off and closes without a commit.
std::unique_ptr<sql::TextRows> execute_mysql_query(const std::string& sql_query);

// Runs the statement in a transaction. A statement that starts with SELECT (after white
// space, in any case) is a query: its rows are returned and nothing is committed. Any
// other statement (WITH, a parenthesis or a comment in front included) is committed and
// gives nullptr, even when it produced rows.
std::unique_ptr<sql::TextRows> execute_pgdb_query(const std::string& sql_query);

// The same, a query's rows handed to `take` in parts while the rest arrive; returns their
// shape (no rows), or nullptr as above. After a failure part-way, the parts taken before it
// are not the query's rows.
std::unique_ptr<sql::TextRows> execute_pgdb_query(const std::string& sql_query,
                                                  const sql::Connection::TakeRows& take);

// The test above: after leading white space (as Python's str.strip() sees it), do the
// first six characters read SELECT in any case?
bool is_select_statement(std::string_view sql);

} // namespace zolviai::dbtool
