#include "zolviai/llm/openai_models.hpp"

#include "llm/completion.hpp"

#include "transport_error.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/core/settings.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/llm/http_client.hpp"
#include "zolviai/llm/usage.hpp"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <random>
#include <spdlog/spdlog.h>
#include <thread>

namespace zolviai::llm {
namespace {

bool retriable_status(long status) {
    return status == 408 || status == 409 || status == 429 || status >= 500;
}

std::string redact(std::string text, const std::string& secret) {
    return mask_secret(std::move(text), secret);
}

// The wait the service asked for, when it asked for a sensible one.
std::optional<std::chrono::milliseconds> asked_wait(const HttpResponse& r) {
    double seconds = -1;
    if (const auto it = r.headers.find("retry-after-ms"); it != r.headers.end()) {
        char* end = nullptr;
        const double ms = std::strtod(it->second.c_str(), &end);
        if (end != it->second.c_str()) {
            seconds = ms / 1000.0;
        }
    } else if (const auto it = r.headers.find("retry-after"); it != r.headers.end()) {
        char* end = nullptr;
        const double n = std::strtod(it->second.c_str(), &end);
        if (end != it->second.c_str() && *end == '\0') {
            seconds = n;
        } else {
            std::tm tm{};
            if (strptime(it->second.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm)) {
                seconds = std::difftime(timegm(&tm), std::time(nullptr));
            }
        }
    }
    // Like the official clients: a wait outside (0, 60] s falls back to our own backoff.
    if (seconds > 0 && seconds <= 60) {
        return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    }
    return std::nullopt;
}

std::chrono::milliseconds backoff(const RetryPolicy& p, int retry) {
    thread_local std::mt19937 rng{std::random_device{}()};
    const double base = static_cast<double>(p.backoff_base.count()) * std::pow(2.0, retry);
    const double capped = std::min(base, static_cast<double>(p.backoff_cap.count()));
    const double jitter = std::uniform_real_distribution<double>(0.75, 1.0)(rng);
    return std::chrono::milliseconds(static_cast<long long>(capped * jitter));
}

// The service's own words from an error body {"error": {"message": ...}}, else the body.
std::string service_message(const std::string& body, std::size_t max_bytes) {
    try {
        const Value fault = parse_json_input(body, {JsonLimits{}.max_depth, max_bytes});
        if (const Value* error = find_member(&fault, "error")) {
            if (auto message = string_member(error, "message")) {
                return *message;
            }
            if (error->is_string()) {
                return error->get<std::string>();
            }
        }
        if (auto message = string_member(&fault, "message")) {
            return *message;
        }
    } catch (const JsonInputError&) {
    }
    return body.substr(0, 500);
}

std::string trim_slash(std::string s) {
    while (!s.empty() && s.back() == '/') {
        s.pop_back();
    }
    return s;
}

} // namespace

// The parts of a chat-completion answer we use. Only choices[0].message must be there; every
// other part a service may leave out or send in another shape.
ChatResult read_completion(const HttpResponse& r, const std::string& model_field,
                           std::size_t max_bytes, const std::string& secret) {
    Value answer;
    try {
        answer = parse_json_input(r.body, {JsonLimits{}.max_depth, max_bytes});
    } catch (const JsonInputError& e) {
        if (e.reason() == JsonInputError::Reason::Malformed) {
            throw ModelError("chat completion answer is not JSON: " +
                                 redact(r.body.substr(0, 200), secret),
                             r.status);
        }
        throw ModelError(std::string("chat completion answer refused: ") + e.what(), r.status);
    }
    Value* choice = find_element(find_member(&answer, "choices"), 0);
    Value* message = find_member(choice, "message");
    if (message == nullptr || !message->is_object()) {
        throw ModelError("chat completion answer has no choices[0].message: " +
                             redact(r.body.substr(0, 200), secret),
                         r.status);
    }
    ChatResult out;
    out.content = string_member(message, "content").value_or("");
    if (Value* calls = find_member(message, "tool_calls")) {
        out.tool_calls = std::move(*calls);
    }
    out.finish_reason = string_member(choice, "finish_reason").value_or("");
    out.model = string_member(&answer, "model").value_or(model_field);
    if (const Value* usage = find_member(&answer, "usage")) {
        out.prompt_tokens = integer_member(usage, "prompt_tokens").value_or(0);
        out.completion_tokens = integer_member(usage, "completion_tokens").value_or(0);
        out.total_tokens = integer_member(usage, "total_tokens")
                               .value_or(out.prompt_tokens + out.completion_tokens);
    }
    return out;
}

OpenAICompatibleModel::OpenAICompatibleModel(ChatSettings settings, std::string url,
                                             std::string model_field,
                                             std::vector<std::string> headers, std::string secret)
    : settings_(std::move(settings)), url_(std::move(url)), model_field_(std::move(model_field)),
      headers_(std::move(headers)), secret_(std::move(secret)),
      http_(std::make_unique<HttpClient>(HttpClientOptions{settings_.max_answer_bytes})) {
    headers_.push_back("Content-Type: application/json");
    headers_.push_back("Accept: application/json");
    // No "Expect: 100-continue" round trip before large prompts.
    headers_.push_back("Expect:");
    if (!settings_.model_kwargs.is_object()) {
        throw TypeError(std::string("model_kwargs must be a dict, not ") +
                        python_type_name(settings_.model_kwargs));
    }
}

OpenAICompatibleModel::~OpenAICompatibleModel() = default;

Value OpenAICompatibleModel::request_body(const std::vector<Message>& messages,
                                          const CallOptions& options) const {
    Value body = Value::object();
    Value list = Value::array();
    for (const auto& m : messages) {
        list.push_back({{"role", m.role}, {"content", m.content}});
    }
    body["messages"] = std::move(list);
    if (!model_field_.empty()) {
        body["model"] = model_field_;
    }
    if (settings_.temperature) {
        body["temperature"] = *settings_.temperature;
    }
    if (settings_.max_tokens) {
        body["max_tokens"] = *settings_.max_tokens;
    }
    for (const auto& [key, value] : settings_.model_kwargs.items()) {
        body[key] = value;
    }
    if (options.body_extra.is_object()) {
        for (const auto& [key, value] : options.body_extra.items()) {
            body[key] = value;
        }
    }
    return body;
}

ChatResult OpenAICompatibleModel::invoke(const std::vector<Message>& messages,
                                         const CallOptions& options) const {
    const std::string body = request_body(messages, options).dump();
    const RetryPolicy& policy = settings_.retry;
    for (int attempt = 0;; ++attempt) {
        const bool last = attempt >= policy.max_retries;
        HttpResponse r;
        try {
            r = http_->request("POST", url_, headers_, body, settings_.timeout);
        } catch (const ResponseTooLargeError& e) {
            // Not retried: the same answer would be fetched again.
            throw ResponseTooLargeError(std::string("chat completion failed: ") + e.what(),
                                        e.status(), e.limit());
        } catch (const ModelError& e) {
            throw ModelError(std::string("chat completion failed: ") + e.what(), e.status());
        } catch (const TransportError& e) {
            if (last) {
                const std::string what = redact(e.what(), secret_);
                if (e.timed_out()) {
                    throw TimeoutError("chat completion request timed out after " +
                                       std::to_string(settings_.timeout.count()) + " ms: " + what);
                }
                throw ModelUnavailable("chat completion request failed: " + what, 0);
            }
            const auto wait = backoff(policy, attempt);
            spdlog::debug("chat completion transport failure ({}); retrying in {} ms",
                          redact(e.what(), secret_), wait.count());
            std::this_thread::sleep_for(wait);
            continue;
        }
        if (r.status >= 200 && r.status < 300) {
            ChatResult out = read_completion(r, model_field_, settings_.max_answer_bytes, secret_);
            record_usage(out.model, out.prompt_tokens, out.completion_tokens, out.total_tokens);
            return out;
        }
        const std::string message =
            redact(service_message(r.body, settings_.max_answer_bytes), secret_);
        if (!retriable_status(r.status)) {
            throw ModelError("chat completion failed with HTTP " + std::to_string(r.status) + ": " +
                                 message,
                             r.status);
        }
        if (last) {
            throw ModelUnavailable("chat completion failed with HTTP " + std::to_string(r.status) +
                                       ": " + message,
                                   r.status);
        }
        const auto wait = asked_wait(r).value_or(backoff(policy, attempt));
        spdlog::debug("chat completion HTTP {} ({}); retrying in {} ms", r.status, message,
                      wait.count());
        std::this_thread::sleep_for(wait);
    }
}

AzureChatOpenAI::AzureChatOpenAI(Options o)
    : OpenAICompatibleModel(o.chat,
                            trim_slash(o.azure_endpoint) + "/openai/deployments/" +
                                o.azure_deployment +
                                "/chat/completions?api-version=" + o.api_version,
                            "", {"api-key: " + o.api_key}, o.api_key),
      options_(std::move(o)) {
    if (options_.azure_endpoint.empty()) {
        throw ValueError("AzureChatOpenAI needs azure_endpoint");
    }
    if (options_.azure_deployment.empty()) {
        throw ValueError("AzureChatOpenAI needs azure_deployment");
    }
}

std::shared_ptr<AzureChatOpenAI> AzureChatOpenAI::from_keywords(const Value& kw) {
    if (!kw.is_object()) {
        throw TypeError(std::string("AzureChatOpenAI() keywords must be a dict, not ") +
                        python_type_name(kw));
    }
    Options o;
    auto text = [](const Value& v, const std::string& key) {
        if (v.is_null()) {
            return std::string();
        }
        if (!v.is_string()) {
            throw TypeError("AzureChatOpenAI() argument '" + key + "' must be str, not " +
                            python_type_name(v));
        }
        return v.get<std::string>();
    };
    auto number = [](const Value& v, const std::string& key, bool integer) {
        const bool fits = integer ? v.is_number_integer() : (v.is_number() && !v.is_boolean());
        if (!fits) {
            throw TypeError("AzureChatOpenAI() argument '" + key + "' must be " +
                            (integer ? "int" : "float") + ", not " + python_type_name(v));
        }
        return v.get<double>();
    };
    for (const auto& [key, value] : kw.items()) {
        if (key == "azure_deployment") {
            o.azure_deployment = text(value, key);
        } else if (key == "azure_endpoint") {
            o.azure_endpoint = text(value, key);
        } else if (key == "api_key") {
            o.api_key = text(value, key);
        } else if (key == "api_version") {
            o.api_version = text(value, key);
        } else if (key == "max_tokens") {
            if (!value.is_null()) {
                o.chat.max_tokens = static_cast<long>(number(value, key, true));
            }
        } else if (key == "temperature") {
            if (!value.is_null()) {
                o.chat.temperature = number(value, key, false);
            }
        } else if (key == "model_kwargs") {
            o.chat.model_kwargs = value.is_null() ? Value::object() : value;
        } else if (key == "timeout") {
            if (!value.is_null()) {
                o.chat.timeout = std::chrono::milliseconds(
                    static_cast<long long>(number(value, key, false) * 1000));
            }
        } else if (key == "max_retries") {
            o.chat.retry.max_retries = static_cast<int>(number(value, key, true));
        } else {
            throw TypeError("AzureChatOpenAI() got an unexpected keyword argument '" + key + "'");
        }
    }
    return std::make_shared<AzureChatOpenAI>(std::move(o));
}

namespace {
std::string openai_base(const std::string& given) {
    if (!given.empty()) {
        return trim_slash(given);
    }
    const auto env = settings()->raw("OPENAI_BASE_URL");
    return env ? trim_slash(*env) : "https://api.openai.com/v1";
}
} // namespace

namespace {
// An unset key falls back to OPENAI_API_KEY; local OpenAI-compatible servers often need none,
// so without either no Authorization header is sent.
std::string openai_key(const std::string& given) {
    if (!given.empty()) {
        return given;
    }
    return settings()->raw("OPENAI_API_KEY").value_or("");
}

std::vector<std::string> bearer(const std::string& key) {
    if (key.empty()) {
        return {};
    }
    return {"Authorization: Bearer " + key};
}
} // namespace

ChatOpenAI::ChatOpenAI(Options o)
    : OpenAICompatibleModel(o.chat, openai_base(o.base_url) + "/chat/completions", o.model,
                            bearer(openai_key(o.openai_api_key)), openai_key(o.openai_api_key)),
      options_(std::move(o)) {}

} // namespace zolviai::llm
