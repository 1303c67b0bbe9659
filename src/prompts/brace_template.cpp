#include "zolviai/prompts/brace_template.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/core/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace zolviai::prompts {
namespace {

bool all_digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A format spec as Python's format() reads it:
// [[fill]align][sign]["z"]["#"]["0"][width][grouping]["." precision][type]
struct Spec {
    std::string fill = " ";
    char align = 0; // 0: the type's default
    char sign = 0;
    bool no_negative_zero = false;
    bool alternate = false;
    std::int64_t width = -1;
    char grouping = 0; // ',' or '_'
    std::int64_t precision = -1;
    char32_t type = 0; // 0: the type's default
};

// Reads decimal digits as Python does: a count past the largest Py_ssize_t (2^63 - 1) is
// refused with Python's words, so no width or precision can overflow.
std::size_t read_count(std::string_view s, std::size_t& i, std::int64_t& out) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    const std::size_t start = i;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        const int digit = s[i] - '0';
        if (value > (kMax - digit) / 10) {
            throw ValueError("Too many decimal digits in format string");
        }
        value = value * 10 + digit;
    }
    out = value;
    return i - start;
}

// What Python's parser of format specs checks for every type; type_name names the value's
// type in the message about leftover characters.
Spec parse_spec(std::string_view s, const char* type_name) {
    Spec spec;
    auto is_align = [](char c) { return c == '<' || c == '>' || c == '^' || c == '='; };
    std::size_t i = 0;
    // The fill may be any one character, possibly a multi-byte one.
    const std::size_t first_len = s.empty() ? 0 : utf8_char_length(s, 0);
    bool fill_given = false;
    if (!s.empty() && s.size() > first_len && is_align(s[first_len])) {
        spec.fill = std::string(s.substr(0, first_len));
        spec.align = s[first_len];
        fill_given = true;
        i = first_len + 1;
    } else if (!s.empty() && is_align(s[0])) {
        spec.align = s[0];
        i = 1;
    }
    if (i < s.size() && (s[i] == '+' || s[i] == '-' || s[i] == ' ')) {
        spec.sign = s[i++];
    }
    if (i < s.size() && s[i] == 'z') {
        spec.no_negative_zero = true;
        ++i;
    }
    if (i < s.size() && s[i] == '#') {
        spec.alternate = true;
        ++i;
    }
    if (!fill_given && i < s.size() && s[i] == '0') {
        spec.fill = "0";
        ++i;
    }
    if (read_count(s, i, spec.width) == 0) {
        spec.width = -1;
    }
    if (i < s.size() && s[i] == ',') {
        spec.grouping = ',';
        ++i;
    }
    if (i < s.size() && s[i] == '_') {
        if (spec.grouping != 0) {
            throw ValueError("Cannot specify both ',' and '_'.");
        }
        spec.grouping = '_';
        ++i;
    }
    if (i < s.size() && s[i] == ',' && spec.grouping == '_') {
        throw ValueError("Cannot specify both ',' and '_'.");
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        if (read_count(s, i, spec.precision) == 0) {
            throw ValueError("Format specifier missing precision");
        }
    }
    const std::string_view rest = s.substr(i);
    if (utf8_length(rest) > 1) {
        throw ValueError("Invalid format specifier '" + std::string(s) + "' for object of type '" +
                         type_name + "'");
    }
    if (!rest.empty() && decode_utf8(rest, 0, spec.type) == 0) {
        spec.type = static_cast<unsigned char>(rest[0]);
    }
    return spec;
}

