#pragma once

#include "zolviai/llm/chat_model.hpp"
#include "zolviai/sql/sql_database.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace zolviai::flow {

// Has a chat model review a query for the database's dialect and returns the query it
// gives back, without Markdown code fences.
class QuerySQLCheckerTool {
public:
    QuerySQLCheckerTool(std::shared_ptr<const sql::CustomSQLDatabase> db,
                        std::shared_ptr<const llm::ChatModel> llm);
    std::string run(std::string_view query) const;

    // The instructions sent to the model for a query and dialect (prompts::QUERY_CHECKER
    // filled in).
    static std::string prompt(std::string_view query, std::string_view dialect);

private:
    std::shared_ptr<const sql::CustomSQLDatabase> db_;
    std::shared_ptr<const llm::ChatModel> llm_;
};

// The text inside the first Markdown code fence of an answer (or the answer without fence
// lines), trimmed.
std::string strip_code_fences(std::string_view answer);

} // namespace zolviai::flow
