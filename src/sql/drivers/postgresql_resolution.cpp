// What the server will run for a PostgreSQL statement the parse tree allowed: its function,
// operator and relation names as the catalog resolves them under the guarded session's
// pinned search_path, and the definitions of the views it reads.
#include "sql/drivers/policies.hpp"

namespace zolviai::sql::drivers {

namespace {

// A string literal; the session reads strings standard-conforming (pinned at connect).
std::string literal(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    return out + "'";
}

std::string identifier(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

template <typename Names> std::string text_array(const Names& names) {
    std::string out = "ARRAY[";
    bool first = true;
    for (const auto& name : names) {
        out += (first ? "" : ", ") + literal(name);
        first = false;
    }
    return out + "]::text[]";
}

// The views a statement reads, those inside them (outside the server's own schemas), and
// what each resolves to; path is the pinned search_path without pg_temp.
constexpr const char* resolution_sql = R"SQL(
WITH RECURSIVE path(nspname, pos) AS (
  SELECT * FROM unnest(%PATH%) WITH ORDINALITY),
rel(name, schema, oid, relkind) AS (
  SELECT r.name, x.nspname, x.oid, x.relkind FROM unnest(%RELATIONS%) AS r(name)
  CROSS JOIN LATERAL (
    SELECT c.oid, c.relkind, n.nspname::text AS nspname FROM pg_class c
    JOIN pg_namespace n ON n.oid = c.relnamespace JOIN path p ON p.nspname = n.nspname
    WHERE c.relname = r.name ORDER BY p.pos LIMIT 1) x
  UNION ALL
  SELECT r.name, r.schema, c.oid, c.relkind
  FROM unnest(%QSCHEMAS%, %QNAMES%) AS r(schema, name)
  JOIN pg_namespace n ON n.nspname = r.schema
  JOIN pg_class c ON c.relnamespace = n.oid AND c.relname = r.name),
views(oid) AS (
  SELECT oid FROM rel WHERE relkind = 'v'
  UNION
  SELECT d.refobjid FROM views v
  JOIN pg_rewrite w ON w.ev_class = v.oid
  JOIN pg_depend d ON d.classid = 'pg_rewrite'::regclass AND d.objid = w.oid
   AND d.refclassid = 'pg_class'::regclass
  JOIN pg_class c ON c.oid = d.refobjid AND c.relkind = 'v'
  JOIN pg_namespace n ON n.oid = c.relnamespace
  WHERE n.nspname NOT IN ('pg_catalog', 'information_schema'))
SELECT 'f'::text, p.proname::text, n.nspname::text, NULL::text
FROM pg_proc p JOIN pg_namespace n ON n.oid = p.pronamespace JOIN path ON path.nspname = n.nspname
WHERE p.proname = ANY (%FUNCTIONS%) AND n.nspname <> 'pg_catalog'
UNION ALL
SELECT 'o', o.oprname::text, n.nspname::text, NULL
FROM pg_operator o JOIN pg_namespace n ON n.oid = o.oprnamespace
JOIN path ON path.nspname = n.nspname
WHERE o.oprname = ANY (%OPERATORS%) AND n.nspname <> 'pg_catalog'
UNION ALL
SELECT 'c', p.proname::text, n.nspname::text, NULL
FROM pg_proc p JOIN pg_namespace n ON n.oid = p.pronamespace JOIN path ON path.nspname = n.nspname
WHERE p.proname = ANY (%FIELDS%) AND p.pronargs >= 1 AND p.pronargs - p.pronargdefaults <= 1
  AND (n.nspname <> 'pg_catalog' OR p.proargtypes[0] IN ('record'::regtype, 'anyelement'::regtype,
       'anynonarray'::regtype, '"any"'::regtype, 'anycompatible'::regtype,
       'anycompatiblenonarray'::regtype))
UNION ALL
SELECT 'r', name, schema, relkind::text FROM rel
UNION ALL
SELECT 'v', c.relname::text, n.nspname::text, pg_get_viewdef(c.oid)
FROM views v JOIN pg_class c ON c.oid = v.oid JOIN pg_namespace n ON n.oid = c.relnamespace
UNION ALL
SELECT 'd', coalesce(p.proname, o.oprname)::text,
       n.nspname::text, format('%I.%I', vn.nspname, c.relname)
FROM views v JOIN pg_class c ON c.oid = v.oid JOIN pg_namespace vn ON vn.oid = c.relnamespace
JOIN pg_rewrite w ON w.ev_class = v.oid
JOIN pg_depend d ON d.classid = 'pg_rewrite'::regclass AND d.objid = w.oid
 AND d.refclassid IN ('pg_proc'::regclass, 'pg_operator'::regclass)
LEFT JOIN pg_proc p ON d.refclassid = 'pg_proc'::regclass AND p.oid = d.refobjid
LEFT JOIN pg_operator o ON d.refclassid = 'pg_operator'::regclass AND o.oid = d.refobjid
JOIN pg_namespace n ON n.oid = coalesce(p.pronamespace, o.oprnamespace)
)SQL";

void replace(std::string& text, std::string_view key, const std::string& value) {
    const std::size_t at = text.find(key);
    if (at != std::string::npos) {
        text.replace(at, key.size(), value);
    }
}

std::string shown(const PgResolvedName& row) { return row.schema + "." + row.name; }

} // namespace

PgResolution::PgResolution(const FunctionAllowList& allowed,
                           std::vector<std::string> data_schemas)
    : allowed_(allowed), data_schemas_(std::move(data_schemas)) {}

std::string PgResolution::pin_search_path_sql() const {
    std::string out = "SET LOCAL search_path = pg_catalog";
    for (const std::string& schema : data_schemas_) {
        out += ", " + identifier(schema);
    }
    return out + ", pg_temp";
}

std::string PgResolution::query(const PgNames& names) const {
    std::vector<std::string> path{"pg_catalog"};
    path.insert(path.end(), data_schemas_.begin(), data_schemas_.end());
    std::vector<std::string> schemas;
    std::vector<std::string> tables;
    for (const auto& [schema, name] : names.qualified_relations) {
        schemas.push_back(schema);
        tables.push_back(name);
    }
    std::string sql = resolution_sql;
    replace(sql, "%PATH%", text_array(path));
    replace(sql, "%RELATIONS%", text_array(names.relations));
    replace(sql, "%QSCHEMAS%", text_array(schemas));
    replace(sql, "%QNAMES%", text_array(tables));
    replace(sql, "%FUNCTIONS%", text_array(names.functions));
    replace(sql, "%OPERATORS%", text_array(names.operators));
    replace(sql, "%FIELDS%", text_array(names.column_fields));
    return sql;
}

std::optional<std::string> PgResolution::view_refusal(const std::string& definition) {
    if (auto known = views_.find(definition); known != views_.end()) {
        return known->second;
    }
    auto reason = postgresql_refusal(definition, allowed_, nullptr, data_schemas_);
    if (views_.size() >= 512) {
        views_.clear();
    }
    views_.emplace(definition, reason);
    return reason;
}

std::optional<std::string> PgResolution::refusal(const std::vector<PgResolvedName>& rows) {
    for (const PgResolvedName& row : rows) {
        if (row.kind == "f" && !allowed_.host_allows(row.schema, row.name)) {
            return "the function " + row.name + " could resolve to " + shown(row) +
                   ", which is not a built-in function: only pg_catalog's functions (and those "
                   "the host allows by name) may run";
        }
        if (row.kind == "o") {
            return "the operator " + row.name + " could resolve to " + shown(row) +
                   ", which is not a built-in operator: only pg_catalog's operators may run";
        }
        if (row.kind == "c" && !(row.schema == "pg_catalog" ? allowed_.allows("", row.name)
                                                             : allowed_.host_allows(row.schema,
                                                                                    row.name))) {
            return "the name " + row.name + " after a table's name calls the function " +
                   shown(row) + " when the table has no column " + row.name +
                   ", and that function is not on the list generated SQL may call";
        }
        if (row.kind == "r" && (row.schema == "pg_catalog" || postgresql_system_schema(row.schema))) {
            return "the relation " + row.name + " resolves to " + shown(row) +
                   ", which belongs to the server's catalog";
        }
        if (row.kind == "d") {
            const bool built_in = row.schema == "pg_catalog";
            const bool is_function = row.name.find_first_not_of("+-*/<>=~!@#%^&|`?") != std::string::npos;
            const bool allowed =
                is_function ? (built_in ? allowed_.allows("", row.name)
                                        : allowed_.host_allows(row.schema, row.name))
                            : built_in;
            if (!allowed) {
                return "the view " + row.detail + " uses " +
                       (is_function ? "the function " : "the operator ") + shown(row) +
                       ", which generated SQL may not run";
            }
        }
    }
    for (const PgResolvedName& row : rows) {
        if (row.kind == "v") {
            if (auto reason = view_refusal(row.detail)) {
                return "the view " + shown(row) + " is refused: " + *reason;
            }
        }
    }
    return std::nullopt;
}

} // namespace zolviai::sql::drivers
