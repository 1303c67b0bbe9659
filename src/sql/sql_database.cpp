#include "zolviai/sql/sql_database.hpp"

#include "sql/connection_pool.hpp"
#include "sql/drivers/engine_traits.hpp"
#include "sql/guarded_runner.hpp"
#include "sql/schema_cache.hpp"
#include "sql/schema_catalog.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/core/settings.hpp"
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
#include <spdlog/spdlog.h>
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

} // namespace

const drivers::EngineTraits& CustomSQLDatabase::engine_traits() const {
    return *drivers::engine_for_dialect(dialect_);
}

CustomSQLDatabase::CustomSQLDatabase(std::string dialect, DatabaseOptions options)
    : dialect_(std::move(dialect)), options_(std::move(options)) {}

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
    if (settings()->enabled("ZOLVI_REQUIRE_READ_ONLY_ROLE")) {
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
    const drivers::EngineTraits& traits = *drivers::engine_for_dialect(uri.dialect);
    s.engine = traits.driver;
    if (traits.id == drivers::EngineId::Sqlite) {
        if (!uri.database.empty() && uri.database != ":memory:") {
            // Always opened read-only by SQLite itself: no statement can write the file, and a
            // file that is not there is an error rather than a new empty database.
            s.database = "file:" + sqlite_uri_path(uri.database) + "?mode=ro";
        }
    } else if (traits.driver == Engine::Odbc) {
        s.odbc_connection_string = mssql_connection_string(uri);
    }
    std::shared_ptr<CustomSQLDatabase> db(new CustomSQLDatabase(uri.dialect, options));
    // A caller waits for a connection at most as long as one statement may run.
    db->pool_ = std::make_unique<ConnectionPool>(
        s, options.max_connections,
        std::chrono::milliseconds(options.statement_timeout_ms > 0 ? options.statement_timeout_ms
                                                                   : 30000));
    // The first connection proves the database answers, and names its default schema.
    std::unique_ptr<Connection> first = connect(s);
    CatalogPlace place;
    if (traits.driver == Engine::Odbc) {
        // An ODBC data source may be any engine: the server's name says which.
        const drivers::EngineTraits* behind = drivers::engine_for_server(first->server_name());
        place.use_top = behind != nullptr && behind->row_limit == drivers::RowLimit::Top;
        if (behind != nullptr && behind->catalog == drivers::CatalogQueries::Sqlite) {
            // SQLite has no schemas to ask for, and no INFORMATION_SCHEMA: its catalog is read
            // as on a native connection.
            db->dialect_ = behind->dialect;
            place.default_schema = "main";
        } else {
            // An engine the table does not know is asked as PostgreSQL would be.
            const drivers::EngineTraits& asked =
                behind != nullptr ? *behind : drivers::engine(drivers::EngineId::Postgresql);
            const ResultSet r = first->execute(std::string(asked.current_schema_sql));
            if (!r.rows.empty() && !r.rows[0].empty()) {
                place.default_schema = r.rows[0][0].text;
            }
        }
    }
    std::string cache_dir = options.schema_cache_dir;
    if (cache_dir.empty()) {
        cache_dir = settings()->get("ZOLVI_SCHEMA_CACHE", "");
    }
    const bool private_sqlite =
        s.engine == Engine::Sqlite && (uri.database.empty() || uri.database == ":memory:");
    {
        std::error_code ec;
        db->identity_ = s.engine == Engine::Sqlite
                            ? "sqlite:" + std::filesystem::absolute(uri.database, ec).string()
                            : uri.dialect + "://" + uri.host + ":" + std::to_string(uri.port) +
                                  "/" + uri.database;
        if (!place.default_schema.empty() && s.engine != Engine::Sqlite) {
            db->identity_ += "#" + place.default_schema;
        }
    }
    if (!cache_dir.empty() && !private_sqlite) {
        std::error_code ec;
        const std::string where =
            s.engine == Engine::Sqlite
                ? std::filesystem::absolute(uri.database, ec).string()
                : uri.host + ":" + std::to_string(uri.port) + "/" + uri.database;
        place.cache_identity =
            uri.dialect + "\n" + uri.user + "@" + where + "\n" + place.default_schema;
        place.cache_file = schema_cache_path(cache_dir, place.cache_identity);
    }
    place.engine = &db->engine_traits();
    db->runner_ = std::make_unique<GuardedRunner>(*db->pool_, db->options_);
    db->runner_->check_privileges(*first);
    db->catalog_ = std::make_unique<SchemaCatalog>(*db->pool_, db->options_, std::move(place));
    db->pool_->adopt(std::move(first));
    return db;
}

ServerLimitsReport CustomSQLDatabase::server_limits() const {
    ConnectionPool::Lease lease(*pool_);
    return lease->server_limits();
}

const PrivilegeReport& CustomSQLDatabase::privileges() const {
    return runner_->privileges();
}

