#include "sql/catalog.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/sql/literal.hpp"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <thread>
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

// Puts each table's columns in the order of their positions (numbers[table], one per column
// as read): catalogs read without ORDER BY hand them back in an order of their own.
void sort_columns(const std::unordered_map<std::string, std::vector<std::int64_t>>& numbers,
                  DefMap& defs) {
    for (const auto& entry : numbers) {
        const std::string& table = entry.first;
        const std::vector<std::int64_t>& order = entry.second; // a lambda may capture it
        if (std::is_sorted(order.begin(), order.end())) {
            continue;
        }
        std::vector<ColumnDef>& columns = defs[table].columns;
        std::vector<std::size_t> index(columns.size());
        for (std::size_t i = 0; i < index.size(); ++i) {
            index[i] = i;
        }
        std::sort(index.begin(), index.end(),
                  [&](std::size_t x, std::size_t y) { return order[x] < order[y]; });
        std::vector<ColumnDef> sorted;
        sorted.reserve(columns.size());
        for (std::size_t i : index) {
            sorted.push_back(std::move(columns[i]));
        }
        columns = std::move(sorted);
    }
}

// A PostgreSQL int2[] in its text form ("{2,1}"), in order.
std::vector<std::int64_t> pg_int_array(const Cell& c) {
    std::vector<std::int64_t> out;
    if (c.type == CellType::Null) {
        return out;
    }
    std::int64_t value = 0;
    bool digits = false;
    for (char ch : c.text) {
        if (ch >= '0' && ch <= '9') {
            value = value * 10 + (ch - '0');
            digits = true;
        } else if (digits) {
            out.push_back(value);
            value = 0;
            digits = false;
        }
    }
    if (digits) {
        out.push_back(value);
    }
    return out;
}

// Column names of a relation by attribute number (position attnum - 1; dropped ones empty).
using AttributeNames = std::unordered_map<std::int64_t, std::vector<std::string>>;

std::vector<std::string> attribute_names(const AttributeNames& names, std::int64_t relation,
                                         const std::vector<std::int64_t>& numbers) {
    std::vector<std::string> out;
    const auto it = names.find(relation);
    for (std::int64_t n : numbers) {
        if (it != names.end() && n > 0 && static_cast<std::size_t>(n) <= it->second.size()) {
            out.push_back(it->second[static_cast<std::size_t>(n) - 1]);
        }
    }
    return out;
}

