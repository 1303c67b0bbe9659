// The five tools: the table list, one table's description, the ranking of tables for a
// phrase, guarded SQL and a question to the engine. Every failure a call meets (a refused
// statement, a time-out, an engine's error, a question that could not be answered) is a
// result with isError and the reason in words, never a protocol error: the client's model
// reads it and can try again.
#include "tools.hpp"

#include "zolviai/agent/conversation.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/mcp/text_table.hpp"
#include "zolviai/sql/render.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace zolviai::mcp {
namespace {

namespace fs = std::filesystem;

// A chart larger than this is left out of the answer (its text still says there was one).
constexpr std::uintmax_t kMaxImageBytes = 8 * 1024 * 1024;

// --- Arguments --------------------------------------------------------------------------

void only_known(const Value& args, std::initializer_list<std::string_view> known) {
    for (const auto& [key, value] : args.items()) {
        if (std::find(known.begin(), known.end(), key) == known.end()) {
            throw ArgumentError("unknown argument \"" + key.substr(0, 64) + "\"");
        }
    }
}

std::string required_text(const Value& args, const char* name) {
    const Value* v = find_member(&args, name);
    if (!v) {
        throw ArgumentError(std::string("the argument \"") + name + "\" is missing");
    }
    if (!v->is_string() ||
        v->get_ref<const std::string&>().find_first_not_of(" \t\r\n") == std::string::npos) {
        throw ArgumentError(std::string("the argument \"") + name + "\" must be a non-empty text");
    }
    return v->get<std::string>();
}

bool optional_flag(const Value& args, const char* name, bool fallback) {
    const Value* v = find_member(&args, name);
    if (!v || v->is_null()) {
        return fallback;
    }
    if (!v->is_boolean()) {
        throw ArgumentError(std::string("the argument \"") + name + "\" must be true or false");
    }
    return v->get<bool>();
}

std::size_t optional_count(const Value& args, const char* name, std::size_t fallback,
                           std::size_t most) {
    const Value* v = find_member(&args, name);
    if (!v || v->is_null()) {
        return fallback;
    }
    const auto n = integer_member(&args, name);
    if (!v->is_number() || !n || *n < 1 || static_cast<unsigned long>(*n) > most) {
        throw ArgumentError(std::string("the argument \"") + name +
                            "\" must be a whole number from 1 to " + std::to_string(most));
    }
    return static_cast<std::size_t>(*n);
}

Value text_item(std::string text) {
    return {{"type", "text"}, {"text", std::move(text)}};
}

// --- Results ----------------------------------------------------------------------------

Value result_json(const sql::ResultSet& rs) {
    Value columns = Value::array();
    Value types = Value::array();
    for (const auto& c : rs.columns) {
        columns.push_back(c.name);
        types.push_back(c.type_name);
    }
    Value rows = Value::array();
    for (const auto& row : rs.rows) {
        Value line = Value::array();
        for (const auto& cell : row) {
            line.push_back(sql::cell_json(cell));
        }
        rows.push_back(std::move(line));
    }
    const auto count =
        std::max<std::int64_t>(rs.total_rows, static_cast<std::int64_t>(rs.rows.size()));
    return {{"columns", std::move(columns)},
            {"column_types", std::move(types)},
            {"rows", std::move(rows)},
            {"row_count", count},
            {"truncated", static_cast<std::int64_t>(rs.rows.size()) < count}};
}

TextTableLimits text_limits(const SessionOptions& options) {
    TextTableLimits limits;
    limits.rows = options.text_rows;
    limits.chars = options.text_chars;
    return limits;
}

ToolResult data_result(std::string text, Value data) {
    ToolResult r;
    r.content.push_back(text_item(std::move(text)));
    r.structured = std::move(data);
    return r;
}

std::string base64(const std::string& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += digits[n >> 18 & 63];
        out += digits[n >> 12 & 63];
        out += digits[n >> 6 & 63];
        out += digits[n & 63];
    }
    if (i + 1 == bytes.size()) {
        const unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        out += digits[n >> 18 & 63];
        out += digits[n >> 12 & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        const unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += digits[n >> 18 & 63];
        out += digits[n >> 12 & 63];
        out += digits[n >> 6 & 63];
        out += '=';
    }
    return out;
}

// --- The tools --------------------------------------------------------------------------

ToolResult list_tables(const Backend& b, const SessionOptions&, const Value& args, CallContext&) {
    only_known(args, {});
    Value tables = Value::array();
    std::string text;
    for (const auto& t : b.db->table_summaries()) {
        tables.push_back({{"name", t.name}, {"kind", t.kind}, {"comment", t.comment}});
        text += t.name + (t.kind == "view" ? " (view)" : "") +
                (t.comment.empty() ? "" : ": " + t.comment) + "\n";
    }
    if (text.empty()) {
        text = "(no tables)";
    } else {
        text.pop_back();
    }
    return data_result(std::move(text), {{"tables", std::move(tables)}});
}

ToolResult describe_table(const Backend& b, const SessionOptions& options, const Value& args,
                          CallContext&) {
    only_known(args, {"table"});
    const std::string name = required_text(args, "table");
    const auto detail = b.db->describe_table(name);
    if (!detail) {
        return error_result("there is no table or view named \"" + name.substr(0, 128) +
                            "\"; list_tables gives their names");
    }
    Value columns = Value::array();
    std::string text = detail->kind + " " + detail->name +
                       (detail->comment.empty() ? "" : ": " + detail->comment) + "\ncolumns:\n";
    for (const auto& c : detail->columns) {
        const char* key = c.primary_key ? "primary" : c.foreign_key ? "foreign" : nullptr;
        columns.push_back({{"name", c.name},
                           {"type", c.type},
                           {"nullable", c.nullable},
                           {"key", key ? Value(key) : Value(nullptr)},
                           {"comment", c.comment}});
        text += "  " + c.name + " " + c.type + (c.nullable ? "" : " NOT NULL") +
                (key ? std::string(" (") + key + " key)" : "") +
                (c.comment.empty() ? "" : " -- " + c.comment) + "\n";
    }
    Value keys = Value::array();
    for (const auto& fk : detail->foreign_keys) {
        keys.push_back({{"columns", fk.columns},
                        {"references_table", fk.ref_table},
                        {"references_columns", fk.ref_columns}});
        std::string from;
        std::string to;
        for (const auto& c : fk.columns) {
            from += (from.empty() ? "" : ", ") + c;
        }
        for (const auto& c : fk.ref_columns) {
            to += (to.empty() ? "" : ", ") + c;
        }
        text += "foreign key (" + from + ") references " + fk.ref_table + " (" + to + ")\n";
    }
    Value sample = result_json(detail->sample);
    if (!detail->sample_error.empty()) {
        text += "sample rows could not be read: " + detail->sample_error;
    } else {
        text += "sample rows:\n" + text_table(detail->sample, text_limits(options));
    }
    return data_result(std::move(text), {{"table", detail->name},
                                         {"kind", detail->kind},
                                         {"comment", detail->comment},
                                         {"columns", std::move(columns)},
                                         {"foreign_keys", std::move(keys)},
                                         {"sample_rows", std::move(sample)}});
}

ToolResult search_tables(const Backend& b, const SessionOptions&, const Value& args, CallContext&) {
    only_known(args, {"query", "limit"});
    const std::string phrase = required_text(args, "query");
    const std::size_t limit = optional_count(args, "limit", 10, 100);
    Value tables = Value::array();
    std::string text;
    for (const auto& scored : b.db->rank_tables(phrase, limit)) {
        tables.push_back({{"name", scored.name}, {"score", scored.score}});
        char score[32];
        std::snprintf(score, sizeof score, "%.3f", scored.score);
        text += scored.name + " (score " + score + ")\n";
    }
    if (text.empty()) {
        text = "(no table matches)";
    } else {
        text.pop_back();
    }
    return data_result(std::move(text), {{"tables", std::move(tables)}});
}

ToolResult run_query(const Backend& b, const SessionOptions& options, const Value& args,
                     CallContext&) {
    only_known(args, {"sql", "max_rows"});
    const std::string statement = required_text(args, "sql");
    const std::size_t max_rows =
        optional_count(args, "max_rows", options.default_rows, options.most_rows);
    sql::ResultSet rs;
    try {
        rs = b.db->query(statement, static_cast<std::int64_t>(max_rows));
    } catch (const Error& e) {
        return error_result(e.what());
    }
    return data_result(text_table(rs, text_limits(options)), result_json(rs));
}

// Tells the client each step of a question, and stops the question before its next step
// once the client has cancelled it.
class StepProgress : public graph::Observer {
public:
    explicit StepProgress(CallContext& context) : context_(context) {}

