#include "zolviai/sql/sql_database.hpp"

#include "sql/catalog.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/sql/guard.hpp"
#include "zolviai/sql/uri.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <set>

namespace zolviai::sql {

namespace {

std::string mssql_connection_string(const DatabaseUri& uri) {
    if (auto raw = uri.query.find("odbc_connect"); raw != uri.query.end()) {
        return raw->second;
    }
    auto driver_it = uri.query.find("driver");
    const std::string driver =
        driver_it != uri.query.end() ? driver_it->second : default_mssql_odbc_driver();
    std::string out = "DRIVER=" + enclosed(driver, '{', '}') + ";";
    // Microsoft's drivers take the port after a comma; FreeTDS and others take PORT=.
    if (driver.find("SQL Server") != std::string::npos) {
        out +=
            "SERVER=" +
            odbc_attribute_value(uri.host + (uri.port > 0 ? "," + std::to_string(uri.port) : "")) +
            ";";
    } else {
        out += "SERVER=" + odbc_attribute_value(uri.host) + ";";
        if (uri.port > 0) {
            out += "PORT=" + std::to_string(uri.port) + ";";
        }
    }
    if (!uri.database.empty()) {
        out += "DATABASE=" + odbc_attribute_value(uri.database) + ";";
    }
    if (!uri.user.empty()) {
        out += "UID=" + odbc_attribute_value(uri.user) + ";";
    }
    if (!uri.password.empty()) {
        out += "PWD=" + enclosed(uri.password, '{', '}') + ";"; // braced whatever it holds
    }
    for (const auto& [key, value] : uri.query) {
        if (key == "driver") {
            continue;
        }
        // A keyword is written as it is, so it may hold only what keywords hold: a ';' or
        // '=' in it would add or override attributes such as SERVER.
        const bool plain = !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ' ' || c == '-';
        });
        if (!plain) {
            throw ConfigError("the URI parameter '" + key +
                              "' is not an ODBC keyword (letters, digits, '_', '-' and spaces)");
        }
        out += key + "=" + odbc_attribute_value(value) + ";";
    }
    return out;
}

std::vector<std::string> split_names(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = std::min(text.find(',', start), text.size());
        const std::string_view name = trim(std::string_view(text).substr(start, end - start), " ");
        if (!name.empty()) {
            out.emplace_back(name);
        }
        start = end + 1;
    }
    return out;
}

// A file path as the path of a SQLite "file:" URI: the characters URIs give a meaning to are
// percent-encoded.
std::string sqlite_uri_path(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            out += '%';
            out += hex[static_cast<unsigned char>(c) >> 4];
            out += hex[static_cast<unsigned char>(c) & 15];
        } else {
            out += c;
        }
    }
    return out;
}

bool truthy(const std::string& v) {
    return v == "1" || v == "true" || v == "yes" || v == "on";
}

// Python's str() of a value cut to n characters, as sample rows show it.
std::string sample_text(const Cell& cell, std::size_t n) {
    std::string s = cell_str(cell);
    s.resize(utf8_offset(s, n));
    return s;
}

} // namespace

// A connection borrowed from the pool; it goes back when the lease ends, or is dropped
// when it stopped working.
class CustomSQLDatabase::Lease {
public:
    explicit Lease(const CustomSQLDatabase& db) : db_(db), conn_(db.acquire()) {}
    ~Lease() {
        // A connection that closed itself, or that failed and no longer answers, is dropped.
        if (conn_->is_broken() || (suspect_ && !conn_->is_alive())) {
            conn_.reset();
        }
        db_.release(std::move(conn_));
    }
    Connection& operator*() { return *conn_; }
    Connection* operator->() { return conn_.get(); }
    void suspect() { suspect_ = true; }

private:
    const CustomSQLDatabase& db_;
    std::unique_ptr<Connection> conn_;
    bool suspect_ = false;
};

CustomSQLDatabase::CustomSQLDatabase(ConnectSettings settings, std::string dialect,
                                     DatabaseOptions options)
    : settings_(std::move(settings)), dialect_(std::move(dialect)), options_(std::move(options)) {}

CustomSQLDatabase::~CustomSQLDatabase() = default;

