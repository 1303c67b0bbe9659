// MySQL and MariaDB through MariaDB Connector/C: the text protocol with rows streamed
// (mysql_use_result), one statement per call (multi-statements are enabled only for the span of
// a batch of the catalog's own statements, never for other SQL). Generated
// SQL runs through execute_guarded: a read-only transaction that is rolled back, the server's
// statement time-out and a client deadline behind it, and a session reset afterwards.
#include "sql/drivers/drivers.hpp"
#include "sql/drivers/policies.hpp"
#include "sql/drivers/session_bounds.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/sql/literal.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <mysql.h>
#include <optional>
#include <sys/socket.h>
#include <thread>

namespace zolviai::sql::drivers {

namespace {

constexpr unsigned binary_charset = 63;

CellType cell_type_of(const MYSQL_FIELD& f) {
    switch (f.type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONGLONG:
    case MYSQL_TYPE_YEAR:
    case MYSQL_TYPE_BIT:
        return CellType::Integer;
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE:
        return CellType::Float;
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
        return CellType::Decimal;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
        return CellType::Date;
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
        return CellType::Timestamp;
    case MYSQL_TYPE_TIME:
        return CellType::Interval; // a duration of up to 838 hours, as Python clients read it
    case MYSQL_TYPE_NULL:
        return CellType::Null;
    case MYSQL_TYPE_GEOMETRY:
        return CellType::Bytes;
    default:
        return f.charsetnr == binary_charset ? CellType::Bytes : CellType::Text;
    }
}

const char* type_name_of(const MYSQL_FIELD& f) {
    const bool binary = f.charsetnr == binary_charset;
    switch (f.type) {
    case MYSQL_TYPE_TINY:
        return "TINYINT";
    case MYSQL_TYPE_SHORT:
        return "SMALLINT";
    case MYSQL_TYPE_LONG:
        return "INT";
    case MYSQL_TYPE_INT24:
        return "MEDIUMINT";
    case MYSQL_TYPE_LONGLONG:
        return "BIGINT";
    case MYSQL_TYPE_YEAR:
        return "YEAR";
    case MYSQL_TYPE_BIT:
        return "BIT";
    case MYSQL_TYPE_FLOAT:
        return "FLOAT";
    case MYSQL_TYPE_DOUBLE:
        return "DOUBLE";
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
        return "DECIMAL";
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
        return "DATE";
    case MYSQL_TYPE_DATETIME:
        return "DATETIME";
    case MYSQL_TYPE_TIMESTAMP:
        return "TIMESTAMP";
    case MYSQL_TYPE_TIME:
        return "TIME";
    case MYSQL_TYPE_NULL:
        return "NULL";
    case MYSQL_TYPE_GEOMETRY:
        return "GEOMETRY";
    case MYSQL_TYPE_JSON:
        return "JSON";
    case MYSQL_TYPE_ENUM:
        return "ENUM";
    case MYSQL_TYPE_SET:
        return "SET";
    case MYSQL_TYPE_STRING:
        return binary ? "BINARY" : "CHAR";
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_VARCHAR:
        return binary ? "VARBINARY" : "VARCHAR";
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB:
        return binary ? "BLOB" : "TEXT";
    default:
        return "UNKNOWN";
    }
}

// TIME values: "[-]HHH:MM:SS[.ffffff]".
bool parse_duration(std::string_view s, Interval& out) {
    int sign = 1;
    if (!s.empty() && s[0] == '-') {
        sign = -1;
        s.remove_prefix(1);
    }
    const std::size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        return false;
    }
    const std::int64_t hours = std::strtoll(std::string(s.substr(0, colon)).c_str(), nullptr, 10);
    DateTime t;
    if (!parse_time("00" + std::string(s.substr(colon)), t)) {
        return false;
    }
    const std::int64_t micros =
        (hours * 3600 + t.minute * 60 + t.second) * 1000000LL + t.microsecond;
    out = make_interval(0, sign * micros);
    return true;
}

Cell make_cell(CellType type, const char* v, unsigned long len) {
    DateTime t;
    const std::string_view text(v, len);
    switch (type) {
    case CellType::Integer:
        return Cell::of_int(std::strtoll(v, nullptr, 10));
    case CellType::Float:
        return Cell::of_float(std::strtod(v, nullptr));
    case CellType::Decimal:
        return Cell::of_decimal(std::string(text));
    case CellType::Date:
        if (parse_date(text, t)) {
            return Cell::of_date(t.year, t.month, t.day);
        }
        break;
    case CellType::Timestamp:
        if (parse_timestamp(text, t)) {
            return Cell::of_timestamp(t);
        }
        break;
    case CellType::Interval: {
        Interval span;
        if (parse_duration(text, span)) {
            return Cell::of_interval(span);
        }
        break;
    }
    case CellType::Bytes:
        return Cell::of_bytes(std::string(text));
    default:
        break;
    }
    // Zero dates ("0000-00-00") and the like have no Python value: they stay text.
    return Cell::of_text(std::string(text));
}

// BIT(n) arrives as n bits, big-endian, in raw bytes.
Cell bit_cell(const char* v, unsigned long len) {
    std::int64_t n = 0;
    for (unsigned long i = 0; i < len; ++i) {
        n = (n << 8) | static_cast<unsigned char>(v[i]);
    }
    return Cell::of_int(n);
}

// A cell of a guarded read: text, bytes, JSON and decimal values are cut at max_cell_bytes as
// they are read; a decimal that was cut becomes text.
Cell bounded_cell(CellType type, const char* v, unsigned long len, const ExecuteOptions& options,
                  const std::string& column) {
    const std::string_view value(v, len);
    bool cut = false;
    switch (type) {
    case CellType::Text:
        return bounded_text_cell(value, options, column);
    case CellType::Bytes:
        return Cell::of_bytes(bounded_value(value, options, false, cut));
    case CellType::Decimal: {
        std::string text = bounded_value(value, options, true, cut);
        return cut ? Cell::of_text(std::move(text)) : Cell::of_decimal(std::move(text));
    }
    default:
        return make_cell(type, v, len);
    }
}

// The whole result of one statement as mysql_store_result keeps it.
class MariaTextRows final : public TextRows {
public:
    struct ResultDeleter {
        void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
    };

