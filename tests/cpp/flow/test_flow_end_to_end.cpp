// The whole flow against the scripted chat server and real databases.
#include "sql/sql_test_support.hpp"
#include "support/chat_server.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/flow/sql_graph.hpp"
#include "zolviai/llm/usage.hpp"
#include "zolviai/prompts/brace_template.hpp"
#include "zolviai/prompts/flow_graph_prompts.hpp"
#include "zolviai/prompts/jinja_template.hpp"
#include "zolviai/prompts/step_prompts.hpp"
#include "zolviai/sql/script.hpp"
#include "zolviai/sql/uri.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace zolviai;
using zolviai::testing::ScriptedChatServer;
namespace fs = std::filesystem;

namespace {

class Trace : public graph::Observer {
public:
    void on_node_start(std::string_view node, int) override { nodes.emplace_back(node); }
    std::vector<std::string> nodes;
};

class Console : public ConsoleSink {
public:
    void write_out(std::string_view t) override { out += t; }
    void write_err(std::string_view t) override { err += t; }
    std::string out, err;
};

struct Fixture {
    Fixture() {
        dir = fs::temp_directory_path() / ("zolviai-flow-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql",
                                  (dir / "sample.db").string());
    }
    ~Fixture() { fs::remove_all(dir); }

    std::unique_ptr<flow::SQLGraph> graph_for(const std::string& uri) {
        const llm::AzureOpenAIChat35 c35("gpt35", server.url(), "key-35", "2024-10-21");
        const llm::AzureOpenAIChat4 c4("gpt4", server.url(), "key-4", "2024-10-21");
        auto g = std::make_unique<flow::SQLGraph>(sql::CustomSQLDatabase::from_uri(uri), c35, c4);
        return g;
    }
    std::string sqlite_uri() const { return "sqlite:///" + (dir / "sample.db").string(); }

