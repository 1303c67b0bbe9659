/* The walk over PostgreSQL's raw parse tree behind the guard. The tree is the server's own,
 * so every comment, quoting, escape and line-end rule is read exactly as the server reads
 * it; walking the C nodes directly costs a fraction of turning them into JSON first. */
#include "postgresql_tree.h"

/* The parser library keeps the server's global state per thread (so that parses may run side
 * by side); the server's headers declare those variables plainly. Declaring every exported
 * variable thread-local matches the library for the two this file uses, the error stacks
 * behind PG_TRY. */
#define PGDLLIMPORT __thread

#include <pg_query.h>
#include <pg_query/pg_query_internal.h>

#include "nodes/nodeFuncs.h"
#include "nodes/parsenodes.h"

#include <stdio.h>
#include <string.h>

/* libpg_query's JSON output of a list of raw statements, used only to name a refused one. */
extern char* pg_query_nodes_to_json(const void* obj);

typedef struct {
    ZolviPgNameCheck check;
    void* context;
    ZolviPgCheck* out;
    int depth;
    List* ctes; /* names of the WITH queries in scope, innermost last */
} Walk;

static void set_detail(ZolviPgCheck* out, const char* text) {
    snprintf(out->detail, sizeof out->detail, "%s", text ? text : "");
}

/* The parse-tree name of a statement node ("InsertStmt"): the first key of the JSON form of
 * an empty node of the same kind. The node's own children are never written, so that naming
 * a refused statement costs no recursion however deep the statement is. */
static void set_node_name(ZolviPgCheck* out, Node* node) {
    /* Larger than any statement node; every pointer in it is NULL and every list empty. */
    Node* empty = (Node*)palloc0(4096);
    empty->type = nodeTag(node);
    /* The JSON writer takes a list of raw statements. */
    RawStmt* raw = makeNode(RawStmt);
    raw->stmt = empty;
    const char* json = pg_query_nodes_to_json(list_make1(raw));
    const char* end = json ? strstr(json, "Stmt\"") : NULL;
    const char* start = end;
    while (start && start > json && start[-1] != '"') {
        --start;
    }
    if (start && start > json) {
        snprintf(out->detail, sizeof out->detail, "%.*s", (int)(end + 4 - start), start);
    } else {
        set_detail(out, "UnknownStmt");
    }
}

/* "schema.name" of a list of String nodes, as written. */
static void set_qualified_detail(ZolviPgCheck* out, List* names) {
    char shown[512] = "";
    ListCell* cell;
    foreach (cell, names) {
        if (!IsA(lfirst(cell), String)) {
            continue;
        }
        if (shown[0] != '\0') {
            strncat(shown, ".", sizeof shown - strlen(shown) - 1);
        }
        strncat(shown, strVal(lfirst(cell)), sizeof shown - strlen(shown) - 1);
    }
    set_detail(out, shown);
}

static int is_statement(Node* node) {
    return nodeTag(node) > T_RawStmt && nodeTag(node) < T_A_Expr;
}

static enum ZolviPgVerdict verdict_of(enum ZolviPgNameKind kind) {
    switch (kind) {
    case ZOLVI_PG_NAME_FUNCTION:
    case ZOLVI_PG_NAME_COLUMN_FIELD:
        return ZOLVI_PG_FUNCTION;
    case ZOLVI_PG_NAME_OPERATOR:
        return ZOLVI_PG_OPERATOR;
    case ZOLVI_PG_NAME_RELATION:
        return ZOLVI_PG_RELATION;
    }
    return ZOLVI_PG_FUNCTION;
}

/* Asks about a name given as a list of String nodes (schema.name or name); refuses names of
 * other shapes. True when the statement is refused. */
static bool check_names(Walk* walk, enum ZolviPgNameKind kind, List* names) {
    const int parts = list_length(names);
    bool well_formed = parts == 1 || parts == 2;
    ListCell* cell;
    foreach (cell, names) {
        well_formed = well_formed && IsA(lfirst(cell), String);
    }
    const char* schema = well_formed && parts == 2 ? strVal(linitial(names)) : "";
    const char* name = well_formed ? strVal(llast(names)) : "";
    if (well_formed && walk->check(walk->context, kind, schema, name)) {
        return false;
    }
    walk->out->verdict = verdict_of(kind);
    set_qualified_detail(walk->out, names);
    return true;
}

static bool check_name(Walk* walk, enum ZolviPgNameKind kind, const char* schema,
                       const char* name) {
    if (walk->check(walk->context, kind, schema, name)) {
        return false;
    }
    walk->out->verdict = verdict_of(kind);
    if (schema[0] != '\0') {
        snprintf(walk->out->detail, sizeof walk->out->detail, "%s.%s", schema, name);
    } else {
        set_detail(walk->out, name);
    }
    return true;
}