    explicit MariaTextRows(MYSQL_RES* result) : result_(result) {
        if (result == nullptr) {
            return; // a statement without rows
        }
        const unsigned n = mysql_num_fields(result);
        const MYSQL_FIELD* fields = mysql_fetch_fields(result);
        width_ = n;
        columns.resize(n);
        text_types.resize(n);
        bits_.resize(n);
        for (unsigned c = 0; c < n; ++c) {
            const CellType type = cell_type_of(fields[c]);
            columns[c].name.assign(fields[c].name, fields[c].name_length);
            columns[c].type = type;
            columns[c].type_name = type_name_of(fields[c]);
            if (fields[c].table != nullptr) {
                columns[c].table.assign(fields[c].table, fields[c].table_length);
            }
            bits_[c] = fields[c].type == MYSQL_TYPE_BIT;
            const bool plain = type == CellType::Integer || type == CellType::Float ||
                               type == CellType::Decimal || type == CellType::Text ||
                               type == CellType::Date || type == CellType::Timestamp;
            text_types[c] = plain && !bits_[c] ? type : CellType::Null;
        }
        const std::size_t count = static_cast<std::size_t>(mysql_num_rows(result));
        values_.reserve(count * n);
        lengths_.reserve(count * n);
        while (MYSQL_ROW raw = mysql_fetch_row(result)) {
            const unsigned long* lengths = mysql_fetch_lengths(result);
            values_.insert(values_.end(), raw, raw + n);
            lengths_.insert(lengths_.end(), lengths, lengths + n);
        }
    }

