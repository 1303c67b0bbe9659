#pragma once

#include "zolviai/flow/model_steps.hpp"
#include "zolviai/llm/model_settings.hpp"

namespace zolviai::flow {

// The flow's table choice: asks the model like RelevantTableNames, then reconciles its
// answer with the database's real table names (matched without regard to letter case,
// unknown names dropped, repeats dropped, the model's order kept), so that a slip in
// letter case never sends an error text into SQL generation. On a database with more tables
// than the wrapper's prune_threshold the model is shown only the tables the wrapper's lexical
// ranking finds for the question (sql::CustomSQLDatabase::candidate_tables); otherwise the
// prompt lists every table, exactly as RelevantTableNames writes it.
class RelevantTablePicker {
public:
    // Builds its chat model from the settings (temperature 0, top_p 0.95, 8192 tokens).
    RelevantTablePicker(const llm::ModelSettings& config, DatabasePtr db);
    RelevantTablePicker(const Value& config_map, DatabasePtr db);
    RelevantTablePicker(ChatModelPtr model, DatabasePtr db);

    // {"relevant_tables": [real table names]}. With a record that holds verified examples,
    // their tables are offered to the model as likely candidates.
    Value invoke(const Value& state, const RunRecord* record = nullptr) const;

    // The messages the model is sent for a state.
    std::vector<llm::Message> generate_prompt(const Value& state,
                                              const RunRecord* record = nullptr) const;

    // The model's names mapped onto the real ones.
    static Value reconcile(const Value& chosen, const std::vector<std::string>& real);

private:
    // The state with table_names_from_db narrowed to the question's candidates, or the state
    // itself when the database is small enough to list whole.
    Value narrowed(const Value& state, const RunRecord* record) const;

    DatabasePtr db_;
    RelevantTableNames step_;
};

} // namespace zolviai::flow
