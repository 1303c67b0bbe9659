#include "zolviai/flow/prompt_template.hpp"

namespace zolviai::flow {

ChatPromptTemplate::ChatPromptTemplate(const std::vector<MessageTemplate>& messages) {
    for (const auto& m : messages) {
        if (m.format == TemplateFormat::Brace) {
            parts_.push_back({m.role, prompts::BraceTemplate(m.text)});
        } else {
            parts_.push_back({m.role, prompts::JinjaTemplate(m.text)});
        }
    }
}

std::vector<llm::Message> ChatPromptTemplate::format_messages(const Value& vars) const {
    std::vector<llm::Message> out;
    out.reserve(parts_.size());
    for (const auto& part : parts_) {
        std::string content = std::visit([&](const auto& t) { return t.render(vars); }, part.tmpl);
        out.push_back({part.role, std::move(content)});
    }
    return out;
}

} // namespace zolviai::flow
