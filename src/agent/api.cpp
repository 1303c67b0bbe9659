#include "zolviai/agent/api.hpp"

#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/llm/http_client.hpp"

#include <cstddef>
#include <cstdlib>

namespace zolviai::agent {
namespace {

constexpr std::chrono::milliseconds kServiceTimeout{30000};
// The service's answers are a few settings records; anything near this size is not one.
constexpr std::size_t kServiceAnswerMaxBytes = 1024 * 1024;

const llm::HttpClient& http() {
    static const llm::HttpClient client(llm::HttpClientOptions{kServiceAnswerMaxBytes});
    return client;
}

// A short excerpt of the service's answer for an error text, with the account key (which a
// service may echo back) masked.
std::string excerpt(const std::string& body, const std::string& key) {
    // Masked before it is cut, so that a key across the cut cannot leave a part behind.
    return mask_secret(body, key).substr(0, 200);
}

Value parse_answer(const llm::HttpResponse& r, const std::string& what,
                   const std::string& key = {}) {
    try {
        return parse_json_input(r.body, {JsonLimits{}.max_depth, kServiceAnswerMaxBytes});
    } catch (const JsonInputError& e) {
        if (e.reason() != JsonInputError::Reason::Malformed) {
            throw ValueError("the model-settings service's answer to " + what +
                             " was refused (HTTP " + std::to_string(r.status) + "): " + e.what());
        }
        throw ValueError("the model-settings service's answer to " + what + " is not JSON (HTTP " +
                         std::to_string(r.status) + "): " + excerpt(r.body, key));
    }
}

void require_success(const llm::HttpResponse& r, const std::string& what, const std::string& key) {
    if (r.status < 200 || r.status >= 300) {
        throw ModelError("the model-settings service refused " + what + " with HTTP " +
                             std::to_string(r.status) + ": " + excerpt(r.body, key),
                         r.status);
    }
}

} // namespace

std::string service_base_url() {
    const char* base = std::getenv("ZOLVI_API_BASE_URL");
    if (base == nullptr || *base == '\0') {
        throw ConfigError("ZOLVI_API_BASE_URL is not set: it must name the model-settings "
                          "service, for example https://zolvi.example.com");
    }
    std::string url = base;
    while (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    return url;
}

ZolviAPIHandler::ZolviAPIHandler(std::string zolvi_api_key) : key_(std::move(zolvi_api_key)) {}

Value ZolviAPIHandler::get_openai_data() const {
    const auto r = http().request("GET", service_base_url() + "/zolvi/openai/",
                                  {"X-Zolvi-Api-Key: " + key_, "Accept: application/json"}, "",
                                  kServiceTimeout);
    require_success(r, "the OpenAI settings request", key_);
    Value data = parse_answer(r, "the OpenAI settings request", key_);
    if (!data.is_object()) {
        throw TypeError(std::string("the OpenAI settings must be a map, not ") +
                        python_type_name(data));
    }
    return data;
}

Value fetch_azure_deployments() {
    const auto r = http().request("GET", service_base_url() + "/zolvi/azure-openais/", {}, "",
                                  kServiceTimeout);
    return parse_answer(r, "the deployment list request");
}

void send_user_question(const std::string& key, const std::string& question,
                        const Value& total_tokens, const Value& total_cost) {
    const Value body = {
        {"question", question}, {"total_tokens", total_tokens}, {"total_cost", total_cost}};
    const auto r = http().request("POST", service_base_url() + "/zolvi/usage/",
                                  {"X-Zolvi-Api-Key: " + key, "Content-Type: application/json"},
                                  body.dump(), kServiceTimeout);
    require_success(r, "the usage report", key);
}

std::shared_ptr<llm::ChatOpenAI> create_chat_openai_instance(const std::string& key) {
    const Value data = ZolviAPIHandler(key).get_openai_data();
    llm::ChatOpenAI::Options o;
    const Value absent = nullptr;
    const Value default_temperature = 1;
    auto member_or = [&](const char* name, const Value& fallback) -> const Value& {
        const Value* found = find_member(data, name);
        return found != nullptr ? *found : fallback;
    };
    const Value& model = member_or("model_name", absent);
    const Value& api_key = member_or("api_key", absent);
    const Value& temperature = member_or("temperature", default_temperature);
    if (!model.is_null() && !model.is_string()) {
        throw TypeError(std::string("model_name must be str, not ") + python_type_name(model));
    }
    if (!api_key.is_null() && !api_key.is_string()) {
        throw TypeError(std::string("api_key must be str, not ") + python_type_name(api_key));
    }
    if (!temperature.is_null() && (!temperature.is_number() || temperature.is_boolean())) {
        throw TypeError(std::string("temperature must be float, not ") +
                        python_type_name(temperature));
    }
    if (!model.is_null()) {
        o.model = model.get<std::string>();
    }
    if (!api_key.is_null()) {
        o.openai_api_key = api_key.get<std::string>();
    }
    if (!temperature.is_null()) {
        o.chat.temperature = temperature.get<double>();
    }
    auto chat = std::make_shared<llm::ChatOpenAI>(std::move(o));
    print_line("LLM is Ready!");
    return chat;
}

} // namespace zolviai::agent
