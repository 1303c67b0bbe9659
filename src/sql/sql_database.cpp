#include "zolviai/sql/sql_database.hpp"

#include "sql/catalog.hpp"
#include "sql/schema_cache.hpp"
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
#include <filesystem>
#include <optional>
#include <set>
#include <thread>
#include <unordered_set>

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
    Lease(const CustomSQLDatabase& db, std::unique_ptr<Connection> connection)
        : db_(db), conn_(std::move(connection)) {}
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
    if (auto it = uri.query.find("allow_privileged_role"); it != uri.query.end()) {
        options.allow_privileged_role = options.allow_privileged_role || truthy(it->second);
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
        if (!uri.database.empty() && uri.database != ":memory:") {
            // Always opened read-only by SQLite itself: no statement can write the file, and a
            // file that is not there is an error rather than a new empty database.
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
    std::string cache_dir = options.schema_cache_dir;
    if (const char* env = std::getenv("ZOLVI_SCHEMA_CACHE"); cache_dir.empty() && env) {
        cache_dir = env;
    }
    const bool private_sqlite =
        s.engine == Engine::Sqlite && (uri.database.empty() || uri.database == ":memory:");
    if (!cache_dir.empty() && !private_sqlite) {
        std::error_code ec;
        const std::string where =
            s.engine == Engine::Sqlite
                ? std::filesystem::absolute(uri.database, ec).string()
                : uri.host + ":" + std::to_string(uri.port) + "/" + uri.database;
        db->schema_identity_ =
            uri.dialect + "\n" + uri.user + "@" + where + "\n" + db->default_schema_;
        db->schema_file_ = schema_cache_path(cache_dir, db->schema_identity_);
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
        // What cannot be checked is not taken to be safe.
        privilege_problem_ =
            std::string("could not find out what the database role may do: ") + e.what();
        if (may_run_as_privileged_role()) {
            print_err_line("zolviai: warning: " + privilege_problem_);
        }
        return;
    }
    if (!privileges_.more_than_read()) {
        return;
    }
    // The first risk says what matters; zolvi doctor lists them all.
    const std::string first = privileges_.risks.empty() ? "it can write" : privileges_.risks[0];
    const std::size_t more = privileges_.risks.empty() ? 0 : privileges_.risks.size() - 1;
    privilege_problem_ = "the database role " + privileges_.role + " can do more than read (" +
                         first + (more ? ", and " + std::to_string(more) + " more" : "") + ")";
    if (may_run_as_privileged_role()) {
        print_err_line("zolviai: warning: " + privilege_problem_ +
                       "; generated SQL should run as a read-only role (zolvi doctor shows how "
                       "to create one)");
    }
}

bool CustomSQLDatabase::may_run_as_privileged_role() const {
    return options_.allow_privileged_role && !options_.require_read_only_role;
}

std::optional<std::string> CustomSQLDatabase::generated_sql_refusal() const {
    if (privilege_problem_.empty() || may_run_as_privileged_role()) {
        return std::nullopt;
    }
    std::string text =
        privilege_problem_ +
        ". Generated SQL runs only as a role that can do no more than read: connect as one "
        "(zolvi doctor --create-reader NAME creates one when the current role may), or allow "
        "this role explicitly (--allow-privileged-role, the URI parameter "
        "allow_privileged_role=1, or ZOLVI_ALLOW_PRIVILEGED_ROLE=1).";
    if (!privileges_.read_only_role_sql.empty()) {
        text += " To create a reader, an administrator runs:\n" + privileges_.read_only_role_sql;
    }
    return text;
}

void CustomSQLDatabase::check_generated_sql_allowed() const {
    if (auto reason = generated_sql_refusal()) {
        throw StatementRefused(*reason);
    }
}

std::vector<std::string>
CustomSQLDatabase::reader_role_statements(const std::string& role,
                                          const std::string& password) const {
    const auto quoted = [](const std::string& text) {
        std::string out = "'";
        for (char c : text) {
            if (c == '\'' || c == '\\') {
                out += c;
            }
            out += c;
        }
        return out + "'";
    };
    switch (settings_.engine) {
    case Engine::Postgresql:
        return {"CREATE ROLE " + quote_identifier(Engine::Postgresql, role) + " LOGIN PASSWORD " +
                    quoted(password),
                "GRANT CONNECT ON DATABASE " +
                    quote_identifier(Engine::Postgresql, settings_.database) + " TO " +
                    quote_identifier(Engine::Postgresql, role),
                "GRANT pg_read_all_data TO " + quote_identifier(Engine::Postgresql, role),
                "ALTER ROLE " + quote_identifier(Engine::Postgresql, role) +
                    " SET default_transaction_read_only = on"};
    case Engine::Mysql:
        return {"CREATE USER " + quoted(role) + "@'%' IDENTIFIED BY " + quoted(password),
                "GRANT SELECT, SHOW VIEW ON " +
                    quote_identifier(Engine::Mysql, settings_.database) + ".* TO " + quoted(role) +
                    "@'%'"};
    default:
        throw ConfigError("zolvi cannot create a reader role on " + dialect_ +
                          ": SQLite files are always opened read-only, and for other ODBC "
                          "sources an administrator runs the statements zolvi doctor prints");
    }
}

void CustomSQLDatabase::create_reader_role(const std::string& role,
                                           const std::string& password) const {
    const std::vector<std::string> statements = reader_role_statements(role, password);
    ConnectSettings s = settings_;
    s.read_only = false;
    std::unique_ptr<Connection> admin = connect(s);
    admin->begin(false);
    try {
        for (const std::string& statement : statements) {
            admin->execute(statement);
        }
        admin->commit();
    } catch (const DatabaseError& e) {
        try {
            admin->rollback();
        } catch (const DatabaseError&) {
        }
        throw DatabaseError("could not create the reader role " + role +
                            " (the current role may lack the right to): " + e.what());
    }
}

std::unique_ptr<Connection> CustomSQLDatabase::acquire() const {
    // A caller waits for a connection at most as long as one statement may run.
    const auto wait = std::chrono::milliseconds(
        options_.statement_timeout_ms > 0 ? options_.statement_timeout_ms : 30000);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (!available_.wait_until(lock, deadline, [&] {
                    return !idle_.empty() || open_ < options_.max_connections;
                })) {
                throw DatabaseUnavailable("all " + std::to_string(options_.max_connections) +
                                          " database connections are busy; waited " +
                                          std::to_string(wait.count()) +
                                          " ms for one to become free");
            }
        }
        // Another caller may have taken the free place meanwhile: then wait again.
        if (std::unique_ptr<Connection> c = try_acquire_or_throw()) {
            return c;
        }
    }
}

