// The rules for generated SQL on SQL Server. T-SQL runs a batch of statements without
// semicolons between them, so the text is read as the server reads it (a lexer that follows
// its rules) and every place where a second statement could begin is found. What is allowed:
// one query (SELECT, with common table expressions, set operators, TOP, OFFSET ... FETCH)
// that calls only functions on the allow-list.
//
// The same lexer also reads the text for the other data sources reached through ODBC
// (SQLite): where engines read a construct differently (a block comment inside another, a
// line comment ended by a carriage return alone, Unicode spaces) the text is refused rather
// than read one way.
#include "sql/drivers/policies.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace zolviai::sql::drivers {

namespace {

enum class Kind {
    Word,     // a bare name or keyword; `upper` holds it upper-cased
    Name,     // a quoted name: "..", [..] or `..`; `upper` holds it unquoted, as written
    Variable, // @name or @@name
    Text,     // a quoted text, N'..' included
    Number,
    Punct, // one character
};

struct Token {
    Kind kind;
    std::string upper;
    char punct = 0;
    std::string_view text; // a word as written

    // The name as the text spells it (quotes removed), for messages and the allow-list.
    std::string_view written() const { return kind == Kind::Name ? upper : text; }
};

// ASCII classes, not the C library's locale-aware ones: the server's rules do not change
// with the host's locale, and these run for every byte of every statement.
bool is_word_start(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '@' || c == '#' ||
           c == '$' || c >= 0x80;
}

bool is_word_char(unsigned char c) {
    return is_word_start(c) || (c >= '0' && c <= '9');
}

// Length of a Unicode space, line separator or invisible format character at s[i] (UTF-8),
// or 0. Engines disagree on whether these separate tokens or end a line comment, so none of
// them may appear outside quoted text.
std::size_t unicode_space_at(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) -> unsigned char {
        return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
    };
    const unsigned char a = byte(0), b = byte(1), c = byte(2);
    if (a == 0xC2 && (b == 0x85 || b == 0xA0)) {
        return 2;
    }
    if ((a == 0xE1 && b == 0x9A && c == 0x80) || (a == 0xE1 && b == 0xA0 && c == 0x8E) ||
        (a == 0xE2 && b == 0x80 &&
         ((c >= 0x80 && c <= 0x8F) || c == 0xA8 || c == 0xA9 || c == 0xAF)) ||
        (a == 0xE2 && b == 0x81 && (c == 0x9F || c == 0xA0)) ||
        (a == 0xE3 && b == 0x80 && c == 0x80) || (a == 0xEF && b == 0xBB && c == 0xBF)) {
        return 3;
    }
    return 0;
}

std::string hex_code_point(std::string_view s, std::size_t i, std::size_t n) {
    char32_t cp = 0;
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    if (n == 2) {
        cp = ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    } else {
        cp = ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    }
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "U+";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out.push_back(digits[(cp >> shift) & 0xF]);
    }
    return out;
}

class Lexer {
public:
    explicit Lexer(std::string_view sql) : s_(sql) {}

