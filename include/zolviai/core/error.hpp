#pragma once

#include <stdexcept>
#include <string>

namespace zolviai {

enum class ErrorCode {
    Generic,
    MissingField,  // a state field was read before any step wrote it
    Type,          // a value of the wrong kind (Python TypeError)
    Value,         // a value of the right kind that is not acceptable (Python ValueError)
    Key,           // a name that is not there (Python KeyError)
    Index,         // a position that is not there (Python IndexError)
    Database,      // the database refused, failed or the guard rejected a statement
    Model,         // the chat-completion service answered with an error or not at all
    OutputParsing, // a model answer that does not fit the requested record
    GraphRecursion,
    InvalidUpdate,
    GraphWiring,
    Config, // a setting that is missing or malformed
    Io,
    Timeout,
};

// Root of every error the library raises. Messages say what failed and with which value,
// and never contain a password or an API key.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message, ErrorCode code = ErrorCode::Generic)
        : std::runtime_error(message), code_(code) {}
    ErrorCode code() const { return code_; }

private:
    ErrorCode code_;
};

// A step read a state field that has no value.
class MissingFieldError : public Error {
public:
    explicit MissingFieldError(std::string field)
        : Error("state field '" + field + "' has no value", ErrorCode::MissingField),
          field_(std::move(field)) {}
    const std::string& field() const { return field_; }

private:
    std::string field_;
};

class TypeError : public Error {
public:
    explicit TypeError(const std::string& message) : Error(message, ErrorCode::Type) {}
};

class ValueError : public Error {
public:
    explicit ValueError(const std::string& message) : Error(message, ErrorCode::Value) {}
};

// `key` is the missing name itself; what() quotes it the way Python's KeyError prints it.
class KeyError : public Error {
public:
    explicit KeyError(std::string key);
    const std::string& key() const { return key_; }

private:
    std::string key_;
};

class IndexError : public Error {
public:
    explicit IndexError(const std::string& message) : Error(message, ErrorCode::Index) {}
};

class DatabaseError : public Error {
public:
    explicit DatabaseError(const std::string& message) : Error(message, ErrorCode::Database) {}
};

// Failure of a chat-completion call. status is the HTTP status, 0 for transport failures.
class ModelError : public Error {
public:
    ModelError(const std::string& message, long status = 0)
        : Error(message, ErrorCode::Model), status_(status) {}
    long status() const { return status_; }

private:
    long status_;
};

class OutputParsingError : public Error {
public:
    explicit OutputParsingError(const std::string& message)
        : Error(message, ErrorCode::OutputParsing) {}
};

class GraphRecursionError : public Error {
public:
    explicit GraphRecursionError(const std::string& message)
        : Error(message, ErrorCode::GraphRecursion) {}
};

class InvalidUpdateError : public Error {
public:
    explicit InvalidUpdateError(const std::string& message)
        : Error(message, ErrorCode::InvalidUpdate) {}
};

class GraphWiringError : public Error {
public:
    explicit GraphWiringError(const std::string& message)
        : Error(message, ErrorCode::GraphWiring) {}
};

class ConfigError : public Error {
public:
    explicit ConfigError(const std::string& message) : Error(message, ErrorCode::Config) {}
};

class IoError : public Error {
public:
    explicit IoError(const std::string& message) : Error(message, ErrorCode::Io) {}
};

class TimeoutError : public Error {
public:
    explicit TimeoutError(const std::string& message) : Error(message, ErrorCode::Timeout) {}
};

} // namespace zolviai
