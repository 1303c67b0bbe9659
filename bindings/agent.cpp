// zolviai.agent: the host's front door: create an agent for a database, run questions.
#include "zolviai/agent/agent.hpp"

#include "convert.hpp"
#include "zolviai/agent/api.hpp"
#include "zolviai/agent/asker.hpp"

#include <pybind11/stl.h>

namespace py = pybind11;
using namespace zolviai;

namespace {

// The names hosts import from this module although other modules define them.
void init_reexports(py::module_& m) {
    bindings::reexport_public_names("zolviai.coderunner", m);
    py::module_ flow_graph = py::module_::import("zolviai.flow_graph.flow_graph");
    m.attr("SQLGraph") = flow_graph.attr("SQLGraph");
    m.attr("CustomSQLDatabase") =
        py::module_::import("zolviai.flow_graph.custom_sql").attr("CustomSQLDatabase");
    py::module_ settings = py::module_::import("zolviai.settings");
    m.attr("AzureOpenAIChat35") = settings.attr("AzureOpenAIChat35");
    m.attr("AzureOpenAIChat4") = settings.attr("AzureOpenAIChat4");
    py::module_ api = py::module_::import("zolviai.api");
    m.attr("send_user_question") = api.attr("send_user_question");
    m.attr("ZolviAPIHandler") = api.attr("ZolviAPIHandler");
    m.attr("create_chat_openai_instance") = api.attr("create_chat_openai_instance");
    // An agent variant for hosts that drive a runnable with an agent executor.
    m.attr("CustomRunnableAgent") =
        py::module_::import("zolviai._runnable_agent").attr("CustomRunnableAgent");
}

void init_operations(py::module_& m) {
    m.def(
        "create_agent",
        [](const std::string& engine, py::object db_name, py::object db_user,
           py::object db_password, py::object db_host,
           py::object db_port) -> std::shared_ptr<flow::SQLGraph> {
            const std::string name = py::str(db_name), user = py::str(db_user),
                              password = py::str(db_password), host = py::str(db_host),
                              port = py::str(db_port);
            py::gil_scoped_release release;
            return agent::create_agent(engine, name, user, password, host, port);
        },
        py::arg("engine"), py::arg("db_name"), py::arg("db_user"), py::arg("db_password"),
        py::arg("db_host"), py::arg("db_port"),
        "An agent (SQLGraph) for the database, or None when the model-settings service does "
        "not provide both deployments.");
    m.def(
        "run_agent",
        [](const flow::SQLGraph& graph, const std::string& key, const std::string& query,
           const std::string& media_path, bool sql_only) {
            py::gil_scoped_release release;
            return agent::run_agent(graph, key, query, media_path, nullptr, sql_only);
        },
        py::arg("agent"), py::arg("zolvi_api_key"), py::arg("query"), py::arg("media_path"),
        py::kw_only(), py::arg("sql_only") = false,
        "Answers one question: {'output', 'python_code', 'image_path', 'generated_query', "
        "'sql_execution_result'}, or {'output': 'An error occurred'}. With sql_only=True the "
        "run ends once the SQL has run: 'output' is ''.");
    m.def(
        "ask",
        [](std::shared_ptr<flow::SQLGraph> graph, const std::string& question,
           const std::string& media_path, bool sql_only, std::size_t max_rows) {
            py::gil_scoped_release release;
            agent::Question q;
            q.text = question;
            q.media_dir = media_path;
            q.mode = sql_only ? agent::RunMode::SqlOnly : agent::RunMode::Full;
            q.max_rows = max_rows;
            return agent::answer_json(agent::Asker(std::move(graph)).ask(q));
        },
        py::arg("agent"), py::arg("question"), py::kw_only(), py::arg("media_path") = "",
        py::arg("sql_only") = false, py::arg("max_rows") = 0,
        "Answers one question with the typed record zolvi ask --json and the server give: "
        "'outcome', 'answer', 'sql', 'columns', 'column_types', 'rows' (values), 'row_count', "
        "'truncated', 'attempts', 'steps', 'usage', 'error', ... Failures are in the record, "
        "not raised.");
}

} // namespace

PYBIND11_MODULE(agent, m) {
    bindings::init_common();
    m.doc() = "Create an agent for a database and ask it questions.";
    agent::load_dotenv(); // variables already set are left as they are
    init_reexports(m);
    init_operations(m);
}