    std::optional<std::string> run(std::vector<Token>& out) {
        while (i_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
                ++i_;
                continue;
            }
            if (c == 0) {
                return std::string("the statement contains a NUL byte");
            }
            if (const std::size_t n =
                    static_cast<unsigned char>(s_[i_]) >= 0x80 ? unicode_space_at(s_, i_) : 0) {
                return "the character " + hex_code_point(s_, i_, n) +
                       " outside quoted text (engines disagree on whether it separates words)";
            }
            if (c == '-' && peek(1) == '-') {
                if (auto problem = line_comment()) {
                    return problem;
                }
                continue;
            }
            if (c == '/' && peek(1) == '*') {
                if (auto problem = block_comment()) {
                    return problem;
                }
                continue;
            }
            if (c == '\'') {
                if (!quoted('\'', '\'')) {
                    return std::string("an unterminated quoted text");
                }
                out.push_back({Kind::Text, {}});
                continue;
            }
            if (c == '"' || c == '[' || c == '`') {
                const char close = c == '[' ? ']' : static_cast<char>(c);
                const std::size_t start = i_ + 1;
                if (!quoted(static_cast<char>(c), close)) {
                    return std::string("an unterminated quoted name (") + static_cast<char>(c) +
                           "...)";
                }
                out.push_back({Kind::Name, unquote(s_.substr(start, i_ - start - 1), close)});
                continue;
            }
            if (c == '{' || c == '}') {
                // The ODBC driver rewrites {call ...}, {fn ...} and the like before the server
                // sees the text.
                return std::string("an ODBC escape sequence ({...})");
            }
            if (std::isdigit(c) ||
                (c == '.' && std::isdigit(static_cast<unsigned char>(peek(1))))) {
                if (auto problem = number()) {
                    return problem;
                }
                out.push_back({Kind::Number, {}});
                continue;
            }
            if (is_word_start(c)) {
                const std::size_t start = i_;
                while (i_ < s_.size() && is_word_char(static_cast<unsigned char>(s_[i_]))) {
                    if (const std::size_t n = static_cast<unsigned char>(s_[i_]) >= 0x80
                                                  ? unicode_space_at(s_, i_)
                                                  : 0) {
                        return "the character " + hex_code_point(s_, i_, n) +
                               " outside quoted text (engines disagree on whether it separates "
                               "words)";
                    }
                    ++i_;
                }
                std::string word(s_.substr(start, i_ - start));
                if ((word == "N" || word == "n") && i_ < s_.size() && s_[i_] == '\'') {
                    if (!quoted('\'', '\'')) {
                        return std::string("an unterminated quoted text");
                    }
                    out.push_back({Kind::Text, {}});
                    continue;
                }
                for (char& ch : word) {
                    if (ch >= 'a' && ch <= 'z') {
                        ch = static_cast<char>(ch - 'a' + 'A');
                    }
                }
                out.push_back({word[0] == '@' ? Kind::Variable : Kind::Word, std::move(word), 0,
                               s_.substr(start, i_ - start)});
                continue;
            }
            out.push_back({Kind::Punct, {}, static_cast<char>(c)});
            ++i_;
        }
        return std::nullopt;
    }

