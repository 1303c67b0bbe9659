// zolviai.llm: the chat-model clients and the usage counter.
#include "convert.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/llm/usage.hpp"

#include <memory>

namespace py = pybind11;
using namespace zolviai;

namespace {

// A text is one user message; a list holds messages (convert.hpp).
std::vector<llm::Message> messages_of(py::handle input) {
    if (py::isinstance<py::str>(input)) {
        return {{"user", input.cast<std::string>()}};
    }
    std::vector<llm::Message> out;
    for (py::handle item : input) {
        out.push_back(item.cast<llm::Message>());
    }
    return out;
}

// The usage counter as a context manager, like the callback hosts know.
class UsageCallback {
public:
    UsageCallback& enter() {
        scope_ = std::make_unique<llm::UsageScope>();
        return *this;
    }
    void exit() {
        if (scope_) {
            total_tokens = scope_->total_tokens;
            prompt_tokens = scope_->prompt_tokens;
            completion_tokens = scope_->completion_tokens;
            successful_requests = scope_->successful_requests;
            total_cost = scope_->total_cost;
            scope_.reset();
        }
    }
    long get(long llm::UsageScope::*field, long UsageCallback::*kept) const {
        return scope_ ? (*scope_).*field : this->*kept;
    }
    long total_tokens = 0, prompt_tokens = 0, completion_tokens = 0, successful_requests = 0;
    double total_cost = 0;
    std::unique_ptr<llm::UsageScope> scope_;
};

void init_chat_models(py::module_& m) {
    py::class_<llm::ChatModel, std::shared_ptr<llm::ChatModel>>(m, "ChatModel")
        .def(
            "invoke",
            [](const llm::ChatModel& model, py::object input) {
                const auto messages = messages_of(input);
                py::gil_scoped_release release;
                return model.invoke(messages).content;
            },
            py::arg("input"),
            "Sends the messages (a text is one user message); returns the answer text.");
    py::class_<llm::AzureChatOpenAI, llm::ChatModel, std::shared_ptr<llm::AzureChatOpenAI>>(
        m, "AzureChatOpenAI")
        .def(py::init([](py::kwargs kwargs) {
                 return llm::AzureChatOpenAI::from_keywords(bindings::to_value(kwargs));
             }),
             "Keyword settings: azure_deployment, azure_endpoint, api_key, api_version, "
             "max_tokens, temperature, model_kwargs, timeout, max_retries.")
        .def_property_readonly(
            "azure_deployment",
            [](const llm::AzureChatOpenAI& c) { return c.options().azure_deployment; })
        .def_property_readonly(
            "azure_endpoint",
            [](const llm::AzureChatOpenAI& c) { return c.options().azure_endpoint; })
        .def_property_readonly("max_tokens",
                               [](const llm::AzureChatOpenAI& c) {
                                   return c.settings().max_tokens
                                              ? py::object(py::int_(*c.settings().max_tokens))
                                              : py::none();
                               })
        .def_property_readonly("temperature",
                               [](const llm::AzureChatOpenAI& c) {
                                   return c.settings().temperature
                                              ? py::object(py::float_(*c.settings().temperature))
                                              : py::none();
                               })
        .def_property_readonly("model_kwargs", [](const llm::AzureChatOpenAI& c) {
            return c.settings().model_kwargs;
        });
    py::class_<llm::ChatOpenAI, llm::ChatModel, std::shared_ptr<llm::ChatOpenAI>>(m, "ChatOpenAI")
        .def(py::init([](py::object openai_api_key, py::object model, py::object temperature,
                         py::object base_url, py::object max_tokens) {
                 llm::ChatOpenAI::Options o;
                 if (!openai_api_key.is_none()) {
                     o.openai_api_key = py::str(openai_api_key);
                 }
                 if (!model.is_none()) {
                     o.model = py::str(model);
                 }
                 if (!temperature.is_none()) {
                     o.chat.temperature = temperature.cast<double>();
                 }
                 if (!base_url.is_none()) {
                     o.base_url = py::str(base_url);
                 }
                 if (!max_tokens.is_none()) {
                     o.chat.max_tokens = max_tokens.cast<long>();
                 }
                 return std::make_shared<llm::ChatOpenAI>(o);
             }),
             py::kw_only(), py::arg("openai_api_key") = py::none(), py::arg("model") = py::none(),
             py::arg("temperature") = py::none(), py::arg("base_url") = py::none(),
             py::arg("max_tokens") = py::none())
        .def_property_readonly("model_name",
                               [](const llm::ChatOpenAI& c) { return c.options().model; })
        .def_property_readonly("temperature", [](const llm::ChatOpenAI& c) {
            return c.settings().temperature ? py::object(py::float_(*c.settings().temperature))
                                            : py::none();
        });
}

void init_usage(py::module_& m) {
    py::class_<UsageCallback>(m, "UsageCallback")
        .def("__enter__", &UsageCallback::enter, py::return_value_policy::reference)
        .def("__exit__", [](UsageCallback& u, py::args) { u.exit(); })
        .def_property_readonly("total_tokens",
                               [](const UsageCallback& u) {
                                   return u.get(&llm::UsageScope::total_tokens,
                                                &UsageCallback::total_tokens);
                               })
        .def_property_readonly("prompt_tokens",
                               [](const UsageCallback& u) {
                                   return u.get(&llm::UsageScope::prompt_tokens,
                                                &UsageCallback::prompt_tokens);
                               })
        .def_property_readonly("completion_tokens",
                               [](const UsageCallback& u) {
                                   return u.get(&llm::UsageScope::completion_tokens,
                                                &UsageCallback::completion_tokens);
                               })
        .def_property_readonly("successful_requests",
                               [](const UsageCallback& u) {
                                   return u.get(&llm::UsageScope::successful_requests,
                                                &UsageCallback::successful_requests);
                               })
        .def_property_readonly("total_cost", [](const UsageCallback& u) {
            return u.scope_ ? u.scope_->total_cost : u.total_cost;
        });
    m.def(
        "get_openai_callback", [] { return UsageCallback(); },
        "A context manager counting tokens and cost of the calls made on this thread inside it.");
}

} // namespace

PYBIND11_MODULE(llm, m) {
    bindings::init_common();
    m.doc() = "Chat models over the chat-completions protocol, and the usage counter.";
    init_chat_models(m);
    init_usage(m);
}
