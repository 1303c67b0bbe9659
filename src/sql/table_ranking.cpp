#include "zolviai/sql/table_ranking.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <unordered_set>

namespace zolviai::sql {

namespace {

bool is_lower(unsigned char c) {
    return c >= 'a' && c <= 'z';
}
bool is_upper(unsigned char c) {
    return c >= 'A' && c <= 'Z';
}
bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}
bool is_word_char(unsigned char c) {
    return is_lower(c) || is_upper(c) || is_digit(c) || c >= 0x80;
}

bool ends_with(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Folds the usual English plurals onto their singular, so that "orders" meets "order".
// Words of three letters or fewer, and endings that are rarely plurals (-ss, -us, -is), stay.
std::string singular(std::string w) {
    if (w.size() <= 3) {
        return w;
    }
    if (ends_with(w, "ies") && w.size() > 4) {
        return w.substr(0, w.size() - 3) + "y";
    }
    if (ends_with(w, "sses") || ends_with(w, "xes") || ends_with(w, "ches") ||
        ends_with(w, "shes") || ends_with(w, "zes")) {
        return w.substr(0, w.size() - 2);
    }
    if (ends_with(w, "s") && !ends_with(w, "ss") && !ends_with(w, "us") && !ends_with(w, "is")) {
        return w.substr(0, w.size() - 1);
    }
    return w;
}

// Words a question is made of that say nothing about which table it needs.
const std::unordered_set<std::string>& stop_words() {
    static const std::unordered_set<std::string> words = {
        "a",     "an",   "and",   "are",   "as",    "at",    "be",    "by",    "did",
        "do",    "does", "each",  "for",   "from",  "give",  "had",   "has",   "have",
        "how",   "in",   "is",    "it",    "its",   "list",  "many",  "me",    "much",
        "of",    "on",   "or",    "our",   "per",   "show",  "than",  "that",  "the",
        "their", "them", "there", "these", "this",  "those", "to",    "was",   "we",
        "were",  "what", "when",  "where", "which", "who",   "whom",  "whose", "why",
        "with",  "all",  "any",   "most",  "top",   "find",  "get",   "tell",  "i",
        "my",    "ever", "every", "so",    "into",  "been",  "being", "over",  "under"};
    return words;
}

void add_term(std::vector<std::string>& out, std::string word) {
    if (word.empty()) {
        return;
    }
    for (char& c : word) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    out.push_back(singular(std::move(word)));
}

} // namespace

std::vector<std::string> index_terms(std::string_view text) {
    std::vector<std::string> out;
    std::string word;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!is_word_char(c)) {
            add_term(out, std::move(word));
            word.clear();
            continue;
        }
        if (!word.empty()) {
            const auto prev = static_cast<unsigned char>(word.back());
            const bool next_lower = i + 1 < text.size() && is_lower(text[i + 1]);
            // camelCase and HTTPServer humps, and letter/digit boundaries.
            const bool hump = (is_upper(c) && (is_lower(prev) || is_digit(prev))) ||
                              (is_upper(c) && is_upper(prev) && next_lower);
            const bool digit_edge = is_digit(c) != is_digit(prev) && c < 0x80 && prev < 0x80;
            if (hump || digit_edge) {
                add_term(out, std::move(word));
                word.clear();
            }
        }
        word.push_back(static_cast<char>(c));
    }
    add_term(out, std::move(word));
    return out;
}

TableRanker::TableRanker(const std::vector<TableDocument>& documents) {
    names_.reserve(documents.size());
    lengths_.reserve(documents.size());
    std::unordered_map<std::string, double> weights;
    double total = 0;
    for (std::size_t d = 0; d < documents.size(); ++d) {
        const TableDocument& doc = documents[d];
        weights.clear();
        auto add = [&](std::string_view text, double weight) {
            for (auto& term : index_terms(text)) {
                weights[std::move(term)] += weight;
            }
        };
        // The name says most about what a table holds; sample values least.
        add(doc.name, 3.0);
        for (const auto& column : doc.columns) {
            add(column, 1.0);
        }
        add(doc.comment, 1.0);
        for (const auto& value : doc.values) {
            add(value, 0.5);
        }
        std::vector<std::string> name_terms = index_terms(doc.name);
        std::sort(name_terms.begin(), name_terms.end());
        name_terms.erase(std::unique(name_terms.begin(), name_terms.end()), name_terms.end());
        name_terms_.push_back(std::move(name_terms));
        double length = 0;
        for (const auto& [term, weight] : weights) {
            postings_[term].emplace_back(d, weight);
            length += weight;
        }
        names_.push_back(doc.name);
        lengths_.push_back(length);
        total += length;
    }
    average_length_ = documents.empty() ? 1 : std::max(1.0, total / documents.size());
}

std::vector<TableScore> TableRanker::rank(std::string_view question, std::size_t k) const {
    constexpr double k1 = 1.2;
    constexpr double b = 0.75;
    const double n = static_cast<double>(names_.size());
    std::unordered_set<std::string> seen;
    std::vector<double> scores(names_.size(), 0.0);
    for (const auto& term : index_terms(question)) {
        if (stop_words().count(term) || !seen.insert(term).second) {
            continue;
        }
        const auto it = postings_.find(term);
        if (it == postings_.end()) {
            continue;
        }
        const double df = static_cast<double>(it->second.size());
        const double idf = std::log(1.0 + (n - df + 0.5) / (df + 0.5));
        for (const auto& [doc, tf] : it->second) {
            const double norm = k1 * (1 - b + b * lengths_[doc] / average_length_);
            scores[doc] += idf * tf * (k1 + 1) / (tf + norm);
        }
    }
    std::vector<TableScore> out;
    for (std::size_t d = 0; d < names_.size(); ++d) {
        if (scores[d] <= 0) {
            continue;
        }
        // A question that names a table whole ("order lines" for order_line) means it more
        // surely than one that shares a word with a longer name (stg_order_line_2019).
        bool whole = true;
        double name_weight = 0;
        for (const auto& term : name_terms_[d]) {
            if (!seen.count(term)) {
                whole = false;
                break;
            }
            const double df = static_cast<double>(postings_.at(term).size());
            name_weight += std::log(1.0 + (n - df + 0.5) / (df + 0.5));
        }
        out.push_back({names_[d], scores[d] + (whole ? name_weight : 0.0)});
    }
    const auto better = [](const TableScore& x, const TableScore& y) {
        return x.score != y.score ? x.score > y.score : x.name < y.name;
    };
    if (out.size() > k) {
        std::partial_sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(k), out.end(),
                          better);
        out.resize(k);
    } else {
        std::sort(out.begin(), out.end(), better);
    }
    return out;
}

} // namespace zolviai::sql
