#include "zolviai/core/text.hpp"

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
        if (!is_utf8_continuation(byte(i + k))) {
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

std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& code_point) {
    const std::size_t n = character_length(text, i);
    if (n == 0) {
        return 0;
    }
    static constexpr unsigned char lead_bits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t cp = static_cast<unsigned char>(text[i]) & lead_bits[n];
    for (std::size_t k = 1; k < n; ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    code_point = cp;
    return n;
}

std::size_t utf8_length(std::string_view text) {
    std::size_t n = 0;
    for (char c : text) {
        n += !is_utf8_continuation(static_cast<unsigned char>(c));
    }
    return n;
}

std::size_t utf8_offset(std::string_view text, std::size_t n) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!is_utf8_continuation(static_cast<unsigned char>(text[i])) && seen++ == n) {
            return i;
        }
    }
    return text.size();
}

std::size_t utf8_char_length(std::string_view text, std::size_t i) {
    std::size_t n = 1;
    while (i + n < text.size() && is_utf8_continuation(static_cast<unsigned char>(text[i + n]))) {
        ++n;
    }
    return n;
}

std::size_t utf8_prefix_length(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) {
        return text.size();
    }
    std::size_t end = max_bytes;
    // Step back over continuation bytes to the start of the character that does not fit.
    while (end > 0 && is_utf8_continuation(static_cast<unsigned char>(text[end]))) {
        --end;
    }
    return end;
}

std::string utf8_shorten(std::string_view text, std::size_t max) {
    // Fewer bytes than max cannot hold more than max characters.
    if (text.size() <= max || utf8_offset(text, max) == text.size()) {
        return std::string(text);
    }
    std::string out(text.substr(0, utf8_offset(text, max > 3 ? max - 3 : 0)));
    out += "...";
    return out;
}

std::string mask_secret(std::string text, std::string_view secret) {
    if (secret.size() < 4) {
        return text;
    }
    constexpr std::string_view mask = "***";
    for (std::size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + mask.size())) {
        text.replace(at, secret.size(), mask);
    }
    return text;
}

std::string_view trim(std::string_view text, std::string_view chars) {
    const std::size_t first = text.find_first_not_of(chars);
    if (first == std::string_view::npos) {
        return {};
    }
    return trim_end(text.substr(first), chars);
}

std::string_view trim_end(std::string_view text, std::string_view chars) {
    const std::size_t last = text.find_last_not_of(chars);
    return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

void append_hex(std::string& out, std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    out.reserve(out.size() + bytes.size() * 2);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string enclosed(std::string_view text, char open, char close) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back(open);
    for (char c : text) {
        out.push_back(c);
        if (c == close) {
            out.push_back(c);
        }
    }
    out.push_back(close);
    return out;
}

std::string odbc_attribute_value(std::string_view value) {
    const bool plain = value.find_first_of(";{}=") == std::string_view::npos &&
                       (value.empty() || (value.front() != ' ' && value.back() != ' '));
    return plain ? std::string(value) : enclosed(value, '{', '}');
}

} // namespace zolviai
