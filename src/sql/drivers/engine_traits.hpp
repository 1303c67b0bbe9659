#pragma once

#include "zolviai/sql/connection.hpp"

#include <span>
#include <string_view>

// Every database engine, named once: what the URI, the catalog, the prompts, the guard and the
// privilege report need to know of it. Code elsewhere asks this table (by scheme, by dialect
// text, by the name a server reports) and compares the fields it gets, never engine names:
// scripts/check_engine_names keeps it so.
namespace zolviai::sql::drivers {

enum class EngineId { Postgresql, Mysql, Mssql, Sqlite };

// How a statement asks for at most n rows.
enum class RowLimit {
    Limit, // SELECT ... LIMIT n
    Top,   // SELECT TOP n ...
};

// Which catalog queries list and describe the tables (sql/catalog.cpp).
enum class CatalogQueries {
    Postgresql,        // pg_catalog
    Mysql,             // information_schema of the current database, in one pass
    Sqlite,            // sqlite_master and the table_info pragmas
    InformationSchema, // the standard views, for one schema (SQL Server and ODBC sources)
};

// The guard policy that classifies generated SQL on the engine's own driver (sql/drivers/*_policy).
enum class GuardPolicy { Postgresql, Mariadb, Tsql, Sqlite };

// What the privilege report can say of the connected role.
enum class PrivilegeReport {
    Full,        // the role's rights, and a statement that creates a reader role
    Report,      // the role's rights; no reader role is offered
    FileReadOnly // the file is opened read-only by the engine itself
};

struct EngineTraits {
    EngineId id;
    // The dialect text: what CustomSQLDatabase::dialect() answers, and what the prompts name.
    std::string_view dialect;
    std::string_view display_name; // for people: "PostgreSQL"
    // The engine names hosts pass to create_agent ("PostgreSQL", "MsSQL", "MySQL"), and the URI
    // scheme such a host's connection is made with; empty for an engine hosts cannot name.
    std::string_view host_name;
    std::string_view host_scheme;
    std::span<const std::string_view> schemes; // URI schemes, each with an optional +driver
    // What a server reports as its name (Connection::server_name) contains one of these.
    std::span<const std::string_view> server_names;
    Engine driver; // the native client that connects
    char quote_open;
    char quote_close;
    RowLimit row_limit;
    CatalogQueries catalog;
    // The statement that names the default schema (empty: the engine has none to ask for).
    std::string_view current_schema_sql;
    GuardPolicy guard;
    PrivilegeReport privileges;
};

// Every engine, once.
std::span<const EngineTraits> engines();

// The engine of a URI scheme ("postgresql+psycopg2", lower case); null for none.
const EngineTraits* engine_for_scheme(std::string_view scheme);
// The engine of a dialect text ("postgresql", "mysql", "mssql", "sqlite"); null for none.
const EngineTraits* engine_for_dialect(std::string_view dialect);
// The engine a host names ("PostgreSQL", "MsSQL", "MySQL", exact); null for none.
const EngineTraits* engine_for_host_name(std::string_view name);
// The engine behind a server's reported name ("Microsoft SQL Server", "MariaDB", ...); null for
// one the table does not know.
const EngineTraits* engine_for_server(std::string_view server_name);
// The engine whose native client is `driver` (Odbc: SQL Server's).
const EngineTraits& engine_for_driver(Engine driver);

// The engine's, for the traits the caller has: these never fail.
const EngineTraits& engine(EngineId id);

} // namespace zolviai::sql::drivers
