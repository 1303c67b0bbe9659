// The rules for generated SQL on MySQL and MariaDB. The server has no parse tree to ask for, so
// a lexer that reads the text as the server's lexer does (comments, executable comments, quoted
// text, quoted names) turns it into tokens, and the tokens are checked: one statement, a
// reading kind of statement, no clause or keyword that writes, locks or changes the session,
// and no call of a function that is not on the allow-list. Wherever the server's reading of a
// text could depend on something the lexer cannot know (a server version, a line ending some
// servers treat differently), the text is refused rather than guessed at.
#include "sql/drivers/policies.hpp"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace zolviai::sql::drivers {

namespace {

enum class Kind { Word, Name, Text, Number, Punct };

// A token of code. Word: a bare word, upper-cased. Name: a back-quoted name, as written inside
// the quotes. Text: a quoted or hex/bit literal. Number: a numeric literal as the server reads
// it ("1", "1.", ".5", "1e5"). Punct: one character of punctuation.
struct Token {
    Kind kind;
    std::string text;
    // Inside a version-numbered executable comment: code on servers at least that new, a
    // comment on older ones. Such tokens are checked both ways.
    bool versioned = false;
};

bool is_word_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c >= 0x80;
}

// The server's whitespace (my_isspace): tab, line feed, vertical tab, form feed, carriage
// return and space.
bool is_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

class Lexer {
public:
    Lexer(std::string_view sql, bool backslash_escapes)
        : s_(sql), backslashes_(backslash_escapes) {}

    // Fills tokens; a reason when the text cannot be read the way the server reads it.
    std::optional<std::string> run(std::vector<Token>& tokens) {
        if (s_.find('\0') != std::string_view::npos) {
            return std::string("the statement contains a NUL byte");
        }
        while (i_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (is_space(c)) {
                ++i_;
                continue;
            }
            if (c == '#') {
                if (auto problem = skip_line_comment("#")) {
                    return problem;
                }
                continue;
            }
            if (c == '-' && peek(1) == '-') {
                // "--" starts a comment only before whitespace, a control character or the end
                // of the text; otherwise it is two minus signs.
                const unsigned char next = static_cast<unsigned char>(peek(2));
                if (i_ + 2 >= s_.size() || next <= ' ' || next == 0x7f) {
                    if (auto problem = skip_line_comment("--")) {
                        return problem;
                    }
                    continue;
                }
            }
            if (c == '/' && peek(1) == '*') {
                if (auto problem = open_comment()) {
                    return problem;
                }
                continue;
            }
            if (c == '*' && peek(1) == '/' && in_executable_) {
                if (auto problem = close_executable_comment()) {
                    return problem;
                }
                continue;
            }
            if (c == '\'' || c == '"') {
                if (!skip_quoted(static_cast<char>(c), backslashes_)) {
                    return std::string("the statement has an unterminated quoted text");
                }
                push(Kind::Text, "'");
                continue;
            }
            if (c == '`') {
                const std::size_t start = i_ + 1;
                if (!skip_quoted('`', false)) {
                    return std::string("the statement has an unterminated back-quoted name");
                }
                push(Kind::Name, unquote(s_.substr(start, i_ - 1 - start)));
                ident_end_ = i_;
                continue;
            }
            if (c >= '0' && c <= '9' && i_ != ident_sep_) {
                if (auto problem = read_number()) {
                    return problem;
                }
                continue;
            }
            if (is_word_byte(c)) {
                if (auto problem = read_word()) {
                    return problem;
                }
                continue;
            }
            if (c == '.' && i_ != ident_end_ && std::isdigit(static_cast<unsigned char>(peek(1)))) {
                // ".5": a number, unless the dot follows a name directly (t.5 names a column).
                if (auto problem = read_number()) {
                    return problem;
                }
                continue;
            }
            if (c == '.' && i_ == ident_end_ && is_word_byte(static_cast<unsigned char>(peek(1)))) {
                // A dot right after a name, before a name character: the server reads the next
                // word as a name whatever it starts with (t.1e5 is the column 1e5).
                ident_sep_ = i_ + 1;
            }
            push(Kind::Punct, std::string(1, static_cast<char>(c)));
            ++i_;
        }
        if (in_executable_) {
            return std::string("the statement has an unterminated executable comment");
        }
        tokens = std::move(tokens_);
        return std::nullopt;
    }

private:
    char peek(std::size_t n) const { return i_ + n < s_.size() ? s_[i_ + n] : '\0'; }

