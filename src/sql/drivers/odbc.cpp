// SQL Server (and any other ODBC data source) through the unixODBC driver manager. Text
// crosses the API as UTF-16 (the W functions), so names and values keep every character
// whatever the process locale.
#include "sql/drivers/drivers.hpp"
#include "sql/drivers/postgresql_privileges.hpp"
#include "sql/drivers/odbc_api.hpp"
#include "sql/drivers/policies.hpp"
#include "sql/drivers/session_bounds.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <limits>
#include <mutex>
#include <string_view>
#include <thread>
#include <utf8.h>

namespace zolviai::sql::drivers {

namespace {

constexpr SQLSMALLINT SQL_SS_TIME2 = -154;
constexpr SQLSMALLINT SQL_SS_TIMESTAMPOFFSET = -155;

// Text crosses the W functions as UTF-16. What is not UTF-8 on our side (it never reaches a
// driver from the guard) becomes U+FFFD.
std::u16string to_utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    if (utf8::is_valid(s.begin(), s.end())) {
        utf8::utf8to16(s.begin(), s.end(), std::back_inserter(out));
        return out;
    }
    std::string replaced;
    utf8::replace_invalid(s.begin(), s.end(), std::back_inserter(replaced));
    utf8::utf8to16(replaced.begin(), replaced.end(), std::back_inserter(out));
    return out;
}

bool is_high_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit < 0xDC00;
}

bool is_low_surrogate(char16_t unit) {
    return unit >= 0xDC00 && unit < 0xE000;
}

// Appends a driver's UTF-16 text as UTF-8. A lone surrogate has no UTF-8 form: it becomes
// U+FFFD, and the text around it is kept.
void append_utf8(std::string& out, std::u16string_view s) {
    const auto sink = std::back_inserter(out);
    std::size_t run = 0; // start of the well-formed run not yet appended
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (is_high_surrogate(s[i]) && i + 1 < s.size() && is_low_surrogate(s[i + 1])) {
            ++i;
            continue;
        }
        if (!is_high_surrogate(s[i]) && !is_low_surrogate(s[i])) {
            continue;
        }
        utf8::utf16to8(s.begin() + run, s.begin() + i, sink);
        utf8::append(0xFFFD, sink);
        run = i + 1;
    }
    utf8::utf16to8(s.begin() + run, s.end(), sink);
}

std::string utf8_of(const SQLWCHAR* s, std::size_t n) {
    std::string out;
    append_utf8(out, std::u16string_view(reinterpret_cast<const char16_t*>(s), n));
    return out;
}

SQLWCHAR* w(std::u16string& s) {
    return reinterpret_cast<SQLWCHAR*>(s.data());
}

// Text a driver wrote into one of our buffers. The length it reports is what it had, not what
// fitted, and may be anything from a faulty driver: the text ends at the buffer's last usable
// unit or at the first terminator, whichever comes first.
std::string written_text(const SQLWCHAR* buf, SQLLEN reported_units, std::size_t capacity) {
    std::size_t n = reported_units > 0 ? static_cast<std::size_t>(reported_units) : 0;
    n = std::min(n, capacity - 1);
    const auto* units = reinterpret_cast<const char16_t*>(buf);
    n = static_cast<std::size_t>(std::find(units, units + n, u'\0') - units);
    return utf8_of(buf, n);
}

// The length of a statement as SQLExecDirectW takes it, which a longer one would wrap.
SQLINTEGER statement_length(const std::u16string& text) {
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<SQLINTEGER>::max())) {
        throw DatabaseError("the statement is too long for ODBC (" + std::to_string(text.size()) +
                            " characters)");
    }
    return static_cast<SQLINTEGER>(text.size());
}

// Longest connection text and parts handed to the driver manager. unixODBC copies the DRIVER
// value with strcpy into a stack buffer of 1,001 bytes (which _FORTIFY_SOURCE turns into an
// abort), reads the text's length as a SQLSMALLINT, and formats attribute values into log
// lines of fixed size; drivers keep attributes in buffers of their own. Real connection texts
// stay far below these.
constexpr std::size_t max_connection_text_units = 16384;
constexpr std::size_t max_keyword_bytes = 128;
constexpr std::size_t max_value_bytes = 4096;
constexpr std::size_t max_driver_bytes = 255;

