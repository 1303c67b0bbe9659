#include "zolviai/sql/tools.hpp"

#include "zolviai/core/error.hpp"

#include <cctype>

namespace zolviai::sql {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

} // namespace

const char* const QUERY_CHECKER =
    "You review one {dialect} SQL query before it runs against the database.\n"
    "\n"
    "Query:\n"
    "{query}\n"
    "\n"
    "Look for these mistakes and fix any you find:\n"
    "- syntax that {dialect} does not accept, or functions and types it does not have;\n"
    "- NOT IN with a subquery that can return NULL values;\n"
    "- UNION where UNION ALL was meant, and BETWEEN used for a range whose end should be "
    "excluded;\n"
    "- comparisons or joins between columns of mismatched types, and missing casts;\n"
    "- identifiers that need quoting, and a wrong number of arguments to a function;\n"
    "- joins on the wrong columns, and GROUP BY lists that miss a selected column.\n"
    "\n"
    "Keep the query read-only and keep its meaning. If it has no mistakes, give it back "
    "unchanged.\n"
    "Answer with the final SQL query only: no explanation, no comments, no Markdown.";

namespace {

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

ListSQLDatabaseTool::ListSQLDatabaseTool(std::shared_ptr<const CustomSQLDatabase> db)
    : db_(std::move(db)) {}

std::string ListSQLDatabaseTool::run() const {
    std::string out;
    for (const auto& name : db_->get_usable_table_names()) {
        if (!out.empty()) {
            out += ", ";
        }
        out += name;
    }
    return out;
}

InfoSQLDatabaseTool::InfoSQLDatabaseTool(std::shared_ptr<const CustomSQLDatabase> db)
    : db_(std::move(db)) {}

std::string InfoSQLDatabaseTool::run(std::string_view table_names) const {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = table_names.find(',', start);
        names.emplace_back(trim(table_names.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    return db_->get_table_info_no_throw(names);
}

QuerySQLCheckerTool::QuerySQLCheckerTool(std::shared_ptr<const CustomSQLDatabase> db,
                                         std::shared_ptr<const llm::ChatModel> llm)
    : db_(std::move(db)), llm_(std::move(llm)) {
    if (!llm_) {
        throw ValueError("the query checker needs a chat model");
    }
}

std::string QuerySQLCheckerTool::prompt(std::string_view query, std::string_view dialect) {
    std::string text = QUERY_CHECKER;
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

} // namespace zolviai::sql
