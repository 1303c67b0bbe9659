// What a PostgreSQL role may do beyond reading, read from the catalog in one statement. The
// native driver and the ODBC driver (when the server behind it is PostgreSQL) both use it.
#include "sql/drivers/postgresql_privileges.hpp"

#include "zolviai/core/error.hpp"

#include <cctype>

namespace zolviai::sql::drivers {

// Columns: 0 role, 1 superuser, 2-4 server-file roles, 5 a table it may write, 6 CREATE on
// the database, 7 CREATE on some schema, 8 replication, 9 create roles, 10 create databases,
// 11 the roles that watch or signal other sessions it holds, 12 the schemas of the search
// path it may create objects in, 13 functions and views it owns in the search path while
// other roles may create objects there, 14 the database.
const char postgresql_privileges_sql[] =
    "SELECT current_user::text, r.rolsuper, "
    "pg_has_role('pg_read_server_files', 'MEMBER'), "
    "pg_has_role('pg_write_server_files', 'MEMBER'), "
    "pg_has_role('pg_execute_server_program', 'MEMBER'), "
    "coalesce(w.name, ''), "
    "has_database_privilege(current_database(), 'CREATE'), "
    "EXISTS (SELECT 1 FROM pg_namespace n WHERE n.nspname NOT LIKE 'pg\\_%' "
    "AND n.nspname <> 'information_schema' AND has_schema_privilege(n.oid, 'CREATE')), "
    "r.rolreplication, r.rolcreaterole, r.rolcreatedb, "
    "coalesce((SELECT string_agg(m, ', ' ORDER BY m) FROM unnest(ARRAY['pg_signal_backend', "
    "'pg_monitor', 'pg_read_all_stats', 'pg_read_all_settings', 'pg_stat_scan_tables']) m "
    "WHERE pg_has_role(m, 'MEMBER')), ''), "
    "coalesce((SELECT string_agg(s, ', ' ORDER BY s) FROM unnest(current_schemas(false)) s "
    "WHERE has_schema_privilege(s, 'CREATE')), ''), "
    "CASE WHEN EXISTS (SELECT 1 FROM pg_namespace n JOIN pg_roles o ON o.rolname <> current_user "
    "AND NOT o.rolsuper AND o.rolname NOT LIKE 'pg\\_%' "
    "WHERE n.nspname = ANY (current_schemas(false)) "
    "AND has_schema_privilege(o.oid, n.oid, 'CREATE')) "
    "THEN (SELECT count(*) FROM pg_proc p WHERE p.proowner = r.oid "
    "AND p.pronamespace::regnamespace::text = ANY (current_schemas(false))) + "
    "(SELECT count(*) FROM pg_class c WHERE c.relowner = r.oid AND c.relkind IN ('v', 'm') "
    "AND c.relnamespace::regnamespace::text = ANY (current_schemas(false))) ELSE 0 END, "
    "current_database()::text "
    "FROM pg_roles r LEFT JOIN LATERAL ("
    "SELECT format('%I.%I', n.nspname, c.relname) AS name FROM pg_class c "
    "JOIN pg_namespace n ON n.oid = c.relnamespace "
    "WHERE c.relkind IN ('r', 'p', 'v', 'f') AND n.nspname NOT LIKE 'pg\\_%' "
    "AND n.nspname <> 'information_schema' AND (has_table_privilege(c.oid, 'INSERT') "
    "OR has_table_privilege(c.oid, 'UPDATE') OR has_table_privilege(c.oid, 'DELETE') "
    "OR has_table_privilege(c.oid, 'TRUNCATE')) LIMIT 1) w ON true "
    "WHERE r.rolname = current_user";

namespace {

// A name as a statement writes it: bare when the server would read it back unchanged.
std::string pg_name(const std::string& name) {
    bool plain = !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0]));
    for (char c : name) {
        plain = plain && (std::islower(static_cast<unsigned char>(c)) ||
                          std::isdigit(static_cast<unsigned char>(c)) || c == '_');
    }
    return plain ? name : quote_identifier(Engine::Postgresql, name);
}