bool same_keyword(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

[[noreturn]] void too_long(const std::string& what, std::size_t length, std::size_t limit,
                           const char* unit) {
    throw ConfigError(what + " is " + std::to_string(length) + " " + unit + " long; the limit is " +
                      std::to_string(limit) + " " + unit);
}

// Splits the text into attributes the way the driver manager does (keyword up to '=', a value
// in braces up to a '}' that is not doubled, else up to ';') and holds every part to its
// limit, before any of it reaches a fixed-size buffer. Messages name the keyword, never a
// value: one of them is the password.
void check_connection_text(std::string_view text, std::size_t utf16_units) {
    if (utf16_units > max_connection_text_units) {
        too_long("the ODBC connection string", utf16_units, max_connection_text_units,
                 "characters");
    }
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() &&
               (std::isspace(static_cast<unsigned char>(text[i])) || text[i] == ';')) {
            ++i;
        }
        const std::size_t eq = text.find('=', i);
        if (i >= text.size() || eq == std::string_view::npos) {
            return;
        }
        const std::string_view keyword = trim(text.substr(i, eq - i));
        if (keyword.size() > max_keyword_bytes) {
            too_long("the ODBC connection string keyword '" + utf8_shorten(keyword, 40) + "'",
                     keyword.size(), max_keyword_bytes, "bytes");
        }
        // The driver manager's own extensions set handle attributes, pointers included, from
        // text; nothing a URI or host names may reach them.
        for (const char* own : {"DMEnvAttr", "DMConnAttr", "DMStmtAttr"}) {
            if (same_keyword(keyword, own)) {
                throw ConfigError(std::string("the ODBC connection string may not set ") + own +
                                  ", the driver manager's own attribute settings");
            }
        }
        i = eq + 1;
        std::size_t value_bytes = 0;
        if (i < text.size() && text[i] == '{') {
            const std::size_t start = ++i;
            while (i < text.size() &&
                   (text[i] != '}' || (i + 1 < text.size() && text[i + 1] == '}'))) {
                i += text[i] == '}' ? 2 : 1;
            }
            value_bytes = std::min(i, text.size()) - start;
            ++i;
        } else {
            const std::size_t start = i;
            i = std::min(text.find(';', i), text.size());
            value_bytes = i - start;
        }
        const bool driver = same_keyword(keyword, "DRIVER");
        const std::size_t limit = driver ? max_driver_bytes : max_value_bytes;
        if (value_bytes > limit) {
            too_long("the value of " + std::string(driver ? "DRIVER" : utf8_shorten(keyword, 40)) +
                         " in the ODBC connection string",
                     value_bytes, limit, "bytes");
        }
    }
}

CellType cell_type_of(SQLSMALLINT t) {
    switch (t) {
    case SQL_BIT:
        return CellType::Bool;
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
        return CellType::Integer;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
        return CellType::Float;
    case SQL_DECIMAL:
    case SQL_NUMERIC:
        return CellType::Decimal;
    case SQL_TYPE_DATE:
        return CellType::Date;
    case SQL_TYPE_TIME:
    case SQL_SS_TIME2:
        return CellType::Time;
    case SQL_TYPE_TIMESTAMP:
        return CellType::Timestamp;
    case SQL_SS_TIMESTAMPOFFSET:
        return CellType::TimestampTz;
    case SQL_GUID:
        return CellType::Uuid;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
        return CellType::Bytes;
    default:
        return CellType::Text;
    }
}

// The data source behind the driver, which decides how generated SQL is read.
enum class Source { Unknown, SqlServer, Postgresql, Sqlite, Mysql, Other };

Source source_of(const std::string& server) {
    if (server.find("SQL Server") != std::string::npos ||
        server.find("Adaptive Server") != std::string::npos) {
        return Source::SqlServer;
    }
    if (server.find("PostgreSQL") != std::string::npos) {
        return Source::Postgresql;
    }
    if (server.find("SQLite") != std::string::npos) {
        return Source::Sqlite;
    }
    if (server.find("MySQL") != std::string::npos || server.find("MariaDB") != std::string::npos) {
        return Source::Mysql;
    }
    return Source::Other;
}

