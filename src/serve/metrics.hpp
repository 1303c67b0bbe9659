#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace zolviai::serve {

// The server's counters, read by /metrics in Prometheus' text format.
class Metrics {
public:
    // route: the route's pattern ("/v1/charts/{name}"), never the path a client sent, so
    // that the number of series stays bounded.
    void count_request(std::string_view route, int status);
    // One question that ran to its end (answered or failed), with its usage.
    void observe_question(double seconds, long model_calls, long prompt_tokens,
                          long completion_tokens, double cost);
    void count_refusals(long statements);

    // The exposition text; questions_running and questions_waiting are read at the time.
    std::string render(std::size_t questions_running, std::size_t questions_waiting) const;

private:
    static constexpr std::array<double, 12> kBuckets{0.05, 0.1, 0.25, 0.5, 1,   2.5,
                                                     5,    10,  30,   60,  120, 300};
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, int>, long, std::less<>> requests_;
    std::array<long, kBuckets.size()> bucket_counts_{};
    long questions_ = 0;
    double question_seconds_ = 0;
    long model_calls_ = 0;
    long prompt_tokens_ = 0;
    long completion_tokens_ = 0;
    double cost_ = 0;
    long refusals_ = 0;
};

} // namespace zolviai::serve
