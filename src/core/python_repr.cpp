#include "zolviai/core/python_repr.hpp"

#include "zolviai/core/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>

namespace zolviai::python {
namespace {

struct CodeRange {
    char32_t first;
    char32_t last;
};

constexpr CodeRange kNonPrintable[] = {
#include "unicode_nonprintable.inc"
};

const char kHex[] = "0123456789abcdef";

void append_hex(std::string& out, std::uint32_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out.push_back(kHex[(value >> shift) & 0xF]);
    }
}

void append_escaped_code_point(std::string& out, char32_t cp) {
    if (cp < 0x100) {
        out += "\\x";
        append_hex(out, cp, 2);
    } else if (cp < 0x10000) {
        out += "\\u";
        append_hex(out, cp, 4);
    } else {
        out += "\\U";
        append_hex(out, cp, 8);
    }
}

char choose_quote(std::string_view text) {
    const bool has_single = text.find('\'') != std::string_view::npos;
    const bool has_double = text.find('"') != std::string_view::npos;
    return has_single && !has_double ? '"' : '\'';
}

} // namespace

bool is_printable(char32_t cp) {
    const auto* end = std::end(kNonPrintable);
    const auto* it = std::upper_bound(std::begin(kNonPrintable), end, cp,
                                      [](char32_t v, const CodeRange& r) { return v < r.first; });
    if (it == std::begin(kNonPrintable)) {
        return true;
    }
    --it;
    return cp > it->last;
}

void append_repr_text(std::string& out, std::string_view text) {
    const char quote = choose_quote(text);
    out.push_back(quote);
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        // Fast path for the printable ASCII that makes up most database text.
        if (c >= 0x20 && c < 0x7F) {
            if (c == quote || c == '\\') {
                out.push_back('\\');
            }
            out.push_back(c);
            ++i;
            continue;
        }
        char32_t cp;
        const std::size_t len = decode_utf8(text, i, cp);
        if (len == 0) {
            out += "\\udc";
            append_hex(out, static_cast<unsigned char>(c), 2);
            ++i;
            continue;
        }
        if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (!is_printable(cp)) {
            append_escaped_code_point(out, cp);
        } else {
            out.append(text.substr(i, len));
        }
        i += len;
    }
    out.push_back(quote);
}

std::string repr_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_repr_text(out, text);
    return out;
}

void append_repr_float(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    if (value == 0.0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    // Shortest round-trip digits, then Python's layout rule: positional notation for
    // decimal exponents in [-4, 16), scientific otherwise.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    bool negative = false;
    if (sci.front() == '-') {
        negative = true;
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos)) {
        if (c != '.') {
            digits.push_back(c);
        }
    }
    int exponent = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+'), sci.data() + sci.size(),
                    exponent);
    if (negative) {
        out.push_back('-');
    }
    const int n = static_cast<int>(digits.size());
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
        } else if (exponent + 1 >= n) {
            out += digits;
            out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
            out += ".0";
        } else {
            out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
            out.push_back('.');
            out.append(digits, static_cast<std::size_t>(exponent + 1));
        }
        return;
    }
    out.push_back(digits[0]);
    if (n > 1) {
        out.push_back('.');
        out.append(digits, 1);
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) {
        out.push_back('0');
    }
    out += std::to_string(magnitude);
}

std::string repr_float(double value) {
    std::string out;
    append_repr_float(out, value);
    return out;
}

std::string repr_int(std::int64_t value) {
    return std::to_string(value);
}

std::string repr_bytes(std::string_view bytes) {
    const char quote = choose_quote(bytes);
    std::string out = "b";
    out.push_back(quote);
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == static_cast<unsigned char>(quote) || c == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c >= 0x7F) {
            out += "\\x";
            append_hex(out, c, 2);
        } else {
            out.push_back(ch);
        }
    }
    out.push_back(quote);
    return out;
}

std::string repr_list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        out += items[i];
    }
    out.push_back(']');
    return out;
}

std::string repr_tuple(const std::vector<std::string>& items) {
    std::string out = "(";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        out += items[i];
    }
    if (items.size() == 1) {
        out.push_back(',');
    }
    out.push_back(')');
    return out;
}

void append_repr(std::string& out, const Value& value) {
    switch (value.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
        out += "None";
        return;
    case Value::value_t::boolean:
        out += value.get<bool>() ? "True" : "False";
        return;
    case Value::value_t::number_integer:
        out += std::to_string(value.get<std::int64_t>());
        return;
    case Value::value_t::number_unsigned:
        out += std::to_string(value.get<std::uint64_t>());
        return;
    case Value::value_t::number_float:
        append_repr_float(out, value.get<double>());
        return;
    case Value::value_t::string:
        append_repr_text(out, value.get_ref<const std::string&>());
        return;
    case Value::value_t::binary: {
        const auto& bin = value.get_binary();
        out += repr_bytes(std::string_view(reinterpret_cast<const char*>(bin.data()), bin.size()));
        return;
    }
    case Value::value_t::array: {
        out.push_back('[');
        bool first = true;
        for (const auto& item : value) {
            if (!first) {
                out += ", ";
            }
            first = false;
            append_repr(out, item);
        }
        out.push_back(']');
        return;
    }
    case Value::value_t::object: {
        out.push_back('{');
        bool first = true;
        for (const auto& [key, item] : value.items()) {
            if (!first) {
                out += ", ";
            }
            first = false;
            append_repr_text(out, key);
            out += ": ";
            append_repr(out, item);
        }
        out.push_back('}');
        return;
    }
    }
}

std::string repr(const Value& value) {
    std::string out;
    append_repr(out, value);
    return out;
}

std::string str(const Value& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    return repr(value);
}

} // namespace zolviai::python
