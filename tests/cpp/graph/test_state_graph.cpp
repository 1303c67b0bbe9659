#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/graph/state_graph.hpp"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace zolviai;
using namespace zolviai::graph;

namespace {

StateSchema test_schema() {
    return StateSchema({{"text", MergeRule::Replace, {}},
                        {"count", MergeRule::Add, {}},
                        {"items", MergeRule::Concatenate, {}},
                        {"other", MergeRule::Replace, {}},
                        {"bound", MergeRule::Replace, Value(3)}});
}

NodeFn returns(Value update) {
    return [update](Value&, const RunConfig&) { return update; };
}

class Recorder : public Observer {
public:
    void on_node_start(std::string_view node, int step) override {
        std::lock_guard lock(mutex);
        started.emplace_back(node);
        steps.push_back(step);
    }
    void on_node_end(std::string_view node, int, std::chrono::nanoseconds elapsed,
                     bool failed) override {
        std::lock_guard lock(mutex);
        ended.emplace_back(node);
        failures += failed;
        EXPECT_GE(elapsed.count(), 0);
    }
    std::mutex mutex;
    std::vector<std::string> started, ended;
    std::vector<int> steps;
    int failures = 0;
};

} // namespace

TEST(StateSchema, MergeRulesAbsentFieldsAndUnknownKeys) {
    const StateSchema schema = test_schema();
    Value state = schema.initial_state();
    // A run starts with the add counter at 0 and fields with an initial value; nothing else.
    EXPECT_EQ(state, Value({{"count", 0}, {"bound", 3}}));

    for (int i = 0; i < 3; ++i) {
        schema.merge(state, {{"count", 1}});
    }
    schema.merge(state, {{"count", 0}});
    EXPECT_EQ(state["count"], 3);

    schema.merge(state, {{"items", {"q1"}}});
    schema.merge(state, {{"items", {"q2"}}});
    EXPECT_EQ(state["items"], Value({"q1", "q2"})) << "concatenation keeps order, newest last";

    const Value before = state;
    schema.merge(state, {{"python_generation_prompt_type", "x"}});
    schema.merge(state, nullptr);
    schema.merge(state, Value::object());
    EXPECT_EQ(state, before) << "unknown keys and empty updates change nothing";

    schema.merge(state, {{"text", "a"}});
    schema.merge(state, {{"text", nullptr}});
    EXPECT_TRUE(state.contains("text")) << "null is a value, not absence";
    EXPECT_TRUE(state["text"].is_null());
}

TEST(StateSchema, OperandsARuleCannotCombineAreTypeErrors) {
    const StateSchema schema = test_schema();
    Value state = schema.initial_state();
    EXPECT_THROW(schema.merge(state, {{"count", "one"}}), TypeError);
    schema.merge(state, {{"items", {"a"}}});
    EXPECT_THROW(schema.merge(state, {{"items", "b"}}), TypeError);
    EXPECT_THROW(schema.merge(state, Value::array({1})), InvalidUpdateError);
}

TEST(StateSchema, GetFieldNamesTheMissingField) {
    const Value state = {{"present", 1}};
    EXPECT_EQ(get_field(state, "present"), 1);
    try {
        get_field(state, "pandas_code");
        FAIL() << "expected MissingFieldError";
    } catch (const MissingFieldError& e) {
        EXPECT_EQ(e.field(), "pandas_code");
        EXPECT_NE(std::string(e.what()).find("pandas_code"), std::string::npos);
    }
}

TEST(StateGraph, RunsAChainAndReturnsOnlyFieldsWithValuesInDeclaredOrder) {
    StateGraph g(test_schema());
    g.add_node("a", returns({{"items", {"x"}}, {"count", 1}}));
    g.add_node("b", returns({{"text", "done"}, {"not_a_field", 1}}));
    g.set_entry_point("a");
    g.add_edge("a", "b");
    g.add_edge("b", END);
    const Value out = g.compile().invoke({{"other", "in"}});
    EXPECT_EQ(out.dump(), R"({"text":"done","count":1,"items":["x"],"other":"in","bound":3})");
}

