#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/flow/data_steps.hpp"
#include "zolviai/llm/structured_output.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Follow-up questions: a question asked after earlier ones in one conversation is first
// rewritten to stand alone, then answered by the flow like any other.
namespace zolviai::flow {

// One earlier turn as the follow-up step and the SQL prompt see it.
struct EarlierTurn {
    std::string question;      // as asked
    std::string understood_as; // as the follow-up step understood it (the question, for a first)
    std::string sql;           // the final statement; "" when none ran
    std::int64_t row_count = 0;
    std::vector<std::string> columns;
    std::string outcome; // "answered", "sql_failed", "no_rows", ...
};

// What the follow-up step decided.
struct FollowUp {
    std::string standalone_question;
    bool depends_on_earlier = false;
};

// {"standalone_question": text, "depends_on_earlier": boolean}
const llm::RecordSchema& FollowUpQuestion();

// The model step that makes a follow-up question stand alone. One model call per follow-up.
class FollowUpRewriter {
public:
    // The most recent turns the prompt shows; older ones are left out.
    static constexpr std::size_t max_turns_shown = 5;

    explicit FollowUpRewriter(ChatModelPtr model);
    std::vector<llm::Message> generate_messages(const std::vector<EarlierTurn>& turns,
                                                const std::string& question) const;
    // An empty standalone question from the model keeps the question as asked.
    FollowUp invoke(const std::vector<EarlierTurn>& turns, const std::string& question) const;

private:
    std::shared_ptr<const llm::StructuredModel> model_;
};

} // namespace zolviai::flow