    void push(Kind kind, std::string text) {
        tokens_.push_back({kind, std::move(text), in_executable_ && versioned_});
    }

    // '#' and '-- ' comments run to a line feed or the end of the text. A carriage return
    // alone inside one is refused: MariaDB reads on to the line feed, other servers and
    // tools end the comment there, and the two readings see different code.
    std::optional<std::string> skip_line_comment(const char* opener) {
        while (i_ < s_.size() && s_[i_] != '\n') {
            if (s_[i_] == '\r' && peek(1) != '\n') {
                return std::string("a ") + opener +
                       " comment holds a carriage return that is not followed by a line feed";
            }
            ++i_;
        }
        return std::nullopt;
    }

    std::optional<std::string> open_comment() {
        const bool mariadb_only = peek(2) == 'M' && peek(3) == '!';
        if (peek(2) != '!' && !mariadb_only) {
            // A plain comment ends at the first "*/"; they do not nest.
            const std::size_t end = s_.find("*/", i_ + 2);
            if (end == std::string_view::npos) {
                return std::string("the statement has an unterminated comment");
            }
            i_ = end + 2;
            return std::nullopt;
        }
        if (in_executable_) {
            return std::string("an executable comment inside an executable comment");
        }
        // The text of /*! ... */ and /*M! ... */ is code. A version number (5 or 6 digits)
        // makes it code only on servers at least that new: both readings are checked.
        i_ += mariadb_only ? 4 : 3;
        std::size_t digits = 0;
        while (digits < 5 && std::isdigit(static_cast<unsigned char>(peek(digits)))) {
            ++digits;
        }
        versioned_ = digits == 5;
        if (versioned_) {
            i_ += std::isdigit(static_cast<unsigned char>(peek(5))) ? 6 : 5;
        }
        in_executable_ = true;
        body_start_ = i_;
        return std::nullopt;
    }

    // Servers that skip a version-numbered comment end it at the first "*/" (and nest one
    // plain comment inside it); servers that run it end it at the first "*/" outside quoted
    // text. Both must end it at the same place, so the body may hold neither "*/" nor "/*".
    std::optional<std::string> close_executable_comment() {
        const std::string_view body = s_.substr(body_start_, i_ - body_start_);
        if (body.find("*/") != std::string_view::npos ||
            body.find("/*") != std::string_view::npos) {
            return std::string("an executable comment holds \"*/\" or \"/*\" inside quoted "
                               "text or a comment, so servers disagree on where it ends");
        }
        i_ += 2;
        in_executable_ = false;
        versioned_ = false;
        return std::nullopt;
    }