TEST(StateGraph, NodesShareHeldListsInPlace) {
    StateGraph g(test_schema());
    g.add_node("append", returns({{"items", {"raw query"}}}));
    g.add_node("edit", [](Value& state, const RunConfig&) {
        state["items"].back() = "checked query"; // changed in place, empty update
        return Value::object();
    });
    g.add_node("read", [](Value& state, const RunConfig&) {
        return Value{{"text", state["items"].back()}};
    });
    g.set_entry_point("append");
    g.add_edge("append", "edit");
    g.add_edge("edit", "read");
    const Value out = g.compile().invoke(Value::object());
    EXPECT_EQ(out["items"], Value({"checked query"}));
    EXPECT_EQ(out["text"], "checked query");
}

TEST(StateGraph, PlainAndConditionalEdgesOfOneNodeBothFireInTheSameStep) {
    StateGraph g(test_schema());
    g.add_node("source", returns({{"text", "go"}}));
    g.add_node("plain", returns({{"items", {"plain"}}}));
    g.add_node("routed", returns({{"other", "routed"}}));
    g.set_entry_point("source");
    g.add_edge("source", "plain");
    g.add_conditional_edges("source", [](const Value& s) { return s["text"].get<std::string>(); },
                            {{"go", "routed"}, {"stop", END}});
    Recorder rec;
    const Value out = g.compile().invoke(Value::object(), {}, &rec);
    EXPECT_EQ(out["items"], Value({"plain"}));
    EXPECT_EQ(out["other"], "routed");
    ASSERT_EQ(rec.steps.size(), 3u);
    EXPECT_EQ(rec.steps[1], 1);
    EXPECT_EQ(rec.steps[2], 1) << "both targets run in super-step 1";
}

TEST(StateGraph, NodesOfOneStepSeeTheStateBeforeEachOthersUpdates) {
    StateGraph g(test_schema());
    g.add_node("fork", returns({{"text", "before"}}));
    g.add_node("left", [](Value& s, const RunConfig&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return Value{{"other", s["text"]}};
    });
    g.add_node("right", returns({{"text", "after"}, {"count", 5}}));
    g.set_entry_point("fork");
    g.add_edge("fork", "left");
    g.add_edge("fork", "right");
    for (int concurrency : {1, 20}) {
        RunConfig config;
        config.max_concurrency = concurrency;
        const Value out = g.compile().invoke(Value::object(), config);
        EXPECT_EQ(out["other"], "before") << "max_concurrency " << concurrency;
        EXPECT_EQ(out["text"], "after");
        EXPECT_EQ(out["count"], 5);
    }
}

TEST(StateGraph, SiblingNodesRunSideBySideUpToMaxConcurrency) {
    StateGraph g(test_schema());
    std::atomic<int> running{0}, peak{0};
    auto worker = [&](Value&, const RunConfig&) {
        const int now = ++running;
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        --running;
        return Value{{"count", 1}};
    };
    g.add_node("fork", returns(Value::object()));
    for (const char* name : {"w1", "w2", "w3", "w4"}) {
        g.add_node(name, worker);
        g.add_edge("fork", name);
    }
    g.set_entry_point("fork");
    RunConfig config;
    config.max_concurrency = 2;
    const Value out = g.compile().invoke(Value::object(), config);
    EXPECT_EQ(out["count"], 4) << "every add-rule write is folded in";
    EXPECT_EQ(peak.load(), 2);
}

TEST(StateGraph, TwoReplaceWritesInOneStepAreRejected) {
    StateGraph g(test_schema());
    g.add_node("fork", returns(Value::object()));
    g.add_node("x", returns({{"text", "from x"}, {"count", 1}}));
    g.add_node("y", returns({{"text", "from y"}, {"count", 1}}));
    g.set_entry_point("fork");
    g.add_edge("fork", "x");
    g.add_edge("fork", "y");
    try {
        g.compile().invoke(Value::object());
        FAIL() << "expected InvalidUpdateError";
    } catch (const InvalidUpdateError& e) {
        const std::string msg = e.what();
        EXPECT_NE(msg.find("'text'"), std::string::npos) << msg;
        EXPECT_NE(msg.find("one value per step"), std::string::npos) << msg;
    }
}