std::shared_ptr<CustomSQLDatabase> CustomSQLDatabase::from_uri(std::string_view uri_text,
                                                               const DatabaseOptions& given) {
    DatabaseUri uri = parse_database_uri(uri_text);
    // The wrapper's own parameters are not the server's.
    DatabaseOptions options = given;
    if (auto it = uri.query.find("allowed_functions"); it != uri.query.end()) {
        for (auto& name : split_names(it->second)) {
            options.guard.allowed_functions.push_back(std::move(name));
        }
        uri.query.erase(it);
    }
    if (auto it = uri.query.find("require_read_only_role"); it != uri.query.end()) {
        options.require_read_only_role = options.require_read_only_role || truthy(it->second);
        uri.query.erase(it);
    }
    if (const char* env = std::getenv("ZOLVI_REQUIRE_READ_ONLY_ROLE"); env && truthy(env)) {
        options.require_read_only_role = true;
    }
    ConnectSettings s;
    s.host = uri.host;
    s.port = uri.port;
    s.user = uri.user;
    s.password = uri.password;
    s.database = uri.database;
    s.connect_timeout_seconds = options.connect_timeout_seconds;
    s.statement_timeout_ms = options.statement_timeout_ms;
    s.read_only = true;
    s.guard = options.guard;
    if (uri.dialect == "postgresql") {
        s.engine = Engine::Postgresql;
    } else if (uri.dialect == "mysql") {
        s.engine = Engine::Mysql;
    } else if (uri.dialect == "sqlite") {
        s.engine = Engine::Sqlite;
        if (auto mode = uri.query.find("mode");
            mode != uri.query.end() && mode->second == "ro" && !uri.database.empty()) {
            // Opened read-only by SQLite itself: no statement can write the file.
            s.database = "file:" + sqlite_uri_path(uri.database) + "?mode=ro";
        }
    } else {
        s.engine = Engine::Odbc;
        s.odbc_connection_string = mssql_connection_string(uri);
    }
    std::shared_ptr<CustomSQLDatabase> db(new CustomSQLDatabase(s, uri.dialect, options));
    // The first connection proves the database answers, and names its default schema.
    std::unique_ptr<Connection> first = connect(s);
    if (uri.dialect == "mssql") {
        const std::string server = first->server_name();
        db->use_top_ = server.find("SQL Server") != std::string::npos;
        const ResultSet r =
            first->execute(db->use_top_ ? "SELECT SCHEMA_NAME()" : "SELECT current_schema()");
        if (!r.rows.empty() && !r.rows[0].empty()) {
            db->default_schema_ = r.rows[0][0].text;
        }
    }
    db->check_privileges(*first);
    db->open_ = 1;
    db->idle_.push_back(std::move(first));
    return db;
}

void CustomSQLDatabase::check_privileges(Connection& connection) {
    try {
        privileges_ = connection.privileges();
    } catch (const DatabaseError& e) {
        print_err_line(std::string("zolviai: warning: could not find out what the database role "
                                   "may do: ") +
                       e.what());
        return;
    }
    if (!privileges_.can_write && !privileges_.server_files) {
        return;
    }
    // The first risk says what matters; zolvi doctor lists them all.
    const std::string first = privileges_.risks.empty() ? "it can write" : privileges_.risks[0];
    const std::size_t more = privileges_.risks.empty() ? 0 : privileges_.risks.size() - 1;
    privilege_problem_ = "the database role " + privileges_.role + " can do more than read (" +
                         first + (more ? ", and " + std::to_string(more) + " more" : "") +
                         "); generated SQL should run as a read-only role (zolvi doctor shows "
                         "how to create one)";
    if (!options_.require_read_only_role) {
        print_err_line("zolviai: warning: " + privilege_problem_);
    }
}

std::unique_ptr<Connection> CustomSQLDatabase::acquire() const {
    std::unique_lock lock(mutex_);
    // A caller waits for a connection at most as long as one statement may run.
    const auto wait = std::chrono::milliseconds(
        options_.statement_timeout_ms > 0 ? options_.statement_timeout_ms : 30000);
    if (!available_.wait_for(lock, wait,
                             [&] { return !idle_.empty() || open_ < options_.max_connections; })) {
        throw DatabaseError("all " + std::to_string(options_.max_connections) +
                            " database connections are busy; waited " +
                            std::to_string(wait.count()) + " ms for one to become free");
    }
    if (!idle_.empty()) {
        std::unique_ptr<Connection> c = std::move(idle_.back());
        idle_.pop_back();
        return c;
    }
    ++open_;
    lock.unlock();
    try {
        return connect(settings_);
    } catch (...) {
        lock.lock();
        --open_;
        available_.notify_one();
        throw;
    }
}

void CustomSQLDatabase::release(std::unique_ptr<Connection> connection) const {
    {
        std::lock_guard lock(mutex_);
        if (connection) {
            idle_.push_back(std::move(connection));
        } else {
            --open_;
        }
    }
    available_.notify_one();
}

std::vector<std::string> CustomSQLDatabase::get_usable_table_names() const {
    Lease conn(*this);
    try {
        return catalog::table_names(*conn, dialect_, default_schema_);
    } catch (const DatabaseError&) {
        conn.suspect();
        throw;
    }
}

