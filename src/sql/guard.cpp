#include "zolviai/sql/guard.hpp"

#include "zolviai/core/error.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace zolviai::sql {

namespace {

enum class Dialect { Postgresql, Mysql, Mssql, Sqlite };

// A token outside quoted text, quoted names and comments: a bare word (upper-cased) or one
// punctuation character. Literals and quoted names become a single "'" or "\"" token.
struct Token {
    std::string text;
    bool word = false;
};

bool is_word_char(unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80;
}

class Tokenizer {
public:
    Tokenizer(std::string_view sql, Dialect dialect) : s_(sql), d_(dialect) {}

    // Fills tokens; returns a reason when the text cannot be read safely.
    std::optional<std::string> run(std::vector<Token>& tokens) {
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++i_;
                continue;
            }
            if (c == '-' && peek(1) == '-') {
                if (d_ == Dialect::Mysql &&
                    !(i_ + 2 >= s_.size() || std::isspace(static_cast<unsigned char>(peek(2))) ||
                      std::iscntrl(static_cast<unsigned char>(peek(2))))) {
                    // MariaDB reads "--x" as minus minus x.
                    tokens.push_back({"-", false});
                    ++i_;
                    continue;
                }
                skip_line();
                continue;
            }
            if (c == '#' && d_ == Dialect::Mysql) {
                skip_line();
                continue;
            }
            if (c == '/' && peek(1) == '*') {
                if (d_ == Dialect::Mysql &&
                    (peek(2) == '!' || (peek(2) == 'M' && peek(3) == '!'))) {
                    // MariaDB runs the text of executable comments: read it as code.
                    i_ += peek(2) == '!' ? 3 : 4;
                    while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) {
                        ++i_; // version number
                    }
                    ++executable_comments_;
                    continue;
                }
                if (!skip_block_comment()) {
                    return "the statement has an unterminated comment";
                }
                continue;
            }
            if (c == '*' && peek(1) == '/' && executable_comments_ > 0) {
                --executable_comments_;
                i_ += 2;
                continue;
            }
            if (c == '\'') {
                if (!skip_quoted('\'', backslash_strings(), true)) {
                    return "the statement has an unterminated quoted text";
                }
                tokens.push_back({"'", false});
                continue;
            }
            if (c == '"') {
                if (!skip_quoted('"', d_ == Dialect::Mysql, true)) {
                    return "the statement has an unterminated quoted name";
                }
                tokens.push_back({"\"", false});
                continue;
            }
            if (c == '`' && (d_ == Dialect::Mysql || d_ == Dialect::Sqlite)) {
                if (!skip_quoted('`', false, true)) {
                    return "the statement has an unterminated quoted name";
                }
                tokens.push_back({"\"", false});
                continue;
            }
            if (c == '[' && (d_ == Dialect::Mssql || d_ == Dialect::Sqlite)) {
                if (!skip_quoted(']', false, d_ == Dialect::Mssql, 1)) {
                    return "the statement has an unterminated quoted name";
                }
                tokens.push_back({"\"", false});
                continue;
            }
            if (c == '$' && d_ == Dialect::Postgresql && dollar_quote_start()) {
                if (!skip_dollar_quoted()) {
                    return "the statement has an unterminated dollar-quoted text";
                }
                tokens.push_back({"'", false});
                continue;
            }
            if (is_word_char(static_cast<unsigned char>(c))) {
                // E'..' (PostgreSQL), N'..', X'..', B'..' and the like prefix a literal.
                std::size_t start = i_;
                while (i_ < s_.size() && is_word_char(static_cast<unsigned char>(s_[i_]))) {
                    ++i_;
                }
                std::string word(s_.substr(start, i_ - start));
                for (char& ch : word) {
                    ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                }
                if (i_ < s_.size() && s_[i_] == '\'' && word.size() <= 2) {
                    const bool backslashes =
                        backslash_strings() || (d_ == Dialect::Postgresql && word == "E");
                    if (!skip_quoted('\'', backslashes, true)) {
                        return "the statement has an unterminated quoted text";
                    }
                    tokens.push_back({"'", false});
                    continue;
                }
                tokens.push_back({std::move(word), true});
                continue;
            }
            tokens.push_back({std::string(1, c), false});
            ++i_;
        }
        if (executable_comments_ > 0) {
            return "the statement has an unterminated comment";
        }
        return std::nullopt;
    }

