#pragma once

#include <cstddef>
#include <string_view>

namespace zolviai {

// Whether text is well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF), as Python's decoder accepts it.
bool is_valid_utf8(std::string_view text);

// The length of the longest prefix of text that is at most max_bytes long and does not end
// inside a character.
std::size_t utf8_prefix_length(std::string_view text, std::size_t max_bytes);

} // namespace zolviai