// A format code as Python's messages show it: itself, or \x and its hex value.
std::string code_text(char32_t c) {
    if (c > 32 && c < 128) {
        return std::string(1, static_cast<char>(c));
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\x%x", static_cast<unsigned>(c));
    return buf;
}

// Whether Python's parser lets a "," or "_" grouping go with the presentation type (the
// type itself may still be unknown to the value).
bool grouping_allowed(char grouping, char32_t type) {
    if (type < 128 &&
        std::string_view("defgEG%F").find(static_cast<char>(type)) != std::string_view::npos) {
        return true;
    }
    const bool radix = type == U'b' || type == U'o' || type == U'x' || type == U'X';
    return radix && grouping == '_';
}

// str.__format__: the checks Python makes for text, then precision, fill and alignment.
// `room` is how many bytes the rendered template may still grow by.
std::string format_text(const std::string& text, const std::string& spec_text, std::size_t room) {
    if (spec_text.empty()) {
        return text;
    }
    const Spec spec = parse_spec(spec_text, "str");
    const char32_t type = spec.type == 0 ? U's' : spec.type;
    if (spec.grouping != 0 && !grouping_allowed(spec.grouping, type)) {
        throw ValueError(std::string("Cannot specify '") + spec.grouping + "' with '" +
                         code_text(type) + "'.");
    }
    if (type != U's') {
        throw ValueError("Unknown format code '" + code_text(type) + "' for object of type 'str'");
    }
    if (spec.sign == ' ') {
        throw ValueError("Space not allowed in string format specifier");
    }
    if (spec.sign != 0) {
        throw ValueError("Sign not allowed in string format specifier");
    }
    if (spec.no_negative_zero) {
        throw ValueError("Negative zero coercion (z) not allowed in string format specifier");
    }
    if (spec.alternate) {
        throw ValueError("Alternate form (#) not allowed in string format specifier");
    }
    if (spec.align == '=') {
        throw ValueError("'=' alignment not allowed in string format specifier");
    }
    std::string_view kept = text;
    std::size_t length = utf8_length(text);
    if (spec.precision >= 0 && length > static_cast<std::size_t>(spec.precision)) {
        length = static_cast<std::size_t>(spec.precision);
        kept = kept.substr(0, utf8_offset(kept, length));
    }
    const std::size_t width = spec.width < 0 ? 0 : static_cast<std::size_t>(spec.width);
    const std::size_t pad = width > length ? width - length : 0;
    // Python would try to allocate the padding and fail with MemoryError; the limit refuses
    // it before anything is allocated.
    if (pad > room / spec.fill.size() || kept.size() > room - pad * spec.fill.size()) {
        throw ValueError("format width " + std::to_string(width) +
                         " makes the rendered template longer than the limit of " +
                         std::to_string(BraceTemplate::max_rendered_bytes) + " bytes");
    }
    const std::size_t left = spec.align == '>' ? pad : spec.align == '^' ? pad / 2 : 0;
    const std::size_t right = pad - left;
    std::string out;
    out.reserve(kept.size() + pad * spec.fill.size());
    for (std::size_t k = 0; k < left; ++k) {
        out += spec.fill;
    }
    out += kept;
    for (std::size_t k = 0; k < right; ++k) {
        out += spec.fill;
    }
    return out;
}

} // namespace

BraceTemplate::BraceTemplate(std::string_view text) {
    // Python reports a malformed field only when formatting reaches it, after the fields
    // before it were looked up; the parse error is kept and raised at that point.
    Segment current;
    try {
        parse(text, current);
    } catch (const Error&) {
        current.error = std::current_exception();
        segments_.push_back(std::move(current));
    }
}

