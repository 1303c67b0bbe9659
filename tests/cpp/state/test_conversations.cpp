// Stored conversations: ids, turns in order, limits, expiry and deletion, on both engines.
#include "state/state_test_support.hpp"
#include "zolviai/state/conversations.hpp"

#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace zolviai::state {
namespace {

using testing::ScratchStateDatabase;
using testing::StateTempDir;

class ConversationsOnEngine : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "postgresql") {
            pg_ = std::make_unique<ScratchStateDatabase>();
            if (pg_->uri().empty())
                GTEST_FAIL() << "ZOLVIAI_PG_URI is not set";
            uri_ = pg_->uri();
        } else {
            uri_ = dir_.path() + "/state.db";
        }
    }
    ConversationStore store(ConversationLimits limits = {}) {
        return ConversationStore(Store::open(uri_), limits, [this] { return clock_; });
    }

    StateTempDir dir_;
    std::unique_ptr<ScratchStateDatabase> pg_;
    std::string uri_;
    std::int64_t clock_ = 1'700'000'000;
};

ConversationTurn turn(const std::string& question) {
    ConversationTurn t;
    t.question = question;
    t.understood_as = question + " (standing alone)";
    t.sql = "SELECT '" + question + "'";
    t.row_count = 3;
    t.columns = {"a", "b"};
    t.outcome = "answered";
    t.answer = "three rows";
    return t;
}

TEST_P(ConversationsOnEngine, TurnsComeBackInOrderWithEverythingStored) {
    auto s = store();
    const std::string id = s.create();
    EXPECT_TRUE(ConversationStore::valid_id(id)) << id;
    EXPECT_TRUE(s.turns(id).empty());
    EXPECT_EQ(s.append(id, turn("first")), 1);
    clock_ += 5;
    EXPECT_EQ(s.append(id, turn("second")), 2);
    const auto turns = s.turns(id);
    ASSERT_EQ(turns.size(), 2u);
    EXPECT_EQ(turns[0].question, "first");
    EXPECT_EQ(turns[1].question, "second");
    EXPECT_EQ(turns[1].number, 2);
    EXPECT_EQ(turns[1].understood_as, "second (standing alone)");
    EXPECT_EQ(turns[1].sql, "SELECT 'second'");
    EXPECT_EQ(turns[1].row_count, 3);
    EXPECT_EQ(turns[1].columns, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(turns[1].answer, "three rows");
    EXPECT_EQ(turns[1].created_at, clock_);
    const auto info = s.find(id);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->turn_count, 2);
    EXPECT_EQ(info->updated_at, clock_);
    // Other conversations are apart.
    const std::string other = s.create();
    EXPECT_NE(other, id);
    EXPECT_TRUE(s.turns(other).empty());
}

TEST_P(ConversationsOnEngine, LimitsExpiryAndDeletion) {
    ConversationLimits limits;
    limits.max_turns = 3;
    limits.max_age = std::chrono::seconds(600);
    auto s = store(limits);
    const std::string full = s.create();
    for (int i = 0; i < 3; ++i)
        s.append(full, turn("q" + std::to_string(i)));
    EXPECT_THROW(s.append(full, turn("one too many")), ConversationFull);
    EXPECT_EQ(s.turns(full).size(), 3u);

    const std::string old = s.create();
    s.append(old, turn("old"));
    clock_ += 400;
    const std::string kept = s.create();
    s.append(kept, turn("kept"));
    clock_ += 300; // old and full were last used 700 s ago, kept 300 s ago
    // Expired conversations read as gone before the sweep deletes them.
    EXPECT_FALSE(s.find(old));
    EXPECT_THROW(s.turns(old), ConversationNotFound);
    EXPECT_THROW(s.append(old, turn("late")), ConversationNotFound);
    EXPECT_TRUE(s.find(kept));
    EXPECT_EQ(s.sweep(), 2u);
    EXPECT_EQ(s.store().query("SELECT COUNT(*) FROM zolviai_conversation_turns")[0][0], 1);
    EXPECT_EQ(s.store().query("SELECT COUNT(*) FROM zolviai_conversations")[0][0], 1);

    EXPECT_TRUE(s.remove(kept));
    EXPECT_FALSE(s.remove(kept));
    EXPECT_THROW(s.turns(kept), ConversationNotFound);
    EXPECT_EQ(s.store().query("SELECT COUNT(*) FROM zolviai_conversation_turns")[0][0], 0);
    // Text that is not an id never reaches a statement.
    for (const std::string bad : {"", "ABCDEF0123456789ABCDEF0123456789", "1' OR '1'='1", "x"}) {
        EXPECT_FALSE(s.find(bad)) << bad;
        EXPECT_FALSE(s.remove(bad)) << bad;
    }
}

// Two stores on one database stand for two server processes appending to one conversation.
TEST_P(ConversationsOnEngine, ConcurrentAppendsGetDistinctNumbers) {
    auto a = store();
    auto b = store();
    const std::string id = a.create();
    constexpr int each = 15;
    std::vector<int> numbers_a, numbers_b;
    std::thread ta([&] {
        for (int i = 0; i < each; ++i)
            numbers_a.push_back(a.append(id, turn("a" + std::to_string(i))));
    });
    std::thread tb([&] {
        for (int i = 0; i < each; ++i)
            numbers_b.push_back(b.append(id, turn("b" + std::to_string(i))));
    });
    ta.join();
    tb.join();
    std::set<int> all(numbers_a.begin(), numbers_a.end());
    all.insert(numbers_b.begin(), numbers_b.end());
    EXPECT_EQ(all.size(), 2u * each);
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), 2 * each);
    const auto turns = a.turns(id);
    ASSERT_EQ(turns.size(), 2u * each);
    for (std::size_t i = 0; i < turns.size(); ++i)
        EXPECT_EQ(turns[i].number, static_cast<int>(i + 1));
}

TEST(ConversationIds, AreRandomAndDistinct) {
    StateTempDir dir;
    ConversationStore s(Store::open(dir.path() + "/state.db"));
    std::set<std::string> ids;
    for (int i = 0; i < 200; ++i)
        ids.insert(s.create());
    EXPECT_EQ(ids.size(), 200u);
    // Every hex digit shows up across the ids: they are not a counter.
    std::set<char> digits;
    for (const auto& id : ids)
        digits.insert(id.begin(), id.end());
    EXPECT_EQ(digits.size(), 16u);
}

INSTANTIATE_TEST_SUITE_P(Engines, ConversationsOnEngine, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

} // namespace
} // namespace zolviai::state
