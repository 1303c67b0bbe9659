#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/llm/chat_model.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace zolviai::llm {

class HttpClient;

// How calls are retried: on 408, 409, 429, 5xx and transport failures, at most max_retries
// more times, waiting what the service asks (retry-after-ms, retry-after when 0 < wait <= 60 s)
// or min(backoff_base * 2^n, backoff_cap) times a jitter in [0.75, 1].
struct RetryPolicy {
    int max_retries = 2;
    std::chrono::milliseconds backoff_base{500};
    std::chrono::milliseconds backoff_cap{8000};
};

// Settings every chat model shares.
struct ChatSettings {
    std::optional<double> temperature;
    std::optional<long> max_tokens;
    Value model_kwargs = Value::object(); // further body fields, such as top_p
    std::chrono::milliseconds timeout{60000};
    RetryPolicy retry;
    // The longest answer body taken, once decoded (HttpClientOptions::max_body_bytes); the
    // answer's JSON is held to the same size and to JsonLimits' depth.
    std::size_t max_answer_bytes = 16 * 1024 * 1024;
};

// Shared request/answer handling of the OpenAI-style chat-completions protocol.
class OpenAICompatibleModel : public ChatModel {
public:
    ~OpenAICompatibleModel() override;
    ChatResult invoke(const std::vector<Message>& messages,
                      const CallOptions& options = {}) const override;
    using ChatModel::invoke;

    const ChatSettings& settings() const { return settings_; }
    // The request body invoke would send (for tests and tracing).
    Value request_body(const std::vector<Message>& messages, const CallOptions& options) const;

protected:
    OpenAICompatibleModel(ChatSettings settings, std::string url, std::string model_field,
                          std::vector<std::string> headers, std::string secret);

private:
    ChatSettings settings_;
    std::string url_;
    std::string model_field_; // "model" of the body; empty for Azure (the URL names it)
    std::vector<std::string> headers_;
    std::string secret_; // removed from any text that leaves this object
    std::unique_ptr<HttpClient> http_;
};

// A deployment of Azure OpenAI: POST {azure_endpoint}/openai/deployments/{azure_deployment}
// /chat/completions?api-version={api_version} with the api-key header.
class AzureChatOpenAI : public OpenAICompatibleModel {
public:
    struct Options {
        std::string azure_deployment;
        std::string azure_endpoint;
        std::string api_key;
        std::string api_version;
        ChatSettings chat;
    };
    explicit AzureChatOpenAI(Options options);

    // From keyword settings: azure_deployment, azure_endpoint, api_key, api_version,
    // max_tokens, temperature, model_kwargs, timeout (seconds), max_retries. An unknown
    // key is a TypeError naming it.
    static std::shared_ptr<AzureChatOpenAI> from_keywords(const Value& keywords);

    const Options& options() const { return options_; }

private:
    Options options_;
};

// OpenAI or any server that speaks its protocol: POST {base_url}/chat/completions with a
// bearer token. base_url defaults to OPENAI_BASE_URL, else https://api.openai.com/v1.
class ChatOpenAI : public OpenAICompatibleModel {
public:
    struct Options {
        std::string openai_api_key;
        std::string model = "gpt-3.5-turbo";
        std::string base_url;
        ChatSettings chat;
    };
    explicit ChatOpenAI(Options options);

    const Options& options() const { return options_; }

private:
    Options options_;
};

} // namespace zolviai::llm