    ScriptedChatServer server;
    fs::path dir;
};

Value tool(const char* name, Value arguments) {
    return {{"tool_arguments", std::move(arguments)}, {"tool_name", name}, {"model", "gpt-4o"}};
}
Value text(const std::string& content) {
    return {{"content", content}, {"model", "gpt-4o"}};
}

const Value& message(const Value& request, std::size_t i) {
    return request["json"]["messages"][i];
}

const std::vector<std::string> kRoute1 = {"init_node",
                                          "table_names_lookup_node",
                                          "relevant_table_names_node",
                                          "relevant_schemas_node",
                                          "sql_generation_node",
                                          "sql_syntax_checker_node",
                                          "sql_execution_node",
                                          "pandas_generator_node",
                                          "pandas_executor_node",
                                          "final_response_generation_node"};

void expect_success_route(Fixture& f, const std::string& uri, const std::string& dialect) {
    const std::string chart = (f.dir / "media" / "albums.png").string();
    const std::string query = "SELECT a.name, COUNT(*) AS albums FROM artist a JOIN album b ON "
                              "b.artist_id = a.artist_id GROUP BY a.name ORDER BY albums DESC, "
                              "a.name LIMIT 3";
    const std::string code = "import os\nimport matplotlib.pyplot as plt\n"
                             "rows = [('Miles Davis', 3), ('AC/DC', 2), ('Accept', 2)]\n"
                             "os.makedirs('" +
                             (f.dir / "media").string() +
                             "', exist_ok=True)\n"
                             "plt.bar([r[0] for r in rows], [r[1] for r in rows])\n"
                             "plt.savefig('" +
                             chart +
                             "')\n"
                             "print('Most albums:', rows[0][0])\n";
    f.server.reset();
    f.server.queue(
        {tool("RelevantTablesOutput", {{"relevant_tables", {"ARTIST", "Album", "nope"}}}),
         tool("SQLQueryInput", {{"sql_query", query}}), text("```sql\n" + query + "\n```"),
         tool("PythonCodeInput", {{"code", code}}),
         tool("GenerationOutput",
              {{"final_response", "Miles Davis has the most albums."}, {"image_path", chart}})});
    auto g = f.graph_for(uri);
    Trace trace;
    auto console = std::make_shared<Console>();
    set_console_sink(console);
    llm::UsageScope usage;
    const Value out = g->invoke({{"user_question", "Which artist has the most albums?"},
                                 {"save_path", (f.dir / "media").string()}},
                                &trace);
    set_console_sink(nullptr);

    EXPECT_EQ(trace.nodes, kRoute1);
    EXPECT_EQ(out["final_response"], "Miles Davis has the most albums.");
    EXPECT_EQ(out["image_path"], chart);
    EXPECT_TRUE(fs::exists(chart)) << "the analysis code saved its chart";
    EXPECT_EQ(out["generated_sql_query"], Value({query})) << "the checker's answer, fences removed";
    ASSERT_EQ(out["sql_execution_result"].size(), 1u);
    EXPECT_EQ(out["sql_execution_result"][0], "[('Miles Davis', 3), ('AC/DC', 2), ('Accept', 2)]");
    EXPECT_EQ(out["pandas_code"], code);
    EXPECT_EQ(out["python_executed_output"], "Most albums: Miles Davis\n");
    EXPECT_EQ(out["relevant_tables"], Value({"artist", "album"})) << "letter case reconciled";
    EXPECT_EQ(usage.successful_requests, 5);
    EXPECT_EQ(usage.total_tokens, 75);
    EXPECT_NEAR(usage.total_cost, 5 * (10 * 0.0025 + 5 * 0.01) / 1000, 1e-12);

    const Value requests = f.server.requests();
    ASSERT_EQ(requests.size(), 5u);
    // SQL generation runs on the GPT-4 deployment, everything else on the GPT-3.5 one.
    EXPECT_NE(requests[1]["path"].get<std::string>().find("/deployments/gpt4/"), std::string::npos);
    for (std::size_t i : {0u, 2u, 3u, 4u}) {
        EXPECT_NE(requests[i]["path"].get<std::string>().find("/deployments/gpt35/"),
                  std::string::npos);
    }
    const std::string schemas = out["schemas_from_relevant_tables"].get<std::string>();
    EXPECT_NE(schemas.find("CREATE TABLE artist"), std::string::npos);
    EXPECT_NE(schemas.find("CREATE TABLE album"), std::string::npos);
    // The first-attempt SQL prompt, exactly.
    EXPECT_EQ(message(requests[1], 0)["content"],
              prompts::format_braces(prompts::SQL_GENERATION_SYSTEM_TEXT, {{"dialect", dialect}}));
    EXPECT_EQ(message(requests[1], 1)["content"],
              "Which artist has the most albums?\n Schemas_from_relevant_tables: " + schemas);
    EXPECT_EQ(requests[1]["json"]["max_tokens"], 4096);
    EXPECT_EQ(requests[1]["json"]["top_p"], 0.95);
    // The analysis prompt, exactly.
    EXPECT_EQ(message(requests[3], 0)["content"],
              prompts::render_jinja(prompts::PANDAS_SYSTEM_TEMPLATE,
                                    {{"save_path", (f.dir / "media").string()}}));
    EXPECT_EQ(message(requests[3], 1)["content"],
              prompts::render_jinja(
                  prompts::PANDAS_HUMAN_TEMPLATE,
                  {{"original_question", "Which artist has the most albums?"},
                   {"zipped_queries_results",
                    Value::array({Value::array({query, out["sql_execution_result"][0]})})}}));
    // The final prompt: one user message built from everything gathered.
    const std::string final_prompt = message(requests[4], 0)["content"];
    EXPECT_EQ(requests[4]["json"]["messages"].size(), 1u);
    EXPECT_EQ(final_prompt.rfind("User question: Which artist has the most albums?\nSQL query: " +
                                     python::repr(Value({query})) + "\nSQL query result: " +
                                     out["sql_execution_result"][0].get<std::string>() +
                                     "\nPython code: " + code + "\nPython executed result: " +
                                     "Most albums: Miles Davis\n\nUse the above result",
                                 0),
              0u)
        << final_prompt;
    EXPECT_NE(console->out.find("hahahaha : \n"), std::string::npos);
    EXPECT_NE(console->out.find("General Response prompt: " + final_prompt + "\n"),
              std::string::npos);
}

} // namespace

TEST(FlowEndToEnd, SuccessRouteOnSqlite) {
    Fixture f;
    expect_success_route(f, f.sqlite_uri(), "sqlite");
}

