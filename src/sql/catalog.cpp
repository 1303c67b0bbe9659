#include "sql/catalog.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/sql/literal.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <unordered_map>

namespace zolviai::sql::catalog {

namespace {

std::string text_of(const Cell& c) {
    if (c.type == CellType::Null) {
        return "";
    }
    if (c.type == CellType::Integer) {
        return std::to_string(c.integer);
    }
    if (c.type == CellType::Bool) {
        return c.boolean ? "1" : "0";
    }
    return c.text;
}

std::int64_t int_of(const Cell& c) {
    if (c.type == CellType::Integer) {
        return c.integer;
    }
    if (c.type == CellType::Null) {
        return -1;
    }
    return std::atoll(text_of(c).c_str());
}

bool truthy(const Cell& c) {
    if (c.type == CellType::Bool) {
        return c.boolean;
    }
    const std::string t = text_of(c);
    return t == "1" || t == "t" || t == "true" || t == "YES";
}

std::string upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

// PostgreSQL text[] literal for binding a list of names.
std::string pg_text_array(const std::vector<std::string>& names) {
    std::string out = "{";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        out += '"';
        for (char c : names[i]) {
            if (c == '"' || c == '\\') {
                out += '\\';
            }
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

std::vector<std::string> json_names(const Cell& c) {
    std::vector<std::string> out;
    if (c.type == CellType::Null) {
        return out;
    }
    Value v;
    try {
        v = parse_json_input(c.text);
    } catch (const Error&) {
        return out; // the catalog's own JSON: anything else is not a list of names
    }
    if (!v.is_array()) {
        return out;
    }
    for (const auto& e : v) {
        out.push_back(e.is_string() ? e.get<std::string>() : e.dump());
    }
    return out;
}

// The names as an IN list of text literals, for MariaDB and SQLite: each reads back as
// written, whatever it holds.
std::string in_list(Engine engine, const std::vector<std::string>& names) {
    std::string out = "(";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            out += ", ";
        }
        out += engine == Engine::Mysql ? mysql_literal(Cell::of_text(names[i]))
                                       : enclosed(names[i], '\'', '\'');
    }
    return out + ")";
}

using DefMap = std::unordered_map<std::string, TableDef>;

void postgres_defs(Connection& conn, const std::vector<std::string>& names, DefMap& defs) {
    const std::string array = pg_text_array(names);
    const ResultSet cols = conn.execute_params(
        "SELECT c.relname, a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod), "
        "a.attnotnull, d.description "
        "FROM pg_catalog.pg_attribute a "
        "JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        "LEFT JOIN pg_catalog.pg_description d ON d.objoid = c.oid "
        "AND d.classoid = 'pg_catalog.pg_class'::regclass AND d.objsubid = a.attnum "
        "WHERE n.nspname = current_schema() AND c.relname = ANY($1::text[]) "
        "AND a.attnum > 0 AND NOT a.attisdropped ORDER BY c.relname, a.attnum",
        {array});
    for (const Row& r : cols.rows) {
        defs[r[0].text].columns.push_back({r[1].text, upper(r[2].text), truthy(r[3]), r[4].text});
    }
    const ResultSet keys = conn.execute_params(
        "SELECT c.relname, con.contype, "
        "array_to_json(ARRAY(SELECT a.attname FROM unnest(con.conkey) WITH ORDINALITY k(num, ord) "
        "JOIN pg_catalog.pg_attribute a ON a.attrelid = con.conrelid AND a.attnum = k.num "
        "ORDER BY k.ord)), "
        "rc.relname, "
        "array_to_json(ARRAY(SELECT a.attname FROM unnest(con.confkey) WITH ORDINALITY k(num, ord) "
        "JOIN pg_catalog.pg_attribute a ON a.attrelid = con.confrelid AND a.attnum = k.num "
        "ORDER BY k.ord)) "
        "FROM pg_catalog.pg_constraint con "
        "JOIN pg_catalog.pg_class c ON c.oid = con.conrelid "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        "LEFT JOIN pg_catalog.pg_class rc ON rc.oid = con.confrelid "
        "WHERE n.nspname = current_schema() AND c.relname = ANY($1::text[]) "
        "AND con.contype IN ('p', 'f') ORDER BY c.relname, con.contype DESC, con.conname",
        {array});
    for (const Row& r : keys.rows) {
        TableDef& def = defs[r[0].text];
        if (r[1].text == "p") {
            def.primary_key = json_names(r[2]);
        } else {
            def.foreign_keys.push_back({json_names(r[2]), r[3].text, json_names(r[4])});
        }
    }
}

// names: the tables to read, or nullptr for every table of the database.
void mysql_defs(Connection& conn, const std::vector<std::string>* names, DefMap& defs) {
    const std::string filter =
        names != nullptr ? " AND TABLE_NAME IN " + in_list(Engine::Mysql, *names) : "";
    const ResultSet cols =
        conn.execute("SELECT TABLE_NAME, COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_COMMENT "
                     "FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE()" +
                     filter + " ORDER BY TABLE_NAME, ORDINAL_POSITION");
    for (const Row& r : cols.rows) {
        defs[text_of(r[0])].columns.push_back(
            {text_of(r[1]), upper(text_of(r[2])), text_of(r[3]) == "NO", text_of(r[4])});
    }
    // KEY_COLUMN_USAGE alone: joining TABLE_CONSTRAINTS costs seconds on thousands of tables.
    // MariaDB names every primary key PRIMARY; a foreign key is the row with a referenced
    // table (unique keys have none).
    const ResultSet keys = conn.execute(
        "SELECT TABLE_NAME, IF(CONSTRAINT_NAME = 'PRIMARY' AND REFERENCED_TABLE_NAME IS NULL, "
        "'PRIMARY KEY', 'FOREIGN KEY'), CONSTRAINT_NAME, COLUMN_NAME, REFERENCED_TABLE_NAME, "
        "REFERENCED_COLUMN_NAME FROM information_schema.KEY_COLUMN_USAGE "
        "WHERE TABLE_SCHEMA = DATABASE()" +
        filter +
        " AND ((CONSTRAINT_NAME = 'PRIMARY' AND REFERENCED_TABLE_NAME IS NULL) OR "
        "REFERENCED_TABLE_NAME IS NOT NULL) ORDER BY TABLE_NAME, REFERENCED_TABLE_NAME IS NULL "
        "DESC, CONSTRAINT_NAME, ORDINAL_POSITION");
    std::string last_key;
    for (const Row& r : keys.rows) {
        TableDef& def = defs[text_of(r[0])];
        if (text_of(r[1]) == "PRIMARY KEY") {
            def.primary_key.push_back(text_of(r[3]));
            continue;
        }
        const std::string key = text_of(r[0]) + '\n' + text_of(r[2]);
        if (key != last_key || def.foreign_keys.empty()) {
            def.foreign_keys.push_back({{}, text_of(r[4]), {}});
            last_key = key;
        }
        def.foreign_keys.back().columns.push_back(text_of(r[3]));
        def.foreign_keys.back().ref_columns.push_back(text_of(r[5]));
    }
}

void sqlite_defs(Connection& conn, const std::vector<std::string>& names, DefMap& defs) {
    const std::string list = in_list(Engine::Sqlite, names);
    const ResultSet cols = conn.execute(
        "SELECT m.name, p.name, p.type, p.\"notnull\", p.pk FROM sqlite_master m "
        "JOIN pragma_table_info(m.name) p WHERE m.type IN ('table', 'view') AND m.name IN " +
        list + " ORDER BY m.name, p.cid");
    std::map<std::pair<std::string, std::int64_t>, std::string> pk_order;
    for (const Row& r : cols.rows) {
        const std::string table = text_of(r[0]);
        defs[table].columns.push_back({text_of(r[1]), upper(text_of(r[2])), int_of(r[3]) != 0});
        if (int_of(r[4]) > 0) {
            pk_order[{table, int_of(r[4])}] = text_of(r[1]);
        }
    }
    for (const auto& [key, column] : pk_order) {
        defs[key.first].primary_key.push_back(column);
    }
    const ResultSet keys = conn.execute(
        "SELECT m.name, f.id, f.\"table\", f.\"from\", f.\"to\" FROM sqlite_master m "
        "JOIN pragma_foreign_key_list(m.name) f WHERE m.type = 'table' AND m.name IN " +
        list + " ORDER BY m.name, f.id, f.seq");
    std::string last;
    for (const Row& r : keys.rows) {
        TableDef& def = defs[text_of(r[0])];
        const std::string id = text_of(r[0]) + '\n' + text_of(r[1]);
        if (id != last) {
            def.foreign_keys.push_back({{}, text_of(r[2]), {}});
            last = id;
        }
        def.foreign_keys.back().columns.push_back(text_of(r[3]));
        if (r[4].type != CellType::Null) {
            def.foreign_keys.back().ref_columns.push_back(text_of(r[4]));
        }
    }
}

// INFORMATION_SCHEMA, as SQL Server (and other ODBC sources) provide it.
void information_schema_defs(Connection& conn, const std::string& schema,
                             const std::vector<std::string>& names, DefMap& defs) {
    const std::unordered_map<std::string, bool> wanted = [&] {
        std::unordered_map<std::string, bool> m;
        for (const auto& n : names) {
            m[n] = true;
        }
        return m;
    }();
    const ResultSet cols = conn.execute_params(
        "SELECT TABLE_NAME, COLUMN_NAME, DATA_TYPE, CHARACTER_MAXIMUM_LENGTH, NUMERIC_PRECISION, "
        "NUMERIC_SCALE, IS_NULLABLE FROM INFORMATION_SCHEMA.COLUMNS WHERE TABLE_SCHEMA = ? "
        "ORDER BY TABLE_NAME, ORDINAL_POSITION",
        {schema});
    for (const Row& r : cols.rows) {
        const std::string table = text_of(r[0]);
        if (!wanted.count(table)) {
            continue;
        }
        std::string type = upper(text_of(r[2]));
        const std::string lower_type = text_of(r[2]);
        if (r[3].type != CellType::Null) {
            const std::int64_t len = int_of(r[3]);
            if (len == -1) {
                type += "(MAX)";
            } else if (len > 0 && len < 1000000) {
                type += "(" + std::to_string(len) + ")";
            }
        } else if ((lower_type == "decimal" || lower_type == "numeric") &&
                   r[4].type != CellType::Null) {
            type += "(" + text_of(r[4]) + ", " + text_of(r[5]) + ")";
        }
        defs[table].columns.push_back({text_of(r[1]), type, text_of(r[6]) == "NO"});
    }
    const ResultSet keys = conn.execute_params(
        "SELECT tc.TABLE_NAME, tc.CONSTRAINT_TYPE, tc.CONSTRAINT_NAME, kcu.COLUMN_NAME "
        "FROM INFORMATION_SCHEMA.TABLE_CONSTRAINTS tc "
        "JOIN INFORMATION_SCHEMA.KEY_COLUMN_USAGE kcu ON kcu.CONSTRAINT_SCHEMA = "
        "tc.CONSTRAINT_SCHEMA AND kcu.CONSTRAINT_NAME = tc.CONSTRAINT_NAME AND kcu.TABLE_NAME = "
        "tc.TABLE_NAME WHERE tc.TABLE_SCHEMA = ? AND tc.CONSTRAINT_TYPE IN ('PRIMARY KEY', "
        "'FOREIGN KEY') ORDER BY tc.TABLE_NAME, tc.CONSTRAINT_TYPE DESC, tc.CONSTRAINT_NAME, "
        "kcu.ORDINAL_POSITION",
        {schema});
    const ResultSet refs = conn.execute_params(
        "SELECT rc.CONSTRAINT_NAME, ku.TABLE_NAME, ku.COLUMN_NAME "
        "FROM INFORMATION_SCHEMA.REFERENTIAL_CONSTRAINTS rc "
        "JOIN INFORMATION_SCHEMA.KEY_COLUMN_USAGE ku ON ku.CONSTRAINT_SCHEMA = "
        "rc.UNIQUE_CONSTRAINT_SCHEMA AND ku.CONSTRAINT_NAME = rc.UNIQUE_CONSTRAINT_NAME "
        "WHERE rc.CONSTRAINT_SCHEMA = ? ORDER BY rc.CONSTRAINT_NAME, ku.ORDINAL_POSITION",
        {schema});
    std::unordered_map<std::string, std::pair<std::string, std::vector<std::string>>> targets;
    for (const Row& r : refs.rows) {
        auto& t = targets[text_of(r[0])];
        t.first = text_of(r[1]);
        t.second.push_back(text_of(r[2]));
    }
    std::string last;
    for (const Row& r : keys.rows) {
        const std::string table = text_of(r[0]);
        if (!wanted.count(table)) {
            continue;
        }
        TableDef& def = defs[table];
        if (text_of(r[1]) == "PRIMARY KEY") {
            def.primary_key.push_back(text_of(r[3]));
            continue;
        }
        const std::string id = table + '\n' + text_of(r[2]);
        if (id != last) {
            const auto& t = targets[text_of(r[2])];
            def.foreign_keys.push_back({{}, t.first, t.second});
            last = id;
        }
        def.foreign_keys.back().columns.push_back(text_of(r[3]));
    }
}

bool plain_name(const std::string& name, bool lower_only) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) {
        return false;
    }
    for (unsigned char c : name) {
        if (!(std::isalnum(c) || c == '_') || (lower_only && std::isupper(c))) {
            return false;
        }
    }
    return true;
}

