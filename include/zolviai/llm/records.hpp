#pragma once

#include "zolviai/llm/structured_output.hpp"

// The records the flow's models fill in. Field names and descriptions reach the model with
// the schema, word for word.
namespace zolviai::llm {

const RecordSchema& RelevantTablesOutput(); // relevant_tables: list of text
const RecordSchema& RewriteQueryOutput();   // rewritten_question: text
const RecordSchema& SQLQueryInput();        // sql_query: text
const RecordSchema& PythonCodeInput();      // code: text
const RecordSchema& GenerationOutput();     // image_path: optional text = "", final_response

} // namespace zolviai::llm
