/* PostgreSQL's own parser (libpg_query) and a walk over the raw parse tree it builds, in C
 * because the tree is made of the server's C node structures. The C++ policy
 * (postgresql_policy.cpp) turns the verdict into a refusal reason. */
#ifndef ZOLVIAI_SQL_DRIVERS_POSTGRESQL_TREE_H
#define ZOLVIAI_SQL_DRIVERS_POSTGRESQL_TREE_H

#ifdef __cplusplus
extern "C" {
#endif

/* The deepest parse tree the walk follows: every level costs the walk a few hundred bytes
 * of stack, so a statement nested deeper is refused rather than walked. */
#define ZOLVI_PG_MAX_TREE_DEPTH 3000

enum ZolviPgVerdict {
    ZOLVI_PG_ALLOWED = 0,
    ZOLVI_PG_PARSE_ERROR,         /* detail: the parser's message; cursor: its position */
    ZOLVI_PG_EMPTY,
    ZOLVI_PG_SEVERAL_STATEMENTS,
    ZOLVI_PG_STATEMENT_KIND,      /* detail: the parse-tree name of the statement */
    ZOLVI_PG_NESTED_STATEMENT,    /* detail: as above, inside the query */
    ZOLVI_PG_EXPLAIN_ANALYZE,
    ZOLVI_PG_EXPLAIN_OF,          /* detail: the explained statement's name */
    ZOLVI_PG_SELECT_INTO,
    ZOLVI_PG_LOCKING_CLAUSE,
    ZOLVI_PG_PARAMETER,
    ZOLVI_PG_FUNCTION,            /* detail: the function's name, schema-qualified as written */
    ZOLVI_PG_OPERATOR,            /* detail: the operator, schema-qualified as written */
    ZOLVI_PG_RELATION,            /* detail: the relation's name, schema-qualified as written */
    ZOLVI_PG_FIELD_SELECTION,     /* detail: the selected field's name */
    ZOLVI_PG_TOO_DEEP,            /* the tree is deeper than ZOLVI_PG_MAX_TREE_DEPTH */
    ZOLVI_PG_UNREADABLE_TREE      /* detail: what the walk could not read */
};

/* What a name the statement uses stands for. */
enum ZolviPgNameKind {
    ZOLVI_PG_NAME_FUNCTION,     /* a call: name(...) */
    ZOLVI_PG_NAME_OPERATOR,     /* an operator, also the ones IN, LIKE, BETWEEN, CASE use */
    ZOLVI_PG_NAME_RELATION,     /* a table or view read (not a WITH query in scope) */
    ZOLVI_PG_NAME_COLUMN_FIELD  /* the last name of rel.name: a column, or else a call name(rel) */
};

/* Whether the statement may use the name (schema "" when unqualified); non-zero allows.
 * Also called for every name so that the caller can resolve them against the catalog. */
typedef int (*ZolviPgNameCheck)(void* context, enum ZolviPgNameKind kind, const char* schema,
                                const char* name);

typedef struct ZolviPgCheck {
    enum ZolviPgVerdict verdict;
    char detail[512];
    int cursor;         /* parse errors: 1-based character position, 0 when unknown */
    int explain;        /* allowed: the statement is an EXPLAIN of a SELECT */
    int location;       /* allowed: byte offset of the statement in the text */
    int length;         /* allowed: its length without a closing ';', 0: to the end */
} ZolviPgCheck;

/* Parses sql (NUL-terminated) with the server's grammar and checks it: one SELECT (or an
 * EXPLAIN without ANALYZE of one), no SELECT INTO, no locking clause, no parameter, no field
 * selection on an expression, and only names that check() accepts. Thread-safe. Uses stack
 * in proportion to the statement's nesting (at most ZOLVI_PG_MAX_TREE_DEPTH levels). */
void zolvi_pg_check(const char* sql, ZolviPgNameCheck check, void* context, ZolviPgCheck* out);

#ifdef __cplusplus
}
#endif

#endif
