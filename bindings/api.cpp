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
        .def("get_openai_data", &agent::ZolviAPIHandler::get_openai_data,
             py::call_guard<py::gil_scoped_release>());
    m.def("send_user_question", &agent::send_user_question, py::arg("zolvi_api_key"),
          py::arg("question"), py::arg("total_tokens"), py::arg("total_cost"),
          py::call_guard<py::gil_scoped_release>(),
          "Reports a question and the tokens and cost it used.");
    m.def("get_azure_deployments", &agent::fetch_azure_deployments,
          py::call_guard<py::gil_scoped_release>());
    m.def(
        "create_chat_openai_instance",
        [](const std::string& key) {
            py::gil_scoped_release release;
            return agent::create_chat_openai_instance(key);
        },
        py::arg("zolvi_api_key"));
}
