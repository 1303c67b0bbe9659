#include "zolviai/graph/state_schema.hpp"

#include "zolviai/core/error.hpp"

namespace zolviai::graph {
namespace {

bool is_number(const Value& v) {
    return v.is_number() || v.is_boolean();
}

Value add_numbers(const Value& a, const Value& b) {
    if (a.is_number_float() || b.is_number_float()) {
        return a.get<double>() + b.get<double>();
    }
    return a.get<std::int64_t>() + b.get<std::int64_t>();
}

} // namespace

StateSchema::StateSchema(std::vector<FieldSpec> fields) : fields_(std::move(fields)) {}

int StateSchema::index_of(std::string_view name) const {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (fields_[i].name == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

Value StateSchema::initial_state() const {
    Value state = Value::object();
    for (const auto& field : fields_) {
        if (field.initial) {
            state[field.name] = *field.initial;
        } else if (field.rule == MergeRule::Add) {
            state[field.name] = 0;
        }
    }
    return state;
}

void apply_rule(MergeRule rule, Value* held, const Value& update, Value& state,
                const std::string& field) {
    switch (rule) {
    case MergeRule::Replace:
        if (held) {
            *held = update;
        } else {
            state[field] = update;
        }
        return;
    case MergeRule::Add:
        if (!held) {
            state[field] = update;
            return;
        }
        if (!is_number(*held) || !is_number(update)) {
            throw TypeError(std::string("unsupported operand type(s) for +: '") +
                            python_type_name(*held) + "' and '" + python_type_name(update) +
                            "' (state field '" + field + "')");
        }
        *held = add_numbers(*held, update);
        return;
    case MergeRule::Concatenate:
        if (!held) {
            state[field] = update;
            return;
        }
        if (!held->is_array() || !update.is_array()) {
            throw TypeError(std::string("can only concatenate list (not \"") +
                            python_type_name(held->is_array() ? update : *held) +
                            "\") to list (state field '" + field + "')");
        }
        for (const auto& item : update) {
            held->push_back(item);
        }
        return;
    }
}

void StateSchema::merge(Value& state, const Value& update) const {
    if (update.is_null()) {
        return;
    }
    if (!update.is_object()) {
        throw InvalidUpdateError(std::string("a step must return a map of state fields, not ") +
                                 python_type_name(update));
    }
    for (const auto& [key, value] : update.items()) {
        const int index = index_of(key);
        if (index < 0) {
            continue;
        }
        const auto it = state.find(key);
        apply_rule(fields_[static_cast<std::size_t>(index)].rule,
                   it == state.end() ? nullptr : &*it, value, state, key);
    }
}

Value StateSchema::ordered(const Value& state) const {
    Value out = Value::object();
    for (const auto& field : fields_) {
        const auto it = state.find(field.name);
        if (it != state.end()) {
            out[field.name] = *it;
        }
    }
    return out;
}

const Value& get_field(const Value& state, std::string_view name) {
    const auto it = state.find(name);
    if (it == state.end()) {
        throw MissingFieldError(std::string(name));
    }
    return *it;
}

Value& get_field(Value& state, std::string_view name) {
    const auto it = state.find(name);
    if (it == state.end()) {
        throw MissingFieldError(std::string(name));
    }
    return *it;
}

} // namespace zolviai::graph
