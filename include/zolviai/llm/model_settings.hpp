#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/llm/openai_models.hpp"

#include <memory>
#include <optional>
#include <string>

namespace zolviai::llm {

// The settings of one Azure OpenAI deployment, as the model-settings service hands them out.
// The attribute map holds exactly the four fields (null where unset); it becomes the keyword
// settings of the deployment's chat models.
class ModelSettings {
public:
    ModelSettings(std::optional<std::string> azure_deployment,
                  std::optional<std::string> azure_endpoint, std::optional<std::string> api_key,
                  std::optional<std::string> api_version);
    virtual ~ModelSettings() = default;

    Value attribute_map() const;
    virtual const char* class_name() const = 0;

    std::optional<std::string> azure_deployment;
    std::optional<std::string> azure_endpoint;
    std::optional<std::string> api_key;
    std::optional<std::string> api_version;
};

// The deployment for every model role of the flow but SQL generation.
class AzureOpenAIChat35 : public ModelSettings {
public:
    using ModelSettings::ModelSettings;
    const char* class_name() const override { return "AzureOpenAIChat35"; }
};

// The deployment for SQL generation.
class AzureOpenAIChat4 : public ModelSettings {
public:
    using ModelSettings::ModelSettings;
    const char* class_name() const override { return "AzureOpenAIChat4"; }
};

// A chat model from a settings map plus further keyword settings. A key given by both is a
// TypeError naming it, worded as Python words a repeated keyword argument.
std::shared_ptr<AzureChatOpenAI> build_azure_chat_model(const Value& settings_map,
                                                        const Value& extra);

} // namespace zolviai::llm
