#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace zolviai {

// The dynamic value of state fields, update maps and JSON payloads. Maps keep their
// insertion order, as the records that cross our boundaries do.
using Value = nlohmann::ordered_json;

// The Python type name of a value ("dict", "list", "str", "int", "float", "bool",
// "NoneType", "bytes"), as type-error messages name it.
const char* python_type_name(const Value& value);

// Python's truth test: false, 0, 0.0, "", [], {} and null are false.
bool truthy(const Value& value);

} // namespace zolviai