std::unique_ptr<Connection> CustomSQLDatabase::try_acquire() const {
    try {
        return try_acquire_or_throw();
    } catch (const Error&) {
        return nullptr; // the caller reads on its own connection instead
    }
}

std::unique_ptr<Connection> CustomSQLDatabase::try_acquire_or_throw() const {
    std::unique_lock lock(mutex_);
    if (!idle_.empty()) {
        std::unique_ptr<Connection> c = std::move(idle_.back());
        idle_.pop_back();
        return c;
    }
    if (open_ >= options_.max_connections) {
        return nullptr;
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

namespace {

// A few distinct values of the sample rows that may name what a table holds ("Germany",
// "refunded"): text that is short and not a number.
std::vector<std::string> ranking_values(const ResultSet& rows) {
    std::vector<std::string> out;
    for (const Row& row : rows.rows) {
        for (const Cell& cell : row) {
            if (cell.type != CellType::Text || cell.text.size() < 3 || cell.text.size() > 40 ||
                cell.text.find_first_not_of("0123456789.-: ") == std::string::npos) {
                continue;
            }
            if (std::find(out.begin(), out.end(), cell.text) == out.end()) {
                out.push_back(cell.text);
            }
            if (out.size() == 6) {
                return out;
            }
        }
    }
    return out;
}

} // namespace

void CustomSQLDatabase::describe_into(Connection& conn, const std::vector<std::string>& names,
                                      SchemaSnapshot& snapshot) const {
    std::vector<catalog::TableDef> defs;
    auto read_definitions = [&] {
        if (snapshot.definitions &&
            std::all_of(names.begin(), names.end(),
                        [&](const std::string& n) { return snapshot.definitions->count(n); })) {
            for (const auto& name : names) {
                defs.push_back(snapshot.definitions->at(name));
            }
            return;
        }
        defs = catalog::table_defs(conn, dialect_, default_schema_, names);
    };
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
        samples = read_samples(conn, statements, limit, read_definitions);
    } else {
        read_definitions();
    }
    for (std::size_t i = 0; i < defs.size(); ++i) {
        auto table = std::make_shared<CachedTable>();
        if (auto it = snapshot.tables.find(defs[i].name); it != snapshot.tables.end()) {
            table->signature = it->second->signature;
            table->comment = it->second->comment;
        }
        table->described = true;
        for (const auto& column : defs[i].columns) {
            table->columns.push_back(column.name);
            if (!column.comment.empty()) {
                table->column_comments += column.comment + "\n";
            }
        }
        for (const auto& fk : defs[i].foreign_keys) {
            table->references.push_back(fk.ref_table);
        }
        std::string& out = table->description;
        out = catalog::create_table_text(defs[i], settings_.engine);
        // Sample rows are a courtesy: a table we may not read is still described.
        if (i < samples.size() && samples[i].error.empty()) {
            const ResultSet& r = samples[i].result;
            out += "\n\n/*\n" + std::to_string(options_.sample_rows) + " rows from " +
                   defs[i].name + " table:\n";
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
            table->values = ranking_values(r);
        }
        snapshot.tables[defs[i].name] = std::move(table);
    }
}

std::vector<Connection::BatchResult>
CustomSQLDatabase::read_samples(Connection& conn, const std::vector<std::string>& statements,
                                const ExecuteOptions& limit,
                                const std::function<void()>& run_meanwhile) const {
    // Reading thousands of tables is mostly the server opening each one: a few sessions do it
    // side by side. A private SQLite database lives in one connection only.
    constexpr std::size_t per_worker = 250;
    constexpr std::size_t most_workers = 3;
    const bool shareable = settings_.engine != Engine::Sqlite ||
                           !(settings_.database.empty() || settings_.database == ":memory:");
    const std::size_t workers =
        shareable ? std::min(most_workers, statements.size() / per_worker) : 0;
    if (workers == 0) {
        run_meanwhile();
        return conn.execute_batch(statements, limit);
    }
    std::vector<Connection::BatchResult> out(statements.size());
    const std::size_t chunk = (statements.size() + workers - 1) / workers;
    auto part_of = [&](std::size_t w) {
        const std::size_t first = std::min(statements.size(), w * chunk);
        const std::size_t last = std::min(statements.size(), first + chunk);
        return std::make_pair(first, last);
    };
    auto read_part = [&](Connection& c, std::size_t w) {
        const auto [first, last] = part_of(w);
        const std::vector<std::string> part(statements.begin() + static_cast<std::ptrdiff_t>(first),
                                            statements.begin() + static_cast<std::ptrdiff_t>(last));
        auto results = c.execute_batch(part, limit);
        std::move(results.begin(), results.end(), out.begin() + static_cast<std::ptrdiff_t>(first));
    };
    std::vector<char> done(workers, 0);
    std::vector<std::thread> threads;
    for (std::size_t w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            std::unique_ptr<Connection> borrowed = try_acquire();
            if (!borrowed) {
                return; // read below on the caller's connection
            }
            Lease lease(*this, std::move(borrowed));
            try {
                read_part(*lease, w);
                done[w] = 1;
            } catch (const Error&) {
                lease.suspect();
            }
        });
    }
    std::exception_ptr failure;
    try {
        run_meanwhile();
    } catch (...) {
        failure = std::current_exception();
    }
    for (auto& t : threads) {
        t.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    for (std::size_t w = 0; w < workers; ++w) {
        if (!done[w]) {
            read_part(conn, w);
        }
    }
    return out;
}

