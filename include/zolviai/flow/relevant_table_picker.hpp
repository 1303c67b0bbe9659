#pragma once

#include "zolviai/flow/model_steps.hpp"
#include "zolviai/llm/model_settings.hpp"

namespace zolviai::flow {

// The flow's table choice: asks the model like RelevantTableNames, then reconciles its
// answer with the database's real table names (matched without regard to letter case,
// unknown names dropped, repeats dropped, the model's order kept), so that a slip in
// letter case never sends an error text into SQL generation.
class RelevantTablePicker {
public:
    // Builds its chat model from the settings (temperature 0, top_p 0.95, 8192 tokens).
    RelevantTablePicker(const llm::ModelSettings& config, DatabasePtr db);
    RelevantTablePicker(const Value& config_map, DatabasePtr db);
    RelevantTablePicker(ChatModelPtr model, DatabasePtr db);

    // {"relevant_tables": [real table names]}
    Value invoke(const Value& state) const;

    // The model's names mapped onto the real ones.
    static Value reconcile(const Value& chosen, const std::vector<std::string>& real);

private:
    DatabasePtr db_;
    RelevantTableNames step_;
};

} // namespace zolviai::flow
