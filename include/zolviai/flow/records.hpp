#pragma once

#include "zolviai/llm/structured_output.hpp"

// The records the flow's models fill in. Field names and descriptions reach the model with
// the schema, word for word.
namespace zolviai::flow {

const llm::RecordSchema& RelevantTablesOutput(); // relevant_tables: list of text
const llm::RecordSchema& RewriteQueryOutput();   // rewritten_question: text
const llm::RecordSchema& SQLQueryInput();        // sql_query: text
const llm::RecordSchema& PythonCodeInput();      // code: text
const llm::RecordSchema& GenerationOutput();     // image_path: optional text = "", final_response

} // namespace zolviai::flow
