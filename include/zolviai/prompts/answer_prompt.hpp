#pragma once

#include <string_view>

namespace zolviai::prompts {

// Frames the model's final answer. No placeholders: joined to other text by concatenation.
// It starts and ends with two line breaks.
extern const std::string_view final_node_prompt;

} // namespace zolviai::prompts
