// What a follow-up question costs beyond a first one: the extra model calls (the follow-up
// step, target exactly 1) and the time outside model calls (the store's reads and append, the
// follow-up prompt; target under 2 ms), with the conversation stored on SQLite and on
// PostgreSQL (ZOLVIAI_PG_URI). The scripted server answers at once on loopback; the reference,
// measured in the same run, is the follow-up's standalone question asked on its own, without a
// conversation or a store.
#include "support/chat_server.hpp"
#include "zolviai/agent/conversation.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/sql/script.hpp"

#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <spdlog/spdlog.h>
#include <unistd.h>

using namespace zolviai;
using Clock = std::chrono::steady_clock;

namespace {

class TimedModel : public llm::ChatModel {
public:
    explicit TimedModel(std::shared_ptr<llm::ChatModel> inner) : inner_(std::move(inner)) {}
    llm::ChatResult invoke(const std::vector<llm::Message>& messages,
                           const llm::CallOptions& options) const override {
        const auto start = Clock::now();
        auto result = inner_->invoke(messages, options);
        nanos += (Clock::now() - start).count();
        return result;
    }
    using llm::ChatModel::invoke;
    mutable std::atomic<long long> nanos{0};

private:
    std::shared_ptr<llm::ChatModel> inner_;
};

class Quiet : public ConsoleSink {
    void write_out(std::string_view) override {}
    void write_err(std::string_view) override {}
};

Value rule(const std::string& contains, Value answer) {
    return {{"match", {{"body_contains", contains}}}, {"answer", std::move(answer)}};
}
Value tool(Value arguments) {
    return {{"tool_arguments", std::move(arguments)}};
}

const char* kFirstSql = "SELECT COUNT(*) AS albums FROM album";
const char* kFollowSql = "SELECT COUNT(*) AS tracks FROM track";

void follow_up(benchmark::State& state, bool postgresql) {
    std::string state_uri;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("zolviai-bench-conv-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    if (postgresql) {
        const char* pg = std::getenv("ZOLVIAI_PG_URI");
        if (!pg || !*pg) {
            state.SkipWithError("ZOLVIAI_PG_URI is not set");
            return;
        }
        state_uri = pg;
    } else {
        state_uri = (dir / "state.db").string();
    }
    set_console_sink(std::make_shared<Quiet>());
    spdlog::set_level(spdlog::level::warn);
    sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql",
                              (dir / "sample.db").string());
    testing::ScriptedChatServer server;
    server.rules(Value::array(
        {rule("FollowUpQuestion", tool({{"standalone_question", "How many tracks are there?"},
                                        {"depends_on_earlier", true}})),
         rule("RelevantTablesOutput", tool({{"relevant_tables", {"album", "track"}}})),
         rule("How many tracks are there?", tool({{"sql_query", kFollowSql}})),
         rule("How many albums are there?", tool({{"sql_query", kFirstSql}})),
         rule("FROM track", {{"content", kFollowSql}}),
         rule("FROM album", {{"content", kFirstSql}})}));
    llm::ChatOpenAI::Options o;
    o.openai_api_key = "key";
    o.model = "gpt-4o";
    o.base_url = server.url() + "/v1";
    auto model = std::make_shared<TimedModel>(std::make_shared<llm::ChatOpenAI>(o));
    auto db = sql::CustomSQLDatabase::from_uri("sqlite:///" + (dir / "sample.db").string());
    const agent::Asker asker(std::make_shared<flow::SQLGraph>(db, model, model));
    state::ConversationStore store(state::Store::open(state_uri));

    double plain_other = 0, follow_other = 0, store_ns = 0;
    long plain_calls = 0, follow_calls = 0, rounds = 0;
    for (auto _ : state) {
        agent::Question q;
        q.mode = agent::RunMode::SqlOnly;
        q.text = "How many tracks are there?";
        long long model_before = model->nanos;
        auto start = Clock::now();
        const auto plain = asker.ask(q);
        plain_other += (Clock::now() - start).count() - (model->nanos - model_before);
        plain_calls += plain.usage.calls;

        q.text = "How many albums are there?";
        const auto first = agent::ask_in_conversation(asker, store, "", q);

        q.text = "and how many tracks?";
        model_before = model->nanos;
        start = Clock::now();
        const auto second = agent::ask_in_conversation(asker, store, first.conversation_id, q);
        follow_other += (Clock::now() - start).count() - (model->nanos - model_before);
        follow_calls += second.answer.usage.calls;
        if (second.answer.outcome != "answered" || plain.outcome != "answered") {
            state.SkipWithError("a question was not answered");
            break;
        }
        // The store's own part of a follow-up: read the turns, append one.
        start = Clock::now();
        store.turns(first.conversation_id);
        store.append(first.conversation_id, agent::turn_of(second.answer));
        store_ns += (Clock::now() - start).count();
        store.remove(first.conversation_id);
        ++rounds;
    }
    if (rounds > 0) {
        state.counters["extra_calls_per_follow_up"] =
            static_cast<double>(follow_calls - plain_calls) / rounds;
        state.counters["alone_ms_outside_models"] = plain_other / rounds / 1e6;
        state.counters["follow_up_ms_outside_models"] = follow_other / rounds / 1e6;
        state.counters["added_ms_beyond_the_call"] = (follow_other - plain_other) / rounds / 1e6;
        state.counters["store_read_and_append_ms"] = store_ns / rounds / 1e6;
    }
    set_console_sink(nullptr);
    std::filesystem::remove_all(dir);
}

} // namespace

BENCHMARK_CAPTURE(follow_up, sqlite_state, false)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_CAPTURE(follow_up, postgresql_state, true)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