TEST(StateGraph, LoopBeyondTheRecursionLimitStops) {
    StateGraph g(test_schema());
    g.add_node("spin", returns({{"count", 1}}));
    g.set_entry_point("spin");
    g.add_conditional_edges(
        "spin", [](const Value& s) { return s["count"].get<int>() < 1000 ? "again" : "done"; },
        {{"again", "spin"}, {"done", END}});
    const CompiledGraph compiled = g.compile();
    RunConfig config;
    config.recursion_limit = 7;
    try {
        compiled.invoke(Value::object(), config);
        FAIL() << "expected GraphRecursionError";
    } catch (const GraphRecursionError& e) {
        EXPECT_NE(std::string(e.what()).find("Recursion limit of 7 reached"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("recursion_limit"), std::string::npos);
    }
    // Exactly the limit is allowed.
    StateGraph h(test_schema());
    h.add_node("spin", returns({{"count", 1}}));
    h.set_entry_point("spin");
    h.add_conditional_edges(
        "spin", [](const Value& s) { return s["count"].get<int>() < 7 ? "again" : "done"; },
        {{"again", "spin"}, {"done", END}});
    EXPECT_EQ(h.compile().invoke(Value::object(), config)["count"], 7);
}

TEST(StateGraph, InterruptBeforeEndsTheRunWithTheStateSoFar) {
    // a loops until count reaches 3, then hands over to b, which must not run.
    StateGraph g(test_schema());
    g.add_node("a", returns({{"count", 1}}));
    g.add_node("b", returns({{"text", "b ran"}}));
    g.set_entry_point("a");
    g.add_conditional_edges(
        "a", [](const Value& s) { return s["count"].get<int>() < 3 ? "again" : "next"; },
        {{"again", "a"}, {"next", "b"}});
    g.add_edge("b", END);
    const CompiledGraph compiled = g.compile();
    RunConfig config;
    config.interrupt_before = {"b"};
    Recorder recorder;
    const Value state = compiled.invoke(Value::object(), config, &recorder);
    EXPECT_EQ(state["count"], 3);
    EXPECT_FALSE(state.contains("text"));
    EXPECT_EQ(recorder.started, (std::vector<std::string>{"a", "a", "a"}));
    // A name the run never reaches changes nothing; the entry node itself can be named.
    config.interrupt_before = {"elsewhere"};
    EXPECT_EQ(compiled.invoke(Value::object(), config)["text"], "b ran");
    config.interrupt_before = {"a"};
    EXPECT_EQ(compiled.invoke(Value::object(), config)["count"], 0);
}

TEST(StateGraph, WiringErrorsNameTheProblem) {
    struct Case {
        const char* what;
        std::function<void(StateGraph&)> wire;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"no entry point", [](StateGraph&) {}, "entry point"},
        {"unknown entry", [](StateGraph& g) { g.set_entry_point("ghost"); }, "'ghost'"},
        {"edge from unknown",
         [](StateGraph& g) {
             g.set_entry_point("a");
             g.add_edge("nowhere", "a");
         },
         "unknown node 'nowhere'"},
        {"edge to unknown",
         [](StateGraph& g) {
             g.set_entry_point("a");
             g.add_edge("a", "elsewhere");
         },
         "unknown node 'elsewhere'"},
        {"mapped to unknown",
         [](StateGraph& g) {
             g.set_entry_point("a");
             g.add_conditional_edges("a", [](const Value&) { return "x"; }, {{"x", "nobody"}});
         },
         "unknown node 'nobody'"},
    };
    for (const auto& c : cases) {
        StateGraph g(test_schema());
        g.add_node("a", returns(Value::object()));
        c.wire(g);
        try {
            g.compile();
            ADD_FAILURE() << c.what << ": compiled";
        } catch (const GraphWiringError& e) {
            EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos)
                << c.what << ": " << e.what();
        }
    }
    StateGraph g(test_schema());
    g.add_node("a", returns(Value::object()));
    EXPECT_THROW(g.add_node("a", returns(Value::object())), GraphWiringError);
    EXPECT_THROW(g.add_node(END, returns(Value::object())), GraphWiringError);
    EXPECT_THROW(g.add_node("text", returns(Value::object())), GraphWiringError);
}

TEST(StateGraph, UnmappedLabelEndsTheRunNamingNodeAndLabel) {
    StateGraph g(test_schema());
    g.add_node("a", returns(Value::object()));
    g.set_entry_point("a");
    g.add_conditional_edges("a", [](const Value&) { return "surprise"; }, {{"known", END}});
    try {
        g.compile().invoke(Value::object());
        FAIL() << "expected GraphWiringError";
    } catch (const GraphWiringError& e) {
        const std::string msg = e.what();
        EXPECT_NE(msg.find("'a'"), std::string::npos) << msg;
        EXPECT_NE(msg.find("'surprise'"), std::string::npos) << msg;
    }
}