std::shared_ptr<const SchemaSnapshot> CustomSQLDatabase::refreshed_schema(Connection& conn) const {
    if (!schema_ && !schema_file_read_ && !schema_file_.empty()) {
        schema_file_read_ = true;
        if (auto loaded = load_schema_cache(schema_file_, schema_identity_)) {
            // Never trusted as it is: the signatures below decide which tables it still
            // describes rightly.
            schema_ = std::make_shared<const SchemaSnapshot>(std::move(*loaded));
        }
    }
    const std::string sentinel = catalog::schema_sentinel(conn, dialect_);
    if (schema_ && !sentinel.empty() && schema_->sentinel == sentinel) {
        return schema_;
    }
    std::vector<catalog::TableDef> definitions;
    // MariaDB reads two catalogs at once on a second pooled session, when it has many tables
    // and the pool can give one without waiting.
    std::optional<Lease> helper;
    auto second_session = [&]() -> Connection* {
        std::unique_ptr<Connection> spare = try_acquire();
        if (!spare) {
            return nullptr;
        }
        helper.emplace(*this, std::move(spare));
        return &**helper;
    };
    std::vector<catalog::TableSignature> signatures;
    try {
        signatures = catalog::table_signatures(conn, dialect_, default_schema_, &definitions,
                                               second_session);
    } catch (const Error&) {
        if (helper) {
            helper->suspect();
        }
        throw;
    }
    helper.reset();
    const std::string fingerprint = sql::schema_fingerprint(signatures);
    auto next = std::make_shared<SchemaSnapshot>();
    next->sentinel = sentinel;
    next->fingerprint = fingerprint;
    if (!definitions.empty()) {
        auto map = std::make_shared<std::unordered_map<std::string, catalog::TableDef>>();
        for (auto& def : definitions) {
            std::string name = def.name;
            map->emplace(std::move(name), std::move(def));
        }
        next->definitions = std::move(map);
    }
    if (schema_ && schema_->fingerprint == fingerprint) {
        next->names = schema_->names;
        next->tables = schema_->tables;
        next->ranker = schema_->ranker;
        schema_ = std::move(next);
        return schema_;
    }
    // Tables whose signature is unchanged keep what was read of them.
    for (const auto& sig : signatures) {
        next->names.push_back(sig.name);
        if (schema_) {
            if (auto it = schema_->tables.find(sig.name); it != schema_->tables.end() &&
                                                          it->second->signature == sig.signature &&
                                                          it->second->comment == sig.comment) {
                next->tables.emplace(sig.name, it->second);
                continue;
            }
        }
        auto table = std::make_shared<CachedTable>();
        table->signature = sig.signature;
        table->comment = sig.comment;
        next->tables.emplace(sig.name, std::move(table));
    }
    schema_ = std::move(next);
    if (!schema_file_.empty()) {
        save_schema_cache(schema_file_, schema_identity_, *schema_);
    }
    return schema_;
}

