// zolvi mcp: the database and its questions as tools for an MCP client, over the standard
// streams (one JSON-RPC message per line). Standard output carries protocol messages only:
// everything else anyone in the process (or a child) writes there goes to standard error.
#include "commands.hpp"
#include "flow_lines.hpp"
#include "output.hpp"
#include "zolviai/agent/environment.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/mcp/session.hpp"
#include "zolviai/pyexec/analysis_runner.hpp"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace zolviai::cli {
namespace {

struct McpOptions {
    DatabaseOption db;
    std::string media;
    std::string analysis = "auto";
    std::size_t max_rows = 100;
    double statement_timeout = 30;
    std::string state_db;
    bool no_state = false;
    bool print_config = false;
    bool verbose = false;
};

// The library's printed lines (prompts, diagnostics) are no protocol: standard error, or
// nowhere unless --verbose.
class McpLines : public ConsoleSink {
public:
    explicit McpLines(bool verbose) : verbose_(verbose) {}
    void write_out(std::string_view text) override {
        if (verbose_) {
            write_all(2, text);
        }
    }
    void write_err(std::string_view text) override { write_all(2, text); }

private:
    bool verbose_;
};

// One message per line on the descriptor that was standard output.
class LineSink : public mcp::Sink {
public:
    explicit LineSink(int fd) : fd_(fd) {}
    void send(const Value& message) override {
        std::string line = message.dump(-1, ' ', false, Value::error_handler_t::replace);
        line += '\n';
        std::lock_guard lock(mutex_);
        write_all(fd_, line);
    }

private:
    int fd_;
    std::mutex mutex_;
};

// Reads newline-delimited messages with a bound on each: a longer line is skipped to its end
// and answered with an error, and the session goes on.
class LineReader {
public:
    LineReader(int fd, std::size_t most) : fd_(fd), most_(most) {}

    enum class Got { Line, TooLong, End };

