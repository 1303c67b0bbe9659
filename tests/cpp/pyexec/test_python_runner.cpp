#include "zolviai/pyexec/python_runner.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <pybind11/embed.h>
#include <thread>

using namespace zolviai::pyexec;

TEST(PythonRunner, CapturesOutputAndReportsErrorsOnOneLine) {
    struct Case {
        const char* code;
        bool success;
        const char* expected; // output on success, error otherwise
    };
    const Case cases[] = {
        {"x = 1", true, ""},
        {"print(1)\nprint('a')", true, "1\na\n"},
        {"raise ValueError('bad')", false, "ValueError: bad"},
        {"print('before')\n1/0", false, "ZeroDivisionError: division by zero"},
        {"exit()", false, "SystemExit: None"},
        {"import sys\nsys.exit(3)", false, "SystemExit: 3"},
        {"print(datetime.__name__, type(datetime).__name__, datetime.date(2024, 1, 5))", true,
         "datetime module 2024-01-05\n"},
        {"print(sorted(k for k in globals() if not k.startswith('__')))", true, "['datetime']\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = run_analysis(c.code);
        EXPECT_EQ(r.success, c.success) << c.code;
        EXPECT_EQ(c.success ? r.output : r.error, c.expected) << c.code;
    }
    const RunResult syntax = run_analysis("def broken(:\n");
    EXPECT_FALSE(syntax.success);
    EXPECT_EQ(syntax.error.rfind("SyntaxError: ", 0), 0u) << syntax.error;
}

TEST(PythonRunner, RunsDoNotShareNamesAndTracebacksNameTheAstFile) {
    ASSERT_TRUE(run_analysis("frame = [1, 2]").success);
    EXPECT_EQ(run_analysis("print(frame)").error, "NameError: name 'frame' is not defined");
    const RunResult r = run_analysis(
        "import traceback\ntry:\n    1/0\nexcept Exception:\n    print(traceback.format_exc())");
    EXPECT_NE(r.output.find("File \"<ast>\", line 3"), std::string::npos) << r.output;
}

TEST(PythonRunner, StdoutIsRestoredAfterEveryOutcomeAndInterruptsPropagate) {
    ensure_interpreter();
    PyObject* original = nullptr;
    {
        const PyGILState_STATE gil = PyGILState_Ensure();
        original = pybind11::module_::import("sys").attr("stdout").ptr(); // sys keeps it alive
        PyGILState_Release(gil);
    }
    EXPECT_FALSE(run_analysis("print('x')\nraise KeyError('k')").success);
    EXPECT_THROW(run_analysis("print('x')\nraise KeyboardInterrupt"), Interrupted);
    const RunResult after = run_analysis("print('only mine')");
    EXPECT_EQ(after.output, "only mine\n");
    const PyGILState_STATE gil = PyGILState_Ensure();
    const bool same = pybind11::module_::import("sys").attr("stdout").ptr() == original;
    PyGILState_Release(gil);
    EXPECT_TRUE(same);
}

TEST(PythonRunner, ParallelRunsCaptureOnlyTheirOwnOutput) {
    const auto code = [](const std::string& tag) {
        return "import time\nfor i in range(20):\n    print('" + tag +
               "', i)\n    time.sleep(0.002)\n";
    };
    RunResult a, b;
    std::thread ta([&] { a = run_analysis(code("alpha")); });
    std::thread tb([&] { b = run_analysis(code("beta")); });
    ta.join();
    tb.join();
    ASSERT_TRUE(a.success) << a.error;
    ASSERT_TRUE(b.success) << b.error;
    EXPECT_EQ(a.output.find("beta"), std::string::npos);
    EXPECT_EQ(b.output.find("alpha"), std::string::npos);
    EXPECT_NE(a.output.find("alpha 19\n"), std::string::npos);
    EXPECT_NE(b.output.find("beta 19\n"), std::string::npos);
}

TEST(PythonRunner, FiguresAreSavedWithTheNonInteractiveBackend) {
    const auto dir = std::filesystem::temp_directory_path() / "zolviai-pyexec-figure";
    std::filesystem::remove_all(dir);
    const RunResult r = run_analysis("import os, matplotlib\nimport matplotlib.pyplot as plt\n"
                                     "os.makedirs('" +
                                     dir.string() +
                                     "', exist_ok=True)\n"
                                     "plt.bar(['a', 'b'], [1, 2])\nplt.savefig('" +
                                     (dir / "chart.png").string() +
                                     "')\n"
                                     "print(matplotlib.get_backend())");
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(r.output, "agg\n");
    EXPECT_GT(std::filesystem::file_size(dir / "chart.png"), 1000u);
    std::filesystem::remove_all(dir);
}