    std::size_t size() const override { return width_ == 0 ? 0 : values_.size() / width_; }

    const char* value(std::size_t row, std::size_t column, std::size_t& length) const override {
        const std::size_t at = row * width_ + column;
        length = lengths_[at];
        return values_[at];
    }

    Cell cell(std::size_t row, std::size_t column) const override {
        std::size_t length = 0;
        const char* v = value(row, column, length);
        if (v == nullptr) {
            return Cell::null();
        }
        if (bits_[column]) {
            return bit_cell(v, length);
        }
        return make_cell(columns[column].type, v, length);
    }

private:
    std::unique_ptr<MYSQL_RES, ResultDeleter> result_;
    std::size_t width_ = 0;
    std::vector<bool> bits_;
    std::vector<const char*> values_;
    std::vector<unsigned long> lengths_;
};

// The sql_mode of guarded (read-only) connections, set at connect and again after each reset:
// a known mode without NO_BACKSLASH_ESCAPES and ANSI_QUOTES, so that generated SQL is lexed by
// the same rules the server reads it with.
constexpr const char* pinned_sql_mode =
    "STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_ENGINE_SUBSTITUTION";

// The largest packet, and so the largest row, the client accepts: a row beyond it is an
// error rather than a buffer that grows with whatever the statement returns.
constexpr unsigned long max_packet_bytes = 64UL * 1024 * 1024;

// Runs beside one guarded statement: once the deadline passes it stops the statement.
class Watchdog {
public:
    Watchdog(std::chrono::milliseconds deadline, std::function<void()> stop)
        : stop_(std::move(stop)) {
        thread_ = std::thread([this, deadline] { watch(deadline); });
    }
    ~Watchdog() { finish(); }

    // Called when the statement has returned; true when the deadline had passed.
    bool finish() {
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                done_ = true;
            }
            wake_.notify_all();
            thread_.join();
        }
        return fired_;
    }

private:
    void watch(std::chrono::milliseconds deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, deadline, [this] { return done_; })) {
            return;
        }
        fired_ = true;
        lock.unlock();
        stop_();
    }

    std::function<void()> stop_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool fired_ = false;
    std::thread thread_;
};

// Splits a privilege list ("SELECT, UPDATE (a, b), CREATE VIEW") at its top-level commas.
std::vector<std::string> privilege_list(std::string_view text) {
    std::vector<std::string> out;
    int depth = 0;
    std::string current;
    for (char c : text) {
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(trim_message(current));
            current.clear();
            continue;
        }
        if (depth == 0 && c != ')' && !(current.empty() && c == ' ')) {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        out.push_back(trim_message(current));
    }
    return out;
}

bool is_write_privilege(const std::string& p) {
    static const char* const writes[] = {"INSERT",
                                         "UPDATE",
                                         "DELETE",
                                         "CREATE",
                                         "DROP",
                                         "ALTER",
                                         "INDEX",
                                         "CREATE VIEW",
                                         "CREATE ROUTINE",
                                         "ALTER ROUTINE",
                                         "CREATE TEMPORARY TABLES",
                                         "LOCK TABLES",
                                         "TRIGGER",
                                         "EVENT",
                                         "DELETE HISTORY",
                                         "CREATE TABLESPACE",
                                         "CREATE USER",
                                         "EXECUTE",
                                         "SUPER",
                                         "ALL",
                                         "ALL PRIVILEGES"};
    for (const char* w : writes) {
        if (p == w) {
            return true;
        }
    }
    return false;
}

class MariaDbConnection final : public Connection {
public:
    explicit MariaDbConnection(const ConnectSettings& settings)
        : settings_(settings), password_(settings.password),
          allowed_(mariadb_functions, settings.guard.allowed_functions, "", true) {
        mysql_ = open_handle(settings_, settings_.database, settings.connect_timeout_seconds, true);
        try {
            apply_session();
        } catch (...) {
            mysql_close(mysql_);
            mysql_ = nullptr;
            throw;
        }
    }

