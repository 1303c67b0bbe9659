#pragma once

#include "zolviai/core/value.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zolviai::graph {

// How an update for a field is combined with the value already held.
enum class MergeRule {
    Replace,     // the held value becomes the update
    Add,         // held + update (numbers); the field holds 0 from the start of a run
    Concatenate, // held list followed by the update's elements; an absent field becomes the update
};

struct FieldSpec {
    std::string name;
    MergeRule rule = MergeRule::Replace;
    // A value the field holds from the start of every run. Add fields start at 0 without one.
    std::optional<Value> initial;
};

// The fixed set of named fields a graph's state carries. The state itself is a Value map
// holding only the fields that have a value: absent is not the same as null or empty.
class StateSchema {
public:
    explicit StateSchema(std::vector<FieldSpec> fields);

    const std::vector<FieldSpec>& fields() const { return fields_; }
    // Position of the field in declared order, or -1 when no field has that name.
    int index_of(std::string_view name) const;

    // The state a run starts from: the add-rule counters at 0, fields with an initial value.
    Value initial_state() const;

    // Merges one update into the state, key by key in the update's order. Keys that name no
    // field are dropped. A non-map update other than null is an InvalidUpdateError.
    void merge(Value& state, const Value& update) const;

    // The state's fields in declared order (what a run hands back).
    Value ordered(const Value& state) const;

private:
    std::vector<FieldSpec> fields_;
};

// Reads a field a step needs; a field without a value is a MissingFieldError naming it.
const Value& get_field(const Value& state, std::string_view name);
Value& get_field(Value& state, std::string_view name);

// Applies one rule to a held value (nullptr when absent). Throws TypeError on operands the
// rule cannot combine, worded as Python words it ("can only concatenate list ...").
void apply_rule(MergeRule rule, Value* held, const Value& update, Value& state,
                const std::string& field);

} // namespace zolviai::graph
