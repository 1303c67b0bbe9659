#include "zolviai/core/error.hpp"

#include "zolviai/core/python_repr.hpp"

namespace zolviai {
namespace {

constexpr const char* kind_names[error_kind_count] = {
    "Error",
    "MissingFieldError",
    "TypeError",
    "ValueError",
    "KeyError",
    "IndexError",
    "DatabaseError",
    "StatementRefused",
    "StatementTimeout",
    "DatabaseUnavailable",
    "ModelError",
    "ModelUnavailable",
    "ModelAnswerInvalid",
    "GraphRecursionError",
    "InvalidUpdateError",
    "GraphWiringError",
    "ConfigError",
    "IoError",
    "TimeoutError",
    "Interrupted",
};

} // namespace

KeyError::KeyError(std::string key) : Error(python::repr_text(key)), key_(std::move(key)) {}

const char* error_kind_name(ErrorKind kind) {
    return kind_names[static_cast<int>(kind)];
}

ErrorKind error_kind(const std::exception& e) {
    if (const auto* ours = dynamic_cast<const Error*>(&e)) {
        return ours->kind();
    }
    return ErrorKind::Internal;
}

void throw_database_error(ErrorKind kind, const std::string& message) {
    switch (kind) {
    case ErrorKind::StatementRefused:
        throw StatementRefused(StatementRefused::WholeMessage{}, message);
    case ErrorKind::StatementTimeout:
        throw StatementTimeout(message);
    case ErrorKind::DatabaseUnavailable:
        throw DatabaseUnavailable(message);
    default:
        throw DatabaseError(message);
    }
}

} // namespace zolviai
