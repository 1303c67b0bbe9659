// PostgreSQL through libpq: the extended protocol (one statement per call), rows streamed
// in single-row mode so that only the kept rows stay in memory, a pipeline for batches, and
// the host's rows in the binary format when it reads every column's binary form.
#include "sql/drivers/drivers.hpp"
#include "sql/drivers/policies.hpp"
#include "sql/drivers/postgresql_privileges.hpp"
#include "sql/drivers/session_bounds.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/sql/postgresql_binary.hpp"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <libpq-fe.h>
#include <optional>
#include <poll.h>
#include <unordered_map>

namespace zolviai::sql::drivers {

namespace {

enum Oid : unsigned {
    BOOLOID = 16,
    BYTEAOID = 17,
    CHAROID = 18,
    NAMEOID = 19,
    INT8OID = 20,
    INT2OID = 21,
    INT4OID = 23,
    TEXTOID = 25,
    OIDOID = 26,
    JSONOID = 114,
    FLOAT4OID = 700,
    FLOAT8OID = 701,
    BPCHAROID = 1042,
    VARCHAROID = 1043,
    DATEOID = 1082,
    TIMEOID = 1083,
    TIMESTAMPOID = 1114,
    TIMESTAMPTZOID = 1184,
    INTERVALOID = 1186,
    TIMETZOID = 1266,
    NUMERICOID = 1700,
    UUIDOID = 2950,
    JSONBOID = 3802,
};

// What the driver knows of each built-in type it reads: the name format_type gives, the cell
// its values become, and whether its text form is short whatever the value (such columns are
// read as they are; every other column of a guarded query is cut on the server before it is
// sent). Types not listed are read as text and named by the server.
struct BuiltinType {
    unsigned oid;
    const char* name;
    CellType cell;
    bool short_text;
};

constexpr BuiltinType builtin_types[] = {
    {BOOLOID, "boolean", CellType::Bool, true},
    {BYTEAOID, "bytea", CellType::Bytes, false},
    {CHAROID, "\"char\"", CellType::Text, true},
    {NAMEOID, "name", CellType::Text, false},
    {INT8OID, "bigint", CellType::Integer, true},
    {INT2OID, "smallint", CellType::Integer, true},
    {INT4OID, "integer", CellType::Integer, true},
    {TEXTOID, "text", CellType::Text, false},
    {OIDOID, "oid", CellType::Integer, true},
    {JSONOID, "json", CellType::Json, false},
    {FLOAT4OID, "real", CellType::Float, true},
    {FLOAT8OID, "double precision", CellType::Float, true},
    {BPCHAROID, "character", CellType::Text, false},
    {VARCHAROID, "character varying", CellType::Text, false},
    {DATEOID, "date", CellType::Date, true},
    {TIMEOID, "time without time zone", CellType::Time, true},
    {TIMESTAMPOID, "timestamp without time zone", CellType::Timestamp, true},
    {TIMESTAMPTZOID, "timestamp with time zone", CellType::TimestampTz, true},
    {INTERVALOID, "interval", CellType::Interval, true},
    {TIMETZOID, "time with time zone", CellType::Time, true},
    {NUMERICOID, "numeric", CellType::Decimal, false},
    {UUIDOID, "uuid", CellType::Uuid, true},
    {JSONBOID, "jsonb", CellType::Json, false},
};

const BuiltinType* builtin_type(unsigned oid) {
    for (const BuiltinType& t : builtin_types) {
        if (t.oid == oid) {
            return &t;
        }
    }
    return nullptr;
}

CellType cell_type_of(unsigned oid) {
    const BuiltinType* t = builtin_type(oid);
    return t != nullptr ? t->cell : CellType::Text;
}

bool short_text_form(unsigned oid) {
    const BuiltinType* t = builtin_type(oid);
    return t != nullptr && t->short_text;
}

// The column's type name: the built-in one, or the oid's digits for resolve_type_names.
std::string type_name_of(unsigned oid) {
    const BuiltinType* t = builtin_type(oid);
    return t != nullptr ? t->name : std::to_string(oid);
}

// bytea in the hex output format ("\x0102").
Cell bytea_cell(const char* v, int len) {
    if (len < 2 || v[0] != '\\' || v[1] != 'x') {
        return Cell::of_bytes(std::string(v, len));
    }
    std::string out;
    out.reserve((len - 2) / 2);
    for (int i = 2; i + 1 < len; i += 2) {
        out.push_back(static_cast<char>(hex_digit_value(v[i]) * 16 + hex_digit_value(v[i + 1])));
    }
    return Cell::of_bytes(std::move(out));
}

// interval in the "postgres" style: "1 year 2 mons -3 days +04:05:06.5". Months count 30
// days and years 365, as Python clients convert them.
bool parse_interval(std::string_view s, Interval& out) {
    std::int64_t days = 0;
    std::int64_t micros = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ') {
            ++i;
        }
        if (i >= s.size()) {
            break;
        }
        std::size_t start = i;
        int sign = 1;
        if (s[i] == '-' || s[i] == '+') {
            sign = s[i] == '-' ? -1 : 1;
            ++i;
        }
        std::size_t num_start = i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
            ++i;
        }
        if (i == num_start) {
            return false;
        }
        if (i < s.size() && s[i] == ':') {
            // clock part: H:MM:SS[.ffffff]
            DateTime t;
            std::int64_t hours =
                std::strtoll(std::string(s.substr(num_start, i - num_start)).c_str(), nullptr, 10);
            std::string rest = "00" + std::string(s.substr(i));
            if (!parse_time(rest, t)) {
                return false;
            }
            micros +=
                sign * ((hours * 3600 + t.minute * 60 + t.second) * 1000000LL + t.microsecond);
            i = s.size();
            continue;
        }
        std::int64_t n =
            sign *
            std::strtoll(std::string(s.substr(num_start, i - num_start)).c_str(), nullptr, 10);
        while (i < s.size() && s[i] == ' ') {
            ++i;
        }
        std::size_t unit_start = i;
        while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) {
            ++i;
        }
        std::string_view unit = s.substr(unit_start, i - unit_start);
        if (unit.rfind("year", 0) == 0) {
            days += n * 365;
        } else if (unit.rfind("mon", 0) == 0) {
            days += n * 30;
        } else if (unit.rfind("day", 0) == 0) {
            days += n;
        } else {
            (void)start;
            return false;
        }
    }
    out = make_interval(days, micros);
    return true;
}