    void on_node_start(std::string_view node, int) override {
        if (context_.cancelled) {
            throw Cancelled("the client cancelled the question");
        }
        std::lock_guard lock(mutex_);
        context_.progress(++done_, agent::step_label(node));
    }
    void on_node_end(std::string_view node, int, std::chrono::nanoseconds, bool failed) override {
        std::lock_guard lock(mutex_);
        context_.progress(++done_, agent::step_label(node) + (failed ? ": failed" : ": done"));
    }

private:
    CallContext& context_;
    std::mutex mutex_;
    double done_ = 0;
};

// The question's own folder for its charts, removed when the call ends.
class QuestionFolder {
public:
    explicit QuestionFolder(const std::string& media_dir) {
        if (media_dir.empty()) {
            return;
        }
        std::string pattern = (fs::path(media_dir) / "mcp-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw IoError("cannot create a folder for the question's charts in " + media_dir);
        }
        path_ = pattern;
    }
    ~QuestionFolder() {
        if (!path_.empty()) {
            std::error_code ec;
            fs::remove_all(path_, ec);
        }
    }
    QuestionFolder(const QuestionFolder&) = delete;
    QuestionFolder& operator=(const QuestionFolder&) = delete;

    const std::string& path() const { return path_; }

    // The PNG the answer names (else the newest one saved), when it is inside the folder.
    std::optional<std::string> chart(const std::string& named) const {
        if (path_.empty()) {
            return std::nullopt;
        }
        std::error_code ec;
        std::optional<fs::path> chosen;
        fs::file_time_type newest{};
        for (const auto& entry : fs::recursive_directory_iterator(path_, ec)) {
            if (entry.is_symlink(ec) || !entry.is_regular_file(ec) ||
                entry.path().extension() != ".png") {
                continue;
            }
            if (!named.empty() && entry.path().filename() == fs::path(named).filename()) {
                chosen = entry.path();
                break;
            }
            const auto when = entry.last_write_time(ec);
            if (!chosen || when > newest) {
                chosen = entry.path();
                newest = when;
            }
        }
        const auto size = chosen ? fs::file_size(*chosen, ec) : 0;
        if (!chosen || ec || size == 0 || size > kMaxImageBytes) {
            return std::nullopt;
        }
        std::ifstream in(*chosen, std::ios::binary);
        std::string bytes(static_cast<std::size_t>(size), '\0');
        if (!in.read(bytes.data(), static_cast<std::streamsize>(size))) {
            return std::nullopt;
        }
        return bytes;
    }

private:
    std::string path_;
};

ToolResult ask(const Backend& b, const SessionOptions& options, const Value& args,
               CallContext& context) {
    only_known(args, {"question", "sql_only", "conversation_id"});
    const std::string text = required_text(args, "question");
    const bool sql_only = optional_flag(args, "sql_only", false);
    std::optional<std::string> conversation_id;
    if (const Value* v = find_member(&args, "conversation_id"); v && !v->is_null()) {
        if (!v->is_string()) {
            throw ArgumentError("the argument \"conversation_id\" must be a text");
        }
        conversation_id = v->get<std::string>();
    }
    if (conversation_id && !b.conversations) {
        return error_result("this server keeps no conversations: ask without conversation_id");
    }
    if (!b.asker) {
        return error_result("no language model is configured for this server: set "
                            "OPENAI_BASE_URL, OPENAI_API_KEY, AZURE_OPENAI_* or "
                            "ZOLVI_API_BASE_URL and start it again");
    }
    QuestionFolder folder(sql_only ? std::string() : options.media_dir);
    agent::Question question;
    question.text = text;
    question.mode = sql_only ? agent::RunMode::SqlOnly : agent::RunMode::Full;
    question.media_dir = folder.path();
    question.max_rows = options.default_rows;
    StepProgress progress(context);
    // With a conversation store every question is a turn: without an id it starts one.
    agent::Answer answer;
    std::string conversation;
    int turn = 0;
    if (b.conversations) {
        try {
            auto next = agent::ask_in_conversation(
                *b.asker, *b.conversations, conversation_id.value_or(""), question, &progress);
            answer = std::move(next.answer);
            conversation = std::move(next.conversation_id);
            turn = next.turn;
        } catch (const state::ConversationNotFound& e) {
            return error_result(std::string("no such conversation (unknown or expired): ") +
                                e.what());
        } catch (const state::ConversationFull& e) {
            return error_result(std::string("the conversation is full: ") + e.what() +
                                "; start a new one without conversation_id");
        }
    } else {
        answer = b.asker->ask(question, &progress);
    }
    if (context.cancelled) {
        throw Cancelled("the client cancelled the question");
    }
    if (!answer.ok()) {
        std::string reason = answer.error.empty() ? "no reason was given" : answer.error;
        if (answer.outcome == "sql_failed") {
            reason = "the SQL could not be written so that it runs: " + reason;
        }
        return error_result("the question could not be answered (" + answer.outcome +
                            "): " + reason);
    }
    Value data = agent::answer_json(answer, options.default_rows);
    if (b.conversations) {
        data["conversation_id"] = conversation;
        data["turn"] = turn;
    }
    data.erase("chart"); // a path on this machine; the picture itself is an image item
    data.erase("steps");
    const auto png = folder.chart(answer.analysis.chart);
    data["has_chart"] = png.has_value();

    std::string shown;
    if (!answer.text.empty()) {
        shown = answer.text + "\n\n";
    }
    if (answer.sql) {
        shown += "SQL:\n" + *answer.sql + "\n\n";
    }
    if (answer.result) {
        shown += "Result:\n" + text_table(*answer.result, text_limits(options));
    }
    ToolResult r = data_result(std::move(shown), std::move(data));
    if (png) {
        r.content.push_back({{"type", "image"}, {"data", base64(*png)}, {"mimeType", "image/png"}});
    }
    return r;
}

// --- Descriptions ---------------------------------------------------------------------

// The shape of a result's rows, shared by run_query, describe_table and ask.
const char* kRowsSchema = R"({
    "columns": {"type": "array", "items": {"type": "string"}},
    "column_types": {"type": "array", "items": {"type": "string"}},
    "rows": {"type": "array", "items": {"type": "array"}},
    "row_count": {"type": "integer"},
    "truncated": {"type": "boolean"}})";

