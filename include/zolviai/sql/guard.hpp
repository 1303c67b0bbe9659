#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zolviai::sql {

// Why a generated statement may not run, or nothing when it is a single read-only query.
// The check reads the statement the way `dialect` ("postgresql", "mysql", "mssql",
// "sqlite") tokenises it: quoted text, quoted names and comments are skipped, and MariaDB's
// executable comments (/*! ... */) count as code.
std::optional<std::string> refusal_reason(std::string_view sql, std::string_view dialect);

// Throws zolviai::DatabaseError "Statement refused: <reason>" when refusal_reason gives one.
void check_read_only_statement(std::string_view sql, std::string_view dialect);

} // namespace zolviai::sql