// The form a value of type oid takes in the binary result format when the host reads that
// form; nullopt for types read only as text (a statement with a column of such a type is read
// as text whole: libpq takes one result format for all columns).
std::optional<ValueForm> binary_form(unsigned oid) {
    switch (oid) {
    case INT2OID:
    case INT4OID:
    case INT8OID:
        return ValueForm::Integer;
    case FLOAT4OID:
    case FLOAT8OID:
        return ValueForm::Float;
    case NUMERICOID:
        return ValueForm::Numeric;
    case DATEOID:
        return ValueForm::Date;
    case TIMESTAMPOID:
        return ValueForm::Timestamp;
    case TEXTOID:
    case VARCHAROID:
    case BPCHAROID:
    case NAMEOID:
        return ValueForm::Text; // the binary form is the text
    case BOOLOID:
    case BYTEAOID:
    case OIDOID:
    case UUIDOID:
    case JSONOID:
    case JSONBOID:
        return ValueForm::Other;
    default:
        return std::nullopt;
    }
}

// A cell from the binary form of a value of type oid (binary_form), as make_cell gives it from
// the value's text.
Cell binary_cell(unsigned oid, const char* v, int len) {
    const auto length = static_cast<std::size_t>(len);
    DateTime t;
    std::string text;
    switch (oid) {
    case BOOLOID:
        return Cell::of_bool(len == 1 && v[0] != 0);
    case INT2OID:
    case INT4OID:
    case INT8OID:
        return Cell::of_int(pg_binary_integer(v, length));
    case OIDOID:
        return Cell::of_int(static_cast<std::int64_t>(pg_big_endian(v, len == 4 ? 4 : 0)));
    case FLOAT4OID:
    case FLOAT8OID:
        return Cell::of_float(pg_binary_float(v, length));
    case NUMERICOID:
        if (pg_binary_numeric(v, length, text)) {
            return Cell::of_decimal(std::move(text));
        }
        break;
    case DATEOID:
        if (pg_binary_date(v, length, t, text)) {
            return Cell::of_date(t.year, t.month, t.day);
        }
        if (!text.empty()) {
            return Cell::of_text(std::move(text));
        }
        break;
    case TIMESTAMPOID:
        if (pg_binary_timestamp(v, length, t, text)) {
            return Cell::of_timestamp(t);
        }
        if (!text.empty()) {
            return Cell::of_text(std::move(text));
        }
        break;
    case UUIDOID:
        if (len == 16) {
            static const char hex[] = "0123456789abcdef";
            std::string out;
            for (int i = 0; i < 16; ++i) {
                if (i == 4 || i == 6 || i == 8 || i == 10) {
                    out.push_back('-');
                }
                const auto byte = static_cast<unsigned char>(v[i]);
                out.push_back(hex[byte >> 4]);
                out.push_back(hex[byte & 15]);
            }
            return Cell::of_uuid(out);
        }
        break;
    case JSONOID:
        return Cell::of_json(std::string(v, length));
    case JSONBOID:
        // A version byte (1) before the text.
        if (len >= 1 && v[0] == 1) {
            return Cell::of_json(std::string(v + 1, length - 1));
        }
        break;
    case BYTEAOID:
        return Cell::of_bytes(std::string(v, length));
    case TEXTOID:
    case VARCHAROID:
    case BPCHAROID:
    case NAMEOID:
        return Cell::of_text(std::string(v, length));
    }
    return Cell::of_bytes(std::string(v, length));
}

// A cell from the server's text form of a value of type oid.
Cell make_cell(unsigned oid, const char* v, int len) {
    const std::string_view text(v, len);
    DateTime t;
    switch (cell_type_of(oid)) {
    case CellType::Bool:
        return Cell::of_bool(v[0] == 't');
    case CellType::Integer:
        return Cell::of_int(std::strtoll(v, nullptr, 10));
    case CellType::Float:
        return Cell::of_float(std::strtod(v, nullptr));
    case CellType::Decimal:
        return Cell::of_decimal(std::string(text));
    case CellType::Bytes:
        return bytea_cell(v, len);
    case CellType::Date:
        if (parse_date(text, t)) {
            return Cell::of_date(t.year, t.month, t.day);
        }
        break;
    case CellType::Time:
        if (parse_time(text, t)) {
            return Cell::of_time(t);
        }
        break;
    case CellType::Timestamp:
    case CellType::TimestampTz:
        if (parse_timestamp(text, t)) {
            return Cell::of_timestamp(t);
        }
        break;
    case CellType::Interval: {
        Interval span;
        if (parse_interval(text, span)) {
            return Cell::of_interval(span);
        }
        break;
    }
    case CellType::Json:
        return Cell::of_json(std::string(text));
    case CellType::Uuid:
        return Cell::of_uuid(text);
    case CellType::Null:
    case CellType::Text:
        break;
    }
    // Values Python's datetime cannot hold (infinity, BC dates) stay text.
    return Cell::of_text(std::string(v, len));
}

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;

// The whole result of one statement in libpq's buffer.
class PgTextRows final : public TextRows {
public:
    explicit PgTextRows(ResultPtr result) : result_(std::move(result)) {}

