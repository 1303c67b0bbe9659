#pragma once

#include <stdexcept>
#include <string>

namespace zolviai {

// Root of every error the library raises. Messages say what failed and with which value,
// and never contain a password or an API key.
// The class is the kind: callers and the Python translator tell errors apart by their type.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// A step read a state field that has no value.
class MissingFieldError : public Error {
public:
    explicit MissingFieldError(std::string field)
        : Error("state field '" + field + "' has no value"), field_(std::move(field)) {}
    const std::string& field() const { return field_; }

private:
    std::string field_;
};

class TypeError : public Error {
public:
    explicit TypeError(const std::string& message) : Error(message) {}
};

class ValueError : public Error {
public:
    explicit ValueError(const std::string& message) : Error(message) {}
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
    explicit IndexError(const std::string& message) : Error(message) {}
};

class DatabaseError : public Error {
public:
    explicit DatabaseError(const std::string& message) : Error(message) {}
};

// Failure of a chat-completion call. status is the HTTP status, 0 for transport failures.
class ModelError : public Error {
public:
    ModelError(const std::string& message, long status = 0) : Error(message), status_(status) {}
    long status() const { return status_; }

private:
    long status_;
};

class OutputParsingError : public Error {
public:
    explicit OutputParsingError(const std::string& message) : Error(message) {}
};

class GraphRecursionError : public Error {
public:
    explicit GraphRecursionError(const std::string& message) : Error(message) {}
};

class InvalidUpdateError : public Error {
public:
    explicit InvalidUpdateError(const std::string& message) : Error(message) {}
};

class GraphWiringError : public Error {
public:
    explicit GraphWiringError(const std::string& message) : Error(message) {}
};

class ConfigError : public Error {
public:
    explicit ConfigError(const std::string& message) : Error(message) {}
};

class IoError : public Error {
public:
    explicit IoError(const std::string& message) : Error(message) {}
};

class TimeoutError : public Error {
public:
    explicit TimeoutError(const std::string& message) : Error(message) {}
};

} // namespace zolviai
