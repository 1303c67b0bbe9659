#pragma once

#include <stdexcept>
#include <string>

namespace zolviai {

// What kind of failure an error is, one value per class below (a subclass that adds no kind
// of its own reports its base's). Faces map a kind to what they show (agent/error_table.hpp);
// nothing reads a kind from a message's text.
enum class ErrorKind {
    Internal, // not one of ours, or a class with no kind of its own
    MissingField,
    Type,
    Value,
    Key,
    Index,
    Database,            // the engine failed a statement
    StatementRefused,    // the guard, or the role check, refused a statement
    StatementTimeout,    // a statement ran past its time-out (server's or client's)
    DatabaseUnavailable, // the database could not be reached, or no connection was free
    Model,               // the model service failed otherwise
    ModelUnavailable,    // the model service could not be reached or was overloaded
    ModelAnswerInvalid,  // the model answered in a form that could not be used
    GraphRecursion,
    InvalidUpdate,
    GraphWiring,
    Config,
    Io,
    Timeout,
    Interrupted,
};
inline constexpr int error_kind_count = static_cast<int>(ErrorKind::Interrupted) + 1;

// "StatementRefused", ... : the class name each kind stands for.
const char* error_kind_name(ErrorKind kind);

// Root of every error the library raises. Messages say what failed and with which value,
// and never contain a password or an API key.
// The class is the kind: callers and the Python translator tell errors apart by their type.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
    virtual ErrorKind kind() const { return ErrorKind::Internal; }
};

// The kind of any exception: an Error's own, Internal for the rest.
ErrorKind error_kind(const std::exception& e);

// A step read a state field that has no value.
class MissingFieldError : public Error {
public:
    explicit MissingFieldError(std::string field)
        : Error("state field '" + field + "' has no value"), field_(std::move(field)) {}
    const std::string& field() const { return field_; }
    ErrorKind kind() const override { return ErrorKind::MissingField; }

private:
    std::string field_;
};

class TypeError : public Error {
public:
    explicit TypeError(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::Type; }
};

class ValueError : public Error {
public:
    explicit ValueError(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::Value; }
};

// `key` is the missing name itself; what() quotes it the way Python's KeyError prints it.
class KeyError : public Error {
public:
    explicit KeyError(std::string key);
    const std::string& key() const { return key_; }
    ErrorKind kind() const override { return ErrorKind::Key; }

private:
    std::string key_;
};

class IndexError : public Error {
public:
    explicit IndexError(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::Index; }
};

class DatabaseError : public Error {
public:
    explicit DatabaseError(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::Database; }
};

// Failure of a chat-completion call. status is the HTTP status, 0 for transport failures.
class ModelError : public Error {
public:
    ModelError(const std::string& message, long status = 0) : Error(message), status_(status) {}
    long status() const { return status_; }
    ErrorKind kind() const override { return ErrorKind::Model; }

private:
    long status_;
};

// The guard (or the check of the role generated SQL runs as) refused a statement before it
// reached the engine. The message starts "Statement refused: " and names the construct.
class StatementRefused : public DatabaseError {
public:
    explicit StatementRefused(const std::string& reason)
        : DatabaseError("Statement refused: " + reason) {}
    // A refusal's whole message, passed on by a layer that added to it.
    struct WholeMessage {};
    StatementRefused(WholeMessage, const std::string& message) : DatabaseError(message) {}
    ErrorKind kind() const override { return ErrorKind::StatementRefused; }
};

// A statement ran past its time-out, stopped by the server or by the client's deadline.
class StatementTimeout : public DatabaseError {
public:
    explicit StatementTimeout(const std::string& message) : DatabaseError(message) {}
    ErrorKind kind() const override { return ErrorKind::StatementTimeout; }
};

// The database could not be reached, or every connection stayed busy past the pool's wait.
class DatabaseUnavailable : public DatabaseError {
public:
    explicit DatabaseUnavailable(const std::string& message) : DatabaseError(message) {}
    ErrorKind kind() const override { return ErrorKind::DatabaseUnavailable; }
};

// The model service could not be reached, or answered 408/409/429/5xx, after the retries.
class ModelUnavailable : public ModelError {
public:
    ModelUnavailable(const std::string& message, long status) : ModelError(message, status) {}
    ErrorKind kind() const override { return ErrorKind::ModelUnavailable; }
};

class OutputParsingError : public Error {
public:
    explicit OutputParsingError(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::ModelAnswerInvalid; }
};

// The model's answer could not be used (no tool call, a missing or mistyped field, ...).
class ModelAnswerInvalid : public OutputParsingError {
public:
    explicit ModelAnswerInvalid(const std::string& message) : OutputParsingError(message) {}
};

class GraphRecursionError : public Error {
public:
    explicit GraphRecursionError(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::GraphRecursion; }
};

class InvalidUpdateError : public Error {
public:
    explicit InvalidUpdateError(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::InvalidUpdate; }
};

class GraphWiringError : public Error {
public:
    explicit GraphWiringError(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::GraphWiring; }
};

class ConfigError : public Error {
public:
    explicit ConfigError(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::Config; }
};

class IoError : public Error {
public:
    explicit IoError(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::Io; }
};

class TimeoutError : public Error {
public:
    explicit TimeoutError(const std::string& message) : Error(message) {}
    ErrorKind kind() const override { return ErrorKind::Timeout; }
};

// Throws a database error of the given kind (a refusal's message as given, not prefixed
// again): for a layer that adds to an error's message and must keep its class.
[[noreturn]] void throw_database_error(ErrorKind kind, const std::string& message);

} // namespace zolviai