    Got next(std::string& line) {
        line.clear();
        bool too_long = false;
        for (;;) {
            const auto newline = buffer_.find('\n', scanned_);
            if (newline != std::string::npos) {
                if (!too_long) {
                    line.assign(buffer_, 0, newline);
                }
                buffer_.erase(0, newline + 1);
                scanned_ = 0;
                return too_long ? Got::TooLong : Got::Line;
            }
            if (buffer_.size() > most_) {
                too_long = true; // drop what came; keep looking for the line's end
                buffer_.clear();
            }
            scanned_ = buffer_.size();
            char chunk[65536];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                if (!too_long && !buffer_.empty()) {
                    line.swap(buffer_);
                    buffer_.clear();
                    return Got::Line;
                }
                return too_long ? Got::TooLong : Got::End;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::size_t most_;
    std::string buffer_;
    std::size_t scanned_ = 0;
};

// A folder only this user can enter, for the charts of the session's questions; removed at
// the end.
class PrivateFolder {
public:
    PrivateFolder() {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::error_code ec;
        const std::filesystem::path base =
            runtime && runtime[0] == '/' && std::filesystem::is_directory(runtime, ec)
                ? std::filesystem::path(runtime)
                : std::filesystem::temp_directory_path();
        std::string pattern = (base / "zolvi-mcp-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw IoError("cannot create a private folder for charts in " + base.string() +
                          "; give one with --media");
        }
        path_ = pattern;
    }
    ~PrivateFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string own_path() {
    std::error_code ec;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("zolvi") : path.string();
}

// A client's configuration entry for this server: the command and its arguments, and the
// names of the settings it needs, never their values.
Value client_config(const McpOptions& o) {
    Value args = Value::array({"mcp"});
    Value env = Value::object();
    const bool sqlite = o.db.uri.rfind("sqlite:", 0) == 0;
    if (sqlite) {
        args.push_back("--db");
        args.push_back(o.db.uri);
    } else if (!o.db.uri.empty()) {
        env["ZOLVI_DB_URI"] = ""; // may hold a password: named, not copied
    }
    static const char* model_names[] = {"AZURE_OPENAI_ENDPOINT",
                                        "AZURE_OPENAI_API_KEY",
                                        "AZURE_OPENAI_DEPLOYMENT",
                                        "AZURE_OPENAI_SQL_DEPLOYMENT",
                                        "AZURE_OPENAI_API_VERSION",
                                        "OPENAI_BASE_URL",
                                        "OPENAI_API_KEY",
                                        "OPENAI_MODEL",
                                        "OPENAI_SQL_MODEL",
                                        "ZOLVI_API_BASE_URL",
                                        "ZOLVI_API_KEY"};
    for (const char* name : model_names) {
        const char* value = std::getenv(name);
        if (value && *value) {
            env[name] = "";
        }
    }
    if (env.empty() || (env.size() == 1 && env.contains("ZOLVI_DB_URI"))) {
        env["OPENAI_BASE_URL"] = "";
        env["OPENAI_API_KEY"] = "";
        env["OPENAI_MODEL"] = "";
    }
    return {{"mcpServers", {{"zolvi", {{"command", own_path()}, {"args", args}, {"env", env}}}}}};
}

void run_mcp(const McpOptions& o) {
    if (o.print_config) {
        out_line(client_config(o).dump(2));
        return;
    }
    // From here on only protocol messages reach what was standard output.
    // Close-on-exec: a child process (the analysis sandbox) must not inherit the protocol.
    const int protocol_fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (protocol_fd < 0 || ::dup2(2, 1) < 0) {
        throw IoError("cannot set standard output aside for the protocol");
    }
    std::signal(SIGPIPE, SIG_IGN);
    log_to_stderr(o.verbose);
    set_console_sink(std::make_shared<McpLines>(o.verbose));

    const auto runner = pyexec::make_analysis_runner(pyexec::parse_analysis_mode(o.analysis));
    analysis_runner_given();
    sql::DatabaseOptions database = o.db.options();
    database.statement_timeout_ms = static_cast<int>(o.statement_timeout * 1000);
    std::shared_ptr<sql::CustomSQLDatabase> db = o.db.open(database);
    // Conversations and the memory of verified SQL, in the state database (none with
    // --no-state: every question stands alone).
    std::shared_ptr<state::ConversationStore> conversations;
    std::shared_ptr<agent::Memory> memory;
    if (!o.no_state) {
        auto store = open_state_store(o.state_db);
        conversations = std::make_shared<state::ConversationStore>(store);
        memory = std::make_shared<agent::Memory>(store);
    }
    std::shared_ptr<const agent::Asker> asker;
    if (agent::model_configured()) {
        std::shared_ptr<flow::SQLGraph> flow = agent::build_flow_from_environment(db);
        flow->set_analysis_runner(runner);
        auto made = std::make_shared<agent::Asker>(flow);
        if (memory) {
            made->set_memory(memory);
        }
        asker = std::move(made);
    } else {
        err_line("zolvi mcp: no language model is configured; the ask tool answers with an "
                 "error until one is (see zolvi ask --help for the variables)");
    }
    std::optional<PrivateFolder> own_media;
    if (o.media.empty()) {
        own_media.emplace();
    }
    mcp::SessionOptions options;
    options.default_rows = o.max_rows;
    options.media_dir = o.media.empty() ? own_media->path() : o.media;
    auto sink = std::make_shared<LineSink>(protocol_fd);
    {
        mcp::Session session({db, asker, conversations}, options);
        LineReader reader(0, options.limits.max_bytes);
        std::string line;
        for (;;) {
            const auto got = reader.next(line);
            if (got == LineReader::Got::End) {
                break;
            }
            if (got == LineReader::Got::TooLong) {
                sink->send(mcp::error_reply(nullptr, mcp::kParseError,
                                            "the message is larger than " +
                                                std::to_string(options.limits.max_bytes) +
                                                " bytes"));
                continue;
            }
            if (line.find_first_not_of(" \t\r") == std::string::npos) {
                continue;
            }
            session.receive(line, sink);
        }
    }
    ::close(protocol_fd);
}

} // namespace

void add_mcp_command(CLI::App& app) {
    auto o = std::make_shared<McpOptions>();
    CLI::App* command = app.add_subcommand(
        "mcp", "Serve the database and its questions as tools to an MCP client over standard "
               "input and output");
    o->db.add_to(*command);
    command->add_option("--media", o->media,
                        "Folder of your own for the charts questions save (default: a private "
                        "temporary folder, removed at the end)");
    command
        ->add_option("--analysis", o->analysis,
                     "Where the analysis code a model writes runs: sandbox (isolated; fails "
                     "when this machine cannot isolate it) or auto (sandbox, else a plain child "
                     "process after a warning)")
        ->check(CLI::IsMember({"sandbox", "auto"}))
        ->capture_default_str();
    command
        ->add_option("--max-rows", o->max_rows,
                     "Rows a result carries when the call does not say (run_query's max_rows)")
        ->check(CLI::Range(1, 1000))
        ->capture_default_str();
    command
        ->add_option("--statement-timeout", o->statement_timeout,
                     "Seconds a statement may run (run_query and the questions' SQL); past it "
                     "the call is an error result")
        ->check(CLI::Range(0.1, 3600.0))
        ->capture_default_str();
    command->add_option("--state-db", o->state_db,
                        "Where conversations and the memory of verified SQL are kept: an SQLite "
                        "file or postgresql://... (default ZOLVI_STATE_DB, else zolviai/state.db "
                        "in $XDG_STATE_HOME or ~/.local/state)");
    command->add_flag("--no-state", o->no_state,
                      "Keep no conversations and use no memory: every question stands alone");
    command->add_flag("--print-config", o->print_config,
                      "Print a client configuration entry for this server (command, arguments "
                      "and the names of the settings it reads) and exit");
    command->add_flag("-v,--verbose", o->verbose,
                      "Also log the flow's own lines and timing on standard error");
    command->callback([o] { run_mcp(*o); });
}

} // namespace zolviai::cli
