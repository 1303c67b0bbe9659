#include "zolviai/eval/questions.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace zolviai::eval {
namespace {

// Question files are ours or a benchmark's, not an attacker's, but still outside text:
// parsed with limits, large enough for a benchmark's training set.
JsonLimits question_limits() {
    JsonLimits limits;
    limits.max_bytes = 512u * 1024 * 1024;
    limits.max_depth = 64;
    return limits;
}

std::string text_member(const Value& entry, std::string_view key) {
    if (auto s = string_member(&entry, key)) {
        return *s;
    }
    return "";
}

// An id may be written as a number or a text; either way it is compared as text.
std::string id_member(const Value& entry, std::string_view key, const std::string& fallback) {
    const Value* v = find_member(entry, key);
    if (v == nullptr || v->is_null()) {
        return fallback;
    }
    if (v->is_string()) {
        return v->get<std::string>();
    }
    if (v->is_number_integer()) {
        return v->dump();
    }
    throw ValueError("the " + std::string(key) + " must be a text or a whole number");
}

Value gold_member(const Value& entry, std::string_view key) {
    const Value* v = find_member(entry, key);
    if (v == nullptr || v->is_null()) {
        throw ValueError("there is no " + std::string(key));
    }
    if (v->is_string()) {
        if (v->get<std::string>().empty()) {
            throw ValueError("the " + std::string(key) + " is empty");
        }
        return *v;
    }
    if (v->is_object() && !v->empty()) {
        for (const auto& [dialect, sql] : v->items()) {
            if (!sql.is_string() || sql.get<std::string>().empty()) {
                throw ValueError("the " + std::string(key) + " for " + dialect +
                                 " must be a non-empty text");
            }
        }
        return *v;
    }
    throw ValueError("the " + std::string(key) + " must be a text or a map from dialect to text");
}

Question from_entry(const Value& entry, QuestionFormat format, std::size_t position) {
    if (!entry.is_object()) {
        throw ValueError("a question must be a JSON object");
    }
    Question q;
    switch (format) {
    case QuestionFormat::Jsonl:
        q.id = id_member(entry, "id", std::to_string(position));
        q.question = text_member(entry, "question");
        q.evidence = text_member(entry, "evidence");
        q.gold_sql = gold_member(entry, "gold_sql");
        q.db = text_member(entry, "db");
        q.difficulty = text_member(entry, "difficulty");
        q.conversation = text_member(entry, "conversation");
        if (const Value* turn = find_member(entry, "turn"); turn && !turn->is_null()) {
            if (!turn->is_number_integer() || turn->get<long>() < 1) {
                throw ValueError("the turn must be a whole number from 1");
            }
            if (q.conversation.empty()) {
                throw ValueError("a turn needs its conversation");
            }
            q.turn = static_cast<int>(turn->get<long>());
        }
        if (const Value* tags = find_member(entry, "tags"); tags && tags->is_array()) {
            for (const Value& t : *tags) {
                if (t.is_string()) {
                    q.tags.push_back(t.get<std::string>());
                }
            }
        }
        break;
    case QuestionFormat::Spider:
        q.id = std::to_string(position - 1);
        q.question = text_member(entry, "question");
        q.gold_sql = gold_member(entry, "query");
        q.db = text_member(entry, "db_id");
        break;
    case QuestionFormat::Bird:
        q.id = id_member(entry, "question_id", std::to_string(position - 1));
        q.question = text_member(entry, "question");
        q.evidence = text_member(entry, "evidence");
        q.gold_sql = gold_member(entry, "SQL");
        q.db = text_member(entry, "db_id");
        q.difficulty = text_member(entry, "difficulty");
        break;
    case QuestionFormat::Auto:
        break;
    }
    if (q.question.empty()) {
        throw ValueError("the question has no text");
    }
    return q;
}

QuestionFormat array_format(const Value& first) {
    if (find_member(first, "SQL") || find_member(first, "question_id")) {
        return QuestionFormat::Bird;
    }
    return QuestionFormat::Spider;
}

} // namespace

QuestionFormat parse_question_format(std::string_view name) {
    if (name == "auto") {
        return QuestionFormat::Auto;
    }
    if (name == "jsonl") {
        return QuestionFormat::Jsonl;
    }
    if (name == "spider") {
        return QuestionFormat::Spider;
    }
    if (name == "bird") {
        return QuestionFormat::Bird;
    }
    throw ValueError("unknown question format '" + std::string(name) +
                     "': expected auto, jsonl, spider or bird");
}