private:
    char peek(std::size_t n) const { return i_ + n < s_.size() ? s_[i_ + n] : '\0'; }
    bool backslash_strings() const { return d_ == Dialect::Mysql; }

    void skip_line() {
        while (i_ < s_.size() && s_[i_] != '\n') {
            ++i_;
        }
    }

    bool skip_block_comment() {
        // PostgreSQL and SQL Server nest block comments; MariaDB and SQLite do not.
        const bool nests = d_ == Dialect::Postgresql || d_ == Dialect::Mssql;
        int depth = 0;
        while (i_ < s_.size()) {
            if (s_[i_] == '/' && peek(1) == '*' && (nests || depth == 0)) {
                ++depth;
                i_ += 2;
            } else if (s_[i_] == '*' && peek(1) == '/') {
                --depth;
                i_ += 2;
                if (depth == 0) {
                    return true;
                }
            } else {
                ++i_;
            }
        }
        return false;
    }

    // Skips a quoted run starting at s_[i_] (opening character skipped by `open` bytes).
    bool skip_quoted(char close, bool backslashes, bool doubling, std::size_t open = 1) {
        i_ += open;
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (backslashes && c == '\\') {
                i_ += 2;
                continue;
            }
            if (c == close) {
                if (doubling && peek(1) == close) {
                    i_ += 2;
                    continue;
                }
                ++i_;
                return true;
            }
            ++i_;
        }
        return false;
    }

    bool dollar_quote_start() {
        std::size_t j = i_ + 1;
        while (j < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[j])) || s_[j] == '_')) {
            ++j;
        }
        if (j >= s_.size() || s_[j] != '$') {
            return false;
        }
        if (j > i_ + 1 && std::isdigit(static_cast<unsigned char>(s_[i_ + 1]))) {
            return false; // $1 is a parameter
        }
        tag_ = std::string(s_.substr(i_, j - i_ + 1));
        return true;
    }

    bool skip_dollar_quoted() {
        const std::size_t end = s_.find(tag_, i_ + tag_.size());
        if (end == std::string_view::npos) {
            return false;
        }
        i_ = end + tag_.size();
        return true;
    }

    std::string_view s_;
    Dialect d_;
    std::size_t i_ = 0;
    int executable_comments_ = 0;
    std::string tag_;
};

bool in(const std::string& word, std::initializer_list<std::string_view> list) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

// Words that change data, schema, sessions, files or transactions wherever they appear.
bool forbidden_keyword(const std::string& w) {
    return in(w,
              {"INSERT",     "UPDATE",    "DELETE",         "MERGE",      "UPSERT",   "DROP",
               "CREATE",     "ALTER",     "TRUNCATE",       "GRANT",      "REVOKE",   "COPY",
               "INTO",       "ATTACH",    "DETACH",         "EXEC",       "EXECUTE",  "CALL",
               "LOCK",       "UNLOCK",    "LOAD",           "OUTFILE",    "DUMPFILE", "HANDLER",
               "RENAME",     "VACUUM",    "REINDEX",        "CLUSTER",    "COMMIT",   "ROLLBACK",
               "SAVEPOINT",  "RELEASE",   "BEGIN",          "DECLARE",    "PREPARE",  "DEALLOCATE",
               "KILL",       "SHUTDOWN",  "LISTEN",         "NOTIFY",     "UNLISTEN", "REFRESH",
               "IMPORT",     "INSTALL",   "UNINSTALL",      "FLUSH",      "PURGE",    "RESET",
               "OPENROWSET", "OPENQUERY", "OPENDATASOURCE", "OPENXML",    "BACKUP",   "RESTORE",
               "DBCC",       "BULK",      "CHECKPOINT",     "OPTIMIZE",   "REPAIR",   "DISCARD",
               "SECURITY",   "REASSIGN",  "WRITETEXT",      "UPDATETEXT", "READTEXT", "WAITFOR",
               "REVERT",     "SETUSER"});
}

// Functions that write, reach files or other servers, or change settings.
bool forbidden_function(const std::string& w) {
    static const std::array<std::string_view, 8> prefixes = {
        "PG_ADVISORY", "PG_TRY_ADVISORY", "DBLINK", "LO_", "XP_", "SP_", "PG_LS_", "PG_READ_"};
    for (std::string_view p : prefixes) {
        if (w.compare(0, p.size(), p) == 0) {
            return true;
        }
    }
    return in(w, {"SET_CONFIG",
                  "PG_TERMINATE_BACKEND",
                  "PG_CANCEL_BACKEND",
                  "PG_RELOAD_CONF",
                  "PG_ROTATE_LOGFILE",
                  "PG_STAT_FILE",
                  "PG_FILE_WRITE",
                  "PG_PROMOTE",
                  "PG_SWITCH_WAL",
                  "PG_CREATE_RESTORE_POINT",
                  "PG_NOTIFY",
                  "NEXTVAL",
                  "SETVAL",
                  "QUERY_TO_XML",
                  "QUERY_TO_XMLSCHEMA",
                  "QUERY_TO_XML_AND_XMLSCHEMA",
                  "CURSOR_TO_XML",
                  "CURSOR_TO_XMLSCHEMA",
                  "PG_LOGICAL_EMIT_MESSAGE",
                  "TXID_CURRENT",
                  "PG_CURRENT_XACT_ID",
                  "PG_IMPORT_SYSTEM_COLLATIONS",
                  "LOAD_FILE",
                  "GET_LOCK",
                  "RELEASE_LOCK",
                  "RELEASE_ALL_LOCKS",
                  "LOAD_EXTENSION",
                  "READFILE",
                  "WRITEFILE",
                  "EDIT",
                  "FSDIR"});
}

