#include "zolviai/core/json_input.hpp"
#include "zolviai/eval/harness.hpp"
#include "zolviai/eval/report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace zolviai::eval {
namespace {

std::string text(const Value& record, const char* key) {
    const auto s = string_member(&record, key);
    return s ? *s : "";
}

double real(const Value& record, const char* key) {
    const Value* v = find_member(record, key);
    return v && v->is_number() ? v->get<double>() : 0.0;
}

struct Tally {
    std::size_t questions = 0;
    std::size_t scored = 0;
    std::size_t correct = 0;

    void add(const std::string& outcome) {
        ++questions;
        scored += outcome != "gold_error";
        correct += outcome == "correct";
    }
    Value to_value() const {
        const auto [lo, hi] = wilson_interval(correct, scored);
        return {{"questions", questions},
                {"scored", scored},
                {"correct", correct},
                {"accuracy", scored ? Value(static_cast<double>(correct) / scored) : Value()},
                {"ci95", {lo, hi}}};
    }
};

// Nearest-rank percentiles of a sample, with its mean and maximum.
Value spread(std::vector<double> v) {
    if (v.empty()) {
        return {{"mean", 0.0}, {"p50", 0.0}, {"p90", 0.0}, {"max", 0.0}, {"total", 0.0}};
    }
    std::sort(v.begin(), v.end());
    auto rank = [&](double p) {
        const std::size_t r = static_cast<std::size_t>(std::ceil(p * v.size()));
        return v[std::min(v.size() - 1, r == 0 ? 0 : r - 1)];
    };
    double total = 0;
    for (double x : v) {
        total += x;
    }
    return {{"mean", total / v.size()},
            {"p50", rank(0.5)},
            {"p90", rank(0.9)},
            {"max", v.back()},
            {"total", total}};
}

// Difficulties in their natural order when they are the usual names, the rest after.
int difficulty_rank(const std::string& d) {
    static const char* order[] = {"easy", "simple",      "medium", "moderate",
                                  "hard", "challenging", "extra"};
    for (int i = 0; i < 7; ++i) {
        if (d == order[i]) {
            return i;
        }
    }
    return 100;
}

std::string percent(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f%%", 100 * x);
    return buf;
}

} // namespace

