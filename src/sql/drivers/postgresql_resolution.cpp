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

template <typename Names>
std::string text_array(const Names& names) {
    std::string out = "ARRAY[";
    bool first = true;
    for (const auto& name : names) {
        out += (first ? "" : ", ") + literal(name);
        first = false;
    }
    return out + "]::text[]";
}

// Where the names could resolve: every function, operator and relation of those names in
// pg_catalog and the data schemas (path) and in the schemas named in the statement (named).
// Kept free of joins and recursion so that the server plans it in a fraction of a
// millisecond.
constexpr const char* names_sql = R"SQL(
WITH s AS (SELECT oid, nspname::text AS nspname FROM pg_namespace
           WHERE nspname = ANY (%PATH%) OR nspname = ANY (%NAMED%))
SELECT 'f'::text, p.proname::text, s.nspname, NULL::text,
       coalesce((SELECT rolsuper FROM pg_roles WHERE oid = p.proowner), false)
FROM pg_proc p JOIN s ON s.oid = p.pronamespace
WHERE p.proname = ANY (%FUNCTIONS%::name[]) AND s.nspname <> 'pg_catalog'
  AND s.nspname = ANY (%PATH%)
UNION ALL
SELECT 'o', o.oprname::text, s.nspname, NULL,
       coalesce((SELECT rolsuper FROM pg_roles WHERE oid = o.oprowner), false)
FROM pg_operator o JOIN s ON s.oid = o.oprnamespace
WHERE o.oprname = ANY (%OPERATORS%::name[]) AND s.nspname <> 'pg_catalog'
  AND s.nspname = ANY (%PATH%)
UNION ALL
SELECT 'c', p.proname::text, s.nspname, NULL,
       coalesce((SELECT rolsuper FROM pg_roles WHERE oid = p.proowner), false)
FROM pg_proc p JOIN s ON s.oid = p.pronamespace
WHERE p.proname = ANY (%FIELDS%::name[]) AND s.nspname = ANY (%PATH%)
  AND p.pronargs >= 1 AND p.pronargs - p.pronargdefaults <= 1
  AND (s.nspname <> 'pg_catalog' OR p.proargtypes[0] IN ('record'::regtype, 'anyelement'::regtype,
       'anynonarray'::regtype, '"any"'::regtype, 'anycompatible'::regtype,
       'anycompatiblenonarray'::regtype))
UNION ALL
SELECT 'r', c.relname::text, s.nspname, c.relkind::text, false
FROM pg_class c JOIN s ON s.oid = c.relnamespace
WHERE c.relname = ANY (%RELATIONS%::name[])
)SQL";

// The views a statement reads and the views inside them (outside the server's own schemas):
// their definitions, and the functions and operators they use that are not the server's
// pinned built-ins (the catalog records no dependency on those; the definition shows them).
constexpr const char* views_sql = R"SQL(
WITH RECURSIVE views(oid) AS (
  SELECT c.oid FROM unnest(%SCHEMAS%, %NAMES%) AS r(schema, name)
  JOIN pg_namespace n ON n.nspname = r.schema
  JOIN pg_class c ON c.relnamespace = n.oid AND c.relname = r.name AND c.relkind = 'v'
  UNION
  SELECT d.refobjid FROM views v
  JOIN pg_rewrite w ON w.ev_class = v.oid
  JOIN pg_depend d ON d.classid = 'pg_rewrite'::regclass AND d.objid = w.oid
   AND d.refclassid = 'pg_class'::regclass
  JOIN pg_class c ON c.oid = d.refobjid AND c.relkind = 'v'
  JOIN pg_namespace n ON n.oid = c.relnamespace
  WHERE n.nspname NOT IN ('pg_catalog', 'information_schema'))
SELECT 'v'::text, c.relname::text, n.nspname::text, pg_get_viewdef(c.oid), false
FROM views v JOIN pg_class c ON c.oid = v.oid JOIN pg_namespace n ON n.oid = c.relnamespace
UNION ALL
SELECT 'd', coalesce(p.proname, o.oprname)::text,
       n.nspname::text, format('%I.%I', vn.nspname, c.relname),
       coalesce((SELECT rolsuper FROM pg_roles
                 WHERE oid = coalesce(p.proowner, o.oprowner)), false)
FROM views v JOIN pg_class c ON c.oid = v.oid JOIN pg_namespace vn ON vn.oid = c.relnamespace
JOIN pg_rewrite w ON w.ev_class = v.oid
JOIN pg_depend d ON d.classid = 'pg_rewrite'::regclass AND d.objid = w.oid
 AND d.refclassid IN ('pg_proc'::regclass, 'pg_operator'::regclass)
LEFT JOIN pg_proc p ON d.refclassid = 'pg_proc'::regclass AND p.oid = d.refobjid
LEFT JOIN pg_operator o ON d.refclassid = 'pg_operator'::regclass AND o.oid = d.refobjid
JOIN pg_namespace n ON n.oid = coalesce(p.pronamespace, o.oprnamespace)
)SQL";

void replace_all(std::string& text, std::string_view key, const std::string& value) {
    for (std::size_t at = text.find(key); at != std::string::npos;
         at = text.find(key, at + value.size())) {
        text.replace(at, key.size(), value);
    }
}

