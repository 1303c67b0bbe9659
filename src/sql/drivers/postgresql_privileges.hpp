#pragma once

#include "zolviai/sql/connection.hpp"

#include <string>

namespace zolviai::sql::drivers {

// One statement that reads what the current PostgreSQL role may do beyond reading.
extern const char postgresql_privileges_sql[];

// The report made from that statement's result. Throws DatabaseError when it has no row.
PrivilegeReport postgresql_privilege_report(const ResultSet& result);

// Statements that create a role that may only read the database: a LOGIN role with the
// password given, CONNECT on the database and pg_read_all_data, read-only by default.
std::string postgresql_reader_role_sql(const std::string& database, const std::string& role,
                                       const std::string& password);

} // namespace zolviai::sql::drivers