std::pair<double, double> wilson_interval(std::size_t k, std::size_t n) {
    if (n == 0) {
        return {0.0, 0.0};
    }
    const double z = 1.959963984540054;
    const double p = static_cast<double>(k) / n;
    const double z2n = z * z / n;
    const double centre = (p + z2n / 2) / (1 + z2n);
    const double half = z * std::sqrt(p * (1 - p) / n + z * z / (4.0 * n * n)) / (1 + z2n);
    return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

Value summarize(const std::vector<Value>& records, const Value& about) {
    Value s = about.is_object() ? about : Value::object();
    Tally all;
    std::map<std::string, Tally> by_difficulty;
    std::map<std::string, Tally> by_tag;
    std::map<long, Tally> by_turn;
    std::map<std::string, bool> conversation_right; // every scored turn correct
    std::map<std::string, std::size_t> outcomes;
    for (int i = 0; i < outcome_count; ++i) {
        outcomes[outcome_name(static_cast<Outcome>(i))] = 0;
    }
    long calls = 0, prompt = 0, completion = 0, tokens = 0, corrections = 0, rewritten = 0;
    long gold_empty = 0;
    double cost = 0;
    std::vector<double> latencies, costs;
    for (const Value& r : records) {
        const std::string outcome = text(r, "outcome");
        ++outcomes[outcome];
        all.add(outcome);
        if (const std::string d = text(r, "difficulty"); !d.empty()) {
            by_difficulty[d].add(outcome);
        }
        if (const Value* tags = find_member(r, "tags"); tags && tags->is_array()) {
            for (const Value& t : *tags) {
                if (t.is_string()) {
                    by_tag[t.get<std::string>()].add(outcome);
                }
            }
        }
        if (const std::string c = text(r, "conversation"); !c.empty()) {
            by_turn[static_cast<long>(real(r, "turn"))].add(outcome);
            auto [it, _] = conversation_right.emplace(c, true);
            it->second = it->second && (outcome == "correct" || outcome == "gold_error");
        }
        calls += static_cast<long>(real(r, "model_calls"));
        prompt += static_cast<long>(real(r, "prompt_tokens"));
        completion += static_cast<long>(real(r, "completion_tokens"));
        tokens += static_cast<long>(real(r, "total_tokens"));
        corrections += static_cast<long>(real(r, "corrections"));
        const Value* ge = find_member(r, "gold_empty");
        gold_empty += ge && ge->is_boolean() && ge->get<bool>();
        const Value* rw = find_member(r, "rewritten");
        rewritten += rw && rw->is_boolean() && rw->get<bool>();
        cost += real(r, "cost");
        if (outcome != "gold_error") {
            latencies.push_back(real(r, "latency_s"));
            costs.push_back(real(r, "cost"));
        }
    }
    s["answered"] = records.size();
    const Value overall = all.to_value();
    s["scored"] = overall["scored"];
    s["correct"] = overall["correct"];
    s["accuracy"] = overall["accuracy"];
    s["ci95"] = overall["ci95"];
    Value o = Value::object();
    for (int i = 0; i < outcome_count; ++i) {
        const char* name = outcome_name(static_cast<Outcome>(i));
        o[name] = outcomes[name];
    }
    s["outcomes"] = std::move(o);
    std::vector<std::string> difficulties;
    for (const auto& [d, _] : by_difficulty) {
        difficulties.push_back(d);
    }
    std::stable_sort(difficulties.begin(), difficulties.end(),
                     [](const std::string& a, const std::string& b) {
                         return difficulty_rank(a) < difficulty_rank(b);
                     });
    Value bd = Value::object();
    for (const auto& d : difficulties) {
        bd[d] = by_difficulty[d].to_value();
    }
    s["by_difficulty"] = std::move(bd);
    Value bt = Value::object();
    for (const auto& [t, tally] : by_tag) {
        bt[t] = tally.to_value();
    }
    s["by_tag"] = std::move(bt);
    if (!conversation_right.empty()) {
        // Multi-turn sets: accuracy at each turn, and the conversations with every turn right.
        Value turns = Value::object();
        for (const auto& [turn, tally] : by_turn) {
            turns[std::to_string(turn)] = tally.to_value();
        }
        s["by_turn"] = std::move(turns);
        std::size_t right = 0;
        for (const auto& [_, ok] : conversation_right) {
            right += ok;
        }
        const auto [lo, hi] = wilson_interval(right, conversation_right.size());
        s["conversations"] = {{"count", conversation_right.size()},
                              {"fully_correct", right},
                              {"share", static_cast<double>(right) / conversation_right.size()},
                              {"ci95", {lo, hi}}};
    }
    s["model_calls"] = calls;
    s["prompt_tokens"] = prompt;
    s["completion_tokens"] = completion;
    s["total_tokens"] = tokens;
    s["cost"] = cost;
    s["corrections"] = corrections;
    s["rewritten"] = rewritten;
    s["gold_empty"] = gold_empty; // questions whose gold query returns no rows
    s["latency_s"] = spread(latencies);
    s["cost_per_question"] = spread(costs);
    return s;
}

std::string headline(const Value& summary) {
    const std::size_t scored = summary.value("scored", std::size_t{0});
    const std::size_t correct = summary.value("correct", std::size_t{0});
    std::string line = "execution accuracy ";
    if (scored == 0) {
        line += "n/a (no question scored)";
    } else {
        const auto [lo, hi] = wilson_interval(correct, scored);
        line += percent(static_cast<double>(correct) / scored) + " (" + std::to_string(correct) +
                " of " + std::to_string(scored) + "; 95% CI " + percent(lo) + "-" + percent(hi) +
                ")";
    }
    std::string rest;
    if (const Value* o = find_member(summary, "outcomes"); o && o->is_object()) {
        for (const auto& [name, count] : o->items()) {
            if (name != "correct" && count.is_number() && count.get<long>() > 0) {
                rest += (rest.empty() ? "" : ", ") + std::to_string(count.get<long>()) + " " + name;
            }
        }
    }
    if (!rest.empty()) {
        line += "; " + rest;
    }
    if (const Value* c = find_member(summary, "conversations"); c && c->is_object()) {
        line += "; conversations with every turn right: " + percent(c->value("share", 0.0)) + " (" +
                std::to_string(c->value("fully_correct", std::size_t{0})) + " of " +
                std::to_string(c->value("count", std::size_t{0})) + ")";
    }
    char tail[160];
    std::snprintf(tail, sizeof tail, "; %ld model calls, $%.4f; median %.2f s a question",
                  summary.value("model_calls", 0L), summary.value("cost", 0.0),
                  summary.contains("latency_s") ? summary["latency_s"].value("p50", 0.0) : 0.0);
    line += tail;
    const std::size_t questions = summary.value("questions", std::size_t{0});
    const std::size_t answered = summary.value("answered", std::size_t{0});
    if (answered < questions) {
        line += " (partial: " + std::to_string(answered) + " of " + std::to_string(questions) +
                " questions)";
    }
    return line;
}

} // namespace zolviai::eval
