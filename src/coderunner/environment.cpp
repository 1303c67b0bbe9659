#include "zolviai/coderunner/environment.hpp"

#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/process.hpp"

#include <cstdlib>
#include <filesystem>

namespace zolviai::coderunner {
namespace {

Settings make_settings() {
    Settings s;
    if (const char* limit = std::getenv("ZOLVI_INSTALL_TIME_LIMIT"); limit && *limit) {
        s.install_time_limit =
            std::chrono::milliseconds(static_cast<long long>(std::strtod(limit, nullptr) * 1000));
    }
    const char* python = std::getenv("ZOLVI_PYTHON");
    s.base_python = python && *python ? python : "/usr/bin/python3";
    return s;
}

} // namespace

const Settings& startup_settings() {
    static const Settings s = make_settings();
    return s;
}

const std::vector<std::string>& default_modules() {
    static const std::vector<std::string> names = {"matplotlib",  "scikit-learn", "numpy",
                                                   "statsmodels", "pandas",       "scipy"};
    return names;
}

void initialize_environment(Settings& s, const std::string& env_path) {
    s.env_path = env_path;
    ensure_virtual_environment(s);
}

void ensure_virtual_environment(Settings& s) {
    if (!s.env_path) {
        throw TypeError("stat: path should be string, bytes, os.PathLike or integer, not NoneType");
    }
    const std::filesystem::path path(*s.env_path);
    std::error_code ec;
    const bool env_exists =
        std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found;
    if (!env_exists) {
        const ProcessResult made = run_process({s.base_python, "-m", "venv", path.string()});
        if (made.exit_status != 0) {
            throw IoError("creating the virtual environment at '" + path.string() +
                          "' failed: " + s.base_python + " -m venv exited with status " +
                          std::to_string(made.exit_status));
        }
    }
    s.python_executable = (path / "bin" / "python").string();
    if (!env_exists) {
        install_defaults(s);
    }
}

void install_defaults(const Settings& s) {
    safe_install_modules(s, default_modules());
}

std::vector<InstallOutcome> install_dependencies(const Settings& s,
                                                 const std::vector<std::string>& names) {
    std::vector<InstallOutcome> outcomes;
    for (const auto& name : names) {
        if (!s.python_executable) {
            throw TypeError("expected str, bytes or os.PathLike object, not NoneType");
        }
        const ProcessResult r =
            run_process({*s.python_executable, "-m", "pip", "install", name}, s.install_time_limit);
        outcomes.push_back({name, r.exit_status, r.timed_out});
    }
    return outcomes;
}

std::string describe_failures(const std::vector<InstallOutcome>& outcomes) {
    std::string out;
    for (const auto& o : outcomes) {
        if (o.exit_status == 0 && !o.timed_out) {
            continue;
        }
        out += out.empty() ? "" : ", ";
        out += o.name + (o.timed_out ? " (timed out)"
                                     : " (exit status " + std::to_string(o.exit_status) + ")");
    }
    return out;
}

void safe_install_modules(const Settings& s, const std::vector<std::string>& names) {
    try {
        const std::string failures = describe_failures(install_dependencies(s, names));
        print_line(failures.empty() ? "Installation successful."
                                    : "An error occurred during installation: " + failures);
    } catch (const Error& e) {
        print_line(std::string("An error occurred during installation: ") + e.what());
    }
}

} // namespace zolviai::coderunner