std::optional<std::string> CustomSQLDatabase::generated_sql_refusal() const {
    return runner_->generated_sql_refusal();
}

void CustomSQLDatabase::check_generated_sql_allowed() const {
    runner_->check_generated_sql_allowed();
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
    switch (pool_->settings().engine) {
    case Engine::Postgresql:
        return {"CREATE ROLE " + quote_identifier(Engine::Postgresql, role) + " LOGIN PASSWORD " +
                    quoted(password),
                "GRANT CONNECT ON DATABASE " +
                    quote_identifier(Engine::Postgresql, pool_->settings().database) + " TO " +
                    quote_identifier(Engine::Postgresql, role),
                "GRANT pg_read_all_data TO " + quote_identifier(Engine::Postgresql, role),
                "ALTER ROLE " + quote_identifier(Engine::Postgresql, role) +
                    " SET default_transaction_read_only = on"};
    case Engine::Mysql:
        return {"CREATE USER " + quoted(role) + "@'%' IDENTIFIED BY " + quoted(password),
                "GRANT SELECT, SHOW VIEW ON " +
                    quote_identifier(Engine::Mysql, pool_->settings().database) + ".* TO " +
                    quoted(role) + "@'%'"};
    default:
        throw ConfigError("zolvi cannot create a reader role on " + dialect_ +
                          ": SQLite files are always opened read-only, and for other ODBC "
                          "sources an administrator runs the statements zolvi doctor prints");
    }
}

void CustomSQLDatabase::create_reader_role(const std::string& role,
                                           const std::string& password) const {
    const std::vector<std::string> statements = reader_role_statements(role, password);
    ConnectSettings s = pool_->settings();
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

std::vector<std::string> CustomSQLDatabase::get_usable_table_names() const {
    return catalog_->table_names();
}

std::string CustomSQLDatabase::schema_fingerprint() const {
    return catalog_->fingerprint();
}

std::vector<std::pair<std::string, std::string>> CustomSQLDatabase::table_signatures() const {
    return catalog_->table_signatures();
}

std::string
CustomSQLDatabase::get_table_info_no_throw(const std::vector<std::string>& table_names) const {
    return catalog_->table_info_no_throw(table_names);
}

TableCandidates CustomSQLDatabase::candidate_tables(std::string_view question) const {
    TableCandidates out = catalog_->candidate_tables(question);
    if (!out.pruned) {
        return out;
    }
    // The tables whose values the question names are offered whatever their ranking.
    for (const ValueHint& hint : value_hints(question)) {
        auto at = std::lower_bound(out.names.begin(), out.names.end(), hint.table);
        if (at == out.names.end() || *at != hint.table) {
            out.names.insert(at, hint.table);
        }
    }
    return out;
}

std::shared_ptr<const ValueIndex> CustomSQLDatabase::value_index() const {
    if (!options_.values.enabled) {
        return nullptr;
    }
    try {
        return catalog_->value_index();
    } catch (const Error& e) {
        spdlog::warn("value index: not read: {}", e.what());
        return nullptr;
    }
}

std::vector<ValueHint> CustomSQLDatabase::value_hints(std::string_view question) const {
    const auto index = value_index();
    if (!index) {
        return {};
    }
    return index->match(question, options_.values.max_hints, options_.values.min_score);
}

TextComparison CustomSQLDatabase::text_comparison() const {
    TextComparison c;
    switch (pool_->settings().engine) {
    case Engine::Mysql:
    case Engine::Odbc:
        c.equals_ignores_case = true;
        c.like_ignores_case = true;
        break;
    case Engine::Sqlite:
        c.like_ignores_case = true;
        break;
    case Engine::Postgresql:
        break;
    }
    return c;
}

std::shared_ptr<const ValueIndex> CustomSQLDatabase::index_for_checks() const {
    if (!options_.values.enabled) {
        return nullptr;
    }
    // The question's hints built or checked the index moments ago: no second look at the
    // server before the statement is checked.
    if (auto index = catalog_->last_value_index()) {
        return index;
    }
    return value_index();
}

std::vector<LiteralFinding> CustomSQLDatabase::check_literals(std::string_view sql) const {
    const auto index = index_for_checks();
    if (!index) {
        return {};
    }
    return index->check_literals(sql, text_comparison(), true);
}

std::string CustomSQLDatabase::empty_result_diagnosis(std::string_view sql) const {
    const auto index = index_for_checks();
    if (!index) {
        return "";
    }
    return sql::empty_result_diagnosis(sql, *index, text_comparison());
}

ResultSet CustomSQLDatabase::query(const std::string& command, std::int64_t max_rows,
                                   bool stop_after_max_rows) const {
    return runner_->query(command, max_rows, stop_after_max_rows);
}

std::string CustomSQLDatabase::run(const std::string& command, std::string_view fetch,
                                   bool include_columns) const {
    return runner_->run(command, fetch, include_columns);
}

} // namespace zolviai::sql
