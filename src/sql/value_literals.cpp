// The literal check and the empty-result diagnosis: the string literals of a statement read
// with a small lexer (quotes, comments and identifiers as every engine here writes them), the
// columns they are compared with resolved through the statement's FROM and JOIN clauses.
#include "zolviai/sql/value_index.hpp"

#include <algorithm>
#include <cctype>
#include <unordered_map>

namespace zolviai::sql {

namespace {

enum class Kind { Word, Quoted, String, Number, Symbol };

struct Token {
    Kind kind;
    std::string text; // identifiers unquoted, strings unescaped, keywords upper-cased in `upper`
    std::string upper;
};

std::string upper_of(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

std::vector<Token> lex(std::string_view sql) {
    std::vector<Token> out;
    std::size_t i = 0;
    const std::size_t n = sql.size();
    while (i < n) {
        const char c = sql[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            while (i < n && sql[i] != '\n') {
                ++i;
            }
        } else if (c == '#') {
            while (i < n && sql[i] != '\n') {
                ++i;
            }
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            const std::size_t end = sql.find("*/", i + 2);
            i = end == std::string_view::npos ? n : end + 2;
        } else if (c == '\'') {
            std::string text;
            ++i;
            while (i < n) {
                if (sql[i] == '\'' && i + 1 < n && sql[i + 1] == '\'') {
                    text += '\'';
                    i += 2;
                } else if (sql[i] == '\'') {
                    ++i;
                    break;
                } else {
                    text += sql[i++];
                }
            }
            out.push_back({Kind::String, text, ""});
        } else if (c == '"' || c == '`' || c == '[') {
            const char close = c == '[' ? ']' : c;
            std::string text;
            ++i;
            while (i < n) {
                if (sql[i] == close && i + 1 < n && sql[i + 1] == close) {
                    text += close;
                    i += 2;
                } else if (sql[i] == close) {
                    ++i;
                    break;
                } else {
                    text += sql[i++];
                }
            }
            out.push_back({Kind::Quoted, text, ""});
        } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
                   static_cast<unsigned char>(c) >= 0x80) {
            const std::size_t start = i;
            while (i < n && (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_' ||
                             sql[i] == '$' || static_cast<unsigned char>(sql[i]) >= 0x80)) {
                ++i;
            }
            std::string text(sql.substr(start, i - start));
            out.push_back({Kind::Word, text, upper_of(text)});
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            const std::size_t start = i;
            while (i < n && (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '.')) {
                ++i;
            }
            out.push_back({Kind::Number, std::string(sql.substr(start, i - start)), ""});
        } else {
            std::string op(1, c);
            if (i + 1 < n && (std::string_view("<>!=").find(c) != std::string_view::npos) &&
                (sql[i + 1] == '=' || sql[i + 1] == '>')) {
                op += sql[i + 1];
            }
            i += op.size();
            out.push_back({Kind::Symbol, op, op});
        }
    }
    return out;
}

bool is_name(const Token& t) {
    return t.kind == Kind::Quoted || t.kind == Kind::Word;
}

const std::unordered_map<std::string, int>& clause_words() {
    static const std::unordered_map<std::string, int> words = {
        {"WHERE", 1},  {"ON", 1},     {"JOIN", 1},        {"INNER", 1},   {"LEFT", 1},
        {"RIGHT", 1},  {"FULL", 1},   {"CROSS", 1},       {"GROUP", 1},   {"ORDER", 1},
        {"HAVING", 1}, {"LIMIT", 1},  {"UNION", 1},       {"EXCEPT", 1},  {"OFFSET", 1},
        {"AS", 1},     {"USING", 1},  {"NATURAL", 1},     {"OUTER", 1},   {"WINDOW", 1},
        {"FETCH", 1},  {"SELECT", 1}, {"INTERSECT", 1},   {"FROM", 1},    {"AND", 1},
        {"OR", 1},     {"NOT", 1},    {"TABLESAMPLE", 1}, {"LATERAL", 1},
    };
    return words;
}

// What a comparison in the statement holds: a column (as written) and the literals it is
// compared with.
struct Comparison {
    std::string qualifier; // "" when unqualified
    std::string column;
    std::vector<std::string> literals;
    std::string op;      // "=", "IN", "LIKE", "<", ">=", "BETWEEN", ...
    bool folded = false; // LOWER(col) / UPPER(col): compared without regard to case
};

struct Statement {
    std::unordered_map<std::string, std::string> aliases; // upper-case alias or name -> table
    std::vector<std::string> tables;
    std::vector<Comparison> comparisons;
};

// [q.]col at j (a name, optionally qualified by one or two others); end is past it.
bool column_at_plain(const std::vector<Token>& t, std::size_t j, Comparison& c, std::size_t& end) {
    if (j >= t.size() || !is_name(t[j]) ||
        (t[j].kind == Kind::Word && clause_words().count(t[j].upper))) {
        return false;
    }
    std::vector<std::string> parts = {t[j].text};
    std::size_t k = j + 1;
    while (k + 1 < t.size() && t[k].text == "." && is_name(t[k + 1])) {
        parts.push_back(t[k + 1].text);
        k += 2;
    }
    if (k < t.size() && t[k].text == "(") {
        return false; // a function call
    }
    c.column = parts.back();
    c.qualifier = parts.size() >= 2 ? parts[parts.size() - 2] : "";
    end = k;
    return true;
}

Statement read_statement(std::string_view sql) {
    const std::vector<Token> t = lex(sql);
    Statement st;
    // Tables: FROM a [AS] x, b y ... and JOIN c [AS] z.
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i].kind != Kind::Word || (t[i].upper != "FROM" && t[i].upper != "JOIN")) {
            continue;
        }
        std::size_t j = i + 1;
        while (j < t.size() && is_name(t[j])) {
            if (t[j].kind == Kind::Word && clause_words().count(t[j].upper)) {
                break;
            }
            std::string table = t[j].text;
            ++j;
            while (j + 1 < t.size() && t[j].text == "." && is_name(t[j + 1])) {
                table = t[j + 1].text; // schema.table: the table
                j += 2;
            }
            st.tables.push_back(table);
            st.aliases[upper_of(table)] = table;
            if (j < t.size() && t[j].upper == "AS") {
                ++j;
            }
            if (j < t.size() && is_name(t[j]) &&
                !(t[j].kind == Kind::Word && clause_words().count(t[j].upper))) {
                st.aliases[upper_of(t[j].text)] = table;
                ++j;
            }
            if (j < t.size() && t[j].text == "," && t[i].upper == "FROM") {
                ++j;
                continue;
            }
            break;
        }
    }
    // Column references: [q.]col, or LOWER/UPPER( [q.]col ).
    auto column_at = [&](std::size_t j, Comparison& c, std::size_t& end) {
        if (j + 3 < t.size() && t[j].kind == Kind::Word &&
            (t[j].upper == "LOWER" || t[j].upper == "UPPER") && t[j + 1].text == "(") {
            Comparison inner;
            std::size_t e = 0;
            if (!is_name(t[j + 2])) {
                return false;
            }
            if (!column_at_plain(t, j + 2, inner, e) || e >= t.size() || t[e].text != ")") {
                return false;
            }
            c = inner;
            c.folded = true;
            end = e + 1;
            return true;
        }
        return column_at_plain(t, j, c, end);
    };
    for (std::size_t i = 0; i < t.size(); ++i) {
        Comparison c;
        std::size_t j = 0;
        if (!is_name(t[i]) || (t[i].kind == Kind::Word && clause_words().count(t[i].upper)) ||
            (i > 0 && t[i - 1].text == ".")) {
            continue;
        }
        if (!column_at(i, c, j) || j >= t.size()) {
            continue;
        }
        bool negated = false;
        if (t[j].upper == "NOT") {
            negated = true;
            ++j;
        }
        if (j >= t.size()) {
            continue;
        }
        const std::string op = t[j].kind == Kind::Symbol ? t[j].text : t[j].upper;
        if (!negated &&
            (op == "=" || op == "LIKE" || op == "ILIKE" || op == "<" || op == ">" || op == "<=" ||
             op == ">=") &&
            j + 1 < t.size() && t[j + 1].kind == Kind::String) {
            c.op = op;
            c.literals.push_back(t[j + 1].text);
            st.comparisons.push_back(c);
        } else if (!negated && op == "IN" && j + 1 < t.size() && t[j + 1].text == "(") {
            std::size_t k = j + 2;
            bool all_strings = true;
            while (k < t.size() && t[k].text != ")") {
                if (t[k].kind == Kind::String) {
                    c.literals.push_back(t[k].text);
                } else if (t[k].text != ",") {
                    all_strings = false;
                }
                ++k;
            }
            if (all_strings && !c.literals.empty()) {
                c.op = "IN";
                st.comparisons.push_back(c);
            }
        } else if (!negated && op == "BETWEEN" && j + 3 < t.size() &&
                   t[j + 1].kind == Kind::String && t[j + 2].upper == "AND" &&
                   t[j + 3].kind == Kind::String) {
            c.op = "BETWEEN";
            c.literals = {t[j + 1].text, t[j + 3].text};
            st.comparisons.push_back(c);
        }
        i = j - 1;
    }
    // 'literal' = [q.]col
    for (std::size_t i = 0; i + 2 < t.size(); ++i) {
        if (t[i].kind != Kind::String || t[i + 1].text != "=" || !is_name(t[i + 2])) {
            continue;
        }
        Comparison c;
        std::size_t e = 0;
        if (column_at(i + 2, c, e)) {
            c.op = "=";
            c.literals.push_back(t[i].text);
            st.comparisons.push_back(c);
        }
    }
    return st;
}

