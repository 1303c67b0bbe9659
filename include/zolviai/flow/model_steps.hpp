#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/flow/data_steps.hpp"
#include "zolviai/flow/prompt_template.hpp"
#include "zolviai/llm/structured_output.hpp"
#include "zolviai/prompts/brace_template.hpp"

#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

// The flow steps that ask a chat model. Each binds its model to the record it wants back and
// builds its request in generate_prompt (or generate_messages).
namespace zolviai::flow {

using StructuredPtr = std::shared_ptr<const llm::StructuredModel>;

// Asks which tables matter: {"relevant_tables": [...]}, as the model named them.
class RelevantTableNames {
public:
    RelevantTableNames(DatabasePtr db, ChatModelPtr model);
    std::vector<llm::Message> generate_prompt(const Value& state) const;
    Value invoke(const Value& state) const;

    std::string dialect;
    StructuredPtr model;
    ChatPromptTemplate template_;
};

// Rephrases the question against the schema of every table (of the question's candidates
// when the database is large enough to be pruned): {"rewritten_question": text}.
class RewriteQuery {
public:
    RewriteQuery(DatabasePtr db, ChatModelPtr model);
    std::vector<llm::Message> generate_prompt(const Value& state) const;
    Value invoke(const Value& state) const;

    StructuredPtr model;
    DatabasePtr db;
    sql::InfoSQLDatabaseTool tool;
    ChatPromptTemplate template_;
};

// Words added to the correction prompt of a query that ran cleanly and found no rows (say,
// which of its literal values occur in no row of their column). Called with that query and
// the state; "" adds nothing.
using NoRowsDiagnosis = std::function<std::string(const std::string& sql, const Value& state)>;

// Writes one query: {"generated_sql_query": [query]}, with the first-attempt prompt or, in
// correction mode, every earlier query beside what its execution recorded. With the run's
// record, a query that ran cleanly without rows is shown with NO_ROWS_NOTE (and the
// diagnosis, when one is set and says something) instead of the state's "None". The
// first-attempt prompt gains a section of the database values the question names when there
// are any (the record's given hints first, then the value index's); a record keeps the hints
// it carried.
class SQLGeneration {
public:
    SQLGeneration(DatabasePtr db, ChatModelPtr model);
    std::vector<llm::Message> generate_messages(const Value& state) const;
    std::vector<llm::Message> generate_messages(const Value& state, const RunRecord* record) const;
    std::vector<llm::Message> generate_messages(const Value& state,
                                                const std::vector<sql::ValueHint>& hints) const;
    std::vector<llm::Message> generate_messages(const Value& state, const RunRecord* record,
                                                const std::vector<sql::ValueHint>& hints) const;
    // The hints a generation-mode prompt carries (none in correction mode).
    std::vector<sql::ValueHint> value_hints(const Value& state,
                                            const RunRecord* record = nullptr) const;
    // With a record that holds verified examples, a first-attempt prompt ends with them.
    Value invoke(const Value& state, RunRecord* record = nullptr) const;

    DatabasePtr db;
    StructuredPtr model;
    std::string dialect;
    ChatPromptTemplate generate_template;
    ChatPromptTemplate correct_template;
    NoRowsDiagnosis no_rows_diagnosis; // set before the first question
};

// Messages (generation mode) or one text (correction mode).
using Prompt = std::variant<std::vector<llm::Message>, std::string>;

// Writes the analysis code over the SQL results, or corrects failed code:
// {"pandas_code": code}.
class PandasGenerator {
public:
    explicit PandasGenerator(ChatModelPtr model);
    Prompt generate_prompt(const Value& state) const;
    Value invoke(const Value& state) const;

    StructuredPtr model;
    ChatPromptTemplate template_;
    prompts::BraceTemplate correction_template;
};

// Repairs failed analysis code with the correction prompt: {"pandas_code": code}. Not placed
// in the flow (corrections go through PandasGenerator), offered to hosts.
class PandasCorrection {
public:
    explicit PandasCorrection(ChatModelPtr model);
    std::string generate_prompt(const Value& state) const;
    Value invoke(const Value& state) const;

    StructuredPtr model;
    prompts::BraceTemplate template_;
};

// Phrases the answer from everything gathered: {"final_response": text, "image_path": text}.
// On the failure routes, analysis fields that were never written enter the prompt as empty
// text, and after failed analysis runs the last error stands in for the output.
// With the run's record, a run whose SQL ran cleanly and found nothing is answered without
// the model: NO_ROWS_ANSWER with that query (and no image_path).
class GenerateResponse {
public:
    explicit GenerateResponse(ChatModelPtr model);
    std::string generate_prompt(const Value& state) const;
    Value invoke(const Value& state, const RunRecord* record = nullptr) const;

    StructuredPtr model;
    prompts::BraceTemplate template_;
};

// The deployment's answer context, read once per process on first use (read_values()).
const Value& current_values();

} // namespace zolviai::flow
