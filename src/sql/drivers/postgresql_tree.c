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
    ZolviPgFunctionCheck allowed;
    void* context;
    ZolviPgCheck* out;
} Walk;

/* Catalog relations that hold credentials, server files or other sessions' statements. */
static const char* const private_relations[] = {
    "pg_authid",        "pg_shadow",         "pg_user_mappings",       "pg_largeobject",
    "pg_file_settings", "pg_hba_file_rules", "pg_ident_file_mappings", "pg_stat_activity",
    "pg_stat_statements", "pg_config",       NULL};

static void set_detail(ZolviPgCheck* out, const char* text) {
    snprintf(out->detail, sizeof out->detail, "%s", text ? text : "");
}

/* The parse-tree name of a statement node ("InsertStmt"): the first key of its JSON form
 * that names a statement. */
static void set_node_name(ZolviPgCheck* out, Node* node) {
    /* The JSON writer takes a list of raw statements. */
    RawStmt* raw = makeNode(RawStmt);
    raw->stmt = node;
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

static int is_statement(Node* node) {
    return nodeTag(node) > T_RawStmt && nodeTag(node) < T_A_Expr;
}

static bool check_node(Node* node, Walk* walk) {
    if (node == NULL) {
        return false;
    }
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
        break;
    }
    case T_ParamRef:
        out->verdict = ZOLVI_PG_PARAMETER;
        return true;
    case T_FuncCall: {
        FuncCall* call = (FuncCall*)node;
        const int parts = list_length(call->funcname);
        const char* schema = parts == 2 ? strVal(linitial(call->funcname)) : "";
        const char* name = parts > 0 ? strVal(llast(call->funcname)) : "";
        if (parts == 0 || parts > 2 || !walk->allowed(walk->context, schema, name)) {
            char shown[512] = "";
            ListCell* cell;
            foreach (cell, call->funcname) {
                if (shown[0] != '\0') {
                    strncat(shown, ".", sizeof shown - strlen(shown) - 1);
                }
                strncat(shown, strVal(lfirst(cell)), sizeof shown - strlen(shown) - 1);
            }
            out->verdict = ZOLVI_PG_FUNCTION;
            set_detail(out, shown);
            return true;
        }
        break;
    }
    case T_RangeVar: {
        RangeVar* range = (RangeVar*)node;
        if (range->schemaname == NULL || strcmp(range->schemaname, "pg_catalog") == 0) {
            for (int i = 0; private_relations[i] != NULL; ++i) {
                if (strcmp(range->relname, private_relations[i]) == 0) {
                    out->verdict = ZOLVI_PG_PRIVATE_RELATION;
                    set_detail(out, range->relname);
                    return true;
                }
            }
        }
        break;
    }
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

void zolvi_pg_check(const char* sql, ZolviPgFunctionCheck allowed, void* context,
                    ZolviPgCheck* out) {
    memset(out, 0, sizeof *out);
    Walk walk = {allowed, context, out};
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