// The table a comparison's column belongs to: its qualifier's table, else the one table of
// the statement the index knows such a column of. "" when it cannot tell.
std::string table_of(const Comparison& c, const Statement& st, const ValueIndex& index) {
    if (!c.qualifier.empty()) {
        auto it = st.aliases.find(upper_of(c.qualifier));
        return it == st.aliases.end() ? c.qualifier : it->second;
    }
    std::string found;
    for (const std::string& table : st.tables) {
        if (index.column(table, c.column) != nullptr) {
            if (!found.empty() && upper_of(found) != upper_of(table)) {
                return ""; // ambiguous
            }
            found = table;
        }
    }
    return found;
}

std::string lower_ascii(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool occurs(const ColumnValues& col, const std::string& literal, bool ignore_case) {
    const std::string wanted = ignore_case ? lower_ascii(literal) : literal;
    return std::any_of(col.values.begin(), col.values.end(), [&](const IndexedValue& v) {
        return (ignore_case ? lower_ascii(v.value) : v.value) == wanted;
    });
}

bool looks_like_date(std::string_view s) {
    return s.size() >= 7 && std::isdigit(static_cast<unsigned char>(s[0])) &&
           std::isdigit(static_cast<unsigned char>(s[3])) && s[4] == '-';
}

// a < b on the first characters both have (ISO dates and timestamps compare as text).
int compare_prefix(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    return a.compare(0, n, b, 0, n);
}

} // namespace

