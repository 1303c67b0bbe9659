#pragma once

#include "zolviai/core/error.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/mcp/session.hpp"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

// The tools a session offers: their descriptions for tools/list and what each call does.
namespace zolviai::mcp {

// An argument that does not fit the tool's input schema. Under the newest revision it is a
// tool error the client's model can read and correct; older ones make it a protocol error.
class ArgumentError : public ValueError {
public:
    using ValueError::ValueError;
};

// A call the client cancelled: the question stops before its next step.
class Cancelled : public Error {
public:
    using Error::Error;
    ErrorKind kind() const override { return ErrorKind::Interrupted; }
};

struct CallContext {
    const std::atomic<bool>& cancelled;
    // Tells the client how far the call has come (nothing when it sent no progress token).
    std::function<void(double progress, const std::string& message)> progress;
};

// What a call gives back: content items, the data (null when none) and whether it failed.
struct ToolResult {
    Value content = Value::array();
    Value structured;
    bool is_error = false;
};

struct Tool {
    const char* name;
    const char* title;
    const char* description;
    Value input_schema;
    Value output_schema;
    Value annotations;
    ToolResult (*run)(const Backend& backend, const SessionOptions& options, const Value& args,
                      CallContext& context);
};

// In the order tools/list gives them.
const std::vector<Tool>& tools();
const Tool* find_tool(std::string_view name);

// A failed call: the reason in words, as the client's model reads it.
ToolResult error_result(const std::string& message);

} // namespace zolviai::mcp