    ~MariaDbConnection() override {
        if (mysql_ != nullptr) {
            mysql_close(mysql_);
        }
    }

    Engine engine() const override { return Engine::Mysql; }

    ResultSet execute(const std::string& sql, const ExecuteOptions& options) override {
        check_usable();
        return run(sql, options, false);
    }

    ResultSet execute_params(const std::string& sql,
                             const std::vector<std::optional<std::string>>& params,
                             const ExecuteOptions& options) override {
        check_usable();
        return execute(bind(sql, params), options);
    }

    std::unique_ptr<TextRows>
    execute_text(const std::string& sql,
                 const std::vector<std::optional<std::string>>& params) override {
        check_usable();
        const std::string text = params.empty() ? sql : bind(sql, params);
        if (mysql_real_query(mysql_, text.data(), text.size()) != 0) {
            throw DatabaseError(last_error());
        }
        MYSQL_RES* res = mysql_store_result(mysql_);
        if (res == nullptr) {
            if (mysql_field_count(mysql_) != 0) {
                throw DatabaseError(last_error());
            }
            auto out = std::make_unique<MariaTextRows>(nullptr);
            out->affected_rows = static_cast<std::int64_t>(mysql_affected_rows(mysql_));
            return out;
        }
        return std::make_unique<MariaTextRows>(res);
    }

    void begin(bool read_only) override {
        command(read_only ? "START TRANSACTION READ ONLY" : "START TRANSACTION");
    }
    void commit() override { command("COMMIT"); }
    void rollback() override { command("ROLLBACK"); }

    void set_statement_timeout(int milliseconds) override {
        char buf[64];
        std::snprintf(buf, sizeof buf, "SET SESSION max_statement_time = %.3f",
                      milliseconds / 1000.0);
        command(buf);
    }

    std::string server_name() override {
        check_usable();
        const char* info = mysql_get_server_info(mysql_);
        return (info && std::strstr(info, "MariaDB")) ? "MariaDB" : "MySQL";
    }

    bool is_alive() override { return !broken_ && mysql_ping(mysql_) == 0; }

    std::optional<std::string> refusal_reason(std::string_view sql) override {
        if (ansi_quotes_) {
            // The lexer reads "..." as text; this session reads it as a name.
            return std::string("the session's sql_mode has ANSI_QUOTES");
        }
        return mariadb_refusal(sql, allowed_, backslash_escapes_);
    }

    ResultSet execute_guarded(const std::string& sql, const ExecuteOptions& options) override {
        check_usable();
        if (auto reason = refusal_reason(sql)) {
            throw StatementRefused(*reason);
        }
        command("START TRANSACTION READ ONLY");
        std::string statement = sql;
        const int timeout_ms = settings_.statement_timeout_ms;
        if (timeout_ms > 0) {
            char prefix[96];
            std::snprintf(prefix, sizeof prefix, "SET STATEMENT max_statement_time=%.3f FOR ",
                          timeout_ms / 1000.0);
            statement = prefix + sql;
        }

        ResultSet out;
        std::optional<std::pair<ErrorKind, std::string>> failure; // kept with its class
        bool late = false;
        {
            std::optional<Watchdog> watchdog;
            if (timeout_ms > 0) {
                const unsigned long thread_id = mysql_thread_id(mysql_);
                const my_socket fd = mysql_get_socket(mysql_);
                // Past the deadline the socket is shut, so that the call returns at once, and
                // the server session is killed behind it from a second connection of the same
                // account (an account may kill its own threads): the connection is dropped
                // anyway, and the server stops what it was running.
                watchdog.emplace(std::chrono::milliseconds(timeout_ms) + std::chrono::seconds(5),
                                 [settings = settings_, thread_id, fd] {
                                     std::thread([settings, thread_id] {
                                         kill_session(settings, thread_id);
                                     }).detach();
                                     ::shutdown(fd, SHUT_RDWR);
                                 });
            }
            try {
                out = run(statement, options, true);
            } catch (const DatabaseError& e) {
                failure.emplace(e.kind(), e.what());
            }
            late = watchdog && watchdog->finish();
        }
        if (late) {
            close_broken();
            throw StatementTimeout("the statement did not finish within its time-out of " +
                                   std::to_string(timeout_ms) +
                                   " ms and was cancelled; the connection was closed");
        }
        // The statement ended, with rows or with an engine error: undo it and reset the
        // session, so that locks, variables and prepared statements never outlive it.
        try {
            command("ROLLBACK");
            if (mysql_reset_connection(mysql_) != 0) {
                throw DatabaseError(last_error());
            }
            apply_session();
        } catch (const DatabaseError& e) {
            close_broken();
            throw DatabaseError(std::string("the session could not be reset after a guarded "
                                            "statement; the connection was closed: ") +
                                e.what());
        }
        if (failure) {
            throw_database_error(failure->first, failure->second);
        }
        return out;
    }

