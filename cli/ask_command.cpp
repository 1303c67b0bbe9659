// zolvi ask "question": runs the flow and shows each step as it runs.
#include "commands.hpp"
#include "zolviai/agent/agent.hpp"
#include "zolviai/agent/api.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/llm/openai_models.hpp"
#include "zolviai/llm/usage.hpp"
#include "zolviai/sql/cell.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace zolviai::cli {
namespace {

std::string env(const char* name, const std::string& fallback = "") {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

// Each step on standard error as it ends, with its time.
class Progress : public graph::Observer {
public:
    void on_node_start(std::string_view node, int step) override {
        std::lock_guard lock(mutex_);
        print_err("  [" + std::to_string(step + 1) + "] " + std::string(node) + " ...\r");
    }
    void on_node_end(std::string_view node, int step, std::chrono::nanoseconds elapsed,
                     bool failed) override {
        std::lock_guard lock(mutex_);
        char time[32];
        std::snprintf(time, sizeof time, "%.2f s", std::chrono::duration<double>(elapsed).count());
        print_err_line("  [" + std::to_string(step + 1) + "] " + std::string(node) + "  " + time +
                       (failed ? "  failed" : ""));
    }

private:
    std::mutex mutex_;
};

std::size_t width_of(const std::string& s) {
    std::size_t n = 0;
    for (char c : s) {
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }
    return n;
}

std::string cut(const std::string& s, std::size_t max) {
    if (width_of(s) <= max) {
        return s;
    }
    std::string out;
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size() && n < max - 3; ++i) {
        out.push_back(s[i]);
        if (i + 1 == s.size() || (static_cast<unsigned char>(s[i + 1]) & 0xC0) != 0x80) {
            ++n;
        }
    }
    return out + "...";
}

// The final query's rows as an aligned table (at most 20 rows, cells cut at 40 characters).
std::string as_table(const sql::ResultSet& rs) {
    std::vector<std::vector<std::string>> cells;
    std::vector<std::size_t> widths;
    std::vector<std::string> header;
    for (const auto& column : rs.columns) {
        header.push_back(cut(column.name, 40));
        widths.push_back(width_of(header.back()));
    }
    for (const auto& row : rs.rows) {
        std::vector<std::string> line;
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            line.push_back(
                cut(row[i].type == sql::CellType::Null ? "NULL" : sql::cell_str(row[i]), 40));
            widths[i] = std::max(widths[i], width_of(line.back()));
        }
        cells.push_back(std::move(line));
    }
    auto format_line = [&](const std::vector<std::string>& line) {
        std::string out;
        for (std::size_t i = 0; i < line.size(); ++i) {
            out += (i ? " | " : "") + line[i] + std::string(widths[i] - width_of(line[i]), ' ');
        }
        return out + "\n";
    };
    std::string out = format_line(header);
    for (std::size_t i = 0; i < widths.size(); ++i) {
        out += (i ? "-+-" : "") + std::string(widths[i], '-');
    }
    out += "\n";
    for (const auto& line : cells) {
        out += format_line(line);
    }
    if (rs.total_rows > static_cast<std::int64_t>(rs.rows.size())) {
        out += "(" + std::to_string(rs.rows.size()) + " of " + std::to_string(rs.total_rows) +
               " rows)\n";
    }
    return out;
}

} // namespace

