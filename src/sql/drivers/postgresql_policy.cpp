// PostgreSQL's rules for generated SQL, decided on the parse tree of the server's own grammar
// (libpg_query, walked in postgresql_tree.c), so that no comment, quoting or line-end trick
// reads differently here than on the server.
#include "sql/drivers/policies.hpp"
#include "sql/drivers/postgresql_tree.h"
#include "sql/large_stack.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace zolviai::sql::drivers {

namespace {

// "InsertStmt" -> "INSERT", "CreateTableAsStmt" -> "CREATE TABLE AS", "CopyStmt" -> "COPY";
// a few parse-tree names read better as the statements a user writes.
std::string statement_kind(std::string_view key) {
    static const std::pair<std::string_view, std::string_view> spoken[] = {
        {"VariableSetStmt", "SET"},
        {"VariableShowStmt", "SHOW"},
        {"TransactionStmt", "BEGIN/COMMIT/ROLLBACK"},
        {"CheckPointStmt", "CHECKPOINT"},
        {"VacuumStmt", "VACUUM/ANALYZE"},
    };
    for (const auto& [name, text] : spoken) {
        if (key == name) {
            return std::string(text);
        }
    }
    if (key.size() > 4 && key.substr(key.size() - 4) == "Stmt") {
        key.remove_suffix(4);
    }
    std::string out;
    for (std::size_t i = 0; i < key.size(); ++i) {
        const char c = key[i];
        if (i > 0 && std::isupper(static_cast<unsigned char>(c))) {
            out += ' ';
        }
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

// What the walk asks about the statement's names: the allow-lists decide what they can
// without the catalog, and the names are kept for resolution against it.
struct NameCheck {
    const FunctionAllowList* allowed;
    const std::vector<std::string>* data_schemas;
    PgNames names;
};

bool data_schema(const NameCheck& check, std::string_view schema) {
    if (postgresql_system_schema(schema)) {
        return false;
    }
    const auto& schemas = *check.data_schemas;
    return schemas.empty() || std::find(schemas.begin(), schemas.end(), schema) != schemas.end();
}

int check_name(void* context, ZolviPgNameKind kind, const char* schema, const char* name) {
    auto& check = *static_cast<NameCheck*>(context);
    const std::string_view s(schema);
    switch (kind) {
    case ZOLVI_PG_NAME_FUNCTION:
        if (!check.allowed->allows(s, name)) {
            return 0;
        }
        if (s.empty()) {
            check.names.functions.insert(name);
        }
        return 1;
    case ZOLVI_PG_NAME_OPERATOR:
        // OPERATOR(schema.op) names its schema: only the built-in operators may be named so.
        if (!s.empty()) {
            return s == "pg_catalog" ? 1 : 0;
        }
        check.names.operators.insert(name);
        return 1;
    case ZOLVI_PG_NAME_COLUMN_FIELD:
        check.names.column_fields.insert(name);
        return 1;
    case ZOLVI_PG_NAME_RELATION:
        if (s.empty()) {
            // With pg_catalog first on the search path, a pg_ name may be a catalog relation.
            if (std::strncmp(name, "pg_", 3) == 0) {
                return 0;
            }
            check.names.relations.insert(name);
            return 1;
        }
        if (postgresql_catalog_view_allowed(s, name)) {
            return 1;
        }
        if (!data_schema(check, s)) {
            return 0;
        }
        check.names.qualified_relations.emplace(schema, name);
        return 1;
    }
    return 0;
}

// Stack the parse and the walk may take at most: the parser's frames and the deepest tree the
// walk follows (ZOLVI_PG_MAX_TREE_DEPTH levels) fit in 256 kB; the margin covers other builds
// of the library. It does not rest on the nesting pre-scan, which only refuses early.
constexpr std::size_t parse_stack_bytes = 2 * 1024 * 1024;

// The characters of PostgreSQL's operators (and ':' of the cast "::"), and of words.
struct CharClasses {
    bool op[256] = {};
    bool word[256] = {};
    CharClasses() {
        for (const char* c = "+-*/<>=~!@#%^&|`?:"; *c != '\0'; ++c) {
            op[static_cast<unsigned char>(*c)] = true;
        }
        for (int c = 0; c < 256; ++c) {
            word[c] = std::isalnum(c) || c == '_' || c == '$' || c >= 0x80;
        }
    }
};

const CharClasses char_classes;

bool operator_char(char c) {
    return char_classes.op[static_cast<unsigned char>(c)];
}

bool word_char(char c) {
    return char_classes.word[static_cast<unsigned char>(c)];
}

// Keywords by which the grammar nests without parentheses, by length (AND and OR are not
// among them: the grammar flattens a chain of them into one node). Most words of a statement
// are names, which the length alone rules out or one comparison or two.
bool nesting_keyword(std::string_view word) {
    static const std::vector<std::string_view> by_length[10] = {
        {},
        {},
        {"is", "in", "at"},
        {"not", "row", "any", "all"},
        {"like", "case", "when", "else", "join", "some", "with"},
        {"ilike", "union", "array"},
        {"isnull", "escape", "exists", "select", "values"},
        {"notnull", "similar", "between", "collate", "except", "lateral"},
        {"overlaps", "operator", "distinct"},
        {"intersect"},
    };
    if (word.size() >= 10) {
        return false;
    }
    char lower[10];
    for (std::size_t i = 0; i < word.size(); ++i) {
        const char c = word[i];
        lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view folded(lower, word.size());
    for (std::string_view keyword : by_length[word.size()]) {
        if (keyword[0] == folded[0] && keyword == folded) {
            return true;
        }
    }
    return false;
}

} // namespace

bool postgresql_catalog_view_allowed(std::string_view schema, std::string_view name) {
    static const char* const views[] = {"tables",
                                        "columns",
                                        "views",
                                        "key_column_usage",
                                        "table_constraints",
                                        "referential_constraints",
                                        "constraint_column_usage"};
    if (schema != "information_schema") {
        return false;
    }
    for (const char* v : views) {
        if (name == v) {
            return true;
        }
    }
    return false;
}

bool postgresql_system_schema(std::string_view schema) {
    return schema == "information_schema" || schema.rfind("pg_", 0) == 0;
}

std::size_t postgresql_nesting_bound(std::string_view sql) {
    // counts[i]: operators and nesting keywords since the last comma at parenthesis level i.
    std::vector<std::size_t> counts(1, 0);
    std::size_t sum = 0;
    std::size_t most = 0;
    std::size_t i = 0;
    const std::size_t n = sql.size();
    const auto count = [&] {
        ++counts.back();
        most = std::max(most, ++sum);
    };
    while (i < n) {
        const char c = sql[i];
        if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            while (i < n && sql[i] != '\n' && sql[i] != '\r') {
                ++i;
            }
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            int comment_depth = 0;
            while (i < n) {
                if (sql.compare(i, 2, "/*") == 0) {
                    ++comment_depth;
                    i += 2;
                } else if (sql.compare(i, 2, "*/") == 0) {
                    i += 2;
                    if (--comment_depth == 0) {
                        break;
                    }
                } else {
                    ++i;
                }
            }
        } else if (c == '\'' || c == '"') {
            // A backslash may escape the quote in E'' strings; reading it so elsewhere only
            // ends the string later, which counts less, never more, than the server nests.
            const bool escapes = c == '\'' && i > 0 && (sql[i - 1] == 'e' || sql[i - 1] == 'E');
            ++i;
            while (i < n) {
                if (escapes && sql[i] == '\\') {
                    i += 2;
                } else if (sql[i] == c) {
                    if (i + 1 < n && sql[i + 1] == c) {
                        i += 2;
                    } else {
                        ++i;
                        break;
                    }
                } else {
                    ++i;
                }
            }
        } else if (c == '$' && (i == 0 || !(std::isalnum(static_cast<unsigned char>(sql[i - 1])) ||
                                            sql[i - 1] == '_'))) {
            std::size_t k = i + 1;
            while (k < n && (std::isalnum(static_cast<unsigned char>(sql[k])) || sql[k] == '_' ||
                             static_cast<unsigned char>(sql[k]) >= 0x80)) {
                ++k;
            }
            if (k < n && sql[k] == '$' &&
                (k == i + 1 || !std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
                const std::string_view tag = sql.substr(i, k + 1 - i);
                const std::size_t close = sql.find(tag, k + 1);
                i = close == std::string_view::npos ? n : close + tag.size();
            } else {
                i = k;
            }
        } else if (c == '(' || c == '[') {
            counts.push_back(0);
            most = std::max(most, ++sum);
            ++i;
        } else if (c == ')' || c == ']') {
            if (counts.size() > 1) {
                sum -= counts.back() + 1;
                counts.pop_back();
            }
            ++i;
        } else if (c == ',') {
            sum -= counts.back();
            counts.back() = 0;
            ++i;
        } else if (operator_char(c)) {
            while (i < n && operator_char(sql[i])) {
                ++i;
            }
            count();
        } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
                   static_cast<unsigned char>(c) >= 0x80) {
            const std::size_t start = i;
            while (i < n && word_char(sql[i])) {
                ++i;
            }
            if (nesting_keyword(sql.substr(start, i - start))) {
                count();
            }
        } else {
            ++i;
        }
    }
    return most;
}

std::optional<std::string> postgresql_refusal(std::string_view sql,
                                              const FunctionAllowList& allowed,
                                              PgStatementShape* shape,
                                              const std::vector<std::string>& data_schemas) {
    // The parser reads a C string: a NUL would end the text early, hiding what follows.
    if (sql.find('\0') != std::string_view::npos) {
        return std::string("the statement contains a NUL byte");
    }
    const std::size_t nesting = postgresql_nesting_bound(sql);
    if (nesting > postgresql_max_nesting) {
        return "the statement nests too deeply (" + std::to_string(nesting) +
               " levels of parentheses, operators and nested clauses; at most " +
               std::to_string(postgresql_max_nesting) + ")";
    }
    const std::string text(sql);
    ZolviPgCheck check;
    NameCheck names{&allowed, &data_schemas, {}};
    run_with_stack(parse_stack_bytes,
                   [&] { zolvi_pg_check(text.c_str(), &check_name, &names, &check); });
    const std::string detail = check.detail;
    switch (check.verdict) {
    case ZOLVI_PG_ALLOWED:
        if (shape != nullptr) {
            shape->explain = check.explain != 0;
            shape->location = static_cast<std::size_t>(check.location);
            shape->length = static_cast<std::size_t>(check.length);
            shape->names = std::move(names.names);
        }
        return std::nullopt;
    case ZOLVI_PG_PARSE_ERROR:
        // The server would refuse it too; say where, as the server would.
        return "the statement does not parse: " + detail + " at character " +
               std::to_string(check.cursor);
    case ZOLVI_PG_EMPTY:
        return std::string("the statement is empty");
    case ZOLVI_PG_SEVERAL_STATEMENTS:
        return std::string("more than one statement");
    case ZOLVI_PG_STATEMENT_KIND:
        return "a statement of kind " + statement_kind(detail) + ": only a single query may run";
    case ZOLVI_PG_NESTED_STATEMENT:
        return "a statement of kind " + statement_kind(detail) + " inside the query";
    case ZOLVI_PG_EXPLAIN_ANALYZE:
        return std::string("EXPLAIN ANALYZE runs the statement it explains");
    case ZOLVI_PG_EXPLAIN_OF:
        return "EXPLAIN of a statement of kind " + statement_kind(detail);
    case ZOLVI_PG_SELECT_INTO:
        return std::string("SELECT ... INTO creates a table");
    case ZOLVI_PG_LOCKING_CLAUSE:
        return std::string("FOR UPDATE/SHARE locks rows");
    case ZOLVI_PG_PARAMETER:
        return std::string("a parameter placeholder ($n): generated SQL has no parameters");
    case ZOLVI_PG_FUNCTION:
        return "the function " + detail + " is not on the list of functions generated SQL may call";
    case ZOLVI_PG_OPERATOR:
        return "the operator OPERATOR(" + detail +
               ") is named outside pg_catalog: only the built-in operators may run";
    case ZOLVI_PG_RELATION:
        if (detail.rfind("pg_", 0) == 0 || detail.rfind("information_schema.", 0) == 0) {
            return "the relation " + detail +
                   " belongs to the server's catalog: generated SQL reads the data schemas and "
                   "only the information_schema views tables, columns, views, key_column_usage, "
                   "table_constraints, referential_constraints and constraint_column_usage";
        }
        return "the relation " + detail + " is outside the data schemas generated SQL may read";
    case ZOLVI_PG_FIELD_SELECTION:
        return "the field selection (...)." + detail +
               ": on a value without such a field it calls the function " + detail +
               "; write the call, or name a table's column directly";
    case ZOLVI_PG_TOO_DEEP:
        return "the statement nests too deeply (more than " +
               std::to_string(ZOLVI_PG_MAX_TREE_DEPTH) + " levels in its parse tree)";
    case ZOLVI_PG_UNREADABLE_TREE:
        return "the statement has a construct the guard cannot check (" + detail + ")";
    }
    return std::string("the statement could not be checked");
}

} // namespace zolviai::sql::drivers
