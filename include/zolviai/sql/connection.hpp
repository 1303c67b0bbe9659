#pragma once

#include "zolviai/sql/cell.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zolviai::sql {

enum class Engine { Sqlite, Postgresql, Mysql, Odbc };

// One result column: its name and the engine's type name for it.
struct Column {
    std::string name;
    std::string type_name;
    CellType type = CellType::Null; // the cell type values of this column get (when known)
    std::string table; // the table (or its alias) the column comes from, when the engine says
};

using Row = std::vector<Cell>;

struct ResultSet {
    std::vector<Column> columns;     // empty for statements that return no rows (UPDATE, DDL)
    std::vector<Row> rows;           // at most ExecuteOptions::max_rows rows
    std::int64_t total_rows = 0;     // rows the statement produced, also those not kept
    std::int64_t affected_rows = -1; // for statements without a result set, when known
};

struct ExecuteOptions {
    std::int64_t max_rows = -1; // rows kept in the result; the rest are counted and dropped
    // When true the remaining rows after max_rows are neither fetched nor counted.
    bool stop_after_max_rows = false;
};

// Settings for opening a connection to one database.
struct ConnectSettings {
    Engine engine = Engine::Sqlite;
    std::string host;
    int port = 0; // 0: the engine's default
    std::string user;
    std::string password;
    std::string database; // for SQLite the file path ("" or ":memory:" for a private one)
    // ODBC: the full connection string (DRIVER={...};SERVER=...;...). Other engines ignore it.
    std::string odbc_connection_string;
    int connect_timeout_seconds = 10; // 0: the client library's default
    int statement_timeout_ms = 0;     // 0: no limit
    bool read_only = false;           // a session that cannot write, where the engine has one
    bool sqlite_create = true;        // SQLite: create the file when missing
};

// An open connection to one database. Not thread-safe: use one connection per thread.
// Errors are zolviai::DatabaseError with the engine's own message and never the password.
class Connection {
public:
    virtual ~Connection() = default;

    virtual Engine engine() const = 0;

    // Runs one statement and collects its rows. PostgreSQL (extended protocol), MariaDB
    // (multi-statements off) and SQLite refuse a text with several statements; ODBC passes
    // the text to its driver as it is. stop_after_max_rows ends fetching early on MariaDB,
    // SQLite and ODBC; PostgreSQL reads the rest of the rows, keeping none of them.
    virtual ResultSet execute(const std::string& sql, const ExecuteOptions& options = {}) = 0;

    // Runs one statement with text parameters bound to its placeholders ($1 for PostgreSQL,
    // ? elsewhere); std::nullopt binds NULL.
    virtual ResultSet execute_params(const std::string& sql,
                                     const std::vector<std::optional<std::string>>& params,
                                     const ExecuteOptions& options = {}) = 0;

    // Runs several independent statements; one that fails leaves its error text in the
    // returned slot and does not stop the others. Engines that can send them together
    // (PostgreSQL's pipeline) do so in one round trip.
    struct BatchResult {
        ResultSet result;
        std::string error; // empty on success
    };
    virtual std::vector<BatchResult> execute_batch(const std::vector<std::string>& statements,
                                                   const ExecuteOptions& options = {});

    // Transactions. begin(read_only) opens one where the engine can make it read-only.
    virtual void begin(bool read_only) = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;

    // Statement time-out for the following statements; 0 removes it.
    virtual void set_statement_timeout(int milliseconds) = 0;

    // Name of the product behind the connection, as the server or driver reports it
    // ("PostgreSQL", "MariaDB", "SQLite", "Microsoft SQL Server", ...).
    virtual std::string server_name() = 0;

    // Whether the connection still works (a dropped server connection makes it false).
    virtual bool is_alive() = 0;
};

// Opens a connection with the driver for settings.engine.
std::unique_ptr<Connection> connect(const ConnectSettings& settings);

// The engine's way of quoting an identifier ("name", `name`, [name]).
std::string quote_identifier(Engine engine, std::string_view name);

// The ODBC driver used for SQL Server when none is named: ZOLVIAI_MSSQL_ODBC_DRIVER when
// set, else "ODBC Driver 18 for SQL Server" when the driver manager knows it, else "FreeTDS".
std::string default_mssql_odbc_driver();

} // namespace zolviai::sql