Value schema(const std::string& text) {
    return Value::parse(text);
}

Value rows_schema() {
    return schema(std::string(R"({"type": "object", "properties": )") + kRowsSchema +
                  R"(, "required": ["columns", "rows", "row_count", "truncated"]})");
}

std::vector<Tool> make_tools() {
    const Value read_only = {{"readOnlyHint", true},
                             {"destructiveHint", false},
                             {"idempotentHint", true},
                             {"openWorldHint", false}};
    std::vector<Tool> out;
    out.push_back({"list_tables", "List tables",
                   "Lists the database's tables and views with their kind and comment.",
                   schema(R"({"type": "object", "properties": {}, "additionalProperties": false})"),
                   schema(R"({"type": "object", "properties": {"tables": {"type": "array", "items":
            {"type": "object", "properties": {"name": {"type": "string"},
             "kind": {"type": "string", "enum": ["table", "view"]},
             "comment": {"type": "string"}}, "required": ["name", "kind", "comment"]}}},
            "required": ["tables"]})"),
                   read_only, &list_tables});
    Value describe_output = schema(R"({"type": "object", "properties": {
        "table": {"type": "string"}, "kind": {"type": "string"}, "comment": {"type": "string"},
        "columns": {"type": "array", "items": {"type": "object", "properties": {
            "name": {"type": "string"}, "type": {"type": "string"},
            "nullable": {"type": "boolean"},
            "key": {"type": ["string", "null"], "enum": ["primary", "foreign", null]},
            "comment": {"type": "string"}}, "required": ["name", "type", "nullable", "key"]}},
        "foreign_keys": {"type": "array", "items": {"type": "object", "properties": {
            "columns": {"type": "array", "items": {"type": "string"}},
            "references_table": {"type": "string"},
            "references_columns": {"type": "array", "items": {"type": "string"}}}}}},
        "required": ["table", "kind", "columns", "foreign_keys", "sample_rows"]})");
    describe_output["properties"]["sample_rows"] = rows_schema();
    out.push_back(
        {"describe_table", "Describe a table",
         "Describes one table or view: its columns (name, type, nullable, key), foreign keys, "
         "comment and three sample rows.",
         schema(R"({"type": "object", "properties": {"table": {"type": "string",
            "description": "The table's name as list_tables gives it"}},
            "required": ["table"], "additionalProperties": false})"),
         std::move(describe_output), read_only, &describe_table});
    out.push_back(
        {"search_tables", "Search tables",
         "Finds the tables whose names, columns, comments and sample values match a phrase "
         "best, with their scores, best first.",
         schema(R"({"type": "object", "properties": {
            "query": {"type": "string", "description": "Words about the data you need"},
            "limit": {"type": "integer", "minimum": 1, "maximum": 100, "default": 10}},
            "required": ["query"], "additionalProperties": false})"),
         schema(R"({"type": "object", "properties": {"tables": {"type": "array", "items":
            {"type": "object", "properties": {"name": {"type": "string"},
             "score": {"type": "number"}}, "required": ["name", "score"]}}},
            "required": ["tables"]})"),
         read_only, &search_tables});
    Value query_input = schema(R"({"type": "object", "properties": {
            "sql": {"type": "string", "description": "One read-only SELECT statement"},
            "max_rows": {"type": "integer", "minimum": 1, "default": 100}},
            "required": ["sql"], "additionalProperties": false})");
    out.push_back(
        {"run_query", "Run a read-only query",
         "Runs one read-only SQL statement through the statement guard (single read "
         "statements calling only side-effect-free functions) and gives its columns and typed "
         "rows, at most max_rows of them. Refused statements, time-outs and database errors "
         "come back as error results saying why.",
         std::move(query_input), rows_schema(), read_only, &run_query});
    Value ask_output = schema(R"({"type": "object", "properties": {
        "question": {"type": "string"}, "outcome": {"type": "string"},
        "answer": {"type": ["string", "null"]}, "sql": {"type": ["string", "null"]},
        "has_chart": {"type": "boolean"},
        "conversation_id": {"type": "string"}, "turn": {"type": "integer"},
        "understood_as": {"type": "string"},
        "from_memory": {"type": ["object", "null"]},
        "usage": {"type": "object", "properties": {"model_calls": {"type": "integer"},
            "prompt_tokens": {"type": "integer"}, "completion_tokens": {"type": "integer"},
            "cost": {"type": "number"}}}},
        "required": ["question", "outcome", "answer", "sql", "columns", "rows", "row_count",
                     "truncated", "usage", "has_chart"]})");
    const Value rows_properties = Value::parse(kRowsSchema);
    for (const auto& [key, value] : rows_properties.items()) {
        ask_output["properties"][key] = value;
    }
    out.push_back(
        {"ask",
         "Ask a question about the data",
         "Answers a question in plain language: writes SQL for it, runs it through the "
         "statement guard, analyses the rows and writes the answer. Gives the answer, the SQL, "
         "the rows, the model usage and the chart (an image) when one was drawn. sql_only "
         "stops once the SQL has run. A question is a turn of a conversation: pass the "
         "conversation_id a result gave to ask a follow-up (\"and only for 2023?\"); without "
         "one a new conversation starts. from_memory names the verified SQL that answered, "
         "when one did.",
         schema(R"({"type": "object", "properties": {
            "question": {"type": "string", "description": "The question, in plain language"},
            "sql_only": {"type": "boolean", "default": false},
            "conversation_id": {"type": "string", "description": "Continue this conversation: the id an earlier result gave"}},
            "required": ["question"], "additionalProperties": false})"),
         std::move(ask_output),
         {{"readOnlyHint", true}, {"destructiveHint", false}, {"openWorldHint", false}},
         &ask});
    return out;
}

} // namespace

ToolResult error_result(const std::string& message) {
    ToolResult r;
    r.content.push_back(text_item(message));
    r.is_error = true;
    return r;
}

const std::vector<Tool>& tools() {
    static const std::vector<Tool> table = make_tools();
    return table;
}

const Tool* find_tool(std::string_view name) {
    for (const Tool& t : tools()) {
        if (name == t.name) {
            return &t;
        }
    }
    return nullptr;
}

} // namespace zolviai::mcp