const char* question_format_name(QuestionFormat format) {
    switch (format) {
    case QuestionFormat::Auto:
        return "auto";
    case QuestionFormat::Jsonl:
        return "jsonl";
    case QuestionFormat::Spider:
        return "spider";
    case QuestionFormat::Bird:
        return "bird";
    }
    return "auto";
}

QuestionFormat detect_question_format(std::string_view text) {
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || text[start] != '[') {
        return QuestionFormat::Jsonl;
    }
    // A benchmark's file: its first entry's keys say which one. Only that entry is parsed.
    const std::size_t open = text.find('{', start);
    if (open == std::string_view::npos) {
        return QuestionFormat::Spider;
    }
    const Value all = parse_json_input(text, question_limits());
    const Value* first = find_element(&all, 0);
    return first == nullptr ? QuestionFormat::Spider : array_format(*first);
}

std::vector<Question> parse_questions(std::string_view text, QuestionFormat format) {
    if (format == QuestionFormat::Auto) {
        format = detect_question_format(text);
    }
    std::vector<Question> out;
    std::set<std::string> ids;
    std::map<std::string, std::set<int>> conversation_turns;
    auto add = [&](Question q, const std::string& where) {
        if (!ids.insert(q.id).second) {
            throw ValueError(where + ": the id '" + q.id + "' is used twice");
        }
        if (!q.conversation.empty()) {
            // A turn left out follows the conversation's last one in the file.
            auto& turns = conversation_turns[q.conversation];
            if (q.turn == 0) {
                q.turn = turns.empty() ? 1 : *turns.rbegin() + 1;
            }
            if (!turns.insert(q.turn).second) {
                throw ValueError(where + ": turn " + std::to_string(q.turn) +
                                 " of the conversation '" + q.conversation + "' is given twice");
            }
        }
        out.push_back(std::move(q));
    };
    if (format == QuestionFormat::Jsonl) {
        std::size_t line_no = 0;
        std::size_t at = 0;
        while (at <= text.size()) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            const std::string_view line = text.substr(at, end - at);
            at = end + 1;
            ++line_no;
            if (line.find_first_not_of(" \t\r") == std::string_view::npos) {
                continue;
            }
            const std::string where = "line " + std::to_string(line_no);
            try {
                add(from_entry(parse_json_input(line, question_limits()), format, line_no), where);
            } catch (const ValueError& e) {
                throw ValueError(where + ": " + e.what());
            }
        }
        return out;
    }
    const Value all = parse_json_input(text, question_limits());
    if (!all.is_array()) {
        throw ValueError(std::string("a ") + question_format_name(format) +
                         " question file must hold a JSON array");
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::string where = "entry " + std::to_string(i);
        try {
            add(from_entry(*find_element(&all, i), format, i + 1), where);
        } catch (const ValueError& e) {
            throw ValueError(where + ": " + e.what());
        }
    }
    return out;
}

std::vector<Question> load_questions(const std::string& path, QuestionFormat format) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw IoError("cannot read the question file " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return parse_questions(text.str(), format);
    } catch (const ValueError& e) {
        throw ValueError(path + ", " + e.what());
    }
}

std::string prompt_text(const Question& question) {
    if (question.evidence.empty()) {
        return question.question;
    }
    return question.question + "\nHint: " + question.evidence;
}

std::optional<std::string> gold_sql_for(const Question& question, std::string_view dialect) {
    if (question.gold_sql.is_string()) {
        return question.gold_sql.get<std::string>();
    }
    if (const auto s = string_member(&question.gold_sql, dialect)) {
        return *s;
    }
    return std::nullopt;
}

std::string database_uri(const Question& question, const std::string& db_root,
                         const std::string& default_uri) {
    if (question.db.empty()) {
        return default_uri;
    }
    if (question.db.find("://") != std::string::npos) {
        return question.db;
    }
    if (db_root.empty()) {
        throw ConfigError("question " + question.id + " names the database '" + question.db +
                          "': give the folder that holds it with --db-root");
    }
    if (question.db.find('/') != std::string::npos || question.db == "..") {
        throw ConfigError("question " + question.id + " names the database '" + question.db +
                          "': a name under the database folder has no '/'");
    }
    const std::filesystem::path file = std::filesystem::absolute(
        std::filesystem::path(db_root) / question.db / (question.db + ".sqlite"));
    return "sqlite:///" + file.string() + "?mode=ro";
}

} // namespace zolviai::eval
