#pragma once

#include "zolviai/core/error.hpp"

namespace zolviai::llm {

// A request that got no HTTP answer: refused or dropped connection, or no answer in time.
class TransportError : public Error {
public:
    explicit TransportError(const std::string& message, bool timed_out = false)
        : Error(message), timed_out_(timed_out) {}
    bool timed_out() const { return timed_out_; }

private:
    bool timed_out_;
};

} // namespace zolviai::llm