    std::size_t size() const override {
        return result_ ? static_cast<std::size_t>(PQntuples(result_.get())) : 0;
    }

    const char* value(std::size_t row, std::size_t column, std::size_t& length) const override {
        const int r = static_cast<int>(row);
        const int c = static_cast<int>(column);
        if (PQgetisnull(result_.get(), r, c)) {
            return nullptr;
        }
        length = static_cast<std::size_t>(PQgetlength(result_.get(), r, c));
        return PQgetvalue(result_.get(), r, c);
    }

    Cell cell(std::size_t row, std::size_t column) const override {
        return cell_of(result_.get(), static_cast<int>(row), static_cast<int>(column));
    }

    // The driver's cell of one value of a result.
    static Cell cell_of(const PGresult* result, int r, int c) {
        if (PQgetisnull(result, r, c)) {
            return Cell::null();
        }
        const char* v = PQgetvalue(result, r, c);
        const int length = PQgetlength(result, r, c);
        const unsigned oid = PQftype(result, c);
        if (PQfformat(result, c) == 1) {
            return binary_cell(oid, v, length);
        }
        return make_cell(oid, v, length);
    }

private:
    ResultPtr result_;
};

// Rows read in single-row mode: one result of one row each.
class PgRowPart final : public TextRows {
public:
    std::vector<ResultPtr> rows;

    std::size_t size() const override { return rows.size(); }

    const char* value(std::size_t row, std::size_t column, std::size_t& length) const override {
        const PGresult* r = rows[row].get();
        const int c = static_cast<int>(column);
        if (PQgetisnull(r, 0, c)) {
            return nullptr;
        }
        length = static_cast<std::size_t>(PQgetlength(r, 0, c));
        return PQgetvalue(r, 0, c);
    }

    Cell cell(std::size_t row, std::size_t column) const override {
        return PgTextRows::cell_of(rows[row].get(), 0, static_cast<int>(column));
    }
};

// The cell type a value's text reads as without the driver (TextRows::text_types).
CellType text_type_of(unsigned oid) {
    const CellType type = cell_type_of(oid);
    switch (type) {
    case CellType::Integer:
    case CellType::Float:
    case CellType::Decimal:
    case CellType::Text:
    case CellType::Date:
    case CellType::Timestamp:
    case CellType::TimestampTz:
        return type;
    case CellType::Null:
        return CellType::Text; // types of no cell type of their own stay text
    default:
        return CellType::Null;
    }
}

