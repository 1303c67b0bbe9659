#pragma once

#include "zolviai/sql/connection.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A database connection handed to the host, with the transaction habits of the Python
// clients hosts know: a PostgreSQL connection opens a transaction before its first
// statement and keeps it until commit() or rollback(); a MySQL connection runs with
// autocommit off. Closing without a commit discards what the open transaction changed.
namespace zolviai::dbtool {

// Values for the placeholders of a statement: %s takes the positional values in order,
// %(name)s the named one; %% is a literal percent sign. Without parameters the statement
// is sent as it is and % has no meaning.
struct Parameters {
    std::vector<sql::Cell> positional;
    std::vector<std::pair<std::string, sql::Cell>> named;
    bool by_name = false;
};

// The statement with the engine's own placeholders ($1, $2 ... for PostgreSQL) and the
// values to bind, or (MySQL) the statement with the values written in as literals that
// hold whatever the text contains (hex for text and bytes). A placeholder without a
// value, a value without a placeholder, or another % sequence is a TypeError or
// ValueError worded as Python's % formatting words it.
struct BoundStatement {
    std::string sql;
    std::vector<std::optional<std::string>> values; // PostgreSQL only
};
BoundStatement bind_parameters(sql::Engine engine, const std::string& sql,
                               const Parameters& params);

class HostConnection {
public:
    // Takes an open connection (PostgreSQL or MySQL) and sets up its transaction mode.
    explicit HostConnection(std::unique_ptr<sql::Connection> connection);
    ~HostConnection();

    HostConnection(const HostConnection&) = delete;
    HostConnection& operator=(const HostConnection&) = delete;

    sql::Engine engine() const { return engine_; }

    // Runs one statement; DatabaseError on failure, also when the connection is closed.
    sql::ResultSet execute(const std::string& sql,
                           const std::optional<Parameters>& params = std::nullopt);
    // The same, with the rows as the client library read them (sql::TextRows).
    std::unique_ptr<sql::TextRows>
    execute_text(const std::string& sql, const std::optional<Parameters>& params = std::nullopt);
    // The same, the rows handed to `take` in parts as they arrive (sql::Connection's
    // execute_text_parts); returns the statement's shape.
    std::unique_ptr<sql::TextRows> execute_text_parts(const std::string& sql,
                                                      const sql::Connection::TakeRows& take);

    void commit();
    void rollback();
    // Closes the connection (the server discards an uncommitted transaction). Closing
    // twice does nothing.
    void close();
    bool closed() const { return connection_ == nullptr; }

    bool autocommit() const { return autocommit_; }
    void set_autocommit(bool on);

    // End of a `with` block: PostgreSQL commits (rolls back when the block failed) and
    // stays open; MySQL closes the connection, as the Python clients do.
    void end_block(bool succeeded);

private:
    sql::Connection& live();
    void end_transaction(bool commit);
    void begin_if_needed(sql::Connection& c);

    std::unique_ptr<sql::Connection> connection_;
    sql::Engine engine_;
    bool autocommit_ = false;
    bool in_transaction_ = false; // PostgreSQL: a BEGIN was sent and not yet ended
};

// How a cursor hands out rows.
enum class RowForm { Tuples, Maps };

// One statement's result at a time, fetched from the front.
class Cursor {
public:
    Cursor(std::shared_ptr<HostConnection> connection, RowForm form);

    RowForm row_form() const { return form_; }
    const std::shared_ptr<HostConnection>& connection() const { return connection_; }

    void execute(const std::string& sql, const std::optional<Parameters>& params = std::nullopt);

    // The columns of the last result; empty when it has no rows to give (or none ran yet).
    const std::vector<sql::Column>& columns() const;
    bool has_rows() const { return result_ != nullptr && !result_->columns.empty(); }

    // Rows of the last statement, or the rows it changed; -1 before the first one.
    std::int64_t rowcount() const { return rowcount_; }

    // The next at most `count` rows (count < 0: all that are left), as positions into
    // rows(). Fetching when the statement gave no rows is an error on PostgreSQL ("no
    // results to fetch") and gives nothing on MySQL.
    std::pair<std::size_t, std::size_t> fetch(std::int64_t count);
    const sql::TextRows& rows() const;

    void close();
    bool closed() const { return closed_; }

private:
    void check_open() const;

    std::shared_ptr<HostConnection> connection_;
    RowForm form_;
    std::unique_ptr<sql::TextRows> result_;
    std::size_t position_ = 0;
    std::int64_t rowcount_ = -1;
    bool closed_ = false;
};

} // namespace zolviai::dbtool
