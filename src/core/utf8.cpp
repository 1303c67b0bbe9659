#include "zolviai/core/utf8.hpp"

namespace zolviai {

namespace {

// Length of the well-formed character that starts at text[i], or 0 when none does.
std::size_t character_length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) {
        return 1;
    }
    std::size_t n = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) {
            low = 0xA0; // overlong
        } else if (c == 0xED) {
            high = 0x9F; // surrogates
        }
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) {
            low = 0x90;
        } else if (c == 0xF4) {
            high = 0x8F; // past U+10FFFF
        }
    } else {
        return 0;
    }
    if (i + n > text.size()) {
        return 0;
    }
    if (byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return n;
}

} // namespace

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        // Runs of ASCII are the common case: skip them eight bytes at a time.
        while (i + 8 <= text.size()) {
            unsigned long long word = 0;
            for (std::size_t k = 0; k < 8; ++k) {
                word |= static_cast<unsigned long long>(static_cast<unsigned char>(text[i + k]))
                        << (8 * k);
            }
            if (word & 0x8080808080808080ULL) {
                break;
            }
            i += 8;
        }
        if (i >= text.size()) {
            break;
        }
        const std::size_t n = character_length(text, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

std::size_t utf8_prefix_length(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) {
        return text.size();
    }
    std::size_t end = max_bytes;
    // Step back over continuation bytes to the start of the character that does not fit.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return end;
}

} // namespace zolviai
