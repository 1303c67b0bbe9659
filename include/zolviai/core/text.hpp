#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text helpers every layer shares: UTF-8 counting and cutting, masking of secrets in
// messages, trimming, and quoting with one rule each.
namespace zolviai {

// --- UTF-8 ---------------------------------------------------------------------------------

// Whether the byte continues a character rather than starting one.
inline bool is_utf8_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Whether text is well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF), as Python's decoder accepts it.
bool is_valid_utf8(std::string_view text);

// Decodes the well-formed character that starts at text[i] into code_point and returns its
// length in bytes; returns 0 (and leaves code_point alone) when none starts there.
std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& code_point);

// The number of characters in text: every byte that does not continue a character counts.
std::size_t utf8_length(std::string_view text);

// The length in bytes of the first n characters of text (all of text when it has fewer).
std::size_t utf8_offset(std::string_view text, std::size_t n);

// The length in bytes of the character that starts at text[i]: the byte and the
// continuation bytes after it.
std::size_t utf8_char_length(std::string_view text, std::size_t i);

// The length of the longest prefix of text that is at most max_bytes long and does not end
// inside a character.
std::size_t utf8_prefix_length(std::string_view text, std::size_t max_bytes);

// Text of more than max characters cut to its first max - 3 followed by "..." (so max
// characters in all); shorter text as it is.
std::string utf8_shorten(std::string_view text, std::size_t max);

// --- Messages ------------------------------------------------------------------------------

// The text with every occurrence of secret replaced by "***". Secrets shorter than four bytes
// are left alone: masking them would garble ordinary words and hide nothing.
std::string mask_secret(std::string text, std::string_view secret);

// Text without the given characters at its start and end (by default ASCII white space).
std::string_view trim(std::string_view text, std::string_view chars = " \t\n\v\f\r");
std::string_view trim_end(std::string_view text, std::string_view chars = " \t\n\v\f\r");

// Appends the bytes as lower-case hex digits, two a byte.
void append_hex(std::string& out, std::string_view bytes);

// The value of one hexadecimal digit (either case), or -1 for any other character.
int hex_digit_value(char c);

// --- Quoting -------------------------------------------------------------------------------

// Text between open and close, every close inside doubled: "a""b", `a``b`, {a}}b}, 'it''s'.
std::string enclosed(std::string_view text, char open, char close);

// An attribute value of an ODBC connection string: as it is when the grammar reads it back
// unchanged, else braced ({...} with '}' doubled). Braced are values holding ';', '{', '}'
// or '=', and values with a leading or trailing space.
std::string odbc_attribute_value(std::string_view value);

} // namespace zolviai
