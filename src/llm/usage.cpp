#include "zolviai/llm/usage.hpp"

#include <algorithm>
#include <cctype>
#include <spdlog/spdlog.h>

namespace zolviai::llm {
namespace {

thread_local UsageScope* innermost = nullptr;

struct PriceEntry {
    std::string_view name;
    ModelPrice price;
};

// Public list prices per 1,000 tokens (prompt, completion). Update here.
constexpr PriceEntry kPrices[] = {
    {"gpt-4o-mini", {0.00015, 0.0006}},
    {"gpt-4o", {0.0025, 0.01}},
    {"gpt-4-turbo", {0.01, 0.03}},
    {"gpt-4-32k", {0.06, 0.12}},
    {"gpt-4", {0.03, 0.06}},
    {"gpt-3.5-turbo", {0.0015, 0.002}},
};

std::string normalise(std::string_view model) {
    std::string name(model);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // Azure spells the 3.5 family without the dot.
    if (name.rfind("gpt-35", 0) == 0) {
        name.replace(0, 6, "gpt-3.5");
    }
    return name;
}

} // namespace

UsageScope::UsageScope() : outer_(innermost) {
    innermost = this;
}

UsageScope::~UsageScope() {
    innermost = outer_;
}

ModelPrice model_price(std::string_view model) {
    const std::string name = normalise(model);
    const PriceEntry* best = nullptr;
    for (const auto& entry : kPrices) {
        // "gpt-4-0613" is gpt-4, but "gpt-4.1" is another model, not a dated gpt-4.
        const bool names_it = name.rfind(entry.name, 0) == 0 &&
                              (name.size() == entry.name.size() || name[entry.name.size()] == '-');
        if (names_it && (!best || entry.name.size() > best->name.size())) {
            best = &entry;
        }
    }
    if (!best) {
        spdlog::debug("no price known for model '{}': its calls count as costing 0", model);
        return {0.0, 0.0};
    }
    return best->price;
}

double call_cost(std::string_view model, long prompt_tokens, long completion_tokens) {
    const ModelPrice p = model_price(model);
    return p.prompt_per_1k * static_cast<double>(prompt_tokens) / 1000.0 +
           p.completion_per_1k * static_cast<double>(completion_tokens) / 1000.0;
}

void record_usage(std::string_view model, long prompt_tokens, long completion_tokens,
                  long total_tokens) {
    if (innermost == nullptr) {
        return;
    }
    const double cost = call_cost(model, prompt_tokens, completion_tokens);
    for (UsageScope* scope = innermost; scope != nullptr; scope = scope->outer_) {
        scope->prompt_tokens += prompt_tokens;
        scope->completion_tokens += completion_tokens;
        scope->total_tokens += total_tokens >= 0 ? total_tokens : prompt_tokens + completion_tokens;
        scope->successful_requests += 1;
        scope->total_cost += cost;
    }
}

} // namespace zolviai::llm
