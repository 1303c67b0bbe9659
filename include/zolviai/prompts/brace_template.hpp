#pragma once

#include "zolviai/core/value.hpp"

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace zolviai::prompts {

// A template in Python's str.format syntax with named fields: "{name}" is replaced by
// str(value), "{{" and "}}" are literal braces. "{name!r}" gives the repr and a format spec
// of fill, alignment, width and precision ("{name:>10}", "{name:.5}") pads or cuts the
// text. Errors are Python's, word for word: a stray "{" or "}" is a ValueError, a name with
// no value a KeyError, a positional field an IndexError, a malformed spec Python's
// ValueError. The rendered text is at most max_rendered_bytes long: a width that would pass
// it is a ValueError (Python tries, and runs out of memory).
class BraceTemplate {
public:
    explicit BraceTemplate(std::string_view text);

    // vars: a map from field name to value.
    std::string render(const Value& vars) const;
    // The names of the fields, in order of appearance, without repeats.
    std::vector<std::string> field_names() const;

    static constexpr std::size_t max_rendered_bytes = std::size_t{16} << 20;

private:
    struct Segment {
        std::string literal; // text before the field
        std::string field;   // empty for the trailing literal
        char conversion = 0; // 'r', 's', 'a' or 0
        std::string spec;
        bool has_field = false;
        std::exception_ptr error; // a malformed field, raised when rendering reaches it
    };
    void parse(std::string_view text, Segment& current);
    std::vector<Segment> segments_;
};

// Parses and renders in one call.
std::string format_braces(std::string_view text, const Value& vars);

} // namespace zolviai::prompts
