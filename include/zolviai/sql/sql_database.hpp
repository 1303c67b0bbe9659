#pragma once

#include "zolviai/sql/connection.hpp"
#include "zolviai/sql/render.hpp"
#include "zolviai/sql/table_ranking.hpp"
#include "zolviai/sql/value_index.hpp"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zolviai::sql {

namespace drivers {
struct EngineTraits;
}
class ConnectionPool;
class GuardedRunner;
class SchemaCatalog;

struct DatabaseOptions {
    int connect_timeout_seconds = 10;
    int statement_timeout_ms = 30000; // generated statements and catalog reads
    RenderLimits limits;
    int sample_rows = 3;              // rows shown under each table description
    std::size_t max_connections = 16; // connections the wrapper opens at most
    // What generated SQL may call and how long it may be; the URI's allowed_functions
    // parameter (comma-separated) adds to guard.allowed_functions.
    GuardOptions guard;
    // Bounds on what one generated query may bring into memory, applied while reading.
    std::size_t max_cell_bytes = 64 * 1024;
    std::size_t max_result_bytes = 16 * 1024 * 1024;
    // Generated SQL runs only as a role that can do no more than read (PrivilegeReport::
    // more_than_read). allow_privileged_role (the URI's allow_privileged_role=1) lets it run
    // as any role, with one warning; require_read_only_role (the URI's
    // require_read_only_role=1, or the setting ZOLVI_REQUIRE_READ_ONLY_ROLE=1) wins over it.
    bool allow_privileged_role = false;
    bool require_read_only_role = false;
    // A directory where the catalog the wrapper has read is kept between runs (one file per
    // database), so that a new process starts warm; empty: ZOLVI_SCHEMA_CACHE when set, else
    // memory only.
    std::string schema_cache_dir;
    // Above this many tables the table picker sees only the prune_top_k tables that match the
    // question best (plus the tables their foreign keys name); at or below it, every table.
    std::size_t prune_threshold = 60;
    std::size_t prune_top_k = 40;
    // The index of the database's own values (docs/sql.md): its bounds, the columns it never
    // reads, and how many hints a question gets.
    ValueIndexOptions values;
};

struct SchemaSnapshot;

// A usable table or view as a client browsing the database sees it.
struct TableSummary {
    std::string name;
    std::string kind;    // "table" or "view" (materialized views are views)
    std::string comment; // the catalog's comment; "" when none
};

// One table's definition, read from the catalog, with a few of its rows.
struct TableDetail {
    struct ColumnDetail {
        std::string name;
        std::string type;
        bool nullable = true;
        bool primary_key = false;
        bool foreign_key = false;
        std::string comment;
    };
    struct ForeignKeyDetail {
        std::vector<std::string> columns;
        std::string ref_table;
        std::vector<std::string> ref_columns;
    };
    std::string name;
    std::string kind;
    std::string comment;
    std::vector<ColumnDetail> columns;
    std::vector<ForeignKeyDetail> foreign_keys;
    ResultSet sample;         // up to options().sample_rows rows
    std::string sample_error; // why the rows could not be read; "" when they were
};

// The tables the table picker is shown for one question.
struct TableCandidates {
    bool pruned = false;            // false: every usable table, as the table list gives them
    std::size_t total = 0;          // usable tables in the database
    std::vector<std::string> names; // sorted
    std::vector<TableScore> scores; // the ranking behind a pruned list, best first
};

// The database wrapper the question-answering flow uses: table names, table descriptions
// and guarded execution of generated SQL. Safe to use from many threads at once; each
// call borrows its own connection from a small pool.
class CustomSQLDatabase {
public:
    // Opens the database a URI names and checks that it answers. Throws ConfigError for a
    // URI it cannot use and DatabaseError when the server cannot be reached.
    static std::shared_ptr<CustomSQLDatabase> from_uri(std::string_view uri,
                                                       const DatabaseOptions& options = {});

    ~CustomSQLDatabase();
    CustomSQLDatabase(const CustomSQLDatabase&) = delete;
    CustomSQLDatabase& operator=(const CustomSQLDatabase&) = delete;

    // "postgresql", "mysql", "mssql" or "sqlite".
    const std::string& dialect() const { return dialect_; }

    // The tables and views of the connection's default schema, sorted.
    std::vector<std::string> get_usable_table_names() const;

    // CREATE TABLE-style definitions with sample rows for the named tables, separated by a
    // blank line. Unknown names give the error text "Error: table_names {...} not found in
    // database" instead of a raised error.
    std::string get_table_info_no_throw(const std::vector<std::string>& table_names) const;

