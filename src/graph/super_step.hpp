#pragma once

#include "graph_impl.hpp"

#include <exception>
#include <optional>
#include <vector>

// The super-step algorithm, apart from the loop that drives it (run_loop.cpp): which nodes a
// step runs and against what state, how their writes reach the held state, and which nodes
// they trigger next. Nothing here runs, times or reports a node.
namespace zolviai::graph {

using Graph = CompiledGraph::Impl;

// One node of a super-step and what came of running it.
struct Task {
    int node = 0; // index into Graph::nodes
    // The node's own copy of the held state when other nodes run in the same step. A node
    // that runs alone works on the held state itself.
    std::optional<Value> snapshot;
    Value update;             // what the node returned
    std::exception_ptr error; // what the node raised
};

// The tasks of the step that the triggered nodes make up, in registration order. Siblings
// never share a writable state: each gets a snapshot, so that no node can change what
// another one is reading. A node alone in its step may change the held state in place (the
// SQL syntax check puts its reviewed query in place of the generated one).
std::vector<Task> prepare_tasks(const std::vector<int>& triggered, const Value& held);

// The state a task's node runs against.
Value& state_for(Task& task, Value& held);

// Brings a finished step into the held state: a node that changed its snapshot in place and
// a second write of one replace-rule field are InvalidUpdateErrors; otherwise the updates are
// merged in node order with the fields' merge rules.
void apply_writes(const Graph& graph, const std::vector<Task>& tasks, Value& held);

// The nodes that the step's plain and conditional edges trigger, each once, in registration
// order; END triggers nothing. Conditions see the held state after apply_writes.
std::vector<int> next_triggers(const Graph& graph, const std::vector<Task>& tasks,
                               const Value& held);

} // namespace zolviai::graph
