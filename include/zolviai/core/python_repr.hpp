#pragma once

#include "zolviai/core/value.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Python display forms: the exact text Python's repr() and str() produce, so that prompts
// and rendered rows read to the model, and to pasted analysis code, as Python wrote them.
namespace zolviai::python {

// repr of a str. The input is UTF-8; bytes that are not valid UTF-8 show as the
// surrogate escapes Python's surrogateescape decoding would give ('\udcff').
std::string repr_text(std::string_view text);
void append_repr_text(std::string& out, std::string_view text);

// repr of a float: the shortest text that reads back as the same double.
std::string repr_float(double value);
void append_repr_float(std::string& out, double value);

std::string repr_int(std::int64_t value);

// repr of bytes: b'...' with Python's quote choice and escapes.
std::string repr_bytes(std::string_view bytes);

// Containers from already rendered element texts. A one-element tuple keeps its comma.
std::string repr_list(const std::vector<std::string>& items);
std::string repr_tuple(const std::vector<std::string>& items);

// repr and str of a dynamic value: null is None, booleans True/False, arrays lists,
// objects dicts, binary values bytes. str differs from repr only for text.
std::string repr(const Value& value);
void append_repr(std::string& out, const Value& value);
std::string str(const Value& value);

// Whether Python's str.isprintable() holds for the code point.
bool is_printable(char32_t code_point);

} // namespace zolviai::python