std::shared_ptr<const SchemaSnapshot>
CustomSQLDatabase::schema(Connection& conn, const std::vector<std::string>& describe,
                          bool describe_all) const {
    std::lock_guard lock(schema_mutex_);
    std::shared_ptr<const SchemaSnapshot> current = refreshed_schema(conn);
    std::vector<std::string> missing;
    std::unordered_set<std::string_view> seen;
    for (const auto& name : describe_all ? current->names : describe) {
        auto it = current->tables.find(name);
        if (it != current->tables.end() && !it->second->described && seen.insert(name).second) {
            missing.push_back(name);
        }
    }
    if (missing.empty()) {
        return current;
    }
    auto next = std::make_shared<SchemaSnapshot>();
    next->sentinel = current->sentinel;
    next->fingerprint = current->fingerprint;
    next->names = current->names;
    next->tables = current->tables;
    next->definitions = current->definitions;
    describe_into(conn, missing, *next);
    schema_ = std::move(next);
    if (!schema_file_.empty()) {
        save_schema_cache(schema_file_, schema_identity_, *schema_);
    }
    return schema_;
}

std::vector<std::string> CustomSQLDatabase::get_usable_table_names() const {
    Lease conn(*this);
    try {
        return schema(*conn, {})->names;
    } catch (const DatabaseError&) {
        conn.suspect();
        throw;
    }
}