class PgConnection final : public Connection {
public:
    explicit PgConnection(const ConnectSettings& settings)
        : settings_(settings), password_(settings.password),
          timeout_ms_(settings.statement_timeout_ms),
          allowed_(postgresql_functions, settings.guard.allowed_functions, "pg_catalog", false) {
        const std::string port = settings.port > 0 ? std::to_string(settings.port) : "";
        const std::string timeout = std::to_string(settings.connect_timeout_seconds);
        // Strings are read as the guard's parser reads them: standard-conforming, whatever the
        // role's or the database's own setting.
        std::string options = "-c DateStyle=ISO -c IntervalStyle=postgres -c extra_float_digits=1 "
                              "-c standard_conforming_strings=on";
        if (settings.read_only) {
            options += " -c default_transaction_read_only=on";
            options += postgresql_guarded_options(PgSessionBounds{}, settings.statement_timeout_ms);
        }
        if (settings.statement_timeout_ms > 0) {
            options += " -c statement_timeout=" + std::to_string(settings.statement_timeout_ms);
        }
        const char* keys[] = {"host",
                              "port",
                              "user",
                              "password",
                              "dbname",
                              "connect_timeout",
                              "client_encoding",
                              "options",
                              "application_name",
                              nullptr};
        const char* values[] = {settings.host.empty() ? nullptr : settings.host.c_str(),
                                port.empty() ? nullptr : port.c_str(),
                                settings.user.empty() ? nullptr : settings.user.c_str(),
                                settings.password.empty() ? nullptr : settings.password.c_str(),
                                settings.database.empty() ? nullptr : settings.database.c_str(),
                                settings.connect_timeout_seconds > 0 ? timeout.c_str() : nullptr,
                                "UTF8",
                                options.c_str(),
                                "zolviai",
                                nullptr};
        conn_ = PQconnectdbParams(keys, values, 0);
        if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
            std::string message = conn_ ? PQerrorMessage(conn_) : "out of memory";
            if (conn_ != nullptr) {
                PQfinish(conn_);
                conn_ = nullptr;
            }
            throw DatabaseUnavailable("could not connect to PostgreSQL: " +
                                      mask_secret(bounded_message(message), password_));
        }
        PQsetNoticeProcessor(conn_, &PgConnection::keep_notice, this);
    }

    ~PgConnection() override {
        if (conn_ != nullptr) {
            PQfinish(conn_);
        }
    }

    Engine engine() const override { return Engine::Postgresql; }

    ResultSet execute(const std::string& sql, const ExecuteOptions& options) override {
        return execute_params(sql, {}, options);
    }

    ResultSet execute_params(const std::string& sql,
                             const std::vector<std::optional<std::string>>& params,
                             const ExecuteOptions& options) override {
        send_params(sql, params);
        PQsetSingleRowMode(conn_);
        notices_.start();
        ResultSet out = collect(options, Clock::time_point::max(), {});
        print_notices();
        resolve_type_names(out);
        return out;
    }

    // Describes the statement as the unnamed prepared statement and sends its execution in
    // the result format the host reads best (1: binary); returns that format.
    int send_described(const std::string& sql,
                       const std::vector<std::optional<std::string>>& params) {
        const std::vector<const char*> values = param_values(params);
        const int n_params = static_cast<int>(values.size());
        notices_.start();
        std::string error;
        const int format = describe_unnamed(sql, n_params, error);
        if (!error.empty()) {
            print_notices();
            throw DatabaseError(error);
        }
        if (!PQsendQueryPrepared(conn_, "", n_params, values.data(), nullptr, nullptr, format)) {
            throw DatabaseError(connection_message());
        }
        return format;
    }

    // The whole result in one buffer (no single-row mode): the host reads every row anyway.
    // Its rows come in the binary format when the host reads every column's binary form: the
    // server writes them for less than their text, and the host reads them without parsing.
    std::unique_ptr<TextRows>
    execute_text(const std::string& sql,
                 const std::vector<std::optional<std::string>>& params) override {
        const int format = send_described(sql, params);
        std::string error;
        ResultPtr rows;
        std::int64_t affected = -1;
        while (PGresult* raw = next_result(Clock::time_point::max())) {
            ResultPtr r(raw);
            const ExecStatusType status = PQresultStatus(raw);
            if (status == PGRES_TUPLES_OK) {
                if (!rows) {
                    rows = std::move(r);
                }
            } else {
                take_result_without_rows(raw, affected, error);
            }
        }
        print_notices();
        if (!error.empty()) {
            throw DatabaseError(error);
        }
        const PGresult* first = rows.get();
        auto out = std::make_unique<PgTextRows>(std::move(rows));
        shape_text_rows(first, format, *out);
        out->affected_rows = affected;
        return out;
    }

    // Single-row mode, the rows handed over a part at a time: the caller makes its values of
    // one part while the server writes the next, rather than after the last.
    std::unique_ptr<TextRows>
    execute_text_parts(const std::string& sql,
                       const std::vector<std::optional<std::string>>& params,
                       const TakeRows& take) override {
        static constexpr std::size_t part_rows = 1024;
        const int format = send_described(sql, params);
        std::string error;
        PQsetSingleRowMode(conn_);
        auto shape = std::make_unique<PgTextRows>(nullptr);
        bool shaped = false;
        PgRowPart part;
        std::exception_ptr refused; // what `take` threw: the rest is read and dropped
        const auto hand_over = [&] {
            if (!part.rows.empty() && error.empty() && !refused) {
                try {
                    take(part);
                } catch (...) {
                    refused = std::current_exception();
                }
            }
            part.rows.clear();
        };
        while (PGresult* raw = next_result(Clock::time_point::max())) {
            ResultPtr r(raw);
            const ExecStatusType status = PQresultStatus(raw);
            if ((status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK) && !shaped) {
                shape_text_rows(raw, format, *shape);
                part.columns = shape->columns;
                part.text_types = shape->text_types;
                part.value_forms = shape->value_forms;
                shaped = true;
            }
            if (status == PGRES_SINGLE_TUPLE) {
                part.rows.push_back(std::move(r));
                if (part.rows.size() >= part_rows) {
                    hand_over();
                }
            } else if (status == PGRES_TUPLES_OK) {
                hand_over();
            } else {
                take_result_without_rows(raw, shape->affected_rows, error);
                if (!error.empty()) {
                    part.rows.clear(); // a statement that fails part-way gives none of its rows
                }
            }
        }
        print_notices();
        if (refused) {
            std::rethrow_exception(refused);
        }
        if (!error.empty()) {
            throw DatabaseError(error);
        }
        return shape;
    }

    // A result of the statement other than its rows: a command's count of affected rows, a
    // COPY (refused, and the connection closed, since its protocol would take it over), or the
    // first error, which is thrown once every result has been read.
    void take_result_without_rows(PGresult* raw, std::int64_t& affected, std::string& error) {
        const ExecStatusType status = PQresultStatus(raw);
        if (status == PGRES_COMMAND_OK) {
            const char* n = PQcmdTuples(raw);
            affected = (n && *n) ? std::atoll(n) : -1;
        } else if (status == PGRES_COPY_OUT || status == PGRES_COPY_IN ||
                   status == PGRES_COPY_BOTH) {
            close_broken();
            throw DatabaseError("COPY to or from the client is not supported; the "
                                "connection was closed");
        } else if (error.empty()) {
            error = result_message(raw);
        }
    }

    // Columns, their names and types, and how each column's values are read, of a statement
    // whose first result is `first` (nullptr: a statement without rows).
    void shape_text_rows(const PGresult* first, int format, TextRows& out) {
        ResultSet shape;
        std::vector<ValueForm> forms;
        if (first != nullptr) {
            read_columns(first, shape);
            resolve_type_names(shape);
            if (format == 1) {
                forms = value_forms_of(first);
            }
        }
        out.columns = std::move(shape.columns);
        out.text_types.clear();
        out.text_types.reserve(out.columns.size());
        for (unsigned oid : oids_) {
            out.text_types.push_back(text_type_of(oid));
        }
        out.text_types.resize(out.columns.size());
        for (std::size_t c = 0; c < forms.size(); ++c) {
            if (forms[c] != ValueForm::Text) {
                out.text_types[c] = CellType::Null; // binary: read as value_forms says
            }
        }
        out.value_forms = std::move(forms);
    }

    std::optional<std::string> refusal_reason(std::string_view sql) override {
        PgResolution& resolution = this->resolution();
        PgStatementShape shape;
        if (auto reason = postgresql_refusal(sql, allowed_, &shape, resolution.data_schemas())) {
            return reason;
        }
        const std::string query = resolution.query(shape.names);
        const auto run = [this](const std::string& sql) {
            return resolved_names(execute(sql, {}));
        };
        // Outside a transaction the names resolve as a guarded session sees them: under the
        // pinned search_path, in a read-only transaction rolled back afterwards.
        const bool own = PQtransactionStatus(conn_) == PQTRANS_IDLE;
        if (own) {
            command("BEGIN READ ONLY; " + resolution.pin_search_path_sql());
        }
        try {
            auto reason =
                resolution.refusal(shape.names, query.empty() ? PgRows{} : run(query), run);
            if (own) {
                command("ROLLBACK");
            }
            return reason;
        } catch (const DatabaseError&) {
            if (own) {
                command("ROLLBACK");
            }
            throw;
        }
    }

    ResultSet execute_guarded(const std::string& sql, const ExecuteOptions& options) override {
        if (broken_) {
            throw DatabaseError("the connection was closed after a statement that did not end "
                                "cleanly");
        }
        PgResolution& resolution = this->resolution();
        PgStatementShape shape;
        if (auto reason = postgresql_refusal(sql, allowed_, &shape, resolution.data_schemas())) {
            throw StatementRefused(*reason);
        }
        // The server stops the statement at the time-out; the client gives it five seconds
        // more, then cancels it and drops the connection.
        const Clock::time_point deadline =
            timeout_ms_ > 0 ? Clock::now() + std::chrono::milliseconds(timeout_ms_ + 5000)
                            : Clock::time_point::max();
        notices_.start();
        struct PrintNotices {
            PgConnection& c;
            ~PrintNotices() { c.print_notices(); }
        } print_notices_after{*this};
        try {
            const std::string t = std::to_string(timeout_ms_);
            // The names resolve in the same round trip, under the pinned search_path.
            const ResultSet resolved =
                simple("BEGIN READ ONLY; SET LOCAL statement_timeout = " + t +
                           "; SET LOCAL lock_timeout = " + t +
                           "; SET LOCAL idle_in_transaction_session_timeout = " +
                           std::to_string(timeout_ms_ > 0 ? timeout_ms_ + 5000 : 0) + "; " +
                           resolution.pin_search_path_sql() + "; " + resolution.query(shape.names),
                       deadline);
            const auto run = [&](const std::string& query) {
                return resolved_names(simple(query, deadline));
            };
            if (auto reason = resolution.refusal(shape.names, resolved_names(resolved), run)) {
                throw StatementRefused(*reason);
            }
            ResultSet out = guarded_query(sql, shape, options, deadline);
            end_guarded(deadline);
            return out;
        } catch (const DatabaseError&) {
            if (!broken_) {
                try {
                    end_guarded(deadline);
                } catch (const DatabaseError&) {
                    close_broken();
                }
            }
            throw;
        }
    }

    bool is_broken() const override { return broken_; }

    PrivilegeReport privileges() override {
        return postgresql_privilege_report(execute(postgresql_privileges_sql, {}));
    }

    ServerLimitsReport server_limits() override { return postgresql_limits_report(*this); }

    std::vector<BatchResult> execute_batch(const std::vector<std::string>& statements,
                                           const ExecuteOptions& options) override {
        std::vector<BatchResult> out(statements.size());
        if (PQtransactionStatus(conn_) != PQTRANS_IDLE) {
            // Inside a transaction one failure would abort the rest: run them one by one.
            return Connection::execute_batch(statements, options);
        }
        // Chunks keep both socket buffers from filling while we still send.
        const std::size_t chunk = 64;
        for (std::size_t begin = 0; begin < statements.size(); begin += chunk) {
            const std::size_t end = std::min(statements.size(), begin + chunk);
            if (!PQenterPipelineMode(conn_)) {
                throw DatabaseError(connection_message());
            }
            for (std::size_t i = begin; i < end; ++i) {
                if (!PQsendQueryParams(conn_, statements[i].c_str(), 0, nullptr, nullptr, nullptr,
                                       nullptr, 0) ||
                    !PQpipelineSync(conn_)) {
                    std::string message = connection_message();
                    PQexitPipelineMode(conn_);
                    throw DatabaseError(message);
                }
            }
            for (std::size_t i = begin; i < end; ++i) {
                RowCollector rows(out[i].result, options);
                // Each statement gives its result, a NULL, then the sync marker.
                for (;;) {
                    PGresult* raw = PQgetResult(conn_);
                    if (raw == nullptr) {
                        if (PQstatus(conn_) == CONNECTION_BAD) {
                            throw DatabaseError(connection_message());
                        }
                        continue;
                    }
                    ResultPtr r(raw);
                    const ExecStatusType status = PQresultStatus(raw);
                    if (status == PGRES_PIPELINE_SYNC) {
                        break;
                    }
                    if (status == PGRES_TUPLES_OK || status == PGRES_SINGLE_TUPLE) {
                        // libpq may keep single-row mode from an earlier statement.
                        if (out[i].result.columns.empty()) {
                            read_columns(raw, out[i].result);
                        }
                        read_rows(raw, rows, options, {}, 0);
                    } else if (status == PGRES_COMMAND_OK) {
                    } else if (out[i].error.empty()) {
                        out[i].error = result_message(raw);
                        if (PQstatus(conn_) == CONNECTION_BAD) {
                            throw DatabaseError(out[i].error);
                        }
                    }
                }
                resolve_type_names(out[i].result);
            }
            if (!PQexitPipelineMode(conn_)) {
                throw DatabaseError(connection_message());
            }
        }
        return out;
    }

    void begin(bool read_only) override { command(read_only ? "BEGIN READ ONLY" : "BEGIN"); }
    void commit() override { command("COMMIT"); }
    void rollback() override { command("ROLLBACK"); }

    void set_statement_timeout(int milliseconds) override {
        command("SET statement_timeout = " + std::to_string(milliseconds));
    }

    std::string server_name() override { return "PostgreSQL"; }

    bool is_alive() override {
        if (PQstatus(conn_) != CONNECTION_OK) {
            return false;
        }
        ResultPtr r(PQexec(conn_, "SELECT 1"));
        return r && PQresultStatus(r.get()) == PGRES_TUPLES_OK;
    }