    // The catalog's statements (sample rows of many tables) sent 64 to a round trip as one
    // multi-statement text. The server stops a multi-statement text at its first error: the
    // statements after a failed one are run again one by one. Only execute_batch turns
    // multi-statements on, and it turns them off before it returns; a session where that fails
    // is not used again.
    std::vector<BatchResult> execute_batch(const std::vector<std::string>& statements,
                                           const ExecuteOptions& options) override {
        check_usable();
        std::vector<BatchResult> out(statements.size());
        if (statements.size() < 2) {
            return Connection::execute_batch(statements, options);
        }
        if (mysql_set_server_option(mysql_, MYSQL_OPTION_MULTI_STATEMENTS_ON) != 0) {
            return Connection::execute_batch(statements, options);
        }
        struct Off {
            MariaDbConnection& c;
            ~Off() {
                if (mysql_set_server_option(c.mysql_, MYSQL_OPTION_MULTI_STATEMENTS_OFF) != 0) {
                    c.broken_ = true;
                }
            }
        } off{*this};
        constexpr std::size_t chunk = 64;
        std::size_t next = 0;
        while (next < statements.size()) {
            const std::size_t end = std::min(statements.size(), next + chunk);
            std::string text;
            for (std::size_t i = next; i < end; ++i) {
                text += statements[i];
                text += i + 1 < end ? ";\n" : "";
            }
            std::size_t i = next;
            if (mysql_real_query(mysql_, text.data(), text.size()) != 0) {
                out[i].error = last_error();
                if (broken_ || mysql_errno(mysql_) >= 2000) { // a client error: the link is gone
                    throw DatabaseError(out[i].error);
                }
                next = i + 1;
                continue; // the first failed; the rest were not run
            }
            for (;;) {
                try {
                    out[i].result = read_result(options, false);
                } catch (const DatabaseError& e) {
                    out[i].error = e.what();
                }
                ++i;
                const int more = mysql_next_result(mysql_);
                if (more == 0 && i < end) {
                    continue;
                }
                if (more > 0 && i < end) { // statement i failed; the server ran nothing after it
                    out[i].error = last_error();
                    ++i;
                }
                break;
            }
            // Drain what is left of this text's results (none, unless a count was off).
            while (mysql_more_results(mysql_) && mysql_next_result(mysql_) == 0) {
                if (MYSQL_RES* res = mysql_store_result(mysql_)) {
                    mysql_free_result(res);
                }
            }
            next = i;
        }
        return out;
    }

    bool is_broken() const override { return broken_; }

