// PostgreSQL through libpq: the extended protocol (one statement per call), rows streamed
// in single-row mode so that only the kept rows stay in memory, and a pipeline for batches.
#include "sql/drivers/drivers.hpp"
#include "zolviai/core/error.hpp"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <libpq-fe.h>
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

const char* builtin_type_name(unsigned oid) {
    switch (oid) {
    case BOOLOID:
        return "boolean";
    case BYTEAOID:
        return "bytea";
    case CHAROID:
        return "\"char\"";
    case NAMEOID:
        return "name";
    case INT8OID:
        return "bigint";
    case INT2OID:
        return "smallint";
    case INT4OID:
        return "integer";
    case TEXTOID:
        return "text";
    case OIDOID:
        return "oid";
    case JSONOID:
        return "json";
    case FLOAT4OID:
        return "real";
    case FLOAT8OID:
        return "double precision";
    case BPCHAROID:
        return "character";
    case VARCHAROID:
        return "character varying";
    case DATEOID:
        return "date";
    case TIMEOID:
        return "time without time zone";
    case TIMESTAMPOID:
        return "timestamp without time zone";
    case TIMESTAMPTZOID:
        return "timestamp with time zone";
    case INTERVALOID:
        return "interval";
    case TIMETZOID:
        return "time with time zone";
    case NUMERICOID:
        return "numeric";
    case UUIDOID:
        return "uuid";
    case JSONBOID:
        return "jsonb";
    default:
        return nullptr;
    }
}

