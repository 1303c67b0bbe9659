#include "zolviai/flow/model_steps.hpp"

#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/flow/context.hpp"
#include "zolviai/flow/records.hpp"
#include "zolviai/graph/state_schema.hpp"
#include "zolviai/prompts/answer_prompt.hpp"
#include "zolviai/prompts/conversation_prompts.hpp"
#include "zolviai/prompts/flow_graph_prompts.hpp"
#include "zolviai/prompts/step_prompts.hpp"

#include <algorithm>
#include <chrono>
#include <spdlog/spdlog.h>

namespace zolviai::flow {

using graph::get_field;

namespace {

std::string text_of(const Value& v) {
    return python::str(v);
}

// What the analysis printed (or its error) reaches the final-answer prompt cut to this many
// bytes: the code chooses its length, and the answer needs its gist, not all of it.
constexpr std::size_t kAnalysisTextInPrompt = 8192;

std::string cut_for_prompt(std::string text) {
    if (text.size() <= kAnalysisTextInPrompt) {
        return text;
    }
    const std::size_t total = text.size();
    text.resize(utf8_prefix_length(text, kAnalysisTextInPrompt));
    return text + "\n[... analysis output cut: the first " + std::to_string(text.size()) + " of " +
           std::to_string(total) + " bytes are shown]";
}

// The question the prompts show: the rewritten one when there is one.
Value question_of(const Value& state) {
    const Value& question = get_field(state, "user_question");
    const Value& rewritten = get_field(state, "rewritten_question");
    return truthy(rewritten) ? rewritten : question;
}

// Positional pairs of two state lists, as long as the shorter one.
Value zipped(const Value& a, const Value& b) {
    Value pairs = Value::array();
    if (!a.is_array() || !b.is_array()) {
        throw TypeError("zip argument must be a list");
    }
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        pairs.push_back({a[i], b[i]});
    }
    return pairs;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

StructuredPtr bind_record(const ChatModelPtr& model, const llm::RecordSchema& schema) {
    return llm::with_structured_output(model, schema);
}

} // namespace

const Value& current_values() {
    static const Value values = read_values();
    return values;
}

// ---- table choice and rewrite ---------------------------------------------------------

RelevantTableNames::RelevantTableNames(DatabasePtr db, ChatModelPtr chat)
    : dialect(db->dialect()), model(bind_record(chat, RelevantTablesOutput())),
      template_({{"system", prompts::SQL_PREFIX, TemplateFormat::Brace},
                 {"user", prompts::GET_RELEVANT_TABLE_NAMES_TEMPLATE, TemplateFormat::Brace}}) {}

std::vector<llm::Message> RelevantTableNames::generate_prompt(const Value& state) const {
    require_state_map(state);
    const Value question = question_of(state);
    const std::string names = joined_names(get_field(state, "table_names_from_db"));
    auto messages = template_.format_messages(
        {{"dialect", dialect}, {"user_question", question}, {"table_names_from_db", names}});
    // The task block holds literal braces, so it is appended after formatting.
    messages[1].content += prompts::TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE;
    return messages;
}

Value RelevantTableNames::invoke(const Value& state) const {
    const Value answer = model->invoke(generate_prompt(state));
    return {{"relevant_tables", answer["relevant_tables"]}};
}

RewriteQuery::RewriteQuery(DatabasePtr db, ChatModelPtr chat)
    : model(bind_record(chat, RewriteQueryOutput())), db(db), tool(db),
      template_({{"system", prompts::REWRITE_QUESTION_TEMPLATE, TemplateFormat::Brace}}) {}

std::vector<llm::Message> RewriteQuery::generate_prompt(const Value& state) const {
    require_state_map(state);
    std::string names = joined_names(get_field(state, "table_names_from_db"));
    // Above the pruning threshold the schema of every table would not fit a prompt (2,000
    // tables describe to megabytes): the rewrite sees the question's candidates, as the
    // picker does. Below it, every table, as always.
    const Value& question = get_field(state, "user_question");
    if (question.is_string()) {
        const sql::TableCandidates candidates = db->candidate_tables(question.get<std::string>());
        if (candidates.pruned) {
            names.clear();
            for (const auto& name : candidates.names) {
                names += (names.empty() ? "" : ", ") + name;
            }
        }
    }
    const std::string schemas = tool.run(names);
    return template_.format_messages({{"user_question", get_field(state, "user_question")},
                                      {"schemas_from_all_tables", schemas}});
}

Value RewriteQuery::invoke(const Value& state) const {
    const Value answer = model->invoke(generate_prompt(state));
    return {{"rewritten_question", answer["rewritten_question"]}};
}

// ---- SQL generation ---------------------------------------------------------------------

SQLGeneration::SQLGeneration(DatabasePtr database, ChatModelPtr chat)
    : db(database), model(bind_record(chat, SQLQueryInput())), dialect(database->dialect()),
      generate_template({{"system", prompts::SQL_GENERATION_SYSTEM_TEXT, TemplateFormat::Brace},
                         {"user", prompts::SQL_GENERATION_USER_TEXT, TemplateFormat::Brace}}),
      correct_template({{"system", prompts::SQL_PREFIX, TemplateFormat::Brace},
                        {"user", prompts::CORRECT_SQL_TEMPLATE, TemplateFormat::Jinja2}}) {}

std::vector<sql::ValueHint> SQLGeneration::value_hints(const Value& state,
                                                       const RunRecord* record) const {
    require_state_map(state);
    if (get_field(state, "sql_generation_prompt_type") != "generation") {
        return {};
    }
    std::vector<sql::ValueHint> hints;
    if (record != nullptr) {
        hints = record->given_value_hints;
    }
    const Value question = question_of(state);
    if (question.is_string()) {
        for (auto& hint : db->value_hints(question.get<std::string>())) {
            const bool known = std::any_of(hints.begin(), hints.end(), [&](const auto& h) {
                return h.table == hint.table && h.column == hint.column && h.value == hint.value;
            });
            if (!known) {
                hints.push_back(std::move(hint));
            }
        }
    }
    const std::size_t most = db->options().values.max_hints;
    if (hints.size() > most) {
        hints.resize(most);
    }
    return hints;
}

std::vector<llm::Message> SQLGeneration::generate_messages(const Value& state) const {
    return generate_messages(state, nullptr, value_hints(state));
}

std::vector<llm::Message> SQLGeneration::generate_messages(const Value& state,
                                                           const RunRecord* record) const {
    return generate_messages(state, record, value_hints(state, record));
}

std::vector<llm::Message>
SQLGeneration::generate_messages(const Value& state,
                                 const std::vector<sql::ValueHint>& hints) const {
    return generate_messages(state, nullptr, hints);
}

std::vector<llm::Message>
SQLGeneration::generate_messages(const Value& state, const RunRecord* record,
                                 const std::vector<sql::ValueHint>& hints) const {
    require_state_map(state);
    const Value& type = get_field(state, "sql_generation_prompt_type");
    // Every state field is a variable of the prompt, beside the dialect.
    Value vars = state;
    vars["dialect"] = dialect;
    if (type == "generation") {
        auto messages = generate_template.format_messages(vars);
        // A follow-up that builds on the previous question sees that question's SQL; the SQL
        // may hold braces, so it is appended after formatting.
        const auto earlier = state.find("earlier_sql");
        if (earlier != state.end() && earlier->is_string() &&
            !earlier->get<std::string>().empty()) {
            messages.back().content +=
                std::string(prompts::FOLLOW_UP_SQL_SECTION) + earlier->get<std::string>();
        }
        if (!hints.empty()) {
            // Added after formatting: values may hold braces.
            std::string section = "\n\n Values_from_the_database (the question's words name "
                                  "these values; write them exactly as the database holds "
                                  "them):";
            for (const auto& h : hints) {
                section += "\n " + h.text() + " -- " + std::to_string(h.count) +
                           (h.count == 1 ? " row" : " rows");
            }
            messages.back().content += section;
        }
        return messages;
    }
    if (type == "correction") {
        Value pairs = zipped(get_field(state, "generated_sql_query"),
                             get_field(state, "sql_execution_result"));
        // Each execution adds one attempt and one result, in the same order.
        if (record != nullptr) {
            const std::size_t n = std::min(pairs.size(), record->attempts.size());
            for (std::size_t k = 0; k < n; ++k) {
                const SqlAttempt& attempt = record->attempts[k];
                if (!attempt.no_rows) {
                    continue;
                }
                std::string note(prompts::NO_ROWS_NOTE);
                if (no_rows_diagnosis && k + 1 == n) {
                    const std::string more = no_rows_diagnosis(attempt.sql, state);
                    note += more.empty() ? "" : "\n" + more;
                }
                pairs[k][1] = note;
            }
        }
        vars["zipped_queries_errors"] = std::move(pairs);
        return correct_template.format_messages(vars);
    }
    throw ValueError("Messages not generated correctly.");
}

Value SQLGeneration::invoke(const Value& state, RunRecord* record) const {
    const auto start = std::chrono::steady_clock::now();
    std::vector<sql::ValueHint> hints = value_hints(state, record);
    auto messages = generate_messages(state, record, hints);
    if (record != nullptr && !hints.empty()) {
        record->value_hints = std::move(hints);
    }
    if (record != nullptr && !record->examples.empty() &&
        get_field(state, "sql_generation_prompt_type") == "generation") {
        std::string section = "\n\nVerified examples (questions about this database whose SQL "
                              "was checked as correct; the values in the question above may "
                              "differ from theirs):";
        for (const auto& example : record->examples) {
            section += "\nQuestion: " + example.question + "\nSQL: " + example.sql;
        }
        messages.back().content += section;
    }
    const Value answer = model->invoke(messages);
    spdlog::info("Invoke generate sql query tooks: {}", python::repr_float(seconds_since(start)));
    return {{"generated_sql_query", Value::array({answer["sql_query"]})}};
}

// ---- analysis code ----------------------------------------------------------------------

PandasGenerator::PandasGenerator(ChatModelPtr chat)
    : model(bind_record(chat, PythonCodeInput())),
      template_({{"system", prompts::PANDAS_SYSTEM_TEMPLATE, TemplateFormat::Jinja2},
                 {"user", prompts::PANDAS_HUMAN_TEMPLATE, TemplateFormat::Jinja2}}),
      correction_template(prompts::PANDAS_CORRECTION_TEXT) {}

Prompt PandasGenerator::generate_prompt(const Value& state) const {
    require_state_map(state);
    const Value question = question_of(state);
    const Value& type = get_field(state, "pandas_generation_prompt_type");
    if (type == "generation") {
        return template_.format_messages(
            {{"original_question", question},
             {"zipped_queries_results", zipped(get_field(state, "generated_sql_query"),
                                               get_field(state, "sql_execution_result"))},
             {"save_path", get_field(state, "save_path")}});
    }
    if (type == "correction") {
        const Value& code = get_field(state, "pandas_code");
        const Value& error = get_field(state, "python_error_message");
        return correction_template.render(
            {{"user_question", question}, {"python_code", code}, {"error", error}});
    }
    throw ValueError("unknown pandas_generation_prompt_type " + python::repr(type) +
                     ": expected 'generation' or 'correction'");
}

Value PandasGenerator::invoke(const Value& state) const {
    const Prompt prompt = generate_prompt(state);
    const Value answer = std::holds_alternative<std::string>(prompt)
                             ? model->invoke(std::get<std::string>(prompt))
                             : model->invoke(std::get<std::vector<llm::Message>>(prompt));
    return {{"pandas_code", answer["code"]}};
}

PandasCorrection::PandasCorrection(ChatModelPtr chat)
    : model(bind_record(chat, PythonCodeInput())), template_(prompts::PANDAS_CORRECTION_TEXT) {}

std::string PandasCorrection::generate_prompt(const Value& state) const {
    require_state_map(state);
    const Value question = question_of(state);
    return template_.render({{"user_question", question},
                             {"python_code", get_field(state, "pandas_code")},
                             {"error", get_field(state, "python_error_message")}});
}

Value PandasCorrection::invoke(const Value& state) const {
    const Value answer = model->invoke(generate_prompt(state));
    return {{"pandas_code", answer["code"]}};
}

// ---- final response ---------------------------------------------------------------------

GenerateResponse::GenerateResponse(ChatModelPtr chat)
    : model(bind_record(chat, GenerationOutput())), template_(prompts::RESPONSE_PROMPT_TEMPLATE) {}

std::string GenerateResponse::generate_prompt(const Value& state) const {
    require_state_map(state);
    const Value& values = current_values();
    const Value& queries = get_field(state, "generated_sql_query");
    const Value& results = get_field(state, "sql_execution_result");
    if (!results.is_array() || results.empty()) {
        throw IndexError("list index out of range");
    }
    // The SQL failure route never writes the analysis fields; after failed analysis runs
    // the last error stands in for the output.
    const auto code = state.find("pandas_code");
    std::string executed;
    const auto success = state.find("python_execution_success");
    const auto error = state.find("python_error_message");
    const auto output = state.find("python_executed_output");
    if (success != state.end() && !truthy(*success) && error != state.end()) {
        executed = text_of(*error);
    } else if (output != state.end()) {
        executed = text_of(*output);
    }
    std::string prompt =
        template_.render({{"user_question", text_of(get_field(state, "user_question"))},
                          {"sql_query", python::str(queries)},
                          {"sql_query_result", text_of(results.back())},
                          {"python_code", code == state.end() ? std::string() : text_of(*code)},
                          {"python_executed_result", cut_for_prompt(std::move(executed))}});
    prompt += prompts::final_node_prompt;
    prompt += prompts::RESPONSE_CONTEXT_LEAD;
    prompt += values.at("context_prompt").get<std::string>();
    prompt += values.at("custom_instructions").get<std::string>();
    return prompt;
}

Value GenerateResponse::invoke(const Value& state, const RunRecord* record) const {
    require_state_map(state);
    const auto success = state.find("execution_success");
    const bool ran_with_rows = success != state.end() && truthy(*success);
    if (record != nullptr && !ran_with_rows) {
        if (const SqlAttempt* empty = record->found_nothing(); empty != nullptr) {
            std::string text(prompts::NO_ROWS_ANSWER);
            text.replace(text.find("{sql}"), 5, empty->sql);
            return {{"final_response", text}};
        }
    }
    print_line("hahahaha : " + current_values().at("custom_instructions").get<std::string>());
    spdlog::info("Enter generate response");
    const auto start = std::chrono::steady_clock::now();
    const std::string prompt = generate_prompt(state);
    print_line("General Response prompt: " + prompt);
    const Value answer = model->invoke(prompt);
    spdlog::info("Finish generating response, took {}", python::repr_float(seconds_since(start)));
    return {{"final_response", answer["final_response"]}, {"image_path", answer["image_path"]}};
}

} // namespace zolviai::flow
