#include "sql/drivers/engine_traits.hpp"

#include <array>

namespace zolviai::sql::drivers {
namespace {

using namespace std::string_view_literals;

constexpr std::array postgresql_schemes = {"postgresql"sv, "postgres"sv};
constexpr std::array mysql_schemes = {"mysql"sv, "mariadb"sv};
constexpr std::array mssql_schemes = {"mssql"sv};
constexpr std::array sqlite_schemes = {"sqlite"sv};

constexpr std::array postgresql_servers = {"PostgreSQL"sv};
constexpr std::array mysql_servers = {"MySQL"sv, "MariaDB"sv};
constexpr std::array mssql_servers = {"SQL Server"sv};
constexpr std::array sqlite_servers = {"SQLite"sv};

const std::array<EngineTraits, 4> table = {{
    {EngineId::Postgresql, "postgresql", "PostgreSQL", "PostgreSQL", "postgresql+psycopg2",
     postgresql_schemes, postgresql_servers, Engine::Postgresql, '"', '"', RowLimit::Limit,
     CatalogQueries::Postgresql, "SELECT current_schema()", GuardPolicy::Postgresql,
     PrivilegeReport::Full},
    {EngineId::Mysql, "mysql", "MariaDB/MySQL", "MySQL", "mysql+mysqlconnector", mysql_schemes,
     mysql_servers, Engine::Mysql, '`', '`', RowLimit::Limit, CatalogQueries::Mysql,
     "SELECT DATABASE()", GuardPolicy::Mariadb, PrivilegeReport::Full},
    {EngineId::Mssql, "mssql", "SQL Server", "MsSQL", "mssql+pyodbc", mssql_schemes, mssql_servers,
     Engine::Odbc, '"', '"', RowLimit::Top, CatalogQueries::InformationSchema,
     "SELECT SCHEMA_NAME()", GuardPolicy::Tsql, PrivilegeReport::Report},
    {EngineId::Sqlite, "sqlite", "SQLite", "", "", sqlite_schemes, sqlite_servers, Engine::Sqlite,
     '"', '"', RowLimit::Limit, CatalogQueries::Sqlite, "", GuardPolicy::Sqlite,
     PrivilegeReport::FileReadOnly},
}};

} // namespace

std::span<const EngineTraits> engines() {
    return table;
}

const EngineTraits* engine_for_scheme(std::string_view scheme) {
    const std::string_view base = scheme.substr(0, scheme.find('+'));
    for (const EngineTraits& e : table) {
        for (const std::string_view s : e.schemes) {
            if (s == base) {
                return &e;
            }
        }
    }
    return nullptr;
}

const EngineTraits* engine_for_dialect(std::string_view dialect) {
    for (const EngineTraits& e : table) {
        if (e.dialect == dialect) {
            return &e;
        }
    }
    return nullptr;
}

const EngineTraits* engine_for_host_name(std::string_view name) {
    for (const EngineTraits& e : table) {
        if (!e.host_name.empty() && e.host_name == name) {
            return &e;
        }
    }
    return nullptr;
}

const EngineTraits* engine_for_server(std::string_view server_name) {
    for (const EngineTraits& e : table) {
        for (const std::string_view s : e.server_names) {
            if (server_name.find(s) != std::string_view::npos) {
                return &e;
            }
        }
    }
    return nullptr;
}

const EngineTraits& engine_for_driver(Engine driver) {
    for (const EngineTraits& e : table) {
        if (e.driver == driver) {
            return e;
        }
    }
    return table[0]; // every Engine has its row above
}

const EngineTraits& engine(EngineId id) {
    for (const EngineTraits& e : table) {
        if (e.id == id) {
            return e;
        }
    }
    return table[0]; // every EngineId has its row above
}

} // namespace zolviai::sql::drivers