std::unique_ptr<flow::SQLGraph> build_flow(std::shared_ptr<sql::CustomSQLDatabase> db) {
    if (!env("AZURE_OPENAI_ENDPOINT").empty()) {
        const std::string key = env("AZURE_OPENAI_API_KEY");
        const std::string deployment = env("AZURE_OPENAI_DEPLOYMENT");
        if (key.empty() || deployment.empty()) {
            throw ConfigError("AZURE_OPENAI_ENDPOINT is set, so AZURE_OPENAI_API_KEY and "
                              "AZURE_OPENAI_DEPLOYMENT must be set too");
        }
        const std::string version = env("AZURE_OPENAI_API_VERSION", "2024-10-21");
        const agent::AzureOpenAIChat35 general(deployment, env("AZURE_OPENAI_ENDPOINT"), key,
                                               version);
        const agent::AzureOpenAIChat4 sql_role(env("AZURE_OPENAI_SQL_DEPLOYMENT", deployment),
                                               env("AZURE_OPENAI_ENDPOINT"), key, version);
        return std::make_unique<flow::SQLGraph>(std::move(db), general, sql_role);
    }
    if (!env("OPENAI_API_KEY").empty() || !env("OPENAI_BASE_URL").empty()) {
        auto make = [](const std::string& model, long max_tokens) {
            llm::ChatOpenAI::Options o;
            o.openai_api_key = env("OPENAI_API_KEY", "none");
            o.model = model;
            o.base_url = env("OPENAI_BASE_URL");
            o.chat.temperature = 0;
            o.chat.max_tokens = max_tokens;
            return std::make_shared<llm::ChatOpenAI>(o);
        };
        const std::string model = env("OPENAI_MODEL", "gpt-4o-mini");
        return std::make_unique<flow::SQLGraph>(std::move(db), make(model, 8192),
                                                make(env("OPENAI_SQL_MODEL", model), 4096));
    }
    if (!env("ZOLVI_API_BASE_URL").empty()) {
        std::unique_ptr<agent::ModelSettings> role_35, role_4;
        if (!agent::pick_deployments(agent::fetch_azure_deployments(), role_35, role_4)) {
            throw ConfigError("the model-settings service at ZOLVI_API_BASE_URL lists no usable "
                              "\"GPT-3.5\" and \"GPT-4\" deployments");
        }
        return std::make_unique<flow::SQLGraph>(std::move(db), *role_35, *role_4);
    }
    throw ConfigError(
        "no language model is configured. Set one of:\n"
        "  AZURE_OPENAI_ENDPOINT, AZURE_OPENAI_API_KEY, AZURE_OPENAI_DEPLOYMENT "
        "[AZURE_OPENAI_SQL_DEPLOYMENT, AZURE_OPENAI_API_VERSION]   (Azure OpenAI)\n"
        "  OPENAI_API_KEY [OPENAI_MODEL, OPENAI_BASE_URL]   (OpenAI, or a compatible server "
        "such as llama.cpp, vLLM or Ollama: set OPENAI_BASE_URL, e.g. http://127.0.0.1:8080/v1)\n"
        "  ZOLVI_API_BASE_URL [ZOLVI_API_KEY]   (the model-settings service)\n"
        "in the environment or in a .env file");
}

void add_ask_command(CLI::App& app) {
    static DatabaseOption db;
    static std::string question;
    static std::string media = "media";
    static bool json = false;
    CLI::App* ask = app.add_subcommand("ask", "Answer a question about the database");
    db.add_to(*ask);
    ask->add_option("question", question, "The question, in plain language")->required();
    ask->add_option("--media", media, "Directory for charts the analysis saves")
        ->capture_default_str();
    ask->add_flag("--json", json, "Print the result record as JSON");
    ask->callback([] {
        auto flow = build_flow(db.open());
        const std::string key = env("ZOLVI_API_KEY");
        if (key.empty() || env("ZOLVI_API_BASE_URL").empty()) {
            agent::set_usage_reporter([](auto&&...) {}); // nowhere to report to
        }
        Progress progress;
        llm::UsageScope usage;
        const Value record = agent::run_agent(*flow, key, question, media, &progress);
        if (json) {
            print_line(record.dump(2));
            return;
        }
        if (record.size() == 1) {
            throw Error("the question could not be answered (see the error above)");
        }
        print_line("");
        print_line(record["output"].get<std::string>());
        const Value& queries = record["generated_query"];
        if (!queries.empty()) {
            print_line("\nSQL:\n" + queries.back().get<std::string>());
        }
        const Value& results = record["sql_execution_result"];
        if (!queries.empty() && !results.empty()) {
            // Shown as a table: the final query once more, read-only, its first rows.
            try {
                print_line("\nResult:\n" + as_table(flow->db->query(queries.back(), 20)));
            } catch (const DatabaseError&) {
                print_line("\nResult:\n" + results.back().get<std::string>());
            }
        }
        if (!record["image_path"].get<std::string>().empty()) {
            print_line("\nChart: " + record["image_path"].get<std::string>());
        }
        char cost[64];
        std::snprintf(cost, sizeof cost, "%.6f", usage.total_cost);
        print_err_line("zolvi: " + std::to_string(usage.successful_requests) + " model calls, " +
                       std::to_string(usage.total_tokens) + " tokens, about $" + cost);
    });
}

} // namespace zolviai::cli
