#pragma once

#include "zolviai/core/value.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zolviai::graph {

// The caller's own record of one run, handed to every node as it is: nodes that report more
// than the state holds (the typed rows of a query) write to it. The graph never reads it.
class RunContext {
public:
    virtual ~RunContext() = default;
};

// How one run of a compiled graph is carried out.
struct RunConfig {
    Value metadata = nullptr;      // attached to the run's traces; a map or null
    std::vector<std::string> tags; // attached to the run's traces
    std::optional<int>
        max_concurrency;      // most nodes run side by side in one super-step; none: no bound
    int recursion_limit = 25; // most super-steps one run may take
    // The run ends, returning the state as it stands, before a super-step that would run any
    // of these nodes (a caller that wants only part of the work, e.g. the SQL without the
    // analysis). Not part of the map form.
    std::vector<std::string> interrupt_before;
    // The caller's record of this run (null: none). Not part of the map form.
    RunContext* context = nullptr;

    // The four-entry map form: {"metadata", "tags", "max_concurrency", "recursion_limit"}.
    Value to_value() const;
    // Reads the map form; absent entries keep their defaults, wrong kinds are a TypeError.
    static RunConfig from_value(const Value& config);
};

// Told when each node of a run starts and ends. With several nodes in one super-step the
// calls may come from several threads at once.
class Observer {
public:
    virtual ~Observer() = default;
    virtual void on_node_start(std::string_view node, int step) {}
    // failed: the node raised; its error then ends the run.
    virtual void on_node_end(std::string_view node, int step, std::chrono::nanoseconds elapsed,
                             bool failed) {}
};

} // namespace zolviai::graph
