#pragma once

#include "zolviai/sql/connection.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace zolviai::sql {

// The checks every engine shares, made before any parsing: a statement longer than
// options.max_statement_bytes, one with a NUL byte or invalid UTF-8, or one with nothing but
// spaces is refused. Returns the reason, or nothing.
std::optional<std::string> shared_refusal(std::string_view sql, const GuardOptions& options);

// Why a generated statement may not run on the connection: the shared checks, then the
// engine's own policy (Connection::refusal_reason). Nothing when it may run.
std::optional<std::string> refusal_reason(Connection& connection, std::string_view sql,
                                          const GuardOptions& options);

// Throws zolviai::StatementRefused ("Statement refused: <reason>") when refusal_reason gives one.
void check_generated_statement(Connection& connection, std::string_view sql,
                               const GuardOptions& options);

} // namespace zolviai::sql
