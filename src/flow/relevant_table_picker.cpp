#include "zolviai/flow/relevant_table_picker.hpp"

#include "zolviai/graph/state_schema.hpp"

#include <algorithm>
#include <cctype>
#include <spdlog/spdlog.h>

namespace zolviai::flow {
namespace {

std::string folded(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

ChatModelPtr model_from(const Value& config_map) {
    return llm::build_azure_chat_model(
        config_map,
        {{"max_tokens", 8192}, {"temperature", 0}, {"model_kwargs", {{"top_p", 0.95}}}});
}

} // namespace

RelevantTablePicker::RelevantTablePicker(const llm::ModelSettings& config, DatabasePtr db)
    : RelevantTablePicker(model_from(config.attribute_map()), std::move(db)) {}

RelevantTablePicker::RelevantTablePicker(const Value& config_map, DatabasePtr db)
    : RelevantTablePicker(model_from(config_map), std::move(db)) {}

RelevantTablePicker::RelevantTablePicker(ChatModelPtr model, DatabasePtr db)
    : db_(db), step_(db, std::move(model)) {}

Value RelevantTablePicker::reconcile(const Value& chosen, const std::vector<std::string>& real) {
    Value out = Value::array();
    if (!chosen.is_array()) {
        return out;
    }
    for (const auto& name : chosen) {
        if (!name.is_string()) {
            continue;
        }
        const std::string wanted = name.get<std::string>();
        // An exact match wins over a match that differs only in letter case.
        auto it = std::find(real.begin(), real.end(), wanted);
        if (it == real.end()) {
            it = std::find_if(real.begin(), real.end(),
                              [&](const std::string& r) { return folded(r) == folded(wanted); });
        }
        if (it == real.end()) {
            spdlog::info("the model chose the table '{}', which the database does not have",
                         wanted);
            continue;
        }
        if (std::find(out.begin(), out.end(), Value(*it)) == out.end()) {
            out.push_back(*it);
        }
    }
    return out;
}

// The tables verified examples read, as the database names them, without repeats.
static std::vector<std::string> example_tables(const RunRecord* record,
                                               const std::vector<std::string>& real) {
    std::vector<std::string> out;
    if (record == nullptr) {
        return out;
    }
    for (const auto& example : record->examples) {
        for (const auto& table : example.tables) {
            const auto it = std::find_if(real.begin(), real.end(), [&](const std::string& r) {
                return folded(r) == folded(table);
            });
            if (it != real.end() && std::find(out.begin(), out.end(), *it) == out.end()) {
                out.push_back(*it);
            }
        }
    }
    return out;
}

Value RelevantTablePicker::narrowed(const Value& state, const RunRecord* record) const {
    if (!state.is_object()) {
        return state; // the step reports it
    }
    // The question the prompt shows: the rewritten one when there is one.
    std::string question;
    for (const char* field : {"rewritten_question", "user_question"}) {
        const auto it = state.find(field);
        if (it != state.end() && it->is_string() && !it->get<std::string>().empty()) {
            question = it->get<std::string>();
            break;
        }
    }
    sql::TableCandidates candidates = db_->candidate_tables(question);
    if (!candidates.pruned) {
        return state;
    }
    // Tables verified examples read are candidates whatever their rank.
    const std::vector<std::string> offered =
        record ? example_tables(record, db_->get_usable_table_names()) : std::vector<std::string>();
    for (const auto& table : offered) {
        if (std::find(candidates.names.begin(), candidates.names.end(), table) ==
            candidates.names.end()) {
            candidates.names.push_back(table);
        }
    }
    std::sort(candidates.names.begin(), candidates.names.end());
    if (spdlog::should_log(spdlog::level::debug)) {
        std::string ranked;
        for (const auto& s : candidates.scores) {
            ranked += (ranked.empty() ? "" : ", ") + s.name + fmt::format(" {:.2f}", s.score);
        }
        spdlog::debug("table pruning: {} of {} tables for the picker; ranked: {}",
                      candidates.names.size(), candidates.total, ranked);
    }
    std::string names;
    for (const auto& name : candidates.names) {
        names += (names.empty() ? "" : ", ") + name;
    }
    Value out = state;
    out["table_names_from_db"] = names;
    return out;
}

std::vector<llm::Message> RelevantTablePicker::generate_prompt(const Value& state,
                                                               const RunRecord* record) const {
    std::vector<llm::Message> messages = step_.generate_prompt(narrowed(state, record));
    const std::vector<std::string> offered =
        record ? example_tables(record, db_->get_usable_table_names()) : std::vector<std::string>();
    if (!offered.empty()) {
        std::string names;
        for (const auto& name : offered) {
            names += (names.empty() ? "" : ", ") + name;
        }
        messages.back().content +=
            "\nLikely tables (read by verified queries for similar questions): " + names;
    }
    return messages;
}

Value RelevantTablePicker::invoke(const Value& state, const RunRecord* record) const {
    const Value answer = step_.model->invoke(generate_prompt(state, record));
    return {
        {"relevant_tables", reconcile(answer["relevant_tables"], db_->get_usable_table_names())}};
}

} // namespace zolviai::flow
