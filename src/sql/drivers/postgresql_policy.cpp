// PostgreSQL's rules for generated SQL, decided on the parse tree of the server's own grammar
// (libpg_query, walked in postgresql_tree.c), so that no comment, quoting or line-end trick
// reads differently here than on the server.
#include "sql/drivers/policies.hpp"
#include "sql/drivers/postgresql_tree.h"

#include <cctype>
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

int allows(void* context, const char* schema, const char* name) {
    return static_cast<const FunctionAllowList*>(context)->allows(schema, name) ? 1 : 0;
}

} // namespace

std::optional<std::string> postgresql_refusal(std::string_view sql,
                                              const FunctionAllowList& allowed,
                                              PgStatementShape* shape) {
    // The parser reads a C string: a NUL would end the text early, hiding what follows.
    if (sql.find('\0') != std::string_view::npos) {
        return std::string("the statement contains a NUL byte");
    }
    const std::string text(sql);
    ZolviPgCheck check;
    zolvi_pg_check(text.c_str(), &allows, const_cast<FunctionAllowList*>(&allowed), &check);
    const std::string detail = check.detail;
    switch (check.verdict) {
    case ZOLVI_PG_ALLOWED:
        if (shape != nullptr) {
            shape->explain = check.explain != 0;
            shape->location = static_cast<std::size_t>(check.location);
            shape->length = static_cast<std::size_t>(check.length);
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
    case ZOLVI_PG_PRIVATE_RELATION:
        return "the catalog relation " + detail +
               " holds credentials, server files or other sessions' statements";
    case ZOLVI_PG_UNREADABLE_TREE:
        return "the statement has a construct the guard cannot check (" + detail + ")";
    }
    return std::string("the statement could not be checked");
}

} // namespace zolviai::sql::drivers
