#pragma once

#include "zolviai/dbtool/host_connection.hpp"
#include "zolviai/dbtool/settings.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Connections of the host tools: a connectivity test for MySQL, PostgreSQL and SQL Server,
// and the two factories the schema and query operations open their connections with. They
// use only their arguments, never the process-wide settings.
namespace zolviai::dbtool {

// Connection values as the host gives them. Absent values leave the client library its
// default; the port is text so that each client reads (and rejects) it its own way.
struct ConnectionParams {
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host;
    std::optional<std::string> port;
    std::optional<std::string> name;
};

// The current settings as connection values.
ConnectionParams params_of(const DatabaseSettings& settings);

// Opens and at once closes a connection for engine "MySQL", "PostgreSQL" or "MsSQL"
// (exactly so written) and says how it went: "Success! Connection Established! .",
// "Failed to connect to <engine> database: <error>", or "Unsupported SQL engine
// specified.". Never throws. SQL Server goes through the ODBC driver manager, which is
// loaded only here, on first use (ZOLVIAI_ODBC_LIBRARY names it; default libodbc.so.2).
std::string get_db_connection(std::string_view engine, const ConnectionParams& params);

// The ODBC connection text for SQL Server:
// DRIVER={SQL Server};SERVER=host,port;DATABASE=name;UID=user;PWD=password. A value that
// holds ';', '{', '}' or '=', or starts or ends with a space, is braced ({...}, with '}'
// doubled) so that it reads back as written; other values are written as they are.
std::string mssql_connection_text(const ConnectionParams& params);

// Opens a MySQL connection (rows handed out as maps by its cursors). On failure prints
// "Failed to connect to the database: <error>" and returns nullptr.
std::shared_ptr<HostConnection> get_mysql_db_connection(const ConnectionParams& params);

// Opens a PostgreSQL connection. When the server refuses or cannot be reached (a
// DatabaseError) prints "The error '<error>' occurred" and returns nullptr; other errors
// propagate.
std::shared_ptr<HostConnection> get_pgdb_connection(const ConnectionParams& params);

} // namespace zolviai::dbtool
