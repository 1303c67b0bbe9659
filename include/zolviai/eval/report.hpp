#pragma once

#include "zolviai/core/value.hpp"

#include <string>
#include <utility>
#include <vector>

// What an evaluation's records add up to, and the reports that show it.
namespace zolviai::eval {

// The Wilson score interval at 95% for k successes out of n; {0, 0} when n is 0.
std::pair<double, double> wilson_interval(std::size_t k, std::size_t n);

// Totals of the records: accuracy overall and by difficulty and tag (with Wilson intervals),
// the count of each outcome, model calls, tokens, cost, and the spread of latency and cost.
// Accuracy is correct / scored, where scored leaves out gold_error (broken questions).
// `about` is merged in (the run's settings: compare, sql_only, questions_file, ...).
Value summarize(const std::vector<Value>& records, const Value& about);

// One line for the end of a run: "execution accuracy 81.7% (49 of 60; 95% CI ...) ...".
std::string headline(const Value& summary);

// The report as Markdown, and as one self-contained HTML page (inline SVG charts, no
// scripts, nothing fetched).
std::string render_markdown(const Value& summary, const std::vector<Value>& records);
std::string render_html(const Value& summary, const std::vector<Value>& records);

// Writes summary.json, report.md and report.html into dir (each through a temporary file,
// so a reader never sees half of one).
void write_report_files(const std::string& dir, const Value& summary,
                        const std::vector<Value>& records);

} // namespace zolviai::eval