// PRAGMAs that only read, and may take a table or index name in parentheses.
bool reading_pragma(const std::string& name) {
    return in(name, {"TABLE_INFO",      "TABLE_XINFO",       "TABLE_LIST",       "INDEX_LIST",
                     "INDEX_INFO",      "INDEX_XINFO",       "FOREIGN_KEY_LIST", "DATABASE_LIST",
                     "COLLATION_LIST",  "FUNCTION_LIST",     "MODULE_LIST",      "PRAGMA_LIST",
                     "COMPILE_OPTIONS", "FOREIGN_KEY_CHECK", "QUICK_CHECK",      "INTEGRITY_CHECK",
                     "USER_VERSION",    "SCHEMA_VERSION",    "APPLICATION_ID",   "ENCODING",
                     "PAGE_COUNT",      "PAGE_SIZE",         "FREELIST_COUNT",   "DATA_VERSION",
                     "QUERY_ONLY",      "FOREIGN_KEYS",      "JOURNAL_MODE"});
}

Dialect dialect_of(std::string_view name) {
    if (name == "postgresql") {
        return Dialect::Postgresql;
    }
    if (name == "mysql") {
        return Dialect::Mysql;
    }
    if (name == "mssql") {
        return Dialect::Mssql;
    }
    return Dialect::Sqlite;
}

std::string found(const std::string& what) {
    return "only a single read-only query may run (found " + what + ")";
}

} // namespace

std::optional<std::string> refusal_reason(std::string_view sql, std::string_view dialect_name) {
    const Dialect dialect = dialect_of(dialect_name);
    std::vector<Token> tokens;
    if (auto problem = Tokenizer(sql, dialect).run(tokens)) {
        return *problem;
    }
    // One statement: a ';' may only end it.
    while (!tokens.empty() && !tokens.back().word && tokens.back().text == ";") {
        tokens.pop_back();
    }
    if (tokens.empty()) {
        return std::string("the statement is empty");
    }
    for (const Token& t : tokens) {
        if (!t.word && t.text == ";") {
            return found("more than one statement");
        }
    }

    std::size_t first = 0;
    while (first < tokens.size() && !tokens[first].word && tokens[first].text == "(") {
        ++first;
    }
    if (first == tokens.size() || !tokens[first].word) {
        return found("a statement that does not start with SELECT");
    }
    const std::string& lead = tokens[first].word ? tokens[first].text : std::string();
    if (lead == "PRAGMA") {
        if (dialect != Dialect::Sqlite) {
            return found("PRAGMA");
        }
        // PRAGMA [schema.]name [(argument)] — reading forms only.
        std::size_t k = first + 1;
        if (k + 2 < tokens.size() && tokens[k + 1].text == ".") {
            k += 2;
        }
        if (k >= tokens.size() || !tokens[k].word) {
            return found("a PRAGMA without a name");
        }
        const std::string& name = tokens[k].text;
        for (std::size_t j = k + 1; j < tokens.size(); ++j) {
            if (!tokens[j].word && tokens[j].text == "=") {
                return found("a PRAGMA that sets " + name);
            }
        }
        const bool has_argument = k + 1 < tokens.size();
        if (!reading_pragma(name) ||
            (has_argument &&
             in(name, {"USER_VERSION", "SCHEMA_VERSION", "APPLICATION_ID", "QUERY_ONLY",
                       "FOREIGN_KEYS", "JOURNAL_MODE", "ENCODING", "PAGE_SIZE"}))) {
            return found("PRAGMA " + name);
        }
        return std::nullopt;
    }
    if (!in(lead, {"SELECT", "WITH", "VALUES", "TABLE", "SHOW", "DESCRIBE", "DESC", "EXPLAIN"})) {
        return found(lead);
    }
    if (lead == "TABLE" && dialect != Dialect::Postgresql && dialect != Dialect::Mysql) {
        return found(lead);
    }

    for (std::size_t k = first; k < tokens.size(); ++k) {
        const Token& t = tokens[k];
        if (!t.word) {
            continue;
        }
        // A name after a dot is a column or table name, not a keyword (t.delete).
        if (k > 0 && !tokens[k - 1].word && tokens[k - 1].text == ".") {
            continue;
        }
        if (forbidden_keyword(t.text)) {
            return found(t.text);
        }
        const bool called = k + 1 < tokens.size() && tokens[k + 1].text == "(";
        if (called && forbidden_function(t.text)) {
            return found("the function " + t.text);
        }
        if (t.text == "PRAGMA" || t.text == "SET" || t.text == "USE" || t.text == "DO") {
            return found(t.text);
        }
        if (t.text == "ANALYZE" || t.text == "ANALYSE") {
            // EXPLAIN ANALYZE runs the statement it explains.
            return found(t.text);
        }
    }
    return std::nullopt;
}

void check_read_only_statement(std::string_view sql, std::string_view dialect) {
    if (auto reason = refusal_reason(sql, dialect)) {
        throw DatabaseError("Statement refused: " + *reason);
    }
}

} // namespace zolviai::sql