void BraceTemplate::parse(std::string_view text, Segment& current) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const char c = text[i];
        if (c == '}') {
            if (i + 1 < n && text[i + 1] == '}') {
                current.literal.push_back('}');
                i += 2;
                continue;
            }
            throw ValueError("Single '}' encountered in format string");
        }
        if (c != '{') {
            current.literal.push_back(c);
            ++i;
            continue;
        }
        if (i + 1 < n && text[i + 1] == '{') {
            current.literal.push_back('{');
            i += 2;
            continue;
        }
        if (i + 1 >= n) {
            throw ValueError("Single '{' encountered in format string");
        }
        // A field runs to the brace that closes it; nested braces belong to it.
        std::size_t depth = 1;
        std::size_t j = i + 1;
        for (; j < n; ++j) {
            if (text[j] == '{') {
                ++depth;
            } else if (text[j] == '}' && --depth == 0) {
                break;
            }
        }
        if (j >= n) {
            throw ValueError("expected '}' before end of string");
        }
        std::string_view field = text.substr(i + 1, j - i - 1);
        std::string_view spec;
        char conversion = 0;
        const std::size_t colon = field.find(':');
        const std::size_t bang = field.find('!');
        if (bang != std::string_view::npos && (colon == std::string_view::npos || bang < colon)) {
            std::string_view rest = field.substr(bang + 1);
            field = field.substr(0, bang);
            if (rest.empty() || rest[0] == ':') {
                throw ValueError("unmatched '{' in format spec");
            }
            conversion = rest[0];
            rest.remove_prefix(1);
            if (conversion != 'r' && conversion != 's' && conversion != 'a') {
                throw ValueError(std::string("Unknown conversion specifier ") + conversion);
            }
            if (!rest.empty() && rest[0] != ':') {
                throw ValueError("expected ':' after conversion specifier");
            }
            if (!rest.empty()) {
                spec = rest.substr(1);
            }
        } else if (colon != std::string_view::npos) {
            spec = field.substr(colon + 1);
            field = field.substr(0, colon);
        }
        if (field.empty() || all_digits(field)) {
            // No positional arguments are ever given.
            throw IndexError("Replacement index " + std::string(field.empty() ? "0" : field) +
                             " out of range for positional args tuple");
        }
        if (field.find_first_of(".[") != std::string_view::npos) {
            throw ValueError("attribute and index lookups are not supported in prompt fields: '" +
                             std::string(field) + "'");
        }
        if (spec.find('{') != std::string_view::npos) {
            throw ValueError("nested fields in a format spec are not supported: '" +
                             std::string(spec) + "'");
        }
        current.field = std::string(field);
        current.conversion = conversion;
        current.spec = std::string(spec);
        current.has_field = true;
        segments_.push_back(std::move(current));
        current = Segment{};
        i = j + 1;
    }
    segments_.push_back(std::move(current));
}

std::string BraceTemplate::render(const Value& vars) const {
    std::string out;
    auto append = [&out](std::string_view piece) {
        if (piece.size() > max_rendered_bytes - out.size()) {
            throw ValueError("the rendered template is longer than the limit of " +
                             std::to_string(max_rendered_bytes) + " bytes");
        }
        out += piece;
    };
    for (const auto& seg : segments_) {
        if (seg.error) {
            std::rethrow_exception(seg.error);
        }
        append(seg.literal);
        if (!seg.has_field) {
            continue;
        }
        const auto it = vars.is_object() ? vars.find(seg.field) : vars.end();
        if (!vars.is_object() || it == vars.end()) {
            throw KeyError(seg.field);
        }
        const bool text_value = it->is_string() || seg.conversion != 0;
        if (!seg.spec.empty() && !text_value) {
            // Numbers read the spec with the same parser, and fail where it fails.
            if (it->is_number() || it->is_boolean()) {
                parse_spec(seg.spec, python_type_name(*it));
            }
            throw ValueError("format specs are supported for text values only (field '" +
                             seg.field + "')");
        }
        const std::string text =
            seg.conversion == 'r' || seg.conversion == 'a' ? python::repr(*it) : python::str(*it);
        append(format_text(text, seg.spec, max_rendered_bytes - out.size()));
    }
    return out;
}

std::vector<std::string> BraceTemplate::field_names() const {
    std::vector<std::string> names;
    for (const auto& seg : segments_) {
        if (seg.has_field && std::find(names.begin(), names.end(), seg.field) == names.end()) {
            names.push_back(seg.field);
        }
    }
    return names;
}

std::string format_braces(std::string_view text, const Value& vars) {
    return BraceTemplate(text).render(vars);
}

} // namespace zolviai::prompts