std::string shown(const PgResolvedName& row) {
    return row.schema + "." + row.name;
}

} // namespace

PgResolution::PgResolution(const FunctionAllowList& allowed, std::vector<std::string> data_schemas)
    : allowed_(allowed), data_schemas_(std::move(data_schemas)) {}

std::string PgResolution::pin_search_path_sql() const {
    std::string out = "SET LOCAL search_path = pg_catalog";
    for (const std::string& schema : data_schemas_) {
        out += ", " + identifier(schema);
    }
    return out + ", pg_temp";
}

std::string PgResolution::query(const PgNames& names) const {
    if (names.functions.empty() && names.operators.empty() && names.column_fields.empty() &&
        names.relations.empty() && names.qualified_relations.empty()) {
        return "";
    }
    std::vector<std::string> path{"pg_catalog"};
    path.insert(path.end(), data_schemas_.begin(), data_schemas_.end());
    std::set<std::string> named;
    std::set<std::string> relations = names.relations;
    for (const auto& [schema, name] : names.qualified_relations) {
        named.insert(schema);
        relations.insert(name);
    }
    std::string sql = names_sql;
    replace_all(sql, "%PATH%", text_array(path));
    replace_all(sql, "%NAMED%", text_array(named));
    replace_all(sql, "%RELATIONS%", text_array(relations));
    replace_all(sql, "%FUNCTIONS%", text_array(names.functions));
    replace_all(sql, "%OPERATORS%", text_array(names.operators));
    replace_all(sql, "%FIELDS%", text_array(names.column_fields));
    return sql;
}

std::string
PgResolution::views_query(const std::set<std::pair<std::string, std::string>>& views) const {
    std::vector<std::string> schemas;
    std::vector<std::string> names;
    for (const auto& [schema, name] : views) {
        schemas.push_back(schema);
        names.push_back(name);
    }
    std::string sql = views_sql;
    replace_all(sql, "%SCHEMAS%", text_array(schemas));
    replace_all(sql, "%NAMES%", text_array(names));
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

std::optional<std::string> PgResolution::refusal(const PgNames& names,
                                                 const std::vector<PgResolvedName>& rows,
                                                 const RunQuery& run_query) {
    // Where each unqualified relation name resolves: the first schema of the path that has it.
    std::map<std::string, std::pair<std::size_t, const PgResolvedName*>> first;
    std::set<std::pair<std::string, std::string>> views;
    for (const PgResolvedName& row : rows) {
        if (row.kind == "f" && !row.superuser_owned &&
            !allowed_.host_allows(row.schema, row.name)) {
            return "the function " + row.name + " could resolve to " + shown(row) +
                   ", which is not a built-in function: only pg_catalog's functions (and those "
                   "the host allows by name) may run";
        }
        if (row.kind == "o" && !row.superuser_owned) {
            return "the operator " + row.name + " could resolve to " + shown(row) +
                   ", which is not a built-in operator: only pg_catalog's operators may run";
        }
        if (row.kind == "c" && !(row.schema == "pg_catalog" || row.superuser_owned
                                     ? allowed_.allows("", row.name)
                                     : allowed_.host_allows(row.schema, row.name))) {
            return "the name " + row.name + " after a table's name calls the function " +
                   shown(row) + " when the table has no column " + row.name +
                   ", and that function is not on the list generated SQL may call";
        }
        if (row.kind != "r") {
            continue;
        }
        if (names.qualified_relations.count({row.schema, row.name}) != 0 && row.detail == "v") {
            views.emplace(row.schema, row.name);
        }
        if (names.relations.count(row.name) != 0) {
            std::size_t rank = 0;
            while (rank < data_schemas_.size() && data_schemas_[rank] != row.schema) {
                ++rank;
            }
            rank = row.schema == "pg_catalog" ? 0 : rank + 1;
            if (rank > data_schemas_.size()) {
                continue; // a schema the statement names elsewhere, not on the path
            }
            auto known = first.find(row.name);
            if (known == first.end() || rank < known->second.first) {
                first[row.name] = {rank, &row};
            }
        }
    }
    for (const auto& [name, resolved] : first) {
        const PgResolvedName& row = *resolved.second;
        if (row.schema == "pg_catalog") {
            return "the relation " + name + " resolves to " + shown(row) +
                   ", which belongs to the server's catalog";
        }
        if (row.detail == "v") {
            views.emplace(row.schema, row.name);
        }
    }
    if (views.empty()) {
        return std::nullopt;
    }
    return views_refusal(run_query(views_query(views)));
}

std::optional<std::string> PgResolution::views_refusal(const std::vector<PgResolvedName>& rows) {
    for (const PgResolvedName& row : rows) {
        if (row.kind != "d") {
            continue;
        }
        const bool built_in = row.schema == "pg_catalog";
        const bool is_function =
            row.name.find_first_not_of("+-*/<>=~!@#%^&|`?") != std::string::npos;
        const bool trusted = built_in || row.superuser_owned;
        const bool allowed = is_function ? (trusted && allowed_.allows("", row.name)) ||
                                               allowed_.host_allows(row.schema, row.name)
                                         : trusted;
        if (!allowed) {
            return "the view " + row.detail + " uses " +
                   (is_function ? "the function " : "the operator ") + shown(row) +
                   ", which generated SQL may not run";
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
