#include "zolviai/graph/state_graph.hpp"

#include "graph_impl.hpp"
#include "zolviai/core/error.hpp"

#include <exception>
#include <thread>

namespace zolviai::graph {
namespace {

bool reserved(const std::string& name) {
    return name == START || name == END;
}

std::string known_labels(const LabelMap& mapping) {
    std::string out;
    for (const auto& [label, target] : mapping) {
        out += out.empty() ? "" : ", ";
        out += "'" + label + "'";
    }
    return out.empty() ? "none" : out;
}

} // namespace

StateGraph::StateGraph(StateSchema schema) : schema_(std::move(schema)) {}

void StateGraph::add_node(const std::string& name, NodeFn fn) {
    if (reserved(name)) {
        throw GraphWiringError("Node name '" + name + "' is reserved");
    }
    for (const auto& node : nodes_) {
        if (node.first == name) {
            throw GraphWiringError("Node '" + name + "' already present");
        }
    }
    if (schema_.index_of(name) >= 0) {
        throw GraphWiringError("Node name '" + name + "' is already the name of a state field");
    }
    if (!fn) {
        throw GraphWiringError("Node '" + name + "' has no function");
    }
    nodes_.emplace_back(name, std::move(fn));
}

void StateGraph::set_entry_point(const std::string& name) {
    entry_ = name;
}

void StateGraph::add_edge(const std::string& source, const std::string& target) {
    if (source == END) {
        throw GraphWiringError("END cannot be the start of an edge");
    }
    if (target == START) {
        throw GraphWiringError("START cannot be the end of an edge");
    }
    edges_.emplace_back(source, target);
}

void StateGraph::add_conditional_edges(const std::string& source, ConditionFn condition,
                                       LabelMap mapping) {
    if (!condition) {
        throw GraphWiringError("Conditional edges from '" + source + "' have no condition");
    }
    conditionals_.push_back({source, std::move(condition), std::move(mapping)});
}

CompiledGraph StateGraph::compile() const {
    auto impl = std::make_shared<CompiledGraph::Impl>(schema_);
    auto index = [&](const std::string& name) -> int {
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            if (nodes_[i].first == name) {
                return static_cast<int>(i);
            }
        }
        return -2;
    };
    for (const auto& [name, fn] : nodes_) {
        impl->nodes.push_back({name, fn, {}, {}});
    }
    if (entry_.empty()) {
        throw GraphWiringError("Graph must have an entry point: call set_entry_point(name)");
    }
    impl->entry = index(entry_);
    if (impl->entry < 0) {
        throw GraphWiringError("Entry point '" + entry_ + "' is not a node of the graph");
    }
    impl->edge_infos.push_back({START, entry_, "", false});
    auto target_index = [&](const std::string& source, const std::string& target) {
        if (target == END) {
            return kEnd;
        }
        const int t = index(target);
        if (t < 0) {
            throw GraphWiringError("Found edge from '" + source + "' ending at unknown node '" +
                                   target + "'");
        }
        return t;
    };
    for (const auto& [source, target] : edges_) {
        const int s = index(source);
        if (s < 0) {
            throw GraphWiringError("Found edge starting at unknown node '" + source + "'");
        }
        impl->nodes[static_cast<std::size_t>(s)].targets.push_back(target_index(source, target));
        impl->edge_infos.push_back({source, target, "", false});
    }
    for (const auto& cond : conditionals_) {
        const int s = index(cond.source);
        if (s < 0) {
            throw GraphWiringError("Found conditional edges starting at unknown node '" +
                                   cond.source + "'");
        }
        CompiledConditional compiled{cond.condition, {}, known_labels(cond.mapping)};
        for (const auto& [label, target] : cond.mapping) {
            compiled.labels.emplace_back(label, target_index(cond.source, target));
            impl->edge_infos.push_back({cond.source, target, label, true});
        }
        impl->nodes[static_cast<std::size_t>(s)].conditionals.push_back(std::move(compiled));
    }
    CompiledGraph graph;
    graph.impl_ = std::move(impl);
    return graph;
}

const StateSchema& CompiledGraph::schema() const {
    return impl_->schema;
}

std::vector<EdgeInfo> CompiledGraph::edges() const {
    return impl_->edge_infos;
}

std::vector<std::string> CompiledGraph::node_names() const {
    std::vector<std::string> names{START};
    bool reaches_end = false;
    for (const auto& node : impl_->nodes) {
        names.push_back(node.name);
    }
    for (const auto& edge : impl_->edge_infos) {
        reaches_end = reaches_end || edge.target == END;
    }
    if (reaches_end) {
        names.push_back(END);
    }
    return names;
}

// ---- running ---------------------------------------------------------------------------

