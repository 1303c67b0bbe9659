// zolviai.api: the model-settings service client and the usage report.
#include "zolviai/agent/api.hpp"

#include "convert.hpp"

namespace py = pybind11;
using namespace zolviai;

PYBIND11_MODULE(api, m) {
    bindings::init_common();
    py::module_::import("zolviai.llm");
    m.doc() = "The model-settings service (its address: ZOLVI_API_BASE_URL).";
    py::class_<agent::ZolviAPIHandler>(m, "ZolviAPIHandler")
        .def(py::init<std::string>(), py::kw_only(), py::arg("zolvi_api_key"))
        .def("get_openai_data", [](const agent::ZolviAPIHandler& h) {
            Value data;
            {
                py::gil_scoped_release release;
                data = h.get_openai_data();
            }
            return bindings::from_value(data);
        });
    m.def(
        "send_user_question",
        [](const std::string& key, const std::string& question, py::object tokens,
           py::object cost) {
            const Value t = bindings::to_value(tokens);
            const Value c = bindings::to_value(cost);
            py::gil_scoped_release release;
            agent::send_user_question(key, question, t, c);
        },
        py::arg("zolvi_api_key"), py::arg("question"), py::arg("total_tokens"),
        py::arg("total_cost"), "Reports a question and the tokens and cost it used.");
    m.def("get_azure_deployments", [] {
        Value data;
        {
            py::gil_scoped_release release;
            data = agent::fetch_azure_deployments();
        }
        return bindings::from_value(data);
    });
    m.def(
        "create_chat_openai_instance",
        [](const std::string& key) {
            py::gil_scoped_release release;
            return agent::create_chat_openai_instance(key);
        },
        py::arg("zolvi_api_key"));
}
