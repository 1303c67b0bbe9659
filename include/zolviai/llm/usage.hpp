#pragma once

#include <string>
#include <string_view>

namespace zolviai::llm {

void record_usage(std::string_view model, long prompt_tokens, long completion_tokens,
                  long total_tokens);

// Tokens and estimated cost of the chat-model calls made on this thread while the scope is
// open. Scopes nest: every open scope of the thread sees every call.
class UsageScope {
public:
    UsageScope();
    ~UsageScope();
    UsageScope(const UsageScope&) = delete;
    UsageScope& operator=(const UsageScope&) = delete;

    long total_tokens = 0;
    long prompt_tokens = 0;
    long completion_tokens = 0;
    long successful_requests = 0;
    double total_cost = 0.0; // USD

private:
    friend void record_usage(std::string_view, long, long, long);
    UsageScope* outer_;
};

// Adds one successful call to every scope open on this thread; total_tokens as the service
// reported it (negative: prompt + completion).
void record_usage(std::string_view model, long prompt_tokens, long completion_tokens,
                  long total_tokens);

struct ModelPrice {
    double prompt_per_1k;     // USD per 1,000 prompt tokens
    double completion_per_1k; // USD per 1,000 completion tokens
};

// The price of a model as the service names it in its answer ("gpt-4o-2024-08-06",
// Azure's "gpt-35-turbo"): the longest entry of the price table that the lower-cased name is,
// or starts with followed by "-". Unknown models cost nothing (noted in the debug log).
ModelPrice model_price(std::string_view model);
double call_cost(std::string_view model, long prompt_tokens, long completion_tokens);

} // namespace zolviai::llm