static bool is_cte_in_scope(Walk* walk, const char* name) {
    ListCell* cell;
    foreach (cell, walk->ctes) {
        if (strcmp((const char*)lfirst(cell), name) == 0) {
            return true;
        }
    }
    return false;
}

/* The operators the server turns IN, LIKE, BETWEEN and the others into. */
static bool check_operators(Walk* walk, A_Expr* expr) {
    switch (expr->kind) {
    case AEXPR_BETWEEN:
    case AEXPR_BETWEEN_SYM:
        return check_name(walk, ZOLVI_PG_NAME_OPERATOR, "", ">=") ||
               check_name(walk, ZOLVI_PG_NAME_OPERATOR, "", "<=");
    case AEXPR_NOT_BETWEEN:
    case AEXPR_NOT_BETWEEN_SYM:
        return check_name(walk, ZOLVI_PG_NAME_OPERATOR, "", "<") ||
               check_name(walk, ZOLVI_PG_NAME_OPERATOR, "", ">");
    default:
        return check_names(walk, ZOLVI_PG_NAME_OPERATOR, expr->name);
    }
}

static bool check_node(Node* node, Walk* walk);

/* A SELECT with a WITH clause: each WITH query sees the ones before it (all of them when
 * RECURSIVE), the rest of the statement sees them all; a relation name that matches a WITH
 * query in scope reads that query, not a table. */
static bool check_with(SelectStmt* select, Walk* walk) {
    WithClause* with = select->withClause;
    const int saved = list_length(walk->ctes);
    ListCell* cell;
    if (with->recursive) {
        foreach (cell, with->ctes) {
            walk->ctes = lappend(walk->ctes, ((CommonTableExpr*)lfirst(cell))->ctename);
        }
    }
    bool refused = false;
    foreach (cell, with->ctes) {
        CommonTableExpr* cte = (CommonTableExpr*)lfirst(cell);
        if (check_node(cte->ctequery, walk)) {
            refused = true;
            break;
        }
        if (!with->recursive) {
            walk->ctes = lappend(walk->ctes, cte->ctename);
        }
    }
    if (!refused) {
        select->withClause = NULL;
        refused = raw_expression_tree_walker((Node*)select, check_node, walk);
        select->withClause = with;
    }
    walk->ctes = list_truncate(walk->ctes, saved);
    return refused;
}

static bool check_node_kind(Node* node, Walk* walk) {
    ZolviPgCheck* out = walk->out;
    switch (nodeTag(node)) {
    case T_SelectStmt: {
        SelectStmt* select = (SelectStmt*)node;
        if (select->intoClause != NULL) {
            out->verdict = ZOLVI_PG_SELECT_INTO;
            return true;
        }
        if (select->lockingClause != NIL) {
            out->verdict = ZOLVI_PG_LOCKING_CLAUSE;
            return true;
        }
        if (select->withClause != NULL) {
            return check_with(select, walk);
        }
        break;
    }
    case T_ParamRef:
        out->verdict = ZOLVI_PG_PARAMETER;
        return true;
    case T_FuncCall:
        if (check_names(walk, ZOLVI_PG_NAME_FUNCTION, ((FuncCall*)node)->funcname)) {
            return true;
        }
        break;
    case T_A_Expr:
        if (check_operators(walk, (A_Expr*)node)) {
            return true;
        }
        break;
    case T_SubLink: {
        SubLink* link = (SubLink*)node;
        if (link->operName != NIL && check_names(walk, ZOLVI_PG_NAME_OPERATOR, link->operName)) {
            return true;
        }
        /* x IN (subquery) compares with "=". */
        if (link->subLinkType == ANY_SUBLINK && link->operName == NIL &&
            check_name(walk, ZOLVI_PG_NAME_OPERATOR, "", "=")) {
            return true;
        }
        break;
    }
    case T_CaseExpr:
        /* CASE x WHEN y compares with "=". */
        if (((CaseExpr*)node)->arg != NULL && check_name(walk, ZOLVI_PG_NAME_OPERATOR, "", "=")) {
            return true;
        }
        break;
    case T_SortBy:
        if (((SortBy*)node)->useOp != NIL &&
            check_names(walk, ZOLVI_PG_NAME_OPERATOR, ((SortBy*)node)->useOp)) {
            return true;
        }
        break;
    case T_A_Indirection: {
        /* (expr).name is a call name(expr) whenever expr has no field of that name: the
         * attribute notation reaches functions the call syntax would show. */
        ListCell* cell;
        foreach (cell, ((A_Indirection*)node)->indirection) {
            if (IsA(lfirst(cell), String)) {
                out->verdict = ZOLVI_PG_FIELD_SELECTION;
                set_detail(out, strVal(lfirst(cell)));
                return true;
            }
        }
        break;
    }
    case T_ColumnRef: {
        /* rel.name reads column name of rel, or else calls name(rel). */
        List* fields = ((ColumnRef*)node)->fields;
        if (list_length(fields) >= 2 && IsA(llast(fields), String) &&
            check_name(walk, ZOLVI_PG_NAME_COLUMN_FIELD, "", strVal(llast(fields)))) {
            return true;
        }
        break;
    }
    case T_RangeVar: {
        RangeVar* range = (RangeVar*)node;
        if (range->schemaname == NULL && is_cte_in_scope(walk, range->relname)) {
            break;
        }
        if (check_name(walk, ZOLVI_PG_NAME_RELATION, range->schemaname ? range->schemaname : "",
                       range->relname)) {
            return true;
        }
        break;
    }
    case T_RangeTableFunc:
        /* XMLTABLE evaluates XPath on a document, which the server cannot interrupt. */
        if (check_name(walk, ZOLVI_PG_NAME_FUNCTION, "", "xmltable")) {
            return true;
        }
        break;
    default:
        if (is_statement(node)) {
            out->verdict = ZOLVI_PG_NESTED_STATEMENT;
            set_node_name(out, node);
            return true;
        }
        break;
    }
    return raw_expression_tree_walker(node, check_node, walk);
}