void postgres_defs(Connection& conn, const std::vector<std::string>& names, DefMap& defs) {
    const std::string array = pg_text_array(names);
    // Unordered on purpose: sorting 20 columns per table here is cheaper than a server sort
    // of every column by a collated table name.
    const ResultSet cols = conn.execute_params(
        "SELECT c.relname, c.oid, a.attnum, a.attname, "
        "pg_catalog.format_type(a.atttypid, a.atttypmod), a.attnotnull, d.description "
        "FROM pg_catalog.pg_attribute a "
        "JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        "LEFT JOIN pg_catalog.pg_description d ON d.objoid = c.oid "
        "AND d.classoid = 'pg_catalog.pg_class'::regclass AND d.objsubid = a.attnum "
        "WHERE n.nspname = current_schema() AND c.relname = ANY($1::text[]) "
        "AND a.attnum > 0 AND NOT a.attisdropped",
        {array});
    AttributeNames attributes;
    std::unordered_map<std::string, std::vector<std::int64_t>> numbers;
    // The rows of one table mostly come together: look it up once per run of rows.
    const std::string* table = nullptr;
    TableDef* def = nullptr;
    std::vector<std::int64_t>* order = nullptr;
    std::vector<std::string>* by_number = nullptr;
    for (const Row& r : cols.rows) {
        if (table == nullptr || *table != r[0].text) {
            table = &r[0].text;
            def = &defs[*table];
            order = &numbers[*table];
            by_number = &attributes[int_of(r[1])];
        }
        const auto number = static_cast<std::size_t>(int_of(r[2]));
        if (by_number->size() < number) {
            by_number->resize(number);
        }
        (*by_number)[number - 1] = r[3].text;
        def->columns.push_back({r[3].text, upper(r[4].text), truthy(r[5]), r[6].text});
        order->push_back(static_cast<std::int64_t>(number));
    }
    sort_columns(numbers, defs);
    // Key columns come as attribute numbers, named from the columns read above: resolving
    // them on the server (unnest and a join per constraint) costs more than the rest.
    const ResultSet keys = conn.execute_params(
        "SELECT c.relname, con.contype, con.conkey::text, rc.relname, con.confkey::text, "
        "con.conrelid, con.confrelid "
        "FROM pg_catalog.pg_constraint con "
        "JOIN pg_catalog.pg_class c ON c.oid = con.conrelid "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        "LEFT JOIN pg_catalog.pg_class rc ON rc.oid = con.confrelid "
        "WHERE n.nspname = current_schema() AND c.relname = ANY($1::text[]) "
        "AND con.contype IN ('p', 'f') ORDER BY c.relname, con.contype DESC, con.conname",
        {array});
    // Referenced tables outside the ones read (another schema, or not asked for).
    std::string others;
    for (const Row& r : keys.rows) {
        const std::int64_t target = int_of(r[6]);
        if (r[1].text == "f" && !attributes.count(target)) {
            others += (others.empty() ? "{" : ",") + std::to_string(target);
            attributes[target];
        }
    }
    if (!others.empty()) {
        const ResultSet more = conn.execute_params(
            "SELECT a.attrelid, a.attnum, a.attname FROM pg_catalog.pg_attribute a "
            "WHERE a.attrelid = ANY($1::oid[]) AND a.attnum > 0 AND NOT a.attisdropped",
            {others + "}"});
        for (const Row& r : more.rows) {
            const auto number = static_cast<std::size_t>(int_of(r[1]));
            std::vector<std::string>& by_number = attributes[int_of(r[0])];
            if (by_number.size() < number) {
                by_number.resize(number);
            }
            by_number[number - 1] = r[2].text;
        }
    }
    for (const Row& r : keys.rows) {
        TableDef& def = defs[r[0].text];
        const std::vector<std::string> columns =
            attribute_names(attributes, int_of(r[5]), pg_int_array(r[2]));
        if (r[1].text == "p") {
            def.primary_key = columns;
        } else {
            def.foreign_keys.push_back(
                {columns, r[3].text,
                 attribute_names(attributes, int_of(r[6]), pg_int_array(r[4]))});
        }
    }
}

// The statements behind mysql_defs: columns, then keys. names: the tables to read, or nullptr
// for every table of the database.
std::vector<std::string> mysql_defs_sql(const std::vector<std::string>* names) {
    const std::string filter =
        names != nullptr ? " AND TABLE_NAME IN " + in_list(Engine::Mysql, *names) : "";
    // KEY_COLUMN_USAGE alone: joining TABLE_CONSTRAINTS costs seconds on thousands of tables.
    // MariaDB names every primary key PRIMARY; a foreign key is the row with a referenced
    // table (unique keys have none).
    // The columns unsorted: sorting them all by table name takes the server longer than
    // reading them.
    return {"SELECT TABLE_NAME, COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_COMMENT, "
            "ORDINAL_POSITION FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE()" +
                filter,
            "SELECT TABLE_NAME, IF(CONSTRAINT_NAME = 'PRIMARY' AND REFERENCED_TABLE_NAME IS NULL, "
            "'PRIMARY KEY', 'FOREIGN KEY'), CONSTRAINT_NAME, COLUMN_NAME, REFERENCED_TABLE_NAME, "
            "REFERENCED_COLUMN_NAME FROM information_schema.KEY_COLUMN_USAGE "
            "WHERE TABLE_SCHEMA = DATABASE()" +
                filter +
                " AND ((CONSTRAINT_NAME = 'PRIMARY' AND REFERENCED_TABLE_NAME IS NULL) OR "
                "REFERENCED_TABLE_NAME IS NOT NULL) ORDER BY TABLE_NAME, REFERENCED_TABLE_NAME "
                "IS NULL DESC, CONSTRAINT_NAME, ORDINAL_POSITION"};
}

