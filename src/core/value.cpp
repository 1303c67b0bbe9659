#include "zolviai/core/value.hpp"

namespace zolviai {

const char* python_type_name(const Value& value) {
    switch (value.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
        return "NoneType";
    case Value::value_t::boolean:
        return "bool";
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
        return "int";
    case Value::value_t::number_float:
        return "float";
    case Value::value_t::string:
        return "str";
    case Value::value_t::binary:
        return "bytes";
    case Value::value_t::array:
        return "list";
    case Value::value_t::object:
        return "dict";
    }
    return "object";
}

bool truthy(const Value& value) {
    switch (value.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
        return false;
    case Value::value_t::boolean:
        return value.get<bool>();
    case Value::value_t::number_integer:
        return value.get<std::int64_t>() != 0;
    case Value::value_t::number_unsigned:
        return value.get<std::uint64_t>() != 0;
    case Value::value_t::number_float:
        return value.get<double>() != 0.0;
    case Value::value_t::string:
        return !value.get_ref<const std::string&>().empty();
    case Value::value_t::binary:
        return !value.get_binary().empty();
    case Value::value_t::array:
    case Value::value_t::object:
        return !value.empty();
    }
    return false;
}

} // namespace zolviai
