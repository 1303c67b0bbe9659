#pragma once

#include "zolviai/core/error.hpp"
#include "zolviai/state/store.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zolviai::state {

// No conversation has that id (or it expired and counts as gone).
class ConversationNotFound : public Error {
public:
    explicit ConversationNotFound(const std::string& id)
        : Error("no conversation " + id + " (it never existed, was deleted or expired)") {}
    ErrorKind kind() const override { return ErrorKind::Key; }
};

// The conversation holds as many turns as the limit allows; a new one must be started.
class ConversationFull : public Error {
public:
    ConversationFull(const std::string& id, std::size_t limit)
        : Error("conversation " + id + " has reached its limit of " + std::to_string(limit) +
                " turns: start a new conversation") {}
    ErrorKind kind() const override { return ErrorKind::Value; }
};

// One question and what became of it.
struct ConversationTurn {
    int number = 0;            // 1 for the first turn
    std::string question;      // as asked
    std::string understood_as; // as the engine made it stand alone
    std::string sql;           // the final statement; "" when none ran
    std::int64_t row_count = 0;
    std::vector<std::string> columns;
    std::string outcome;         // the answer's outcome word
    std::string answer;          // the written answer ("" for SQL-only runs)
    std::int64_t created_at = 0; // seconds since the epoch
};

struct ConversationInfo {
    std::string id;
    std::int64_t created_at = 0;
    std::int64_t updated_at = 0; // the last turn's time (or the creation's)
    int turn_count = 0;
};

// Limits of the conversations a store keeps.
struct ConversationLimits {
    std::size_t max_turns = 50;                                // turns per conversation
    std::chrono::seconds max_age = std::chrono::hours(24 * 7); // since the last turn
};

// Conversations kept in the state database, so that they survive a restart and several
// servers on one PostgreSQL database continue each other's. Ids are 128 random bits in hex.
// A conversation untouched for longer than max_age is expired: it reads as missing, and
// sweep() (run on every create()) deletes it.
class ConversationStore {
public:
    using Clock = std::function<std::int64_t()>; // seconds since the epoch

    // Migrates the tables. clock: null for the system clock (tests pass their own).
    explicit ConversationStore(std::shared_ptr<Store> store, ConversationLimits limits = {},
                               Clock clock = nullptr);

    // A new, empty conversation's id.
    std::string create();
    // The conversation, or none when it does not exist or expired.
    std::optional<ConversationInfo> find(const std::string& id);
    // Its turns, oldest first; ConversationNotFound when there is no such conversation.
    std::vector<ConversationTurn> turns(const std::string& id);
    // Appends a turn (its number and time are set here) in one transaction; returns the
    // turn's number. ConversationNotFound, ConversationFull.
    int append(const std::string& id, ConversationTurn turn);
    // Deletes a conversation and its turns; false when there was none.
    bool remove(const std::string& id);
    // Deletes every expired conversation; the number deleted.
    std::size_t sweep();

    const ConversationLimits& limits() const { return limits_; }
    Store& store() { return *store_; }

    // Whether text has the form of an id (32 lowercase hex digits).
    static bool valid_id(const std::string& id);

private:
    std::int64_t now() const;
    std::optional<ConversationInfo> find_live(const std::string& id, bool lock);

    std::shared_ptr<Store> store_;
    ConversationLimits limits_;
    Clock clock_;
};

} // namespace zolviai::state
