#include "zolviai/prompts/brace_template.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/core/text.hpp"

#include <algorithm>
#include <charconv>

namespace zolviai::prompts {
namespace {

bool all_digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// [[fill]align][width] as str.__format__ takes it for text.
std::string apply_spec(const std::string& text, const std::string& spec) {
    if (spec.empty()) {
        return text;
    }
    std::string_view s = spec;
    std::string fill = " ";
    char align = '<';
    auto is_align = [](char c) { return c == '<' || c == '>' || c == '^'; };
    // The fill may be any one character, possibly a multi-byte one.
    const std::size_t first_len = utf8_char_length(s, 0);
    if (s.size() > first_len && is_align(s[first_len])) {
        fill = std::string(s.substr(0, first_len));
        align = s[first_len];
        s.remove_prefix(first_len + 1);
    } else if (!s.empty() && is_align(s[0])) {
        align = s[0];
        s.remove_prefix(1);
    }
    std::size_t width = 0;
    if (!s.empty()) {
        const auto res = std::from_chars(s.data(), s.data() + s.size(), width);
        if (res.ec != std::errc() || res.ptr != s.data() + s.size()) {
            throw ValueError("Invalid format specifier '" + spec + "' for object of type 'str'");
        }
    }
    const std::size_t length = utf8_length(text);
    if (width <= length) {
        return text;
    }
    const std::size_t pad = width - length;
    std::size_t left = align == '>' ? pad : align == '^' ? pad / 2 : 0;
    std::size_t right = pad - left;
    std::string out;
    for (std::size_t i = 0; i < left; ++i) {
        out += fill;
    }
    out += text;
    for (std::size_t i = 0; i < right; ++i) {
        out += fill;
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
    for (const auto& seg : segments_) {
        if (seg.error) {
            std::rethrow_exception(seg.error);
        }
        out += seg.literal;
        if (!seg.has_field) {
            continue;
        }
        const auto it = vars.is_object() ? vars.find(seg.field) : vars.end();
        if (!vars.is_object() || it == vars.end()) {
            throw KeyError(seg.field);
        }
        std::string text =
            seg.conversion == 'r' || seg.conversion == 'a' ? python::repr(*it) : python::str(*it);
        if (!seg.spec.empty() && !it->is_string() && seg.conversion == 0) {
            throw ValueError("format specs are supported for text values only (field '" +
                             seg.field + "')");
        }
        out += apply_spec(text, seg.spec);
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