namespace {

struct StepResult {
    Value update;
    std::exception_ptr error;
};

void run_node(const CompiledGraph::Impl::Node& node, Value& state, const RunConfig& config,
              Observer* observer, int step, StepResult& result) {
    const auto started = std::chrono::steady_clock::now();
    if (observer) {
        observer->on_node_start(node.name, step);
    }
    bool failed = false;
    try {
        result.update = node.fn(state, config);
    } catch (...) {
        failed = true;
        result.error = std::current_exception();
    }
    if (observer) {
        observer->on_node_end(node.name, step, std::chrono::steady_clock::now() - started, failed);
    }
}

} // namespace

Value CompiledGraph::invoke(const Value& input, const RunConfig& config, Observer* observer) const {
    if (!input.is_object()) {
        throw TypeError(std::string("Argument 'inputs' has incorrect type (expected dict, got ") +
                        python_type_name(input) + ")");
    }
    const Impl& g = *impl_;
    Value state = g.schema.initial_state();
    g.schema.merge(state, input);

    std::vector<int> triggered{g.entry};
    std::vector<int> next;
    std::vector<StepResult> results;
    std::vector<int> writer; // per field: node that wrote it in this step (replace fields)
    const std::size_t concurrency =
        config.max_concurrency ? static_cast<std::size_t>(std::max(1, *config.max_concurrency))
                               : std::numeric_limits<std::size_t>::max();

    for (int step = 0; !triggered.empty(); ++step) {
        if (step >= config.recursion_limit) {
            throw GraphRecursionError("Recursion limit of " +
                                      std::to_string(config.recursion_limit) +
                                      " reached without hitting a stop condition. You can "
                                      "increase the limit by setting the `recursion_limit` "
                                      "config key.");
        }
        results.assign(triggered.size(), StepResult{});
        if (triggered.size() == 1 || concurrency == 1) {
            for (std::size_t i = 0; i < triggered.size(); ++i) {
                run_node(g.nodes[static_cast<std::size_t>(triggered[i])], state, config, observer,
                         step, results[i]);
                if (results[i].error) {
                    std::rethrow_exception(results[i].error);
                }
            }
        } else {
            // Nodes of one super-step all see the same held state; their updates are merged
            // only after every one of them has finished.
            for (std::size_t first = 0; first < triggered.size(); first += concurrency) {
                const std::size_t last = std::min(triggered.size(), first + concurrency);
                std::vector<std::thread> threads;
                for (std::size_t i = first + 1; i < last; ++i) {
                    threads.emplace_back([&, i] {
                        run_node(g.nodes[static_cast<std::size_t>(triggered[i])], state, config,
                                 observer, step, results[i]);
                    });
                }
                run_node(g.nodes[static_cast<std::size_t>(triggered[first])], state, config,
                         observer, step, results[first]);
                for (auto& t : threads) {
                    t.join();
                }
            }
            for (const auto& result : results) {
                if (result.error) {
                    std::rethrow_exception(result.error);
                }
            }
        }

        // Merge in node order; two writes of one replace field in one step are an error.
        if (triggered.size() > 1) {
            writer.assign(g.schema.fields().size(), -1);
            for (std::size_t i = 0; i < triggered.size(); ++i) {
                const Value& update = results[i].update;
                if (!update.is_object()) {
                    continue;
                }
                for (const auto& [key, value] : update.items()) {
                    const int f = g.schema.index_of(key);
                    if (f < 0 ||
                        g.schema.fields()[static_cast<std::size_t>(f)].rule != MergeRule::Replace) {
                        continue;
                    }
                    int& w = writer[static_cast<std::size_t>(f)];
                    if (w >= 0) {
                        throw InvalidUpdateError(
                            "At key '" + key +
                            "': Can receive only one value per step (written by '" +
                            g.nodes[static_cast<std::size_t>(w)].name + "' and '" +
                            g.nodes[static_cast<std::size_t>(triggered[i])].name + "')");
                    }
                    w = triggered[i];
                }
            }
        }
        for (auto& result : results) {
            g.schema.merge(state, result.update);
        }

        // Every plain and conditional edge of every node that ran fires.
        next.clear();
        auto trigger = [&](int target) {
            if (target == kEnd) {
                return;
            }
            for (int n : next) {
                if (n == target) {
                    return;
                }
            }
            next.push_back(target);
        };
        for (int n : triggered) {
            const auto& node = g.nodes[static_cast<std::size_t>(n)];
            for (int target : node.targets) {
                trigger(target);
            }
            for (const auto& cond : node.conditionals) {
                const std::string label = cond.condition(state);
                int target = kUnmapped;
                for (const auto& [l, t] : cond.labels) {
                    if (l == label) {
                        target = t;
                        break;
                    }
                }
                if (target == kUnmapped) {
                    throw GraphWiringError(
                        "Condition after node '" + node.name + "' returned label '" + label +
                        "', which has no mapping (mapped labels: " + cond.label_list + ")");
                }
                trigger(target);
            }
        }
        std::sort(next.begin(), next.end()); // registration order, whatever fired first
        triggered.swap(next);
    }
    return g.schema.ordered(state);
}

} // namespace zolviai::graph
