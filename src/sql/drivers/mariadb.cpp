// MySQL and MariaDB through MariaDB Connector/C: the text protocol with rows streamed
// (mysql_use_result), one statement per call (multi-statements are not enabled).
#include "sql/drivers/drivers.hpp"
#include "zolviai/core/error.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <mysql.h>

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

class MariaDbConnection final : public Connection {
public:
    explicit MariaDbConnection(const ConnectSettings& settings) : password_(settings.password) {
        static std::once_flag library_once;
        std::call_once(library_once, [] { mysql_library_init(0, nullptr, nullptr); });
        mysql_ = mysql_init(nullptr);
        if (mysql_ == nullptr) {
            throw DatabaseError("could not connect to MySQL: out of memory");
        }
        unsigned timeout = static_cast<unsigned>(settings.connect_timeout_seconds);
        if (timeout > 0) {
            mysql_options(mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
        }
        mysql_options(mysql_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        const unsigned port = settings.port > 0 ? static_cast<unsigned>(settings.port) : 3306;
        if (mysql_real_connect(mysql_, settings.host.empty() ? nullptr : settings.host.c_str(),
                               settings.user.c_str(), settings.password.c_str(),
                               settings.database.empty() ? nullptr : settings.database.c_str(),
                               port, nullptr, 0) == nullptr) {
            std::string message = mysql_error(mysql_);
            mysql_close(mysql_);
            mysql_ = nullptr;
            throw DatabaseError("could not connect to MySQL: " + scrub(message, password_));
        }
        if (settings.read_only) {
            command("SET SESSION TRANSACTION READ ONLY");
        }
        if (settings.statement_timeout_ms > 0) {
            set_statement_timeout(settings.statement_timeout_ms);
        }
    }

    ~MariaDbConnection() override {
        if (mysql_ != nullptr) {
            mysql_close(mysql_);
        }
    }

    Engine engine() const override { return Engine::Mysql; }

    ResultSet execute(const std::string& sql, const ExecuteOptions& options) override {
        if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
            throw DatabaseError(last_error());
        }
        ResultSet out;
        MYSQL_RES* res = mysql_use_result(mysql_);
        if (res == nullptr) {
            if (mysql_field_count(mysql_) != 0) {
                throw DatabaseError(last_error());
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
        while (MYSQL_ROW raw = mysql_fetch_row(res)) {
            ++out.total_rows;
            if (!keep_row(options, out)) {
                if (options.stop_after_max_rows) {
                    break; // mysql_free_result reads and drops the rest
                }
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
                } else {
                    row.push_back(make_cell(types[c], raw[c], lengths[c]));
                }
            }
            out.rows.push_back(std::move(row));
        }
        const unsigned err = mysql_errno(mysql_);
        std::string message = err != 0 ? last_error() : "";
        mysql_free_result(res);
        if (err != 0) {
            throw DatabaseError(message);
        }
        return out;
    }

    ResultSet execute_params(const std::string& sql,
                             const std::vector<std::optional<std::string>>& params,
                             const ExecuteOptions& options) override {
        return execute(bind(sql, params), options);
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
        const char* info = mysql_get_server_info(mysql_);
        return (info && std::strstr(info, "MariaDB")) ? "MariaDB" : "MySQL";
    }

    bool is_alive() override { return mysql_ping(mysql_) == 0; }

private:
    void command(const std::string& sql) {
        if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
            throw DatabaseError(last_error());
        }
        if (MYSQL_RES* res = mysql_store_result(mysql_)) {
            mysql_free_result(res);
        }
    }

    std::string last_error() const {
        return scrub("ERROR " + std::to_string(mysql_errno(mysql_)) + " (" +
                         mysql_sqlstate(mysql_) + "): " + mysql_error(mysql_),
                     password_);
    }

    // Fills '?' placeholders outside quoted text with escaped literals.
    std::string bind(const std::string& sql,
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
            if (!p) {
                out += "NULL";
                continue;
            }
            std::string escaped(p->size() * 2 + 1, '\0');
            const unsigned long n =
                mysql_real_escape_string(mysql_, escaped.data(), p->data(), p->size());
            escaped.resize(n);
            out += '\'' + escaped + '\'';
        }
        if (next != params.size()) {
            throw DatabaseError("the statement has fewer placeholders than parameters");
        }
        return out;
    }

    MYSQL* mysql_ = nullptr;
    std::string password_;
};

} // namespace

std::unique_ptr<Connection> open_mariadb(const ConnectSettings& settings) {
    return std::make_unique<MariaDbConnection>(settings);
}

} // namespace zolviai::sql::drivers