void mysql_columns_into(const ResultSet& cols, DefMap& defs) {
    std::unordered_map<std::string, std::vector<std::int64_t>> positions;
    std::string table;
    TableDef* def = nullptr;
    std::vector<std::int64_t>* order = nullptr;
    for (const Row& r : cols.rows) {
        if (def == nullptr || table != r[0].text) {
            table = text_of(r[0]);
            def = &defs[table];
            order = &positions[table];
        }
        def->columns.push_back(
            {text_of(r[1]), upper(text_of(r[2])), text_of(r[3]) == "NO", text_of(r[4])});
        order->push_back(int_of(r[5]));
    }
    sort_columns(positions, defs);
}

void mysql_keys_into(const ResultSet& keys, DefMap& defs) {
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

void mysql_defs(Connection& conn, const std::vector<std::string>* names, DefMap& defs) {
    const std::vector<std::string> sql = mysql_defs_sql(names);
    mysql_columns_into(conn.execute(sql[0]), defs);
    mysql_keys_into(conn.execute(sql[1]), defs);
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
        defs[table].columns.push_back({text_of(r[1]), upper(text_of(r[2])), int_of(r[3]) != 0, {}});
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
        defs[table].columns.push_back({text_of(r[1]), type, text_of(r[6]) == "NO", {}});
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

std::vector<std::string> table_names(Connection& conn, const drivers::EngineTraits& traits,
                                     const std::string& schema) {
    ResultSet r;
    if (traits.catalog == drivers::CatalogQueries::Postgresql) {
        r = conn.execute("SELECT c.relname FROM pg_catalog.pg_class c "
                         "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                         "WHERE n.nspname = current_schema() "
                         "AND c.relkind IN ('r', 'p', 'v', 'm', 'f')");
    } else if (traits.catalog == drivers::CatalogQueries::Mysql) {
        r = conn.execute("SELECT TABLE_NAME FROM information_schema.TABLES "
                         "WHERE TABLE_SCHEMA = DATABASE()");
    } else if (traits.catalog == drivers::CatalogQueries::Sqlite) {
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

std::string schema_sentinel(Connection& conn, const drivers::EngineTraits& traits) {
    ResultSet r;
    if (traits.catalog == drivers::CatalogQueries::Postgresql) {
        // Read-only transactions take no id, so the value stays put while nothing is written.
        r = conn.execute("SELECT pg_catalog.txid_snapshot_xmax(pg_catalog.txid_current_snapshot())"
                         "::text || '/' || current_schema()");
    } else if (traits.catalog == drivers::CatalogQueries::Mysql) {
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
    } else if (traits.catalog == drivers::CatalogQueries::Sqlite) {
        r = conn.execute("PRAGMA schema_version");
    } else {
        return "";
    }
    if (r.rows.empty() || r.rows[0].empty()) {
        return "";
    }
    return text_of(r.rows[0][0]);
}

std::vector<TableSignature> table_signatures(Connection& conn, const drivers::EngineTraits& traits,
                                             const std::string& schema,
                                             std::vector<TableDef>* definitions,
                                             const std::function<Connection*()>& helper) {
    std::vector<TableSignature> out;
    if (traits.catalog == drivers::CatalogQueries::Postgresql) {
        // Every change of a column, key or comment writes a new catalog row, whose xmin is
        // the id of the transaction that wrote it; rows written into the table touch none.
        // Grouped joins rather than a subquery per table: one pass over each catalog.
        const ResultSet r = conn.execute(
            "WITH r AS (SELECT c.oid, c.relname, c.xmin, c.relkind FROM pg_catalog.pg_class c "
            "WHERE c.relnamespace = (SELECT n.oid FROM pg_catalog.pg_namespace n WHERE "
            "n.nspname = current_schema()) AND c.relkind IN ('r', 'p', 'v', 'm', 'f')) "
            "SELECT r.relname, r.oid::text || '/' || r.xmin::text || '/' || r.relkind::text || "
            "'/' || COALESCE(a.s, '') || '/' || COALESCE(k.s, '') || '/' || COALESCE(d.s, ''), "
            "COALESCE(d.comment, '') FROM r "
            "LEFT JOIN (SELECT a.attrelid, count(*)::text || ':' || "
            "sum(a.xmin::text::bigint)::text AS s FROM pg_catalog.pg_attribute a "
            "WHERE a.attnum > 0 AND a.attrelid IN (SELECT oid FROM r) GROUP BY a.attrelid) a "
            "ON a.attrelid = r.oid "
            "LEFT JOIN (SELECT k.conrelid, string_agg(k.conname || ':' || k.xmin::text || ':' || "
            "COALESCE(t.relname, ''), ',' ORDER BY k.conname) AS s "
            "FROM pg_catalog.pg_constraint k LEFT JOIN pg_catalog.pg_class t "
            "ON t.oid = k.confrelid WHERE k.conrelid IN (SELECT oid FROM r) "
            "GROUP BY k.conrelid) k ON k.conrelid = r.oid "
            "LEFT JOIN (SELECT d.objoid, string_agg(d.objsubid::text || ':' || d.xmin::text, "
            "',' ORDER BY d.objsubid) AS s, max(d.description) FILTER (WHERE d.objsubid = 0) "
            "AS comment FROM pg_catalog.pg_description d "
            "WHERE d.classoid = 'pg_catalog.pg_class'::regclass AND d.objoid IN "
            "(SELECT oid FROM r) GROUP BY d.objoid) d ON d.objoid = r.oid");
        for (const Row& row : r.rows) {
            out.push_back({row[0].text, row[1].text, row[2].text});
        }
    } else if (traits.catalog == drivers::CatalogQueries::Mysql) {
        // information_schema.COLUMNS is the slow part at this size (the server opens every
        // table's definition), so it is read once: the signatures are digests of the very
        // definitions the descriptions are then made of.
        const std::string tables_sql =
            "SELECT TABLE_NAME, TABLE_TYPE, TABLE_COMMENT FROM information_schema.TABLES "
            "WHERE TABLE_SCHEMA = DATABASE()";
        const std::vector<std::string> defs_sql = mysql_defs_sql(nullptr);
        const ResultSet r = conn.execute(tables_sql);
        ResultSet keys;
        DefMap read;
        // The server answers each information_schema query in one thread: with many tables
        // the keys (which open every table) are read on a second session meanwhile.
        constexpr std::size_t many_tables = 250;
        Connection* second = helper && r.rows.size() >= many_tables ? helper() : nullptr;
        if (second != nullptr) {
            std::exception_ptr failure;
            std::thread other([&] {
                try {
                    keys = second->execute(defs_sql[1]);
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            ResultSet cols;
            try {
                cols = conn.execute(defs_sql[0]);
            } catch (...) {
                other.join();
                throw;
            }
            other.join();
            if (failure) {
                std::rethrow_exception(failure);
            }
            mysql_columns_into(cols, read);
        } else {
            mysql_columns_into(conn.execute(defs_sql[0]), read);
            keys = conn.execute(defs_sql[1]);
        }
        mysql_keys_into(keys, read);
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
    } else if (traits.catalog == drivers::CatalogQueries::Sqlite) {
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
        for (const auto& name : table_names(conn, traits, schema)) {
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

std::vector<TableDef> table_defs(Connection& conn, const drivers::EngineTraits& traits,
                                 const std::string& schema, const std::vector<std::string>& names) {
    DefMap defs;
    if (!names.empty()) {
        if (traits.catalog == drivers::CatalogQueries::Postgresql) {
            postgres_defs(conn, names, defs);
        } else if (traits.catalog == drivers::CatalogQueries::Mysql) {
            mysql_defs(conn, &names, defs);
        } else if (traits.catalog == drivers::CatalogQueries::Sqlite) {
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

std::string sample_rows_sql(Engine engine, bool use_top, const drivers::EngineTraits& traits,
                            const std::string& schema, const std::string& table, int limit) {
    std::string name = quote_identifier(engine, table);
    if (traits.catalog == drivers::CatalogQueries::InformationSchema && !schema.empty()) {
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
