#pragma once

#include "sql/connection_pool.hpp"
#include "zolviai/sql/sql_database.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace zolviai::sql {

// Runs generated SQL: the statement guard (shared rules, then the engine's policy), the
// least-privilege rule (generated SQL runs only as a role that can do no more than read,
// unless the host allowed otherwise), the bounds on what a result may bring into memory, and
// the rendering of rows as the flow shows them.
class GuardedRunner {
public:
    GuardedRunner(ConnectionPool& pool, const DatabaseOptions& options);

    // Finds out what the role may do, on the connection that proved the database answers.
    void check_privileges(Connection& connection);
    const PrivilegeReport& privileges() const { return privileges_; }
    std::optional<std::string> generated_sql_refusal() const;
    void check_generated_sql_allowed() const;

    ResultSet query(const std::string& command, std::int64_t max_rows,
                    bool stop_after_max_rows) const;
    std::string run(const std::string& command, std::string_view fetch, bool include_columns) const;

private:
    bool may_run_as_privileged_role() const;

    ConnectionPool& pool_;
    const DatabaseOptions& options_;
    PrivilegeReport privileges_;
    std::string privilege_problem_; // why the role may not run generated SQL, when required
};

} // namespace zolviai::sql
