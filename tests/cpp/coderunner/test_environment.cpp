#include "zolviai/coderunner/environment.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/process.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

using namespace zolviai;
namespace fs = std::filesystem;

namespace {

class Lines : public ConsoleSink {
public:
    void write_out(std::string_view text) override { out += text; }
    void write_err(std::string_view) override {}
    std::string out;
};

fs::path script(const fs::path& dir, const std::string& body) {
    const fs::path path = dir / "fake-python";
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

struct TempDir {
    TempDir() : path(fs::temp_directory_path() / ("zolviai-cr-" + std::to_string(::getpid()))) {
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
};

} // namespace

TEST(Process, ExitStatusTimeLimitAndStartFailures) {
    EXPECT_EQ(run_process({"sh", "-c", "exit 7"}).exit_status, 7);
    const auto slow = run_process({"sleep", "5"}, std::chrono::milliseconds(200));
    EXPECT_TRUE(slow.timed_out);
    try {
        run_process({"/nonexistent/python", "-m", "pip"});
        FAIL();
    } catch (const IoError& e) {
        EXPECT_STREQ(e.what(), "[Errno 2] No such file or directory: '/nonexistent/python'");
    }
}

TEST(CodeRunner, InstallerOutcomesAndTheTimeLimitReachTheOutcomeLine) {
    TempDir dir;
    auto sink = std::make_shared<Lines>();
    set_console_sink(sink);
    coderunner::Settings s = coderunner::startup_settings();
    s.python_executable =
        script(dir.path, "case \"$4\" in slow*) sleep 5;; bad*) exit 2;; esac; exit 0").string();
    s.install_time_limit = std::chrono::milliseconds(300);
    coderunner::safe_install_modules(s, {"good", "bad-one", "slow-one", "good-too"});
    coderunner::safe_install_modules(s, {"good"});
    s.install_time_limit.reset();
    s.python_executable.reset();
    coderunner::safe_install_modules(s, {"x"});
    set_console_sink(nullptr);
    EXPECT_EQ(
        sink->out,
        "An error occurred during installation: bad-one (exit status 2), slow-one (timed out)\n"
        "Installation successful.\n"
        "An error occurred during installation: expected str, bytes or os.PathLike object, "
        "not NoneType\n");
}

TEST(CodeRunner, ExistingPathIsAnEnvironmentAndUnsetPathIsATypeError) {
    TempDir dir;
    coderunner::Settings s = coderunner::startup_settings();
    EXPECT_THROW(coderunner::ensure_virtual_environment(s), TypeError);
    coderunner::initialize_environment(s, dir.path.string());
    EXPECT_EQ(*s.python_executable, (dir.path / "bin" / "python").string());
    EXPECT_FALSE(fs::exists(dir.path / "bin")) << "an existing directory is taken as it is";
}

TEST(CodeRunner, CallersOnOtherThreadsKeepTheirOwnSettings) {
    // Each thread installs with its own interpreter while the other does the same, as two
    // Python threads do once the GIL is released; neither may run the other's installer.
    TempDir dir;
    fs::create_directories(dir.path / "ok");
    fs::create_directories(dir.path / "failing");
    coderunner::Settings ok = coderunner::startup_settings();
    ok.python_executable = script(dir.path / "ok", "exit 0").string();
    coderunner::Settings failing = coderunner::startup_settings();
    failing.python_executable = script(dir.path / "failing", "exit 4").string();
    const std::vector<std::string> names(20, "pkg");
    std::vector<coderunner::InstallOutcome> from_ok, from_failing;
    std::thread other([&] { from_failing = coderunner::install_dependencies(failing, names); });
    from_ok = coderunner::install_dependencies(ok, names);
    other.join();
    EXPECT_EQ(coderunner::describe_failures(from_ok), "");
    ASSERT_EQ(from_failing.size(), names.size());
    for (const auto& outcome : from_failing) {
        EXPECT_EQ(outcome.exit_status, 4);
    }
    EXPECT_FALSE(coderunner::startup_settings().python_executable)
        << "the start-up settings are untouched";
}