std::string name_text(const std::string& name, Engine engine) {
    return plain_name(name, engine == Engine::Postgresql) ? name : quote_identifier(engine, name);
}

std::string name_list(const std::vector<std::string>& names, Engine engine) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            out += ", ";
        }
        out += name_text(names[i], engine);
    }
    return out;
}

} // namespace

std::vector<std::string> table_names(Connection& conn, const std::string& dialect,
                                     const std::string& schema) {
    ResultSet r;
    if (dialect == "postgresql") {
        r = conn.execute("SELECT c.relname FROM pg_catalog.pg_class c "
                         "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                         "WHERE n.nspname = current_schema() "
                         "AND c.relkind IN ('r', 'p', 'v', 'm', 'f')");
    } else if (dialect == "mysql") {
        r = conn.execute("SELECT TABLE_NAME FROM information_schema.TABLES "
                         "WHERE TABLE_SCHEMA = DATABASE()");
    } else if (dialect == "sqlite") {
        r = conn.execute("SELECT name FROM sqlite_master WHERE type IN ('table', 'view') "
                         "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'");
    } else {
        r = conn.execute_params(
            "SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = ?", {schema});
    }
    std::vector<std::string> names;
    names.reserve(r.rows.size());
    for (const Row& row : r.rows) {
        names.push_back(text_of(row[0]));
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::string schema_sentinel(Connection& conn, const std::string& dialect) {
    ResultSet r;
    if (dialect == "postgresql") {
        // Read-only transactions take no id, so the value stays put while nothing is written.
        r = conn.execute("SELECT pg_catalog.txid_snapshot_xmax(pg_catalog.txid_current_snapshot())"
                         "::text || '/' || current_schema()");
    } else if (dialect == "mysql") {
        // The counters sum every session's statements; the start time tells a restarted
        // server (whose counters began again) apart.
        r = conn.execute(
            "SELECT CONCAT(DATABASE(), '/', UNIX_TIMESTAMP() DIV 60 - MAX(CASE WHEN VARIABLE_NAME "
            "= 'UPTIME' THEN VARIABLE_VALUE END) DIV 60, '/', GROUP_CONCAT(VARIABLE_VALUE ORDER "
            "BY VARIABLE_NAME)) FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME IN "
            "('UPTIME', 'COM_ALTER_TABLE', 'COM_CREATE_TABLE', 'COM_DROP_TABLE', "
            "'COM_RENAME_TABLE', 'COM_CREATE_VIEW', 'COM_DROP_VIEW', 'COM_CREATE_DB', "
            "'COM_DROP_DB', 'COM_ALTER_DB', 'COM_CREATE_INDEX', 'COM_DROP_INDEX', "
            "'COM_CREATE_PROCEDURE', 'COM_CALL_PROCEDURE')");
    } else if (dialect == "sqlite") {
        r = conn.execute("PRAGMA schema_version");
    } else {
        return "";
    }
    if (r.rows.empty() || r.rows[0].empty()) {
        return "";
    }
    return text_of(r.rows[0][0]);
}

std::vector<TableSignature> table_signatures(Connection& conn, const std::string& dialect,
                                             const std::string& schema,
                                             std::vector<TableDef>* definitions) {
    std::vector<TableSignature> out;
    if (dialect == "postgresql") {
        // Every change of a column, key or comment writes a new catalog row, whose xmin is
        // the id of the transaction that wrote it; rows written into the table touch none.
        const ResultSet r = conn.execute(
            "SELECT c.relname, c.oid::text || '/' || c.xmin::text || '/' || c.relkind::text || '/' || "
            "COALESCE((SELECT count(*)::text || ':' || sum(a.xmin::text::bigint)::text "
            "FROM pg_catalog.pg_attribute a WHERE a.attrelid = c.oid AND a.attnum > 0), '') || "
            "'/' || COALESCE((SELECT string_agg(k.conname || ':' || k.xmin::text || ':' || "
            "COALESCE(t.relname, ''), ',' ORDER BY k.conname) FROM pg_catalog.pg_constraint k "
            "LEFT JOIN pg_catalog.pg_class t ON t.oid = k.confrelid WHERE k.conrelid = c.oid), "
            "'') || '/' || COALESCE((SELECT string_agg(d.objsubid::text || ':' || "
            "d.xmin::text, ',' ORDER BY d.objsubid) FROM pg_catalog.pg_description d WHERE "
            "d.objoid = c.oid AND d.classoid = 'pg_catalog.pg_class'::regclass), ''), "
            "COALESCE(pg_catalog.obj_description(c.oid, 'pg_class'), '') "
            "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
            "WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'p', 'v', 'm', 'f')");
        for (const Row& row : r.rows) {
            out.push_back({row[0].text, row[1].text, row[2].text});
        }
    } else if (dialect == "mysql") {
        // information_schema.COLUMNS is the slow part at this size (the server opens every
        // table's definition), so it is read once: the signatures are digests of the very
        // definitions the descriptions are then made of.
        const ResultSet r = conn.execute(
            "SELECT TABLE_NAME, TABLE_TYPE, TABLE_COMMENT FROM information_schema.TABLES "
            "WHERE TABLE_SCHEMA = DATABASE()");
        DefMap read;
        mysql_defs(conn, nullptr, read);
        for (const Row& row : r.rows) {
            const std::string name = text_of(row[0]);
            const std::string type = text_of(row[1]);
            // A view's comment is the word VIEW, not something its author wrote.
            const std::string comment = type.rfind("VIEW", 0) == 0 ? "" : text_of(row[2]);
            TableDef& def = read[name];
            def.name = name;
            std::string signature = type + '\n';
            for (const ColumnDef& c : def.columns) {
                signature +=
                    c.name + '|' + c.type + '|' + (c.not_null ? "1" : "0") + '|' + c.comment + '\n';
            }
            for (const auto& key : def.primary_key) {
                signature += "pk|" + key + '\n';
            }
            for (const ForeignKey& fk : def.foreign_keys) {
                signature += "fk|" + fk.ref_table;
                for (std::size_t i = 0; i < fk.columns.size(); ++i) {
                    signature += '|' + fk.columns[i] + '>' +
                                 (i < fk.ref_columns.size() ? fk.ref_columns[i] : "");
                }
                signature += '\n';
            }
            out.push_back({name, std::move(signature), comment});
            if (definitions != nullptr) {
                definitions->push_back(std::move(def));
            }
        }
    } else if (dialect == "sqlite") {
        // SQLite keeps each table's definition as its CREATE text, which every ALTER TABLE
        // rewrites (also the REFERENCES of tables that name a renamed one).
        const ResultSet r = conn.execute(
            "SELECT name, type || '/' || COALESCE(sql, '') FROM sqlite_master WHERE type IN "
            "('table', 'view') AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'");
        for (const Row& row : r.rows) {
            out.push_back({text_of(row[0]), text_of(row[1]), ""});
        }
    } else {
        std::map<std::string, std::string> sig;
        for (const auto& name : table_names(conn, dialect, schema)) {
            sig[name];
        }
        const ResultSet cols = conn.execute_params(
            "SELECT TABLE_NAME, COLUMN_NAME, DATA_TYPE, CHARACTER_MAXIMUM_LENGTH, "
            "NUMERIC_PRECISION, NUMERIC_SCALE, IS_NULLABLE FROM INFORMATION_SCHEMA.COLUMNS "
            "WHERE TABLE_SCHEMA = ? ORDER BY TABLE_NAME, ORDINAL_POSITION",
            {schema});
        for (const Row& row : cols.rows) {
            auto it = sig.find(text_of(row[0]));
            if (it == sig.end()) {
                continue;
            }
            for (std::size_t i = 1; i < row.size(); ++i) {
                it->second += text_of(row[i]) + '|';
            }
            it->second += '\n';
        }
        const ResultSet keys =
            conn.execute_params("SELECT TABLE_NAME, CONSTRAINT_NAME, COLUMN_NAME FROM "
                                "INFORMATION_SCHEMA.KEY_COLUMN_USAGE WHERE TABLE_SCHEMA = ? "
                                "ORDER BY TABLE_NAME, CONSTRAINT_NAME, ORDINAL_POSITION",
                                {schema});
        for (const Row& row : keys.rows) {
            if (auto it = sig.find(text_of(row[0])); it != sig.end()) {
                it->second += "key|" + text_of(row[1]) + '|' + text_of(row[2]) + '\n';
            }
        }
        for (auto& [name, text] : sig) {
            out.push_back({name, std::move(text), ""});
        }
    }
    std::sort(out.begin(), out.end(),
              [](const TableSignature& a, const TableSignature& b) { return a.name < b.name; });
    out.erase(std::unique(out.begin(), out.end(),
                          [](const TableSignature& a, const TableSignature& b) {
                              return a.name == b.name;
                          }),
              out.end());
    return out;
}

std::vector<TableDef> table_defs(Connection& conn, const std::string& dialect,
                                 const std::string& schema, const std::vector<std::string>& names) {
    DefMap defs;
    if (!names.empty()) {
        if (dialect == "postgresql") {
            postgres_defs(conn, names, defs);
        } else if (dialect == "mysql") {
            mysql_defs(conn, &names, defs);
        } else if (dialect == "sqlite") {
            sqlite_defs(conn, names, defs);
        } else {
            information_schema_defs(conn, schema, names, defs);
        }
    }
    std::vector<TableDef> out;
    out.reserve(names.size());
    for (const auto& name : names) {
        TableDef def = std::move(defs[name]);
        def.name = name;
        out.push_back(std::move(def));
    }
    return out;
}

std::string sample_rows_sql(Engine engine, bool use_top, const std::string& dialect,
                            const std::string& schema, const std::string& table, int limit) {
    std::string name = quote_identifier(engine, table);
    if (dialect == "mssql" && !schema.empty()) {
        name = quote_identifier(engine, schema) + "." + name;
    }
    if (use_top) {
        return "SELECT TOP " + std::to_string(limit) + " * FROM " + name;
    }
    return "SELECT * FROM " + name + " LIMIT " + std::to_string(limit);
}

std::string create_table_text(const TableDef& table, Engine engine) {
    std::string out = "CREATE TABLE " + name_text(table.name, engine) + " (";
    bool first = true;
    auto line = [&](const std::string& text) {
        out += first ? "\n\t" : ",\n\t";
        out += text;
        first = false;
    };
    for (const ColumnDef& c : table.columns) {
        std::string text = name_text(c.name, engine);
        if (!c.type.empty()) {
            text += ' ' + c.type;
        }
        if (c.not_null) {
            text += " NOT NULL";
        }
        line(text);
    }
    if (!table.primary_key.empty()) {
        line("PRIMARY KEY (" + name_list(table.primary_key, engine) + ")");
    }
    for (const ForeignKey& fk : table.foreign_keys) {
        std::string text = "FOREIGN KEY(" + name_list(fk.columns, engine) + ") REFERENCES " +
                           name_text(fk.ref_table, engine);
        if (!fk.ref_columns.empty()) {
            text += " (" + name_list(fk.ref_columns, engine) + ")";
        }
        line(text);
    }
    out += "\n)";
    return out;
}

} // namespace zolviai::sql::catalog
