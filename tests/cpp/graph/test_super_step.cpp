// Siblings of one super-step never write the state the others read.
#include "graph/super_step.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/graph/state_graph.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <mutex>

using namespace zolviai;
using namespace zolviai::graph;

namespace {

StateSchema schema() {
    return StateSchema({{"items", MergeRule::Concatenate, {}},
                        {"seen", MergeRule::Concatenate, {}},
                        {"ratio", MergeRule::Replace, {}},
                        {"text", MergeRule::Replace, {}}});
}

// fork triggers the two given nodes, which form one super-step.
CompiledGraph fork_into(NodeFn left, NodeFn right) {
    StateGraph g(schema());
    g.add_node("fork", [](Value&, const RunConfig&) { return Value{{"items", {"raw query"}}}; });
    g.add_node("left", std::move(left));
    g.add_node("right", std::move(right));
    g.set_entry_point("fork");
    g.add_edge("fork", "left");
    g.add_edge("fork", "right");
    return g.compile();
}

RunConfig with_concurrency(int n) {
    RunConfig config;
    config.max_concurrency = n;
    return config;
}

} // namespace

TEST(SuperStep, ANodeThatChangesTheStateBesideASiblingEndsTheRun) {
    for (int concurrency : {1, 20}) {
        std::mutex mutex;
        std::string right_saw;
        const CompiledGraph g = fork_into(
            [](Value& s, const RunConfig&) {
                s["items"].back() = "checked query";
                return Value::object();
            },
            [&](Value& s, const RunConfig&) {
                std::lock_guard lock(mutex);
                right_saw = s["items"].back().get<std::string>();
                return Value::object();
            });
        try {
            g.invoke(Value::object(), with_concurrency(concurrency));
            ADD_FAILURE() << "max_concurrency " << concurrency << ": expected InvalidUpdateError";
        } catch (const InvalidUpdateError& e) {
            const std::string msg = e.what();
            EXPECT_NE(msg.find("Node 'left' changed the state in place while 'right' ran"),
                      std::string::npos)
                << msg;
            EXPECT_NE(msg.find("return its changes as an update"), std::string::npos) << msg;
        }
        // Run one after another, right comes after left and would have read its edit.
        EXPECT_EQ(right_saw, "raw query") << "max_concurrency " << concurrency;
    }
}

TEST(SuperStep, SiblingsThatOnlyReadPassWhateverTheStateHolds) {
    // NaN is not equal to itself; a state that holds one is still unchanged.
    const NodeFn reader = [](Value& s, const RunConfig&) {
        return Value{{"seen", {s["items"].back()}}};
    };
    StateGraph g(schema());
    g.add_node("fork", [](Value&, const RunConfig&) {
        return Value{{"items", {"q", Value::array({std::nan("")})}}, {"ratio", std::nan("")}};
    });
    g.add_node("a", reader);
    g.add_node("b", reader);
    g.set_entry_point("fork");
    g.add_edge("fork", "a");
    g.add_edge("fork", "b");
    const Value out = g.compile().invoke(Value::object(), with_concurrency(2));
    ASSERT_EQ(out["seen"].size(), 2u);
    EXPECT_TRUE(std::isnan(out["ratio"].get<double>()));
}

TEST(SuperStep, OnlySiblingsGetSnapshotsAndAloneANodeWorksOnTheHeldState) {
    Value held = {{"items", {"raw query"}}};
    std::vector<Task> alone = prepare_tasks({2}, held);
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_EQ(&state_for(alone[0], held), &held);

    std::vector<Task> pair = prepare_tasks({1, 3}, held);
    ASSERT_EQ(pair.size(), 2u);
    EXPECT_EQ(pair[0].node, 1);
    EXPECT_EQ(pair[1].node, 3);
    for (Task& task : pair) {
        EXPECT_NE(&state_for(task, held), &held);
        EXPECT_EQ(state_for(task, held), held);
    }
    state_for(pair[1], held)["items"].push_back("edited");
    EXPECT_EQ(held["items"].size(), 1u) << "a sibling's edit must not reach the held state";
}
