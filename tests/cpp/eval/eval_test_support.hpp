#pragma once

// Scripting the chat server for evaluation runs: reusable rules keyed on what each request
// holds, so that any number of questions can run at once and each gets its own answers.
#include "support/chat_server.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/eval/harness.hpp"
#include "zolviai/llm/openai_models.hpp"

#include <memory>
#include <string>
#include <vector>

namespace zolviai::testing {

// Text as it stands inside a JSON string of a request body.
inline std::string in_json(const std::string& text) {
    const std::string quoted = Value(text).dump();
    return quoted.substr(1, quoted.size() - 2);
}

inline Value rule(const std::string& body_contains, Value answer) {
    return {{"match", {{"body_contains", body_contains}}}, {"answer", std::move(answer)}};
}

// What the model does with one question.
struct ScriptedQuestion {
    std::string prompt;         // the question as the flow asks it
    std::string first_sql;      // the SQL its first generation writes
    std::string later_sql;      // the SQL every correction writes ("": none scripted)
    bool service_fails = false; // the table choice gets 503s until the retries run out
};

// Rules for the questions, in the order the server must try them: the failing services,
// the reviews (each query given back unchanged), the rewrites (the question kept), the table
// choice, the corrections (keyed on the query that failed), the first generations.
inline Value script_rules(const std::vector<ScriptedQuestion>& questions,
                          const std::vector<std::string>& tables) {
    Value fails = Value::array(), reviews = Value::array(), rewrites = Value::array(),
          corrections = Value::array(), generations = Value::array();
    auto review = [&](const std::string& sql) {
        reviews.push_back(rule(in_json("Query:\n" + sql + "\n\nLook for"), {{"content", sql}}));
    };
    for (const auto& q : questions) {
        if (q.service_fails) {
            fails.push_back(
                rule(in_json("<user_question>" + q.prompt + "</user_question>\n    <table_names>"),
                     {{"status", 503},
                      {"headers", {{"retry-after-ms", "1"}}},
                      {"body", {{"error", {{"message", "the model is overloaded"}}}}}}));
            continue;
        }
        review(q.first_sql);
        rewrites.push_back(
            rule(in_json("<user_question>" + q.prompt + "</user_question>\n  <database_info>"),
                 {{"tool_arguments", {{"rewritten_question", q.prompt}}}}));
        if (!q.later_sql.empty()) {
            review(q.later_sql);
            corrections.push_back(rule(in_json(q.first_sql + "\n        </query>"),
                                       {{"tool_arguments", {{"sql_query", q.later_sql}}}}));
        }
        generations.push_back(rule(in_json(q.prompt + "\n Schemas_from_relevant_tables"),
                                   {{"tool_arguments", {{"sql_query", q.first_sql}}}}));
    }
    Value all = Value::array();
    for (Value* part : {&fails, &reviews, &rewrites}) {
        for (auto& r : *part) {
            all.push_back(r);
        }
    }
    all.push_back(
        rule("RelevantTablesOutput", {{"tool_arguments", {{"relevant_tables", tables}}}}));
    for (Value* part : {&corrections, &generations}) {
        for (auto& r : *part) {
            all.push_back(r);
        }
    }
    return all;
}

// A flow factory whose models are the scripted server.
inline eval::FlowFactory scripted_flows(const std::string& url) {
    return [url](std::shared_ptr<sql::CustomSQLDatabase> db) {
        auto make = [&] {
            llm::ChatOpenAI::Options o;
            o.openai_api_key = "key";
            o.model = "gpt-4o";
            o.base_url = url + "/v1";
            o.chat.temperature = 0;
            return std::make_shared<llm::ChatOpenAI>(o);
        };
        return std::make_shared<flow::SQLGraph>(std::move(db), make(), make());
    };
}

} // namespace zolviai::testing
