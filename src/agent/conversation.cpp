#include "zolviai/agent/conversation.hpp"

#include <algorithm>

namespace zolviai::agent {

std::vector<EarlierTurn> earlier_turns(const std::vector<state::ConversationTurn>& turns) {
    std::vector<EarlierTurn> out;
    out.reserve(turns.size());
    for (const auto& t : turns) {
        EarlierTurn e;
        e.question = t.question;
        e.understood_as = t.understood_as;
        e.sql = t.sql;
        e.row_count = t.row_count;
        e.columns = t.columns;
        e.outcome = t.outcome;
        out.push_back(std::move(e));
    }
    return out;
}

state::ConversationTurn turn_of(const Answer& a) {
    state::ConversationTurn t;
    t.question = a.question;
    t.understood_as = a.understood_as;
    t.sql = a.sql.value_or("");
    if (a.result) {
        t.row_count = std::max<std::int64_t>(a.result->total_rows,
                                             static_cast<std::int64_t>(a.result->rows.size()));
        for (const auto& c : a.result->columns)
            t.columns.push_back(c.name);
    }
    t.outcome = a.outcome;
    t.answer = a.text;
    return t;
}

ConversationAnswer ask_in_conversation(const Asker& asker, state::ConversationStore& store,
                                       const std::string& conversation_id, Question question,
                                       graph::Observer* observer) {
    ConversationAnswer out;
    if (conversation_id.empty()) {
        out.conversation_id = store.create();
    } else {
        out.conversation_id = conversation_id;
        const auto stored = store.turns(conversation_id);
        if (stored.size() >= store.limits().max_turns)
            throw state::ConversationFull(conversation_id, store.limits().max_turns);
        question.earlier_turns = earlier_turns(stored);
    }
    out.answer = asker.ask(question, observer);
    out.turn = store.append(out.conversation_id, turn_of(out.answer));
    return out;
}

Value conversation_json(const state::ConversationInfo& info,
                        const std::vector<state::ConversationTurn>& turns) {
    Value list = Value::array();
    for (const auto& t : turns) {
        list.push_back({{"turn", t.number},
                        {"question", t.question},
                        {"understood_as", t.understood_as},
                        {"sql", t.sql.empty() ? Value(nullptr) : Value(t.sql)},
                        {"row_count", t.row_count},
                        {"columns", t.columns},
                        {"outcome", t.outcome},
                        {"answer", t.answer.empty() ? Value(nullptr) : Value(t.answer)},
                        {"created_at", t.created_at}});
    }
    return {{"id", info.id},
            {"created_at", info.created_at},
            {"updated_at", info.updated_at},
            {"turns", std::move(list)}};
}

} // namespace zolviai::agent
