// zolvi doctor: what the database role may do beyond reading, and how to make one that only
// reads; --create-reader NAME makes one.
#include "commands.hpp"
#include "output.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/uri.hpp"

#include <cstdlib>
#include <random>

namespace zolviai::cli {
namespace {

// A password of 24 letters and digits from the system's random source: nothing in it needs
// quoting in a URI or a statement.
std::string new_password() {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device source;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
    std::string out;
    for (int i = 0; i < 24; ++i) {
        out += alphabet[pick(source)];
    }
    return out;
}

void create_reader(const DatabaseOption& db, const sql::CustomSQLDatabase& database,
                   const std::string& role) {
    const std::string password = new_password();
    database.create_reader_role(role, password);
    out_line("Created the role " + role + ", which may only read.");
    if (!db.uri.empty()) {
        const sql::DatabaseUri uri = sql::parse_database_uri(db.uri);
        out_line("Connect as it with:");
        out_line("  " + sql::build_database_uri(uri.scheme, role, password, uri.host,
                                                uri.port > 0 ? std::to_string(uri.port) : "",
                                                uri.database));
    }
}

} // namespace

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
    auto reader = std::make_shared<std::string>();
    CLI::App* doctor = app.add_subcommand(
        "doctor", "Check that the database role can only read; exits 1 when it can do more");
    db->add_to(*doctor, DbUri);
    doctor->add_option("--create-reader", *reader,
                       "Create a login role of this name that may only read the database (the "
                       "current role needs the right to create roles), and print its URI");
    doctor->callback([db, reader] {
        // The report is the point here: a risky role is shown, never refused.
        DatabaseOption plain = *db;
        plain.allow_privileged_role = true;
        plain.require_read_only_role = false;
        const auto database = plain.open();
        if (!reader->empty()) {
            create_reader(*db, *database, *reader);
            return;
        }
        const sql::PrivilegeReport& report = database->privileges();
        out_line("Database: " + (db->uri.empty() ? std::string("the bundled sample database")
                                                 : sql::redact_database_uri(db->uri)));
        out_line("Engine: " + database->dialect());
        out_line("Role: " + (report.role.empty() ? std::string("(not reported)") : report.role));
        out_line(std::string("Can change data or schema: ") + (report.can_write ? "yes" : "no"));
        out_line(std::string("Can reach server files or programs: ") +
                 (report.server_files ? "yes" : "no"));
        out_line(std::string("Other rights beyond reading: ") +
                 (report.beyond_read ? "yes" : "no"));
        print_server_limits(*database);
        if (!report.more_than_read()) {
            out_line("The role only reads: generated SQL runs with no more rights than it "
                     "needs.");
            return;
        }
        out_line("Risks:");
        for (const auto& risk : report.risks) {
            out_line("  - " + risk);
        }
        out_line("zolvi refuses to run generated SQL as this role: a role that can only read is "
                 "the defence that holds when everything else fails.");
        if (!report.read_only_role_sql.empty()) {
            out_line("To create a read-only role, an administrator runs:");
            out_line("");
            out_line(report.read_only_role_sql);
            out_line("");
        }
        out_line("or, where this role may create roles: zolvi doctor --create-reader NAME. Then "
                 "connect as that role; --allow-privileged-role (or "
                 "ZOLVI_ALLOW_PRIVILEGED_ROLE=1) runs generated SQL as this one anyway.");
        std::exit(1);
    });
}

} // namespace zolviai::cli
