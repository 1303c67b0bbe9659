#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/llm/openai_models.hpp"

#include <memory>
#include <string>

// The model-settings service: deployments for the flow, settings of the stand-alone OpenAI
// model, and the usage report of each question. Its address comes from ZOLVI_API_BASE_URL.
namespace zolviai::agent {

// ZOLVI_API_BASE_URL without a trailing slash; unset or empty is a ConfigError naming it.
std::string service_base_url();

// The service client for one account key (sent in the X-Zolvi-Api-Key header).
class ZolviAPIHandler {
public:
    explicit ZolviAPIHandler(std::string zolvi_api_key);

    // GET {base}/zolvi/openai/: {"model_name", "api_key", "temperature"} for ChatOpenAI.
    Value get_openai_data() const;

private:
    std::string key_;
};

// GET {base}/zolvi/azure-openais/ with no headers: the JSON list of deployment records. The
// HTTP status is not examined; an answer that is not JSON is a ValueError.
Value fetch_azure_deployments();

// POST {base}/zolvi/usage/ with {"question", "total_tokens", "total_cost"} (either figure
// may be null) and the key in X-Zolvi-Api-Key. A failure raises.
void send_user_question(const std::string& zolvi_api_key, const std::string& question,
                        const Value& total_tokens, const Value& total_cost);

// A ChatOpenAI from the service's OpenAI settings: model_name (null when absent),
// temperature (1 when absent), api_key. Prints "LLM is Ready!".
std::shared_ptr<llm::ChatOpenAI> create_chat_openai_instance(const std::string& zolvi_api_key);

} // namespace zolviai::agent
