// What running analysis code in the sandbox costs against running it in this process, both
// measured in the same run: one analysis run (warm pool), and one whole question with a
// scripted model that takes 50 ms per call.
#include "support/chat_server.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/flow/sql_graph.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/pyexec/sandbox_runner.hpp"
#include "zolviai/sql/script.hpp"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <fstream>
#include <spdlog/spdlog.h>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace zolviai;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kAnalysis =
    "import pandas as pd\n"
    "df = pd.DataFrame({'genre': ['Rock', 'Jazz', 'Rock', 'Metal'], 'albums': [2, 3, 2, 1]})\n"
    "print(df.groupby('genre')['albums'].sum().sort_values())\n";

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Processor time in ms of this process and every process below it, with what the ones that
// ended left in their parents' counts: the host, bwrap, the warm interpreter and each
// analysis process it forked.
double tree_cpu_ms() {
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);
    const auto tv_ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    double total = tv_ms(self.ru_utime) + tv_ms(self.ru_stime);
    const double tick_ms = 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::vector<pid_t> stack;
    const auto push_children = [&stack](pid_t pid) {
        std::error_code ec;
        for (const auto& task :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
            std::ifstream in(task.path() / "children");
            pid_t child;
            while (in >> child) {
                stack.push_back(child);
            }
        }
    };
    push_children(::getpid());
    while (!stack.empty()) {
        const pid_t pid = stack.back();
        stack.pop_back();
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), {});
        const auto close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; i <= 17 && fields >> field; ++i) {
            if (i >= 14) { // utime, stime, cutime, cstime
                ticks += std::stod(field);
            }
        }
        total += ticks * tick_ms;
        push_children(pid);
    }
    return total;
}

double thread_cpu_ms() {
    rusage r{};
    ::getrusage(RUSAGE_THREAD, &r);
    return r.ru_utime.tv_sec * 1000.0 + r.ru_utime.tv_usec / 1000.0 + r.ru_stime.tv_sec * 1000.0 +
           r.ru_stime.tv_usec / 1000.0;
}

class Quiet : public ConsoleSink {
    void write_out(std::string_view) override {}
    void write_err(std::string_view) override {}
};

// One analysis run: in this process, then in a warm sandboxed interpreter (the pool is
// refilled outside the timed part, as it is between questions).
void BM_AnalysisRun(benchmark::State& state) {
    pyexec::InProcessRunner in_process;
    pyexec::SandboxRunner sandbox;
    const pyexec::AnalysisJob job{kAnalysis, ""};
    in_process.run(job); // pandas imported once, as after a host's first question
    sandbox.wait_until_warm(std::chrono::seconds(60));
    sandbox.run(job);
    double in_process_ms = 0, sandbox_ms = 0, in_process_cpu = 0, sandbox_cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        sandbox.wait_until_warm(std::chrono::seconds(30));
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the last one is reaped
        state.ResumeTiming();
        auto start = Clock::now();
        double cpu = thread_cpu_ms();
        benchmark::DoNotOptimize(in_process.run(job));
        in_process_ms += ms_since(start);
        in_process_cpu += thread_cpu_ms() - cpu;
        start = Clock::now();
        cpu = tree_cpu_ms();
        const pyexec::RunResult r = sandbox.run(job);
        sandbox_ms += ms_since(start);
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // its processes are reaped
        sandbox_cpu += tree_cpu_ms() - cpu;
        if (!r.success) {
            state.SkipWithError(r.error.c_str());
            return;
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["in_process_ms"] = in_process_ms / n;
    state.counters["sandbox_ms"] = sandbox_ms / n;
    state.counters["added_ms"] = (sandbox_ms - in_process_ms) / n; // target <= 30
    state.counters["in_process_cpu_ms"] = in_process_cpu / n;
    state.counters["sandbox_cpu_ms"] = sandbox_cpu / n;
    state.counters["added_cpu_ms"] = (sandbox_cpu - in_process_cpu) / n; // target <= 30
}
BENCHMARK(BM_AnalysisRun)->Unit(benchmark::kMillisecond)->Iterations(30);

// One question on the success route, every model call answered after 50 ms, against the
// SQLite sample, with the analysis in this process and in the sandbox.
void BM_QuestionWithA50msModel(benchmark::State& state) {
    testing::ScriptedChatServer server;
    const auto answer = [](Value arguments) {
        return Value{{"tool_arguments", std::move(arguments)}, {"delay", 0.05}};
    };
    const std::string query = "SELECT name FROM artist ORDER BY name";
    server.rules(Value::array(
        {{{"match", {{"body_contains", "RelevantTablesOutput"}}},
          {"answer", answer({{"relevant_tables", {"artist"}}})}},
         {{"match", {{"body_contains", "SQLQueryInput"}}},
          {"answer", answer({{"sql_query", query}})}},
         {{"match", {{"body_contains", "PythonCodeInput"}}},
          {"answer", answer({{"code", kAnalysis}})}},
         {{"match", {{"body_contains", "GenerationOutput"}}},
          {"answer", answer({{"final_response", "Eight."}})}},
         {{"match", Value::object()}, {"answer", {{"content", query}, {"delay", 0.05}}}}}));
    const auto dir = std::filesystem::temp_directory_path() / "zolviai-bench-sandbox";
    std::filesystem::create_directories(dir);
    const std::string db_path = (dir / "sample.db").string();
    sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql", db_path);
    llm::ChatOpenAI::Options o;
    o.openai_api_key = "k";
    o.base_url = server.url();
    auto model = std::make_shared<llm::ChatOpenAI>(o);
    const auto db = sql::CustomSQLDatabase::from_uri("sqlite:///" + db_path);
    auto sandbox = std::make_shared<pyexec::SandboxRunner>();
    flow::SQLGraph in_process(db, model, model, std::make_shared<pyexec::InProcessRunner>());
    flow::SQLGraph sandboxed(db, model, model, sandbox);
    set_console_sink(std::make_shared<Quiet>());
    spdlog::set_level(spdlog::level::warn);
    const Value input = {{"user_question", "How many artists?"}, {"save_path", dir.string()}};
    in_process.invoke(input); // the first run starts the interpreter and imports pandas
    double in_process_ms = 0, sandbox_ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        sandbox->wait_until_warm(std::chrono::seconds(30));
        state.ResumeTiming();
        auto start = Clock::now();
        benchmark::DoNotOptimize(in_process.invoke(input));
        in_process_ms += ms_since(start);
        start = Clock::now();
        const Value out = sandboxed.invoke(input);
        sandbox_ms += ms_since(start);
        if (!out.value("python_execution_success", false)) {
            state.SkipWithError("the sandboxed analysis failed");
            break;
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["in_process_ms"] = in_process_ms / n;
    state.counters["sandbox_ms"] = sandbox_ms / n;
    state.counters["ratio"] = sandbox_ms / in_process_ms; // target < 1.1
    set_console_sink(nullptr);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_QuestionWithA50msModel)->Unit(benchmark::kMillisecond)->Iterations(15);

} // namespace

BENCHMARK_MAIN();
