#include "zolviai/flow/query_checker.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/prompts/step_prompts.hpp"

namespace zolviai::flow {
namespace {

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// Where a "```" fence starts a line (after spaces) at or after `from`; npos when none does.
std::size_t fence_at_line_start(std::string_view text, std::size_t from) {
    for (std::size_t at = text.find("```", from); at != std::string_view::npos;
         at = text.find("```", at + 1)) {
        std::size_t i = at;
        while (i > 0 && (text[i - 1] == ' ' || text[i - 1] == '\t')) {
            --i;
        }
        if (i == 0 || text[i - 1] == '\n') {
            return at;
        }
    }
    return std::string_view::npos;
}

} // namespace

std::string strip_code_fences(std::string_view answer) {
    // Only fences that start a line count: a query may hold ``` inside a quoted text.
    const std::size_t open = fence_at_line_start(answer, 0);
    if (open == std::string_view::npos) {
        return std::string(trim(answer));
    }
    const std::size_t line_end = answer.find('\n', open);
    const std::string_view first_line =
        answer.substr(open + 3, line_end == std::string_view::npos ? std::string_view::npos
                                                                   : line_end - open - 3);
    if (const std::size_t close = first_line.rfind("```"); close != std::string_view::npos) {
        return std::string(trim(first_line.substr(0, close))); // ```SELECT 1```
    }
    if (line_end == std::string_view::npos) {
        return std::string(trim(first_line));
    }
    const std::size_t body = line_end + 1; // past the language tag
    const std::size_t close = fence_at_line_start(answer, body);
    return std::string(trim(answer.substr(
        body, close == std::string_view::npos ? std::string_view::npos : close - body)));
}

QuerySQLCheckerTool::QuerySQLCheckerTool(std::shared_ptr<const sql::CustomSQLDatabase> db,
                                         std::shared_ptr<const llm::ChatModel> llm)
    : db_(std::move(db)), llm_(std::move(llm)) {
    if (!llm_) {
        throw ValueError("the query checker needs a chat model");
    }
}

std::string QuerySQLCheckerTool::prompt(std::string_view query, std::string_view dialect) {
    std::string text(prompts::QUERY_CHECKER);
    // The dialect first: a query may itself contain the text "{dialect}".
    replace_all(text, "{dialect}", dialect);
    const std::size_t at = text.find("{query}");
    text.replace(at, 7, query);
    return text;
}

std::string QuerySQLCheckerTool::run(std::string_view query) const {
    const llm::ChatResult answer =
        llm_->invoke({llm::Message{"user", prompt(query, db_->dialect())}});
    return strip_code_fences(answer.content);
}

} // namespace zolviai::flow
