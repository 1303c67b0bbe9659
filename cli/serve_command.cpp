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
#include <sys/resource.h>
#include <thread>

namespace zolviai::cli {
namespace {

struct ServeCommandOptions {
    DatabaseOption db;
    std::string state_db;
    std::string listen = "127.0.0.1:8700";
    std::string token;
    std::size_t max_concurrent = 16;
    std::size_t queue = 64;
    std::string media;
    long question_timeout = 300;
    long grace = 30;
    long chart_ttl = 86400;
    std::string analysis = "auto";
    std::vector<std::string> public_hosts;
    std::vector<std::string> allow_origins;
    long head_timeout = 10;
    long body_timeout = 10;
    long idle_timeout = 5;
    std::size_t max_header_lines = 100;
    std::size_t max_header_bytes = 16 * 1024;
    std::size_t max_connections = 1024;
    std::size_t max_connections_per_client = 256;
};

// The flow's printed lines (prompts with their rows, diagnostics) are the contract of
// Python hosts, not a server's log: standard output drops them; warnings stay on standard
// error.
class ServerLines : public ConsoleSink {
public:
    void write_out(std::string_view) override {}
    void write_err(std::string_view text) override { err(text); }
};

// The user's own runtime folder, else the user's cache folder; never a shared temporary
// folder, where another user could plant a link under a name known in advance.
std::string default_media_dir() {
    namespace fs = std::filesystem;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    fs::path base;
    std::error_code ec;
    if (runtime && runtime[0] == '/' && fs::is_directory(runtime, ec)) {
        base = runtime;
    } else if (cache && cache[0] == '/') {
        base = cache;
    } else if (home && home[0] == '/') {
        base = fs::path(home) / ".cache";
    } else {
        throw ConfigError("no private folder for the charts: XDG_RUNTIME_DIR, XDG_CACHE_HOME and "
                          "HOME are unset; give one with --media");
    }
    return (base / "zolviai" / "serve-media").string();
}

// Each connection is a descriptor: the soft limit goes up to the hard one, and the cap on
// connections stays below what is left for the database, the models and the files.
std::size_t connections_within_descriptors(std::size_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return wanted;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    constexpr rlim_t kReserve = 128;
    const rlim_t room = limit.rlim_cur > 2 * kReserve ? limit.rlim_cur - kReserve : kReserve;
    if (limit.rlim_cur != RLIM_INFINITY && wanted > room) {
        err_line("zolvi serve: --max-connections lowered to " + std::to_string(room) +
                 " (the process may open " + std::to_string(limit.rlim_cur) + " files)");
        return static_cast<std::size_t>(room);
    }
    return wanted;
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
    options.public_hosts = o.public_hosts;
    options.allow_origins = o.allow_origins;
    options.head_timeout = std::chrono::seconds(o.head_timeout);
    options.body_timeout = std::chrono::seconds(o.body_timeout);
    options.idle_timeout = std::chrono::seconds(o.idle_timeout);
    options.max_header_lines = o.max_header_lines;
    options.max_header_bytes = o.max_header_bytes;
    options.max_connections = connections_within_descriptors(o.max_connections);
    options.max_connections_per_client = o.max_connections_per_client;
    // Before the database and the models: a state file that is not ours stops the start.
    // Conversations and the memory share one state database.
    {
        auto store = open_state_store(o.state_db);
        options.conversations = std::make_shared<state::ConversationStore>(store);
        options.memory = std::make_shared<agent::Memory>(store);
    }
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
    command->add_option("--state-db", o->state_db,
                        "Where conversations and the memory of verified SQL are kept: an SQLite "
                        "file, or postgresql://... so that several servers share them (default "
                        "ZOLVI_STATE_DB, else zolviai/state.db in $XDG_STATE_HOME or "
                        "~/.local/state)");
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
                        "Private folder (mode 0700, yours) for the charts questions save "
                        "(default: zolviai/serve-media in $XDG_RUNTIME_DIR, else in the cache "
                        "folder)");
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
    command
        ->add_option("--public-host", o->public_hosts,
                     "A Host name the server answers to besides loopback and the listen "
                     "address (name or name:port; repeat for more)")
        ->take_all();
    command
        ->add_option("--allow-origin", o->allow_origins,
                     "A web origin whose pages may call the API (CORS), e.g. "
                     "https://app.example.com; repeat for more")
        ->take_all();
    command
        ->add_option("--head-timeout", o->head_timeout,
                     "Seconds a request's head may take from its first byte")
        ->check(CLI::Range(1, 3600))
        ->capture_default_str();
    command->add_option("--body-timeout", o->body_timeout, "Seconds a request's body may take")
        ->check(CLI::Range(1, 3600))
        ->capture_default_str();
    command
        ->add_option("--idle-timeout", o->idle_timeout,
                     "Seconds a connection may wait for its next request")
        ->check(CLI::Range(1, 3600))
        ->capture_default_str();
    command->add_option("--max-header-lines", o->max_header_lines, "Header lines of a request")
        ->check(CLI::Range(8, 10000))
        ->capture_default_str();
    command->add_option("--max-header-bytes", o->max_header_bytes, "Bytes of a request's head")
        ->check(CLI::Range(1024, 1024 * 1024))
        ->capture_default_str();
    command->add_option("--max-connections", o->max_connections, "Connections open at once")
        ->check(CLI::Range(1, 1000000))
        ->capture_default_str();
    command
        ->add_option("--max-connections-per-client", o->max_connections_per_client,
                     "Connections open at once from one client address")
        ->check(CLI::Range(1, 1000000))
        ->capture_default_str();
    command->footer(model_help());
    command->callback([o] { serve(*o); });
}

} // namespace zolviai::cli