CellType cell_type_of(unsigned oid) {
    switch (oid) {
    case BOOLOID:
        return CellType::Bool;
    case BYTEAOID:
        return CellType::Bytes;
    case INT8OID:
    case INT2OID:
    case INT4OID:
    case OIDOID:
        return CellType::Integer;
    case FLOAT4OID:
    case FLOAT8OID:
        return CellType::Float;
    case NUMERICOID:
        return CellType::Decimal;
    case DATEOID:
        return CellType::Date;
    case TIMEOID:
    case TIMETZOID:
        return CellType::Time;
    case TIMESTAMPOID:
        return CellType::Timestamp;
    case TIMESTAMPTZOID:
        return CellType::TimestampTz;
    case INTERVALOID:
        return CellType::Interval;
    case JSONOID:
    case JSONBOID:
        return CellType::Json;
    case UUIDOID:
        return CellType::Uuid;
    default:
        return CellType::Text;
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// bytea in the hex output format ("\x0102").
Cell bytea_cell(const char* v, int len) {
    if (len < 2 || v[0] != '\\' || v[1] != 'x') {
        return Cell::of_bytes(std::string(v, len));
    }
    std::string out;
    out.reserve((len - 2) / 2);
    for (int i = 2; i + 1 < len; i += 2) {
        out.push_back(static_cast<char>(hex_value(v[i]) * 16 + hex_value(v[i + 1])));
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

Cell make_cell(unsigned oid, const char* v, int len) {
    DateTime t;
    switch (oid) {
    case BOOLOID:
        return Cell::of_bool(v[0] == 't');
    case INT8OID:
    case INT2OID:
    case INT4OID:
    case OIDOID:
        return Cell::of_int(std::strtoll(v, nullptr, 10));
    case FLOAT4OID:
    case FLOAT8OID:
        return Cell::of_float(std::strtod(v, nullptr));
    case NUMERICOID:
        return Cell::of_decimal(std::string(v, len));
    case BYTEAOID:
        return bytea_cell(v, len);
    case DATEOID:
        if (parse_date(std::string_view(v, len), t)) {
            return Cell::of_date(t.year, t.month, t.day);
        }
        break;
    case TIMEOID:
    case TIMETZOID:
        if (parse_time(std::string_view(v, len), t)) {
            return Cell::of_time(t);
        }
        break;
    case TIMESTAMPOID:
    case TIMESTAMPTZOID:
        if (parse_timestamp(std::string_view(v, len), t)) {
            return Cell::of_timestamp(t);
        }
        break;
    case INTERVALOID: {
        Interval span;
        if (parse_interval(std::string_view(v, len), span)) {
            return Cell::of_interval(span);
        }
        break;
    }
    case JSONOID:
    case JSONBOID:
        return Cell::of_json(std::string(v, len));
    case UUIDOID:
        return Cell::of_uuid(std::string_view(v, len));
    default:
        break;
    }
    // Values Python's datetime cannot hold (infinity, BC dates) stay text.
    return Cell::of_text(std::string(v, len));
}

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;

class PgConnection final : public Connection {
public:
    explicit PgConnection(const ConnectSettings& settings) : password_(settings.password) {
        const std::string port = settings.port > 0 ? std::to_string(settings.port) : "";
        const std::string timeout = std::to_string(settings.connect_timeout_seconds);
        std::string options = "-c DateStyle=ISO -c IntervalStyle=postgres -c extra_float_digits=1";
        if (settings.read_only) {
            options += " -c default_transaction_read_only=on";
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
            throw DatabaseError("could not connect to PostgreSQL: " +
                                scrub(trim_message(message), password_));
        }
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
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const auto& p : params) {
            values.push_back(p ? p->c_str() : nullptr);
        }
        if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0)) {
            throw DatabaseError(connection_message());
        }
        PQsetSingleRowMode(conn_);
        ResultSet out;
        std::string error;
        bool columns_known = false;
        while (PGresult* raw = PQgetResult(conn_)) {
            ResultPtr r(raw);
            const ExecStatusType status = PQresultStatus(raw);
            if (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK) {
                if (!columns_known) {
                    read_columns(raw, out);
                    columns_known = true;
                }
                read_rows(raw, out, options);
            } else if (status == PGRES_COMMAND_OK) {
                const char* affected = PQcmdTuples(raw);
                out.affected_rows = (affected && *affected) ? std::atoll(affected) : -1;
            } else if (error.empty()) {
                error = result_message(raw);
            }
        }
        if (!error.empty()) {
            throw DatabaseError(error);
        }
        resolve_type_names(out);
        return out;
    }

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
                        read_rows(raw, out[i].result, options);
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
    void command(const std::string& sql) {
        ResultPtr r(PQexec(conn_, sql.c_str()));
        if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
            throw DatabaseError(r ? result_message(r.get()) : connection_message());
        }
    }

    std::string connection_message() const {
        return scrub(trim_message(PQerrorMessage(conn_)), password_);
    }

    std::string result_message(const PGresult* r) const {
        std::string m = PQresultErrorMessage(r);
        if (m.empty()) {
            m = PQerrorMessage(conn_);
        }
        return scrub(trim_message(m), password_);
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
            const char* name = builtin_type_name(oid);
            out.columns[c].type_name = name ? name : std::to_string(oid);
        }
    }

    void read_rows(const PGresult* r, ResultSet& out, const ExecuteOptions& options) {
        const int rows = PQntuples(r);
        const int cols = PQnfields(r);
        for (int i = 0; i < rows; ++i) {
            ++out.total_rows;
            if (!keep_row(options, out)) {
                continue;
            }
            Row row;
            row.reserve(cols);
            for (int c = 0; c < cols; ++c) {
                if (PQgetisnull(r, i, c)) {
                    row.push_back(Cell::null());
                } else {
                    row.push_back(make_cell(oids_[c], PQgetvalue(r, i, c), PQgetlength(r, i, c)));
                }
            }
            out.rows.push_back(std::move(row));
        }
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

    PGconn* conn_ = nullptr;
    std::string password_;
    std::vector<unsigned> oids_;
    std::unordered_map<std::string, std::string> type_names_;
};

} // namespace

std::unique_ptr<Connection> open_postgresql(const ConnectSettings& settings) {
    return std::make_unique<PgConnection>(settings);
}

} // namespace zolviai::sql::drivers
