#pragma once

#include "zolviai/core/error.hpp"
#include "zolviai/core/value.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace zolviai::prompts {

// The part of Jinja2 our prompts use, with Jinja2's default environment rules:
// - "{{ expr }}" renders str(value); an undefined name renders as empty text;
// - "{% for a, b in pairs %}...{% endfor %}" (one or more loop names; a list of pairs is
//   unpacked) with loop.index, loop.index0, loop.first, loop.last, loop.length;
// - "{% if [not] expr %}...{% elif ... %}...{% else %}...{% endif %}" on Python truth;
// - "{# comments #}" and the "-" whitespace trims ("{%-", "-%}", "{{-", "-}}");
// - expressions are names with ".attr" and "[index]" look-ups, or literals;
// - no block trimming, "\r\n" becomes "\n", one trailing newline of the template is dropped.
// Anything else is a syntax error naming the construct, raised when the template is parsed.
// An attribute or item looked up on a name that has no value ("'x' is undefined").
class UndefinedError : public ValueError {
public:
    using ValueError::ValueError;
};

class JinjaTemplate {
public:
    explicit JinjaTemplate(std::string_view text);
    ~JinjaTemplate();
    JinjaTemplate(JinjaTemplate&&) noexcept;
    JinjaTemplate& operator=(JinjaTemplate&&) noexcept;

    // vars: a map from name to value.
    std::string render(const Value& vars) const;

    struct Node;

private:
    std::unique_ptr<Node> root_;
};

std::string render_jinja(std::string_view text, const Value& vars);

} // namespace zolviai::prompts
