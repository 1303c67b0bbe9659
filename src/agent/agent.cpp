#include "zolviai/agent/agent.hpp"

#include "sql/drivers/engine_traits.hpp"
#include "zolviai/agent/api.hpp"
#include "zolviai/agent/asker.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/settings.hpp"
#include "zolviai/llm/model_settings.hpp"
#include "zolviai/sql/uri.hpp"

#include <cstdlib>
#include <cxxabi.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <typeinfo>

namespace zolviai::agent {
namespace {

std::mutex g_reporter_mutex;
UsageReporter g_reporter;

UsageReporter reporter() {
    std::lock_guard lock(g_reporter_mutex);
    return g_reporter ? g_reporter : UsageReporter(send_user_question);
}

std::optional<std::string> text_field(const Value& record, const char* key) {
    const auto it = record.find(key);
    if (it == record.end() || it->is_null()) {
        return std::nullopt;
    }
    return it->is_string() ? it->get<std::string>() : it->dump();
}

// The error's class as a reader knows it ("zolviai::OutputParsingError").
std::string error_type_name(const std::exception& e) {
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status);
    std::string out = status == 0 && name ? name : typeid(e).name();
    std::free(name);
    return out;
}

void print_failure_lines(const std::string& type, const std::string& error) {
    print_err_line("Traceback (the flow's error): " + type + ": " + error);
    print_line("An error occurred when running the agent: " + error);
}

bool has_endpoint(const llm::ModelSettings& s) {
    return s.azure_endpoint && !s.azure_endpoint->empty();
}

} // namespace

const char* engine_scheme(const std::string& engine) {
    const sql::drivers::EngineTraits* traits = sql::drivers::engine_for_host_name(engine);
    return traits != nullptr ? traits->host_scheme.data() : nullptr;
}

void set_usage_reporter(UsageReporter r) {
    std::lock_guard lock(g_reporter_mutex);
    g_reporter = std::move(r);
}

bool pick_deployments(const Value& deployments, std::unique_ptr<llm::ModelSettings>& role_35,
                      std::unique_ptr<llm::ModelSettings>& role_4) {
    if (!deployments.is_array()) {
        throw TypeError(std::string("the deployment list must be a list, not ") +
                        python_type_name(deployments));
    }
    role_35 = std::make_unique<llm::AzureOpenAIChat35>(std::nullopt, std::nullopt, std::nullopt,
                                                       std::nullopt);
    role_4 = std::make_unique<llm::AzureOpenAIChat35>(std::nullopt, std::nullopt, std::nullopt,
                                                      std::nullopt);
    for (const auto& record : deployments) {
        if (!record.is_object()) {
            throw TypeError(std::string("a deployment record must be a map, not ") +
                            python_type_name(record));
        }
        const Value model = record.value("model", Value(nullptr));
        auto fields = [&] {
            return std::make_tuple(
                text_field(record, "deployment_name"), text_field(record, "azure_endpoint"),
                text_field(record, "api_key"), text_field(record, "api_version"));
        };
        if (model == "GPT-3.5") {
            auto [d, e, k, v] = fields();
            role_35 = std::make_unique<llm::AzureOpenAIChat35>(d, e, k, v);
            continue;
        }
        if (!model.is_string()) {
            throw TypeError(std::string("a deployment's \"model\" must be a text, not ") +
                            python_type_name(model));
        }
        if (model.get<std::string>().rfind("GPT-4", 0) == 0) {
            auto [d, e, k, v] = fields();
            role_4 = std::make_unique<llm::AzureOpenAIChat4>(d, e, k, v);
        }
    }
    return has_endpoint(*role_35) && has_endpoint(*role_4);
}

int load_dotenv(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    int set = 0;
    for (const auto& [key, value] : Settings::parse_dotenv(text.str())) {
        if (std::getenv(key.c_str()) != nullptr) {
            continue;
        }
        ::setenv(key.c_str(), value.c_str(), 0);
        ++set;
    }
    return set;
}

std::shared_ptr<flow::SQLGraph> create_agent(const std::string& engine, const std::string& db_name,
                                             const std::string& db_user,
                                             const std::string& db_password,
                                             const std::string& db_host,
                                             const std::string& db_port) {
    const char* scheme = engine_scheme(engine);
    const std::string uri = sql::build_database_uri(scheme ? scheme : "None", db_user, db_password,
                                                    db_host, db_port, db_name);
    sql::DatabaseOptions options;
    options.allow_privileged_role = settings()->enabled("ZOLVI_ALLOW_PRIVILEGED_ROLE");
    auto db = sql::CustomSQLDatabase::from_uri(uri, options);
    std::unique_ptr<llm::ModelSettings> role_35, role_4;
    if (!pick_deployments(fetch_azure_deployments(), role_35, role_4)) {
        print_line("Internal Server Error!");
        return nullptr;
    }
    print_line("Agent is Ready!");
    return std::make_shared<flow::SQLGraph>(db, *role_35, *role_4);
}

Value run_agent(const flow::SQLGraph& agent, const std::string& key, const std::string& query,
                const std::string& media_path, graph::Observer* observer, bool sql_only) {
    std::filesystem::create_directories(media_path);
    // The caller keeps the flow alive for the run: the engine only borrows it.
    const Asker asker(std::shared_ptr<const flow::SQLGraph>(&agent, [](const flow::SQLGraph*) {}));
    Question question;
    question.text = query;
    question.media_dir = media_path;
    question.mode = sql_only ? RunMode::SqlOnly : RunMode::Full;
    const Answer answer = asker.ask(question, observer);

    Value tokens = nullptr;
    Value cost = nullptr;
    Value record;
    std::string error_type = answer.error_type;
    std::string error = answer.error;
    if (error_type.empty()) {
        // The seed record, read from the state as the flow left it.
        const Value& state = answer.state;
        auto field = [&](const char* name, bool may_be_absent) -> Value {
            const auto it = state.find(name);
            if (it != state.end()) {
                return *it;
            }
            if (may_be_absent) {
                return "";
            }
            throw MissingFieldError(name);
        };
        try {
            record = {{"output", field("final_response", sql_only)},
                      {"python_code", field("pandas_code", true)},
                      {"image_path", field("image_path", true)},
                      {"generated_query", field("generated_sql_query", false)},
                      {"sql_execution_result", field("sql_execution_result", false)}};
            tokens = answer.usage.total_tokens;
            cost = answer.usage.cost;
        } catch (const MissingFieldError& e) {
            error_type = error_type_name(e);
            error = e.what();
        }
    }
    if (!error_type.empty()) {
        print_failure_lines(error_type, error);
        record = {{"output", "An error occurred"}};
    }
    report_usage(key, query, tokens, cost);
    return record;
}

bool print_agent_failure(const Answer& answer) {
    if (answer.error_type.empty()) {
        return false;
    }
    print_failure_lines(answer.error_type, answer.error);
    return true;
}

void report_usage(const std::string& key, const std::string& question, const Value& tokens,
                  const Value& cost) {
    try {
        reporter()(key, question, tokens, cost);
    } catch (const std::exception& e) {
        print_line(std::string("The usage report failed: ") + e.what());
    }
}

} // namespace zolviai::agent
