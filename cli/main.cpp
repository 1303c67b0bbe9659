// zolvi: ask questions about a database, and prepare the analysis environment.
#include "commands.hpp"
#include "zolviai/agent/agent.hpp"
#include "zolviai/agent/environment.hpp"
#include "zolviai/agent/error_table.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"

#include <exception>

int main(int argc, char** argv) {
    CLI::App app{"zolvi: answers plain-language questions about the data in a relational "
                 "database"};
    app.require_subcommand(1);
    zolviai::agent::load_dotenv();
    zolviai::install_settings(zolviai::agent::settings_from_process());
    zolviai::cli::add_ask_command(app);
    zolviai::cli::add_database_commands(app);
    zolviai::cli::add_doctor_command(app);
    zolviai::cli::add_serve_command(app);
    zolviai::cli::add_mcp_command(app);
    zolviai::cli::add_eval_command(app);
    zolviai::cli::add_env_command(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const zolviai::Error& e) {
        zolviai::print_err_line(std::string("zolvi: ") + e.what());
        return zolviai::agent::error_face(e).exit_code;
    } catch (const std::exception& e) {
        zolviai::print_err_line(std::string("zolvi: unexpected error: ") + e.what());
        return 1;
    }
    return 0;
}
