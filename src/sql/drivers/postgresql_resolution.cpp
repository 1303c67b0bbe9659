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

// Where the names could resolve: the functions and operators of those names in the data
// schemas, the functions rel.name could call, and the relations of those names in pg_catalog,
// the data schemas and the schemas the statement names. Each row: kind, name, schema, detail,
// and whether the bootstrap superuser owns the object (it owns the built-ins and the objects
// of trusted extensions). Kept free of joins, views and recursion so that the server parses
// and plans it in a fraction of a millisecond.
constexpr const char* function_arm = R"SQL(
SELECT 'f'::text, p.proname::text,
       (SELECT nspname FROM pg_namespace WHERE oid = p.pronamespace)::text, NULL::text,
       p.proowner = 10
FROM pg_proc p WHERE p.proname = ANY (%NAMES%::name[]) AND p.pronamespace = ANY (%DATA%))SQL";

constexpr const char* operator_arm = R"SQL(
SELECT 'o'::text, o.oprname::text,
       (SELECT nspname FROM pg_namespace WHERE oid = o.oprnamespace)::text, NULL::text,
       o.oprowner = 10
FROM pg_operator o WHERE o.oprname = ANY (%NAMES%::name[]) AND o.oprnamespace = ANY (%DATA%))SQL";

constexpr const char* field_arm = R"SQL(
SELECT 'c'::text, p.proname::text,
       (SELECT nspname FROM pg_namespace WHERE oid = p.pronamespace)::text, NULL::text,
       p.proowner = 10
FROM pg_proc p WHERE p.proname = ANY (%NAMES%::name[]) AND p.pronamespace = ANY (%PATH%)
  AND p.pronargs >= 1 AND p.pronargs - p.pronargdefaults <= 1
  AND (p.pronamespace <> 'pg_catalog'::regnamespace OR p.proargtypes[0] = ANY (ARRAY['record',
       'anyelement', 'anynonarray', '"any"', 'anycompatible',
       'anycompatiblenonarray']::regtype[]::oid[])))SQL";

constexpr const char* relation_arm = R"SQL(
SELECT 'r'::text, c.relname::text,
       (SELECT nspname FROM pg_namespace WHERE oid = c.relnamespace)::text, c.relkind::text,
       false
FROM pg_class c WHERE c.relname = ANY (%NAMES%::name[]) AND c.relnamespace = ANY (%SCHEMAS%))SQL";

// The oids of schemas, by name (a schema that does not exist gives NULL, which matches no row).
template <typename Names>
std::string schema_oids(const Names& schemas, bool with_catalog) {
    std::string out = "ARRAY[";
    bool first = true;
    if (with_catalog) {
        out += "'pg_catalog'::regnamespace";
        first = false;
    }
    for (const auto& schema : schemas) {
        out += (first ? "" : ", ") + ("to_regnamespace(" + literal(identifier(schema)) + ")");
        first = false;
    }
    return out + "]::oid[]";
}

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
       coalesce(p.proowner, o.oprowner) = 10
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
    std::set<std::string> named;
    std::set<std::string> relations = names.relations;
    for (const auto& [schema, name] : names.qualified_relations) {
        named.insert(schema);
        relations.insert(name);
    }
    named.insert(data_schemas_.begin(), data_schemas_.end());
    std::string sql;
    const auto arm = [&](const char* text, const std::set<std::string>& list) {
        if (list.empty()) {
            return;
        }
        std::string part = text;
        replace_all(part, "%NAMES%", text_array(list));
        replace_all(part, "%DATA%", schema_oids(data_schemas_, false));
        replace_all(part, "%PATH%", schema_oids(data_schemas_, true));
        replace_all(part, "%SCHEMAS%", schema_oids(named, true));
        sql += (sql.empty() ? "" : "\nUNION ALL") + part;
    };
    arm(function_arm, names.functions);
    arm(operator_arm, names.operators);
    arm(field_arm, names.column_fields);
    arm(relation_arm, relations);
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
        if (row.kind == "f" && !row.bootstrap_owned &&
            !allowed_.host_allows(row.schema, row.name)) {
            return "the function " + row.name + " could resolve to " + shown(row) +
                   ", which is not a built-in function: only pg_catalog's functions (and those "
                   "the host allows by name) may run";
        }
        if (row.kind == "o" && !row.bootstrap_owned) {
            return "the operator " + row.name + " could resolve to " + shown(row) +
                   ", which is not a built-in operator: only pg_catalog's operators may run";
        }
        if (row.kind == "c" && !(row.schema == "pg_catalog" || row.bootstrap_owned
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
        const bool trusted = built_in || row.bootstrap_owned;
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