    // Skips a quoted run starting at the opening quote; a doubled quote stands for itself.
    bool skip_quoted(char quote, bool backslashes) {
        ++i_;
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (backslashes && c == '\\') {
                if (i_ + 1 >= s_.size()) {
                    return false;
                }
                i_ += 2;
                continue;
            }
            if (c == quote) {
                if (peek(1) == quote) {
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

    static std::string unquote(std::string_view quoted) {
        std::string out;
        for (std::size_t k = 0; k < quoted.size(); ++k) {
            out.push_back(quoted[k]);
            if (quoted[k] == '`') {
                ++k; // a doubled back-quote
            }
        }
        return out;
    }

    std::optional<std::string> read_word() {
        const std::size_t start = i_;
        while (i_ < s_.size() && is_word_byte(static_cast<unsigned char>(s_[i_]))) {
            ++i_;
        }
        const std::string word = upper(s_.substr(start, i_ - start));
        // X'..' and B'..' hold hex or binary digits up to the next quote, without escapes.
        // N'..' and _charset'..' are a word and ordinary quoted text to the lexer.
        if ((word == "X" || word == "B") && i_ < s_.size() && s_[i_] == '\'') {
            const std::size_t end = s_.find('\'', i_ + 1);
            if (end == std::string_view::npos) {
                return std::string("the statement has an unterminated ") +
                       (word == "X" ? "hex" : "bit") + " literal";
            }
            for (std::size_t k = i_ + 1; k < end; ++k) {
                const unsigned char d = static_cast<unsigned char>(s_[k]);
                if (word == "X" ? !std::isxdigit(d) : (d != '0' && d != '1')) {
                    return std::string("a malformed ") + (word == "X" ? "hex" : "bit") + " literal";
                }
            }
            i_ = end + 1;
            push(Kind::Text, "'");
            return std::nullopt;
        }
        push(Kind::Word, word);
        ident_end_ = i_;
        return std::nullopt;
    }

    // A word that starts with a digit, or ".5", read as the server's lexer reads it: digits
    // followed by a dot are a number ("1." then the next word: 1.LOCK is the number 1. and the
    // keyword LOCK), as are digits with an exponent ("1e5"); digits followed by other name
    // characters are a name ("1abc"); 0x.. and 0b.. are hex and bit literals when only their
    // digits follow.
    std::optional<std::string> read_number() {
        const std::size_t start = i_;
        const auto digit = [&](std::size_t at) {
            return at < s_.size() && std::isdigit(static_cast<unsigned char>(s_[at]));
        };
        const auto word_byte = [&](std::size_t at) {
            return at < s_.size() && is_word_byte(static_cast<unsigned char>(s_[at]));
        };
        // An exponent at i_ ("e5", "E-3"): its length, 0 when there is none.
        const auto exponent = [&]() -> std::size_t {
            if (i_ >= s_.size() || (s_[i_] != 'e' && s_[i_] != 'E')) {
                return 0;
            }
            std::size_t k = i_ + 1;
            if (k < s_.size() && (s_[k] == '+' || s_[k] == '-')) {
                ++k;
            }
            if (!digit(k)) {
                return 0;
            }
            while (digit(k)) {
                ++k;
            }
            return k - i_;
        };
        if (s_[i_] != '.') {
            if (s_[i_] == '0' && i_ + 1 < s_.size() && (s_[i_ + 1] == 'x' || s_[i_ + 1] == 'b')) {
                const bool hex = s_[i_ + 1] == 'x';
                std::size_t k = i_ + 2;
                while (k < s_.size() && (hex ? std::isxdigit(static_cast<unsigned char>(s_[k]))
                                             : (s_[k] == '0' || s_[k] == '1'))) {
                    ++k;
                }
                if (k > i_ + 2 && !word_byte(k)) {
                    i_ = k;
                    push(Kind::Text, "'");
                    return std::nullopt;
                }
            }
            while (digit(i_)) {
                ++i_;
            }
            if (const std::size_t e = exponent()) {
                i_ += e;
                push(Kind::Number, std::string(s_.substr(start, i_ - start)));
                return std::nullopt;
            }
            if (word_byte(i_)) {
                i_ = start; // a name that starts with digits
                return read_word();
            }
            if (i_ >= s_.size() || s_[i_] != '.') {
                push(Kind::Number, std::string(s_.substr(start, i_ - start)));
                return std::nullopt;
            }
        }
        ++i_; // the dot
        while (digit(i_)) {
            ++i_;
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            const std::size_t e = exponent();
            if (e == 0) {
                return std::string("a malformed number (an exponent without digits)");
            }
            i_ += e;
        }
        push(Kind::Number, std::string(s_.substr(start, i_ - start)));
        return std::nullopt;
    }

    std::string_view s_;
    bool backslashes_;
    std::size_t i_ = 0;
    bool in_executable_ = false;
    bool versioned_ = false;
    std::size_t body_start_ = 0;
    // The offset just after the last word or back-quoted name, and the offset of a word the
    // server reads as a name because a dot right after a name precedes it.
    std::size_t ident_end_ = std::string_view::npos;
    std::size_t ident_sep_ = std::string_view::npos;
    std::vector<Token> tokens_;
};

bool in(std::string_view word, std::initializer_list<std::string_view> list) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

// A set of upper-case words looked up for every word of a statement.
using WordSet = std::unordered_set<std::string_view>;

// Reserved words that take a parenthesis by their own syntax: a word from this list followed by
// '(' is not a function call. Only reserved words: a word the server does not reserve (AGAINST,
// ESCAPE, ANY, ROW, ...) names a stored function when a '(' follows it (`SELECT against(1)`
// calls the function against of the current database), so such a word before '(' is a call
// unless the grammar around it says otherwise (see keyword_in_context).
bool reserved_before_parenthesis(std::string_view w) {
    static const WordSet words = {"ALL",       "AND",
                                  "AS",        "BETWEEN",
                                  "BINARY",    "BY",
                                  "CASE",      "DISTINCT",
                                  "DIV",       "ELSE",
                                  "EXCEPT",    "EXISTS",
                                  "FROM",      "GROUP",
                                  "HAVING",    "IN",
                                  "INDEX",     "INTERSECT",
                                  "INTERVAL",  "IS",
                                  "JOIN",      "KEY",
                                  "LIKE",      "MATCH",
                                  "NOT",       "ON",
                                  "OR",        "OVER",
                                  "PARTITION", "RECURSIVE",
                                  "REGEXP",    "RLIKE",
                                  "SELECT",    "STRAIGHT_JOIN",
                                  "THEN",      "UNION",
                                  "USING",     "VALUES",
                                  "WHEN",      "WHERE",
                                  "WITH",      "WINDOW",
                                  "XOR",       "LIMIT",
                                  "OFFSET",    "RETURNING",
                                  "TABLE",     "ORDER",
                                  "FOR",       "FORCE",
                                  "IGNORE",    "USE",
                                  "LEFT",      "RIGHT",
                                  "INNER",     "OUTER",
                                  "CROSS",     "NATURAL",
                                  "MOD"};
    return words.count(w) != 0;
}

// Type names that take a length or precision: DECIMAL(10,2) in CAST(x AS ...), CONVERT(x, ...)
// and JSON_TABLE's COLUMNS (...). Types that are also functions (CHAR, DATE, TIME, ...) are on
// the function list instead.
bool type_with_length(std::string_view w) {
    static const WordSet words = {"DECIMAL",  "DEC",       "NUMERIC",   "FIXED",   "FLOAT",
                                  "DOUBLE",   "REAL",      "INT",       "INTEGER", "BIGINT",
                                  "SMALLINT", "TINYINT",   "MEDIUMINT", "NCHAR",   "VARCHAR",
                                  "NVARCHAR", "VARBINARY", "DATETIME",  "BIT",     "TEXT"};
    return words.count(w) != 0;
}

// Words that write, lock, change the session or server, or run other code. None of them
// belongs in a reading statement; each is refused wherever it stands as a keyword.
std::optional<std::string> forbidden_keyword(std::string_view w) {
    static const std::unordered_map<std::string_view, std::string_view> reasons = {
        {"INSERT", "writes data"},
        {"UPDATE", "writes data"},
        {"DELETE", "writes data"},
        {"REPLACE", "writes data"},
        {"TRUNCATE", "writes data"},
        {"MERGE", "writes data"},
        {"UPSERT", "writes data"},
        {"CREATE", "changes the schema"},
        {"DROP", "changes the schema"},
        {"ALTER", "changes the schema"},
        {"RENAME", "changes the schema"},
        {"GRANT", "changes privileges"},
        {"REVOKE", "changes privileges"},
        {"SET", "changes the session or the server"},
        {"RESET", "changes the session or the server"},
        {"FLUSH", "changes the session or the server"},
        {"PURGE", "changes the session or the server"},
        {"KILL", "changes the session or the server"},
        {"SHUTDOWN", "changes the session or the server"},
        {"INSTALL", "changes the session or the server"},
        {"UNINSTALL", "changes the session or the server"},
        {"BINLOG", "changes the session or the server"},
        {"HANDLER", "opens a table handler that outlives the statement"},
        {"LOAD", "loads data or files"},
        {"CALL", "runs other code"},
        {"PROCEDURE", "runs other code"},
        {"DO", "runs other code"},
        {"PREPARE", "runs other code"},
        {"EXECUTE", "runs other code"},
        {"DEALLOCATE", "runs other code"},
        {"DECLARE", "runs other code"},
        {"SIGNAL", "runs other code"},
        {"RESIGNAL", "runs other code"},
        {"LOCK", "takes or releases locks"},
        {"UNLOCK", "takes or releases locks"},
        {"COMMIT", "ends or splits the transaction"},
        {"ROLLBACK", "ends or splits the transaction"},
        {"SAVEPOINT", "ends or splits the transaction"},
        {"XA", "ends or splits the transaction"},
        {"ANALYZE", "runs or maintains tables beyond reading them"},
        {"OPTIMIZE", "runs or maintains tables beyond reading them"},
        {"REPAIR", "runs or maintains tables beyond reading them"},
        {"OUTFILE", "writes a file on the server"},
        {"DUMPFILE", "writes a file on the server"},
    };
    if (auto it = reasons.find(w); it != reasons.end()) {
        return std::string(it->second);
    }
    return std::nullopt;
}

// The server's own schemas, and the catalog views of information_schema generated SQL may read
// (they show only what the role may see of the data): everything else in those schemas (other
// sessions' statements, accounts and password hashes, server settings and statistics) is
// refused by name.
std::optional<std::string> system_relation(std::string_view schema, std::string_view relation) {
    static const WordSet system_schemas = {"INFORMATION_SCHEMA", "MYSQL", "PERFORMANCE_SCHEMA",
                                           "SYS"};
    static const WordSet catalog_views = {
        "SCHEMATA",   "TABLES",           "COLUMNS",           "VIEWS",
        "STATISTICS", "KEY_COLUMN_USAGE", "TABLE_CONSTRAINTS", "REFERENTIAL_CONSTRAINTS"};
    const std::string s = upper(schema);
    if (system_schemas.count(s) == 0) {
        return std::nullopt;
    }
    const std::string r = upper(relation);
    if (s == "INFORMATION_SCHEMA" && catalog_views.count(r) != 0) {
        return std::nullopt;
    }
    return "the relation " + std::string(schema) + "." + std::string(relation) +
           " is not one generated SQL may read (of the server's own schemas only "
           "information_schema's catalog views of tables, columns, views, keys and indexes are)";
}

std::string token_text(const Token& t) {
    return t.kind == Kind::Name ? "`" + t.text + "`" : t.text;
}

// Checks one reading of the tokens (all of them, or those outside version-numbered
// executable comments).
std::optional<std::string> check(const std::vector<const Token*>& tokens,
                                 const FunctionAllowList& allowed) {
    const auto is = [&](std::size_t k, std::string_view text) {
        return k < tokens.size() && tokens[k]->kind != Kind::Name &&
               tokens[k]->kind != Kind::Text && tokens[k]->kind != Kind::Number &&
               tokens[k]->text == text;
    };
    // One statement: a ';' may only end it.
    std::size_t n = tokens.size();
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        if (is(k, ";")) {
            if (k + 1 < tokens.size()) {
                return std::string("more than one statement");
            }
            n = k;
        }
    }
    if (n == 0) {
        return std::string("the statement is empty");
    }

    std::size_t first = 0;
    while (first < n && is(first, "(")) {
        ++first;
    }
    if (first == n || tokens[first]->kind != Kind::Word) {
        return std::string("a statement that does not start with SELECT");
    }
    const std::string& lead = tokens[first]->text;
    const bool reading =
        first > 0 ? in(lead, {"SELECT", "WITH", "VALUES", "TABLE"})
                  : in(lead, {"SELECT", "WITH", "VALUES", "TABLE", "DESCRIBE", "DESC", "EXPLAIN"});
    if (lead == "SHOW") {
        // SHOW reads the server's state beyond the data (SHOW PROCESSLIST, SHOW EXPLAIN FOR
        // another session, SHOW GRANTS, SHOW VARIABLES): none of it is generated SQL's to read.
        return std::string("a statement of kind SHOW, which reads the server's state");
    }
    if (!reading) {
        return "a statement of kind " + lead;
    }
    if (first + 1 < n && in(lead, {"DESCRIBE", "DESC", "EXPLAIN"}) && is(first + 1, "FOR")) {
        return lead + " FOR CONNECTION shows the statement another session runs";
    }

    // The word that opened each enclosing parenthesis ("" for none), and the one whose
    // parenthesis closed last.
    std::vector<std::string> openers;
    std::string closed;
    for (std::size_t k = first; k < n; ++k) {
        const Token& t = *tokens[k];
        const Token* prev = k > 0 ? tokens[k - 1] : nullptr;
        const bool after_dot = prev != nullptr && prev->kind == Kind::Punct && prev->text == ".";
        const bool after_at = prev != nullptr && prev->kind == Kind::Punct && prev->text == "@";
        const bool called = is(k + 1, "(");

        if (t.kind == Kind::Punct) {
            if (t.text == "(") {
                openers.push_back(prev != nullptr &&
                                          (prev->kind == Kind::Word || prev->kind == Kind::Name)
                                      ? prev->text
                                      : "");
            } else if (t.text == ")" && !openers.empty()) {
                closed = openers.back();
                openers.pop_back();
            } else if (t.text == ":" && is(k + 1, "=")) {
                return std::string("the assignment operator := changes a variable");
            }
            continue;
        }
        if (t.kind == Kind::Text || t.kind == Kind::Number) {
            continue; // a number before '(' is a syntax error, not a call
        }
        if (after_at) {
            continue; // a user or system variable's name (@x, @@session.x)
        }
        const std::string shown = token_text(t);
        if (!after_dot && is(k + 1, ".") && k + 2 < n &&
            (tokens[k + 2]->kind == Kind::Word || tokens[k + 2]->kind == Kind::Name) &&
            !is(k + 3, "(")) {
            if (auto why = system_relation(t.text, tokens[k + 2]->text)) {
                return why;
            }
        }
        if (called) {
            if (after_dot) {
                // schema.function(...): only the host's own qualified additions.
                const Token* schema = k >= 2 ? tokens[k - 2] : nullptr;
                if (schema == nullptr ||
                    (schema->kind != Kind::Word && schema->kind != Kind::Name) ||
                    (k >= 3 && is(k - 3, "."))) {
                    return "a call of the qualified function " + shown +
                           " whose schema cannot be read";
                }
                if (!allowed.allows(schema->text, t.text)) {
                    return "the function " + token_text(*schema) + "." + shown +
                           " is not on the list of functions generated SQL may call";
                }
                continue;
            }
            if (t.kind == Kind::Word) {
                if (reserved_before_parenthesis(t.text)) {
                    continue;
                }
                // MATCH (cols) AGAINST (...), and x = ANY (subquery): keywords by their place.
                if (t.text == "AGAINST" && is(k - 1, ")") && closed == "MATCH") {
                    continue;
                }
                if ((t.text == "ANY" || t.text == "SOME") && prev != nullptr &&
                    prev->kind == Kind::Punct && in(prev->text, {"=", "<", ">"})) {
                    continue;
                }
                const std::string& opener = openers.empty() ? std::string() : openers.back();
                if (type_with_length(t.text) && ((prev != nullptr && prev->kind == Kind::Word &&
                                                  in(prev->text, {"AS", "SIGNED", "UNSIGNED"})) ||
                                                 opener == "CONVERT" || opener == "COLUMNS")) {
                    continue;
                }
                if (t.text == "COLUMNS" && prev != nullptr && prev->kind == Kind::Text) {
                    continue; // JSON_TABLE(doc, '$[*]' COLUMNS (...))
                }
            }
            // WITH name (a, b) AS (...): a common table expression's column list.
            if (prev != nullptr && (is(k - 1, ",") || (prev->kind == Kind::Word &&
                                                       in(prev->text, {"WITH", "RECURSIVE"})))) {
                std::size_t j = k + 2;
                bool names = true;
                while (j < n && !is(j, ")")) {
                    const bool name_slot = (j - (k + 2)) % 2 == 0;
                    if (name_slot ? (tokens[j]->kind != Kind::Word && tokens[j]->kind != Kind::Name)
                                  : !is(j, ",")) {
                        names = false;
                        break;
                    }
                    ++j;
                }
                if (names && j > k + 2 && j < n && is(j + 1, "AS") && is(j + 2, "(")) {
                    continue;
                }
            }
            if (!allowed.allows("", t.text)) {
                return "the function " + (t.kind == Kind::Word ? t.text : shown) +
                       " is not on the list of functions generated SQL may call";
            }
            continue;
        }
        if (t.kind != Kind::Word || after_dot) {
            continue; // a name: t.`delete`, db.update
        }
        const std::string& w = t.text;
        if (w == "INTO") {
            if (is(k + 1, "OUTFILE") || is(k + 1, "DUMPFILE")) {
                return "INTO " + tokens[k + 1]->text + " writes a file on the server";
            }
            if (is(k + 1, "@")) {
                return std::string("INTO @variable assigns user variables");
            }
            return std::string("INTO stores the result of the query instead of returning it");
        }
        if (w == "FOR" && (is(k + 1, "UPDATE") || is(k + 1, "SHARE"))) {
            return "FOR " + tokens[k + 1]->text + " locks the rows it reads";
        }
        if (w == "LOCK" && is(k + 1, "IN")) {
            return std::string("LOCK IN SHARE MODE locks the rows it reads");
        }
        if ((w == "NEXT" || w == "PREVIOUS") && is(k + 1, "VALUE")) {
            return w + " VALUE FOR reads or advances a sequence";
        }
        if (w == "SET" && prev != nullptr && prev->kind == Kind::Word &&
            prev->text == "CHARACTER") {
            continue; // CONVERT(x USING ...) / CAST(x AS CHAR CHARACTER SET utf8mb4)
        }
        if (auto why = forbidden_keyword(w)) {
            return "the keyword " + w + " " + *why;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> mariadb_refusal(std::string_view sql, const FunctionAllowList& allowed,
                                           bool backslash_escapes) {
    std::vector<Token> tokens;
    if (auto problem = Lexer(sql, backslash_escapes).run(tokens)) {
        return problem;
    }
    std::vector<const Token*> all;
    std::vector<const Token*> unversioned;
    all.reserve(tokens.size());
    unversioned.reserve(tokens.size());
    for (const Token& t : tokens) {
        all.push_back(&t);
        if (!t.versioned) {
            unversioned.push_back(&t);
        }
    }
    if (auto reason = check(all, allowed)) {
        return reason;
    }
    if (unversioned.size() != all.size()) {
        if (auto reason = check(unversioned, allowed)) {
            return *reason + " (read as an older server reads the versioned comment)";
        }
    }
    return std::nullopt;
}

} // namespace zolviai::sql::drivers
