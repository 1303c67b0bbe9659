#include "sql/guarded_runner.hpp"

#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/guard.hpp"

namespace zolviai::sql {

GuardedRunner::GuardedRunner(ConnectionPool& pool, const DatabaseOptions& options)
    : pool_(pool), options_(options) {}

void GuardedRunner::check_privileges(Connection& connection) {
    try {
        privileges_ = connection.privileges();
    } catch (const DatabaseError& e) {
        // What cannot be checked is not taken to be safe.
        privilege_problem_ =
            std::string("could not find out what the database role may do: ") + e.what();
        if (may_run_as_privileged_role()) {
            print_err_line("zolviai: warning: " + privilege_problem_);
        }
        return;
    }
    if (!privileges_.more_than_read()) {
        return;
    }
    // The first risk says what matters; zolvi doctor lists them all.
    const std::string first = privileges_.risks.empty() ? "it can write" : privileges_.risks[0];
    const std::size_t more = privileges_.risks.empty() ? 0 : privileges_.risks.size() - 1;
    privilege_problem_ = "the database role " + privileges_.role + " can do more than read (" +
                         first + (more ? ", and " + std::to_string(more) + " more" : "") + ")";
    if (may_run_as_privileged_role()) {
        print_err_line("zolviai: warning: " + privilege_problem_ +
                       "; generated SQL should run as a read-only role (zolvi doctor shows how "
                       "to create one)");
    }
}

bool GuardedRunner::may_run_as_privileged_role() const {
    return options_.allow_privileged_role && !options_.require_read_only_role;
}

std::optional<std::string> GuardedRunner::generated_sql_refusal() const {
    if (privilege_problem_.empty() || may_run_as_privileged_role()) {
        return std::nullopt;
    }
    std::string text =
        privilege_problem_ +
        ". Generated SQL runs only as a role that can do no more than read: connect as one "
        "(zolvi doctor --create-reader NAME creates one when the current role may), or allow "
        "this role explicitly (--allow-privileged-role, the URI parameter "
        "allow_privileged_role=1, or ZOLVI_ALLOW_PRIVILEGED_ROLE=1).";
    if (!privileges_.read_only_role_sql.empty()) {
        text += " To create a reader, an administrator runs:\n" + privileges_.read_only_role_sql;
    }
    return text;
}

void GuardedRunner::check_generated_sql_allowed() const {
    if (auto reason = generated_sql_refusal()) {
        throw StatementRefused(*reason);
    }
}

ResultSet GuardedRunner::query(const std::string& command, std::int64_t max_rows,
                               bool stop_after_max_rows) const {
    if (auto reason = shared_refusal(command, options_.guard)) {
        throw StatementRefused(*reason);
    }
    check_generated_sql_allowed();
    ExecuteOptions options;
    options.max_rows = max_rows;
    options.stop_after_max_rows = stop_after_max_rows;
    options.max_cell_bytes = options_.max_cell_bytes;
    options.max_result_bytes = options_.max_result_bytes;

    ConnectionPool::Lease conn(pool_);
    try {
        if (auto reason = conn->refusal_reason(command)) {
            throw StatementRefused(*reason);
        }
        // Nothing a generated statement does is kept: the driver runs it read-only where the
        // engine allows, rolls back and resets the session.
        return conn->execute_guarded(command, options);
    } catch (const StatementRefused&) {
        conn.suspect();
        throw;
    } catch (const DatabaseError& e) {
        conn.suspect();
        throw_database_error(e.kind(), std::string(e.what()) + "\n[SQL: " + command + "]");
    }
}

std::string GuardedRunner::run(const std::string& command, std::string_view fetch,
                               bool include_columns) const {
    if (fetch != "all" && fetch != "one") {
        throw ValueError("Fetch parameter must be either 'one' or 'all'");
    }
    ResultSet result =
        fetch == "one" ? query(command, 1, true) : query(command, options_.limits.max_rows, false);
    if (fetch == "one") {
        result.total_rows = static_cast<std::int64_t>(result.rows.size());
    }
    return render_rows(result, include_columns, options_.limits);
}

} // namespace zolviai::sql
