#include "zolviai/state/conversations.hpp"

#include <cstdio>
#include <sys/random.h>

namespace zolviai::state {
namespace {

// Version 1: conversations and their turns.
const std::vector<std::string>& migrations() {
    static const std::vector<std::string> steps = {
        "CREATE TABLE zolviai_conversations ("
        " id TEXT PRIMARY KEY,"
        " created_at BIGINT NOT NULL,"
        " updated_at BIGINT NOT NULL,"
        " turn_count INTEGER NOT NULL DEFAULT 0);"
        "CREATE INDEX zolviai_conversations_updated ON zolviai_conversations (updated_at);"
        "CREATE TABLE zolviai_conversation_turns ("
        " conversation_id TEXT NOT NULL REFERENCES zolviai_conversations (id) ON DELETE CASCADE,"
        " turn INTEGER NOT NULL,"
        " question TEXT NOT NULL,"
        " understood_as TEXT NOT NULL,"
        " sql_text TEXT NOT NULL,"
        " row_count BIGINT NOT NULL,"
        " columns_json TEXT NOT NULL,"
        " outcome TEXT NOT NULL,"
        " answer TEXT NOT NULL,"
        " created_at BIGINT NOT NULL,"
        " PRIMARY KEY (conversation_id, turn))",
    };
    return steps;
}

std::string random_id() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw IoError("cannot read random bytes for a conversation id");
        }
        got += static_cast<std::size_t>(n);
    }
    char hex[33];
    for (std::size_t i = 0; i < sizeof bytes; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    return std::string(hex, 32);
}

std::int64_t integer(const Value& v) {
    return v.is_number() ? v.get<std::int64_t>() : 0;
}

std::string text(const Value& v) {
    return v.is_string() ? v.get<std::string>() : "";
}

} // namespace

ConversationStore::ConversationStore(std::shared_ptr<Store> store, ConversationLimits limits,
                                     Clock clock)
    : store_(std::move(store)), limits_(limits), clock_(std::move(clock)) {
    if (!store_)
        throw TypeError("the conversation store needs a state database");
    store_->migrate("conversations", migrations());
}

