// The chat client's own cost per call: building the request, sending it over a kept-alive
// loopback connection, parsing the answer and validating the record, measured against a bare
// libcurl POST of the same body to the same scripted server in the same run.
#include "support/chat_server.hpp"
#include "zolviai/flow/records.hpp"
#include "zolviai/llm/openai_models.hpp"

#include <benchmark/benchmark.h>
#include <curl/curl.h>

using namespace zolviai;

namespace {

testing::ScriptedChatServer& server() {
    static testing::ScriptedChatServer s;
    static bool scripted = [] {
        s.rules({{{"match", Value::object()},
                  {"answer",
                   {{"tool_arguments", {{"sql_query", "SELECT name FROM artist LIMIT 20"}}},
                    {"tool_name", "SQLQueryInput"}}}}});
        return true;
    }();
    (void)scripted;
    return s;
}

std::shared_ptr<llm::ChatOpenAI> model() {
    llm::ChatOpenAI::Options o;
    o.openai_api_key = "k";
    o.model = "gpt-4o";
    o.base_url = server().url();
    o.chat.temperature = 0;
    return std::make_shared<llm::ChatOpenAI>(o);
}

const std::vector<llm::Message> kMessages = {
    {"system", std::string(1200, 's')},
    {"user", "Which artist has the most albums?\n" + std::string(2000, 'u')}};

size_t discard(char*, size_t size, size_t n, void* body) {
    static_cast<std::string*>(body)->append(static_cast<char*>(nullptr) ? "" : "", 0);
    return size * n;
}

void BM_BareCurlPost(benchmark::State& state) {
    auto m = model();
    llm::CallOptions options;
    const std::string body = m->request_body(kMessages, options).dump();
    const std::string url = server().url() + "/chat/completions";
    CURL* h = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Expect:"); // as the client sends it
    std::string sink;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    for (auto _ : state) {
        if (curl_easy_perform(h) != CURLE_OK) {
            state.SkipWithError("POST failed");
            break;
        }
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(h);
}
BENCHMARK(BM_BareCurlPost)->Unit(benchmark::kMicrosecond)->MinTime(3.0);

void BM_StructuredCall(benchmark::State& state) {
    auto structured = llm::with_structured_output(model(), flow::SQLQueryInput());
    for (auto _ : state) {
        Value record = structured->invoke(kMessages);
        benchmark::DoNotOptimize(record);
    }
}
BENCHMARK(BM_StructuredCall)->Unit(benchmark::kMicrosecond)->MinTime(3.0);

// The client's work without the network: request body and answer parsing with validation.
void BM_ClientWorkOnly(benchmark::State& state) {
    auto m = model();
    const std::string answer =
        R"({"id":"x","object":"chat.completion","created":1,"model":"gpt-4o","choices":[{"index":0,"message":{"role":"assistant","content":null,"tool_calls":[{"id":"c","type":"function","function":{"name":"SQLQueryInput","arguments":"{\"sql_query\": \"SELECT name FROM artist LIMIT 20\"}"}}]},"finish_reason":"tool_calls"}],"usage":{"prompt_tokens":10,"completion_tokens":5,"total_tokens":15}})";
    llm::CallOptions options;
    options.body_extra = {
        {"tools", Value::array({{{"type", "function"},
                                 {"function",
                                  {{"name", "SQLQueryInput"},
                                   {"parameters", flow::SQLQueryInput().json_schema()}}}}})}};
    for (auto _ : state) {
        std::string body = m->request_body(kMessages, options).dump();
        Value v = Value::parse(answer);
        Value args =
            Value::parse(v["choices"][0]["message"]["tool_calls"][0]["function"]["arguments"]
                             .get<std::string>());
        Value record = flow::SQLQueryInput().validate(args, "");
        benchmark::DoNotOptimize(body);
        benchmark::DoNotOptimize(record);
    }
}
BENCHMARK(BM_ClientWorkOnly)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
