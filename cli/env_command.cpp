// zolvi env init DIR | zolvi env install NAME...: the code runner's private environment.
#include "commands.hpp"
#include "zolviai/coderunner/environment.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"

#include <cstdlib>

namespace zolviai::cli {

void add_env_command(CLI::App& app) {
    CLI::App* env = app.add_subcommand("env", "Prepare the analysis code's virtual environment");
    env->require_subcommand(1);

    static std::string dir;
    static std::vector<std::string> names;
    static double time_limit = 0;
    env->add_option("--time-limit", time_limit,
                    "Longest time one installer may run, in seconds (default: no limit)");

    CLI::App* init = env->add_subcommand(
        "init", "Create the environment in DIR (with the default analysis modules) unless "
                "something already exists there");
    init->add_option("dir", dir, "Directory of the environment")->required();
    init->callback([] {
        if (time_limit > 0) {
            coderunner::settings().install_time_limit =
                std::chrono::milliseconds(static_cast<long long>(time_limit * 1000));
        }
        try {
            coderunner::initialize_environment(dir);
        } catch (const Error& e) {
            print_line(std::string("An error occurred during initilization: ") + e.what());
            throw CLI::RuntimeError(1);
        }
        print_line("Environment ready: " + *coderunner::settings().python_executable);
    });

    CLI::App* install = env->add_subcommand(
        "install", "Install modules into the environment named by --env or ZOLVI_ENV_PATH");
    static std::string env_dir;
    install->add_option("--env", env_dir, "Directory of the environment")
        ->envname("ZOLVI_ENV_PATH")
        ->required();
    install->add_option("names", names, "Module names (a version constraint may follow)")
        ->required();
    install->callback([] {
        if (time_limit > 0) {
            coderunner::settings().install_time_limit =
                std::chrono::milliseconds(static_cast<long long>(time_limit * 1000));
        }
        coderunner::settings().env_path = env_dir;
        coderunner::ensure_virtual_environment();
        const auto outcomes = coderunner::install_dependencies(names);
        const std::string failures = coderunner::describe_failures(outcomes);
        if (!failures.empty()) {
            print_line("An error occurred during installation: " + failures);
            throw CLI::RuntimeError(1);
        }
        print_line("Installation successful.");
    });
}

} // namespace zolviai::cli
