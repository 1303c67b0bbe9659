#pragma once

#include "zolviai/core/error.hpp"
#include "zolviai/core/value.hpp"

#include <cstddef>
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
// Blocks and expressions nest at most max_depth deep and the rendered text is at most
// max_rendered_bytes long, so no template can exhaust the stack or the memory.
// An attribute or item looked up on a name that has no value ("'x' is undefined").
class UndefinedError : public ValueError {
public:
    using ValueError::ValueError;
};

// Blocks or expressions nested deeper than JinjaTemplate::max_depth; Python's jinja2 raises
// RecursionError ("maximum recursion depth exceeded ...") for such templates.
class TemplateRecursionError : public Error {
public:
    using Error::Error;
};

class JinjaTemplate {
public:
    explicit JinjaTemplate(std::string_view text);
    ~JinjaTemplate();
    JinjaTemplate(JinjaTemplate&&) noexcept;
    JinjaTemplate& operator=(JinjaTemplate&&) noexcept;

    // vars: a map from name to value.
    std::string render(const Value& vars) const;

    // How deep for/if blocks, and look-ups within one expression, may nest.
    static constexpr std::size_t max_depth = 100;
    // Longest rendered text; a longer one is a ValueError.
    static constexpr std::size_t max_rendered_bytes = std::size_t{16} << 20;

    struct Node;

private:
    std::unique_ptr<Node> root_;
};

std::string render_jinja(std::string_view text, const Value& vars);

} // namespace zolviai::prompts