// Cancels a statement from another thread once its deadline passes, unless stopped before.
class Watchdog {
public:
    Watchdog(SQLHSTMT statement, std::chrono::milliseconds after) {
        if (after.count() <= 0) {
            return;
        }
        thread_ = std::thread([this, statement, after] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (cv_.wait_for(lock, after, [this] { return stopped_; })) {
                return;
            }
            fired_ = true;
            odbc().SQLCancel(statement);
        });
    }
    ~Watchdog() { stop(); }

    void stop() {
        if (!thread_.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    bool fired() const { return fired_; }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

bool flag(const Row& row, std::size_t i) {
    return i < row.size() && row[i].type == CellType::Integer && row[i].integer == 1;
}

class OdbcConnection final : public Connection {
public:
    explicit OdbcConnection(const ConnectSettings& settings)
        : password_(settings.password), guard_(settings.guard), read_only_(settings.read_only) {
        std::u16string text = to_utf16(settings.odbc_connection_string);
        check_connection_text(settings.odbc_connection_string, text.size());
        if (!SQL_SUCCEEDED(odbc().SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) {
            throw DatabaseUnavailable("could not connect through ODBC: no environment handle");
        }
        odbc().SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION,
                             reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        odbc().SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
        if (settings.connect_timeout_seconds > 0) {
            odbc().SQLSetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT,
                                     reinterpret_cast<SQLPOINTER>(
                                         static_cast<SQLULEN>(settings.connect_timeout_seconds)),
                                     0);
        }
        // No buffer for the completed text: nothing is written back, so nothing can overrun.
        const SQLRETURN rc =
            odbc().SQLDriverConnectW(dbc_, nullptr, w(text), static_cast<SQLSMALLINT>(text.size()),
                                     nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
        if (!SQL_SUCCEEDED(rc)) {
            std::string message = diagnostics(SQL_HANDLE_DBC, dbc_);
            odbc().SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
            odbc().SQLFreeHandle(SQL_HANDLE_ENV, env_);
            dbc_ = nullptr;
            env_ = nullptr;
            throw DatabaseUnavailable("could not connect through ODBC: " + message);
        }
        connected_ = true;
        if (settings.read_only) {
            // Advisory for most drivers; the statement guard is what holds there.
            odbc().SQLSetConnectAttr(dbc_, SQL_ATTR_ACCESS_MODE,
                                     reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_ONLY), 0);
        }
        timeout_ms_ = settings.statement_timeout_ms;
    }

    ~OdbcConnection() override {
        if (dbc_ != nullptr) {
            if (connected_) {
                odbc().SQLDisconnect(dbc_);
            }
            odbc().SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        }
        if (env_ != nullptr) {
            odbc().SQLFreeHandle(SQL_HANDLE_ENV, env_);
        }
    }

    Engine engine() const override { return Engine::Odbc; }

    ResultSet execute(const std::string& sql, const ExecuteOptions& options) override {
        return execute_params(sql, {}, options);
    }

    ResultSet execute_params(const std::string& sql,
                             const std::vector<std::optional<std::string>>& params,
                             const ExecuteOptions& options) override {
        usable();
        Statement st(dbc_);
        if (st.h == nullptr) {
            throw DatabaseError(diagnostics(SQL_HANDLE_DBC, dbc_));
        }
        set_query_timeout(st.h);
        std::vector<std::u16string> bound(params.size());
        std::vector<SQLLEN> lengths(params.size());
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (params[i]) {
                bound[i] = to_utf16(*params[i]);
                lengths[i] = static_cast<SQLLEN>(bound[i].size() * sizeof(char16_t));
            } else {
                lengths[i] = SQL_NULL_DATA;
            }
            odbc().SQLBindParameter(
                st.h, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                std::max<SQLULEN>(1, bound[i].size()), 0, w(bound[i]), lengths[i], &lengths[i]);
        }
        std::u16string text = to_utf16(sql);
        const SQLRETURN rc = odbc().SQLExecDirectW(st.h, w(text), statement_length(text));
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
            throw DatabaseError(diagnostics(SQL_HANDLE_STMT, st.h));
        }
        return collect(st.h, options);
    }

    void begin(bool) override {
        check(odbc().SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                                       reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0));
    }
    void commit() override { end(SQL_COMMIT); }
    void rollback() override { end(SQL_ROLLBACK); }

    void set_statement_timeout(int milliseconds) override { timeout_ms_ = milliseconds; }

    std::string server_name() override {
        // SQLGetInfoW counts bytes; the buffer is twice what we declare, for drivers that
        // take the count for characters.
        constexpr std::size_t units = 256;
        SQLWCHAR name[2 * units] = {};
        SQLSMALLINT len = 0;
        if (!SQL_SUCCEEDED(
                odbc().SQLGetInfoW(dbc_, SQL_DBMS_NAME, name, units * sizeof(SQLWCHAR), &len))) {
            return "";
        }
        return written_text(name, len / static_cast<SQLSMALLINT>(sizeof(SQLWCHAR)), units);
    }

    bool is_alive() override {
        SQLUINTEGER dead = SQL_CD_FALSE;
        odbc().SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
        return dead == SQL_CD_FALSE;
    }

    // Generated SQL is read by the rules of the data source behind the driver: T-SQL for SQL
    // Server (and SQLite, whose quoting it shares), PostgreSQL's own parser, MariaDB's lexer.
    // A data source whose rules the guard does not know gets nothing through.
    std::optional<std::string> refusal_reason(std::string_view sql) override {
        if (broken_) {
            return std::string("the connection was closed after a statement that did not end "
                               "cleanly");
        }
        prepare_policy();
        switch (source_) {
        case Source::SqlServer:
        case Source::Sqlite:
            return tsql_refusal(sql, *allowed_);
        case Source::Postgresql:
            return postgresql_refusal(sql, *allowed_);
        case Source::Mysql:
            return mariadb_refusal(sql, *allowed_, backslash_escapes_);
        case Source::Unknown:
        case Source::Other:
            break;
        }
        return "the guard has no rules for the ODBC data source '" + server_ + "'";
    }

    ResultSet execute_guarded(const std::string& sql, const ExecuteOptions& options) override {
        usable();
        prepare_policy();
        begin_read_only();
        std::optional<DatabaseError> failure;
        ResultSet out;
        bool cancelled = false;
        {
            Statement st(dbc_);
            if (st.h == nullptr) {
                failure.emplace(diagnostics(SQL_HANDLE_DBC, dbc_));
            } else {
                // The driver must pass the text on as it is, not rewrite {call ...} escapes.
                odbc().SQLSetStmtAttr(st.h, SQL_ATTR_NOSCAN,
                                      reinterpret_cast<SQLPOINTER>(SQL_NOSCAN_ON), 0);
                set_query_timeout(st.h);
                Watchdog watchdog(st.h, std::chrono::milliseconds(
                                            timeout_ms_ > 0 ? timeout_ms_ + client_grace_ms : 0));
                try {
                    std::u16string text = to_utf16(sql);
                    const SQLRETURN rc =
                        odbc().SQLExecDirectW(st.h, w(text), statement_length(text));
                    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
                        throw DatabaseError(diagnostics(SQL_HANDLE_STMT, st.h));
                    }
                    out = collect(st.h, options);
                } catch (const DatabaseError& e) {
                    failure.emplace(e.what());
                }
                watchdog.stop();
                cancelled = watchdog.fired();
            }
        }
        const bool ended = end_read_only();
        if (cancelled || !ended) {
            close_broken();
        }
        if (cancelled) {
            throw StatementTimeout("the statement ran past its time-out of " +
                                   std::to_string(timeout_ms_) +
                                   " ms and was cancelled; the connection was closed");
        }
        if (failure) {
            throw *failure;
        }
        if (!ended) {
            throw DatabaseError("the read-only transaction could not be rolled back; the "
                                "connection was closed");
        }
        return out;
    }

    bool is_broken() const override { return broken_; }

    PrivilegeReport privileges() override {
        usable();
        prepare_policy();
        switch (source_) {
        case Source::SqlServer:
            return sql_server_privileges();
        case Source::Postgresql:
            return postgresql_privileges();
        default:
            break;
        }
        // What cannot be checked is not taken to be safe.
        PrivilegeReport report;
        report.beyond_read = true;
        report.risks.push_back("the privilege check is not available for the ODBC data source '" +
                               server_ + "'");
        return report;
    }

