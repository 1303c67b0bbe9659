// The sandboxed runner against the in-process one, and against code that attacks its channel,
// its pool and the machine. The hostile cases that go through the whole flow are in
// tests/python/test_sandbox.py.
#include "support/memory.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/pyexec/sandbox_runner.hpp"

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace zolviai;
using namespace zolviai::pyexec;
namespace fs = std::filesystem;

namespace {

SandboxOptions quick(std::size_t pool_size = 4) {
    SandboxOptions o;
    o.pool_size = pool_size;
    o.time_limit = std::chrono::milliseconds(3000);
    return o;
}

// One runner for the tests that do not need their own settings.
SandboxRunner& shared_runner() {
    static SandboxRunner runner(quick());
    return runner;
}

// Runs each code in the shared runner, all at once.
std::vector<RunResult> run_all(const std::vector<std::string>& codes) {
    std::vector<std::future<RunResult>> runs;
    for (const auto& code : codes) {
        runs.push_back(std::async(std::launch::async, [&] {
            return shared_runner().run({code, ""});
        }));
    }
    std::vector<RunResult> results;
    for (auto& run : runs) {
        results.push_back(run.get());
    }
    return results;
}

struct TempDir {
    TempDir() {
        path = fs::temp_directory_path() /
               ("zolviai-sandbox-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
    static inline int counter = 0;
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class Captured : public ConsoleSink {
public:
    void write_out(std::string_view t) override { out += t; }
    void write_err(std::string_view t) override { err += t; }
    std::string out, err;
};

// Processes of this machine whose command line holds the marker.
int processes_with(const std::string& marker) {
    int found = 0;
    DIR* proc = ::opendir("/proc");
    while (const dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        std::string cmdline = read_file(fs::path("/proc") / entry->d_name / "cmdline");
        found += cmdline.find(marker) != std::string::npos;
    }
    ::closedir(proc);
    return found;
}

} // namespace

TEST(SandboxRunner, OutputAndErrorsAreThoseOfTheInProcessRunner) {
    const char* cases[] = {
        "x = 1",
        "print(1)\nprint('a')",
        "raise ValueError('bad')",
        "print('before')\n1/0",
        "exit()",
        "import sys\nsys.exit(3)",
        "def broken(:\n",
        "print(datetime.__name__, type(datetime).__name__, datetime.date(2024, 1, 5))",
        "print(sorted(k for k in globals() if not k.startswith('__')))",
        "print(frame)",
        "print('caf\u00e9', '\u2603')",
        "import traceback\ntry:\n    1/0\nexcept Exception:\n    print(traceback.format_exc())",
        "import pandas as pd\n"
        "df = pd.DataFrame({'genre': ['Rock', 'Jazz', 'Rock', 'Metal'], 'sales': [3.5, 2, 1, 4]})\n"
        "print(df.groupby('genre')['sales'].agg(['sum', 'mean']).sort_values('sum'))",
        "import matplotlib\nprint(matplotlib.get_backend())",
    };
    const std::vector<RunResult> sandboxed = run_all({std::begin(cases), std::end(cases)});
    InProcessRunner in_process;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const RunResult expected = in_process.run({cases[i], ""});
        EXPECT_EQ(sandboxed[i].success, expected.success) << cases[i];
        EXPECT_EQ(sandboxed[i].output, expected.output) << cases[i];
        EXPECT_EQ(sandboxed[i].error, expected.error) << cases[i];
    }
}

TEST(SandboxRunner, FilesSavedUnderTheMediaFolderAppearInTheHostsAndNothingElse) {
    TempDir dir;
    const fs::path media = dir.path / "media";
    fs::create_directories(media);
    std::ofstream(media / "earlier.png") << "kept";
    // A link planted where the chart will be written is refused, not followed.
    std::ofstream(dir.path / "victim") << "victim";
    fs::create_symlink(dir.path / "victim", media / "planted.png");
    const std::string code = "import os\nimport matplotlib.pyplot as plt\n"
                             "plt.bar(['a', 'b'], [1, 2])\n"
                             "plt.savefig('" +
                             (media / "chart.png").string() +
                             "')\n"
                             "plt.savefig('" +
                             (media / "planted.png").string() +
                             "')\n"
                             "os.makedirs('" +
                             (media / "by year" / "2024").string() +
                             "', exist_ok=True)\n"
                             "open('" +
                             (media / "by year" / "2024" / "rows.csv").string() +
                             "', 'w').write('a,b\\n')\n"

                             "os.makedirs('" +
                             (media / "empty").string() +
                             "')\n"
                             "os.symlink('/etc/passwd', '" +
                             (media / "link").string() +
                             "')\n"
                             "print(sorted(os.listdir('" +
                             media.string() + "')))\nprint('the rows are in rows.csv')\n" +
                             "open('" + (media / "scratch.csv").string() +
                             "', 'w').write('not named in the output')\n";
    const RunResult r = shared_runner().run({code, media.string()});
    ASSERT_TRUE(r.success) << r.error;
    // The host's earlier files are not visible inside; the chart and the data file the output
    // names come back, nothing else (no empty folder, no link, no unnamed data file).
    EXPECT_EQ(r.output, "['by year', 'chart.png', 'empty', 'link', 'planted.png']\n"
                        "the rows are in rows.csv\n");
    EXPECT_GT(fs::file_size(media / "chart.png"), 1000u);
    EXPECT_EQ(read_file(media / "by year" / "2024" / "rows.csv"), "a,b\n");
    EXPECT_FALSE(fs::exists(media / "empty"));
    EXPECT_FALSE(fs::exists(media / "scratch.csv"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(media / "link"))) << "links are not brought back";
    EXPECT_EQ(read_file(media / "earlier.png"), "kept");
    EXPECT_EQ(read_file(dir.path / "victim"), "victim");
    EXPECT_TRUE(fs::is_symlink(media / "planted.png"));
    std::vector<std::string> saved = r.files;
    std::sort(saved.begin(), saved.end());
    EXPECT_EQ(saved, (std::vector<std::string>{(media / "by year" / "2024" / "rows.csv").string(),
                                               (media / "chart.png").string()}));

    // A relative media folder is found from the host's working directory, as in-process.
    const fs::path before = fs::current_path();
    fs::current_path(dir.path);
    const RunResult relative = shared_runner().run(
        {"open('media/relative.txt', 'w').write('r')\nopen('elsewhere.txt', 'w')\n"
         "print('relative.txt')",
         "media"});
    fs::current_path(before);
    // (The working directory here lies under /tmp, so the sandbox's private /tmp took the
    // second file.)
    EXPECT_EQ(read_file(media / "relative.txt"), "r") << relative.error;
    EXPECT_FALSE(fs::exists(dir.path / "elsewhere.txt"));
}

TEST(SandboxRunner, TheCodeHoldsNoPrivilegeAndSeesNoHostDescriptor) {
    const RunResult r = shared_runner().run(
        {"import os, ctypes, socket\n"
         "status = dict(l.split(':', 1) for l in open('/proc/self/status'))\n"
         "print([status[k].strip() for k in ('CapEff', 'CapPrm', 'CapBnd', 'CapAmb', "
         "'NoNewPrivs')])\n"
         "print(sorted(int(fd) for fd in os.listdir('/proc/self/fd')))\n"
         "print(socket.gethostname())\n"
         "import subprocess, sys\n"
         "print(subprocess.run([sys.executable, '-c', 'import ctypes, os\\n"
         "libc = ctypes.CDLL(None, use_errno=True)\\n"
         "print(libc.unshare(0x10000000), os.strerror(ctypes.get_errno()))'], "
         "capture_output=True, text=True).stdout, end='')\n"
         "for path in ('/x', '/usr/lib/x', '/proc/sys/user/max_user_namespaces'):\n"
         "    try:\n"
         "        open(path, 'w').write('1')\n"
         "        print('wrote', path)\n"
         "    except OSError as e:\n"
         "        print(type(e).__name__, e.errno)\n",
         ""});
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(r.output, "['0000000000000000', '0000000000000000', '0000000000000000', "
                        "'0000000000000000', '1']\n"
                        "[0, 1, 2, 3, 4]\n" // the channel, and the listing's own descriptor
                        "sandbox\n"
                        "-1 No space left on device\n"           // no user namespace within
                        "OSError 30\nOSError 30\nOSError 30\n"); // /proc/sys is read-only too
}

// The code writes a reply of its own to the channel and ends before the real one is sent.
std::string forge(const std::string& payload) {
    return "import json, os\n"
           "PNG = b'\\x89PNG\\r\\n\\x1a\\n' + b'x' * 10\n"
           "def frame(kind, body=b'', **more):\n"
           "    return json.dumps(dict(kind=kind, size=len(body), **more)).encode() + b'\\n' + body\n"
           "def out(text):\n"
           "    return frame('output', text.encode())\n"
           "END = b'{\"kind\": \"end\"}\\n'\n"
           "payload = " +
           payload +
           "\n"
           "view = memoryview(payload)\n"
           "while view:\n"
           "    view = view[os.write(3, view):]\n"
           "os._exit(0)\n";
}

const std::string kUnreadable =
    "RuntimeError: the analysis process sent a result that could not be read";
const std::string kRefused = "MemoryError: the analysis result was refused";
const std::string kNoResult =
    "SystemExit: the analysis process ended with status 0 before reporting a result";

TEST(SandboxRunner, AResultTheCodeForgesIsCheckedBeforeAnythingIsSaved) {
    TempDir dir;
    const fs::path media = dir.path / "media";
    const RunResult forged = shared_runner().run(
        {forge("out('') + frame('file', PNG, name='../escaped.png') + "
               "frame('file', PNG, name='" +
               (dir.path / "absolute.png").string() +
               "') + "
               "frame('file', PNG, name='a/./b.png') + frame('file', PNG, name='ok.png') + "
               "frame('file', b'<html>', name='bad.png') + frame('file', PNG, name='x.svg') + END"),
         media.string()});
    EXPECT_TRUE(forged.success) << forged.error;
    EXPECT_EQ(forged.files, std::vector<std::string>{(media / "ok.png").string()});
    EXPECT_FALSE(fs::exists(dir.path / "escaped.png"));
    EXPECT_FALSE(fs::exists(dir.path / "absolute.png"));
    EXPECT_FALSE(fs::exists(media / "bad.png"));
    EXPECT_FALSE(fs::exists(media / "a"));

    struct Case {
        std::string code;
        std::string error_start;
    };
    const Case cases[] = {
        {forge("b'{not json\\n'"), kUnreadable},
        {forge("b'[1, 2]\\n'"), kUnreadable},
        {forge("b'99999999999\\n'"), kUnreadable},
        {forge("out('') + b'{\"kind\": \"file\", \"name\": \"a.png\", \"size\": -5}\\n'"),
         kUnreadable},
        {forge("b'garbage'"), kNoResult},
        {"import os\nos.close(3)\nprint('done')", kNoResult},
        {"import os, sys\nsys.stderr.write('about to go\\n')\nsys.stderr.flush()\nos._exit(7)",
         "SystemExit: the analysis process ended with status 7 before reporting a result "
         "(it printed: about to go)"},
        // A process the code forks finishes the code too; only the first reports.
        {"import os\nif os.fork() == 0:\n    print('child')\nelse:\n    os.wait()\n    "
         "print('parent')",
         ""},
    };
    std::vector<std::string> codes;
    for (const auto& c : cases) {
        codes.push_back(c.code);
    }
    const std::vector<RunResult> results = run_all(codes);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const RunResult& r = results[i];
        if (c.error_start.empty()) {
            EXPECT_TRUE(r.success) << r.error;
            EXPECT_EQ(r.output, "parent\n");
            continue;
        }
        EXPECT_FALSE(r.success) << c.code;
        EXPECT_EQ(r.error.rfind(c.error_start, 0), 0u) << c.code << "\n -> " << r.error;
    }
}

// Replies that crashed the host or grew its memory by gigabytes: a clean error or nothing
// saved, the host's peak memory within the reply budget, no folder made.
TEST(SandboxRunner, DeepHugeAndFolderBombRepliesLeaveTheHostWithinItsBudget) {
    TempDir dir;
    struct Case {
        std::string what;
        std::string payload;
        std::string error_start; // empty: the run succeeds with nothing saved
    };
    const Case cases[] = {
        {"200,000 levels deep", "b'[' * 200000 + b'\\n'", kUnreadable},
        {"deep inside a header",
         "b'{\"kind\": \"output\", \"size\": 0, \"x\": ' + b'[' * 1000 + b'\\n'", kUnreadable},
        {"114 MiB of empty objects as output", "out('{}' * (57 * 1024 ** 2)) + END", kRefused},
        {"114 MiB of empty objects as a header", "b'[' + b'{},' * (38 * 1024 ** 2) + b'{}]\\n'",
         kUnreadable},
        {"40 files 900 folders deep",
         "out('') + b''.join(frame('file', PNG, name='d/' * 900 + '%d.png' % i) "
         "for i in range(40)) + END",
         ""},
        {"20 MiB of output, within the budget", "out('x' * (20 * 1024 ** 2)) + END", ""},
    };
    for (const Case& c : cases) {
        const fs::path media = dir.path / "media";
        const long before = zolviai::testing::reset_peak_resident_kb();
        RunResult r = shared_runner().run({forge(c.payload), media.string()});
        const long growth_kb = zolviai::testing::peak_resident_kb() - before;
        if (c.error_start.empty()) {
            EXPECT_TRUE(r.success) << c.what << ": " << r.error;
            EXPECT_EQ(r.files, std::vector<std::string>{}) << c.what;
        } else {
            EXPECT_EQ(r.error.rfind(c.error_start, 0), 0u) << c.what << " -> " << r.error;
        }
        EXPECT_EQ(fs::exists(media) ? std::distance(fs::directory_iterator(media), {}) : 0, 0)
            << c.what << ": something was saved";
        if (zolviai::testing::memory_is_measured) {
            EXPECT_LT(growth_kb, (24 << 10) + 8192) << c.what << ": kB of peak memory growth";
        }
    }
    EXPECT_TRUE(shared_runner().run({"print('still here')", ""}).success);
}

TEST(SandboxRunner, FoldersTheCodeNestsDeepBringBackNothingFromBelowTheFourth) {
    TempDir dir;
    const fs::path media = dir.path / "media";
    const RunResult r =
        shared_runner().run({"import os\n"
                             "PNG = b'\\x89PNG\\r\\n\\x1a\\n' + b'x' * 10\n"
                             "for i in range(10):\n"
                             "    path = '" +
                                 media.string() +
                                 "/deep%d' % i + '/d' * 900\n"
                                 "    os.makedirs(path)\n"
                                 "    open(path + '/chart.png', 'wb').write(PNG)\n"
                                 "os.makedirs('" +
                                 media.string() +
                                 "/a/b/c/d/e')\n"
                                 "open('" +
                                 media.string() +
                                 "/a/b/c/d/four.png', 'wb').write(PNG)\n"
                                 "open('" +
                                 media.string() + "/a/b/c/d/e/five.png', 'wb').write(PNG)\n",
                             media.string()});
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(r.files, std::vector<std::string>{(media / "a/b/c/d/four.png").string()});
    std::size_t folders = 0;
    for (const auto& entry : fs::recursive_directory_iterator(media)) {
        folders += entry.is_directory();
    }
    EXPECT_EQ(folders, 4u) << "only a/b/c/d, for the file kept";
}

TEST(SandboxRunner, DevHoldsOnlyWhatPythonNeedsAndSharedMemoryStaysWithinItsBudget) {
    const RunResult r = shared_runner().run(
        {"import os, ctypes\n"
         "print(sorted(os.listdir('/dev')))\n"
         "for path in ('/dev/x', '/dev/null', '/proc/sys/kernel/shmmax'):\n"
         "    try:\n"
         "        open(path, 'w').write('99999999999')\n"
         "        print('wrote', path)\n"
         "    except OSError as e:\n"
         "        print(type(e).__name__, e.errno)\n"
         "print(os.urandom(4) != os.urandom(4))\n"
         // /dev/shm, /tmp and the media folder share the one 256 MiB budget.
         "total = 0\n"
         "try:\n"
         "    for i in range(20):\n"
         "        with open('/dev/shm/f%d' % i, 'wb') as f:\n"
         "            for _ in range(32):\n"
         "                f.write(b'x' * (1 << 20))\n"
         "                total += 1\n"
         "except OSError as e:\n"
         "    print('/dev/shm full', e.errno, total <= 256)\n"
         "try:\n"
         "    open('/tmp/more', 'wb').write(b'x' * (1 << 20))\n"
         "except OSError as e:\n"
         "    print('/tmp full', e.errno)\n"
         // System V shared memory: 16 MiB in all.
         "libc = ctypes.CDLL(None, use_errno=True)\n"
         "print('64 MiB', libc.shmget(0, 64 << 20, 0o1600), ctypes.get_errno())\n"
         "n = 0\n"
         "while n < 100 and libc.shmget(0, 4 << 20, 0o1600) >= 0:\n"
         "    n += 1\n"
         "print('4 MiB segments', n, ctypes.get_errno())\n",
         ""});
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(r.output, "['fd', 'full', 'null', 'random', 'shm', 'stderr', 'stdin', 'stdout', "
                        "'urandom', 'zero']\n"
                        "OSError 30\nwrote /dev/null\nOSError 30\nTrue\n"
                        "/dev/shm full 28 True\n/tmp full 28\n"
                        "64 MiB -1 22\n4 MiB segments 4 28\n");
}

TEST(SandboxRunner, LimitsStopTheRunAndNoProcessOfItRemains) {
    SandboxOptions o = quick(4);
    o.time_limit = std::chrono::milliseconds(1500);
    SandboxRunner runner(o);
    struct Case {
        std::string code;
        std::string error_start; // the limit's own error; empty: the code ends normally
    };
    const std::string marker = "zolviai-outlives-" + std::to_string(::getpid());
    const Case cases[] = {
        {"while True:\n    pass", "TimeoutError: the analysis code ran longer than 1.5 s"},
        {"import os\nwhile True:\n    os.fork()", "BlockingIOError: [Errno 11]"},
        {"x = bytearray(20 * 1024 ** 3)", "MemoryError"},
        {"import numpy\nx = numpy.ones(20 * 1024 ** 3 // 8)", "MemoryError: Unable to allocate"},
        {"import ctypes\nctypes.string_at(0)",
         "SystemExit: the analysis process was killed by signal 11 (SIGSEGV)"},
        {"open('/tmp/big', 'wb').write(b'x' * (65 * 1024 ** 2))",
         "OSError: [Errno 27] File too large"},
        {"import subprocess, sys\nsubprocess.Popen([sys.executable, '-c', 'import time; "
         "time.sleep(60) # " +
             marker + "'], start_new_session=True)\nprint('left behind')",
         ""},
    };
    // Which limit stops a run first depends on the machine's load: on a busy machine the
    // wall-clock deadline (or the kernel at the processor-time limit) may come before the
    // case's own. What must hold is that the run stopped with an error naming a limit.
    const auto names_a_limit = [](const RunResult& r, const std::string& own) {
        const std::string prefixes[] = {own,
                                        "TimeoutError: the analysis code ran longer than 1.5 s",
                                        "SystemExit: the analysis process was killed"};
        return std::any_of(std::begin(prefixes), std::end(prefixes),
                           [&](const std::string& p) { return r.error.rfind(p, 0) == 0; });
    };
    std::vector<std::future<RunResult>> runs;
    for (const auto& c : cases) {
        runs.push_back(std::async(std::launch::async, [&] { return runner.run({c.code, ""}); }));
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const RunResult r = runs[i].get();
        if (cases[i].error_start.empty()) {
            EXPECT_TRUE(r.success ? r.output == "left behind\n" : names_a_limit(r, "-"))
                << r.output << r.error;
            continue;
        }
        EXPECT_FALSE(r.success) << cases[i].code;
        EXPECT_TRUE(names_a_limit(r, cases[i].error_start)) << cases[i].code << "\n -> " << r.error;
    }
    EXPECT_EQ(processes_with(marker), 0) << "a child the code detached outlived its run";
    const RunResult after = runner.run({"print('still here')", ""});
    EXPECT_EQ(after.output, "still here\n") << after.error;
}

TEST(SandboxRunner, CodeThatSignalsItsGroupAndEveryoneEndsNoOtherAnalysis) {
    // Analyses are forked from one warm interpreter: code that kills its process group (and
    // getppid() is 0 in a new PID namespace, so kill(getppid()) is the same) or every process
    // it can see must reach nothing but itself, while other analyses are being prepared or run.
    SandboxRunner runner(quick(4));
    const std::string killer =
        "import os\n"
        "for kill in (lambda: os.kill(os.getppid(), 9), lambda: os.kill(0, 9),\n"
        "             lambda: os.killpg(os.getpgid(0), 9), lambda: os.kill(-1, 9)):\n"
        "    try:\n"
        "        kill()\n"
        "    except OSError:\n"
        "        pass\n"
        "print('still here')";
    std::vector<std::future<RunResult>> runs;
    for (int i = 0; i < 6; ++i) {
        const std::string code = i % 2 ? killer : "import time\ntime.sleep(0.5)\nprint('kept')";
        runs.push_back(std::async(std::launch::async, [&runner, code] {
            return runner.run({code, ""});
        }));
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const RunResult r = runs[i].get();
        EXPECT_TRUE(r.success) << i << ": " << r.error;
        EXPECT_EQ(r.output, i % 2 ? "still here\n" : "kept\n") << r.error;
    }
}

TEST(SandboxRunner, EachInterpreterRunsOneAnalysisAndThePoolRefills) {
    SandboxRunner runner(quick(2));
    ASSERT_TRUE(runner.wait_until_warm(std::chrono::seconds(30)));
    const std::string code = "import builtins, matplotlib.pyplot as plt\n"
                             "print(getattr(builtins, 'left_by_earlier_run', None), "
                             "len(plt.get_fignums()))\n"
                             "builtins.left_by_earlier_run = True\nplt.figure()\n";
    for (int i = 0; i < 3; ++i) {
        const RunResult r = runner.run({code, ""});
        ASSERT_TRUE(r.success) << r.error;
        EXPECT_EQ(r.output, "None 0\n") << "run " << i;
    }
    EXPECT_TRUE(runner.wait_until_warm(std::chrono::seconds(30)));
    // Runs in parallel threads each get an interpreter of their own.
    std::vector<std::future<RunResult>> runs;
    for (int i = 0; i < 3; ++i) {
        runs.push_back(std::async(std::launch::async, [&] { return runner.run({code, ""}); }));
    }
    for (auto& run : runs) {
        EXPECT_EQ(run.get().output, "None 0\n");
    }
}

// The warm parent reaps every analysis process and sends each wait status to the host thread
// that waits for that analysis: analyses ending side by side, more than the pool holds, each
// with a status of its own, get their own.
TEST(SandboxRunner, AnalysesEndingSideBySideEachGetTheirOwnStatus) {
    std::vector<std::string> codes;
    for (int i = 0; i < 8; ++i) {
        codes.push_back("import os, sys\nsys.stderr.write('run " + std::to_string(i) +
                        "\\n')\nsys.stderr.flush()\nos._exit(" + std::to_string(20 + i) + ")");
    }
    const std::vector<RunResult> results = run_all(codes);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(results[i].error, "SystemExit: the analysis process ended with status " +
                                        std::to_string(20 + i) +
                                        " before reporting a result (it printed: run " +
                                        std::to_string(i) + ")");
    }
    // And the parent goes on forking into namespaces of their own.
    const RunResult after = shared_runner().run({"import os\nprint(os.getpid())", ""});
    ASSERT_TRUE(after.success) << after.error;
    if (shared_runner().isolated()) {
        EXPECT_EQ(after.output, "1\n");
    }
}

