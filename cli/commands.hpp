#pragma once

#include "zolviai/flow/sql_graph.hpp"

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
void add_mcp_command(CLI::App& app);

// The command hands the flow its analysis runner itself (--analysis): the flow's default
// runner, which ZOLVI_ANALYSIS_SANDBOX would choose, is not started beside it.
void analysis_runner_given();

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
    void add_to(CLI::App& command);
    // The wrapper options the flags name.
    sql::DatabaseOptions options() const;
    std::shared_ptr<sql::CustomSQLDatabase> open() const { return open(options()); }
    // With options of the caller's (e.g. a statement time-out of its own), the sample included.
    std::shared_ptr<sql::CustomSQLDatabase> open(const sql::DatabaseOptions& options) const;
};

// The bundled sample database's script (examples/business_db.sql), compiled into zolvi.
const char* sample_database_script();

} // namespace zolviai::cli
