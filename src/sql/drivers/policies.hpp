#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The engines' rules for generated SQL. Each driver's refusal_reason calls its engine's
// function here; the functions are free of connections so that tests can feed them a corpus.
namespace zolviai::sql::drivers {

// The functions generated SQL may call on one engine: the engine's side-effect-free
// built-ins (a data file compiled in, one name per line or several per line, '#' comments)
// and the host's own additions.
class FunctionAllowList {
public:
    // builtin_schema: the schema that holds the built-ins (PostgreSQL's "pg_catalog"), so
    // that a built-in may also be called by its qualified name; "" where built-ins have no
    // schema. fold_case: the engine compares function names without regard to case.
    FunctionAllowList(std::string_view builtin_list, const std::vector<std::string>& host_extras,
                      std::string builtin_schema, bool fold_case);

    // Whether a call of schema.name (schema "" when unqualified) is allowed. Names are given
    // as the engine resolved them: quotes removed, unquoted names case-folded as the engine
    // folds them.
    bool allows(std::string_view schema, std::string_view name) const;

    std::size_t size() const { return builtins_.size(); }

private:
    std::string key(std::string_view text) const;

    std::set<std::string, std::less<>> builtins_;
    std::set<std::string, std::less<>> extras_; // "name" or "schema.name"
    std::string builtin_schema_;
    bool fold_case_;
};

// The built-in lists, compiled in from src/sql/drivers/*_functions.txt.
extern const char postgresql_functions[];
extern const char mariadb_functions[];
extern const char sqlite_functions[];
extern const char tsql_functions[];

// Where the one statement of an allowed text lies, and whether it is an EXPLAIN.
struct PgStatementShape {
    bool explain = false;
    std::size_t location = 0; // byte offset of the statement in the text
    std::size_t length = 0;   // its length without a closing ';', 0: to the end of the text
};

// PostgreSQL: classified from the server's own parse tree. Fills shape when it is allowed.
std::optional<std::string> postgresql_refusal(std::string_view sql,
                                              const FunctionAllowList& allowed,
                                              PgStatementShape* shape = nullptr);

// MySQL/MariaDB: a lexer that follows the server's rules; backslash_escapes is false when the
// session's sql_mode has NO_BACKSLASH_ESCAPES.
std::optional<std::string> mariadb_refusal(std::string_view sql, const FunctionAllowList& allowed,
                                           bool backslash_escapes);

// SQL Server (T-SQL), which runs batches without semicolons.
std::optional<std::string> tsql_refusal(std::string_view sql, const FunctionAllowList& allowed);

} // namespace zolviai::sql::drivers
