#include "zolviai/prompts/step_prompts.hpp"

namespace zolviai::prompts {

extern const std::string_view QUERY_CHECKER =
    "You review one {dialect} SQL query before it runs against the database.\n"
    "\n"
    "Query:\n"
    "{query}\n"
    "\n"
    "Look for these mistakes and fix any you find:\n"
    "- syntax that {dialect} does not accept, or functions and types it does not have;\n"
    "- NOT IN with a subquery that can return NULL values;\n"
    "- UNION where UNION ALL was meant, and BETWEEN used for a range whose end should be excluded;\n"
    "- comparisons or joins between columns of mismatched types, and missing casts;\n"
    "- identifiers that need quoting, and a wrong number of arguments to a function;\n"
    "- joins on the wrong columns, and GROUP BY lists that miss a selected column.\n"
    "\n"
    "Keep the query read-only and keep its meaning. If it has no mistakes, give it back unchanged.\n"
    "Answer with the final SQL query only: no explanation, no comments, no Markdown.";

extern const std::string_view PANDAS_CORRECTION_TEXT =
    "The user asked the following question:\n"
    "            {user_question}\n"
    "\n"
    "            You generated this python code:\n"
    "            {python_code}\n"
    "\n"
    "            It fails with the following error:\n"
    "            {error}\n"
    "\n"
    "            Fix the python code above and return the new python code:";

extern const std::string_view RESPONSE_PROMPT_TEMPLATE =
    "User question: {user_question}\n"
    "SQL query: {sql_query}\n"
    "SQL query result: {sql_query_result}\n"
    "Python code: {python_code}\n"
    "Python executed result: {python_executed_result}\n"
    "Use the above result to address user's question. \n"
    "use context and instructions below from the user to present your answer in the best way.Only the anwer part";

extern const std::string_view RESPONSE_CONTEXT_LEAD = "use context and instructions below";

extern const std::string_view NO_ROWS_NOTE =
    "The query ran without error but returned no rows. If the question can rightly have no "
    "matching data, return the same query unchanged. Otherwise correct it: compare the literal "
    "values with the sample rows (spelling, case, date format) and check the joins and "
    "conditions.";

extern const std::string_view NO_ROWS_ANSWER =
    "There is no matching data: the query ran without error and returned no rows.\n\n"
    "```sql\n{sql}\n```";

} // namespace zolviai::prompts
