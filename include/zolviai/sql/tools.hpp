#pragma once

#include "zolviai/llm/chat_model.hpp"
#include "zolviai/sql/sql_database.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace zolviai::sql {

// Lists the usable table names, joined by ", ".
class ListSQLDatabaseTool {
public:
    explicit ListSQLDatabaseTool(std::shared_ptr<const CustomSQLDatabase> db);
    std::string run() const;

private:
    std::shared_ptr<const CustomSQLDatabase> db_;
};

// Describes the tables named in a comma-separated text (names are trimmed).
class InfoSQLDatabaseTool {
public:
    explicit InfoSQLDatabaseTool(std::shared_ptr<const CustomSQLDatabase> db);
    std::string run(std::string_view table_names) const;

private:
    std::shared_ptr<const CustomSQLDatabase> db_;
};

// Has a chat model review a query for the database's dialect and returns the query it
// gives back, without Markdown code fences.
class QuerySQLCheckerTool {
public:
    QuerySQLCheckerTool(std::shared_ptr<const CustomSQLDatabase> db,
                        std::shared_ptr<const llm::ChatModel> llm);
    std::string run(std::string_view query) const;

    // The instructions sent to the model for a query and dialect.
    static std::string prompt(std::string_view query, std::string_view dialect);

private:
    std::shared_ptr<const CustomSQLDatabase> db_;
    std::shared_ptr<const llm::ChatModel> llm_;
};

// The checking instructions; {query} and {dialect} are filled in.
extern const char* const QUERY_CHECKER;

// The text inside the first Markdown code fence of an answer (or the answer without fence
// lines), trimmed.
std::string strip_code_fences(std::string_view answer);

} // namespace zolviai::sql