std::string CustomSQLDatabase::schema_fingerprint() const {
    Lease conn(*this);
    try {
        return schema(*conn, {})->fingerprint;
    } catch (const DatabaseError&) {
        conn.suspect();
        throw;
    }
}

std::string
CustomSQLDatabase::get_table_info_no_throw(const std::vector<std::string>& table_names) const {
    Lease conn(*this);
    try {
        std::shared_ptr<const SchemaSnapshot> current = schema(*conn, {});
        const std::vector<std::string>& usable = current->names;
        std::set<std::string> missing;
        std::vector<std::string> names;
        std::unordered_set<std::string_view> seen;
        for (const auto& name : table_names) {
            if (!std::binary_search(usable.begin(), usable.end(), name)) {
                missing.insert(name);
            } else if (seen.insert(name).second) {
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
        current = schema(*conn, names);
        std::string out;
        for (std::size_t i = 0; i < names.size(); ++i) {
            auto it = current->tables.find(names[i]);
            if (it == current->tables.end()) {
                continue; // dropped between the two looks
            }
            if (i != 0) {
                out += "\n\n";
            }
            out += it->second->description;
        }
        return out;
    } catch (const Error& e) {
        conn.suspect();
        return std::string("Error: ") + e.what();
    }
}

TableCandidates CustomSQLDatabase::candidate_tables(std::string_view question) const {
    TableCandidates out;
    std::shared_ptr<const SchemaSnapshot> current;
    std::shared_ptr<const TableRanker> ranker;
    {
        Lease conn(*this);
        try {
            current = schema(*conn, {});
            out.total = current->names.size();
            if (out.total <= options_.prune_threshold) {
                out.names = current->names;
                return out;
            }
            current = schema(*conn, {}, true);
            std::lock_guard lock(schema_mutex_);
            if (!current->ranker) {
                std::vector<TableDocument> documents;
                documents.reserve(current->names.size());
                for (const auto& name : current->names) {
                    const CachedTable& t = *current->tables.at(name);
                    documents.push_back(
                        {name, t.columns, t.comment + "\n" + t.column_comments, t.values});
                }
                current->ranker = std::make_shared<const TableRanker>(documents);
            }
            ranker = current->ranker;
        } catch (const DatabaseError&) {
            conn.suspect();
            throw;
        }
    }
    out.pruned = true;
    out.scores = ranker->rank(question, options_.prune_top_k);
    std::set<std::string> chosen;
    for (const auto& scored : out.scores) {
        chosen.insert(scored.name);
        for (const auto& target : current->tables.at(scored.name)->references) {
            if (current->tables.count(target)) {
                chosen.insert(target);
            }
        }
    }
    if (chosen.empty()) {
        // Nothing in the question names anything the catalog holds: a bounded prompt still
        // beats one past the model's context window.
        chosen.insert(current->names.begin(),
                      current->names.begin() +
                          static_cast<std::ptrdiff_t>(std::min(options_.prune_top_k, out.total)));
    }
    out.names.assign(chosen.begin(), chosen.end());
    return out;
}

ResultSet CustomSQLDatabase::query(const std::string& command, std::int64_t max_rows,
                                   bool stop_after_max_rows) const {
    if (auto reason = shared_refusal(command, options_.guard)) {
        throw StatementRefused(*reason);
    }
    check_generated_sql_allowed();
    ExecuteOptions options;
    options.max_rows = max_rows;
    options.stop_after_max_rows = stop_after_max_rows;
    options.max_cell_bytes = options_.max_cell_bytes;
    options.max_result_bytes = options_.max_result_bytes;

    Lease conn(*this);
    try {
        if (auto reason = conn->refusal_reason(command)) {
            throw StatementRefused(*reason);
        }
        // Nothing a generated statement does is kept: the driver runs it read-only where the
        // engine allows, rolls back and resets the session.
        return conn->execute_guarded(command, options);
    } catch (const StatementRefused&) {
        conn.suspect();
        throw;
    } catch (const DatabaseError& e) {
        conn.suspect();
        throw_database_error(e.kind(), std::string(e.what()) + "\n[SQL: " + command + "]");
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
