// zolviai._engine: what zolviai.connect stands on: the question engine and the guarded
// database, with rows as Python values. Silent: what the flow prints and logs goes to
// Python's logging (logger "zolviai"), never to standard output.
#include "convert.hpp"
#include "zolviai/agent/agent.hpp"
#include "zolviai/agent/asker.hpp"
#include "zolviai/agent/conversation.hpp"
#include "zolviai/agent/environment.hpp"
#include "zolviai/agent/memory.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/pyexec/analysis_runner.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/state/conversations.hpp"
#include "zolviai/state/store.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <pybind11/stl.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace py = pybind11;
using namespace zolviai;

namespace {

// logging.DEBUG, INFO, WARNING, ERROR, CRITICAL.
constexpr int python_debug = 10, python_info = 20, python_warning = 30, python_error = 40,
              python_critical = 50;

// One record on the logger "zolviai"; dropped once the interpreter is going away.
void log_to_python(int level, std::string_view text) {
    while (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    if (text.empty() || !Py_IsInitialized() || _Py_IsFinalizing()) {
        return;
    }
    // Any thread may log, also threads Python has never seen.
    const PyGILState_STATE gil = PyGILState_Ensure();
    {
        // A host whose logging fails must not turn a log line into an error.
        try {
            py::module_::import("logging").attr("getLogger")("zolviai").attr("log")(
                level, py::str(text.data(), text.size()));
        } catch (py::error_already_set&) {
        }
    }
    PyGILState_Release(gil);
}

// The flow's printed lines (its prompts, diagnostics) as debug records, its warnings as
// warnings.
class LoggingSink : public ConsoleSink {
public:
    void write_out(std::string_view text) override { log_to_python(python_debug, text); }
    void write_err(std::string_view text) override { log_to_python(python_warning, text); }
};

// The library's log (spdlog) into the same logger. No lock of its own: a thread that waited
// for one while holding the GIL would block a thread that holds it and waits for the GIL.
class LoggingLogSink : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        int level = python_debug;
        switch (msg.level) {
        case spdlog::level::info:
            level = python_info;
            break;
        case spdlog::level::warn:
            level = python_warning;
            break;
        case spdlog::level::err:
            level = python_error;
            break;
        case spdlog::level::critical:
            level = python_critical;
            break;
        default:
            break;
        }
        log_to_python(level, std::string_view(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}
};

// A database and, from its first question on, the flow that answers questions about it.
class Engine {
public:
    Engine(std::shared_ptr<sql::CustomSQLDatabase> db, agent::ModelChoice models,
           pyexec::AnalysisRunnerPtr runner)
        : db_(std::move(db)), models_(std::move(models)), runner_(std::move(runner)) {}

    const sql::CustomSQLDatabase& db() const { return *db_; }

    // The flow, built on first use: a host that only runs SQL needs no model.
    std::shared_ptr<const flow::SQLGraph> flow() const {
        std::lock_guard lock(mutex_);
        if (!flow_) {
            flow_ = agent::build_flow_from_environment(db_, models_, runner_);
        }
        return flow_;
    }

    // The conversation store of a state database ("" the user's file), opened once.
    std::shared_ptr<state::ConversationStore> conversations(const std::string& state_db) const {
        const std::string path = state_db.empty() ? state::Store::default_path() : state_db;
        std::lock_guard lock(mutex_);
        auto& store = conversations_[path];
        if (!store) {
            store = std::make_shared<state::ConversationStore>(state::Store::open(path));
        }
        return store;
    }

    // The memory of verified SQL questions use (null: none until the host asks for it).
    std::shared_ptr<agent::Memory> memory() const {
        std::lock_guard lock(mutex_);
        return memory_;
    }
    std::shared_ptr<agent::Memory> open_memory(const std::string& state_db) const {
        const std::string path = state_db.empty() ? state::Store::default_path() : state_db;
        std::lock_guard lock(mutex_);
        if (!memory_) {
            memory_ = std::make_shared<agent::Memory>(state::Store::open(path));
        }
        return memory_;
    }

private:
    std::shared_ptr<sql::CustomSQLDatabase> db_;
    agent::ModelChoice models_;
    pyexec::AnalysisRunnerPtr runner_;
    mutable std::mutex mutex_;
    mutable std::shared_ptr<flow::SQLGraph> flow_;
    mutable std::map<std::string, std::shared_ptr<state::ConversationStore>> conversations_;
    mutable std::shared_ptr<agent::Memory> memory_;
};

std::shared_ptr<ConsoleSink> logging_sink() {
    static const auto sink = std::make_shared<LoggingSink>();
    return sink;
}

py::list column_names(const sql::ResultSet& rs) {
    py::list out;
    for (const auto& c : rs.columns) {
        out.append(c.name);
    }
    return out;
}

py::list column_types(const sql::ResultSet& rs) {
    py::list out;
    for (const auto& c : rs.columns) {
        out.append(c.type_name);
    }
    return out;
}

// Each row a tuple of the values the usual database clients hand out.
py::list python_rows(const sql::ResultSet& rs) {
    py::list out;
    for (const auto& row : rs.rows) {
        py::tuple line(row.size());
        for (std::size_t i = 0; i < row.size(); ++i) {
            line[i] = bindings::from_cell(row[i]);
        }
        out.append(std::move(line));
    }
    return out;
}

py::dict result_dict(const sql::ResultSet& rs) {
    py::dict out;
    out["columns"] = column_names(rs);
    out["column_types"] = column_types(rs);
    out["rows"] = python_rows(rs);
    const auto kept = static_cast<std::int64_t>(rs.rows.size());
    out["row_count"] = std::max(rs.total_rows, kept);
    out["truncated"] = rs.total_rows > kept;
    return out;
}

std::shared_ptr<Engine> open_engine(const std::string& uri, const std::vector<std::string>& allowed,
                                    std::optional<bool> allow_privileged_role,
                                    bool require_read_only_role, const std::string& schema_cache,
                                    std::size_t prune_threshold, std::size_t prune_top_k,
                                    const std::string& model, const std::string& sql_model,
                                    const std::string& base_url, const std::string& api_key,
                                    const std::string& analysis, const std::string& dotenv,
                                    std::size_t max_cell_bytes, std::size_t max_result_bytes) {
    sql::DatabaseOptions options;
    options.max_cell_bytes = max_cell_bytes;
    options.max_result_bytes = max_result_bytes;
    options.guard.allowed_functions = allowed;
    options.allow_privileged_role = allow_privileged_role
                                        ? *allow_privileged_role
                                        : bindings::environment_allows_privileged_role();
    options.require_read_only_role = require_read_only_role;
    options.schema_cache_dir = schema_cache;
    options.prune_threshold = prune_threshold;
    options.prune_top_k = prune_top_k;
    const pyexec::AnalysisMode mode = pyexec::parse_analysis_mode(analysis);
    py::gil_scoped_release release;
    const ThreadSinkScope lines(logging_sink());
    if (!dotenv.empty()) {
        agent::load_dotenv(dotenv); // variables already set are left as they are
    }
    auto runner = pyexec::make_analysis_runner(mode);
    auto db = sql::CustomSQLDatabase::from_uri(uri, options);
    return std::make_shared<Engine>(
        std::move(db), agent::ModelChoice{model, sql_model, base_url, api_key}, std::move(runner));
}

// conversation_id: none asks the question alone; "" starts a conversation, an id continues it
// (KeyError for an unknown or expired one, ValueError for a full one).
py::dict ask(const Engine& engine, const std::string& question, bool sql_only, std::size_t max_rows,
             const std::string& media_dir, std::optional<std::string> conversation_id,
             const std::string& state_db) {
    agent::Answer answer;
    std::string conversation;
    int turn = 0;
    try {
        py::gil_scoped_release release;
        const ThreadSinkScope lines(logging_sink());
        agent::Question q;
        q.text = question;
        q.mode = sql_only ? agent::RunMode::SqlOnly : agent::RunMode::Full;
        q.max_rows = max_rows;
        q.media_dir = media_dir;
        agent::Asker asker(engine.flow());
        if (auto memory = engine.memory()) {
            asker.set_memory(std::move(memory));
        }
        if (conversation_id) {
            auto store = engine.conversations(state_db);
            auto next = agent::ask_in_conversation(asker, *store, *conversation_id, std::move(q));
            answer = std::move(next.answer);
            conversation = std::move(next.conversation_id);
            turn = next.turn;
        } else {
            answer = asker.ask(q);
        }
    } catch (const state::ConversationNotFound& e) {
        throw py::key_error(e.what());
    } catch (const state::ConversationFull& e) {
        throw py::value_error(e.what());
    }
    py::dict out;
    if (conversation_id) {
        out["conversation_id"] = conversation;
        out["turn"] = turn;
    }
    // The record /v1/ask and zolvi ask --json give (rows there are JSON values) ...
    out["record"] = bindings::from_value(agent::answer_json(answer, max_rows));
    // ... and the rows as Python values.
    out["rows"] = answer.result ? python_rows(*answer.result) : py::list();
    py::list files;
    for (const auto& f : answer.analysis.files) {
        files.append(f);
    }
    out["files"] = files;
    out["chart"] = answer.analysis.chart;
    out["error_type"] = answer.error_type;
    return out;
}

py::dict run_sql(const Engine& engine, const std::string& statement, std::int64_t max_rows) {
    sql::ResultSet rs;
    {
        py::gil_scoped_release release;
        const ThreadSinkScope lines(logging_sink());
        rs = engine.db().query(statement, max_rows);
    }
    return result_dict(rs);
}

} // namespace

PYBIND11_MODULE(_engine, m) {
    bindings::init_common();
    m.doc() = "The question engine and the guarded database under zolviai.connect.";
    m.attr("__version__") = ZOLVIAI_VERSION;

    // The library's log goes to Python's logging from now on, whichever module writes it.
    auto logger = std::make_shared<spdlog::logger>("zolviai", std::make_shared<LoggingLogSink>());
    logger->set_level(spdlog::level::debug);
    spdlog::set_default_logger(logger);

    py::class_<Engine, std::shared_ptr<Engine>>(m, "Engine")
        .def_property_readonly("dialect", [](const Engine& e) { return e.db().dialect(); })
        .def(
            "tables",
            [](const Engine& e) {
                const ThreadSinkScope lines(logging_sink());
                return e.db().get_usable_table_names();
            },
            py::call_guard<py::gil_scoped_release>())
        .def(
            "schema",
            [](const Engine& e, const std::vector<std::string>& names) {
                const ThreadSinkScope lines(logging_sink());
                return e.db().get_table_info_no_throw(names);
            },
            py::arg("tables"), py::call_guard<py::gil_scoped_release>())
        .def("sql", &run_sql, py::arg("statement"), py::arg("max_rows") = -1)
        .def("ask", &ask, py::arg("question"), py::arg("sql_only") = false, py::arg("max_rows") = 0,
             py::arg("media_dir") = "", py::arg("conversation_id") = py::none(),
             py::arg("state_db") = "")
        .def(
            "turns",
            [](const Engine& e, const std::string& state_db, const std::string& id) {
                Value turns;
                {
                    py::gil_scoped_release release;
                    auto store = e.conversations(state_db);
                    const auto info = store->find(id);
                    if (!info) {
                        turns = nullptr;
                    } else {
                        turns = agent::conversation_json(*info, store->turns(id))["turns"];
                    }
                }
                if (turns.is_null()) {
                    throw py::key_error("no conversation " + id + " (unknown or expired)");
                }
                return bindings::from_value(turns);
            },
            py::arg("state_db"), py::arg("conversation_id"))
        .def(
            "remove_conversation",
            [](const Engine& e, const std::string& state_db, const std::string& id) {
                return e.conversations(state_db)->remove(id);
            },
            py::arg("state_db"), py::arg("conversation_id"),
            py::call_guard<py::gil_scoped_release>())
        .def(
            "open_memory",
            [](const Engine& e, const std::string& state_db) { e.open_memory(state_db); },
            py::arg("state_db"), py::call_guard<py::gil_scoped_release>(),
            "Opens the memory of verified SQL in the state database; questions use it from now on.")
        .def(
            "memory_add",
            [](const Engine& e, const std::string& question, const std::string& sql,
               const std::string& by) {
                Value entry;
                {
                    py::gil_scoped_release release;
                    entry = agent::entry_json(e.memory()->add(e.db(), question, sql, "api", by));
                }
                return bindings::from_value(entry);
            },
            py::arg("question"), py::arg("sql"), py::arg("by") = "")
        .def(
            "memory_search",
            [](const Engine& e, const std::string& text, std::size_t k) {
                Value found = Value::array();
                {
                    py::gil_scoped_release release;
                    for (const auto& entry : e.memory()->search(e.db().identity(), text, k)) {
                        found.push_back(agent::entry_json(entry));
                    }
                }
                return bindings::from_value(found);
            },
            py::arg("text"), py::arg("k") = 10)
        .def("memory_list",
             [](const Engine& e) {
                 Value found = Value::array();
                 {
                     py::gil_scoped_release release;
                     for (const auto& entry : e.memory()->list(e.db().identity())) {
                         found.push_back(agent::entry_json(entry));
                     }
                 }
                 return bindings::from_value(found);
             })
        .def(
            "memory_remove",
            [](const Engine& e, std::int64_t id) { return e.memory()->remove(id); },
            py::arg("entry_id"), py::call_guard<py::gil_scoped_release>())
        .def(
            "build_models",
            [](const Engine& e) {
                const ThreadSinkScope lines(logging_sink());
                e.flow();
            },
            py::call_guard<py::gil_scoped_release>(),
            "Builds the models now (ConfigError as RuntimeError when none is configured).");

    m.def("open", &open_engine, py::arg("uri"), py::kw_only(),
          py::arg("allowed_functions") = std::vector<std::string>{},
          py::arg("allow_privileged_role") = py::none(), py::arg("require_read_only_role") = false,
          py::arg("schema_cache") = "", py::arg("prune_threshold") = 60,
          py::arg("prune_top_k") = 40, py::arg("model") = "", py::arg("sql_model") = "",
          py::arg("base_url") = "", py::arg("api_key") = "", py::arg("analysis") = "auto",
          py::arg("dotenv") = ".env",
          py::arg("max_cell_bytes") = sql::DatabaseOptions{}.max_cell_bytes,
          py::arg("max_result_bytes") = sql::DatabaseOptions{}.max_result_bytes);
}