// Each analysis is a process of its own, forked from the warm interpreter into new mount, IPC,
// PID and network namespaces: what one leaves behind (files, module state, environment,
// threads, processes, System V segments, sockets) is not there for the next.
TEST(SandboxRunner, NothingOneAnalysisLeavesReachesTheNext) {
    SandboxRunner runner(quick(1));
    const std::string first =
        "import json, os, socket, subprocess, sys, threading, time\n"
        "open('/tmp/left', 'w').write('x')\n"
        "open('/dev/shm/left', 'w').write('x')\n"
        "json.left_by_earlier_run = True\n"
        "os.environ['LEFT_BY_EARLIER_RUN'] = '1'\n"
        "os.chdir('/tmp')\n"
        "def keep():\n"
        "    while True:\n"
        "        open('/tmp/from-thread', 'w').write('x')\n"
        "        time.sleep(0.05)\n"
        "threading.Thread(target=keep, daemon=True).start()\n"
        "subprocess.Popen([sys.executable, '-c', 'import socket, time; s = socket.socket("
        "socket.AF_UNIX); s.bind(\"\\\\0zolviai-left\"); s.listen(); time.sleep(60)'], "
        "start_new_session=True)\n"
        "import ctypes\n"
        "libc = ctypes.CDLL(None)\n"
        "print(libc.shmget(0x5a01, 4096, 0o1666) >= 0, os.getpid())\n";
    const std::string second =
        "import json, os, socket, sys, threading, ctypes\n"
        "libc = ctypes.CDLL(None)\n"
        "s = socket.socket(socket.AF_UNIX)\n"
        "try:\n"
        "    s.connect('\\0zolviai-left')\n"
        "    reached = True\n"
        "except OSError:\n"
        "    reached = False\n"
        "print(sorted(os.listdir('/tmp')), sorted(os.listdir('/dev/shm')),\n"
        "      hasattr(json, 'left_by_earlier_run'), 'LEFT_BY_EARLIER_RUN' in os.environ,\n"
        "      os.getcwd() == '/tmp', threading.active_count(), reached,\n"
        "      libc.shmget(0x5a01, 4096, 0o666) >= 0,\n"
        "      sorted(int(p) for p in os.listdir('/proc') if p.isdigit()), os.getpid())\n";
    ASSERT_TRUE(runner.wait_until_warm(std::chrono::seconds(60)));
    const RunResult a = runner.run({first, ""});
    ASSERT_TRUE(a.success) << a.error;
    EXPECT_EQ(a.output, "True 1\n");
    for (int i = 0; i < 2; ++i) {
        const RunResult b = runner.run({second, ""});
        ASSERT_TRUE(b.success) << b.error;
        EXPECT_EQ(b.output, "[] [] False False False 1 False False [1] 1\n") << "run " << i;
    }
}

