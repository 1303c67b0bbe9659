// SQLite through libsqlite3. A read-only session sets query_only and an authorizer that
// allows reading only, and a progress handler stops statements past their time-out.
#include "sql/drivers/drivers.hpp"
#include "zolviai/core/error.hpp"

#include <chrono>
#include <cstring>
#include <sqlite3.h>

namespace zolviai::sql::drivers {

namespace {

using Clock = std::chrono::steady_clock;

bool reading_pragma(const char* name) {
    static const char* const names[] = {
        "table_info",      "table_xinfo",       "table_list",       "index_list",
        "index_info",      "index_xinfo",       "foreign_key_list", "database_list",
        "collation_list",  "function_list",     "module_list",      "pragma_list",
        "compile_options", "foreign_key_check", "quick_check",      "integrity_check"};
    for (const char* n : names) {
        if (sqlite3_stricmp(n, name) == 0) {
            return true;
        }
    }
    return false;
}

int read_only_authorizer(void*, int action, const char* a1, const char* a2, const char*,
                         const char*) {
    switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
    case SQLITE_TRANSACTION:
        return SQLITE_OK;
    case SQLITE_UPDATE:
        // Reading the schema table joined with a table-valued PRAGMA asks for this; the
        // schema table cannot be written without writable_schema, which is denied, and
        // query_only stops every write anyway.
        return (a1 != nullptr && (sqlite3_stricmp(a1, "sqlite_master") == 0 ||
                                  sqlite3_stricmp(a1, "sqlite_schema") == 0))
                   ? SQLITE_OK
                   : SQLITE_DENY;
    case SQLITE_PRAGMA:
        // A PRAGMA without an argument reads its setting; with one it sets it, except the
        // catalog PRAGMAs whose argument is a table or index name.
        return (a2 == nullptr || reading_pragma(a1)) ? SQLITE_OK : SQLITE_DENY;
    default:
        return SQLITE_DENY;
    }
}

class SqliteConnection final : public Connection {
public:
    explicit SqliteConnection(const ConnectSettings& settings) {
        const std::string path = settings.database.empty() ? ":memory:" : settings.database;
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI;
        if (settings.sqlite_create) {
            flags |= SQLITE_OPEN_CREATE;
        }
        const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) {
            std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close(db_);
            db_ = nullptr;
            throw DatabaseError("could not open SQLite database '" + path + "': " + message);
        }
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, std::max(1, settings.connect_timeout_seconds) * 1000);
        sqlite3_progress_handler(db_, 1000, &SqliteConnection::progress, this);
        timeout_ms_ = settings.statement_timeout_ms;
        if (settings.read_only) {
            execute("PRAGMA query_only = 1", {});
            sqlite3_set_authorizer(db_, &read_only_authorizer, nullptr);
        }
    }

    ~SqliteConnection() override { sqlite3_close_v2(db_); }

    Engine engine() const override { return Engine::Sqlite; }

    ResultSet execute(const std::string& sql, const ExecuteOptions& options) override {
        return execute_params(sql, {}, options);
    }

    ResultSet execute_params(const std::string& sql,
                             const std::vector<std::optional<std::string>>& params,
                             const ExecuteOptions& options) override {
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        start_clock();
        if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail) !=
            SQLITE_OK) {
            throw DatabaseError(message());
        }
        Statement guard{stmt};
        if (tail != nullptr && *tail != '\0') {
            sqlite3_stmt* next = nullptr;
            sqlite3_prepare_v2(db_, tail, -1, &next, nullptr);
            if (next != nullptr) {
                sqlite3_finalize(next);
                throw DatabaseError("You can only execute one statement at a time.");
            }
        }
        ResultSet out;
        if (stmt == nullptr) {
            return out; // only comments
        }
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int slot = static_cast<int>(i) + 1;
            if (params[i]) {
                sqlite3_bind_text(stmt, slot, params[i]->data(),
                                  static_cast<int>(params[i]->size()), SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_null(stmt, slot);
            }
        }
        const int n = sqlite3_column_count(stmt);
        out.columns.resize(n);
        for (int c = 0; c < n; ++c) {
            out.columns[c].name = sqlite3_column_name(stmt, c);
            const char* decl = sqlite3_column_decltype(stmt, c);
            out.columns[c].type_name = decl ? decl : "";
            out.columns[c].type = CellType::Null;
        }
        for (;;) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_DONE) {
                break;
            }
            if (rc != SQLITE_ROW) {
                throw DatabaseError(message());
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
            for (int c = 0; c < n; ++c) {
                row.push_back(cell(stmt, c));
                if (out.columns[c].type == CellType::Null) {
                    out.columns[c].type = row.back().type;
                }
            }
            out.rows.push_back(std::move(row));
        }
        if (n == 0) {
            out.columns.clear();
            out.affected_rows = sqlite3_changes(db_);
        }
        return out;
    }

    void begin(bool) override { execute("BEGIN", {}); }
    void commit() override { execute("COMMIT", {}); }
    void rollback() override {
        if (!sqlite3_get_autocommit(db_)) {
            execute("ROLLBACK", {});
        }
    }

    void set_statement_timeout(int milliseconds) override { timeout_ms_ = milliseconds; }

    std::string server_name() override { return "SQLite"; }
    bool is_alive() override { return db_ != nullptr; }

private:
    struct Statement {
        sqlite3_stmt* stmt;
        ~Statement() { sqlite3_finalize(stmt); }
    };

    static int progress(void* self) {
        auto* c = static_cast<SqliteConnection*>(self);
        return (c->timeout_ms_ > 0 && Clock::now() > c->deadline_) ? 1 : 0;
    }

    void start_clock() { deadline_ = Clock::now() + std::chrono::milliseconds(timeout_ms_); }

    std::string message() const {
        const int code = sqlite3_errcode(db_);
        std::string m = sqlite3_errmsg(db_);
        if (code == SQLITE_INTERRUPT) {
            m += " (statement time-out of " + std::to_string(timeout_ms_) + " ms reached)";
        }
        return m;
    }

    static Cell cell(sqlite3_stmt* stmt, int c) {
        switch (sqlite3_column_type(stmt, c)) {
        case SQLITE_INTEGER:
            return Cell::of_int(sqlite3_column_int64(stmt, c));
        case SQLITE_FLOAT:
            return Cell::of_float(sqlite3_column_double(stmt, c));
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
            return Cell::of_text(std::string(text, sqlite3_column_bytes(stmt, c)));
        }
        case SQLITE_BLOB: {
            const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, c));
            const int len = sqlite3_column_bytes(stmt, c);
            return Cell::of_bytes(blob ? std::string(blob, len) : std::string());
        }
        default:
            return Cell::null();
        }
    }

    sqlite3* db_ = nullptr;
    int timeout_ms_ = 0;
    Clock::time_point deadline_;
};

} // namespace

std::unique_ptr<Connection> open_sqlite(const ConnectSettings& settings) {
    return std::make_unique<SqliteConnection>(settings);
}

} // namespace zolviai::sql::drivers
