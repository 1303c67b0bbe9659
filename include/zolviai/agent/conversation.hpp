#pragma once

#include "zolviai/agent/asker.hpp"
#include "zolviai/state/conversations.hpp"

#include <string>
#include <vector>

// Questions asked as turns of a stored conversation: every face (server, command line, Python)
// continues a conversation through ask_in_conversation.
namespace zolviai::agent {

struct ConversationAnswer {
    std::string conversation_id;
    int turn = 0; // the turn's number in the conversation, 1 for the first
    Answer answer;
};

// Asks `question` as the next turn of conversation `conversation_id` ("" starts a new one):
// the stored turns become question.earlier_turns, and the answer is stored as a new turn
// whatever its outcome. ConversationNotFound and ConversationFull are raised before any
// model is asked; a failure of the question itself is in the answer, as Asker::ask gives it.
ConversationAnswer ask_in_conversation(const Asker& asker, state::ConversationStore& store,
                                       const std::string& conversation_id, Question question,
                                       graph::Observer* observer = nullptr);

// Stored turns as the follow-up step reads them.
std::vector<EarlierTurn> earlier_turns(const std::vector<state::ConversationTurn>& turns);

// The turn an answer makes.
state::ConversationTurn turn_of(const Answer& answer);

// {"id", "created_at", "updated_at", "turns": [{"turn", "question", "understood_as", "sql",
// "row_count", "columns", "outcome", "answer", "created_at"}]}; times in seconds since the epoch.
Value conversation_json(const state::ConversationInfo& info,
                        const std::vector<state::ConversationTurn>& turns);

} // namespace zolviai::agent
