// The run loop: ticks super-steps from the entry point until every path has reached END,
// bounds them by the recursion limit, runs each step's nodes (on threads when several may
// run side by side) and tells the observer. What a step does with the state is in
// super_step.cpp.
#include "super_step.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/graph/state_graph.hpp"

#include <algorithm>
#include <limits>
#include <thread>

namespace zolviai::graph {
namespace {

// Keeps the node's error in its task instead of throwing, so that every thread of a step
// ends before the run does.
void run_task(const Graph& graph, Task& task, Value& held, const RunConfig& config,
              Observer* observer, int step) {
    const Graph::Node& node = graph.nodes[static_cast<std::size_t>(task.node)];
    const auto started = std::chrono::steady_clock::now();
    bool failed = false;
    try {
        // An observer that stops the run (a cancelled question) fails the node, also on a
        // thread of a step that runs several.
        if (observer) {
            observer->on_node_start(node.name, step);
        }
        task.update = node.fn(state_for(task, held), config);
    } catch (...) {
        failed = true;
        task.error = std::current_exception();
    }
    if (observer) {
        observer->on_node_end(node.name, step, std::chrono::steady_clock::now() - started, failed);
    }
}

void rethrow_first_error(const std::vector<Task>& tasks) {
    for (const Task& task : tasks) {
        if (task.error) {
            std::rethrow_exception(task.error);
        }
    }
}

std::size_t concurrency_of(const RunConfig& config) {
    if (!config.max_concurrency) {
        return std::numeric_limits<std::size_t>::max();
    }
    return static_cast<std::size_t>(std::max(1, *config.max_concurrency));
}

// One after another when nothing may run beside anything (the first error stops the step),
// else in batches of at most max_concurrency threads, the calling thread running the first.
void run_tasks(const Graph& graph, std::vector<Task>& tasks, Value& held, const RunConfig& config,
               Observer* observer, int step) {
    const std::size_t concurrency = concurrency_of(config);
    if (tasks.size() == 1 || concurrency == 1) {
        for (Task& task : tasks) {
            run_task(graph, task, held, config, observer, step);
            if (task.error) {
                std::rethrow_exception(task.error);
            }
        }
        return;
    }
    for (std::size_t first = 0; first < tasks.size(); first += concurrency) {
        const std::size_t last = std::min(tasks.size(), first + concurrency);
        std::vector<std::thread> threads;
        const std::shared_ptr<ConsoleSink> sink = thread_console_sink();
        for (std::size_t i = first + 1; i < last; ++i) {
            threads.emplace_back([&, i] {
                const ThreadSinkScope lines(sink);
                run_task(graph, tasks[i], held, config, observer, step);
            });
        }
        run_task(graph, tasks[first], held, config, observer, step);
        for (auto& t : threads) {
            t.join();
        }
    }
    rethrow_first_error(tasks);
}

bool interrupted(const Graph& graph, const std::vector<int>& triggered, const RunConfig& config) {
    for (const int node : triggered) {
        const std::string& name = graph.nodes[node].name;
        if (std::find(config.interrupt_before.begin(), config.interrupt_before.end(), name) !=
            config.interrupt_before.end()) {
            return true;
        }
    }
    return false;
}

void check_recursion_limit(int step, const RunConfig& config) {
    if (step < config.recursion_limit) {
        return;
    }
    throw GraphRecursionError("Recursion limit of " + std::to_string(config.recursion_limit) +
                              " reached without hitting a stop condition. You can increase the "
                              "limit by setting the `recursion_limit` config key.");
}

} // namespace

Value CompiledGraph::invoke(const Value& input, const RunConfig& config, Observer* observer) const {
    if (!input.is_object()) {
        throw TypeError(std::string("Argument 'inputs' has incorrect type (expected dict, got ") +
                        python_type_name(input) + ")");
    }
    const Graph& graph = *impl_;
    Value held = graph.schema.initial_state();
    graph.schema.merge(held, input);

    // No node triggered: every path has reached END.
    std::vector<int> triggered{graph.entry};
    for (int step = 0; !triggered.empty(); ++step) {
        if (interrupted(graph, triggered, config)) {
            break;
        }
        check_recursion_limit(step, config);
        std::vector<Task> tasks = prepare_tasks(triggered, held);
        run_tasks(graph, tasks, held, config, observer, step);
        apply_writes(graph, tasks, held);
        triggered = next_triggers(graph, tasks, held);
    }
    return graph.schema.ordered(held);
}

} // namespace zolviai::graph
