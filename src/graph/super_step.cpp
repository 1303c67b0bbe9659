#include "super_step.hpp"

#include "zolviai/core/error.hpp"

#include <algorithm>
#include <cmath>

namespace zolviai::graph {
namespace {

// Value equality in which NaN equals NaN: a float field holding NaN is no change.
bool unchanged(const Value& before, const Value& after) {
    if (before.is_number_float() && after.is_number_float()) {
        const double x = before.get<double>();
        const double y = after.get<double>();
        return x == y || (std::isnan(x) && std::isnan(y));
    }
    if (before.is_array() && after.is_array()) {
        if (before.size() != after.size()) {
            return false;
        }
        for (std::size_t i = 0; i < before.size(); ++i) {
            if (!unchanged(before[i], after[i])) {
                return false;
            }
        }
        return true;
    }
    if (before.is_object() && after.is_object()) {
        if (before.size() != after.size()) {
            return false;
        }
        for (auto b = before.begin(), a = after.begin(); b != before.end(); ++b, ++a) {
            if (b.key() != a.key() || !unchanged(b.value(), a.value())) {
                return false;
            }
        }
        return true;
    }
    return before == after;
}

std::string sibling_names(const Graph& graph, const std::vector<Task>& tasks, int except) {
    std::string out;
    for (const Task& task : tasks) {
        if (task.node == except) {
            continue;
        }
        out += out.empty() ? "'" : ", '";
        out += graph.nodes[static_cast<std::size_t>(task.node)].name + "'";
    }
    return out;
}

// A change made to a snapshot would be lost, and made to a shared state would race with the
// siblings' reads: either way the node broke the step's contract.
void check_snapshots_unchanged(const Graph& graph, const std::vector<Task>& tasks,
                               const Value& held) {
    for (const Task& task : tasks) {
        if (!task.snapshot || unchanged(held, *task.snapshot)) {
            continue;
        }
        throw InvalidUpdateError("Node '" + graph.nodes[static_cast<std::size_t>(task.node)].name +
                                 "' changed the state in place while " +
                                 sibling_names(graph, tasks, task.node) +
                                 " ran in the same step; a node that runs beside others must "
                                 "return its changes as an update");
    }
}

void check_one_write_per_replace_field(const Graph& graph, const std::vector<Task>& tasks) {
    const StateSchema& schema = graph.schema;
    std::vector<int> writer(schema.fields().size(), -1); // per field: the node that wrote it
    for (const Task& task : tasks) {
        if (!task.update.is_object()) {
            continue;
        }
        for (const auto& [key, value] : task.update.items()) {
            const int f = schema.index_of(key);
            if (f < 0 || schema.fields()[static_cast<std::size_t>(f)].rule != MergeRule::Replace) {
                continue;
            }
            int& w = writer[static_cast<std::size_t>(f)];
            if (w >= 0) {
                throw InvalidUpdateError(
                    "At key '" + key + "': Can receive only one value per step (written by '" +
                    graph.nodes[static_cast<std::size_t>(w)].name + "' and '" +
                    graph.nodes[static_cast<std::size_t>(task.node)].name + "')");
            }
            w = task.node;
        }
    }
}

int target_of(const Graph::Node& node, const CompiledConditional& cond, const Value& held) {
    const std::string label = cond.condition(held);
    for (const auto& [l, target] : cond.labels) {
        if (l == label) {
            return target;
        }
    }
    throw GraphWiringError("Condition after node '" + node.name + "' returned label '" + label +
                           "', which has no mapping (mapped labels: " + cond.label_list + ")");
}

} // namespace

std::vector<Task> prepare_tasks(const std::vector<int>& triggered, const Value& held) {
    std::vector<Task> tasks(triggered.size());
    for (std::size_t i = 0; i < triggered.size(); ++i) {
        tasks[i].node = triggered[i];
        if (triggered.size() > 1) {
            tasks[i].snapshot = held;
        }
    }
    return tasks;
}

Value& state_for(Task& task, Value& held) {
    return task.snapshot ? *task.snapshot : held;
}

void apply_writes(const Graph& graph, const std::vector<Task>& tasks, Value& held) {
    if (tasks.size() > 1) {
        check_snapshots_unchanged(graph, tasks, held);
        check_one_write_per_replace_field(graph, tasks);
    }
    for (const Task& task : tasks) {
        graph.schema.merge(held, task.update);
    }
}

std::vector<int> next_triggers(const Graph& graph, const std::vector<Task>& tasks,
                               const Value& held) {
    std::vector<int> next;
    auto trigger = [&](int target) {
        if (target != kEnd && std::find(next.begin(), next.end(), target) == next.end()) {
            next.push_back(target);
        }
    };
    // Every plain and conditional edge of every node that ran fires.
    for (const Task& task : tasks) {
        const Graph::Node& node = graph.nodes[static_cast<std::size_t>(task.node)];
        for (int target : node.targets) {
            trigger(target);
        }
        for (const auto& cond : node.conditionals) {
            trigger(target_of(node, cond, held));
        }
    }
    std::sort(next.begin(), next.end()); // registration order, whatever fired first
    return next;
}

} // namespace zolviai::graph
