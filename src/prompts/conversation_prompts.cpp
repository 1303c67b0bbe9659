#include "zolviai/prompts/conversation_prompts.hpp"

namespace zolviai::prompts {

extern const std::string_view FOLLOW_UP_SYSTEM_TEXT =
    "You read a conversation between a user and an assistant that answers questions about a "
    "SQL database. The user has just asked a new question. Rewrite the new question so that it "
    "stands alone: someone who never saw the conversation must understand exactly what is "
    "asked.\n"
    "\n"
    "Rules:\n"
    "- If the new question builds on the earlier turns (words such as \"those\", \"them\", "
    "\"the same\", \"that\", or a short question such as \"and for Germany?\", \"what about "
    "2023?\", \"only the top 5\", \"per month instead\"), carry over from the earlier question "
    "what the new one keeps (what is measured, the filters, the grouping, the period, the "
    "order) and change only what the new question changes. Set depends_on_earlier to true.\n"
    "- If the new question is complete by itself, or asks about something else, return it "
    "unchanged, word for word, and set depends_on_earlier to false. Never add a filter, a "
    "period or a subject of an earlier question to a question that does not ask for it.\n"
    "- Keep the user's own words where possible. Do not answer the question and do not write "
    "SQL.";

extern const std::string_view FOLLOW_UP_TURNS_HEADER =
    "Earlier turns of the conversation, oldest first:";

extern const std::string_view FOLLOW_UP_SQL_SECTION =
    "\n\nThis question continues a conversation. The SQL query that answered the previous "
    "question was:\n";

} // namespace zolviai::prompts
