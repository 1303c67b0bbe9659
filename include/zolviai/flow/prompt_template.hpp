#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/llm/chat_model.hpp"
#include "zolviai/prompts/brace_template.hpp"
#include "zolviai/prompts/jinja_template.hpp"

#include <string>
#include <variant>
#include <vector>

namespace zolviai::flow {

enum class TemplateFormat { Brace, Jinja2 };

struct MessageTemplate {
    std::string role; // "system", "user"
    std::string_view text;
    TemplateFormat format = TemplateFormat::Brace;
};

// A chat prompt of role-tagged message templates, parsed once and filled per call.
class ChatPromptTemplate {
public:
    explicit ChatPromptTemplate(const std::vector<MessageTemplate>& messages);

    // vars: a map from variable name to value; names a template does not use are ignored.
    std::vector<llm::Message> format_messages(const Value& vars) const;

private:
    struct Part {
        std::string role;
        std::variant<prompts::BraceTemplate, prompts::JinjaTemplate> tmpl;
    };
    std::vector<Part> parts_;
};

} // namespace zolviai::flow
