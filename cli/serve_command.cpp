// zolvi serve: the HTTP API and the web page, until SIGTERM or SIGINT.
#include "commands.hpp"
#include "flow_lines.hpp"
#include "output.hpp"
#include "zolviai/agent/environment.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/pyexec/analysis_runner.hpp"
#include "zolviai/serve/server.hpp"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <pthread.h>
#include <thread>

namespace zolviai::cli {
namespace {

struct ServeCommandOptions {
    DatabaseOption db;
    std::string listen = "127.0.0.1:8700";
    std::string token;
    std::size_t max_concurrent = 16;
    std::size_t queue = 64;
    std::string media;
    long question_timeout = 300;
    long grace = 30;
    long chart_ttl = 86400;
    std::string analysis = "auto";
};

// The flow's printed lines (prompts with their rows, diagnostics) are the contract of
// Python hosts, not a server's log: standard output drops them; warnings stay on standard
// error.
class ServerLines : public ConsoleSink {
public:
    void write_out(std::string_view) override {}
    void write_err(std::string_view text) override { err(text); }
};

std::string default_media_dir() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    const std::filesystem::path dir = cache && *cache ? std::filesystem::path(cache)
                                      : home && *home ? std::filesystem::path(home) / ".cache"
                                                      : std::filesystem::temp_directory_path();
    return (dir / "zolvi" / "serve-media").string();
}

void serve(const ServeCommandOptions& o) {
    // Signals are taken by one thread with sigwait, so every other thread (connections,
    // workers, the sandbox's) runs with them blocked.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    log_to_stderr(false);

    serve::ServeOptions options;
    serve::parse_listen_address(o.listen, options.host, options.port);
    options.token = o.token;
    if (options.token.empty()) {
        const char* token = std::getenv("ZOLVI_SERVE_TOKEN");
        options.token = token ? token : "";
    }
    options.max_concurrent = o.max_concurrent;
    options.queue = o.queue;
    options.media_dir = o.media.empty() ? default_media_dir() : o.media;
    options.question_timeout = std::chrono::seconds(o.question_timeout);
    options.grace = std::chrono::seconds(o.grace);
    options.chart_ttl = std::chrono::seconds(o.chart_ttl);
    // The model-written analysis code runs away from the server's rights.
    const auto runner = pyexec::make_analysis_runner(pyexec::parse_analysis_mode(o.analysis));
    set_console_sink(std::make_shared<ServerLines>());
    auto db = o.db.open();
    std::shared_ptr<flow::SQLGraph> flow;
    if (agent::model_configured()) {
        flow = agent::build_flow_from_environment(db);
        flow->set_analysis_runner(runner);
    } else {
        err_line("zolvi serve: no language model is configured; questions are refused until "
                 "one is (see zolvi ask --help for the variables)");
    }

    serve::Server server(options, db, flow);
    const int port = server.bind();
    const bool v6 = options.host.find(':') != std::string::npos;
    err_line("zolvi serve: listening on http://" + (v6 ? "[" + options.host + "]" : options.host) +
             ":" + std::to_string(port) + "/ (analysis: " + runner->describe() + ")");

    const auto grace = options.grace;
    std::thread stopper([&server, &stop_signals, grace] {
        int signal = 0;
        sigwait(&stop_signals, &signal);
        err_line("zolvi serve: stopping; " + std::to_string(server.questions_pending()) +
                 " questions to finish (up to " + std::to_string(grace.count()) + " s)");
        // A signal that came before run() began waits for it, or stop() would find nothing.
        for (int i = 0; i < 500 && !server.listening(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        server.stop();
        const auto until = std::chrono::steady_clock::now() + grace;
        while (server.questions_pending() > 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (server.questions_pending() > 0) {
            err_line("zolvi serve: " + std::to_string(server.questions_pending()) +
                     " questions still running after the grace period; exiting");
            std::_Exit(0);
        }
    });
    server.run();
    stopper.join();
    err_line("zolvi serve: stopped");
}

} // namespace

void add_serve_command(CLI::App& app) {
    auto o = std::make_shared<ServeCommandOptions>();
    CLI::App* command =
        app.add_subcommand("serve", "Serve the HTTP API and the web page for asking questions");
    o->db.add_to(*command);
    command->add_option("--listen", o->listen, "host:port to listen on")->capture_default_str();
    command->add_option("--token", o->token,
                        "Bearer token the API asks for (default ZOLVI_SERVE_TOKEN); required "
                        "when the address is not loopback");
    command->add_option("--max-concurrent", o->max_concurrent, "Questions running at once")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
    command
        ->add_option("--queue", o->queue,
                     "Questions waiting for a worker; more are refused with 503 and Retry-After")
        ->check(CLI::Range(0, 100000))
        ->capture_default_str();
    command->add_option("--media", o->media,
                        "Folder for the charts questions save (default: zolvi/serve-media in "
                        "the cache folder)");
    command
        ->add_option("--question-timeout", o->question_timeout,
                     "Seconds a question may take before the answer is 504")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    command
        ->add_option("--grace", o->grace,
                     "Seconds running questions may take to finish after SIGTERM or SIGINT")
        ->check(CLI::Range(0, 3600))
        ->capture_default_str();
    command->add_option("--chart-ttl", o->chart_ttl, "Seconds a chart is kept")
        ->check(CLI::Range(1, 365 * 86400))
        ->capture_default_str();
    command
        ->add_option("--analysis", o->analysis,
                     "Where the analysis code a model writes runs: sandbox (isolated; fails "
                     "when this machine cannot isolate it) or auto (sandbox, else a plain child "
                     "process after a warning)")
        ->check(CLI::IsMember({"sandbox", "auto"}))
        ->capture_default_str();
    command->callback([o] { serve(*o); });
}

} // namespace zolviai::cli