std::vector<LiteralFinding> ValueIndex::check_literals(std::string_view sql,
                                                       TextComparison comparison,
                                                       bool only_with_close) const {
    std::vector<LiteralFinding> out;
    const Statement st = read_statement(sql);
    for (const Comparison& c : st.comparisons) {
        if (c.op != "=" && c.op != "IN" && c.op != "LIKE" && c.op != "ILIKE") {
            continue;
        }
        const std::string table = table_of(c, st, *this);
        const ColumnValues* col = table.empty() ? nullptr : column(table, c.column);
        if (col == nullptr || !col->complete || col->sampled || col->values.empty()) {
            continue; // a value outside the most frequent ones may still occur
        }
        const bool like = c.op == "LIKE" || c.op == "ILIKE";
        const bool ignore_case =
            c.folded || c.op == "ILIKE" ||
            (like ? comparison.like_ignores_case : comparison.equals_ignores_case);
        for (const std::string& literal : c.literals) {
            if (like && literal.find_first_of("%_") != std::string::npos) {
                continue;
            }
            if (occurs(*col, literal, ignore_case)) {
                continue;
            }
            const bool seen = std::any_of(out.begin(), out.end(), [&](const LiteralFinding& f) {
                return f.table == col->table && f.column == col->column && f.literal == literal;
            });
            if (seen) {
                continue;
            }
            LiteralFinding f{col->table, col->column, literal, close_values(*col, literal, 3)};
            if (only_with_close && f.close.empty()) {
                continue;
            }
            out.push_back(std::move(f));
        }
    }
    return out;
}

std::string literal_check_text(const std::vector<LiteralFinding>& findings) {
    std::string out;
    for (const LiteralFinding& f : findings) {
        out += (out.empty() ? "" : "\n") + f.text();
    }
    return out;
}

std::string empty_result_diagnosis(std::string_view sql, const ValueIndex& index,
                                   TextComparison comparison) {
    std::string out = literal_check_text(index.check_literals(sql, comparison, false));
    const Statement st = read_statement(sql);
    std::vector<std::string> said;
    for (const Comparison& c : st.comparisons) {
        if (c.op == "IN" || c.op == "LIKE" || c.op == "ILIKE" || c.literals.empty() ||
            !looks_like_date(c.literals.front())) {
            continue;
        }
        const std::string table = table_of(c, st, index);
        const ColumnValues* col = table.empty() ? nullptr : index.column(table, c.column);
        if (col == nullptr || col->min.empty() || col->max.empty()) {
            continue;
        }
        const std::string& low = c.literals.front();
        const std::string& high = c.literals.back();
        bool outside = false;
        if (c.op == ">" || c.op == ">=") {
            outside = compare_prefix(low, col->max) > 0;
        } else if (c.op == "<" || c.op == "<=") {
            outside = compare_prefix(low, col->min) < 0;
        } else { // = and BETWEEN
            outside = compare_prefix(high, col->min) < 0 || compare_prefix(low, col->max) > 0;
        }
        std::string asked = c.column + " " + c.op + " '" + low + "'";
        if (c.op == "BETWEEN") {
            asked += " AND '" + high + "'";
        }
        std::string line = col->table + "." + col->column + " holds values from " + col->min +
                           " to " + col->max +
                           (outside ? "; the query asks for " : " (the query asks for ") + asked +
                           (outside ? ", outside that range" : ")");
        if (std::find(said.begin(), said.end(), line) == said.end()) {
            said.push_back(line);
            out += (out.empty() ? "" : "\n") + line;
        }
    }
    return out;
}

} // namespace zolviai::sql
