#include "zolviai/agent/environment.hpp"

#include "zolviai/agent/agent.hpp"
#include "zolviai/agent/api.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/llm/model_settings.hpp"
#include "zolviai/llm/openai_models.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zolviai::agent {
namespace {

std::string env(const char* name, const std::string& fallback = "") {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

} // namespace

Settings settings_from_process(const std::string& dotenv_path) {
    Settings out;
    out.set_environment([](const std::string& name) -> std::optional<std::string> {
        const char* v = std::getenv(name.c_str());
        return v ? std::optional<std::string>(v) : std::nullopt;
    });
    std::ifstream in(dotenv_path, std::ios::binary);
    if (in) {
        std::ostringstream text;
        text << in.rdbuf();
        out.set_dotenv(Settings::parse_dotenv(text.str()));
    }
    return out;
}

namespace {

// A C++ host that links the agent library is an edge that may not know it: unless it installs
// settings of its own first, it gets its environment and .env as the command line would.
[[maybe_unused]] const bool installed_at_load = [] {
    if (!settings_installed()) {
        install_settings(settings_from_process());
    }
    return true;
}();

} // namespace

bool model_configured() {
    return !env("AZURE_OPENAI_ENDPOINT").empty() || !env("OPENAI_API_KEY").empty() ||
           !env("OPENAI_BASE_URL").empty() || !env("ZOLVI_API_BASE_URL").empty();
}

std::unique_ptr<flow::SQLGraph> build_flow_from_environment(flow::DatabasePtr db) {
    return build_flow_from_environment(std::move(db), ModelChoice{});
}

std::unique_ptr<flow::SQLGraph> build_flow_from_environment(flow::DatabasePtr db,
                                                            const ModelChoice& choice,
                                                            pyexec::AnalysisRunnerPtr runner) {
    auto given = [](const std::string& value, const char* name, const std::string& fallback = "") {
        return value.empty() ? env(name, fallback) : value;
    };
    if (choice.base_url.empty() && !env("AZURE_OPENAI_ENDPOINT").empty()) {
        const std::string key = given(choice.api_key, "AZURE_OPENAI_API_KEY");
        const std::string deployment = given(choice.model, "AZURE_OPENAI_DEPLOYMENT");
        if (key.empty() || deployment.empty()) {
            throw ConfigError("AZURE_OPENAI_ENDPOINT is set, so AZURE_OPENAI_API_KEY and "
                              "AZURE_OPENAI_DEPLOYMENT must be set too");
        }
        const std::string version = env("AZURE_OPENAI_API_VERSION", "2024-10-21");
        const llm::AzureOpenAIChat35 general(deployment, env("AZURE_OPENAI_ENDPOINT"), key,
                                             version);
        const std::string sql_deployment = !choice.sql_model.empty() ? choice.sql_model
                                           : !choice.model.empty()
                                               ? choice.model
                                               : env("AZURE_OPENAI_SQL_DEPLOYMENT", deployment);
        const llm::AzureOpenAIChat4 sql_role(sql_deployment, env("AZURE_OPENAI_ENDPOINT"), key,
                                             version);
        return std::make_unique<flow::SQLGraph>(std::move(db), general, sql_role,
                                                std::move(runner));
    }
    const std::string base_url = given(choice.base_url, "OPENAI_BASE_URL");
    const std::string api_key = given(choice.api_key, "OPENAI_API_KEY");
    if (!api_key.empty() || !base_url.empty()) {
        auto make = [&](const std::string& model, long max_tokens) {
            llm::ChatOpenAI::Options o;
            o.openai_api_key = api_key.empty() ? "none" : api_key;
            o.model = model;
            o.base_url = base_url;
            o.chat.temperature = 0;
            o.chat.max_tokens = max_tokens;
            return std::make_shared<llm::ChatOpenAI>(o);
        };
        const std::string model = given(choice.model, "OPENAI_MODEL", "gpt-4o-mini");
        const std::string sql_model = !choice.sql_model.empty() ? choice.sql_model
                                      : !choice.model.empty()   ? choice.model
                                                                : env("OPENAI_SQL_MODEL", model);
        return std::make_unique<flow::SQLGraph>(std::move(db), make(model, 8192),
                                                make(sql_model, 4096), std::move(runner));
    }
    if (!env("ZOLVI_API_BASE_URL").empty()) {
        std::unique_ptr<llm::ModelSettings> role_35, role_4;
        if (!pick_deployments(fetch_azure_deployments(), role_35, role_4)) {
            throw ConfigError("the model-settings service at ZOLVI_API_BASE_URL lists no usable "
                              "\"GPT-3.5\" and \"GPT-4\" deployments");
        }
        return std::make_unique<flow::SQLGraph>(std::move(db), *role_35, *role_4,
                                                std::move(runner));
    }
    throw ConfigError("no language model is configured. Set one of:\n" + model_variables() +
                      "in the environment or in a .env file");
}

std::string model_variables() {
    return "  AZURE_OPENAI_ENDPOINT, AZURE_OPENAI_API_KEY, AZURE_OPENAI_DEPLOYMENT "
           "[AZURE_OPENAI_SQL_DEPLOYMENT, AZURE_OPENAI_API_VERSION]   (Azure OpenAI)\n"
           "  OPENAI_API_KEY [OPENAI_MODEL, OPENAI_SQL_MODEL, OPENAI_BASE_URL]   (OpenAI, or a "
           "compatible server such as llama.cpp, vLLM or Ollama: set OPENAI_BASE_URL, e.g. "
           "http://127.0.0.1:8080/v1)\n"
           "  ZOLVI_API_BASE_URL [ZOLVI_API_KEY]   (the model-settings service)\n";
}

} // namespace zolviai::agent
