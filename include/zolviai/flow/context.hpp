#pragma once

#include "zolviai/core/value.hpp"

#include <cstddef>
#include <string>

// The deployment's own context and instructions for final answers. They are kept in a JSON
// file whose path the environment variable ZOLVI_CONTEXT_FILE names:
//     {"context_prompt": "...", "custom_instructions": "..."}
// Without the variable both texts are empty.
namespace zolviai::flow {

// The longest context file read: the two texts go into every final-answer prompt, so a file
// near this size is already far past any model's context.
inline constexpr std::size_t kContextFileMaxBytes = 1024 * 1024;

// {"context_prompt": text, "custom_instructions": text}. A file that cannot be read, is longer
// than kContextFileMaxBytes, nests deeper than JsonLimits::max_depth or is not such a JSON
// object is a ConfigError naming the path; a missing key counts as empty text.
Value read_values();

// The two texts of read_values(), read anew on each call.
std::string context_prompt();
std::string custom_instructions();

// Whether an instructions text holds anything to follow (not only blanks).
bool check_instructions(const std::string& instructions);

} // namespace zolviai::flow