    PrivilegeReport privileges() override {
        check_usable();
        PrivilegeReport report;
        const ResultSet who = run("SELECT CURRENT_USER(), DATABASE()", {}, false);
        std::string database = settings_.database;
        if (!who.rows.empty()) {
            report.role = who.rows[0][0].text;
            if (database.empty() && who.rows[0][1].type != CellType::Null) {
                database = who.rows[0][1].text;
            }
        }
        const ResultSet grants = run("SHOW GRANTS", {}, false);
        for (const Row& row : grants.rows) {
            if (!row.empty()) {
                read_grant(row[0].text, report);
            }
        }
        const std::string db = database.empty() ? "your_database" : database;
        report.read_only_role_sql =
            "CREATE USER 'zolviai_reader'@'%' IDENTIFIED BY 'choose-a-password';\n"
            "GRANT SELECT, SHOW VIEW ON " +
            quote_identifier(Engine::Mysql, db) + ".* TO 'zolviai_reader'@'%';\n";
        return report;
    }

    ServerLimitsReport server_limits() override {
        check_usable();
        return mariadb_limits_report(*this);
    }

private:
    // with_session false: a short-lived side connection, with read and write time-outs.
    static MYSQL* open_handle(const ConnectSettings& settings, const std::string& database,
                              int connect_timeout_seconds, bool with_session) {
        static std::once_flag library_once;
        std::call_once(library_once, [] { mysql_library_init(0, nullptr, nullptr); });
        MYSQL* mysql = mysql_init(nullptr);
        if (mysql == nullptr) {
            throw DatabaseUnavailable("could not connect to MySQL: out of memory");
        }
        unsigned timeout = static_cast<unsigned>(connect_timeout_seconds);
        if (timeout > 0) {
            mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
        }
        if (!with_session) {
            // A side connection (KILL QUERY) must not hang on a server that stopped answering.
            mysql_options(mysql, MYSQL_OPT_READ_TIMEOUT, &timeout);
            mysql_options(mysql, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
        }
        mysql_options(mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        const unsigned long packet = max_packet_bytes;
        mysql_options(mysql, MYSQL_OPT_MAX_ALLOWED_PACKET, &packet);
        const unsigned port = settings.port > 0 ? static_cast<unsigned>(settings.port) : 3306;
        if (mysql_real_connect(mysql, settings.host.empty() ? nullptr : settings.host.c_str(),
                               settings.user.c_str(), settings.password.c_str(),
                               database.empty() ? nullptr : database.c_str(), port, nullptr,
                               0) == nullptr) {
            std::string message = mysql_error(mysql);
            mysql_close(mysql);
            throw DatabaseUnavailable("could not connect to MySQL: " +
                                      mask_secret(message, settings.password));
        }
        return mysql;
    }

    // Pins sql_mode and read-only on guarded (read-only) connections, sets the time-out, and
    // reads sql_mode back: the lexer of refusal_reason reads quoted text by what the session
    // really does with backslashes. Host tools' read-write connections keep the server's mode.
    void apply_session() {
        std::string set;
        if (settings_.read_only) {
            set = std::string("sql_mode='") + pinned_sql_mode + "', SESSION tx_read_only=1, " +
                  "SESSION " + mariadb_guarded_settings(MariadbSessionBounds{});
        }
        if (settings_.statement_timeout_ms > 0) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "max_statement_time=%.3f",
                          settings_.statement_timeout_ms / 1000.0);
            set += (set.empty() ? "" : ", SESSION ") + std::string(buf);
        }
        if (!set.empty()) {
            command("SET SESSION " + set);
        }
        const ResultSet mode = run("SELECT @@SESSION.sql_mode", {}, false);
        const std::string value = mode.rows.empty() ? "" : mode.rows[0][0].text;
        ansi_quotes_ = value.find("ANSI_QUOTES") != std::string::npos;
        if (ansi_quotes_ && settings_.read_only) {
            throw DatabaseError("the session's sql_mode kept ANSI_QUOTES (" + value +
                                "); generated SQL cannot be read safely");
        }
        backslash_escapes_ = value.find("NO_BACKSLASH_ESCAPES") == std::string::npos;
    }

