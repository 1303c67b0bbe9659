#include "zolviai/graph/state_graph.hpp"

#include "graph_impl.hpp"
#include "zolviai/core/error.hpp"

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

} // namespace zolviai::graph
