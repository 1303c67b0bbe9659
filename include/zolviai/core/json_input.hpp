#pragma once

#include "zolviai/core/error.hpp"
#include "zolviai/core/value.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// JSON we did not write: model answers, tool-call arguments, the model-settings service's
// answers, the answer context file. Such text is parsed with limits checked while it is read,
// before anything recurses over it, and read back only through the accessors below, which
// answer "absent" instead of assuming a key or an index is there.
namespace zolviai {

struct JsonLimits {
    // Arrays and objects inside one another. Copying, comparing and printing a value recurse
    // once per level, so this bounds the stack they need.
    std::size_t max_depth = 512;
    // Bytes of JSON text. The parsed value takes up to about twenty times as much memory.
    std::size_t max_bytes = 16 * 1024 * 1024;
};

// Outside JSON text that is malformed or over one of its limits. The message names the limit
// that was exceeded, or carries the parser's own description of the fault.
class JsonInputError : public ValueError {
public:
    enum class Reason { Malformed, TooDeep, TooLarge };
    JsonInputError(Reason reason, const std::string& message)
        : ValueError(message), reason_(reason) {}
    Reason reason() const { return reason_; }

private:
    Reason reason_;
};

// Parses outside JSON text. Over max_bytes nothing is read; at the first array or object past
// max_depth the parse stops. Repeated keys keep the last value at the first key's place, as
// Value::parse does, but each key is found in constant time however wide the object.
Value parse_json_input(std::string_view text, const JsonLimits& limits = {});

// --- Reading outside documents -------------------------------------------------------------

// The member `key` of an object; nullptr when the document is null, not an object, or has no
// such member.
const Value* find_member(const Value* document, std::string_view key);
const Value* find_member(const Value& document, std::string_view key);
Value* find_member(Value* document, std::string_view key);

// Element `index` of an array; nullptr when the document is null, not an array, or shorter.
const Value* find_element(const Value* document, std::size_t index);
Value* find_element(Value* document, std::size_t index);

// The member `key` when it is a text; nullopt when absent or of another type.
std::optional<std::string> string_member(const Value* document, std::string_view key);

// The member `key` when it is a whole number that fits a long (a float with no fraction
// counts); nullopt when absent, of another type, or out of range.
std::optional<long> integer_member(const Value* document, std::string_view key);

} // namespace zolviai