    // Kills a server session (its statement with it) from a short-lived second connection.
    static void kill_session(const ConnectSettings& settings, unsigned long thread_id) {
        try {
            MYSQL* killer = open_handle(settings, "", 3, false);
            const std::string kill = "KILL CONNECTION " + std::to_string(thread_id);
            mysql_real_query(killer, kill.data(), kill.size());
            mysql_close(killer);
        } catch (const DatabaseError&) {
            // The server ends the session when it next writes to the closed socket.
        }
    }

    void close_broken() {
        broken_ = true;
        if (mysql_ != nullptr) {
            mysql_close(mysql_);
            mysql_ = nullptr;
        }
    }

    void check_usable() const {
        if (broken_) {
            throw DatabaseError("the connection was closed after a statement that did not end "
                                "cleanly; open a new one");
        }
    }

    void read_grant(const std::string& line, PrivilegeReport& report) {
        if (line.rfind("GRANT ", 0) != 0) {
            return;
        }
        const std::size_t on = line.find(" ON ");
        const std::size_t to = line.find(" TO ");
        if (on == std::string::npos || to == std::string::npos || to < on) {
            if (to != std::string::npos) {
                report.risks.push_back("holds the role " + line.substr(6, to - 6) +
                                       ", whose privileges apply when it is active");
            }
            return;
        }
        const std::string object = line.substr(on + 4, to - on - 4);
        const bool global = object == "*.*";
        for (const std::string& p : privilege_list(line.substr(6, on - 6))) {
            if (p == "USAGE" || p.empty()) {
                continue;
            }
            if (p == "FILE" || p == "SUPER" || ((p == "ALL" || p == "ALL PRIVILEGES") && global)) {
                report.server_files = true;
                report.risks.push_back(p + " on " + object +
                                       ": can read or write files on the server or change "
                                       "its settings");
            }
            if (is_write_privilege(p)) {
                report.can_write = true;
                report.risks.push_back(p + " on " + object + ": can change data or schema");
            } else if (p != "SELECT" && p != "SHOW VIEW" && p != "FILE" &&
                       p.rfind("SELECT", 0) != 0 && p != "SHOW DATABASES") {
                // PROCESS, REPLICATION, EXECUTE, BINLOG MONITOR, ...: other sessions' SQL,
                // stored code or server state.
                report.beyond_read = true;
                report.risks.push_back(p + " on " + object + ": more than reading");
            }
        }
        if (line.find("WITH GRANT OPTION") != std::string::npos) {
            report.beyond_read = true;
            report.risks.push_back("may grant its privileges on " + object + " to others");
        }
    }

