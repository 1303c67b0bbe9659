#include "zolviai/sql/guard.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"

#include <cctype>

namespace zolviai::sql {

std::optional<std::string> shared_refusal(std::string_view sql, const GuardOptions& options) {
    if (options.max_statement_bytes > 0 && sql.size() > options.max_statement_bytes) {
        return "the statement is " + std::to_string(sql.size()) + " bytes long, more than the " +
               std::to_string(options.max_statement_bytes) + " bytes allowed";
    }
    if (sql.find('\0') != std::string_view::npos) {
        return std::string("the statement contains a NUL byte");
    }
    if (!is_valid_utf8(sql)) {
        return std::string("the statement is not valid UTF-8");
    }
    for (char c : sql) {
        if (!std::isspace(static_cast<unsigned char>(c)) && c != ';') {
            return std::nullopt;
        }
    }
    return std::string("the statement is empty");
}

std::optional<std::string> refusal_reason(Connection& connection, std::string_view sql,
                                          const GuardOptions& options) {
    if (auto reason = shared_refusal(sql, options)) {
        return reason;
    }
    return connection.refusal_reason(sql);
}

void check_generated_statement(Connection& connection, std::string_view sql,
                               const GuardOptions& options) {
    if (auto reason = refusal_reason(connection, sql, options)) {
        throw StatementRefused(*reason);
    }
}

} // namespace zolviai::sql