bool ConversationStore::valid_id(const std::string& id) {
    if (id.size() != 32)
        return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

std::int64_t ConversationStore::now() const {
    if (clock_)
        return clock_();
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string ConversationStore::create() {
    sweep();
    const std::string id = random_id();
    const std::int64_t t = now();
    store_->execute("INSERT INTO zolviai_conversations (id, created_at, updated_at, turn_count) "
                    "VALUES ($1, $2, $2, 0)",
                    {id, t});
    return id;
}

std::optional<ConversationInfo> ConversationStore::find_live(const std::string& id, bool lock) {
    if (!valid_id(id))
        return std::nullopt;
    const bool row_lock = lock && store_->engine() == Store::Engine::Postgresql;
    const Rows r = store_->query(
        std::string("SELECT id, created_at, updated_at, turn_count FROM zolviai_conversations "
                    "WHERE id = $1 AND updated_at >= $2") +
            (row_lock ? " FOR UPDATE" : ""),
        {id, now() - static_cast<std::int64_t>(limits_.max_age.count())});
    if (r.empty())
        return std::nullopt;
    ConversationInfo info;
    info.id = text(r[0][0]);
    info.created_at = integer(r[0][1]);
    info.updated_at = integer(r[0][2]);
    info.turn_count = static_cast<int>(integer(r[0][3]));
    return info;
}

std::optional<ConversationInfo> ConversationStore::find(const std::string& id) {
    return find_live(id, false);
}

std::vector<ConversationTurn> ConversationStore::turns(const std::string& id) {
    if (!valid_id(id))
        throw ConversationNotFound(id);
    // One round trip: the conversation (which must be live) and its turns.
    const Rows r = store_->query(
        "SELECT c.id, t.turn, t.question, t.understood_as, t.sql_text, t.row_count, "
        "t.columns_json, t.outcome, t.answer, t.created_at FROM zolviai_conversations c "
        "LEFT JOIN zolviai_conversation_turns t ON t.conversation_id = c.id "
        "WHERE c.id = $1 AND c.updated_at >= $2 ORDER BY t.turn",
        {id, now() - static_cast<std::int64_t>(limits_.max_age.count())});
    if (r.empty())
        throw ConversationNotFound(id);
    std::vector<ConversationTurn> out;
    out.reserve(r.size());
    for (const auto& row : r.rows) {
        if (row[1].is_null())
            continue; // a conversation without turns yet
        ConversationTurn t;
        t.number = static_cast<int>(integer(row[1]));
        t.question = text(row[2]);
        t.understood_as = text(row[3]);
        t.sql = text(row[4]);
        t.row_count = integer(row[5]);
        const Value columns = Value::parse(text(row[6]), nullptr, false);
        if (columns.is_array())
            for (const auto& c : columns)
                if (c.is_string())
                    t.columns.push_back(c.get<std::string>());
        t.outcome = text(row[7]);
        t.answer = text(row[8]);
        t.created_at = integer(row[9]);
        out.push_back(std::move(t));
    }
    return out;
}

int ConversationStore::append(const std::string& id, ConversationTurn turn) {
    const std::int64_t t = now();
    const std::int64_t cutoff = t - static_cast<std::int64_t>(limits_.max_age.count());
    const std::vector<Param> params = {id,
                                       turn.question,
                                       turn.understood_as,
                                       turn.sql,
                                       turn.row_count,
                                       Value(turn.columns).dump(),
                                       turn.outcome,
                                       turn.answer,
                                       t,
                                       cutoff,
                                       static_cast<std::int64_t>(limits_.max_turns)};
    int number = 0;
    if (store_->engine() == Store::Engine::Postgresql) {
        // One statement, one round trip: the UPDATE locks the conversation's row, so two
        // servers appending at once get consecutive numbers.
        const Rows r = store_->query(
            "WITH c AS (UPDATE zolviai_conversations SET turn_count = turn_count + 1, "
            "updated_at = $9::bigint WHERE id = $1::text AND updated_at >= $10::bigint AND "
            "turn_count < $11::bigint "
            "RETURNING turn_count) "
            "INSERT INTO zolviai_conversation_turns (conversation_id, turn, question, "
            "understood_as, sql_text, row_count, columns_json, outcome, answer, created_at) "
            "SELECT $1::text, c.turn_count, $2::text, $3::text, $4::text, $5::bigint, $6::text, "
            "$7::text, $8::text, $9::bigint FROM c RETURNING turn",
            params);
        if (!r.empty())
            return static_cast<int>(integer(r[0][0]));
    } else {
        store_->transaction([&] {
            const auto info = find_live(id, false);
            if (!info || static_cast<std::size_t>(info->turn_count) >= limits_.max_turns)
                return;
            number = info->turn_count + 1;
            store_->execute(
                "INSERT INTO zolviai_conversation_turns (conversation_id, turn, question, "
                "understood_as, sql_text, row_count, columns_json, outcome, answer, created_at) "
                "VALUES ($1, $12, $2, $3, $4, $5, $6, $7, $8, $9)",
                [&] {
                    auto p = params;
                    p.push_back(number);
                    return p;
                }());
            store_->execute("UPDATE zolviai_conversations SET turn_count = $2, updated_at = $3 "
                            "WHERE id = $1",
                            {id, number, t});
        });
        if (number > 0)
            return number;
    }
    // Nothing appended: say why.
    if (!find(id))
        throw ConversationNotFound(id);
    throw ConversationFull(id, limits_.max_turns);
}

bool ConversationStore::remove(const std::string& id) {
    if (!valid_id(id))
        return false;
    long removed = 0;
    store_->transaction([&] {
        store_->execute("DELETE FROM zolviai_conversation_turns WHERE conversation_id = $1", {id});
        removed = store_->execute("DELETE FROM zolviai_conversations WHERE id = $1", {id});
    });
    return removed > 0;
}

std::size_t ConversationStore::sweep() {
    const std::int64_t cutoff = now() - static_cast<std::int64_t>(limits_.max_age.count());
    long removed = 0;
    store_->transaction([&] {
        store_->execute("DELETE FROM zolviai_conversation_turns WHERE conversation_id IN (SELECT "
                        "id FROM zolviai_conversations WHERE updated_at < $1)",
                        {cutoff});
        removed =
            store_->execute("DELETE FROM zolviai_conversations WHERE updated_at < $1", {cutoff});
    });
    return static_cast<std::size_t>(removed);
}

} // namespace zolviai::state
