// zolviai.eval: execution accuracy, cost and latency of the flow on a question set, for
// notebooks and scripts.
#include "convert.hpp"
#include "zolviai/agent/agent.hpp"
#include "zolviai/agent/environment.hpp"
#include "zolviai/eval/harness.hpp"
#include "zolviai/eval/report.hpp"

#include <cstdlib>
#include <pybind11/stl.h>

namespace py = pybind11;
using namespace zolviai;

namespace {

// A path, or a list of question records shaped as the JSON Lines format's lines.
std::vector<eval::Question> questions_of(py::handle questions, const std::string& format,
                                         std::string& file) {
    py::module_ os = py::module_::import("os");
    if (py::isinstance<py::str>(questions) || py::isinstance(questions, os.attr("PathLike"))) {
        file = py::str(os.attr("fspath")(questions));
        return eval::load_questions(file, eval::parse_question_format(format));
    }
    if (!py::isinstance<py::list>(questions) && !py::isinstance<py::tuple>(questions)) {
        throw bindings::argument_type_error("questions", "str, os.PathLike or list", questions);
    }
    std::string lines;
    for (py::handle q : questions) {
        lines += bindings::to_value(q).dump() + "\n";
    }
    return eval::parse_questions(lines, eval::QuestionFormat::Jsonl);
}

py::object run(py::object questions, py::object db, py::object db_root, const std::string& format,
               int jobs, py::object out, bool sql_only, py::object limit, bool resume,
               const std::string& compare, double timeout, py::object progress) {
    eval::EvalOptions options;
    std::string file;
    auto list = questions_of(questions, format, file);
    options.questions_file = file;
    if (!db.is_none()) {
        options.default_db_uri = py::str(db);
    } else if (const char* env = std::getenv("ZOLVI_DB_URI"); env && *env) {
        options.default_db_uri = env;
    }
    if (!db_root.is_none()) {
        options.db_root = py::str(py::module_::import("os").attr("fspath")(db_root));
    }
    if (!out.is_none()) {
        options.out_dir = py::str(py::module_::import("os").attr("fspath")(out));
        options.media_dir = options.out_dir + "/media";
    }
    options.jobs = jobs;
    options.sql_only = sql_only;
    options.limit = limit.is_none() ? 0 : limit.cast<std::size_t>();
    options.resume = resume;
    options.compare = eval::parse_compare_mode(compare);
    if (!(timeout > 0)) {
        throw ValueError("timeout must be a positive number of seconds");
    }
    options.database.statement_timeout_ms = static_cast<int>(timeout * 1000);
    if (!agent::model_configured()) {
        agent::build_flow_from_environment(nullptr); // the ConfigError naming the settings
    }
    eval::FlowFactory factory = [](std::shared_ptr<sql::CustomSQLDatabase> database) {
        return std::shared_ptr<flow::SQLGraph>(
            agent::build_flow_from_environment(std::move(database)));
    };
    eval::Evaluation evaluation(std::move(list), options, factory);
    // Between questions: the host's callback, and Ctrl-C, which stops the run (the questions
    // in flight finish, the report covers what was done).
    bool interrupted = false;
    auto on_record = [&](const Value& record, const eval::ProgressInfo& p) {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) {
            PyErr_Clear();
            interrupted = true;
            evaluation.stop();
            return;
        }
        if (!progress.is_none()) {
            try {
                progress(bindings::from_value(record), p.done, p.total);
            } catch (py::error_already_set& e) {
                e.discard_as_unraisable("zolviai.eval.run progress callback");
            }
        }
    };
    Value result;
    {
        py::gil_scoped_release release;
        result = evaluation.run(on_record);
    }
    result["summary"]["interrupted"] = interrupted;
    return bindings::from_value(result);
}

} // namespace

PYBIND11_MODULE(eval, m) {
    bindings::init_common();
    m.doc() = "Measure the flow's execution accuracy, cost and latency on a question set.";
    agent::load_dotenv();
    m.def("run", &run, py::arg("questions"), py::kw_only(), py::arg("db") = py::none(),
          py::arg("db_root") = py::none(), py::arg("format") = "auto", py::arg("jobs") = 4,
          py::arg("out") = py::none(), py::arg("sql_only") = false, py::arg("limit") = py::none(),
          py::arg("resume") = false, py::arg("compare") = "set", py::arg("timeout") = 30.0,
          py::arg("progress") = py::none(),
          "Runs every question through the flow (models from the environment, as zolvi ask "
          "configures them), runs its final query and the gold query on the same database, "
          "and compares the results. Returns {'summary': {...}, 'records': [...]}; with out, "
          "also writes results.jsonl, summary.json, report.md and report.html there.");
    m.def(
        "headline", [](const Value& summary) { return eval::headline(summary); },
        py::arg("summary"), "The summary's one-line result.");
}
