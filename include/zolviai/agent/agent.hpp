#pragma once

#include "zolviai/core/value.hpp"
#include "zolviai/flow/sql_graph.hpp"
#include "zolviai/llm/model_settings.hpp"

#include <functional>
#include <memory>
#include <string>

// The host-facing operations: build an agent for a database, and answer questions with it.
namespace zolviai::agent {

// The URI scheme for an engine name: "PostgreSQL", "MsSQL", "MySQL" (exact); none otherwise.
const char* engine_scheme(const std::string& engine);

// Builds the database URI (user and password percent-encoded; an unknown engine puts
// "None" in the scheme's place, which the wrapper then refuses), creates the wrapper,
// fetches the deployments from the model-settings service and builds the flow. Prints
// "Agent is Ready!" before building the flow, or "Internal Server Error!" and returns null
// when the service does not provide both a "GPT-3.5" and a "GPT-4..." deployment with an
// endpoint.
std::shared_ptr<flow::SQLGraph> create_agent(const std::string& engine, const std::string& db_name,
                                             const std::string& db_user,
                                             const std::string& db_password,
                                             const std::string& db_host,
                                             const std::string& db_port);

// Runs one question and reports its usage. The record on success has exactly "output",
// "python_code", "image_path", "generated_query", "sql_execution_result"; analysis fields
// the route never wrote come back as "". When the flow raises, the traceback goes to
// standard error, "An error occurred when running the agent: <error>" to standard output,
// and the record is {"output": "An error occurred"}.
// With sql_only the run ends once the SQL has run (or the correction loop has given up): no
// analysis and no written answer, so "output" is "". A usage report that fails prints
// "The usage report failed: <error>" and the record is still returned.
Value run_agent(const flow::SQLGraph& agent, const std::string& zolvi_api_key,
                const std::string& query, const std::string& media_path,
                graph::Observer* observer = nullptr, bool sql_only = false);

struct Answer;

// The lines run_agent prints for an answer whose flow raised: the traceback on standard error,
// "An error occurred when running the agent: <error>" on standard output. False (nothing
// printed) when the flow did not raise.
bool print_agent_failure(const Answer& answer);

// Sends the question's usage to the reporter (set_usage_reporter; by default the model-settings
// service), as run_agent does; a failed report prints "The usage report failed: <error>".
void report_usage(const std::string& zolvi_api_key, const std::string& question,
                  const Value& tokens, const Value& cost);

// Picks the deployments for the two roles from the service's list: the last record whose
// "model" is "GPT-3.5" and the last whose "model" starts with "GPT-4". Returns false (and
// leaves placeholders without an endpoint) when either role has no usable endpoint.
bool pick_deployments(const Value& deployments, std::unique_ptr<llm::ModelSettings>& role_35,
                      std::unique_ptr<llm::ModelSettings>& role_4);

// Loads KEY=VALUE lines of a .env file into the environment without overriding variables
// that are already set; a missing file is not an error. Returns how many were set.
int load_dotenv(const std::string& path = ".env");

// The usage report run_agent makes; replaceable for hosts that report elsewhere.
using UsageReporter = std::function<void(const std::string& key, const std::string& question,
                                         const Value& tokens, const Value& cost)>;
void set_usage_reporter(UsageReporter reporter);

} // namespace zolviai::agent
