#include "convert.hpp"

namespace py = pybind11;

namespace zolviai::bindings {

std::string type_name(py::handle o) {
    return py::str(o.get_type().attr("__name__")).cast<std::string>();
}

TypeError argument_type_error(const char* name, const char* expected, py::handle got) {
    return TypeError(std::string("Argument '") + name + "' has incorrect type (expected " +
                     expected + ", got " + type_name(got) + ")");
}

Value to_value(py::handle o) {
    if (o.is_none()) {
        return nullptr;
    }
    if (py::isinstance<py::bool_>(o)) {
        return o.cast<bool>();
    }
    if (py::isinstance<py::int_>(o)) {
        return o.cast<std::int64_t>();
    }
    if (py::isinstance<py::float_>(o)) {
        return o.cast<double>();
    }
    if (py::isinstance<py::str>(o)) {
        return o.cast<std::string>();
    }
    if (py::isinstance<py::bytes>(o)) {
        const std::string bytes = o.cast<std::string>();
        return Value::binary(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    if (py::isinstance<py::dict>(o)) {
        Value out = Value::object();
        for (const auto& [key, item] : o.cast<py::dict>()) {
            out[py::str(key).cast<std::string>()] = to_value(item);
        }
        return out;
    }
    if (py::isinstance<py::list>(o) || py::isinstance<py::tuple>(o)) {
        Value out = Value::array();
        for (const auto& item : o) {
            out.push_back(to_value(item));
        }
        return out;
    }
    throw TypeError("cannot convert a value of type '" + type_name(o) + "'");
}

py::object from_value(const Value& v) {
    switch (v.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
        return py::none();
    case Value::value_t::boolean:
        return py::bool_(v.get<bool>());
    case Value::value_t::number_integer:
        return py::int_(v.get<std::int64_t>());
    case Value::value_t::number_unsigned:
        return py::int_(v.get<std::uint64_t>());
    case Value::value_t::number_float:
        return py::float_(v.get<double>());
    case Value::value_t::string:
        return py::str(v.get_ref<const std::string&>());
    case Value::value_t::binary: {
        const auto& b = v.get_binary();
        return py::bytes(reinterpret_cast<const char*>(b.data()), b.size());
    }
    case Value::value_t::array: {
        py::list out;
        for (const auto& item : v) {
            out.append(from_value(item));
        }
        return out;
    }
    case Value::value_t::object: {
        py::dict out;
        for (const auto& [key, item] : v.items()) {
            out[py::str(key)] = from_value(item);
        }
        return out;
    }
    }
    return py::none();
}

py::object from_message(const llm::Message& message) {
    py::dict out;
    out["role"] = message.role;
    out["content"] = message.content;
    return out;
}

llm::Message to_message(py::handle o) {
    if (py::isinstance<py::dict>(o)) {
        return {py::str(o["role"]), py::str(o["content"])};
    }
    const py::tuple pair(py::reinterpret_borrow<py::object>(o));
    return {py::str(pair[0]), py::str(pair[1])};
}

Value attributes_of(py::handle o) {
    if (!py::hasattr(o, "__dict__")) {
        throw TypeError("vars() argument must have __dict__ attribute");
    }
    return to_value(o.attr("__dict__"));
}

Value state_of(py::handle state) {
    if (!py::isinstance<py::dict>(state)) {
        throw argument_type_error("state", "dict", state);
    }
    return to_value(state);
}

void reexport_public_names(const char* from, py::module_& to) {
    py::module_ source = py::module_::import(from);
    for (const auto& [name, value] : py::dict(source.attr("__dict__"))) {
        const std::string key = py::str(name);
        if (!key.empty() && key[0] != '_') {
            to.attr(name) = value;
        }
    }
}

} // namespace zolviai::bindings
