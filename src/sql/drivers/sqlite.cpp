// SQLite through libsqlite3. SQLite runs inside our process, so on a read-only connection, the
// one generated SQL runs on, the engine itself is hardened when the file is opened: query_only,
// defensive mode, no extension loading, no FTS3 tokenizer pointers, no ATTACH, lengths capped
// so that no value a query makes can be large, and linear versions of the built-ins that would
// otherwise compare every position of one string with another (sqlite_functions.hpp).
//
// Generated SQL is judged by SQLite's own compiler: the statement is prepared under a strict
// authorizer, and whatever the authorizer denied is a refusal that names it. A statement that
// fails to prepare for an ordinary reason (no such table, a syntax error) is not a refusal:
// refusal_reason returns nothing and execute_guarded, which prepares it again, reports the
// engine's own message, so that the model sees the error it can fix.
#include "sql/drivers/drivers.hpp"
#include "sql/drivers/policies.hpp"
#include "sql/drivers/session_bounds.hpp"
#include "sql/drivers/sqlite_functions.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/guard.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <sqlite3.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace zolviai::sql::drivers {

namespace {

using Clock = std::chrono::steady_clock;

// The longest string or blob a guarded connection makes or reads (SQLITE_LIMIT_LENGTH). A
// result cell is cut far below this (ExecuteOptions::max_cell_bytes, 64 kB by default); the
// limit is what bounds a single function call's memory and time (printf widths, zeroblob,
// randomblob, replace, group_concat), and it still lets stored values of up to 1 MiB be read.
// A stored value above it reads as "string or blob too big".
constexpr int max_value_bytes = 1 << 20;
// LIKE and GLOB cost the product of the pattern's length and the text's: 500 bytes over a
// 1 MiB text is about 0.7 s in one call, which no time-out can interrupt.
constexpr int max_like_pattern_bytes = 500;
// SQLite memory a generated statement may add while it runs. The length limit bounds each
// value, not the aggregates that grow by appending (json_group_array keeps growing past it
// and only fails at the end); the progress handler stops a statement whose growth passes
// this. SQLite counts its memory for the whole process, so the figure is generous enough for
// other connections working at the same time.
constexpr sqlite3_int64 max_statement_memory = 32 << 20;
constexpr int max_expression_depth = 500;
constexpr int max_compound_select = 200;
// What one statement may compile to: prepare itself runs no progress handler, so the
// compiled program, the arguments of a call and the columns of a result are held to sizes no
// analytical query comes near. The memory and the time prepare takes are checked each time the
// compiler asks the authorizer (every table, column, function and SELECT it resolves).
constexpr int max_program_ops = 250000;
constexpr int max_function_args = 100;
constexpr int max_columns = 1000;

// The PRAGMAs that only read, and who may read them. The catalog ones take the name of a table
// or an index as their argument; the wrapper's own catalog queries read them, and generated
// SQL may too (as PRAGMA or as pragma_table_info(...)). Settings are read without an argument
// only: with one they set. The rest are for the wrapper's own statements.
struct ReadablePragma {
    const char* name;
    bool generated; // generated SQL may read it
    bool argument;  // also with an argument
};

constexpr ReadablePragma readable_pragmas[] = {
    // catalog
    {"table_info", true, true},
    {"table_xinfo", true, true},
    {"table_list", true, true},
    {"index_list", true, true},
    {"index_info", true, true},
    {"index_xinfo", true, true},
    {"foreign_key_list", true, true},
    {"collation_list", true, true},
    {"function_list", true, true},
    {"module_list", true, true},
    {"pragma_list", true, true},
    // settings
    {"user_version", true, false},
    {"application_id", true, false},
    {"schema_version", true, false},
    {"encoding", true, false},
    {"page_size", true, false},
    {"page_count", true, false},
    {"freelist_count", true, false},
    {"foreign_keys", true, false},
    // the wrapper's
    {"database_list", false, true},
    {"compile_options", false, true},
    {"foreign_key_check", false, true},
    {"quick_check", false, true},
    {"integrity_check", false, true},
};

// Whether the PRAGMA may be read by generated SQL (or else by the wrapper), with an argument
// or without one.
bool readable_pragma(const char* name, bool with_argument, bool by_generated_sql) {
    if (name == nullptr) {
        return false;
    }
    for (const ReadablePragma& p : readable_pragmas) {
        if (sqlite3_stricmp(p.name, name) == 0) {
            return (p.generated || !by_generated_sql) && (p.argument || !with_argument);
        }
    }
    return false;
}

// SQLite's own white space (its tokenizer's), comments and empty statements: what may follow
// the one statement of a text. Anything else is a second statement.
bool only_blank(const char* p, const char* end) {
    while (p < end) {
        const char c = *p;
        if (c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ';') {
            ++p;
        } else if (c == '-' && p + 1 < end && p[1] == '-') {
            while (p < end && *p != '\n') {
                ++p;
            }
        } else if (c == '/' && p + 1 < end && p[1] == '*') {
            const char* close = nullptr;
            for (const char* q = p + 2; q + 1 < end; ++q) {
                if (q[0] == '*' && q[1] == '/') {
                    close = q;
                    break;
                }
            }
            p = close == nullptr ? end : close + 2; // SQLite ends an open comment at the end
        } else {
            return false;
        }
    }
    return true;
}

std::string text_or(const char* s, const char* fallback) {
    return s != nullptr ? s : fallback;
}

// The words of a refusal for an action the guarded authorizer denied.
std::string denied_action(int action, const char* a1, const char* a2) {
    switch (action) {
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
        return "a write to table " + text_or(a1, "?");
    case SQLITE_CREATE_INDEX:
    case SQLITE_CREATE_TEMP_INDEX:
        return "a statement of kind CREATE INDEX";
    case SQLITE_CREATE_TABLE:
    case SQLITE_CREATE_TEMP_TABLE:
        return "a statement of kind CREATE TABLE";
    case SQLITE_CREATE_TRIGGER:
    case SQLITE_CREATE_TEMP_TRIGGER:
        return "a statement of kind CREATE TRIGGER";
    case SQLITE_CREATE_VIEW:
    case SQLITE_CREATE_TEMP_VIEW:
        return "a statement of kind CREATE VIEW";
    case SQLITE_CREATE_VTABLE:
        return "a statement of kind CREATE VIRTUAL TABLE";
    case SQLITE_DROP_INDEX:
    case SQLITE_DROP_TEMP_INDEX:
    case SQLITE_DROP_TABLE:
    case SQLITE_DROP_TEMP_TABLE:
    case SQLITE_DROP_TRIGGER:
    case SQLITE_DROP_TEMP_TRIGGER:
    case SQLITE_DROP_VIEW:
    case SQLITE_DROP_TEMP_VIEW:
    case SQLITE_DROP_VTABLE:
        return "a statement of kind DROP";
    case SQLITE_ALTER_TABLE:
        return "a statement of kind ALTER TABLE";
    case SQLITE_REINDEX:
        return "a statement of kind REINDEX";
    case SQLITE_ANALYZE:
        return "a statement of kind ANALYZE";
    case SQLITE_ATTACH:
        return "ATTACH, which opens another database file";
    case SQLITE_DETACH:
        return "DETACH";
    case SQLITE_TRANSACTION:
        return "a transaction statement (" + text_or(a1, "?") + ")";
    case SQLITE_SAVEPOINT:
        return "a savepoint statement (" + text_or(a1, "?") + ")";
    case SQLITE_PRAGMA:
        if (a2 != nullptr) {
            return "PRAGMA " + text_or(a1, "?") + " with an argument, which sets it";
        }
        return "PRAGMA " + text_or(a1, "?") + ", which is not one generated SQL may read";
    case SQLITE_FUNCTION:
        return "the function " + text_or(a2, "?") +
               " is not on the list of functions generated SQL may call";
    case SQLITE_READ:
        return "the table-valued function " + text_or(a1, "?") +
               " (of the PRAGMAs only the catalog ones may be read)";
    default:
        return "an action SQLite numbers " + std::to_string(action) +
               ", which generated SQL may not take";
    }
}

// The memory one guarded statement may take is also counted where SQLite allocates it, for the
// thread that runs the statement: SQLite's allocator is wrapped once, when the library is
// loaded, and an allocation past the budget of the running statement fails as "out of memory".
// Compiling a statement runs neither the progress handler nor, for long stretches, the
// authorizer (18 nested NOT MATERIALIZED common table expressions are copied into each other
// for 1 GB before anything is resolved), so this is what bounds prepare. SQLite can take an
// allocator only before it is first initialised; where something else in the process did that
// first (a Python host's own sqlite3 module), the budget is checked from the progress handler
// and the authorizer only.
struct AllocationBudget {
    sqlite3_int64 limit = 0;
    sqlite3_int64 used = 0;
    bool exceeded = false;
};

thread_local AllocationBudget* running_budget = nullptr;
sqlite3_mem_methods base_allocator{};

void* budget_malloc(int n) {
    AllocationBudget* b = running_budget;
    if (b != nullptr && b->used + n > b->limit) {
        b->exceeded = true;
        return nullptr;
    }
    void* p = base_allocator.xMalloc(n);
    if (p != nullptr && b != nullptr) {
        b->used += base_allocator.xSize(p);
    }
    return p;
}

void budget_free(void* p) {
    if (AllocationBudget* b = running_budget; b != nullptr && p != nullptr) {
        b->used -= base_allocator.xSize(p);
    }
    base_allocator.xFree(p);
}

void* budget_realloc(void* p, int n) {
    AllocationBudget* b = running_budget;
    const int old = p != nullptr ? base_allocator.xSize(p) : 0;
    if (b != nullptr && n > old && b->used + (n - old) > b->limit) {
        b->exceeded = true;
        return nullptr;
    }
    void* q = base_allocator.xRealloc(p, n);
    if (q != nullptr && b != nullptr) {
        b->used += base_allocator.xSize(q) - old;
    }
    return q;
}

int budget_size(void* p) {
    return base_allocator.xSize(p);
}
int budget_roundup(int n) {
    return base_allocator.xRoundup(n);
}
int budget_init(void* data) {
    return base_allocator.xInit(data);
}
void budget_shutdown(void* data) {
    base_allocator.xShutdown(data);
}

bool install_allocation_budget() {
    if (sqlite3_config(SQLITE_CONFIG_GETMALLOC, &base_allocator) != SQLITE_OK ||
        base_allocator.xMalloc == nullptr) {
        return false;
    }
    sqlite3_mem_methods wrapped = base_allocator;
    wrapped.xMalloc = budget_malloc;
    wrapped.xFree = budget_free;
    wrapped.xRealloc = budget_realloc;
    wrapped.xSize = budget_size;
    wrapped.xRoundup = budget_roundup;
    wrapped.xInit = budget_init;
    wrapped.xShutdown = budget_shutdown;
    return sqlite3_config(SQLITE_CONFIG_MALLOC, &wrapped) == SQLITE_OK;
}

const bool allocation_budget_installed = install_allocation_budget();

// Interrupts the connection's statement at its deadline from a thread of its own: the progress
// handler runs only between the instructions of a program, and not at all while a statement
// compiles, so one long step would otherwise outlast the time-out. A long call inside one
// instruction (a built-in that never checks for an interrupt) still runs to its end: such
// built-ins are left off the list or replaced (sqlite_functions.hpp).
class Interrupter {
public:
    Interrupter(sqlite3* db, std::chrono::steady_clock::time_point deadline, bool active) {
        if (!active) {
            return;
        }
        thread_ = std::thread([this, db, deadline] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!wake_.wait_until(lock, deadline, [this] { return done_; })) {
                sqlite3_interrupt(db);
            }
        });
    }
    ~Interrupter() { stop(); }

    void stop() {
        if (!thread_.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

// Who runs the process: the one whose file permissions bind SQLite.
std::string process_user() {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_name != nullptr) {
        return found->pw_name;
    }
    return "uid " + std::to_string(geteuid());
}

class SqliteConnection final : public Connection {
public:
    explicit SqliteConnection(const ConnectSettings& settings)
        : functions_(sqlite_functions, settings.guard.allowed_functions, "", true),
          guard_(settings.guard), busy_ms_(std::max(1, settings.connect_timeout_seconds) * 1000),
          timeout_ms_(settings.statement_timeout_ms), guarded_(settings.read_only) {
        const std::string path = settings.database.empty() ? ":memory:" : settings.database;
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI;
        if (settings.read_only) {
            // Generated SQL runs on connections that SQLite itself opened read-only: no
            // statement, whatever the guard let through, can write the file.
            flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
        } else if (settings.sqlite_create) {
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
        sqlite3_busy_handler(db_, &SqliteConnection::busy, this);
        sqlite3_progress_handler(db_, 100, &SqliteConnection::progress, this);
        if (settings.read_only) {
            try {
                harden();
            } catch (...) {
                sqlite3_close_v2(db_);
                db_ = nullptr;
                throw;
            }
        }
        sqlite3_set_authorizer(db_, &SqliteConnection::authorize, this);
    }

    ~SqliteConnection() override {
        checked_.reset();
        sqlite3_close_v2(db_);
    }

    Engine engine() const override { return Engine::Sqlite; }

    ResultSet execute(const std::string& sql, const ExecuteOptions& options) override {
        return execute_params(sql, {}, options);
    }

    ResultSet execute_params(const std::string& sql,
                             const std::vector<std::optional<std::string>>& params,
                             const ExecuteOptions& options) override {
        usable();
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        start_clock();
        if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail) !=
            SQLITE_OK) {
            throw DatabaseError(message());
        }
        Statement guard{stmt};
        // A second statement is an error even when it would not prepare: it is never dropped.
        if (tail != nullptr && !only_blank(tail, sql.data() + sql.size())) {
            throw DatabaseError("You can only execute one statement at a time.");
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
        read_rows(stmt, options, false, out);
        if (out.columns.empty()) {
            out.affected_rows = sqlite3_changes(db_);
        }
        return out;
    }

    void begin(bool) override { execute("BEGIN", {}); }
    void commit() override { execute("COMMIT", {}); }
    void rollback() override {
        if (db_ != nullptr && !sqlite3_get_autocommit(db_)) {
            execute("ROLLBACK", {});
        }
    }

    void set_statement_timeout(int milliseconds) override { timeout_ms_ = milliseconds; }

    std::string server_name() override { return "SQLite"; }
    bool is_alive() override { return db_ != nullptr && !broken_; }

    std::optional<std::string> refusal_reason(std::string_view sql) override {
        start_clock(); // preparing may read the schema, under the progress handler
        Prepared p = prepare_generated(sql, true);
        // The statement the check compiled is the one execute_guarded runs next, so that a
        // checked statement is compiled once.
        checked_.reset(p.stmt);
        checked_sql_ = p.stmt != nullptr ? std::string(sql) : std::string();
        return p.refusal;
    }

    ResultSet execute_guarded(const std::string& sql, const ExecuteOptions& options) override {
        usable();
        if (!guarded_) {
            throw StatementRefused(*prepare_generated(sql).refusal);
        }
        start_clock();
        GuardedRun run(*this);
        if (checked_ && checked_sql_ == sql) {
            // Compiled under the same strict authorizer; a schema change since makes SQLite
            // compile it again while it steps, in guarded mode.
            run.stmt = checked_.release();
            checked_sql_.clear();
            ResultSet out;
            read_rows(run.stmt, options, true, out);
            return out;
        }
        checked_.reset();
        Prepared p = prepare_generated(sql);
        if (p.refusal) {
            throw StatementRefused(*p.refusal);
        }
        if (!p.error.empty()) {
            throw DatabaseError(p.error);
        }
        run.stmt = p.stmt;
        ResultSet out;
        read_rows(run.stmt, options, true, out);
        return out;
    }

    bool is_broken() const override { return broken_; }

    PrivilegeReport privileges() override {
        usable();
        PrivilegeReport report;
        report.role = "the operating system user " + process_user();
        const char* file = sqlite3_db_filename(db_, "main");
        const std::string path = file != nullptr ? file : "";
        const bool opened_read_only = sqlite3_db_readonly(db_, "main") == 1;
        if (path.empty()) {
            report.risks.push_back("the database is a private one in memory: nothing written to it "
                                   "outlives the connection");
        } else {
            const bool file_writable = access(path.c_str(), W_OK) == 0;
            const std::size_t slash = path.rfind('/');
            const std::string dir = slash == std::string::npos ? "."
                                    : slash == 0               ? "/"
                                                               : path.substr(0, slash);
            const bool dir_writable = access(dir.c_str(), W_OK) == 0;
            report.can_write = !opened_read_only && file_writable;
            if (!opened_read_only) {
                report.risks.push_back("the file " + path +
                                       " was opened for reading and writing; open it read-only "
                                       "(sqlite:///" +
                                       path + "?mode=ro)");
            }
            if (file_writable) {
                report.risks.push_back("the file " + path + " is writable by " + process_user());
            }
            if (dir_writable) {
                report.risks.push_back("the directory " + dir + " is writable by " +
                                       process_user() +
                                       ": journal files and new databases can "
                                       "be created beside the file");
            }
        }
        // ATTACH and extension loading reach other files and code only where the guard does
        // not stop them.
        report.server_files = !guarded_;
        if (!guarded_) {
            report.risks.push_back("the connection was not opened read-only: ATTACH and the "
                                   "engine's other file access are not refused");
        }
        report.read_only_role_sql =
            "-- SQLite has no roles: a connection may do what the process may do to the file.\n"
            "-- Open the database read-only, with a URI such as sqlite:///" +
            (path.empty() ? std::string("path/to/file.db") : path) +
            "?mode=ro,\n"
            "-- and take the write permission away from the user that runs the process:\n"
            "--   chmod a-w " +
            (path.empty() ? std::string("path/to/file.db") : path) +
            "\n"
            "-- (or give that user a copy of the file it does not own).\n";
        return report;
    }

private:
    enum class Mode {
        Internal, // the driver's own fixed statements
        Wrapper,  // statements of the library itself on a read-only connection (catalog)
        Guarded,  // generated SQL, from prepare to the last row
    };

    struct Statement {
        sqlite3_stmt* stmt;
        ~Statement() { sqlite3_finalize(stmt); }
    };

    struct Finalizer {
        void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
    };

    struct Prepared {
        sqlite3_stmt* stmt = nullptr; // owned by the caller when set
        std::optional<std::string> refusal;
        std::string error; // the engine's message for an ordinary prepare error
    };

    // Generated SQL runs in Guarded mode from prepare to finalize (the authorizer also sees
    // the statements SQLite prepares while stepping, for pragma_* tables), inside a savepoint
    // that is rolled back whatever happens.
    struct GuardedRun {
        explicit GuardedRun(SqliteConnection& c)
            : conn(c), interrupter(c.db_, c.deadline_, c.timeout_ms_ > 0) {
            conn.internal("SAVEPOINT zolviai_generated");
            conn.enter_guarded();
        }
        ~GuardedRun() {
            sqlite3_finalize(stmt);
            interrupter.stop();
            conn.leave_guarded();
            if (conn.internal_status("ROLLBACK TO zolviai_generated") != SQLITE_OK ||
                conn.internal_status("RELEASE zolviai_generated") != SQLITE_OK) {
                conn.broken_ = true; // a transaction we cannot end leaves the handle unusable
            }
        }
        SqliteConnection& conn;
        Interrupter interrupter;
        sqlite3_stmt* stmt = nullptr;
    };

    void harden() {
        const auto config = [&](int op, int value, const char* what) {
            int now = -1;
            if (sqlite3_db_config(db_, op, value, &now) != SQLITE_OK || now != value) {
                throw DatabaseError(std::string("could not harden the SQLite connection: ") + what);
            }
        };
        config(SQLITE_DBCONFIG_DEFENSIVE, 1, "defensive mode");
        config(SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, "fts3_tokenizer");
        config(SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, "extension loading");
#ifdef SQLITE_DBCONFIG_TRUSTED_SCHEMA
        config(SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, "trusted_schema");
#endif
        sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, max_value_bytes);
        sqlite3_limit(db_, SQLITE_LIMIT_LIKE_PATTERN_LENGTH, max_like_pattern_bytes);
        sqlite3_limit(db_, SQLITE_LIMIT_EXPR_DEPTH, max_expression_depth);
        sqlite3_limit(db_, SQLITE_LIMIT_COMPOUND_SELECT, max_compound_select);
        sqlite3_limit(db_, SQLITE_LIMIT_VDBE_OP, max_program_ops);
        sqlite3_limit(db_, SQLITE_LIMIT_FUNCTION_ARG, max_function_args);
        sqlite3_limit(db_, SQLITE_LIMIT_COLUMN, max_columns);
        sqlite3_limit(db_, SQLITE_LIMIT_ATTACHED, 0);
        sqlite3_limit(db_, SQLITE_LIMIT_WORKER_THREADS, 0);
        if (register_bounded_functions(db_) != SQLITE_OK) {
            throw DatabaseError("could not register the bounded string functions: " +
                                std::string(sqlite3_errmsg(db_)));
        }
        if (internal_status("PRAGMA query_only = 1") != SQLITE_OK) {
            throw DatabaseError("could not make the SQLite connection read-only: " +
                                std::string(sqlite3_errmsg(db_)));
        }
        mode_ = Mode::Wrapper;
    }

    void usable() const {
        if (db_ == nullptr || broken_) {
            throw DatabaseError("the SQLite connection can no longer be used; open a new one");
        }
    }

    int internal_status(const char* sql) {
        const Mode saved = mode_;
        mode_ = Mode::Internal;
        const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        mode_ = saved;
        return rc;
    }

    void internal(const char* sql) {
        if (internal_status(sql) != SQLITE_OK) {
            throw DatabaseError(message());
        }
    }

    void enter_guarded() {
        memory_at_start_ = sqlite3_memory_used();
        memory_exceeded_ = false;
        budget_.limit = max_statement_memory;
        budget_.used = 0;
        budget_.exceeded = false;
        running_budget = &budget_;
        saved_mode_ = mode_;
        mode_ = Mode::Guarded;
        const std::size_t max = guard_.max_statement_bytes;
        saved_sql_limit_ =
            sqlite3_limit(db_, SQLITE_LIMIT_SQL_LENGTH,
                          max == 0 ? -1 : static_cast<int>(std::min<std::size_t>(max, INT_MAX)));
    }

    void leave_guarded() {
        running_budget = nullptr;
        sqlite3_limit(db_, SQLITE_LIMIT_SQL_LENGTH, saved_sql_limit_);
        mode_ = saved_mode_;
    }

    // Prepares generated SQL under the guarded authorizer and checks what SQLite made of it.
    // Callers outside a GuardedRun get the statement finalized here.
    // keep: hand back the compiled statement of an allowed text even outside a guarded run.
    Prepared prepare_generated(std::string_view sql, bool keep = false) {
        Prepared out;
        if (!guarded_) {
            out.refusal = "the connection was not opened read-only, and generated SQL runs only "
                          "on a read-only connection";
            return out;
        }
        if (db_ == nullptr || broken_) {
            out.error = "the SQLite connection can no longer be used; open a new one";
            return out;
        }
        if ((out.refusal = shared_refusal(sql, guard_))) {
            return out;
        }
        const bool nested = mode_ == Mode::Guarded;
        if (!nested) {
            enter_guarded();
        }
        denial_.reset();
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        int rc = SQLITE_OK;
        {
            Interrupter interrupter(db_, deadline_, !nested && timeout_ms_ > 0);
            rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), 0, &stmt, &tail);
        }
        if (!nested) {
            leave_guarded();
        }
        Statement owned{stmt};
        if (rc != SQLITE_OK && budget_.exceeded && !denial_) {
            denial_ = "the statement needs more than " +
                      std::to_string(max_statement_memory >> 20) + " MB of memory to compile";
        }
        if (denial_) {
            out.refusal = std::move(denial_);
        } else if (rc != SQLITE_OK) {
            out.error = message();
        } else if (stmt == nullptr) {
            out.refusal = "the statement is empty";
        } else if (tail != nullptr && !only_blank(tail, sql.data() + sql.size())) {
            out.refusal = "more than one statement";
        } else if (!sqlite3_stmt_readonly(stmt)) {
            out.refusal = "a statement that writes";
        } else if (sqlite3_bind_parameter_count(stmt) > 0) {
            const char* name = sqlite3_bind_parameter_name(stmt, 1);
            out.refusal =
                "a parameter (" + text_or(name, "?") + "): generated SQL has no values to bind";
        } else if (nested || keep) {
            out.stmt = stmt;
            owned.stmt = nullptr;
        }
        return out;
    }

    void read_rows(sqlite3_stmt* stmt, const ExecuteOptions& options, bool bounded,
                   ResultSet& out) {
        const int n = sqlite3_column_count(stmt);
        out.columns.resize(n);
        for (int c = 0; c < n; ++c) {
            out.columns[c].name = sqlite3_column_name(stmt, c);
            const char* decl = sqlite3_column_decltype(stmt, c);
            out.columns[c].type_name = decl ? decl : "";
            out.columns[c].type = CellType::Null;
        }
        RowCollector rows(out, options);
        for (;;) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_DONE) {
                break;
            }
            if (rc != SQLITE_ROW) {
                if (sqlite3_errcode(db_) == SQLITE_INTERRUPT && !memory_exceeded_) {
                    throw StatementTimeout(message());
                }
                throw DatabaseError(message());
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
            for (int c = 0; c < n; ++c) {
                row.push_back(bounded ? bounded_cell(stmt, c, options, out.columns[c].name)
                                      : cell(stmt, c));
                if (out.columns[c].type == CellType::Null) {
                    out.columns[c].type = row.back().type;
                }
            }
            rows.add(std::move(row));
        }
    }

    static int authorize(void* self, int action, const char* a1, const char* a2, const char*,
                         const char*) {
        auto* c = static_cast<SqliteConnection*>(self);
        switch (c->mode_) {
        case Mode::Internal:
            return SQLITE_OK;
        case Mode::Wrapper:
            return wrapper_authorize(action, a1, a2);
        case Mode::Guarded:
            break;
        }
        if (auto over = c->over_budget()) {
            if (!c->denial_) {
                c->denial_ = std::move(over);
            }
            return SQLITE_DENY;
        }
        if (c->allows_generated(action, a1, a2)) {
            return SQLITE_OK;
        }
        // SQLite asks for the write to its schema table before the CREATE or DROP itself: the
        // statement's kind names it better.
        const bool schema_write =
            (action == SQLITE_INSERT || action == SQLITE_UPDATE || action == SQLITE_DELETE) &&
            a1 != nullptr && sqlite3_strnicmp(a1, "sqlite_", 7) == 0;
        if (!c->denial_ || (c->denial_is_schema_write_ && !schema_write)) {
            c->denial_ = denied_action(action, a1, a2);
            c->denial_is_schema_write_ = schema_write;
        }
        // A denial ends the parse, so the schema write is let through to reach the statement's
        // own check; it is refused all the same (the denial is kept, and such a statement is
        // not read-only).
        return schema_write ? SQLITE_OK : SQLITE_DENY;
    }

    // The library's own statements on a read-only connection: reading, catalog PRAGMAs and
    // transactions; no function list (the catalog queries are ours).
    static int wrapper_authorize(int action, const char* a1, const char* a2) {
        switch (action) {
        case SQLITE_SELECT:
        case SQLITE_READ:
        case SQLITE_RECURSIVE:
        case SQLITE_TRANSACTION:
            return SQLITE_OK;
        case SQLITE_FUNCTION:
            // Its one-argument form hands out a pointer into the library.
            return sqlite3_stricmp(a2 != nullptr ? a2 : "", "fts3_tokenizer") == 0 ? SQLITE_DENY
                                                                                   : SQLITE_OK;
        case SQLITE_UPDATE:
            return is_schema_table(a1) ? SQLITE_OK : SQLITE_DENY;
        case SQLITE_PRAGMA:
            if (a2 == nullptr) {
                return SQLITE_OK; // reads the setting; query_only stops what would write
            }
            return readable_pragma(a1, true, false) ? SQLITE_OK : SQLITE_DENY;
        default:
            return SQLITE_DENY;
        }
    }

    // Connecting a table-valued function (json_each, pragma_table_info) for the first time
    // asks to update the schema table; nothing is written (defensive mode and query_only stop
    // any real change, and such a statement is not read-only).
    static bool is_schema_table(const char* name) {
        return name != nullptr && (sqlite3_stricmp(name, "sqlite_master") == 0 ||
                                   sqlite3_stricmp(name, "sqlite_schema") == 0);
    }

    bool allows_generated(int action, const char* a1, const char* a2) const {
        switch (action) {
        case SQLITE_SELECT:
        case SQLITE_RECURSIVE:
            return true;
        case SQLITE_READ:
            // pragma_<name>(...) runs PRAGMA <name>: only those generated SQL may read.
            if (a1 != nullptr && sqlite3_strnicmp(a1, "pragma_", 7) == 0) {
                return readable_pragma(a1 + 7, false, true);
            }
            return true;
        case SQLITE_UPDATE:
            return is_schema_table(a1);
        case SQLITE_FUNCTION:
            return a2 != nullptr && functions_.allows("", a2);
        case SQLITE_PRAGMA:
            return readable_pragma(a1, a2 != nullptr, true);
        default:
            return false;
        }
    }

    // While generated SQL compiles: whether it took more memory or time than a statement may.
    std::optional<std::string> over_budget() const {
        if (sqlite3_memory_used() - memory_at_start_ > max_statement_memory) {
            return "the statement needs more than " + std::to_string(max_statement_memory >> 20) +
                   " MB of memory to compile";
        }
        if (timeout_ms_ > 0 && Clock::now() > deadline_) {
            return "the statement took longer than its time-out of " + std::to_string(timeout_ms_) +
                   " ms to compile";
        }
        return std::nullopt;
    }

    static int progress(void* self) {
        auto* c = static_cast<SqliteConnection*>(self);
        if (c->mode_ == Mode::Guarded &&
            sqlite3_memory_used() - c->memory_at_start_ > max_statement_memory) {
            c->memory_exceeded_ = true;
            return 1;
        }
        return (c->timeout_ms_ > 0 && Clock::now() > c->deadline_) ? 1 : 0;
    }

    // Waits for another connection's lock for up to the connect time-out, and never past the
    // statement's time-out: SQLite's own busy handler would sleep through it.
    static int busy(void* self, int count) {
        auto* c = static_cast<SqliteConnection*>(self);
        const Clock::time_point now = Clock::now();
        if (count == 0) {
            c->busy_since_ = now;
        }
        if (now - c->busy_since_ >= std::chrono::milliseconds(c->busy_ms_) ||
            (c->timeout_ms_ > 0 && now >= c->deadline_)) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(count + 1, 20)));
        return 1;
    }

    void start_clock() {
        deadline_ = Clock::now() + std::chrono::milliseconds(timeout_ms_);
    }

    std::string message() const {
        const int code = sqlite3_errcode(db_);
        std::string m = bounded_message(sqlite3_errmsg(db_));
        if ((code == SQLITE_INTERRUPT && memory_exceeded_) ||
            (code == SQLITE_NOMEM && budget_.exceeded)) {
            m += " (the statement used more than " + std::to_string(max_statement_memory >> 20) +
                 " MB of memory)";
        } else if (code == SQLITE_INTERRUPT) {
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

    // A cell of generated SQL's result: text and blobs cut at max_cell_bytes as they are
    // copied, text checked to be UTF-8.
    static Cell bounded_cell(sqlite3_stmt* stmt, int c, const ExecuteOptions& options,
                             const std::string& column) {
        switch (sqlite3_column_type(stmt, c)) {
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
            const auto len = static_cast<std::size_t>(sqlite3_column_bytes(stmt, c));
            return bounded_text_cell(std::string_view(text ? text : "", len), options, column);
        }
        case SQLITE_BLOB: {
            const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, c));
            const auto len = static_cast<std::size_t>(sqlite3_column_bytes(stmt, c));
            bool cut = false;
            return Cell::of_bytes(
                bounded_value(std::string_view(blob ? blob : "", len), options, false, cut));
        }
        default:
            return cell(stmt, c);
        }
    }

    sqlite3* db_ = nullptr;
    // The statement refusal_reason compiled last, and its text: execute_guarded runs it.
    std::unique_ptr<sqlite3_stmt, Finalizer> checked_;
    std::string checked_sql_;
    FunctionAllowList functions_;
    GuardOptions guard_;
    int busy_ms_;
    int timeout_ms_;
    bool guarded_;
    bool broken_ = false;
    Mode mode_ = Mode::Internal;
    Mode saved_mode_ = Mode::Internal;
    std::optional<std::string> denial_; // the first action refused while preparing
    bool denial_is_schema_write_ = false;
    int saved_sql_limit_ = -1;
    Clock::time_point deadline_;
    Clock::time_point busy_since_;
    sqlite3_int64 memory_at_start_ = 0;
    bool memory_exceeded_ = false;
    AllocationBudget budget_;
};

} // namespace

std::unique_ptr<Connection> open_sqlite(const ConnectSettings& settings) {
    return std::make_unique<SqliteConnection>(settings);
}

} // namespace zolviai::sql::drivers
