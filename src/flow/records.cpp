#include "zolviai/flow/records.hpp"

namespace zolviai::flow {

using llm::FieldType;
using llm::RecordSchema;

const RecordSchema& RelevantTablesOutput() {
    static const RecordSchema s{
        "RelevantTablesOutput",
        "The tables relevant to the user's question",
        {{"relevant_tables", FieldType::TextList, "List of relevant table names", std::nullopt}}};
    return s;
}

const RecordSchema& RewriteQueryOutput() {
    static const RecordSchema s{
        "RewriteQueryOutput",
        "The user's question rewritten in terms of the database",
        {{"rewritten_question", FieldType::Text, "Rewritten question", std::nullopt}}};
    return s;
}

const RecordSchema& SQLQueryInput() {
    static const RecordSchema s{
        "SQLQueryInput",
        "A SQL query that answers the user's question",
        {{"sql_query", FieldType::Text, "SQL query string to be executed", std::nullopt}}};
    return s;
}

const RecordSchema& PythonCodeInput() {
    static const RecordSchema s{
        "PythonCodeInput",
        "Python analysis code to run",
        {{"code", FieldType::Text, "Python code to be executed", std::nullopt}}};
    return s;
}

const RecordSchema& GenerationOutput() {
    static const RecordSchema s{
        "GenerationOutput",
        "The final answer to the user",
        {{"image_path", FieldType::OptionalText, "image path generated if exists in context",
          Value("")},
         {"final_response", FieldType::Text, "final response", std::nullopt}}};
    return s;
}

} // namespace zolviai::flow