// Booleans arrive typed from libpq and as text ("1", "t") through ODBC drivers.
bool yes(const Row& row, std::size_t column) {
    const Cell& c = row.at(column);
    if (c.type == CellType::Bool) {
        return c.boolean;
    }
    if (c.type == CellType::Integer) {
        return c.integer != 0;
    }
    return c.text == "1" || c.text == "t" || c.text == "true";
}

long long count(const Row& row, std::size_t column) {
    const Cell& c = row.at(column);
    if (c.type == CellType::Integer) {
        return c.integer;
    }
    try {
        return c.text.empty() ? 0 : std::stoll(c.text);
    } catch (const std::exception&) {
        return 0;
    }
}

} // namespace

PrivilegeReport postgresql_privilege_report(const ResultSet& result) {
    if (result.rows.empty() || result.rows[0].size() < 15) {
        throw DatabaseError("could not read the role's privileges");
    }
    const Row& row = result.rows[0];
    PrivilegeReport report;
    report.role = row[0].text;
    const bool super = yes(row, 1);
    const std::string& writable = row[5].text;
    const std::string& watching = row[11].text;
    const std::string& creatable = row[12].text;
    const long long owned = count(row, 13);
    report.can_write = super || !writable.empty() || yes(row, 6) || yes(row, 7);
    report.server_files = super || yes(row, 2) || yes(row, 3) || yes(row, 4);
    report.beyond_read = super || yes(row, 8) || yes(row, 9) || yes(row, 10) || !watching.empty() ||
                         !creatable.empty() || owned > 0;
    if (super) {
        // A superuser can do everything below; say it once.
        report.risks.push_back("the role " + report.role +
                               " is a superuser: it can read and write server files, run "
                               "programs on the server and change any data");
    } else {
        const std::pair<int, const char*> findings[] = {
            {2, "the role can read server files (pg_read_server_files)"},
            {3, "the role can write server files (pg_write_server_files)"},
            {4, "the role can run programs on the server (pg_execute_server_program)"},
            {6, "the role can create schemas in the database"},
            {7, "the role can create tables in a schema"},
            {8, "the role may start replication, whose slots outlive any transaction"},
            {9, "the role can create roles"},
            {10, "the role can create databases"},
        };
        if (!writable.empty()) {
            report.risks.push_back("the role can insert, update, delete or truncate rows of " +
                                   writable);
        }
        for (const auto& [column, text] : findings) {
            if (yes(row, static_cast<std::size_t>(column))) {
                report.risks.push_back(text);
            }
        }
        if (!watching.empty()) {
            report.risks.push_back("the role holds " + watching +
                                   ", which see or signal other sessions and their statements");
        }
        if (!creatable.empty()) {
            report.risks.push_back("the role can create objects in " + creatable +
                                   ", where generated SQL looks names up");
        }
        if (owned > 0) {
            report.risks.push_back("the role owns " + std::to_string(owned) +
                                   " functions or views in the search path while other roles "
                                   "may create objects there");
        }
    }
    report.read_only_role_sql =
        postgresql_reader_role_sql(row[14].text, "zolvi_reader", "choose-a-password");
    return report;
}

std::string postgresql_reader_role_sql(const std::string& database, const std::string& role,
                                       const std::string& password) {
    const std::string name = pg_name(role);
    std::string quoted_password = "'";
    for (char c : password) {
        quoted_password += c;
        if (c == '\'') {
            quoted_password += '\'';
        }
    }
    quoted_password += "'";
    return "CREATE ROLE " + name + " LOGIN PASSWORD " + quoted_password + ";\n" +
           "GRANT CONNECT ON DATABASE " + pg_name(database) + " TO " + name + ";\n" +
           "GRANT pg_read_all_data TO " + name +
           ";  -- or, per schema:\n"
           "-- GRANT USAGE ON SCHEMA public TO " +
           name +
           ";\n"
           "-- GRANT SELECT ON ALL TABLES IN SCHEMA public TO " +
           name +
           ";\n"
           "-- ALTER DEFAULT PRIVILEGES IN SCHEMA public GRANT SELECT ON TABLES TO " +
           name +
           ";\n"
           "ALTER ROLE " +
           name + " SET default_transaction_read_only = on;";
}

} // namespace zolviai::sql::drivers
