#include "zolviai/dbtool/connections.hpp"

#include "dbtool/message.hpp"
#include "sql/drivers/engine_traits.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"

#include <cctype>

namespace zolviai::dbtool {

namespace {

constexpr const char* success_text = "Success! Connection Established! .";

// Port text as a number for the native clients; absent or 0 leaves the engine's default.
int port_number(const std::optional<std::string>& port) {
    if (!port) {
        return 0;
    }
    const std::string& text = *port;
    bool digits = !text.empty() && text.size() <= 5;
    for (char c : text) {
        digits = digits && std::isdigit(static_cast<unsigned char>(c));
    }
    if (!digits || std::stoi(text) > 65535) {
        throw DatabaseError("invalid port number: \"" + text + "\"");
    }
    return std::stoi(text);
}

sql::ConnectSettings connect_settings(sql::Engine engine, const ConnectionParams& params) {
    sql::ConnectSettings s;
    s.engine = engine;
    s.host = params.host.value_or("");
    s.port = port_number(params.port);
    s.user = params.user.value_or("");
    s.password = params.password.value_or("");
    s.database = params.name.value_or("");
    return s;
}

// One value of the ODBC connection text; an absent value is empty.
std::string odbc_value(const std::optional<std::string>& value) {
    return odbc_attribute_value(value.value_or(""));
}

} // namespace

ConnectionParams params_of(const DatabaseSettings& settings) {
    ConnectionParams p;
    p.user = settings.db_user;
    p.password = settings.db_password;
    p.host = settings.db_host;
    p.port = std::to_string(settings.db_port);
    p.name = settings.db_name;
    return p;
}

std::string mssql_connection_text(const ConnectionParams& params) {
    // Host and port are one value: a braced host followed by ",port" would not read back.
    return "DRIVER={SQL Server};SERVER=" +
           odbc_attribute_value(params.host.value_or("") + "," + params.port.value_or("")) +
           ";DATABASE=" + odbc_value(params.name) + ";UID=" + odbc_value(params.user) +
           ";PWD=" + odbc_value(params.password);
}

std::string get_db_connection(std::string_view engine, const ConnectionParams& params) {
    const sql::drivers::EngineTraits* traits = sql::drivers::engine_for_host_name(engine);
    if (traits == nullptr) {
        return "Unsupported SQL engine specified.";
    }
    const bool mysql = traits->id == sql::drivers::EngineId::Mysql;
    const bool postgres = traits->id == sql::drivers::EngineId::Postgresql;
    const bool mssql = traits->id == sql::drivers::EngineId::Mssql;
    if (!mysql && !postgres && !mssql) {
        return "Unsupported SQL engine specified.";
    }
    try {
        if (mssql) {
            // The ODBC driver manager is loaded here, on first use.
            sql::ConnectSettings s;
            s.engine = sql::Engine::Odbc;
            s.password = params.password.value_or("");
            s.odbc_connection_string = mssql_connection_text(params);
            sql::connect(s);
        } else {
            sql::connect(
                connect_settings(mysql ? sql::Engine::Mysql : sql::Engine::Postgresql, params));
        }
        return success_text;
    } catch (const std::exception& e) {
        return "Failed to connect to " + std::string(engine) + " database: " + one_line(e.what());
    }
}

std::shared_ptr<HostConnection> get_mysql_db_connection(const ConnectionParams& params) {
    try {
        return std::make_shared<HostConnection>(
            sql::connect(connect_settings(sql::Engine::Mysql, params)));
    } catch (const std::exception& e) {
        print_line(std::string("Failed to connect to the database: ") + one_line(e.what()));
        return nullptr;
    }
}

std::shared_ptr<HostConnection> get_pgdb_connection(const ConnectionParams& params) {
    try {
        return std::make_shared<HostConnection>(
            sql::connect(connect_settings(sql::Engine::Postgresql, params)));
    } catch (const DatabaseError& e) {
        print_line(std::string("The error '") + one_line(e.what()) + "' occurred");
        return nullptr;
    }
}

} // namespace zolviai::dbtool