private:
    // The client-side deadline is this much later than the server's time-out, so that the
    // server normally stops the statement itself and the connection stays usable.
    static constexpr int client_grace_ms = 5000;

    struct Statement {
        explicit Statement(SQLHDBC dbc) {
            if (!SQL_SUCCEEDED(odbc().SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h))) {
                h = nullptr;
            }
        }
        ~Statement() {
            if (h != nullptr) {
                odbc().SQLFreeHandle(SQL_HANDLE_STMT, h);
            }
        }
        SQLHSTMT h = nullptr;
    };

    void end(SQLSMALLINT how) {
        const SQLRETURN rc = odbc().SQLEndTran(SQL_HANDLE_DBC, dbc_, how);
        odbc().SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                                 reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
        check(rc);
    }

    void check(SQLRETURN rc) {
        if (!SQL_SUCCEEDED(rc)) {
            throw DatabaseError(diagnostics(SQL_HANDLE_DBC, dbc_));
        }
    }

    std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) const {
        // A driver may queue any number of records: the first few say what went wrong.
        constexpr SQLSMALLINT max_records = 16;
        // Counts are in characters here; one unit to spare for drivers that write the
        // terminator past the count.
        constexpr std::size_t units = 1024;
        std::string out;
        for (SQLSMALLINT i = 1; i <= max_records; ++i) {
            SQLWCHAR state[8] = {};
            SQLWCHAR text[units + 1] = {};
            SQLINTEGER native = 0;
            SQLSMALLINT len = 0;
            if (!SQL_SUCCEEDED(odbc().SQLGetDiagRecW(type, handle, i, state, &native, text,
                                                     static_cast<SQLSMALLINT>(units), &len))) {
                break;
            }
            if (!out.empty()) {
                out += "; ";
            }
            out += "(" + written_text(state, 5, 6) + ") " + written_text(text, len, units);
        }
        if (out.empty()) {
            out = "unknown ODBC error";
        }
        return mask_secret(bounded_message(out), password_);
    }

    void usable() const {
        if (broken_) {
            throw DatabaseError("the connection was closed after a statement that did not end "
                                "cleanly; open a new one");
        }
    }

    void set_query_timeout(SQLHSTMT h) {
        if (timeout_ms_ > 0) {
            const SQLULEN seconds = static_cast<SQLULEN>((timeout_ms_ + 999) / 1000);
            odbc().SQLSetStmtAttr(h, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds),
                                  0);
        }
    }

    // Finds the data source once and builds its allow-list: the engine's built-ins and the
    // host's additions.
    void prepare_policy() {
        if (allowed_) {
            return;
        }
        server_ = server_name();
        source_ = source_of(server_);
        switch (source_) {
        case Source::SqlServer:
            // Built-ins are called by their bare names: a qualified name (dbo.len, sys.len) is
            // a user's function or nothing, so no schema reaches the built-in list.
            allowed_.emplace(tsql_functions, guard_.allowed_functions, "", true);
            break;
        case Source::Sqlite:
            allowed_.emplace(sqlite_functions, guard_.allowed_functions, "", true);
            break;
        case Source::Postgresql:
            allowed_.emplace(postgresql_functions, guard_.allowed_functions, "pg_catalog", false);
            break;
        case Source::Mysql: {
            allowed_.emplace(mariadb_functions, guard_.allowed_functions, "", true);
            const ResultSet r = execute("SELECT @@SESSION.sql_mode", {});
            backslash_escapes_ =
                r.rows.empty() || r.rows[0].empty() ||
                r.rows[0][0].text.find("NO_BACKSLASH_ESCAPES") == std::string::npos;
            break;
        }
        case Source::Unknown:
        case Source::Other:
            allowed_.emplace("", std::vector<std::string>{}, "", true);
            break;
        }
    }

    // Autocommit off so that everything the statement does is one transaction that is rolled
    // back; read-only where the driver or engine has such a mode.
    void begin_read_only() {
        check(odbc().SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                                       reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0));
        odbc().SQLSetConnectAttr(dbc_, SQL_ATTR_ACCESS_MODE,
                                 reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_ONLY), 0);
        try {
            if (source_ == Source::Postgresql) {
                execute("SET TRANSACTION READ ONLY", {});
                execute(postgresql_transaction_bounds(PgSessionBounds{}, timeout_ms_), {});
            } else if (source_ == Source::Sqlite) {
                execute("PRAGMA query_only = 1", {});
            }
        } catch (const DatabaseError&) {
            end_read_only();
            throw;
        }
    }

    // Rolls the transaction back and restores the session; false when that failed.
    bool end_read_only() {
        bool ok = true;
        if (source_ == Source::Sqlite && !read_only_) {
            try {
                execute("PRAGMA query_only = 0", {});
            } catch (const DatabaseError&) {
                ok = false;
            }
        }
        ok = SQL_SUCCEEDED(odbc().SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK)) && ok;
        if (!read_only_) {
            odbc().SQLSetConnectAttr(dbc_, SQL_ATTR_ACCESS_MODE,
                                     reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_WRITE), 0);
        }
        ok = SQL_SUCCEEDED(odbc().SQLSetConnectAttr(
                 dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0)) &&
             ok;
        if (ok && source_ == Source::Postgresql) {
            // As on the native driver: advisory locks, prepared statements, temporary tables
            // and settings never outlive the statement, and the pool gets a clean session.
            try {
                execute("DISCARD ALL", {});
            } catch (const DatabaseError&) {
                ok = false;
            }
        }
        return ok;
    }

    void close_broken() {
        broken_ = true;
        if (connected_) {
            odbc().SQLDisconnect(dbc_);
            connected_ = false;
        }
    }

    // One row of a query run for the privilege check.
    Row probe(const std::string& sql) {
        const ResultSet r = execute(sql, {});
        if (r.rows.empty()) {
            throw DatabaseError("the privilege check returned no row");
        }
        return r.rows[0];
    }

    PrivilegeReport sql_server_privileges() {
        const Row r = probe("SELECT SUSER_SNAME(), DB_NAME(), IS_SRVROLEMEMBER('sysadmin'), "
                            "HAS_PERMS_BY_NAME(NULL, NULL, 'CONTROL SERVER'), "
                            "HAS_PERMS_BY_NAME(NULL, NULL, 'ADMINISTER BULK OPERATIONS'), "
                            "IS_SRVROLEMEMBER('bulkadmin'), IS_ROLEMEMBER('db_owner'), "
                            "IS_ROLEMEMBER('db_datawriter'), IS_ROLEMEMBER('db_ddladmin'), "
                            "HAS_PERMS_BY_NAME(DB_NAME(), 'DATABASE', 'INSERT'), "
                            "HAS_PERMS_BY_NAME(DB_NAME(), 'DATABASE', 'UPDATE'), "
                            "HAS_PERMS_BY_NAME(DB_NAME(), 'DATABASE', 'DELETE'), "
                            "HAS_PERMS_BY_NAME(DB_NAME(), 'DATABASE', 'CREATE TABLE'), "
                            "HAS_PERMS_BY_NAME(DB_NAME(), 'DATABASE', 'EXECUTE'), "
                            "HAS_PERMS_BY_NAME(NULL, NULL, 'ALTER ANY LINKED SERVER')");
        PrivilegeReport report;
        report.role = r.at(0).text;
        const std::string database = r.at(1).text;
        if (flag(r, 2)) {
            report.risks.push_back("the login is a member of sysadmin: it can run operating "
                                   "system commands (xp_cmdshell) and change everything");
        } else if (flag(r, 3)) {
            report.risks.push_back("the login has CONTROL SERVER");
        }
        if (flag(r, 4) || flag(r, 5)) {
            report.risks.push_back("the login may run bulk operations, which read server files "
                                   "(BULK INSERT, OPENROWSET(BULK ...))");
        }
        if (flag(r, 6)) {
            report.risks.push_back("the user is a member of db_owner");
        }
        if (flag(r, 7)) {
            report.risks.push_back("the user is a member of db_datawriter");
        }
        if (flag(r, 8)) {
            report.risks.push_back("the user is a member of db_ddladmin and can change the schema");
        }
        static const char* const rights[] = {"INSERT", "UPDATE", "DELETE", "CREATE TABLE",
                                             "EXECUTE"};
        for (std::size_t i = 0; i < 5; ++i) {
            if (flag(r, 9 + i)) {
                report.risks.push_back(std::string("the user has ") + rights[i] +
                                       " on the database");
            }
        }
        if (flag(r, 14)) {
            report.risks.push_back("the login may define linked servers");
        }
        report.server_files = flag(r, 2) || flag(r, 3) || flag(r, 4) || flag(r, 5);
        report.can_write = report.server_files || flag(r, 6) || flag(r, 7) || flag(r, 8) ||
                           flag(r, 9) || flag(r, 10) || flag(r, 11) || flag(r, 12) || flag(r, 13);
        report.beyond_read = flag(r, 14);
        const std::string db = quote_identifier(Engine::Odbc, database);
        report.read_only_role_sql =
            "CREATE LOGIN zolviai_reader WITH PASSWORD = '<choose a password>';\n"
            "USE " +
            db +
            ";\n"
            "CREATE USER zolviai_reader FOR LOGIN zolviai_reader;\n"
            "ALTER ROLE db_datareader ADD MEMBER zolviai_reader;\n"
            "DENY EXECUTE TO zolviai_reader;\n";
        return report;
    }

    // PostgreSQL through ODBC: the same catalog statement as the native driver.
    PrivilegeReport postgresql_privileges() {
        return postgresql_privilege_report(execute(postgresql_privileges_sql, {}));
    }

    // Describes the columns and reads the rows, keeping what the budget allows and cutting
    // every long value as it is read.
    ResultSet collect(SQLHSTMT h, const ExecuteOptions& options) {
        ResultSet out;
        SQLSMALLINT n = 0;
        odbc().SQLNumResultCols(h, &n);
        if (n == 0) {
            SQLLEN count = -1;
            odbc().SQLRowCount(h, &count);
            out.affected_rows = count;
            return out;
        }
        std::vector<SQLSMALLINT> types(n);
        out.columns.resize(n);
        for (SQLSMALLINT c = 0; c < n; ++c) {
            // Column names are counted in characters, one unit to spare for drivers that
            // write the terminator past the count; type names in bytes, the buffer twice
            // what is declared for drivers that take the count for characters.
            constexpr std::size_t name_units = 512;
            constexpr std::size_t type_units = 256;
            SQLWCHAR name[name_units + 1] = {};
            SQLSMALLINT name_len = 0;
            SQLSMALLINT type = 0;
            SQLULEN size = 0;
            SQLSMALLINT digits = 0;
            SQLSMALLINT nullable = 0;
            if (!SQL_SUCCEEDED(
                    odbc().SQLDescribeColW(h, c + 1, name, static_cast<SQLSMALLINT>(name_units),
                                           &name_len, &type, &size, &digits, &nullable))) {
                name_len = 0;
            }
            types[c] = type;
            out.columns[c].name = written_text(name, name_len, name_units);
            out.columns[c].type = cell_type_of(type);
            SQLWCHAR type_name[2 * type_units] = {};
            SQLSMALLINT type_len = 0;
            if (SQL_SUCCEEDED(odbc().SQLColAttributeW(h, c + 1, SQL_DESC_TYPE_NAME, type_name,
                                                      type_units * sizeof(SQLWCHAR), &type_len,
                                                      nullptr))) {
                out.columns[c].type_name = written_text(
                    type_name, type_len / static_cast<SQLSMALLINT>(sizeof(SQLWCHAR)), type_units);
            }
        }
        RowCollector rows(out, options);
        for (;;) {
            const SQLRETURN f = odbc().SQLFetch(h);
            if (f == SQL_NO_DATA) {
                break;
            }
            if (!SQL_SUCCEEDED(f)) {
                throw DatabaseError(diagnostics(SQL_HANDLE_STMT, h));
            }
            const RowCollector::Next next = rows.next();
            if (next == RowCollector::Next::Stop) {
                break;
            }
            if (next == RowCollector::Next::Skip) {
                continue;
            }
            Row row;
            row.reserve(n);
            for (SQLSMALLINT c = 0; c < n; ++c) {
                row.push_back(read_cell(h, c + 1, types[c], options, out.columns[c].name));
            }
            rows.add(std::move(row));
        }
        return out;
    }

    // Reads a long value in pieces, at most a little more than limit bytes of it (0: all):
    // enough to know it is longer, never the whole of a huge value. False for NULL.
    bool read_binary(SQLHSTMT h, SQLUSMALLINT c, SQLSMALLINT ctype, std::string& out,
                     std::size_t limit = 0) {
        char buf[8192];
        out.clear();
        for (;;) {
            SQLLEN ind = 0;
            const SQLRETURN rc = odbc().SQLGetData(h, c, ctype, buf, sizeof buf, &ind);
            if (rc == SQL_NO_DATA) {
                return true;
            }
            if (!SQL_SUCCEEDED(rc)) {
                throw DatabaseError(diagnostics(SQL_HANDLE_STMT, h));
            }
            if (ind == SQL_NULL_DATA) {
                return false;
            }
            std::size_t got = sizeof buf;
            if (ind != SQL_NO_TOTAL && static_cast<std::size_t>(ind) <= sizeof buf) {
                got = static_cast<std::size_t>(ind);
            }
            if (ctype == SQL_C_WCHAR && got == sizeof buf) {
                got -= sizeof(SQLWCHAR); // the terminator of a truncated piece
            }
            out.append(buf, got);
            if (rc == SQL_SUCCESS || (limit > 0 && out.size() > limit)) {
                return true;
            }
        }
    }

    // Reads text as UTF-16 pieces turned into UTF-8 as they come, stopping once more than
    // limit bytes of UTF-8 are in (0: no limit). False for NULL.
    bool read_text(SQLHSTMT h, SQLUSMALLINT c, std::string& out, std::size_t limit = 0) {
        SQLWCHAR buf[4096];
        out.clear();
        char16_t carried = 0; // a high surrogate whose pair is in the next piece
        for (;;) {
            SQLLEN ind = 0;
            const SQLRETURN rc = odbc().SQLGetData(h, c, SQL_C_WCHAR, buf, sizeof buf, &ind);
            if (rc == SQL_NO_DATA) {
                break;
            }
            if (!SQL_SUCCEEDED(rc)) {
                throw DatabaseError(diagnostics(SQL_HANDLE_STMT, h));
            }
            if (ind == SQL_NULL_DATA) {
                return false;
            }
            std::size_t units = sizeof buf / sizeof(SQLWCHAR) - 1; // a truncated piece
            if (ind != SQL_NO_TOTAL && static_cast<std::size_t>(ind) < sizeof buf) {
                units = static_cast<std::size_t>(ind) / sizeof(SQLWCHAR);
            }
            std::u16string piece;
            piece.reserve(units + 1);
            if (carried != 0) {
                piece.push_back(static_cast<char16_t>(carried));
                carried = 0;
            }
            piece.append(reinterpret_cast<const char16_t*>(buf), units);
            if (rc != SQL_SUCCESS && !piece.empty() && is_high_surrogate(piece.back())) {
                carried = piece.back();
                piece.pop_back();
            }
            append_utf8(out, piece);
            if (rc == SQL_SUCCESS || (limit > 0 && out.size() > limit)) {
                break;
            }
        }
        if (carried != 0) {
            append_utf8(out, std::u16string_view(&carried, 1));
        }
        return true;
    }

    Cell read_cell(SQLHSTMT h, SQLUSMALLINT c, SQLSMALLINT type, const ExecuteOptions& options,
                   const std::string& column) {
        const std::size_t limit = options.max_cell_bytes;
        SQLLEN ind = 0;
        std::string text;
        DateTime t;
        switch (type) {
        case SQL_BIT: {
            unsigned char v = 0;
            fetch(h, c, SQL_C_BIT, &v, sizeof v, ind);
            return ind == SQL_NULL_DATA ? Cell::null() : Cell::of_bool(v != 0);
        }
        case SQL_TINYINT:
        case SQL_SMALLINT:
        case SQL_INTEGER:
        case SQL_BIGINT: {
            SQLBIGINT v = 0;
            fetch(h, c, SQL_C_SBIGINT, &v, sizeof v, ind);
            return ind == SQL_NULL_DATA ? Cell::null() : Cell::of_int(v);
        }
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE: {
            double v = 0;
            fetch(h, c, SQL_C_DOUBLE, &v, sizeof v, ind);
            return ind == SQL_NULL_DATA ? Cell::null() : Cell::of_float(v);
        }
        case SQL_TYPE_DATE: {
            SQL_DATE_STRUCT v{};
            fetch(h, c, SQL_C_TYPE_DATE, &v, sizeof v, ind);
            return ind == SQL_NULL_DATA ? Cell::null() : Cell::of_date(v.year, v.month, v.day);
        }
        case SQL_TYPE_TIMESTAMP: {
            SQL_TIMESTAMP_STRUCT v{};
            fetch(h, c, SQL_C_TYPE_TIMESTAMP, &v, sizeof v, ind);
            if (ind == SQL_NULL_DATA) {
                return Cell::null();
            }
            t.year = v.year;
            t.month = v.month;
            t.day = v.day;
            t.hour = v.hour;
            t.minute = v.minute;
            t.second = v.second;
            t.microsecond = static_cast<int>(v.fraction / 1000);
            return Cell::of_timestamp(t);
        }
        case SQL_BINARY:
        case SQL_VARBINARY:
        case SQL_LONGVARBINARY: {
            if (!read_binary(h, c, SQL_C_BINARY, text, limit)) {
                return Cell::null();
            }
            bool cut = false;
            return Cell::of_bytes(bounded_value(text, options, false, cut));
        }
        default:
            break;
        }
        if (!read_text(h, c, text, limit)) {
            return Cell::null();
        }
        switch (type) {
        case SQL_DECIMAL:
        case SQL_NUMERIC: {
            bool cut = false;
            std::string digits = bounded_value(normalise_decimal(text), options, false, cut);
            return cut ? Cell::of_text(std::move(digits)) : Cell::of_decimal(std::move(digits));
        }
        case SQL_GUID:
            return Cell::of_uuid(text);
        case SQL_TYPE_TIME:
        case SQL_SS_TIME2:
            if (parse_time(text, t)) {
                return Cell::of_time(t);
            }
            break;
        case SQL_SS_TIMESTAMPOFFSET:
            if (parse_timestamp(text, t)) {
                return Cell::of_timestamp(t);
            }
            break;
        default:
            break;
        }
        return bounded_text_cell(text, options, column);
    }

    // Some drivers write ".50" for 0.50; Python's Decimal prints the leading zero.
    static std::string normalise_decimal(std::string s) {
        if (!s.empty() && s[0] == '.') {
            s.insert(0, "0");
        } else if (s.size() > 1 && s[0] == '-' && s[1] == '.') {
            s.insert(1, "0");
        }
        return s;
    }

    void fetch(SQLHSTMT h, SQLUSMALLINT c, SQLSMALLINT ctype, void* buf, SQLLEN size, SQLLEN& ind) {
        if (!SQL_SUCCEEDED(odbc().SQLGetData(h, c, ctype, buf, size, &ind))) {
            throw DatabaseError(diagnostics(SQL_HANDLE_STMT, h));
        }
    }

    SQLHENV env_ = nullptr;
    SQLHDBC dbc_ = nullptr;
    bool connected_ = false;
    std::string password_;
    GuardOptions guard_;
    bool read_only_ = false;
    int timeout_ms_ = 0;
    std::atomic<bool> broken_{false};
    // The data source and its allow-list, found on first use.
    std::string server_;
    Source source_ = Source::Unknown;
    std::optional<FunctionAllowList> allowed_;
    bool backslash_escapes_ = true;
};

} // namespace

std::unique_ptr<Connection> open_odbc(const ConnectSettings& settings) {
    return std::make_unique<OdbcConnection>(settings);
}

} // namespace zolviai::sql::drivers