    // Runs one generated read-only statement through the guard and renders its rows.
    // fetch is "all" or "one". Throws DatabaseError (a refusal or the engine's failure).
    std::string run(const std::string& command, std::string_view fetch = "all",
                    bool include_columns = false) const;

    // The same guarded execution, handing back the rows themselves (at most max_rows kept;
    // with stop_after_max_rows the rest are not fetched where the engine allows).
    ResultSet query(const std::string& command, std::int64_t max_rows,
                    bool stop_after_max_rows = false) const;

    const DatabaseOptions& options() const { return options_; }

    // A digest of the catalog in reach (tables, views, columns, keys, comments): it changes
    // when the schema does and not when rows do. Table names and descriptions are cached
    // under it; each read of them first asks the server one cheap question (has anything
    // been written since?) and reads the signatures of the tables again only when so, then
    // describes again only the tables whose signature changed.
    std::string schema_fingerprint() const;

    // Each usable table's signature (a digest that changes when its definition does), by
    // name, sorted: what stored queries that read a table check to know it moved.
    std::vector<std::pair<std::string, std::string>> table_signatures() const;

    // Where the database is, without user or password ("sqlite:/abs/file.db",
    // "postgresql://host:5432/name"): what is kept about a database is kept under it.
    const std::string& identity() const { return identity_; }

    // The tables worth showing the table picker for a question: all of them up to
    // options().prune_threshold, else the best prune_top_k by lexical ranking and the tables
    // their foreign keys name.
    TableCandidates candidate_tables(std::string_view question) const;

    // The index of the database's own text values, read on first need and kept with the
    // catalog; null when options().values turns it off. A failure to read it is logged and
    // gives null: questions are answered without it.
    std::shared_ptr<const ValueIndex> value_index() const;

    // The database values a question's words name, best first (options().values bounds them).
    std::vector<ValueHint> value_hints(std::string_view question) const;

    // The literals of generated SQL that never occur in the column they are compared with,
    // when a close value does: found without running the statement.
    std::vector<LiteralFinding> check_literals(std::string_view sql) const;

    // Why a statement that ran found no rows, as far as the value index can tell ("" for
    // nothing to say).
    std::string empty_result_diagnosis(std::string_view sql) const;

    // How the engine compares text.
    TextComparison text_comparison() const;

    // Every usable table and view with its kind and comment, sorted by name.
    std::vector<TableSummary> table_summaries() const;
    // The definition of one usable table (the name as the table list gives it); nullopt
    // when there is no such table.
    std::optional<TableDetail> describe_table(const std::string& name) const;
    // The k tables the lexical ranking finds best for a phrase, best first, whatever the
    // number of tables (candidate_tables ranks only past the prune threshold).
    std::vector<TableScore> rank_tables(std::string_view phrase, std::size_t k) const;

    // What the wrapper's role may do beyond reading, as found at the first connection.
    const PrivilegeReport& privileges() const;

    // Why generated SQL may not run as the wrapper's role (it can do more than read and the
    // host did not allow that), with how to fix it; nothing when it may.
    std::optional<std::string> generated_sql_refusal() const;
    // Throws StatementRefused ("Statement refused: ...") when generated_sql_refusal gives a reason.
    void check_generated_sql_allowed() const;

    // The statements that create a login role that may only read this database, and running
    // them as the wrapper's own user (which needs the right to create roles). PostgreSQL and
    // MySQL/MariaDB; ConfigError elsewhere, DatabaseError when the server refuses.
    std::vector<std::string> reader_role_statements(const std::string& role,
                                                    const std::string& password) const;
    void create_reader_role(const std::string& role, const std::string& password) const;

    // The server settings that bound generated SQL and only an administrator may set, read
    // from the server now (empty for SQLite).
    ServerLimitsReport server_limits() const;

private:
    CustomSQLDatabase(std::string dialect, DatabaseOptions options);

    // The value index as last built (read when there is none yet), for the literal checks.
    std::shared_ptr<const ValueIndex> index_for_checks() const;

    // The engine's traits, by the dialect (which an ODBC source may have changed).
    const drivers::EngineTraits& engine_traits() const;

    std::string dialect_;
    std::string identity_;
    DatabaseOptions options_;
    // The three jobs behind the facade; the pool outlives the two that borrow from it.
    std::unique_ptr<ConnectionPool> pool_;
    std::unique_ptr<GuardedRunner> runner_;
    std::unique_ptr<SchemaCatalog> catalog_;
};

} // namespace zolviai::sql
