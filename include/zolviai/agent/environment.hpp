#pragma once

#include "zolviai/core/settings.hpp"
#include "zolviai/flow/sql_graph.hpp"

#include <memory>

namespace zolviai::agent {

// The flow for a database with the models the environment configures, first match wins:
// Azure deployments (AZURE_OPENAI_ENDPOINT, AZURE_OPENAI_API_KEY, AZURE_OPENAI_DEPLOYMENT
// [AZURE_OPENAI_SQL_DEPLOYMENT, AZURE_OPENAI_API_VERSION]), an OpenAI-compatible server
// (OPENAI_API_KEY and/or OPENAI_BASE_URL [OPENAI_MODEL, OPENAI_SQL_MODEL]), or the
// model-settings service (ZOLVI_API_BASE_URL). No configuration is a ConfigError naming the
// variables. The command line, the evaluation harness and the HTTP server all build theirs
// here, so a model configured for one is configured for all.
std::unique_ptr<flow::SQLGraph> build_flow_from_environment(flow::DatabasePtr db);

// What a host names itself beside the environment; an empty field leaves the environment's.
struct ModelChoice {
    std::string model;     // OPENAI_MODEL, or with Azure the deployment
    std::string sql_model; // OPENAI_SQL_MODEL, or the SQL deployment; default: model
    std::string base_url;  // OPENAI_BASE_URL: an OpenAI-compatible server, first in line
    std::string api_key;   // OPENAI_API_KEY, or with Azure AZURE_OPENAI_API_KEY
};
// runner: where the analysis runs (null: as SQLGraph chooses by itself).
std::unique_ptr<flow::SQLGraph>
build_flow_from_environment(flow::DatabasePtr db, const ModelChoice& choice,
                            pyexec::AnalysisRunnerPtr runner = nullptr);

// The variables that configure the models, one line per way (Azure, OpenAI-compatible, the
// model-settings service), for help texts and the error that says none is configured.
std::string model_variables();

// The process's settings as the edge builds them: the environment (looked up live) and the
// .env file at dotenv_path (when there is one); the caller adds its flags, then installs them
// (zolviai::install_settings).
Settings settings_from_process(const std::string& dotenv_path = ".env");

// True when the environment names a model (the condition build_flow_from_environment would
// not refuse on), without building anything.
bool model_configured();

} // namespace zolviai::agent