static bool check_node(Node* node, Walk* walk) {
    if (node == NULL) {
        return false;
    }
    if (walk->depth >= ZOLVI_PG_MAX_TREE_DEPTH) {
        walk->out->verdict = ZOLVI_PG_TOO_DEEP;
        return true;
    }
    ++walk->depth;
    const bool refused = check_node_kind(node, walk);
    --walk->depth;
    return refused;
}

static void check_statement(RawStmt* raw, Walk* walk) {
    ZolviPgCheck* out = walk->out;
    Node* query = raw->stmt;
    if (IsA(query, ExplainStmt)) {
        ExplainStmt* explain = (ExplainStmt*)query;
        ListCell* cell;
        foreach (cell, explain->options) {
            DefElem* option = (DefElem*)lfirst(cell);
            if (strcmp(option->defname, "analyze") == 0) {
                out->verdict = ZOLVI_PG_EXPLAIN_ANALYZE;
                return;
            }
        }
        query = explain->query;
        if (!IsA(query, SelectStmt)) {
            out->verdict = ZOLVI_PG_EXPLAIN_OF;
            set_node_name(out, query);
            return;
        }
        out->explain = 1;
    } else if (!IsA(query, SelectStmt)) {
        out->verdict = ZOLVI_PG_STATEMENT_KIND;
        set_node_name(out, query);
        return;
    }
    if (check_node(query, walk)) {
        return;
    }
    out->verdict = ZOLVI_PG_ALLOWED;
    out->location = raw->stmt_location > 0 ? raw->stmt_location : 0;
    out->length = raw->stmt_len;
}

void zolvi_pg_check(const char* sql, ZolviPgNameCheck check, void* context, ZolviPgCheck* out) {
    memset(out, 0, sizeof *out);
    Walk walk = {check, context, out, 0, NIL};
    MemoryContext ctx = pg_query_enter_memory_context();
    PgQueryInternalParsetreeAndError parsed = pg_query_raw_parse(sql);
    if (parsed.error != NULL) {
        out->verdict = ZOLVI_PG_PARSE_ERROR;
        set_detail(out, parsed.error->message);
        out->cursor = parsed.error->cursorpos;
        pg_query_free_error(parsed.error);
    } else if (list_length(parsed.tree) == 0) {
        out->verdict = ZOLVI_PG_EMPTY;
    } else if (list_length(parsed.tree) > 1) {
        out->verdict = ZOLVI_PG_SEVERAL_STATEMENTS;
    } else {
        /* The walker raises an error for a node it does not know: refuse, never guess. */
        PG_TRY();
        {
            check_statement((RawStmt*)linitial(parsed.tree), &walk);
        }
        PG_CATCH();
        {
            ErrorData* error = CopyErrorData();
            FlushErrorState();
            out->verdict = ZOLVI_PG_UNREADABLE_TREE;
            set_detail(out, error->message);
        }
        PG_END_TRY();
    }
    if (parsed.stderr_buffer != NULL) {
        free(parsed.stderr_buffer);
    }
    pg_query_exit_memory_context(ctx);
}