std::string
CustomSQLDatabase::get_table_info_no_throw(const std::vector<std::string>& table_names) const {
    Lease conn(*this);
    try {
        const std::vector<std::string> usable =
            catalog::table_names(*conn, dialect_, default_schema_);
        std::set<std::string> missing;
        std::vector<std::string> names;
        for (const auto& name : table_names) {
            if (!std::binary_search(usable.begin(), usable.end(), name)) {
                missing.insert(name);
            } else if (std::find(names.begin(), names.end(), name) == names.end()) {
                names.push_back(name);
            }
        }
        if (!missing.empty()) {
            std::string text = "Error: table_names {";
            bool first = true;
            for (const auto& name : missing) {
                if (!first) {
                    text += ", ";
                }
                first = false;
                text += python::repr_text(name);
            }
            return text + "} not found in database";
        }
        return describe_tables(*conn, names);
    } catch (const Error& e) {
        conn.suspect();
        return std::string("Error: ") + e.what();
    }
}

std::string CustomSQLDatabase::describe_tables(Connection& conn,
                                               const std::vector<std::string>& names) const {
    const std::vector<catalog::TableDef> defs =
        catalog::table_defs(conn, dialect_, default_schema_, names);
    std::vector<Connection::BatchResult> samples;
    if (options_.sample_rows > 0) {
        std::vector<std::string> statements;
        statements.reserve(names.size());
        for (const auto& name : names) {
            statements.push_back(catalog::sample_rows_sql(
                settings_.engine, use_top_, dialect_, default_schema_, name, options_.sample_rows));
        }
        ExecuteOptions limit;
        limit.max_rows = options_.sample_rows;
        limit.stop_after_max_rows = true;
        limit.max_cell_bytes = options_.max_cell_bytes;
        samples = conn.execute_batch(statements, limit);
    }
    std::string out;
    for (std::size_t i = 0; i < defs.size(); ++i) {
        if (i != 0) {
            out += "\n\n";
        }
        out += catalog::create_table_text(defs[i], settings_.engine);
        if (i >= samples.size() || !samples[i].error.empty()) {
            continue; // sample rows are a courtesy: a table we may not read is still described
        }
        const ResultSet& r = samples[i].result;
        out += "\n\n/*\n" + std::to_string(options_.sample_rows) + " rows from " + defs[i].name +
               " table:\n";
        for (std::size_t c = 0; c < r.columns.size(); ++c) {
            out += (c == 0 ? "" : "\t") + r.columns[c].name;
        }
        out += '\n';
        for (const Row& row : r.rows) {
            for (std::size_t c = 0; c < row.size(); ++c) {
                out += (c == 0 ? "" : "\t") + sample_text(row[c], 100);
            }
            out += '\n';
        }
        out += "*/";
    }
    return out;
}

ResultSet CustomSQLDatabase::query(const std::string& command, std::int64_t max_rows,
                                   bool stop_after_max_rows) const {
    if (auto reason = shared_refusal(command, options_.guard)) {
        throw DatabaseError("Statement refused: " + *reason);
    }
    if (options_.require_read_only_role && !privilege_problem_.empty()) {
        throw DatabaseError("Statement refused: " + privilege_problem_ +
                            ", and a read-only role is required");
    }
    ExecuteOptions options;
    options.max_rows = max_rows;
    options.stop_after_max_rows = stop_after_max_rows;
    options.max_cell_bytes = options_.max_cell_bytes;
    options.max_result_bytes = options_.max_result_bytes;

    Lease conn(*this);
    try {
        if (auto reason = conn->refusal_reason(command)) {
            throw DatabaseError("Statement refused: " + *reason);
        }
        // Nothing a generated statement does is kept: the driver runs it read-only where the
        // engine allows, rolls back and resets the session.
        return conn->execute_guarded(command, options);
    } catch (const DatabaseError& e) {
        conn.suspect();
        const std::string text = e.what();
        if (text.rfind("Statement refused: ", 0) == 0) {
            throw;
        }
        throw DatabaseError(text + "\n[SQL: " + command + "]");
    }
}

std::string CustomSQLDatabase::run(const std::string& command, std::string_view fetch,
                                   bool include_columns) const {
    if (fetch != "all" && fetch != "one") {
        throw ValueError("Fetch parameter must be either 'one' or 'all'");
    }
    ResultSet result =
        fetch == "one" ? query(command, 1, true) : query(command, options_.limits.max_rows, false);
    if (fetch == "one") {
        result.total_rows = static_cast<std::int64_t>(result.rows.size());
    }
    return render_rows(result, include_columns, options_.limits);
}

} // namespace zolviai::sql