TEST(FlowEndToEnd, SuccessRouteOnPostgresql) {
    const char* uri = std::getenv("ZOLVIAI_PG_URI");
    if (uri == nullptr) {
        GTEST_FAIL() << "ZOLVIAI_PG_URI is not set: run through scripts/test";
    }
    // A database of its own holding the sample, so other tests' tables do not interfere.
    auto parts = sql::parse_database_uri(uri);
    sql::ConnectSettings admin;
    admin.engine = sql::Engine::Postgresql;
    admin.host = parts.host;
    admin.port = parts.port;
    admin.user = parts.user;
    admin.password = parts.password;
    admin.database = parts.database;
    auto connection = sql::connect(admin);
    connection->execute("DROP DATABASE IF EXISTS zolvi_flow_sample");
    connection->execute("CREATE DATABASE zolvi_flow_sample");
    admin.database = "zolvi_flow_sample";
    std::ifstream in(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql");
    std::stringstream script;
    script << in.rdbuf();
    sql::run_script(*sql::connect(admin), script.str());
    Fixture f;
    // Generated SQL runs as the server's reader role.
    const auto reader = sql::parse_database_uri(
        zolviai::testing::reader_uri("ZOLVIAI_PG_URI", "zolvi_flow_sample"));
    expect_success_route(f,
                         sql::build_database_uri("postgresql+psycopg2", reader.user,
                                                 reader.password, parts.host,
                                                 std::to_string(parts.port), "zolvi_flow_sample"),
                         "postgresql");
}

TEST(FlowEndToEnd, FiveFailedQueriesAreCorrectedRewrittenThenAnsweredGracefully) {
    Fixture f;
    Value answers = Value::array();
    answers.push_back(tool("RelevantTablesOutput", {{"relevant_tables", {"artist"}}}));
    for (int i = 1; i <= 5; ++i) {
        const std::string q = "SELECT nme FROM artist -- attempt " + std::to_string(i);
        answers.push_back(tool("SQLQueryInput", {{"sql_query", q}}));
        answers.push_back(text(q));
    }
    answers.push_back(tool("RewriteQueryOutput", {{"rewritten_question", "List artist names"}}));
    answers.push_back(tool("RelevantTablesOutput", {{"relevant_tables", {"artist"}}}));
    answers.push_back(tool("SQLQueryInput", {{"sql_query", "SELECT nme FROM artist -- 6"}}));
    answers.push_back(text("SELECT nme FROM artist -- 6"));
    answers.push_back(tool("GenerationOutput",
                           {{"final_response", "Sorry, I could not answer from the database."}}));
    f.server.queue(answers);
    auto g = f.graph_for(f.sqlite_uri());
    Trace trace;
    auto console = std::make_shared<Console>();
    set_console_sink(console);
    const Value out = g->invoke({{"user_question", "Artist names?"}, {"save_path", "m"}}, &trace);
    set_console_sink(nullptr);

    EXPECT_EQ(std::count(trace.nodes.begin(), trace.nodes.end(), "rewrite_query_node"), 1);
    EXPECT_EQ(std::count(trace.nodes.begin(), trace.nodes.end(), "sql_execution_node"), 6);
    EXPECT_EQ(trace.nodes.back(), "final_response_generation_node");
    EXPECT_EQ(trace.nodes.size(), 32u);
    EXPECT_EQ(out["final_response"], "Sorry, I could not answer from the database.");
    EXPECT_EQ(out["image_path"], "");
    EXPECT_EQ(out["rewritten_question"], "List artist names");
    EXPECT_FALSE(out.contains("pandas_code"));
    ASSERT_EQ(out["sql_execution_result"].size(), 6u);
    EXPECT_NE(out["sql_execution_result"][0].get<std::string>().find("nme"), std::string::npos)
        << "the engine's own message names the bad column";

    const Value requests = f.server.requests();
    ASSERT_EQ(requests.size(), 16u);
    // Attempts 2 to 5 are corrections listing every earlier query beside its error.
    for (int attempt = 2; attempt <= 5; ++attempt) {
        const Value& gen = requests[static_cast<std::size_t>(2 * attempt - 1)];
        EXPECT_EQ(message(gen, 0)["content"],
                  prompts::format_braces(prompts::SQL_PREFIX, {{"dialect", "sqlite"}}));
        const std::string user = message(gen, 1)["content"];
        EXPECT_NE(user.find("<query index=\"" + std::to_string(attempt - 1) + "\">"),
                  std::string::npos);
        EXPECT_EQ(user.find("<query index=\"" + std::to_string(attempt) + "\">"),
                  std::string::npos);
    }
    // After the rewrite the table choice sees the rewritten question and SQL generation
    // starts again from the first-attempt prompt.
    EXPECT_NE(message(requests[12], 1)["content"].get<std::string>().find(
                  "<user_question>List artist names</user_question>"),
              std::string::npos);
    EXPECT_EQ(message(requests[13], 0)["content"],
              prompts::format_braces(prompts::SQL_GENERATION_SYSTEM_TEXT, {{"dialect", "sqlite"}}));
    const std::string final_prompt = message(requests[15], 0)["content"];
    EXPECT_NE(final_prompt.find("\nPython code: \nPython executed result: \n"), std::string::npos)
        << "the analysis never ran: its fields enter the prompt empty";
}

TEST(FlowEndToEnd, FailedAnalysisIsRegeneratedInCorrectionModeThenSucceeds) {
    Fixture f;
    f.server.queue({tool("RelevantTablesOutput", {{"relevant_tables", {"artist"}}}),
                    tool("SQLQueryInput", {{"sql_query", "SELECT COUNT(*) FROM artist"}}),
                    text("SELECT COUNT(*) FROM artist"),
                    tool("PythonCodeInput", {{"code", "print(1/0)"}}),
                    tool("PythonCodeInput", {{"code", "print('8 artists')"}}),
                    tool("GenerationOutput", {{"final_response", "There are 8 artists."}})});
    auto g = f.graph_for(f.sqlite_uri());
    Trace trace;
    auto console = std::make_shared<Console>();
    set_console_sink(console);
    const Value out =
        g->invoke({{"user_question", "How many artists?"}, {"save_path", "m"}}, &trace);
    set_console_sink(nullptr);
    EXPECT_EQ(out["final_response"], "There are 8 artists.");
    EXPECT_EQ(out["python_executed_output"], "8 artists\n");
    EXPECT_EQ(out["iteration_count_pandas"], 1);
    EXPECT_EQ(std::count(trace.nodes.begin(), trace.nodes.end(), "final_response_generation_node"),
              1)
        << "the answer is produced once, after the retry";
    const Value requests = f.server.requests();
    ASSERT_EQ(requests.size(), 6u);
    const Value& correction = requests[4]["json"]["messages"];
    ASSERT_EQ(correction.size(), 1u) << "the correction prompt is one user message";
    EXPECT_EQ(correction[0]["content"],
              prompts::format_braces(std::string(prompts::PANDAS_CORRECTION_TEXT),
                                     {{"user_question", "How many artists?"},
                                      {"python_code", "print(1/0)"},
                                      {"error", "ZeroDivisionError: division by zero"}}));
}

TEST(FlowEndToEnd, AnalysisThatKeepsFailingEndsWithItsLastErrorInTheAnswerPrompt) {
    Fixture f;
    f.server.queue({tool("RelevantTablesOutput", {{"relevant_tables", {"artist"}}}),
                    tool("SQLQueryInput", {{"sql_query", "SELECT COUNT(*) FROM artist"}}),
                    text("SELECT COUNT(*) FROM artist"),
                    tool("PythonCodeInput", {{"code", "raise ValueError('one')"}}),
                    tool("PythonCodeInput", {{"code", "raise ValueError('two')"}}),
                    tool("PythonCodeInput", {{"code", "exit(3)"}}),
                    tool("GenerationOutput", {{"final_response", "The analysis failed."}})});
    auto g = f.graph_for(f.sqlite_uri());
    auto console = std::make_shared<Console>();
    set_console_sink(console);
    const Value out = g->invoke({{"user_question", "q"}, {"save_path", "m"}});
    set_console_sink(nullptr);
    EXPECT_EQ(out["final_response"], "The analysis failed.");
    EXPECT_EQ(out["python_error_message"], "SystemExit: 3") << "exit() does not end the host";
    const std::string final_prompt = message(f.server.requests()[6], 0)["content"];
    EXPECT_NE(final_prompt.find("Python executed result: SystemExit: 3\n"), std::string::npos);
}

TEST(FlowEndToEnd, GraphDrawingsShowEveryNodeAndEdgeAndPngIsWritten) {
    Fixture f;
    auto g = f.graph_for(f.sqlite_uri());
    auto console = std::make_shared<Console>();
    set_console_sink(console);
    g->visualize_graph();
    set_console_sink(nullptr);
    for (const auto& name : kRoute1) {
        EXPECT_NE(console->out.find("| " + name + " |"), std::string::npos) << name;
    }
    for (const char* name : {"rewrite_query_node", "sql_error_handler_node",
                             "pandas_error_handler_node", "__start__", "__end__"}) {
        EXPECT_NE(console->out.find(std::string("| ") + name + " |"), std::string::npos) << name;
    }
    EXPECT_EQ(g->compiled_graph.edges().size(), 19u); // START, 9 plain, 9 conditional
    const fs::path png = f.dir / "graph.png";
    g->visualize_graph("png", png.string());
    std::ifstream in(png, std::ios::binary);
    char magic[8] = {};
    in.read(magic, 8);
    EXPECT_EQ(std::string(magic, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_THROW(g->visualize_graph("png", (f.dir / "graph.nosuchformat").string()), Error);
    EXPECT_THROW(g->compile_graph(nullptr), GraphWiringError) << "the nodes exist already";
}

TEST(FlowEndToEnd, ConfigAndInputsAreChecked) {
    EXPECT_EQ(flow::SQLGraph::config_graph(), Value({{"metadata", nullptr},
                                                     {"tags", {"flow_graph"}},
                                                     {"max_concurrency", 20},
                                                     {"recursion_limit", 50}}));
    try {
        flow::SQLGraph::config_graph(nullptr, "x");
        FAIL();
    } catch (const TypeError& e) {
        EXPECT_STREQ(e.what(), "Argument 'tags' has incorrect type (expected list, got str)");
    }
    Fixture f;
    auto g = f.graph_for(f.sqlite_uri());
    EXPECT_THROW(g->invoke(nullptr), TypeError);
    EXPECT_TRUE(f.server.requests().empty()) << "nothing ran";
}
