#include "zolviai/flow/follow_up.hpp"

#include "zolviai/prompts/conversation_prompts.hpp"

namespace zolviai::flow {

using llm::FieldType;

const llm::RecordSchema& FollowUpQuestion() {
    static const llm::RecordSchema s{
        "FollowUpQuestion",
        "The user's new question rewritten to stand alone",
        {{"standalone_question", FieldType::Text,
          "The new question rewritten so that it can be understood without the conversation, "
          "in the user's words where possible; the question unchanged when it does not build on "
          "the earlier turns",
          std::nullopt},
         {"depends_on_earlier", FieldType::Boolean,
          "Whether the new question builds on the earlier turns", std::nullopt}}};
    return s;
}

FollowUpRewriter::FollowUpRewriter(ChatModelPtr model)
    : model_(llm::with_structured_output(std::move(model), FollowUpQuestion())) {}

std::vector<llm::Message> FollowUpRewriter::generate_messages(const std::vector<EarlierTurn>& turns,
                                                              const std::string& question) const {
    std::string text(prompts::FOLLOW_UP_TURNS_HEADER);
    const std::size_t first = turns.size() > max_turns_shown ? turns.size() - max_turns_shown : 0;
    for (std::size_t i = first; i < turns.size(); ++i) {
        const EarlierTurn& t = turns[i];
        text += "\n\nQuestion: " + t.question;
        if (!t.understood_as.empty() && t.understood_as != t.question) {
            text += "\nUnderstood as: " + t.understood_as;
        }
        if (!t.sql.empty()) {
            text += "\nSQL: " + t.sql;
        }
        if (t.outcome == "answered") {
            std::string columns;
            for (const auto& c : t.columns) {
                columns += (columns.empty() ? "" : ", ") + c;
            }
            text += "\nResult: " + std::to_string(t.row_count) +
                    (t.row_count == 1 ? " row" : " rows") +
                    (columns.empty() ? "" : " with the columns " + columns);
        } else if (!t.outcome.empty()) {
            text += "\nResult: not answered (" + t.outcome + ")";
        }
    }
    text += "\n\nNew question: " + question;
    return {{"system", std::string(prompts::FOLLOW_UP_SYSTEM_TEXT)}, {"user", text}};
}

FollowUp FollowUpRewriter::invoke(const std::vector<EarlierTurn>& turns,
                                  const std::string& question) const {
    const Value answer = model_->invoke(generate_messages(turns, question));
    FollowUp out;
    out.standalone_question = answer["standalone_question"].get<std::string>();
    out.depends_on_earlier = answer["depends_on_earlier"].get<bool>();
    // Blank text would lose the question; the flow then answers it as asked.
    if (out.standalone_question.find_first_not_of(" \t\r\n") == std::string::npos) {
        out.standalone_question = question;
        out.depends_on_earlier = false;
    }
    return out;
}

} // namespace zolviai::flow
