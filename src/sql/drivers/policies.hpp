#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
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

    // Whether the host named the function itself, as "name" or "schema.name".
    bool host_allows(std::string_view schema, std::string_view name) const;

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

// The names an allowed PostgreSQL statement uses that only the catalog can resolve: what an
// unqualified function, operator or relation name stands for depends on the objects of the
// search path, and rel.name is a call name(rel) when rel has no column of that name.
struct PgNames {
    std::set<std::string> functions;     // unqualified function names
    std::set<std::string> operators;     // unqualified operator names
    std::set<std::string> column_fields; // the last name of every qualified column reference
    std::set<std::string> relations;     // unqualified relation names (WITH queries excluded)
    // Schema-qualified relations in the data schemas, as (schema, name).
    std::set<std::pair<std::string, std::string>> qualified_relations;
};

// Where the one statement of an allowed text lies, whether it is an EXPLAIN, and the names
// it uses.
struct PgStatementShape {
    bool explain = false;
    std::size_t location = 0; // byte offset of the statement in the text
    std::size_t length = 0;   // its length without a closing ';', 0: to the end of the text
    PgNames names;
};

// The relations of PostgreSQL's catalogs generated SQL may read: a few information_schema
// views that show only what the role may see (tables, columns, views, keys, constraints).
bool postgresql_catalog_view_allowed(std::string_view schema, std::string_view name);

// Whether a schema belongs to the server (pg_catalog, information_schema, pg_toast, pg_temp_N
// and every other pg_ name).
bool postgresql_system_schema(std::string_view schema);

// The deepest nesting the PostgreSQL guard accepts, as counted by postgresql_nesting_bound.
constexpr std::size_t postgresql_max_nesting = 1000;

// A cheap upper bound on how deeply the parse tree of sql nests, read from the text before it
// is parsed: open parentheses plus the operators and nesting keywords chained at each level
// (the grammar turns a chain like 1+1+1 into a tree as deep as the chain is long).
std::size_t postgresql_nesting_bound(std::string_view sql);

// PostgreSQL: classified from the server's own parse tree. Fills shape when it is allowed.
// data_schemas: the schemas generated SQL may read besides the allowed catalog views; empty
// allows every schema that does not belong to the server. The parse and the walk run on a
// thread with a large stack when the caller's is short, so that no statement can overflow it.
std::optional<std::string> postgresql_refusal(std::string_view sql,
                                              const FunctionAllowList& allowed,
                                              PgStatementShape* shape = nullptr,
                                              const std::vector<std::string>& data_schemas = {});

// One row of a resolution query: kind 'f' a function, 'o' an operator, 'c' a function a
// column reference could call, 'r' a relation (detail: its relkind), 'v' a view read (detail:
// its definition), 'd' a function or operator a view uses (detail: the view's name).
struct PgResolvedName {
    std::string kind;
    std::string name;
    std::string schema;
    std::string detail;
    bool bootstrap_owned = false; // the bootstrap superuser owns the function or operator
};

// PostgreSQL's names as the server resolves them. A guarded session pins search_path to
// pg_catalog, the data schemas, then pg_temp; a statement is refused when a function or
// operator name it uses could resolve to an object outside pg_catalog (a planted overload
// with a better-matching argument type wins even over a built-in), when rel.name could call a
// function off the allow-list, when a relation resolves outside the data schemas, or when a
// view it reads (or a view inside that) has a definition the guard refuses or uses functions
// or operators outside pg_catalog. Objects the bootstrap superuser owns (the role that owns
// the built-ins; the operators and functions of trusted extensions such as citext or
// pg_trgm belong to it) are trusted as the built-ins are; functions among them still need a
// name on the list. One small query
// resolves the names: it rides in the round trip that opens the guarded transaction, so it is never
// stale; a statement that reads views costs one more for their definitions, whose verdicts are kept
// by definition text.
class PgResolution {
public:
    using RunQuery = std::function<std::vector<PgResolvedName>(const std::string& sql)>;

    PgResolution(const FunctionAllowList& allowed, std::vector<std::string> data_schemas);

    const std::vector<std::string>& data_schemas() const { return data_schemas_; }

    // "SET LOCAL search_path = pg_catalog, ..., pg_temp".
    std::string pin_search_path_sql() const;

    // The query whose rows resolve the names, "" when there is nothing to resolve.
    std::string query(const PgNames& names) const;

    // Why the statement whose names gave these rows may not run, or nothing. run_query runs
    // the query on the views the statement reads, when it reads any.
    std::optional<std::string> refusal(const PgNames& names,
                                       const std::vector<PgResolvedName>& rows,
                                       const RunQuery& run_query);

private:
    std::string views_query(const std::set<std::pair<std::string, std::string>>& views) const;
    std::optional<std::string> views_refusal(const std::vector<PgResolvedName>& rows);
    std::optional<std::string> view_refusal(const std::string& definition);

    const FunctionAllowList& allowed_;
    std::vector<std::string> data_schemas_;
    // Verdicts on view definitions, by definition text.
    std::map<std::string, std::optional<std::string>, std::less<>> views_;
};

// MySQL/MariaDB: a lexer that follows the server's rules; backslash_escapes is false when the
// session's sql_mode has NO_BACKSLASH_ESCAPES.
std::optional<std::string> mariadb_refusal(std::string_view sql, const FunctionAllowList& allowed,
                                           bool backslash_escapes);

// SQL Server (T-SQL), which runs batches without semicolons.
std::optional<std::string> tsql_refusal(std::string_view sql, const FunctionAllowList& allowed);

} // namespace zolviai::sql::drivers
