#pragma once

#include "zolviai/core/value.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Question sets: our own JSON Lines, and the public benchmarks' dev.json files.
namespace zolviai::eval {

struct Question {
    std::string id;
    std::string question;
    std::string evidence; // a hint that comes with the question (BIRD's "evidence")
    // The reference query: a text, or a map from dialect ("sqlite", "postgresql", "mysql",
    // "mssql") to text when engines need different SQL.
    Value gold_sql;
    std::string db; // a database URI, a name under the database folder, or "" (the default)
    std::string difficulty;
    std::vector<std::string> tags;
    // Questions of one conversation ("" none) are asked in turn order, each a follow-up of
    // the ones before; gold SQL is per turn.
    std::string conversation;
    int turn = 0;
};

// JSON Lines: {"id", "question", "gold_sql", "db"?, "evidence"?, "difficulty"?, "tags"?,
// "conversation"?, "turn"?} (turn: 1, 2, ... within its conversation, unique there).
// Spider: a JSON array of {"db_id", "question", "query"}. BIRD: a JSON array of
// {"question_id", "db_id", "question", "evidence", "SQL", "difficulty"}. Auto tells them
// apart by their keys.
enum class QuestionFormat { Auto, Jsonl, Spider, Bird };

// "auto", "jsonl", "spider" or "bird"; anything else is a ValueError naming it.
QuestionFormat parse_question_format(std::string_view name);
const char* question_format_name(QuestionFormat format);

// The format of a file's text as auto-detection sees it (never Auto).
QuestionFormat detect_question_format(std::string_view text);

// Reads the questions of a file's text. A question without text or gold SQL, a repeated
// id or malformed JSON is a ValueError naming the line (JSON Lines) or the entry (arrays).
// Ids: JSON Lines' "id" (the line number when absent), BIRD's question_id, Spider's position
// in the file.
std::vector<Question> parse_questions(std::string_view text,
                                      QuestionFormat format = QuestionFormat::Auto);

// The same from a file; an unreadable file is an IoError naming it.
std::vector<Question> load_questions(const std::string& path,
                                     QuestionFormat format = QuestionFormat::Auto);

// What the flow is asked: the question, with the evidence joined as the benchmark's own
// baselines do ("<question>\nHint: <evidence>").
std::string prompt_text(const Question& question);

// The gold query for an engine's dialect; nothing when a per-dialect map has no entry for it.
std::optional<std::string> gold_sql_for(const Question& question, std::string_view dialect);

// The database URI a question runs on: its own URI; a name under db_root laid out as the
// benchmarks ship them (<db_root>/<name>/<name>.sqlite, opened read-only); or default_uri
// when it names none. A name without db_root is a ConfigError.
std::string database_uri(const Question& question, const std::string& db_root,
                         const std::string& default_uri);

} // namespace zolviai::eval
