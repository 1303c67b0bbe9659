#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/graph/run_config.hpp"
#include "zolviai/graph/state_schema.hpp"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zolviai::graph {

inline constexpr const char* START = "__start__";
inline constexpr const char* END = "__end__";

// A node returns an update map, or null for no change. A node alone in its super-step gets
// the held state itself (in-place changes to its lists are seen by later steps); nodes that
// share a step each get a snapshot of it, and one that changes its snapshot in place ends the
// run with an InvalidUpdateError, since siblings must all see the same state.
using NodeFn = std::function<Value(Value& state, const RunConfig& config)>;
// A condition sees the state after the update of the node it follows and returns a label.
using ConditionFn = std::function<std::string(const Value& state)>;
using LabelMap = std::vector<std::pair<std::string, std::string>>;

class CompiledGraph;

// Builder of a state graph: nodes, plain and conditional edges, an entry point.
class StateGraph {
public:
    explicit StateGraph(StateSchema schema);

    void add_node(const std::string& name, NodeFn fn);
    void set_entry_point(const std::string& name);
    void add_edge(const std::string& source, const std::string& target);
    void add_conditional_edges(const std::string& source, ConditionFn condition, LabelMap mapping);

    // Checks the wiring (entry point, every edge's ends, every mapped target) and returns
    // the runnable graph. The builder stays usable.
    CompiledGraph compile() const;

private:
    friend class CompiledGraph;
    struct Conditional {
        std::string source;
        ConditionFn condition;
        LabelMap mapping;
    };
    StateSchema schema_;
    std::vector<std::pair<std::string, NodeFn>> nodes_;
    std::string entry_;
    std::vector<std::pair<std::string, std::string>> edges_;
    std::vector<Conditional> conditionals_;
};

// One edge of the wiring, for drawings: label is empty for plain edges.
struct EdgeInfo {
    std::string source;
    std::string target;
    std::string label;
    bool conditional = false;
};

class CompiledGraph {
public:
    // Runs super-steps from the entry point until no node is triggered and returns the final
    // state (the fields that have a value, in declared order). The input must be a map; it
    // is merged into the initial state like an update.
    Value invoke(const Value& input, const RunConfig& config = {},
                 Observer* observer = nullptr) const;

    const StateSchema& schema() const;
    std::vector<std::string> node_names() const; // with START and END, in drawing order
    std::vector<EdgeInfo> edges() const;         // START's edge first, then wiring order

    std::string draw_ascii() const;
    std::string draw_mermaid() const;
    std::string draw_dot() const;

    struct Impl;

private:
    friend class StateGraph;
    std::shared_ptr<const Impl> impl_;
};

} // namespace zolviai::graph