TEST(StateGraph, NodeErrorsPropagateUnchangedAndTheObserverSeesThem) {
    StateGraph g(test_schema());
    g.add_node("reader", [](Value& s, const RunConfig&) {
        return Value{{"text", get_field(s, "other")}};
    });
    g.set_entry_point("reader");
    Recorder rec;
    EXPECT_THROW(g.compile().invoke(Value::object(), {}, &rec), MissingFieldError);
    EXPECT_EQ(rec.failures, 1);
    EXPECT_EQ(rec.ended, std::vector<std::string>{"reader"});
}

// An observer that stops a run (a cancelled question) fails the node it was told about, also
// on the threads of a step that runs several nodes side by side, and the node never runs.
TEST(StateGraph, AnObserverThatThrowsFailsTheNodeInsteadOfTheProcess) {
    class Stopper : public Observer {
    public:
        void on_node_start(std::string_view node, int) override {
            if (node != "fork") {
                throw TimeoutError("stopped by the observer");
            }
        }
    };
    StateGraph g(test_schema());
    std::atomic<int> ran{0};
    g.add_node("fork", returns(Value::object()));
    for (const char* name : {"w1", "w2"}) {
        g.add_node(name, [&](Value&, const RunConfig&) {
            ++ran;
            return Value{{"count", 1}};
        });
        g.add_edge("fork", name);
    }
    g.set_entry_point("fork");
    for (int concurrency : {1, 2}) {
        RunConfig config;
        config.max_concurrency = concurrency;
        Stopper stopper;
        EXPECT_THROW(g.compile().invoke(Value::object(), config, &stopper), TimeoutError)
            << "max_concurrency " << concurrency;
    }
    EXPECT_EQ(ran.load(), 0);
}

TEST(StateGraph, InputMustBeAMapAndConfigReachesNodes) {
    StateGraph g(test_schema());
    g.add_node("a", [](Value&, const RunConfig& config) {
        return Value{{"text", config.tags.at(0)}};
    });
    g.set_entry_point("a");
    const CompiledGraph compiled = g.compile();
    for (const Value& bad : {Value(nullptr), Value("text"), Value::array()}) {
        EXPECT_THROW(compiled.invoke(bad), TypeError) << bad.dump();
    }
    RunConfig config = RunConfig::from_value({{"metadata", nullptr},
                                              {"tags", {"flow_graph"}},
                                              {"max_concurrency", 20},
                                              {"recursion_limit", 50}});
    EXPECT_EQ(compiled.invoke(Value::object(), config)["text"], "flow_graph");
    EXPECT_EQ(
        config.to_value().dump(),
        R"({"metadata":null,"tags":["flow_graph"],"max_concurrency":20,"recursion_limit":50})");
    EXPECT_THROW(RunConfig::from_value({{"tags", "x"}}), TypeError);
    EXPECT_THROW(RunConfig::from_value({{"recursion_limit", "50"}}), TypeError);
}

// A caller that took its thread's printed lines gets those of every node of its run, also of
// nodes that ran on threads of their own.
TEST(StateGraph, SiblingNodesPrintToTheCallersThreadSink) {
    class Lines : public ConsoleSink {
    public:
        void write_out(std::string_view text) override {
            std::lock_guard lock(mutex);
            out.emplace_back(text);
        }
        void write_err(std::string_view) override {}
        std::mutex mutex;
        std::vector<std::string> out;
    };
    StateGraph g(test_schema());
    auto says = [](const char* line) {
        return [line](Value&, const RunConfig&) {
            print_out(line);
            return Value{{"count", 1}};
        };
    };
    g.add_node("fork", returns({{"text", "go"}}));
    for (const char* name : {"a", "b", "c"}) {
        g.add_node(name, says(name));
        g.add_edge("fork", name);
    }
    g.set_entry_point("fork");
    auto process = std::make_shared<Lines>();
    auto mine = std::make_shared<Lines>();
    set_console_sink(process);
    Value out;
    {
        const ThreadSinkScope scope(mine);
        RunConfig config;
        config.max_concurrency = 3;
        out = g.compile().invoke(Value::object(), config);
    }
    set_console_sink(nullptr);
    std::sort(mine->out.begin(), mine->out.end());
    EXPECT_EQ(mine->out, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(process->out.empty());
    EXPECT_EQ(out["count"], 3);
}
