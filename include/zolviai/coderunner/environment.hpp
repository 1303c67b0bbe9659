#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The code runner's private Python virtual environment and module installation into it.
// Every operation takes the settings it works with from its caller, so that callers on
// different threads (Python threads while the GIL is released) never share them.
namespace zolviai::coderunner {

struct Settings {
    std::optional<std::string> env_path;          // directory of the environment
    std::optional<std::string> python_executable; // env_path/bin/python once prepared
    // Longest time one installer child may run; none (the default) waits as long as it takes.
    // ZOLVI_INSTALL_TIME_LIMIT (seconds) sets it when the process starts.
    std::optional<std::chrono::milliseconds> install_time_limit;
    // The interpreter whose venv facility creates the environment: the host's interpreter
    // in a Python host, else ZOLVI_PYTHON, else /usr/bin/python3.
    std::string base_python;
};

// The settings the process started with: install_time_limit and base_python from the
// environment, read once; no environment path yet. Never changes afterwards.
const Settings& startup_settings();

// "matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas", "scipy".
const std::vector<std::string>& default_modules();

// Sets env_path, then ensure_virtual_environment().
void initialize_environment(Settings& s, const std::string& env_path);

// Creates the environment (pip included, parents created) when nothing exists at env_path,
// sets python_executable to env_path/bin/python, and installs the defaults when it created
// the environment. Anything already at the path counts as an environment. An unset env_path
// is a TypeError; a failed creation an IoError, leaving python_executable as it was.
void ensure_virtual_environment(Settings& s);

// safe_install_modules(default_modules()).
void install_defaults(const Settings& s);

struct InstallOutcome {
    std::string name;
    int exit_status = 0;
    bool timed_out = false;
};

// Runs [python_executable, "-m", "pip", "install", name] once per name, in order, with the
// caller's streams. Every name is tried whatever the exit status of the ones before; a
// child that cannot be started raises at that name (IoError, or TypeError when
// python_executable is unset).
std::vector<InstallOutcome> install_dependencies(const Settings& s,
                                                 const std::vector<std::string>& names);

// install_dependencies, reported as one printed line and never raised:
// "Installation successful." when every installer exited with status 0, otherwise
// "An error occurred during installation: " and what failed.
void safe_install_modules(const Settings& s, const std::vector<std::string>& names);

// The text after "An error occurred during installation: " for installers that failed,
// such as "nosuchpkg (exit status 1), other (timed out)"; empty when all succeeded.
std::string describe_failures(const std::vector<InstallOutcome>& outcomes);

} // namespace zolviai::coderunner
