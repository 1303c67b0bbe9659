#include "zolviai/graph/run_config.hpp"

#include "zolviai/core/error.hpp"

namespace zolviai::graph {
namespace {

[[noreturn]] void wrong_kind(const char* name, const char* expected, const Value& given) {
    throw TypeError(std::string("Argument '") + name + "' has incorrect type (expected " +
                    expected + ", got " + python_type_name(given) + ")");
}

} // namespace

Value RunConfig::to_value() const {
    Value out = Value::object();
    out["metadata"] = metadata;
    out["tags"] = tags;
    out["max_concurrency"] = max_concurrency ? Value(*max_concurrency) : Value(nullptr);
    out["recursion_limit"] = recursion_limit;
    return out;
}

RunConfig RunConfig::from_value(const Value& config) {
    RunConfig out;
    if (config.is_null()) {
        return out;
    }
    if (!config.is_object()) {
        wrong_kind("config", "dict", config);
    }
    if (const auto it = config.find("metadata"); it != config.end()) {
        if (!it->is_null() && !it->is_object()) {
            wrong_kind("metadata", "dict", *it);
        }
        out.metadata = *it;
    }
    if (const auto it = config.find("tags"); it != config.end() && !it->is_null()) {
        if (!it->is_array()) {
            wrong_kind("tags", "list", *it);
        }
        for (const auto& tag : *it) {
            if (!tag.is_string()) {
                wrong_kind("tags", "list of str", tag);
            }
            out.tags.push_back(tag.get<std::string>());
        }
    }
    if (const auto it = config.find("max_concurrency"); it != config.end() && !it->is_null()) {
        if (!it->is_number_integer()) {
            wrong_kind("max_concurrency", "int", *it);
        }
        out.max_concurrency = it->get<int>();
    }
    if (const auto it = config.find("recursion_limit"); it != config.end()) {
        if (!it->is_number_integer()) {
            wrong_kind("recursion_limit", "int", *it);
        }
        out.recursion_limit = it->get<int>();
    }
    return out;
}

} // namespace zolviai::graph
