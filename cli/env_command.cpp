// zolvi env init DIR | zolvi env install NAME...: the code runner's private environment.
#include "commands.hpp"
#include "output.hpp"
#include "zolviai/coderunner/environment.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"

#include <cstdlib>

namespace zolviai::cli {

namespace {

struct EnvOptions {
    std::string dir;
    std::string env_dir;
    std::vector<std::string> names;
    double time_limit = 0;

    // The code runner's settings for one command: the process's start-up values and the
    // command line's time limit.
    coderunner::Settings settings() const {
        coderunner::Settings s = coderunner::startup_settings();
        if (time_limit > 0) {
            s.install_time_limit =
                std::chrono::milliseconds(static_cast<long long>(time_limit * 1000));
        }
        return s;
    }
};

} // namespace

void add_env_command(CLI::App& app) {
    CLI::App* env = app.add_subcommand("env", "Prepare the analysis code's virtual environment");
    env->require_subcommand(1);

    auto o = std::make_shared<EnvOptions>();
    env->add_option("--time-limit", o->time_limit,
                    "Longest time one installer may run, in seconds (default: no limit)");

    CLI::App* init = env->add_subcommand(
        "init", "Create the environment in DIR (with the default analysis modules) unless "
                "something already exists there");
    init->add_option("dir", o->dir, "Directory of the environment")->required();
    init->callback([o] {
        coderunner::Settings s = o->settings();
        try {
            coderunner::initialize_environment(s, o->dir);
        } catch (const Error& e) {
            err_line(std::string("zolvi: the environment could not be created: ") + e.what());
            throw CLI::RuntimeError(1);
        }
        print_line("Environment ready: " + *s.python_executable);
    });

    CLI::App* install = env->add_subcommand(
        "install", "Install modules into the environment named by --env or ZOLVI_ENV_PATH");
    install->add_option("--env", o->env_dir, "Directory of the environment")
        ->envname("ZOLVI_ENV_PATH")
        ->required();
    install->add_option("names", o->names, "Module names (a version constraint may follow)")
        ->required();
    install->callback([o] {
        coderunner::Settings s = o->settings();
        s.env_path = o->env_dir;
        coderunner::ensure_virtual_environment(s);
        const auto outcomes = coderunner::install_dependencies(s, o->names);
        const std::string failures = coderunner::describe_failures(outcomes);
        if (!failures.empty()) {
            err_line("zolvi: the installation failed: " + failures);
            throw CLI::RuntimeError(1);
        }
        print_line("Installation successful.");
    });
}

} // namespace zolviai::cli