// The pids of this process's grandchildren: the warm interpreters (bwrap is the child).
std::vector<pid_t> warm_parents() {
    const auto children_of = [](pid_t pid) {
        std::vector<pid_t> out;
        const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
        std::error_code ec;
        for (const auto& task : fs::directory_iterator(tasks, ec)) {
            std::ifstream in(task.path() / "children");
            pid_t child;
            while (in >> child) {
                out.push_back(child);
            }
        }
        return out;
    };
    std::vector<pid_t> out;
    for (pid_t child : children_of(::getpid())) {
        for (pid_t grandchild : children_of(child)) {
            out.push_back(grandchild);
        }
    }
    return out;
}

// A warm interpreter killed from outside, before and while questions wait for it and while
// one runs, is replaced and every question gets its answer.
TEST(SandboxRunner, AKilledWarmInterpreterIsReplacedAndNoQuestionIsLost) {
    SandboxRunner runner(quick(1));
    if (!runner.isolated()) {
        GTEST_SKIP() << "no namespaces on this machine: no warm interpreter";
    }
    ASSERT_TRUE(runner.wait_until_warm(std::chrono::seconds(60)));
    for (int round = 0; round < 2; ++round) {
        const auto parents = warm_parents();
        ASSERT_FALSE(parents.empty());
        std::vector<std::future<RunResult>> runs;
        // Round 0: killed before the questions come; round 1: while they run.
        if (round == 0) {
            for (pid_t p : parents) {
                ::kill(p, SIGKILL);
            }
        }
        for (int i = 0; i < 4; ++i) {
            runs.push_back(std::async(std::launch::async, [&runner, i] {
                return runner.run(
                    {"import time\ntime.sleep(0.3)\nprint(" + std::to_string(i) + ")", ""});
            }));
        }
        if (round == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (pid_t p : parents) {
                ::kill(p, SIGKILL);
            }
        }
        for (int i = 0; i < 4; ++i) {
            const RunResult r = runs[static_cast<std::size_t>(i)].get();
            EXPECT_TRUE(r.success) << "round " << round << ": " << r.error;
            EXPECT_EQ(r.output, std::to_string(i) + "\n");
        }
    }
}

