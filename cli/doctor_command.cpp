// zolvi doctor: what the database role may do beyond reading, and how to make one that only
// reads.
#include "commands.hpp"
#include "output.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/uri.hpp"

#include <cstdlib>

namespace zolviai::cli {

namespace {

// The server settings that bound generated SQL and that only an administrator may set; the
// statements for those not set yet.
void print_server_limits(const sql::CustomSQLDatabase& database) {
    sql::ServerLimitsReport limits;
    try {
        limits = database.server_limits();
    } catch (const DatabaseError& e) {
        out_line(std::string("Server limits: could not be read: ") + e.what());
        return;
    }
    if (limits.limits.empty()) {
        return;
    }
    out_line("Server limits for generated SQL (only an administrator may set them):");
    std::string statements;
    for (const auto& l : limits.limits) {
        out_line("  - " + l.name + " = " + (l.current.empty() ? "(unknown)" : l.current) +
                 (l.ok ? " (ok)" : " (recommended: " + l.recommended + ")") + ": " + l.why);
        if (!l.ok) {
            statements += l.statement + "\n";
        }
    }
    if (!statements.empty()) {
        out_line("To set them, an administrator runs:");
        out_line("");
        out_line(statements);
    }
}

} // namespace

void add_doctor_command(CLI::App& app) {
    auto db = std::make_shared<DatabaseOption>();
    CLI::App* doctor = app.add_subcommand(
        "doctor", "Check that the database role can only read; exits 1 when it can do more");
    db->add_to(*doctor);
    doctor->callback([db] {
        // The report is the point here: a risky role is shown, never refused.
        DatabaseOption plain = *db;
        plain.require_read_only_role = false;
        const auto database = plain.open();
        const sql::PrivilegeReport& report = database->privileges();
        out_line("Database: " + (db->uri.empty() ? std::string("the bundled sample database")
                                                 : sql::redact_database_uri(db->uri)));
        out_line("Engine: " + database->dialect());
        out_line("Role: " + (report.role.empty() ? std::string("(not reported)") : report.role));
        out_line(std::string("Can change data or schema: ") + (report.can_write ? "yes" : "no"));
        out_line(std::string("Can reach server files or programs: ") +
                 (report.server_files ? "yes" : "no"));
        print_server_limits(*database);
        if (!report.can_write && !report.server_files) {
            out_line("The role only reads: generated SQL runs with no more rights than it "
                     "needs.");
            return;
        }
        out_line("Risks:");
        for (const auto& risk : report.risks) {
            out_line("  - " + risk);
        }
        out_line("The guard refuses every statement that is not a single read, but a role "
                 "that can only read is the defence that holds when everything else fails.");
        if (!report.read_only_role_sql.empty()) {
            out_line("To create a read-only role, an administrator runs:");
            out_line("");
            out_line(report.read_only_role_sql);
            out_line("");
        }
        out_line("Then connect as that role; --require-read-only-role (or "
                 "ZOLVI_REQUIRE_READ_ONLY_ROLE=1) makes zolvi refuse any other.");
        std::exit(1);
    });
}

} // namespace zolviai::cli
