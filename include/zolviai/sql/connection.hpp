#pragma once

#include "zolviai/sql/cell.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
    // Bounds applied while rows are read (0: none). A text, bytes, JSON or decimal value
    // longer than max_cell_bytes keeps its first max_cell_bytes bytes (text on a character
    // boundary) followed by the truncation marker "..."; JSON and decimal values that were
    // cut become text. Once the kept cells hold max_result_bytes bytes, later rows are
    // counted and dropped as past max_rows.
    std::size_t max_cell_bytes = 0;
    std::size_t max_result_bytes = 0;
};

// What generated SQL may do beyond the engine's built-in rules, and how large it may be.
struct GuardOptions {
    std::size_t max_statement_bytes = 100 * 1024;
    // Functions of the host's own that generated SQL may call, beside the engine's list of
    // side-effect-free built-ins: a bare name ("my_func") or a schema-qualified one
    // ("reports.my_func"), written as the engine stores it (PostgreSQL: lower case unless
    // created with a quoted name).
    std::vector<std::string> allowed_functions;
};

// What the connection's role may do beyond reading, found out from the server.
struct PrivilegeReport {
    std::string role;          // the user or role the connection runs as
    bool can_write = false;    // it can change data or schema somewhere in reach
    bool server_files = false; // it can read or write server files or run server programs
    // Other rights past reading: watching or signalling other sessions, replication, creating
    // objects where generated SQL resolves names, owning code that planted objects can reach.
    bool beyond_read = false;
    std::vector<std::string> risks; // one line per finding, in plain words
    // Statements an administrator can run to create a role that may only read.
    std::string read_only_role_sql;

    // Whether the role may do anything but read: generated SQL does not run as such a role
    // unless the host allows it explicitly.
    bool more_than_read() const { return can_write || server_files || beyond_read; }
};

// A server setting that bounds what one generated statement can take and that only an
// administrator may set (a reader role cannot set it for its own session).
struct ServerLimit {
    std::string name;        // the setting, as the server names it
    std::string current;     // its value for this connection
    std::string recommended; // what generated SQL should run with
    bool ok = false;         // current is within recommended
    std::string why;         // what it bounds, in plain words
    std::string statement;   // the statement an administrator runs to set it
};

struct ServerLimitsReport {
    std::vector<ServerLimit> limits;
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
    GuardOptions guard;               // rules for generated SQL (refusal_reason, execute_guarded)
};

// The form a column's values are held in by TextRows: their text, or one of PostgreSQL's
// binary forms that postgresql_binary.hpp reads (Other: one only cell() reads).
enum class ValueForm : unsigned char { Text, Integer, Float, Numeric, Date, Timestamp, Other };

// The rows of one statement as the client library holds them, each value in the server's text
// form or, where value_forms says so, in its binary form, for callers that make their own
// values from them without a Cell per value (the host's Python rows). Rows stay valid as long
// as this object.
class TextRows {
public:
    virtual ~TextRows() = default;

    std::vector<Column> columns;     // empty for statements that return no rows
    std::int64_t affected_rows = -1; // for statements without a result set, when known
    // Per column, the cell type its text reads as by the usual rules (digits of an integer,
    // of a float or a decimal, UTF-8 text, a date or a timestamp); Null where only cell()
    // knows the value (bytes, booleans, bits, intervals, ...) and for binary values.
    std::vector<CellType> text_types;
    // Per column, the form of its values; empty when every value is text.
    std::vector<ValueForm> value_forms;

    virtual std::size_t size() const = 0;
    // The value's bytes in its column's form and their length; nullptr for NULL.
    virtual const char* value(std::size_t row, std::size_t column, std::size_t& length) const = 0;
    // The cell the driver makes of the value, as execute() would give it.
    virtual Cell cell(std::size_t row, std::size_t column) const = 0;
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

    // Runs one statement as execute_params does, without bounds, and hands its rows out as the
    // client library read them. The base class converts execute_params' result (every
    // text_types entry Null); PostgreSQL and MariaDB keep their library's buffers, PostgreSQL's
    // in the binary format when every column's type has a binary form the host reads.
    virtual std::unique_ptr<TextRows>
    execute_text(const std::string& sql, const std::vector<std::optional<std::string>>& params);

    // As execute_text, handing the rows to `take` in parts while the rest are still arriving,
    // so that the caller makes its values of one part while the server sends the next. A
    // part is valid during its call only; every part has the statement's columns, text_types
    // and value_forms. Returns the statement's shape (columns, affected_rows) without rows.
    // A failure part-way throws after the parts before it were taken. The base class hands
    // over execute_text's rows as one part; PostgreSQL reads them row by row.
    using TakeRows = std::function<void(const TextRows& part)>;
    virtual std::unique_ptr<TextRows>
    execute_text_parts(const std::string& sql,
                       const std::vector<std::optional<std::string>>& params, const TakeRows& take);

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

    // Generated SQL. refusal_reason says why a statement may not run on this engine, read by
    // the engine's own grammar (or a lexer that follows the server's rules), or nothing when
    // it is one read-only statement that calls only allowed functions. The checks every
    // engine shares (size, NUL, UTF-8, empty) have passed before (guard.hpp).
    virtual std::optional<std::string> refusal_reason(std::string_view sql) = 0;

    // Runs a statement refusal_reason let through with the engine's defences: a read-only
    // transaction that is rolled back, the statement time-out on the server and a client-side
    // deadline (statement time-out + 5 s) after which the statement is cancelled, and a
    // session reset afterwards so that nothing the statement did (locks, variables, prepared
    // statements) outlives it. When the statement did not end cleanly the connection closes
    // itself: is_broken() turns true and it must not be used again.
    virtual ResultSet execute_guarded(const std::string& sql, const ExecuteOptions& options) = 0;

    // True once the connection has closed itself after a statement that did not end cleanly.
    // Unlike is_alive() it costs nothing.
    virtual bool is_broken() const = 0;

    // What the connection's role may do beyond reading.
    virtual PrivilegeReport privileges() = 0;

    // The server settings that bound generated SQL and that only an administrator may set,
    // with the value this connection has (empty where the engine has none, or runs in the
    // process: SQLite).
    virtual ServerLimitsReport server_limits() { return {}; }
};

// Opens a connection with the driver for settings.engine.
std::unique_ptr<Connection> connect(const ConnectSettings& settings);

// The engine's way of quoting an identifier: "name", or `name` for MySQL; a quote inside is
// doubled.
std::string quote_identifier(Engine engine, std::string_view name);

// The ODBC driver used for SQL Server when none is named: ZOLVIAI_MSSQL_ODBC_DRIVER when
// set, else "ODBC Driver 18 for SQL Server" when the driver manager knows it, else "FreeTDS".
std::string default_mssql_odbc_driver();

} // namespace zolviai::sql
