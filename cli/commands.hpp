#pragma once

#include "zolviai/agent/asker.hpp"
#include "zolviai/agent/memory.hpp"
#include "zolviai/flow/sql_graph.hpp"
#include "zolviai/state/conversations.hpp"

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

// Each subcommand registers itself on the application; the single try/catch is in main.
namespace zolviai::cli {

void add_env_command(CLI::App& app);
void add_database_commands(CLI::App& app);
void add_ask_command(CLI::App& app);
void add_doctor_command(CLI::App& app);
void add_serve_command(CLI::App& app);
void add_eval_command(CLI::App& app);
void add_chat_command(CLI::App& app);

// The state database of --state-db URI, else ZOLVI_STATE_DB, else the file under the user's
// state folder (state::Store::default_path()): conversations and the memory of verified SQL.
std::shared_ptr<state::Store> open_state_store(const std::string& state_db);

// The conversation store of --state-db URI, else ZOLVI_STATE_DB, else the file under the
// user's state folder (state::Store::default_path()).
std::shared_ptr<state::ConversationStore> open_conversation_store(const std::string& state_db);

void add_memory_command(CLI::App& app);

// The memory of verified SQL in the state database: --state-db, else ZOLVI_STATE_DB, else the
// user's state file.
std::shared_ptr<agent::Memory> open_memory_store(const std::string& state_db);

// How a command says on standard error that a certified entry answered the question, in the
// words of the page: "answered from memory (#12, certified 2026-01-02T10:00:00Z by ann)".
std::string from_memory_line(const agent::MemoryUse& use);

void add_mcp_command(CLI::App& app);

// The command hands the flow its analysis runner itself (--analysis): the flow's default
// runner, which ZOLVI_ANALYSIS_SANDBOX would choose, is not started beside it.
void analysis_runner_given();

// A command that did its work but must say so in its exit status (3: rows were left out);
// main returns the status, the command has already said why on standard error.
struct ExitStatus {
    int code;
};

// Exit status of a command that wrote only part of its rows (--max-rows, or a bound).
inline constexpr int rows_left_out_status = 3;

// Which of the database flags a command takes: each command lists only those it uses.
enum DatabaseFlags : unsigned {
    DbUri = 0,     // --db alone
    DbGuard = 1,   // --allow-function, --allow-privileged-role, --require-read-only-role
    DbCatalog = 2, // --schema-cache
    DbPicker = 4,  // --prune-threshold, --prune-top-k
    DbValues = 8,  // --no-values, --no-value-index
    DbAll = DbGuard | DbCatalog | DbPicker | DbValues,
};

// The variables that configure the models, as the help of the commands that ask ends with.
std::string model_help();

// The database the commands work on: --db, else ZOLVI_DB_URI, else the bundled sample
// database (created on first use).
struct DatabaseOption {
    std::string uri;
    std::vector<std::string> allowed_functions; // --allow-function, beside the built-in list
    bool allow_privileged_role = false;         // --allow-privileged-role
    bool require_read_only_role = false;        // --require-read-only-role
    std::string schema_cache;                   // --schema-cache DIR (ZOLVI_SCHEMA_CACHE)
    std::size_t prune_threshold = 60;           // --prune-threshold N
    std::size_t prune_top_k = 40;               // --prune-top-k N
    std::vector<std::string> no_values;         // --no-values table.column (ZOLVI_NO_VALUES)
    bool no_value_index = false;                // --no-value-index
    void add_to(CLI::App& command, unsigned flags = DbAll);
    // The wrapper options the flags name.
    sql::DatabaseOptions options() const;
    std::shared_ptr<sql::CustomSQLDatabase> open() const { return open(options()); }
    // With options of the caller's (e.g. a statement time-out of its own), the sample included.
    std::shared_ptr<sql::CustomSQLDatabase> open(const sql::DatabaseOptions& options) const;
};

// The bundled sample database's script (examples/business_db.sql), compiled into zolvi.
const char* sample_database_script();

} // namespace zolviai::cli