private:
    using Clock = std::chrono::steady_clock;

    // Reads the results of the statement just sent until the server is done. Rows of
    // `cut` columns arrive cut on the server to cut_chars + 1 characters; they are cut to
    // cut_chars bytes here and marked. Past the deadline the statement is cancelled and the
    // connection closed.
    ResultSet collect(const ExecuteOptions& options, Clock::time_point deadline,
                      const std::vector<bool>& cut, std::size_t cut_chars = 0) {
        ResultSet out;
        RowCollector rows(out, options);
        std::string error;
        std::string error_state;
        bool columns_known = false;
        for (;;) {
            PGresult* raw = next_result(deadline);
            if (raw == nullptr) {
                break;
            }
            ResultPtr r(raw);
            const ExecStatusType status = PQresultStatus(raw);
            if (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK) {
                if (!columns_known) {
                    read_columns(raw, out);
                    columns_known = true;
                }
                read_rows(raw, rows, options, cut, cut_chars);
            } else {
                const bool first_error = error.empty();
                take_result_without_rows(raw, out.affected_rows, error);
                if (first_error && !error.empty()) {
                    const char* state = PQresultErrorField(raw, PG_DIAG_SQLSTATE);
                    error_state = state ? state : "";
                }
            }
        }
        if (!error.empty()) {
            if (error_state == "57014" && deadline != Clock::time_point::max()) {
                // Stopped by the statement time-out: the connection is not trusted again.
                close_broken();
                throw StatementTimeout(error);
            }
            throw DatabaseError(error);
        }
        return out;
    }

    // The next result of the statement in flight, waiting at most until the deadline; past
    // it the statement is cancelled, the connection closed and a DatabaseError thrown.
    PGresult* next_result(Clock::time_point deadline) {
        while (PQisBusy(conn_)) {
            const Clock::time_point now = Clock::now();
            if (now >= deadline) {
                stop_backend();
                throw StatementTimeout("the statement did not end within its time-out of " +
                                       std::to_string(timeout_ms_) +
                                       " ms and was cancelled; the connection was closed");
            }
            pollfd p{PQsocket(conn_), POLLIN, 0};
            const auto wait =
                deadline == Clock::time_point::max()
                    ? -1
                    : static_cast<int>(
                          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)
                              .count()) +
                          1;
            if (poll(&p, 1, wait) < 0 && errno != EINTR) {
                close_broken();
                throw DatabaseUnavailable("lost the connection to PostgreSQL while waiting for it");
            }
            if (!PQconsumeInput(conn_)) {
                std::string message = connection_message();
                close_broken();
                throw DatabaseError(message);
            }
        }
        return PQgetResult(conn_);
    }

    static std::vector<const char*>
    param_values(const std::vector<std::optional<std::string>>& params) {
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const auto& p : params) {
            values.push_back(p ? p->c_str() : nullptr);
        }
        return values;
    }

    // Parses the statement as the unnamed prepared statement (one statement, as the extended
    // protocol always takes) and describes its columns, both in one round trip. Gives the
    // result format to execute it in: binary (1) when every column's type has a binary form
    // the host reads, text (0) otherwise. The server's refusal is left in `error`.
    int describe_unnamed(const std::string& sql, int n_params, std::string& error) {
        if (!PQenterPipelineMode(conn_)) {
            throw DatabaseError(connection_message());
        }
        if (!PQsendPrepare(conn_, "", sql.c_str(), n_params, nullptr) ||
            !PQsendDescribePrepared(conn_, "") || !PQpipelineSync(conn_)) {
            std::string message = connection_message();
            close_broken();
            throw DatabaseError(message);
        }
        // The parse's result, then the description's, each followed by a NULL; then the sync.
        ResultPtr described;
        int results = 0;
        for (;;) {
            PGresult* raw = next_result(Clock::time_point::max());
            if (raw == nullptr) {
                if (PQstatus(conn_) == CONNECTION_BAD) {
                    std::string message = connection_message();
                    close_broken();
                    throw DatabaseError(message);
                }
                continue;
            }
            ResultPtr r(raw);
            const ExecStatusType status = PQresultStatus(raw);
            if (status == PGRES_PIPELINE_SYNC) {
                break;
            }
            ++results;
            if (status == PGRES_COMMAND_OK) {
                if (results == 2) {
                    described = std::move(r);
                }
            } else if (status != PGRES_PIPELINE_ABORTED && error.empty()) {
                error = result_message(raw);
            }
        }
        if (!PQexitPipelineMode(conn_)) {
            throw DatabaseError(connection_message());
        }
        if (!error.empty() || !described || PQnfields(described.get()) == 0) {
            return 0;
        }
        for (int c = 0; c < PQnfields(described.get()); ++c) {
            if (!binary_form(PQftype(described.get(), c))) {
                return 0;
            }
        }
        return 1;
    }

    // The form of each column of a result.
    static std::vector<ValueForm> value_forms_of(const PGresult* r) {
        std::vector<ValueForm> forms(static_cast<std::size_t>(PQnfields(r)), ValueForm::Text);
        for (int c = 0; c < PQnfields(r); ++c) {
            if (PQfformat(r, c) == 1) {
                forms[c] = binary_form(PQftype(r, c)).value_or(ValueForm::Other);
            }
        }
        return forms;
    }

    // Sends one statement with text parameters ($1, ...; nullopt is NULL) in text format.
    void send_params(const std::string& sql,
                     const std::vector<std::optional<std::string>>& params) {
        const std::vector<const char*> values = param_values(params);
        if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0)) {
            throw DatabaseError(connection_message());
        }
    }

    // The first result of the command in flight, the rest read and dropped, under the deadline.
    ResultPtr first_result(Clock::time_point deadline) {
        ResultPtr first;
        while (PGresult* r = next_result(deadline)) {
            if (!first) {
                first.reset(r);
            } else {
                PQclear(r);
            }
        }
        return first;
    }

    // A simple-protocol command (several statements allowed) under the deadline; the rows of
    // the statement that returned rows.
    ResultSet simple(const std::string& sql, Clock::time_point deadline) {
        if (!PQsendQuery(conn_, sql.c_str())) {
            std::string message = connection_message();
            close_broken();
            throw DatabaseError(message);
        }
        return collect({}, deadline, {});
    }

    // How generated SQL's names resolve on this connection; the data schemas are the
    // connection's current schema, read once.
    PgResolution& resolution() {
        if (!resolution_) {
            const ResultSet r = execute("SELECT current_schema()", {});
            std::vector<std::string> schemas;
            if (!r.rows.empty() && !r.rows[0].empty() && r.rows[0][0].type != CellType::Null) {
                schemas.push_back(r.rows[0][0].text);
            }
            resolution_.emplace(allowed_, std::move(schemas));
        }
        return *resolution_;
    }

    using PgRows = std::vector<PgResolvedName>;

    static PgRows resolved_names(const ResultSet& r) {
        PgRows out;
        out.reserve(r.rows.size());
        for (const Row& row : r.rows) {
            if (row.size() == 5) {
                out.push_back({row[0].text, row[1].text, row[2].text, row[3].text,
                               row[4].type == CellType::Bool && row[4].boolean});
            }
        }
        return out;
    }

    // Ends a guarded statement: nothing it did is kept, and the session is as new (DISCARD
    // ALL also drops prepared statements, advisory locks, temporary tables and settings).
    void end_guarded(Clock::time_point deadline) {
        simple("ROLLBACK", deadline);
        simple("DISCARD ALL", deadline);
    }

    ResultSet guarded_query(const std::string& sql, const PgStatementShape& shape,
                            const ExecuteOptions& options, Clock::time_point deadline) {
        if (shape.explain || (options.max_cell_bytes == 0 && options.max_result_bytes == 0)) {
            return send_and_collect(sql, options, deadline, {}, 0);
        }
        // The query's columns, so that every long value can be cut on the server: libpq holds
        // a whole row in memory, so a cell must never arrive longer than the bound.
        // Both under the deadline: a server that stops answering must not hold the call.
        if (!PQsendPrepare(conn_, "", sql.c_str(), 0, nullptr)) {
            throw DatabaseError(connection_message());
        }
        ResultPtr prepared = first_result(deadline);
        if (!prepared || PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
            throw DatabaseError(prepared ? result_message(prepared.get()) : connection_message());
        }
        if (!PQsendDescribePrepared(conn_, "")) {
            throw DatabaseError(connection_message());
        }
        ResultPtr described = first_result(deadline);
        if (!described || PQresultStatus(described.get()) != PGRES_COMMAND_OK) {
            throw DatabaseError(described ? result_message(described.get()) : connection_message());
        }
        const int n = PQnfields(described.get());
        if (n == 0) {
            return send_and_collect(sql, options, deadline, {}, 0);
        }
        std::size_t cut_chars = options.max_cell_bytes > 0 ? options.max_cell_bytes : SIZE_MAX;
        if (options.max_result_bytes > 0) {
            // A row of many wide columns must fit the result's bound too (4 bytes a character
            // at most).
            cut_chars =
                std::min(cut_chars, std::max<std::size_t>(64, options.max_result_bytes / (4 * n)));
        }
        std::vector<bool> cut(n, false);
        source_oids_.assign(n, 0);
        for (int c = 0; c < n; ++c) {
            source_oids_[c] = PQftype(described.get(), c);
        }
        struct Forget {
            std::vector<unsigned>& oids;
            ~Forget() { oids.clear(); }
        } forget{source_oids_};
        std::string outer = "SELECT ";
        std::string aliases;
        for (int c = 0; c < n; ++c) {
            const std::string col = "q.c" + std::to_string(c + 1);
            cut[c] = !short_text_form(PQftype(described.get(), c));
            outer +=
                (c ? ", " : "") +
                (cut[c] ? "left(" + col + "::text, " + std::to_string(cut_chars + 1) + ")" : col);
            aliases += (c ? ", c" : "c") + std::to_string(c + 1);
        }
        // The query as the parser saw it, on lines of its own so that a closing line comment
        // cannot reach the wrapper's text.
        const std::string body = shape.length > 0 ? sql.substr(shape.location, shape.length)
                                                  : sql.substr(shape.location);
        outer += " FROM (\n" + body + "\n) AS q(" + aliases + ")";
        ResultSet out = send_and_collect(outer, options, deadline, cut, cut_chars, described.get());
        return out;
    }

    ResultSet send_and_collect(const std::string& sql, const ExecuteOptions& options,
                               Clock::time_point deadline, const std::vector<bool>& cut,
                               std::size_t cut_chars, const PGresult* described = nullptr) {
        if (!PQsendQueryParams(conn_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0)) {
            std::string message = connection_message();
            close_broken();
            throw DatabaseError(message);
        }
        PQsetSingleRowMode(conn_);
        ResultSet out = collect(options, deadline, cut, cut_chars);
        if (described != nullptr) {
            // The wrapper's columns are text; name and type them as the query's own.
            const int n = PQnfields(described);
            out.columns.resize(n);
            for (int c = 0; c < n; ++c) {
                const unsigned oid = PQftype(described, c);
                out.columns[c].name = PQfname(described, c);
                out.columns[c].type = cell_type_of(oid);
                out.columns[c].type_name = type_name_of(oid);
            }
        }
        resolve_type_names(out);
        return out;
    }

    void close_broken() {
        broken_ = true;
        if (conn_ != nullptr) {
            PQfinish(conn_);
            conn_ = nullptr;
        }
    }

    void command(const std::string& sql) {
        ResultPtr r(PQexec(conn_, sql.c_str()));
        if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            throw DatabaseError(r ? result_message(r.get()) : connection_message());
        }
    }

    // Engine messages are cut to a few kB before anything copies them: an error may quote a
    // value of any size.
    std::string connection_message() const {
        return mask_secret(bounded_message(PQerrorMessage(conn_)), password_);
    }

    std::string result_message(const PGresult* r) const {
        const char* m = PQresultErrorMessage(r);
        if (m == nullptr || *m == '\0') {
            m = PQerrorMessage(conn_);
        }
        return mask_secret(bounded_message(m), password_);
    }

    // Notices (RAISE NOTICE, warnings) of one statement: the first few kB are kept and written
    // to standard error once it ends, the rest counted.
    static void keep_notice(void* self, const char* message) {
        static_cast<PgConnection*>(self)->notices_.add(message);
    }

    void print_notices() {
        const std::string text = notices_.text();
        if (!text.empty()) {
            print_err(text);
        }
        notices_.start();
    }

    // Past the client deadline the connection is closed at once, so that the caller is back
    // at the deadline; the backend is stopped behind it (stop_backend_later): the statement is
    // cancelled and, a moment later, the backend terminated from a second session of the same
    // role, for when it never took the cancel or never saw the connection close.
    void stop_backend() {
        if (conn_ == nullptr) {
            return;
        }
        stop_backend_later(settings_, PQbackendPID(conn_), PQgetCancel(conn_));
        close_broken();
    }

    void read_columns(const PGresult* r, ResultSet& out) {
        const int n = PQnfields(r);
        out.columns.resize(n);
        oids_.resize(n);
        for (int c = 0; c < n; ++c) {
            const unsigned oid = PQftype(r, c);
            oids_[c] = oid;
            out.columns[c].name = PQfname(r, c);
            out.columns[c].type = cell_type_of(oid);
            out.columns[c].type_name = type_name_of(oid);
        }
    }

    // Rows of a result in single-row mode. A row past the budget is dropped, never a reason
    // to stop: the server sends the rest of them all the same.
    void read_rows(const PGresult* r, RowCollector& rows, const ExecuteOptions& options,
                   const std::vector<bool>& cut, std::size_t cut_chars) {
        const std::vector<Column>& columns = rows.result().columns;
        const int count = PQntuples(r);
        const int cols = PQnfields(r);
        for (int i = 0; i < count; ++i) {
            if (rows.next() != RowCollector::Next::Keep) {
                continue;
            }
            Row row;
            row.reserve(cols);
            for (int c = 0; c < cols; ++c) {
                if (PQgetisnull(r, i, c)) {
                    row.push_back(Cell::null());
                    continue;
                }
                const std::string_view v(PQgetvalue(r, i, c), PQgetlength(r, i, c));
                const unsigned oid =
                    c < static_cast<int>(source_oids_.size()) ? source_oids_[c] : oids_[c];
                row.push_back(bounded_cell(oid, v, options, columns[c].name,
                                           !cut.empty() && cut[c] ? cut_chars : 0));
            }
            rows.add(std::move(row));
        }
    }

    // A cell of type oid from the server's text, cut to max_cell_bytes bytes. When server_cut
    // is not 0 the server already cut the value to server_cut + 1 characters, so more than
    // server_cut characters means it was longer.
    static Cell bounded_cell(unsigned oid, std::string_view v, const ExecuteOptions& options,
                             const std::string& column, std::size_t server_cut) {
        if (!is_valid_utf8(v)) {
            throw DatabaseError("the value of column '" + column + "' is not valid UTF-8 text");
        }
        std::size_t limit = options.max_cell_bytes;
        if (server_cut > 0) {
            limit = limit > 0 ? std::min(limit, server_cut) : server_cut;
        }
        // The end of the longest prefix of at most `limit` bytes and server_cut characters.
        std::size_t keep = v.size();
        bool cut = false;
        if (limit > 0) {
            keep = utf8_prefix_length(v, limit);
            if (server_cut > 0) {
                keep = utf8_offset(v.substr(0, keep), server_cut);
            }
            cut = keep < v.size();
        }
        if (!cut) {
            return make_cell(oid, v.data(), static_cast<int>(v.size()));
        }
        Cell cell = oid == BYTEAOID ? bytea_cell(v.data(), static_cast<int>(keep & ~std::size_t(1)))
                                    : Cell::of_text(std::string(v.substr(0, keep)));
        cell.text += "...";
        return cell;
    }

    // Column types that are not built in (domains, enums, arrays) are named by the server.
    void resolve_type_names(ResultSet& out) {
        for (Column& c : out.columns) {
            if (c.type_name.empty() || !std::isdigit(static_cast<unsigned char>(c.type_name[0]))) {
                continue;
            }
            auto known = type_names_.find(c.type_name);
            if (known == type_names_.end()) {
                const char* values[] = {c.type_name.c_str()};
                ResultPtr r(PQexecParams(conn_, "SELECT format_type($1::oid, NULL)", 1, nullptr,
                                         values, nullptr, nullptr, 0));
                std::string name = c.type_name;
                if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK && PQntuples(r.get()) == 1) {
                    name = PQgetvalue(r.get(), 0, 0);
                }
                known = type_names_.emplace(c.type_name, name).first;
            }
            c.type_name = known->second;
        }
    }

    ConnectSettings settings_;
    PGconn* conn_ = nullptr;
    NoticeBudget notices_;
    std::string password_;
    int timeout_ms_ = 0;
    FunctionAllowList allowed_;
    std::optional<PgResolution> resolution_;
    bool broken_ = false;
    std::vector<unsigned> oids_;
    std::vector<unsigned> source_oids_; // the query's own column types under the cutting wrapper
    std::unordered_map<std::string, std::string> type_names_;
};

} // namespace

std::unique_ptr<Connection> open_postgresql(const ConnectSettings& settings) {
    return std::make_unique<PgConnection>(settings);
}

} // namespace zolviai::sql::drivers
