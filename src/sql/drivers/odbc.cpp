// SQL Server (and any other ODBC data source) through the unixODBC driver manager. Text
// crosses the API as UTF-16 (the W functions), so names and values keep every character
// whatever the process locale.
#include "sql/drivers/drivers.hpp"
#include "sql/drivers/odbc_api.hpp"
#include "zolviai/core/error.hpp"

#include <cmath>
#include <cstring>

namespace zolviai::sql::drivers {

namespace {

constexpr SQLSMALLINT SQL_SS_TIME2 = -154;
constexpr SQLSMALLINT SQL_SS_TIMESTAMPOFFSET = -155;

std::u16string to_utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = s[i];
        char32_t cp = 0xFFFD;
        std::size_t n = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
            cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
            n = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < s.size()) {
            cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            n = 3;
        } else if ((c & 0xF8) == 0xF0 && i + 3 < s.size()) {
            cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) |
                 (s[i + 3] & 0x3F);
            n = 4;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

void append_utf8(std::string& out, const SQLWCHAR* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
}

std::string utf8_of(const SQLWCHAR* s, std::size_t n) {
    std::string out;
    append_utf8(out, s, n);
    return out;
}

SQLWCHAR* w(std::u16string& s) {
    return reinterpret_cast<SQLWCHAR*>(s.data());
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

class OdbcConnection final : public Connection {
public:
    explicit OdbcConnection(const ConnectSettings& settings) : password_(settings.password) {
        if (!SQL_SUCCEEDED(odbc().SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) {
            throw DatabaseError("could not connect through ODBC: no environment handle");
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
        std::u16string text = to_utf16(settings.odbc_connection_string);
        const SQLRETURN rc =
            odbc().SQLDriverConnectW(dbc_, nullptr, w(text), static_cast<SQLSMALLINT>(text.size()),
                                     nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
        if (!SQL_SUCCEEDED(rc)) {
            std::string message = diagnostics(SQL_HANDLE_DBC, dbc_);
            odbc().SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
            odbc().SQLFreeHandle(SQL_HANDLE_ENV, env_);
            dbc_ = nullptr;
            env_ = nullptr;
            throw DatabaseError("could not connect through ODBC: " + message);
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
        Statement st(dbc_);
        if (st.h == nullptr) {
            throw DatabaseError(diagnostics(SQL_HANDLE_DBC, dbc_));
        }
        if (timeout_ms_ > 0) {
            const SQLULEN seconds = static_cast<SQLULEN>((timeout_ms_ + 999) / 1000);
            odbc().SQLSetStmtAttr(st.h, SQL_ATTR_QUERY_TIMEOUT,
                                  reinterpret_cast<SQLPOINTER>(seconds), 0);
        }
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
        const SQLRETURN rc =
            odbc().SQLExecDirectW(st.h, w(text), static_cast<SQLINTEGER>(text.size()));
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
            throw DatabaseError(diagnostics(SQL_HANDLE_STMT, st.h));
        }
        ResultSet out;
        SQLSMALLINT n = 0;
        odbc().SQLNumResultCols(st.h, &n);
        if (n == 0) {
            SQLLEN count = -1;
            odbc().SQLRowCount(st.h, &count);
            out.affected_rows = count;
            return out;
        }
        std::vector<SQLSMALLINT> types(n);
        out.columns.resize(n);
        for (SQLSMALLINT c = 0; c < n; ++c) {
            SQLWCHAR name[512];
            SQLSMALLINT name_len = 0;
            SQLSMALLINT type = 0;
            SQLULEN size = 0;
            SQLSMALLINT digits = 0;
            SQLSMALLINT nullable = 0;
            odbc().SQLDescribeColW(st.h, c + 1, name, 511, &name_len, &type, &size, &digits,
                                   &nullable);
            types[c] = type;
            out.columns[c].name = utf8_of(name, std::min<SQLSMALLINT>(name_len, 511));
            out.columns[c].type = cell_type_of(type);
            SQLWCHAR type_name[256];
            SQLSMALLINT type_len = 0;
            if (SQL_SUCCEEDED(odbc().SQLColAttributeW(st.h, c + 1, SQL_DESC_TYPE_NAME, type_name,
                                                      sizeof type_name, &type_len, nullptr))) {
                out.columns[c].type_name =
                    utf8_of(type_name, std::min<std::size_t>(type_len / sizeof(SQLWCHAR), 255));
            }
        }
        for (;;) {
            const SQLRETURN f = odbc().SQLFetch(st.h);
            if (f == SQL_NO_DATA) {
                break;
            }
            if (!SQL_SUCCEEDED(f)) {
                throw DatabaseError(diagnostics(SQL_HANDLE_STMT, st.h));
            }
            ++out.total_rows;
            if (!keep_row(options, out)) {
                if (options.stop_after_max_rows) {
                    break;
                }
                continue;
            }
            Row row;
            row.reserve(n);
            for (SQLSMALLINT c = 0; c < n; ++c) {
                row.push_back(read_cell(st.h, c + 1, types[c]));
            }
            out.rows.push_back(std::move(row));
        }
        return out;
    }

    void begin(bool) override {
        check(odbc().SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                                       reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0));
    }
    void commit() override { end(SQL_COMMIT); }
    void rollback() override { end(SQL_ROLLBACK); }

    void set_statement_timeout(int milliseconds) override { timeout_ms_ = milliseconds; }

    std::string server_name() override {
        SQLWCHAR name[256];
        SQLSMALLINT len = 0;
        if (!SQL_SUCCEEDED(odbc().SQLGetInfoW(dbc_, SQL_DBMS_NAME, name, sizeof name, &len))) {
            return "";
        }
        return utf8_of(name, std::min<std::size_t>(len / sizeof(SQLWCHAR), 255));
    }

    bool is_alive() override {
        SQLUINTEGER dead = SQL_CD_FALSE;
        odbc().SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
        return dead == SQL_CD_FALSE;
    }

private:
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
        std::string out;
        for (SQLSMALLINT i = 1;; ++i) {
            SQLWCHAR state[6];
            SQLWCHAR text[1024];
            SQLINTEGER native = 0;
            SQLSMALLINT len = 0;
            if (!SQL_SUCCEEDED(
                    odbc().SQLGetDiagRecW(type, handle, i, state, &native, text, 1023, &len))) {
                break;
            }
            if (!out.empty()) {
                out += "; ";
            }
            out += "(" + utf8_of(state, 5) + ") " + utf8_of(text, std::min<SQLSMALLINT>(len, 1023));
        }
        if (out.empty()) {
            out = "unknown ODBC error";
        }
        return scrub(trim_message(out), password_);
    }

    // Reads a long value in pieces; returns false for NULL.
    bool read_binary(SQLHSTMT h, SQLUSMALLINT c, SQLSMALLINT ctype, std::string& out) {
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
            if (rc == SQL_SUCCESS) {
                return true;
            }
        }
    }

    bool read_text(SQLHSTMT h, SQLUSMALLINT c, std::string& out) {
        std::string raw;
        if (!read_binary(h, c, SQL_C_WCHAR, raw)) {
            return false;
        }
        out.clear();
        append_utf8(out, reinterpret_cast<const SQLWCHAR*>(raw.data()),
                    raw.size() / sizeof(SQLWCHAR));
        return true;
    }

    Cell read_cell(SQLHSTMT h, SQLUSMALLINT c, SQLSMALLINT type) {
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
        case SQL_LONGVARBINARY:
            return read_binary(h, c, SQL_C_BINARY, text) ? Cell::of_bytes(std::move(text))
                                                         : Cell::null();
        default:
            break;
        }
        if (!read_text(h, c, text)) {
            return Cell::null();
        }
        switch (type) {
        case SQL_DECIMAL:
        case SQL_NUMERIC:
            return Cell::of_decimal(normalise_decimal(text));
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
        return Cell::of_text(std::move(text));
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
    int timeout_ms_ = 0;
};

} // namespace

std::unique_ptr<Connection> open_odbc(const ConnectSettings& settings) {
    return std::make_unique<OdbcConnection>(settings);
}

} // namespace zolviai::sql::drivers