TEST(SandboxRunner, WithoutNamespacesSandboxModeRefusesAndAutoRunsAPlainChildSayingSoOnce) {
    SandboxOptions o = quick(0);
    o.time_limit = std::chrono::milliseconds(3000);
    o.bwrap = "/nonexistent/bwrap";
    try {
        SandboxRunner refused(o);
        FAIL() << "a sandbox without bwrap started";
    } catch (const SandboxUnavailable& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("bubblewrap ('/nonexistent/bwrap') was not found"),
                  std::string::npos)
            << message;
        EXPECT_NE(message.find("unprivileged user namespaces"), std::string::npos) << message;
        EXPECT_NE(message.find("--analysis in-process"), std::string::npos) << message;
    }

    auto console = std::make_shared<Captured>();
    set_console_sink(console);
    o.allow_reduced_isolation = true;
    SandboxRunner first(o);
    SandboxRunner second(o);
    set_console_sink(nullptr);
    EXPECT_FALSE(first.isolated());
    EXPECT_EQ(first.describe(), "plain child");
    EXPECT_EQ(console->out, "");
    EXPECT_EQ(console->err.rfind("zolviai: warning: isolation of analysis code is reduced", 0), 0u)
        << console->err;
    EXPECT_EQ(console->err.find("reduced", 60), std::string::npos) << "said once per process";

    ::setenv("ZOLVIAI_TEST_SECRET", "s3cret", 1);
    const RunResult env = first.run({"import os\nprint(sorted(os.environ))", ""});
    ::unsetenv("ZOLVIAI_TEST_SECRET");
    ASSERT_TRUE(env.success) << env.error;
    EXPECT_EQ(
        env.output,
        "['HOME', 'LANG', 'MPLBACKEND', 'MPLCONFIGDIR', 'PATH', 'PYTHONDONTWRITEBYTECODE']\n");
    TempDir dir;
    const RunResult chart = first.run({"import matplotlib.pyplot as plt\nplt.plot([1, 2])\n"
                                       "plt.savefig('" +
                                           (dir.path / "c.png").string() + "')",
                                       dir.path.string()});
    EXPECT_TRUE(chart.success) << chart.error;
    EXPECT_TRUE(fs::exists(dir.path / "c.png"));
    // Stopped, by the deadline or by the kernel at the processor-time limit, whichever the
    // machine's load lets come first.
    const std::string deadline =
        "TimeoutError: the analysis code ran longer than 3 s and was stopped";
    const RunResult endless = first.run({"while True:\n    pass", ""});
    EXPECT_TRUE(endless.error == deadline ||
                endless.error.rfind("SystemExit: the analysis process was killed", 0) == 0)
        << endless.error;
    const RunResult silent = first.run({"import os\nos.close(3)\nwhile True:\n    pass", ""});
    EXPECT_TRUE(silent.error == deadline ||
                silent.error.rfind("SystemExit: the analysis process was killed", 0) == 0 ||
                silent.error == "SystemExit: the analysis code closed its channel to the host "
                                "before reporting a result")
        << silent.error;
}
