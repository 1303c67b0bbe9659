#pragma once

#include <string_view>

// The prompts of follow-up questions: the step that makes a follow-up stand alone, and the
// section the SQL prompt gains when a question builds on the previous one.
namespace zolviai::prompts {

// System message of the follow-up step.
extern const std::string_view FOLLOW_UP_SYSTEM_TEXT;
// Opens the user message, before the earlier turns.
extern const std::string_view FOLLOW_UP_TURNS_HEADER;
// Appended to the SQL prompt's user message, followed by the previous turn's SQL.
extern const std::string_view FOLLOW_UP_SQL_SECTION;

} // namespace zolviai::prompts
