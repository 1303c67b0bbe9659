// zolvi: ask questions about a database, and prepare the analysis environment.
//
// Exit statuses: 0 done; 1 the command failed (the error on standard error); 2 a usage error
// (unknown command or option, a missing or bad argument: the message and the usage on
// standard error); 3 rows were left out (zolvi sql --max-rows); 69 a service could not be
// reached; 124 a time-out; 130 interrupted.
#include "commands.hpp"
#include "zolviai/agent/agent.hpp"
#include "zolviai/agent/environment.hpp"
#include "zolviai/agent/error_table.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"

#include <exception>
#include <string_view>

namespace {

constexpr int usage_status = 2;

// A word in the command's place that names no command.
bool unknown_command(const CLI::App& app, int argc, char** argv, std::string& word) {
    if (argc < 2 || argv[1][0] == '-') {
        return false;
    }
    word = argv[1];
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (command->check_name(word)) {
            return false;
        }
    }
    return true;
}

// The message and the usage of the command it concerns, on standard error.
int usage_error(const CLI::App& app, const std::string& message) {
    const CLI::App* command = &app;
    std::string path; // the names before the command's own ("zolvi env")
    for (const CLI::App* sub = &app; sub != nullptr;) {
        const auto parsed = sub->get_subcommands();
        sub = parsed.empty() ? nullptr : parsed.front();
        if (sub) {
            path += (path.empty() ? "" : " ") + command->get_name();
            command = sub;
        }
    }
    zolviai::print_err_line("zolvi: " + message);
    zolviai::print_err(command->help(path));
    return usage_status;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"zolvi: answers plain-language questions about the data in a relational "
                 "database"};
    app.name("zolvi");
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", std::string("zolvi ") + ZOLVIAI_VERSION,
                         "Print the version and exit");
    app.footer(zolviai::cli::model_help());
    zolviai::agent::load_dotenv();
    zolviai::install_settings(zolviai::agent::settings_from_process());
    zolviai::cli::add_ask_command(app);
    zolviai::cli::add_database_commands(app);
    zolviai::cli::add_doctor_command(app);
    zolviai::cli::add_serve_command(app);
    zolviai::cli::add_mcp_command(app);
    zolviai::cli::add_eval_command(app);
    zolviai::cli::add_chat_command(app);
    zolviai::cli::add_env_command(app);
    zolviai::cli::add_memory_command(app);
    std::string word;
    if (unknown_command(app, argc, argv, word)) {
        return usage_error(app, "unknown command '" + word + "'");
    }
    try {
        app.parse(argc, argv);
        if (app.get_subcommands().empty()) {
            // Bare zolvi: what it can do.
            zolviai::print_out(app.help());
        }
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::RuntimeError& e) {
        // A command that has said why already and picked its status.
        return e.get_exit_code();
    } catch (const CLI::ParseError& e) {
        return usage_error(app, e.what());
    } catch (const zolviai::cli::ExitStatus& e) {
        return e.code;
    } catch (const zolviai::Error& e) {
        zolviai::print_err_line(std::string("zolvi: ") + e.what());
        return zolviai::agent::error_face(e).exit_code;
    } catch (const std::exception& e) {
        zolviai::print_err_line(std::string("zolvi: unexpected error: ") + e.what());
        return 1;
    }
    return 0;
}
