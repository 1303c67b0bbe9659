#include "serve/metrics.hpp"

#include <cstdio>
#include <cstdlib>

namespace zolviai::serve {
namespace {

// The shortest text that reads back as the same double (bucket bounds print as "0.05").
std::string number(double v) {
    char text[64];
    for (int digits = 6; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) {
            break;
        }
    }
    return text;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

} // namespace

void Metrics::count_request(std::string_view route, int status) {
    std::lock_guard lock(mutex_);
    ++requests_[{std::string(route), status}];
}

void Metrics::observe_question(double seconds, long model_calls, long prompt_tokens,
                               long completion_tokens, double cost) {
    std::lock_guard lock(mutex_);
    ++questions_;
    question_seconds_ += seconds;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) {
            ++bucket_counts_[i];
        }
    }
    model_calls_ += model_calls;
    prompt_tokens_ += prompt_tokens;
    completion_tokens_ += completion_tokens;
    cost_ += cost;
}

void Metrics::count_refusals(long statements) {
    std::lock_guard lock(mutex_);
    refusals_ += statements;
}

std::string Metrics::render(std::size_t questions_running, std::size_t questions_waiting) const {
    std::lock_guard lock(mutex_);
    std::string out;
    family(out, "zolvi_http_requests_total", "counter", "HTTP requests by route and status.");
    for (const auto& [key, count] : requests_) {
        out += "zolvi_http_requests_total{route=\"" + key.first + "\",status=\"" +
               std::to_string(key.second) + "\"} " + std::to_string(count) + "\n";
    }
    family(out, "zolvi_question_duration_seconds", "histogram",
           "Time from a question's start on a worker to its end.");
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        out += "zolvi_question_duration_seconds_bucket{le=\"" + number(kBuckets[i]) + "\"} " +
               std::to_string(bucket_counts_[i]) + "\n";
    }
    out +=
        "zolvi_question_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(questions_) + "\n";
    out += "zolvi_question_duration_seconds_sum " + number(question_seconds_) + "\n";
    out += "zolvi_question_duration_seconds_count " + std::to_string(questions_) + "\n";
    family(out, "zolvi_model_calls_total", "counter", "Successful chat-model calls.");
    out += "zolvi_model_calls_total " + std::to_string(model_calls_) + "\n";
    family(out, "zolvi_model_tokens_total", "counter", "Tokens of the model calls, by kind.");
    out += "zolvi_model_tokens_total{kind=\"prompt\"} " + std::to_string(prompt_tokens_) + "\n";
    out += "zolvi_model_tokens_total{kind=\"completion\"} " + std::to_string(completion_tokens_) +
           "\n";
    family(out, "zolvi_model_cost_dollars_total", "counter",
           "Estimated cost of the model calls from the built-in price table (USD).");
    out += "zolvi_model_cost_dollars_total " + number(cost_) + "\n";
    family(out, "zolvi_guard_refusals_total", "counter",
           "Statements the SQL guard refused (generated and sent to /v1/sql).");
    out += "zolvi_guard_refusals_total " + std::to_string(refusals_) + "\n";
    family(out, "zolvi_questions_in_flight", "gauge", "Questions running on a worker.");
    out += "zolvi_questions_in_flight " + std::to_string(questions_running) + "\n";
    family(out, "zolvi_questions_waiting", "gauge", "Questions waiting for a worker.");
    out += "zolvi_questions_waiting " + std::to_string(questions_waiting) + "\n";
    return out;
}

} // namespace zolviai::serve
