#include "zolviai/graph/state_graph.hpp"

#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::graph;

namespace {

CompiledGraph small_graph() {
    StateGraph g(StateSchema({{"ok", MergeRule::Replace, {}}}));
    auto nop = [](Value&, const RunConfig&) { return Value::object(); };
    g.add_node("run_node", nop);
    g.add_node("fix_node", nop);
    g.add_node("answer_node", nop);
    g.set_entry_point("run_node");
    g.add_conditional_edges("run_node", [](const Value&) { return "ok"; },
                            {{"ok", "answer_node"}, {"failed", "fix_node"}});
    g.add_edge("fix_node", "run_node");
    g.add_edge("answer_node", END);
    return g.compile();
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(Drawing, EveryDrawingShowsEveryNodeAndEdge) {
    const CompiledGraph g = small_graph();
    const std::string ascii = g.draw_ascii();
    const std::string mermaid = g.draw_mermaid();
    const std::string dot = g.draw_dot();
    for (const char* node : {"__start__", "run_node", "fix_node", "answer_node", "__end__"}) {
        EXPECT_TRUE(contains(ascii, std::string("| ") + node + " |")) << node << "\n" << ascii;
        EXPECT_TRUE(contains(mermaid, std::string("\t") + node)) << node;
        EXPECT_TRUE(contains(dot, std::string("\"") + node + "\"")) << node;
    }
    EXPECT_TRUE(contains(ascii, "-.failed.-> fix_node"));
    EXPECT_TRUE(contains(ascii, "--> run_node"));
    EXPECT_TRUE(contains(mermaid, "run_node -. &nbsp;ok&nbsp; .-> answer_node;"));
    EXPECT_TRUE(contains(mermaid, "__start__ --> run_node;"));
    EXPECT_TRUE(contains(mermaid, "answer_node --> __end__;"));
    EXPECT_TRUE(contains(dot, "\"run_node\" -> \"fix_node\" [style=dashed, label=\"failed\"];"));
    EXPECT_EQ(g.edges().size(), 5u);
}