private:
    char peek(std::size_t n) const { return i_ + n < s_.size() ? s_[i_ + n] : '\0'; }

    // "--" ends at a line feed or a carriage return (SQL Server); SQLite only ends it at a
    // line feed, so a carriage return alone would leave the rest of the line read two ways.
    std::optional<std::string> line_comment() {
        i_ += 2;
        while (i_ < s_.size() && s_[i_] != '\n' && s_[i_] != '\r') {
            if (s_[i_] == '\0') {
                return std::string("the statement contains a NUL byte");
            }
            if (const std::size_t n =
                    static_cast<unsigned char>(s_[i_]) >= 0x80 ? unicode_space_at(s_, i_) : 0) {
                return "the character " + hex_code_point(s_, i_, n) +
                       " in a line comment (engines disagree on whether it ends the line)";
            }
            ++i_;
        }
        if (i_ < s_.size() && s_[i_] == '\r' && peek(1) != '\n') {
            return std::string("a line comment ended by a carriage return alone (engines "
                               "disagree on where it ends)");
        }
        return std::nullopt;
    }

    // SQL Server nests block comments; MariaDB and SQLite end one at the first "*/". Text that
    // depends on the difference is refused.
    std::optional<std::string> block_comment() {
        int depth = 0;
        while (i_ < s_.size()) {
            if (s_[i_] == '\0') {
                return std::string("the statement contains a NUL byte");
            }
            if (s_[i_] == '/' && peek(1) == '*') {
                if (++depth > 1) {
                    return std::string("a block comment nested in another (engines disagree on "
                                       "where it ends)");
                }
                i_ += 2;
                continue;
            }
            if (s_[i_] == '*' && peek(1) == '/') {
                i_ += 2;
                if (--depth == 0) {
                    return std::nullopt;
                }
                continue;
            }
            ++i_;
        }
        return std::string("an unterminated block comment");
    }

    // Skips a quoted run whose opening character is at s_[i_]; a doubled closing character
    // stands for itself. False when the text ends first (or holds a NUL).
    bool quoted(char open, char close) {
        (void)open;
        ++i_;
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (c == '\0') {
                return false;
            }
            if (c == close) {
                if (peek(1) == close) {
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

    static std::string unquote(std::string_view inner, char close) {
        std::string out;
        out.reserve(inner.size());
        for (std::size_t k = 0; k < inner.size(); ++k) {
            out.push_back(inner[k]);
            if (inner[k] == close && k + 1 < inner.size() && inner[k + 1] == close) {
                ++k;
            }
        }
        return out;
    }

    // 12, 1.5, .5, 1., 1e-3, 0x1F. A number run straight into a word (1DELETE, 1e) is refused:
    // the server splits it where its rules say, which need not be where ours would.
    std::optional<std::string> number() {
        if (s_[i_] == '0' && (peek(1) == 'x' || peek(1) == 'X')) {
            i_ += 2;
            while (i_ < s_.size() && std::isxdigit(static_cast<unsigned char>(s_[i_]))) {
                ++i_;
            }
        } else {
            auto digits = [&] {
                while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) {
                    ++i_;
                }
            };
            digits();
            if (i_ < s_.size() && s_[i_] == '.') {
                ++i_;
                digits();
            }
            if ((peek(0) == 'e' || peek(0) == 'E') &&
                (std::isdigit(static_cast<unsigned char>(peek(1))) ||
                 ((peek(1) == '+' || peek(1) == '-') &&
                  std::isdigit(static_cast<unsigned char>(peek(2)))))) {
                i_ += 2;
                digits();
            }
        }
        if (i_ < s_.size() && is_word_char(static_cast<unsigned char>(s_[i_]))) {
            return std::string("a number run into a word");
        }
        return std::nullopt;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

// A set of upper-case words; every word of the text is looked up in a few of them.
class WordSet {
public:
    WordSet(std::initializer_list<std::string_view> words) : words_(words) {}
    bool contains(std::string_view w) const { return words_.count(w) != 0; }

private:
    std::unordered_set<std::string_view> words_;
};

bool in(const std::string& word, const WordSet& set) {
    return set.contains(word);
}

// Keywords that begin a statement of their own (or only belong in one), reserved in T-SQL so
// that they cannot be bare column or table names: wherever one appears, the text is more
// than one query.
const WordSet statement_keywords = {
    "INSERT",      "UPDATE",     "DELETE",     "MERGE",    "EXEC",       "EXECUTE",     "DECLARE",
    "SET",         "WAITFOR",    "CREATE",     "DROP",     "ALTER",      "TRUNCATE",    "GRANT",
    "REVOKE",      "DENY",       "BEGIN",      "COMMIT",   "ROLLBACK",   "SAVE",        "USE",
    "DBCC",        "BACKUP",     "RESTORE",    "SHUTDOWN", "KILL",       "RAISERROR",   "PRINT",
    "IF",          "WHILE",      "GOTO",       "RETURN",   "BREAK",      "CONTINUE",    "BULK",
    "OPEN",        "CLOSE",      "DEALLOCATE", "REVERT",   "CHECKPOINT", "RECONFIGURE", "READTEXT",
    "WRITETEXT",   "UPDATETEXT", "SETUSER",    "TRIGGER",  "PROC",       "PROCEDURE",   "TRAN",
    "TRANSACTION", "CURSOR",     "LINENO",     "ADD"};

// Table and query hints that take or hold locks beyond a plain read.
const WordSet locking_hints = {"UPDLOCK",      "XLOCK",          "HOLDLOCK",
                               "TABLOCK",      "TABLOCKX",       "PAGLOCK",
                               "SERIALIZABLE", "REPEATABLEREAD", "READCOMMITTEDLOCK"};

const WordSet other_sources = {"OPENROWSET", "OPENQUERY", "OPENDATASOURCE", "OPENXML"};

// Words followed by "(" that are syntax, not a call: keywords that take a parenthesised list
// or subquery.
const WordSet syntax_before_parenthesis = {
    "IN",     "EXISTS",    "VALUES",    "AS",          "ON",
    "OVER",   "FROM",      "WHERE",     "AND",         "OR",
    "NOT",    "SELECT",    "JOIN",      "APPLY",       "WITH",
    "UNION",  "EXCEPT",    "INTERSECT", "ALL",         "ANY",
    "SOME",   "THEN",      "ELSE",      "WHEN",        "CASE",
    "BY",     "HAVING",    "LIKE",      "BETWEEN",     "TOP",
    "OPTION", "PIVOT",     "UNPIVOT",   "FOR",         "CUBE",
    "ROLLUP", "SETS",      "GROUP",     "TABLESAMPLE", "DISTINCT",
    "NEXT",   "IS",        "ESCAPE",    "USING",       "INDEX",
    "HINT",   "PATH",      "ROOT",      "RAW",         "XMLNAMESPACES",
    "ORDER",  "PARTITION", "PERCENT",   "TIES"};

// Type names with a length or precision: CAST(x AS DECIMAL(10, 2)), CONVERT(VARCHAR(MAX), d),
// OPENJSON ... WITH (n NVARCHAR(50) '$.n'). Syntax only when the parentheses hold numbers or
// MAX. (CHAR and NCHAR are also functions, on the allow-list.)
const WordSet sized_types = {"DECIMAL",        "NUMERIC",   "DEC",    "VARCHAR",
                             "NVARCHAR",       "VARBINARY", "BINARY", "DATETIME2",
                             "DATETIMEOFFSET", "TIME",      "FLOAT",  "VARYING"};

// Keywords a parenthesised query may follow. After anything else "(SELECT" begins a second
// statement: T-SQL accepts a query in parentheses as a statement.
const WordSet before_subquery = {"IN",      "EXISTS", "ALL",       "ANY",      "SOME",   "FROM",
                                 "JOIN",    "APPLY",  "SELECT",    "WHERE",    "AND",    "OR",
                                 "NOT",     "ON",     "THEN",      "ELSE",     "WHEN",   "CASE",
                                 "UNION",   "EXCEPT", "INTERSECT", "AS",       "HAVING", "BY",
                                 "BETWEEN", "LIKE",   "TOP",       "DISTINCT", "VALUES"};

// Keywords after which a name is an alias or a keyword, never the end of a complete
// expression: used to tell "SELECT x receive" (an alias) from "... AS x RECEIVE * FROM q".
const WordSet clause_keywords = {"SELECT", "FROM", "WHERE",    "AND", "OR",   "NOT",
                                 "ON",     "BY",   "HAVING",   "AS",  "THEN", "ELSE",
                                 "WHEN",   "CASE", "DISTINCT", "TOP"};

bool is_punct(const Token& t, char c) {
    return t.kind == Kind::Punct && t.punct == c;
}

bool is_word(const Token& t, std::string_view w) {
    return t.kind == Kind::Word && t.upper == w;
}

bool is_name(const Token& t) {
    return t.kind == Kind::Word || t.kind == Kind::Name;
}

// A token that completes an operand: after it, "(" cannot continue the same expression.
bool ends_operand(const Token& t) {
    return is_punct(t, ')') || t.kind == Kind::Text || t.kind == Kind::Number ||
           t.kind == Kind::Variable || t.kind == Kind::Name ||
           (t.kind == Kind::Word && !in(t.upper, clause_keywords) &&
            !in(t.upper, syntax_before_parenthesis));
}

std::string more_than_one(const std::string& what) {
    return "more than one statement: " + what + " begins a second statement";
}

class Classifier {
public:
    Classifier(const std::vector<Token>& tokens, const FunctionAllowList& allowed)
        : t_(tokens), allowed_(allowed) {}

    std::optional<std::string> run() {
        std::size_t b = 0;
        std::size_t e = t_.size();
        while (b < e && is_punct(t_[b], ';')) {
            ++b; // ";WITH ..." is the habit of T-SQL writers
        }
        while (e > b && is_punct(t_[e - 1], ';')) {
            --e;
        }
        if (b == e) {
            return std::string("the statement is empty");
        }
        b_ = b;
        e_ = e;
        for (std::size_t k = b; k < e; ++k) {
            if (is_punct(t_[k], ';')) {
                return std::string("more than one statement (a ';' before the end)");
            }
        }
        if (auto problem = find_query_start()) {
            return problem;
        }
        if (auto problem = four_part_names()) {
            return problem;
        }
        return walk();
    }

private:
    // The text must be a query: SELECT, "(" SELECT, or WITH and a list of common table
    // expressions followed by one of those.
    std::optional<std::string> find_query_start() {
        std::size_t k = b_;
        if (is_word(t_[k], "WITH")) {
            ++k;
            for (;;) {
                if (k < e_ && is_word(t_[k], "XMLNAMESPACES") && k + 1 < e_ &&
                    is_punct(t_[k + 1], '(')) {
                    k = skip_parentheses(k + 1);
                } else {
                    if (k >= e_ || !is_name(t_[k])) {
                        return std::string("a WITH clause that is not a list of common table "
                                           "expressions");
                    }
                    not_calls_.push_back(k); // name (columns) AS (...)
                    ++k;
                    if (k < e_ && is_punct(t_[k], '(')) {
                        k = skip_parentheses(k);
                    }
                    if (k + 1 >= e_ || !is_word(t_[k], "AS") || !is_punct(t_[k + 1], '(')) {
                        return std::string("a WITH clause that is not a list of common table "
                                           "expressions");
                    }
                    k = skip_parentheses(k + 1);
                }
                if (k < e_ && is_punct(t_[k], ',')) {
                    ++k;
                    continue;
                }
                break;
            }
        }
        while (k < e_ && is_punct(t_[k], '(')) {
            ++k;
        }
        if (k < e_ && is_word(t_[k], "SELECT")) {
            main_select_ = k;
            return std::nullopt;
        }
        if (k < e_ && t_[k].kind == Kind::Word) {
            return "a statement of kind " + t_[k].upper;
        }
        return std::string("a statement that is not a query");
    }

    // Index just past the ")" matching the "(" at k (e_ when unbalanced; walk() reports it).
    std::size_t skip_parentheses(std::size_t k) const {
        int depth = 0;
        for (; k < e_; ++k) {
            if (is_punct(t_[k], '(')) {
                ++depth;
            } else if (is_punct(t_[k], ')') && --depth == 0) {
                return k + 1;
            }
        }
        return e_;
    }

    // server.database.schema.object reaches a linked server.
    std::optional<std::string> four_part_names() const {
        std::size_t parts = 1;
        for (std::size_t k = b_; k < e_; ++k) {
            if (is_punct(t_[k], '.') && k > b_ &&
                (is_name(t_[k - 1]) || is_punct(t_[k - 1], '.'))) {
                if (++parts >= 4) {
                    return std::string("a four-part name, which reaches a linked server");
                }
            } else if (!is_name(t_[k]) || (k > b_ && !is_punct(t_[k - 1], '.'))) {
                parts = 1; // a new name, not the next part of the same one
            }
        }
        return std::nullopt;
    }

    // A token after which "(" cannot continue the expression: a literal, a variable or ")".
    bool ends_value(std::size_t k) const {
        return is_punct(t_[k], ')') || t_[k].kind == Kind::Text || t_[k].kind == Kind::Number ||
               t_[k].kind == Kind::Variable;
    }

    // Whether token k ends the row count of TOP (TOP 10, TOP (10)): "SELECT TOP 10 (a + b)" is
    // one query.
    bool after_top(std::size_t k) const {
        if (is_punct(t_[k], ')')) {
            int depth = 0;
            for (std::size_t j = k + 1; j-- > b_;) {
                if (is_punct(t_[j], ')')) {
                    ++depth;
                } else if (is_punct(t_[j], '(') && --depth == 0) {
                    k = j;
                    break;
                }
            }
        }
        return prev_is(k, "TOP");
    }

    // Whether the parentheses opened at k hold a query: (SELECT ..., (WITH ...
    bool starts_query(std::size_t k) const {
        return k + 1 < e_ && (is_word(t_[k + 1], "SELECT") || is_word(t_[k + 1], "WITH"));
    }

    bool query_may_follow(std::size_t j) const {
        const Token& p = t_[j];
        if (p.kind == Kind::Punct) {
            return p.punct != ')';
        }
        if (p.kind != Kind::Word || !in(p.upper, before_subquery) || qualified_part(j)) {
            return false;
        }
        // APPLY is not reserved: only CROSS APPLY and OUTER APPLY are the keyword.
        return p.upper != "APPLY" || prev_is(j, "CROSS") || prev_is(j, "OUTER");
    }

    // Whether every token inside the parentheses opened at k satisfies the predicate.
    template <class Predicate>
    bool inside_all(std::size_t k, Predicate predicate) const {
        const std::size_t close = skip_parentheses(k);
        if (close > e_ || close < k + 2 || !is_punct(t_[close - 1], ')')) {
            return false;
        }
        for (std::size_t j = k + 1; j + 1 < close; ++j) {
            if (!predicate(t_[j])) {
                return false;
            }
        }
        return true;
    }

    const Token* at(std::size_t k) const { return k >= b_ && k < e_ ? &t_[k] : nullptr; }

    bool prev_is(std::size_t k, std::string_view word) const {
        return k > b_ && is_word(t_[k - 1], word);
    }

    bool next_is(std::size_t k, std::string_view word) const {
        return k + 1 < e_ && is_word(t_[k + 1], word);
    }

    // A name right after "." or ".." of a qualified name, which is never a keyword.
    bool qualified_part(std::size_t k) const {
        return k > b_ + 1 && is_punct(t_[k - 1], '.') &&
               (is_name(t_[k - 2]) || is_punct(t_[k - 2], '.'));
    }

    std::optional<std::string> walk() {
        std::vector<int> open_cases(1, 0);
        for (std::size_t k = b_; k < e_; ++k) {
            const Token& t = t_[k];
            if (is_punct(t, '(')) {
                if (k > b_ && ends_value(k - 1) && !after_top(k - 1)) {
                    return more_than_one("a parenthesised expression after a complete one");
                }
                if (k > b_ && starts_query(k) && !query_may_follow(k - 1)) {
                    return more_than_one("a query in parentheses after a complete one");
                }
                open_cases.push_back(0);
                continue;
            }
            if (is_punct(t, ')')) {
                open_cases.pop_back();
                if (open_cases.empty()) {
                    return std::string("an unbalanced ')'");
                }
                continue;
            }
            if (t.kind == Kind::Variable) {
                if (auto problem = variable(k)) {
                    return problem;
                }
                continue;
            }
            if (t.kind == Kind::Word && !qualified_part(k)) {
                if (auto problem = keyword(k, open_cases)) {
                    return problem;
                }
            }
            if (is_name(t) && k + 1 < e_ && is_punct(t_[k + 1], '(')) {
                if (auto problem = call(k)) {
                    return problem;
                }
            }
        }
        if (open_cases.size() != 1) {
            return std::string("an unbalanced '('");
        }
        return std::nullopt;
    }

    // SELECT @v = x assigns a variable (and so does @v += x).
    std::optional<std::string> variable(std::size_t k) const {
        const Token* n1 = at(k + 1);
        const Token* n2 = at(k + 2);
        if (n1 == nullptr || n1->kind != Kind::Punct || t_[k].upper.rfind("@@", 0) == 0) {
            return std::nullopt;
        }
        const bool compound =
            std::string_view("+-*/%&|^").find(n1->punct) != std::string_view::npos &&
            n2 != nullptr && is_punct(*n2, '=');
        if (n1->punct == '=' || compound) {
            return "an assignment to the variable " + std::string(t_[k].text);
        }
        return std::nullopt;
    }

    std::optional<std::string> keyword(std::size_t k, std::vector<int>& open_cases) const {
        const std::string& w = t_[k].upper;
        if (w == "SELECT") {
            if (k == main_select_ || (k > b_ && is_punct(t_[k - 1], '(')) || prev_is(k, "UNION") ||
                prev_is(k, "EXCEPT") || prev_is(k, "INTERSECT") ||
                (prev_is(k, "ALL") && k > b_ + 1 && is_word(t_[k - 2], "UNION"))) {
                return std::nullopt;
            }
            return more_than_one("a second SELECT");
        }
        if (w == "CASE") {
            ++open_cases.back();
            return std::nullopt;
        }
        if (w == "END") {
            if (open_cases.back() > 0) {
                --open_cases.back();
                return std::nullopt;
            }
            return more_than_one("END outside a CASE expression");
        }
        if (w == "FETCH") {
            if (prev_is(k, "ROWS") || prev_is(k, "ROW")) {
                return std::nullopt; // OFFSET n ROWS FETCH NEXT m ROWS ONLY
            }
            return more_than_one("FETCH (from a cursor)");
        }
        if (w == "USE" && open_cases.size() > 1 && (next_is(k, "HINT") || next_is(k, "PLAN"))) {
            return std::nullopt; // OPTION (USE HINT (...))
        }
        if (w == "EXEC" || w == "EXECUTE") {
            return w + ", which runs a procedure or dynamic SQL";
        }
        if (w == "INTO") {
            return std::string("SELECT ... INTO, which creates a table");
        }
        if (w == "FOR" && next_is(k, "UPDATE")) {
            return std::string("FOR UPDATE, which locks rows");
        }
        if (w == "NEXT" && next_is(k, "VALUE") && k + 2 < e_ && is_word(t_[k + 2], "FOR")) {
            return std::string("NEXT VALUE FOR, which advances a sequence");
        }
        if (in(w, other_sources)) {
            return w + ", which reads another data source or a server file";
        }
        if (in(w, locking_hints)) {
            return "the table hint " + w + ", which takes locks";
        }
        if (in(w, statement_keywords)) {
            return more_than_one(w);
        }
        // Service Broker statements begin with words that are not reserved (and may be column
        // names); they are recognised by the words that follow.
        if ((w == "SEND" && next_is(k, "ON") && k + 2 < e_ && is_word(t_[k + 2], "CONVERSATION")) ||
            ((w == "MOVE" || w == "GET") && next_is(k, "CONVERSATION")) ||
            (w == "END" && next_is(k, "CONVERSATION"))) {
            return more_than_one(w + " CONVERSATION");
        }
        if ((w == "RECEIVE" || w == "THROW") && k > b_ && ends_operand(t_[k - 1])) {
            const Token* n = at(k + 1);
            const bool statement =
                n != nullptr &&
                (is_punct(*n, '*') || n->kind == Kind::Variable || n->kind == Kind::Number ||
                 n->kind == Kind::Text || n->kind == Kind::Name ||
                 (n->kind == Kind::Word && !in(n->upper, clause_keywords) && n->upper != "FROM" &&
                  n->upper != "UNION" && n->upper != "ORDER" && n->upper != "GROUP" &&
                  n->upper != "EXCEPT" && n->upper != "INTERSECT"));
            if (statement) {
                return more_than_one(w);
            }
        }
        return std::nullopt;
    }

    // name( — a function call unless the word is syntax, an alias with a column list
    // (AS t (a, b), (VALUES ...) v (a)) or the name of a common table expression.
    std::optional<std::string> call(std::size_t k) const {
        const Token& t = t_[k];
        if (starts_query(k + 1) && !query_may_follow(k)) {
            return more_than_one("a query in parentheses after a complete one");
        }
        if (t.kind == Kind::Word && in(t.upper, syntax_before_parenthesis) && !qualified_part(k)) {
            return std::nullopt;
        }
        if (t.kind == Kind::Word && in(t.upper, sized_types) && !qualified_part(k) &&
            inside_all(k + 1, [](const Token& x) {
                return x.kind == Kind::Number || is_punct(x, ',') || is_word(x, "MAX");
            })) {
            return std::nullopt;
        }
        if (std::find(not_calls_.begin(), not_calls_.end(), k) != not_calls_.end()) {
            return std::nullopt;
        }
        // The qualifier: schema, database.schema, database..name.
        std::vector<std::string> parts{std::string(t.written())};
        std::size_t j = k;
        while (j > b_ + 1 && is_punct(t_[j - 1], '.')) {
            if (is_name(t_[j - 2])) {
                parts.push_back(std::string(t_[j - 2].written()));
                j -= 2;
            } else if (is_punct(t_[j - 2], '.')) {
                parts.push_back("");
                j -= 1;
            } else {
                break;
            }
        }
        std::reverse(parts.begin(), parts.end());
        const std::string& name = parts.back();
        std::string qualifier;
        for (std::size_t p = 0; p + 1 < parts.size(); ++p) {
            qualifier += (p > 0 ? "." : "") + parts[p];
        }
        const std::string shown = qualifier.empty() ? name : qualifier + "." + name;
        std::string lower = name;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (lower.rfind("xp_", 0) == 0 || lower.rfind("sp_", 0) == 0) {
            return "the system procedure " + shown + ", which may not be called";
        }
        // An alias with its column list: AS t (a, b), (VALUES ...) v (a, b).
        if (parts.size() == 1 && k > b_ && (is_word(t_[k - 1], "AS") || is_punct(t_[k - 1], ')')) &&
            inside_all(k + 1, [](const Token& x) {
                return x.kind == Kind::Name || is_punct(x, ',') ||
                       (x.kind == Kind::Word && !in(x.upper, clause_keywords) &&
                        !in(x.upper, statement_keywords) &&
                        !in(x.upper, syntax_before_parenthesis));
            })) {
            return std::nullopt;
        }
        if (allowed_.allows(qualifier, name)) {
            return std::nullopt;
        }
        return "the function " + shown + " is not on the list of functions generated SQL may call";
    }

    const std::vector<Token>& t_;
    const FunctionAllowList& allowed_;
    std::size_t b_ = 0;
    std::size_t e_ = 0;
    std::size_t main_select_ = static_cast<std::size_t>(-1);
    std::vector<std::size_t> not_calls_;
};

} // namespace

std::optional<std::string> tsql_refusal(std::string_view sql, const FunctionAllowList& allowed) {
    std::vector<Token> tokens;
    tokens.reserve(sql.size() / 4);
    if (auto problem = Lexer(sql).run(tokens)) {
        return problem;
    }
    return Classifier(tokens, allowed).run();
}

} // namespace zolviai::sql::drivers
