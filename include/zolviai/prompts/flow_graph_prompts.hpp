#pragma once

#include <string_view>

// The prompt texts the flow steps send to the chat model, character for character. Which
// template syntax fills each one is noted beside it.
namespace zolviai::prompts {

// Brace format: dialect. System text of the table choice and of the SQL correction prompt.
extern const std::string_view SQL_PREFIX;
// Brace format: user_question, table_names_from_db.
extern const std::string_view GET_RELEVANT_TABLE_NAMES_TEMPLATE;
// Holds literal braces (a JSON example): appended after formatting, never formatted.
extern const std::string_view TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE;
// Brace format: user_question, schemas_from_all_tables.
extern const std::string_view REWRITE_QUESTION_TEMPLATE;
// Brace format: user_question, schemas_from_relevant_tables. Kept for hosts; no step sends it.
extern const std::string_view GENERATE_SQL_TEMPLATE;
// Jinja2: user_question, schemas_from_relevant_tables, zipped_queries_errors (query, error).
extern const std::string_view CORRECT_SQL_TEMPLATE;
// Jinja2: save_path, instructions.
extern const std::string_view PANDAS_SYSTEM_TEMPLATE;
// Jinja2: original_question, zipped_queries_results (query, execution_result).
extern const std::string_view PANDAS_HUMAN_TEMPLATE;

// The first-attempt SQL generation prompt. Brace format: dialect (system);
// user_question, schemas_from_relevant_tables (user).
extern const std::string_view SQL_GENERATION_SYSTEM_TEXT;
extern const std::string_view SQL_GENERATION_USER_TEXT;

} // namespace zolviai::prompts
