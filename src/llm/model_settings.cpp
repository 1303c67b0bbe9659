#include "zolviai/llm/model_settings.hpp"

#include "zolviai/core/error.hpp"

namespace zolviai::llm {

ModelSettings::ModelSettings(std::optional<std::string> deployment,
                             std::optional<std::string> endpoint, std::optional<std::string> key,
                             std::optional<std::string> version)
    : azure_deployment(std::move(deployment)), azure_endpoint(std::move(endpoint)),
      api_key(std::move(key)), api_version(std::move(version)) {}

Value ModelSettings::attribute_map() const {
    auto v = [](const std::optional<std::string>& s) { return s ? Value(*s) : Value(nullptr); };
    return {{"azure_deployment", v(azure_deployment)},
            {"azure_endpoint", v(azure_endpoint)},
            {"api_key", v(api_key)},
            {"api_version", v(api_version)}};
}

std::shared_ptr<AzureChatOpenAI> build_azure_chat_model(const Value& settings_map,
                                                        const Value& extra) {
    Value keywords = settings_map;
    for (const auto& [key, value] : extra.items()) {
        if (keywords.contains(key)) {
            throw TypeError("AzureChatOpenAI() got multiple values for keyword argument '" + key +
                            "'");
        }
        keywords[key] = value;
    }
    return AzureChatOpenAI::from_keywords(keywords);
}

} // namespace zolviai::llm
