#pragma once

#include "zolviai/graph/state_graph.hpp"

#include <algorithm>
#include <limits>

namespace zolviai::graph {

inline constexpr int kEnd = -1;

struct CompiledConditional {
    ConditionFn condition;
    std::vector<std::pair<std::string, int>> labels; // label -> node index or kEnd
    std::string label_list;                          // for the unmapped-label error
};

struct CompiledGraph::Impl {
    explicit Impl(StateSchema s) : schema(std::move(s)) {}

    struct Node {
        std::string name;
        NodeFn fn;
        std::vector<int> targets; // plain edges: node index or kEnd
        std::vector<CompiledConditional> conditionals;
    };

    StateSchema schema;
    std::vector<Node> nodes;
    int entry = 0;
    std::vector<EdgeInfo> edge_infos;
};

} // namespace zolviai::graph
