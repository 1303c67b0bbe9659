// The evaluation's reports: Markdown for a terminal or a pull request, and one HTML page
// that needs nothing else (styles inline, charts as inline SVG, no scripts).
#include "zolviai/eval/report.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/eval/harness.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace zolviai::eval {
namespace {

std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string pct(const Value& v) {
    return v.is_number() ? fmt("%.1f%%", 100 * v.get<double>()) : "n/a";
}

std::string text(const Value& record, const char* key) {
    const Value* v = find_member(record, key);
    if (v == nullptr || v->is_null()) {
        return "";
    }
    return v->is_string() ? v->get<std::string>()
                          : v->dump(-1, ' ', false, Value::error_handler_t::replace);
}

std::string number(const Value& v, const char* key, const char* format) {
    const Value* x = find_member(v, key);
    return fmt(format, x && x->is_number() ? x->get<double>() : 0.0);
}

std::string html(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A cell of a Markdown table: no line breaks, no column separators.
std::string md_cell(std::string s) {
    for (char& c : s) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    std::string out;
    for (char c : s) {
        if (c == '|') {
            out += "\\|";
        } else {
            out += c;
        }
    }
    return out;
}

std::string rows_text(const Value& record, const char* prefix) {
    const Value* rows = find_member(record, (std::string(prefix) + "_rows").c_str());
    if (rows == nullptr || !rows->is_array()) {
        return "";
    }
    std::string out;
    for (const Value& row : *rows) {
        out += row.dump(-1, ' ', false, Value::error_handler_t::replace) + "\n";
    }
    return out;
}

bool flag(const Value& r, const char* key) {
    const Value* v = find_member(r, key);
    return v != nullptr && v->is_boolean() && v->get<bool>();
}

// The notes a question's row carries beside its outcome.
std::vector<std::string> flags_of(const Value& r) {
    std::vector<std::string> out;
    if (flag(r, "gold_empty")) {
        out.emplace_back("gold has no rows");
    }
    if (flag(r, "truncated")) {
        out.emplace_back("compared on kept rows");
    }
    if (flag(r, "rewritten")) {
        out.emplace_back("question rewritten");
    }
    return out;
}

// What ran, as label and text pairs: version, engine, database, models, settings.
std::vector<std::pair<std::string, std::string>> run_facts(const Value& summary) {
    std::vector<std::pair<std::string, std::string>> out;
    auto add = [&](const char* label, const std::string& value) {
        if (!value.empty()) {
            out.emplace_back(label, value);
        }
    };
    add("zolvi version", text(summary, "zolvi_version"));
    add("engine", text(summary, "engine"));
    add("database", text(summary, "database"));
    if (const Value* m = find_member(summary, "models"); m && m->is_object()) {
        std::string models = text(*m, "provider");
        if (!text(*m, "model").empty()) {
            models += ": " + text(*m, "model");
            if (!text(*m, "sql_model").empty() && text(*m, "sql_model") != text(*m, "model")) {
                models += " (SQL: " + text(*m, "sql_model") + ")";
            }
        }
        if (!text(*m, "base_url").empty()) {
            models += " at " + text(*m, "base_url");
        }
        add("models", models);
    }
    if (const Value* st = find_member(summary, "settings"); st && st->is_object()) {
        std::string line;
        for (const auto& [k, v] : st->items()) {
            line += (line.empty() ? "" : ", ") + k + " " +
                    (v.is_string() ? v.get<std::string>() : v.dump());
        }
        add("settings", line);
    }
    add("question file", text(summary, "questions_file"));
    return out;
}

bool is_correct(const Value& r) {
    return text(r, "outcome") == "correct";
}

const char* outcome_colour(const std::string& outcome) {
    if (outcome == "correct")
        return "#2e7d32";
    if (outcome == "wrong_result")
        return "#c62828";
    if (outcome == "sql_error")
        return "#ef6c00";
    if (outcome == "refused")
        return "#6a1b9a";
    if (outcome == "timeout")
        return "#00838f";
    if (outcome == "model_error")
        return "#455a64";
    return "#9e9d24"; // gold_error
}

// ---- Markdown ----------------------------------------------------------------------------

std::string md_groups(const Value& groups, const char* title) {
    if (!groups.is_object() || groups.empty()) {
        return "";
    }
    std::string out = "\n## By " + std::string(title) + "\n\n| " + title +
                      " | correct | scored | accuracy | 95% CI |\n|---|---:|---:|---:|---|\n";
    for (const auto& [name, g] : groups.items()) {
        out += "| " + md_cell(name) + " | " + text(g, "correct") + " | " + text(g, "scored") +
               " | " + pct(g["accuracy"]) + " | " + pct(g["ci95"][0]) + " - " + pct(g["ci95"][1]) +
               " |\n";
    }
    return out;
}

// ---- HTML ---------------------------------------------------------------------------------

// Horizontal bars, one per outcome, with their counts.
std::string svg_outcomes(const Value& outcomes) {
    const int width = 640, row = 26, label = 120;
    double most = 1;
    for (const auto& [_, n] : outcomes.items()) {
        most = std::max(most, n.get<double>());
    }
    const int height = row * static_cast<int>(outcomes.size()) + 4;
    std::string svg = "<svg class='chart' viewBox='0 0 " + std::to_string(width) + " " +
                      std::to_string(height) + "' role='img' aria-label='outcomes'>";
    int y = 2;
    for (const auto& [name, n] : outcomes.items()) {
        const double w = (width - label - 60) * n.get<double>() / most;
        svg += "<text x='" + std::to_string(label - 8) + "' y='" + std::to_string(y + 17) +
               "' text-anchor='end' class='lbl'>" + html(name) + "</text>";
        svg += "<rect x='" + std::to_string(label) + "' y='" + std::to_string(y + 3) + "' width='" +
               fmt("%.1f", std::max(w, n.get<double>() > 0 ? 2.0 : 0.0)) + "' height='" +
               std::to_string(row - 6) + "' fill='" + outcome_colour(name) + "'/>";
        svg += "<text x='" + fmt("%.1f", label + w + 6) + "' y='" + std::to_string(y + 17) +
               "' class='num'>" + std::to_string(n.get<long>()) + "</text>";
        y += row;
    }
    return svg + "</svg>";
}

// An accuracy with its interval on a 0-100% scale.
std::string svg_interval(const Value& g) {
    const int width = 220, height = 18;
    std::string svg = "<svg width='220' height='18'>"
                      "<rect x='0' y='8' width='220' height='2' fill='#e0e0e0'/>";
    if (!g["accuracy"].is_number()) {
        return svg + "</svg>";
    }
    const double lo = g["ci95"][0].get<double>() * width;
    const double hi = g["ci95"][1].get<double>() * width;
    const double p = g["accuracy"].get<double>() * width;
    svg += "<rect x='" + fmt("%.1f", lo) + "' y='5' width='" + fmt("%.1f", std::max(hi - lo, 1.0)) +
           "' height='8' fill='#90caf9'/>";
    svg += "<rect x='" + fmt("%.1f", std::max(0.0, p - 1.5)) + "' y='2' width='3' height='" +
           std::to_string(height - 4) + "' fill='#0d47a1'/>";
    return svg + "</svg>";
}

std::string html_groups(const Value& groups, const char* title) {
    if (!groups.is_object() || groups.empty()) {
        return "";
    }
    std::string out = "<h2>By " + std::string(title) + "</h2><table><tr><th>" + title +
                      "</th><th>correct</th><th>scored</th><th>accuracy</th><th>95% CI</th>"
                      "<th>0% &#8212; 100%</th></tr>";
    for (const auto& [name, g] : groups.items()) {
        out += "<tr><td>" + html(name) + "</td><td class='r'>" + text(g, "correct") +
               "</td><td class='r'>" + text(g, "scored") + "</td><td class='r'>" +
               pct(g["accuracy"]) + "</td><td>" + pct(g["ci95"][0]) + " &#8211; " +
               pct(g["ci95"][1]) + "</td><td>" + svg_interval(g) + "</td></tr>";
    }
    return out + "</table>";
}

// A histogram of the values in `bins` equal bins from 0 to the largest, with its axes named:
// the measure below, the number of questions beside.
std::string svg_histogram(const std::vector<double>& values, const char* axis, const char* unit,
                          const char* format) {
    const int width = 640, height = 190, bins = 20, bottom = 40, left = 34;
    double most = 0;
    for (double v : values) {
        most = std::max(most, v);
    }
    std::vector<int> counts(bins, 0);
    for (double v : values) {
        const int b = most > 0 ? std::min(bins - 1, static_cast<int>(v / most * bins)) : 0;
        ++counts[static_cast<std::size_t>(b)];
    }
    const int top = std::max(1, *std::max_element(counts.begin(), counts.end()));
    std::string svg = "<svg class='chart' viewBox='0 0 " + std::to_string(width) + " " +
                      std::to_string(height) + "' role='img' aria-label='" + html(axis) +
                      ": questions by " + html(unit) + "'>";
    const double bw = static_cast<double>(width - left) / bins;
    const int base = height - bottom;
    for (int b = 0; b < bins; ++b) {
        const double h =
            (base - 14) * counts[static_cast<std::size_t>(b)] / static_cast<double>(top);
        svg += "<rect x='" + fmt("%.1f", left + b * bw + 1) + "' y='" + fmt("%.1f", base - h) +
               "' width='" + fmt("%.1f", bw - 2) + "' height='" + fmt("%.1f", h) +
               "' fill='#5c6bc0'/>";
        if (counts[static_cast<std::size_t>(b)] > 0) {
            svg += "<text x='" + fmt("%.1f", left + b * bw + bw / 2) + "' y='" +
                   fmt("%.1f", base - h - 3) + "' text-anchor='middle' class='num'>" +
                   std::to_string(counts[static_cast<std::size_t>(b)]) + "</text>";
        }
    }
    svg += "<line x1='" + std::to_string(left) + "' y1='" + std::to_string(base) + "' x2='" +
           std::to_string(width) + "' y2='" + std::to_string(base) + "' stroke='#9e9e9e'/>";
    svg += "<line x1='" + std::to_string(left) + "' y1='8' x2='" + std::to_string(left) + "' y2='" +
           std::to_string(base) + "' stroke='#9e9e9e'/>";
    svg += "<text x='" + std::to_string(left) + "' y='" + std::to_string(base + 14) +
           "' class='lbl'>0</text>";
    svg += "<text x='" + std::to_string((left + width) / 2) + "' y='" + std::to_string(base + 14) +
           "' text-anchor='middle' class='lbl'>" + fmt(format, most / 2) + "</text>";
    svg += "<text x='" + std::to_string(width) + "' y='" + std::to_string(base + 14) +
           "' text-anchor='end' class='lbl'>" + fmt(format, most) + "</text>";
    svg += "<text x='" + std::to_string((left + width) / 2) + "' y='" + std::to_string(height - 4) +
           "' text-anchor='middle' class='axis'>" + html(axis) + " (" + html(unit) + ")</text>";
    svg += "<text x='" + std::to_string(left - 6) + "' y='22' text-anchor='end' class='lbl'>" +
           std::to_string(top) + "</text>";
    svg += "<text transform='translate(12," + std::to_string(base / 2 + 8) +
           ") rotate(-90)' text-anchor='middle' class='axis'>questions</text>";
    return svg + "</svg>";
}

std::string html_rows(const Value& record, const char* prefix) {
    const Value* rows = find_member(record, (std::string(prefix) + "_rows").c_str());
    const Value* columns = find_member(record, (std::string(prefix) + "_columns").c_str());
    if (rows == nullptr || !rows->is_array()) {
        return "";
    }
    std::string out = "<table class='rows'>";
    if (columns && columns->is_array()) {
        out += "<tr>";
        for (const Value& c : *columns) {
            out += "<th>" + html(c.is_string() ? c.get<std::string>() : "") + "</th>";
        }
        out += "</tr>";
    }
    for (const Value& row : *rows) {
        out += "<tr>";
        for (const Value& cell : row) {
            out += "<td>" +
                   html(cell.is_null() ? "NULL"
                        : cell.is_string()
                            ? cell.get<std::string>()
                            : cell.dump(-1, ' ', false, Value::error_handler_t::replace)) +
                   "</td>";
        }
        out += "</tr>";
    }
    out += "</table>";
    const Value* count = find_member(record, (std::string(prefix) + "_row_count").c_str());
    if (count && count->is_number() && count->get<std::size_t>() > rows->size()) {
        out += "<div class='muted'>first " + std::to_string(rows->size()) + " of " +
               std::to_string(count->get<long>()) + " rows</div>";
    }
    return out;
}

// Every question in one table, filterable by outcome without a script: one radio button per
// outcome, and a rule per outcome that hides the other rows while its button is checked.
std::string html_all_questions(const Value& summary, const std::vector<Value>& records) {
    std::vector<std::string> outcomes;
    if (const Value* o = find_member(summary, "outcomes"); o && o->is_object()) {
        for (const auto& [name, n] : o->items()) {
            if (n.is_number() && n.get<long>() > 0) {
                outcomes.push_back(name);
            }
        }
    }
    std::string out = "<h2 id='questions'>Every question</h2><style>";
    for (const auto& name : outcomes) {
        out += "#f-" + name + ":checked~.wrap tr.qr:not(.o-" + name + "){display:none}";
    }
    out += "</style><div class='filters'><span class='muted'>Show: </span>"
           "<input type='radio' name='outcome' id='f-all' checked><label for='f-all'>all (" +
           std::to_string(records.size()) + ")</label>";
    for (const auto& name : outcomes) {
        out += "<input type='radio' name='outcome' id='f-" + html(name) + "'><label for='f-" +
               html(name) + "'>" + html(name) + " (" + text(summary["outcomes"], name.c_str()) +
               ")</label>";
    }
    out += "<div class='wrap'><table class='all'><tr><th>id</th><th>outcome</th><th>question</th>"
           "<th>notes</th><th class='r'>model calls</th><th class='r'>seconds</th></tr>";
    for (const Value& r : records) {
        const std::string outcome = text(r, "outcome");
        const std::string id = text(r, "id");
        std::string notes;
        for (const auto& f : flags_of(r)) {
            notes += "<span class='flag'>" + html(f) + "</span>";
        }
        const std::string shown_id =
            is_correct(r) ? html(id) : "<a href='#q-" + html(id) + "'>" + html(id) + "</a>";
        out += "<tr class='qr o-" + html(outcome) + "'><td>" + shown_id +
               "</td><td><span class='badge' style='background:" + outcome_colour(outcome) + "'>" +
               html(outcome) + "</span></td><td>" + html(text(r, "question")) + "</td><td>" +
               notes + "</td><td class='r'>" + text(r, "model_calls") + "</td><td class='r'>" +
               number(r, "latency_s", "%.2f") + "</td></tr>";
    }
    return out + "</table></div></div>";
}

const char* style =
    "body{font:14px/1.45 system-ui,-apple-system,'Segoe UI',sans-serif;color:#212121;"
    "max-width:1100px;margin:24px auto;padding:0 16px}"
    "h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 8px;border-bottom:1px "
    "solid #e0e0e0;padding-bottom:4px}"
    ".headline{font-size:28px;font-weight:600;margin:12px 0 2px}.muted{color:#757575;"
    "font-size:12px}"
    "table{border-collapse:collapse;margin:6px 0}td,th{padding:3px 10px;border-bottom:1px "
    "solid #eee;text-align:left;vertical-align:top}th{font-weight:600;background:#fafafa}"
    ".r{text-align:right}.lbl{font-size:12px;fill:#424242}.num{font-size:11px;fill:#424242}"
    ".q{border:1px solid #e0e0e0;border-radius:6px;padding:10px 12px;margin:12px 0}"
    ".q .head{font-weight:600}.badge{display:inline-block;color:#fff;border-radius:10px;"
    "padding:0 8px;font-size:12px;margin-right:6px}"
    ".side{display:grid;grid-template-columns:1fr 1fr;gap:12px;margin-top:8px}"
    "pre{background:#f5f5f5;padding:8px;white-space:pre-wrap;word-break:break-word;margin:4px 0;"
    "font-size:12px}"
    "table.rows td,table.rows th{font-size:12px;padding:1px 6px}"
    ".err{color:#b71c1c;font-size:12px;white-space:pre-wrap}"
    ".kv td:first-child{color:#616161}"
    ".chart{width:100%;max-width:640px;height:auto;display:block}.axis{font-size:12px;"
    "fill:#616161}"
    ".wrap{overflow-x:auto;max-width:100%}"
    ".flag{display:inline-block;background:#fff3e0;color:#e65100;border:1px solid #ffcc80;"
    "border-radius:10px;padding:0 7px;font-size:11px;margin:1px 4px 1px 0}"
    ".filters input{position:absolute;opacity:0;pointer-events:none}"
    ".filters label{display:inline-block;border:1px solid #bdbdbd;border-radius:14px;"
    "padding:2px 10px;margin:2px 4px 6px 0;cursor:pointer;font-size:13px}"
    ".filters input:checked+label{background:#1565c0;color:#fff;border-color:#1565c0}"
    ".filters input:focus-visible+label{outline:2px solid #f9a825}"
    "@media (max-width:700px){body{margin:8px auto;padding:0 8px}.side{grid-template-columns:"
    "1fr}.headline{font-size:22px}td,th{padding:3px 6px}.all td:nth-child(4),.all "
    "th:nth-child(4){display:none}}";

} // namespace

std::string render_markdown(const Value& summary, const std::vector<Value>& records) {
    std::string out = "# Evaluation report\n\n";
    out += "**" + headline(summary) + "**\n\n";
    for (const auto& [label, value] : run_facts(summary)) {
        out += "- " + label + ": " + md_cell(value) + "\n";
    }
    out += "- questions: " + text(summary, "questions") +
           " (finished: " + text(summary, "answered") + ")\n";
    out += "- comparison: " + text(summary, "compare") +
           "; SQL only: " + text(summary, "sql_only") + "; started " + text(summary, "started_at") +
           "; took " + number(summary, "wall_s", "%.1f") + " s\n";
    out += "\n## Outcomes\n\n| outcome | questions |\n|---|---:|\n";
    for (const auto& [name, n] : summary["outcomes"].items()) {
        out += "| " + name + " | " + std::to_string(n.get<long>()) + " |\n";
    }
    out += md_groups(summary["by_difficulty"], "difficulty");
    out += md_groups(summary["by_tag"], "tag");
    out += md_groups(summary.value("by_turn", Value()), "turn");
    if (const Value* c = find_member(summary, "conversations"); c && c->is_object()) {
        out += "\nConversations with every turn right: " + text(*c, "fully_correct") + " of " +
               text(*c, "count") + " (" + pct((*c)["share"]) + ").\n";
    }
    const Value& lat = summary["latency_s"];
    const Value& cost = summary["cost_per_question"];
    out += "\n## Latency and cost\n\n| | mean | median | 90th percentile | max | total |\n"
           "|---|---:|---:|---:|---:|---:|\n";
    out += "| latency (s) | " + number(lat, "mean", "%.2f") + " | " + number(lat, "p50", "%.2f") +
           " | " + number(lat, "p90", "%.2f") + " | " + number(lat, "max", "%.2f") + " | " +
           number(lat, "total", "%.1f") + " |\n";
    out += "| cost (USD) | " + number(cost, "mean", "%.5f") + " | " + number(cost, "p50", "%.5f") +
           " | " + number(cost, "p90", "%.5f") + " | " + number(cost, "max", "%.5f") + " | " +
           number(cost, "total", "%.4f") + " |\n";
    out += "\nModel calls: " + text(summary, "model_calls") +
           "; tokens: " + text(summary, "prompt_tokens") + " prompt + " +
           text(summary, "completion_tokens") +
           " completion; corrections: " + text(summary, "corrections") +
           "; rewritten questions: " + text(summary, "rewritten") + ".\n";
    if (const long gold_empty = summary.value("gold_empty", 0L); gold_empty > 0) {
        out += "\n" + std::to_string(gold_empty) +
               " question(s) have a gold query that returns no rows (flagged below): any "
               "prediction that finds nothing passes them.\n";
    }
    out += "\n## Every question\n\n| id | outcome | question | notes |\n|---|---|---|---|\n";
    for (const Value& r : records) {
        std::string notes;
        for (const auto& f : flags_of(r)) {
            notes += (notes.empty() ? "" : "; ") + f;
        }
        out += "| " + md_cell(text(r, "id")) + " | " + text(r, "outcome") + " | " +
               md_cell(text(r, "question")) + " | " + notes + " |\n";
    }
    out += "\n## Questions not answered correctly\n";
    bool any = false;
    for (const Value& r : records) {
        if (is_correct(r)) {
            continue;
        }
        any = true;
        out += "\n### " + md_cell(text(r, "id")) + ": " + text(r, "outcome") + "\n\n" +
               md_cell(text(r, "question")) + "\n";
        if (!text(r, "conversation").empty()) {
            out += "\nConversation " + md_cell(text(r, "conversation")) + ", turn " +
                   text(r, "turn") + "; understood as: " + md_cell(text(r, "understood_as")) + "\n";
        }
        if (!text(r, "error").empty()) {
            out += "\nError: " + md_cell(text(r, "error")) + "\n";
        }
        out += "\nGold:\n\n```sql\n" + text(r, "gold_sql") + "\n```\n";
        if (!rows_text(r, "gold").empty()) {
            out += "\n```\n" + rows_text(r, "gold") + "```\n";
        }
        out += "\nPredicted:\n\n```sql\n" + text(r, "predicted_sql") + "\n```\n";
        if (!rows_text(r, "predicted").empty()) {
            out += "\n```\n" + rows_text(r, "predicted") + "```\n";
        }
    }
    if (!any) {
        out += "\nNone.\n";
    }
    return out;
}

std::string render_html(const Value& summary, const std::vector<Value>& records) {
    std::string out = "<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'>"
                      "<meta name='viewport' content='width=device-width, initial-scale=1'>"
                      "<title>zolviai evaluation</title><style>";
    out += style;
    out += "</style></head><body><h1>Evaluation report</h1>";
    out += "<div class='wrap'><table class='kv'>";
    for (const auto& [label, value] : run_facts(summary)) {
        out += "<tr><td>" + html(label) + "</td><td>" + html(value) + "</td></tr>";
    }
    out += "</table></div>";
    out += "<div class='muted'>" + html(text(summary, "questions_file")) + " &#183; comparison " +
           html(text(summary, "compare")) +
           (text(summary, "sql_only") == "true" ? " &#183; SQL only" : " &#183; full flow") +
           " &#183; started " + html(text(summary, "started_at")) + " &#183; " +
           number(summary, "wall_s", "%.1f") + " s</div>";
    out += "<div class='headline'>" + pct(summary["accuracy"]) + " execution accuracy</div>";
    out += "<div>" + html(headline(summary)) + "</div>";
    const long gold_empty = summary.value("gold_empty", 0L);
    if (gold_empty > 0) {
        out += "<p><span class='flag'>gold has no rows</span>" + std::to_string(gold_empty) +
               (gold_empty == 1 ? " question's" : " questions'") +
               " gold query returns no rows: any prediction that finds nothing passes it. "
               "Worth checking.</p>";
    }
    out += "<h2>Outcomes</h2>" + svg_outcomes(summary["outcomes"]);
    out += html_groups(summary["by_difficulty"], "difficulty");
    out += html_groups(summary["by_tag"], "tag");
    out += html_groups(summary.value("by_turn", Value()), "turn");
    if (const Value* c = find_member(summary, "conversations"); c && c->is_object()) {
        out += "<div>Conversations with every turn right: " + html(text(*c, "fully_correct")) +
               " of " + html(text(*c, "count")) + " (" + pct((*c)["share"]) + ")</div>";
    }

    std::vector<double> latencies, costs;
    for (const Value& r : records) {
        if (text(r, "outcome") == "gold_error") {
            continue;
        }
        latencies.push_back(r.value("latency_s", 0.0));
        costs.push_back(r.value("cost", 0.0));
    }
    const Value& lat = summary["latency_s"];
    const Value& cost = summary["cost_per_question"];
    out += "<h2>Latency</h2><div class='muted'>mean " + number(lat, "mean", "%.2f") +
           " s &#183; median " + number(lat, "p50", "%.2f") + " s &#183; 90th percentile " +
           number(lat, "p90", "%.2f") + " s &#183; max " + number(lat, "max", "%.2f") + " s</div>" +
           svg_histogram(latencies, "latency per question", "s", "%.2f");
    out += "<h2>Cost</h2><div class='muted'>total $" + number(summary, "cost", "%.4f") +
           " &#183; mean $" + number(cost, "mean", "%.5f") + " a question &#183; " +
           text(summary, "model_calls") + " model calls &#183; " + text(summary, "prompt_tokens") +
           " prompt + " + text(summary, "completion_tokens") + " completion tokens</div>" +
           svg_histogram(costs, "cost per question", "USD", "%.5f");

    out += html_all_questions(summary, records);
    out += "<h2>Questions not answered correctly</h2>";
    bool any = false;
    for (const Value& r : records) {
        if (is_correct(r)) {
            continue;
        }
        any = true;
        const std::string outcome = text(r, "outcome");
        out += "<div class='q' id='q-" + html(text(r, "id")) +
               "'><div class='head'><span class='badge' style='background:" +
               std::string(outcome_colour(outcome)) + "'>" + html(outcome) + "</span>" +
               html(text(r, "id")) + ": " + html(text(r, "question")) + "</div>";
        for (const auto& f : flags_of(r)) {
            out += "<span class='flag'>" + html(f) + "</span>";
        }
        if (!text(r, "conversation").empty()) {
            out += "<div class='muted'>conversation " + html(text(r, "conversation")) + ", turn " +
                   html(text(r, "turn")) +
                   " &#183; understood as: " + html(text(r, "understood_as")) + "</div>";
        }
        if (!text(r, "error").empty()) {
            out += "<div class='err'>" + html(text(r, "error")) + "</div>";
        }
        auto sql = [&](const char* key) {
            const std::string s = text(r, key);
            return s.empty() ? std::string("<pre class='muted'>(no query)</pre>")
                             : "<pre>" + html(s) + "</pre>";
        };
        out += "<div class='side'><div><b>Gold</b>" + sql("gold_sql") + html_rows(r, "gold") +
               "</div><div><b>Predicted</b>" + sql("predicted_sql") + html_rows(r, "predicted") +
               "</div></div></div>";
    }
    if (!any) {
        out += "<p>None.</p>";
    }
    return out + "</body></html>\n";
}

void write_report_files(const std::string& dir, const Value& summary,
                        const std::vector<Value>& records) {
    namespace fs = std::filesystem;
    fs::create_directories(dir);
    auto write = [&](const char* name, const std::string& content) {
        const fs::path path = fs::path(dir) / name;
        const fs::path tmp = path.string() + ".tmp";
        {
            std::ofstream out(tmp, std::ios::trunc | std::ios::binary);
            out << content;
            if (!out) {
                throw IoError("cannot write " + tmp.string());
            }
        }
        fs::rename(tmp, path);
    };
    write("summary.json", summary.dump(2, ' ', false, Value::error_handler_t::replace) + "\n");
    write("report.md", render_markdown(summary, records));
    write("report.html", render_html(summary, records));
}

} // namespace zolviai::eval