    // Runs one statement and streams its rows. bounded: cells are cut as read and the kept
    // rows stay within max_result_bytes (guarded reads).
    ResultSet run(const std::string& sql, const ExecuteOptions& options, bool bounded) {
        if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
            throw_statement_error(mysql_errno(mysql_), last_error());
        }
        return read_result(options, bounded);
    }

    // The current statement's result (of a query just sent, or the next of a batch).
    ResultSet read_result(const ExecuteOptions& options, bool bounded) {
        ResultSet out;
        MYSQL_RES* res = mysql_use_result(mysql_);
        if (res == nullptr) {
            if (mysql_field_count(mysql_) != 0) {
                throw_statement_error(mysql_errno(mysql_), last_error());
            }
            out.affected_rows = static_cast<std::int64_t>(mysql_affected_rows(mysql_));
            return out;
        }
        const unsigned n = mysql_num_fields(res);
        const MYSQL_FIELD* fields = mysql_fetch_fields(res);
        std::vector<CellType> types(n);
        out.columns.resize(n);
        for (unsigned c = 0; c < n; ++c) {
            types[c] = cell_type_of(fields[c]);
            out.columns[c].name.assign(fields[c].name, fields[c].name_length);
            out.columns[c].type = types[c];
            out.columns[c].type_name = type_name_of(fields[c]);
            if (fields[c].table != nullptr) {
                out.columns[c].table.assign(fields[c].table, fields[c].table_length);
            }
        }
        // Plain reads keep at most max_rows rows whatever their size.
        RowCollector rows(out, options, bounded);
        try {
            while (MYSQL_ROW raw = mysql_fetch_row(res)) {
                const RowCollector::Next next = rows.next();
                if (next == RowCollector::Next::Stop) {
                    break; // mysql_free_result reads and drops the rest
                }
                if (next == RowCollector::Next::Skip) {
                    continue;
                }
                const unsigned long* lengths = mysql_fetch_lengths(res);
                Row row;
                row.reserve(n);
                for (unsigned c = 0; c < n; ++c) {
                    if (raw[c] == nullptr) {
                        row.push_back(Cell::null());
                    } else if (fields[c].type == MYSQL_TYPE_BIT) {
                        row.push_back(bit_cell(raw[c], lengths[c]));
                    } else if (bounded) {
                        row.push_back(bounded_cell(types[c], raw[c], lengths[c], options,
                                                   out.columns[c].name));
                    } else {
                        row.push_back(make_cell(types[c], raw[c], lengths[c]));
                    }
                }
                rows.add(std::move(row));
            }
        } catch (const DatabaseError&) {
            mysql_free_result(res);
            throw;
        }
        const unsigned err = mysql_errno(mysql_);
        std::string message = err != 0 ? last_error() : "";
        mysql_free_result(res);
        if (err != 0) {
            throw_statement_error(err, message);
        }
        return out;
    }

    // ER_STATEMENT_TIMEOUT: the server's max_statement_time stopped the statement.
    [[noreturn]] static void throw_statement_error(unsigned code, const std::string& message) {
        if (code == 1969) {
            throw StatementTimeout(message);
        }
        throw DatabaseError(message);
    }

    void command(const std::string& sql) {
        check_usable();
        if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
            throw DatabaseError(last_error());
        }
        if (MYSQL_RES* res = mysql_store_result(mysql_)) {
            mysql_free_result(res);
        }
    }

    std::string last_error() const {
        return mask_secret("ERROR " + std::to_string(mysql_errno(mysql_)) + " (" +
                               mysql_sqlstate(mysql_) +
                               "): " + bounded_message(mysql_error(mysql_)),
                           password_);
    }

    // Fills '?' placeholders outside quoted text with the values as text literals.
    static std::string bind(const std::string& sql,
                            const std::vector<std::optional<std::string>>& params) {
        std::string out;
        std::size_t next = 0;
        char quote = 0;
        for (std::size_t i = 0; i < sql.size(); ++i) {
            const char c = sql[i];
            if (quote != 0) {
                out.push_back(c);
                if (c == '\\' && i + 1 < sql.size()) {
                    out.push_back(sql[++i]);
                } else if (c == quote) {
                    quote = 0;
                }
                continue;
            }
            if (c == '\'' || c == '"' || c == '`') {
                quote = c;
                out.push_back(c);
                continue;
            }
            if (c != '?') {
                out.push_back(c);
                continue;
            }
            if (next >= params.size()) {
                throw DatabaseError("the statement has more placeholders than parameters");
            }
            const auto& p = params[next++];
            out += mysql_literal(p ? Cell::of_text(*p) : Cell::null());
        }
        if (next != params.size()) {
            throw DatabaseError("the statement has fewer placeholders than parameters");
        }
        return out;
    }

    ConnectSettings settings_;
    MYSQL* mysql_ = nullptr;
    std::string password_;
    FunctionAllowList allowed_;
    bool backslash_escapes_ = true;
    bool ansi_quotes_ = false;
    std::atomic<bool> broken_{false};
};

} // namespace

std::unique_ptr<Connection> open_mariadb(const ConnectSettings& settings) {
    return std::make_unique<MariaDbConnection>(settings);
}

} // namespace zolviai::sql::drivers
