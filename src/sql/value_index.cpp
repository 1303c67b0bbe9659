#include "zolviai/sql/value_index.hpp"

#include "zolviai/core/text.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <unordered_set>

namespace zolviai::sql {

namespace {

// Latin-1 letters (U+00C0..U+00FF) without their accents; '*' marks the letters that fold
// to two (æ, þ, ß).
constexpr const char* kLatin1 = "aaaaaa*ceeeeiiiidnooooo ouuuuy**aaaaaa*ceeeeiiiidnooooo ouuuuy*y";
// Latin Extended-A (U+0100..U+017F).
constexpr const char* kLatinA = "aaaaaaccccccccddddeeeeeeeeeegggggggghhhhiiiiiiiiiiiijjkkkllllllll"
                                "lnnnnnnnnnoooooooorrrrrrssssssssttttttuuuuuuuuuuuuwwyyyzzzzzzs";

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// One code point folded: lower case ASCII letters and digits, accents dropped from the Latin
// letters, '\0' for a separator; other letters kept as they are.
void fold_code_point(char32_t c, std::string& out) {
    if (c < 0x80) {
        const auto b = static_cast<unsigned char>(c);
        out += std::isalnum(b) ? static_cast<char>(std::tolower(b)) : ' ';
        return;
    }
    if (c >= 0xC0 && c <= 0xFF) {
        const char f = kLatin1[c - 0xC0];
        if (f != '*') {
            out += f;
        } else if (c == 0xC6 || c == 0xE6) {
            out += "ae";
        } else if (c == 0xDE || c == 0xFE) {
            out += "th";
        } else {
            out += "ss";
        }
        return;
    }
    if (c >= 0x100 && c <= 0x17F) {
        out += kLatinA[c - 0x100];
        return;
    }
    if (c < 0xC0 || (c >= 0x2000 && c <= 0x206F)) { // Latin-1 signs, general punctuation
        out += ' ';
        return;
    }
    append_utf8(out, c);
}

bool is_word_char(char32_t c) {
    return c >= 0x80 ? c >= 0xC0 && !(c >= 0x2000 && c <= 0x206F) && c != 0xD7 && c != 0xF7
                     : std::isalnum(static_cast<unsigned char>(c)) != 0;
}

// Words a question uses whatever it asks: never a value on their own.
const std::unordered_set<std::string>& stop_words() {
    static const std::unordered_set<std::string> words = {
        "a",       "about",   "above",   "across",  "after",   "again",    "all",     "also",
        "am",      "among",   "an",      "and",     "any",     "are",      "as",      "at",
        "average", "be",      "been",    "before",  "being",   "below",    "between", "both",
        "but",     "by",      "can",     "count",   "could",   "data",     "did",     "do",
        "does",    "each",    "every",   "few",     "find",    "first",    "for",     "from",
        "get",     "give",    "had",     "has",     "have",    "he",       "her",     "here",
        "him",     "his",     "how",     "i",       "if",      "in",       "into",    "is",
        "it",      "its",     "just",    "last",    "least",   "less",     "list",    "many",
        "max",     "maximum", "me",      "min",     "minimum", "more",     "most",    "much",
        "my",      "name",    "names",   "no",      "not",     "now",      "number",  "of",
        "off",     "on",      "once",    "one",     "only",    "or",       "other",   "our",
        "out",     "over",    "per",     "please",  "same",    "she",      "show",    "so",
        "some",    "sum",     "than",    "that",    "the",     "their",    "them",    "then",
        "there",   "these",   "they",    "this",    "those",   "through",  "to",      "top",
        "total",   "two",     "under",   "until",   "up",      "us",       "very",    "was",
        "we",      "were",    "what",    "when",    "where",   "which",    "while",   "who",
        "whom",    "whose",   "why",     "will",    "with",    "would",    "year",    "years",
        "you",     "your",    "tell",    "value",   "values",  "table",    "tables",  "column",
        "rows",    "row",     "record",  "records", "still",   "ever",     "yet",     "than",
        "highest", "lowest",  "best",    "worst",   "largest", "smallest", "biggest", "each",
        "sorted",  "order",   "ordered", "group",   "grouped", "date",     "dates",   "day",
        "days",    "month",   "months",  "week",    "weeks",   "since",    "ago",     "today",
    };
    return words;
}

bool all_digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) || c == ' ';
    });
}

// Trigrams of " text ", deduplicated (hashes of three bytes).
std::vector<std::uint32_t> trigrams(std::string_view folded) {
    std::string padded = " " + std::string(folded) + " ";
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i + 3 <= padded.size(); ++i) {
        out.push_back((static_cast<std::uint32_t>(static_cast<unsigned char>(padded[i])) << 16) |
                      (static_cast<std::uint32_t>(static_cast<unsigned char>(padded[i + 1])) << 8) |
                      static_cast<unsigned char>(padded[i + 2]));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// Optimal string alignment distance, given up past `most`; texts of at most 32 bytes.
int edit_distance(std::string_view a, std::string_view b, int most) {
    const int n = static_cast<int>(a.size());
    const int m = static_cast<int>(b.size());
    if (std::abs(n - m) > most || n > 32 || m > 32) {
        return most + 1;
    }
    int rows[3][33];
    int* prev2 = rows[0];
    int* prev = rows[1];
    int* cur = rows[2];
    for (int j = 0; j <= m; ++j) {
        prev[j] = j;
    }
    for (int i = 1; i <= n; ++i) {
        cur[0] = i;
        int row_min = cur[0];
        for (int j = 1; j <= m; ++j) {
            const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                cur[j] = std::min(cur[j], prev2[j - 2] + 1);
            }
            row_min = std::min(row_min, cur[j]);
        }
        if (row_min > most) {
            return most + 1;
        }
        int* spare = prev2;
        prev2 = prev;
        prev = cur;
        cur = spare;
    }
    return prev[m];
}

// How close two folded texts are, 0..1, below what an exact match scores: trigram overlap,
// and for short texts one or two edits.
double fuzzy_score(std::string_view a, std::string_view b, std::size_t shared,
                   std::size_t trigrams_a, std::size_t trigrams_b) {
    const double dice =
        2.0 * static_cast<double>(shared) / static_cast<double>(trigrams_a + trigrams_b);
    double score = dice * 0.95;
    const std::size_t len = std::min(a.size(), b.size());
    if (len >= 4 && a.size() <= 24 && b.size() <= 24) {
        const int d = edit_distance(a, b, 2);
        if (d == 1) {
            score = std::max(score, 0.86);
        } else if (d == 2 && len >= 8) {
            score = std::max(score, 0.8);
        }
    }
    return score;
}

bool is_code(std::string_view value) {
    return value.size() >= 2 && value.size() <= 4 &&
           std::all_of(value.begin(), value.end(),
                       [](char c) { return std::isupper(static_cast<unsigned char>(c)); });
}

// A word of the question as written: its folded form, whether it was written with a capital
// first letter, and whether a full stop follows it (an abbreviation: "Calif.").
struct Word {
    std::string text;
    std::string folded;
    bool capital = false;
    bool dotted = false;
    bool stop = false;
};

// The question's words, and its quoted texts whole.
void split_question(std::string_view q, std::vector<Word>& words,
                    std::vector<std::string>& quoted) {
    std::size_t i = 0;
    while (i < q.size()) {
        char32_t c = 0;
        const std::size_t n = std::max<std::size_t>(1, decode_utf8(q, i, c));
        const bool quote_start = (c == '\'' || c == '"' || c == 0x201C || c == 0x2018) &&
                                 (i == 0 || !std::isalnum(static_cast<unsigned char>(q[i - 1])));
        if (quote_start) {
            const char32_t close = c == 0x201C ? 0x201D : c == 0x2018 ? 0x2019 : c;
            std::size_t j = i + n;
            while (j < q.size()) {
                char32_t d = 0;
                const std::size_t m = std::max<std::size_t>(1, decode_utf8(q, j, d));
                if (d == close &&
                    (j + m >= q.size() || !std::isalnum(static_cast<unsigned char>(q[j + m])))) {
                    quoted.emplace_back(q.substr(i + n, j - i - n));
                    i = j + m;
                    break;
                }
                j += m;
            }
            if (j < q.size()) {
                continue;
            }
        }
        if (!is_word_char(c)) {
            i += n;
            continue;
        }
        Word w;
        std::size_t j = i;
        while (j < q.size()) {
            char32_t d = 0;
            const std::size_t m = std::max<std::size_t>(1, decode_utf8(q, j, d));
            if (!is_word_char(d)) {
                break;
            }
            j += m;
        }
        w.text = std::string(q.substr(i, j - i));
        w.folded = fold_value(w.text);
        w.capital = std::isupper(static_cast<unsigned char>(w.text[0])) != 0;
        w.dotted = j < q.size() && q[j] == '.' &&
                   (j + 1 >= q.size() || !std::isalnum(static_cast<unsigned char>(q[j + 1])));
        w.stop = stop_words().count(w.folded) != 0;
        words.push_back(std::move(w));
        i = j;
    }
}

} // namespace

bool ValueIndexOptions::excludes(std::string_view table, std::string_view column) const {
    for (const std::string& e : excluded) {
        const std::size_t dot = e.rfind('.');
        if (dot == std::string::npos) {
            continue;
        }
        const std::string_view t(e.data(), dot);
        const std::string_view c(e.data() + dot + 1, e.size() - dot - 1);
        if (fold_value(t) == fold_value(table) &&
            (c == "*" || fold_value(c) == fold_value(column))) {
            return true;
        }
    }
    return false;
}

std::string fold_value(std::string_view text) {
    std::string raw;
    raw.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t c = 0;
        const std::size_t n = decode_utf8(text, i, c);
        if (n == 0) {
            raw += ' ';
            ++i;
            continue;
        }
        fold_code_point(c, raw);
        i += n;
    }
    std::string out;
    out.reserve(raw.size());
    for (char c : raw) {
        if (c == ' ' && (out.empty() || out.back() == ' ')) {
            continue;
        }
        out += c;
    }
    if (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

std::string ValueHint::text() const {
    std::string quoted = "'";
    for (char c : value) {
        quoted += c;
        if (c == '\'') {
            quoted += '\'';
        }
    }
    return table + "." + column + " = " + quoted + "'";
}

namespace {

std::string quoted_literal(std::string_view v) {
    std::string out = "'";
    for (char c : v) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    return out + "'";
}

std::string rows_text(std::int64_t n) {
    return std::to_string(n) + (n == 1 ? " row" : " rows");
}

} // namespace

std::string LiteralFinding::text() const {
    std::string out = quoted_literal(literal) + " never occurs in " + table + "." + column;
    if (close.empty()) {
        return out;
    }
    out += "; close values: ";
    for (std::size_t i = 0; i < close.size(); ++i) {
        out += (i ? ", " : "") + quoted_literal(close[i].value) + " (" + rows_text(close[i].count) +
               ")";
    }
    return out;
}

// ---- lookups ----------------------------------------------------------------------------

struct ValueIndex::Lookup {
    struct Posting {
        std::uint32_t column;
        std::uint32_t value;
    };
    // One entry per distinct folded text, whatever columns hold it.
    struct Entry {
        std::string folded;
        std::vector<Posting> postings;
        std::uint32_t trigram_count = 0;
        std::vector<std::uint32_t> grams; // sorted
    };
    std::vector<Entry> entries;
    std::unordered_map<std::string, std::uint32_t> by_folded;
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> by_trigram;
    std::vector<std::pair<std::string, std::uint32_t>> words; // sorted: each word of each entry
    std::vector<std::uint32_t> codes;                         // entries that are short codes
    std::unordered_map<std::string, std::uint32_t> by_name;   // "table\ncolumn" folded
};

ValueIndex::ValueIndex(std::vector<ColumnValues> columns)
    : columns_(std::move(columns)), lookup_(std::make_unique<Lookup>()) {
    Lookup& l = *lookup_;
    for (std::uint32_t c = 0; c < columns_.size(); ++c) {
        const ColumnValues& col = columns_[c];
        l.by_name.emplace(fold_value(col.table) + "\n" + fold_value(col.column), c);
        memory_bytes_ += sizeof(ColumnValues) + col.table.size() + col.column.size();
        for (std::uint32_t v = 0; v < col.values.size(); ++v) {
            const std::string& value = col.values[v].value;
            memory_bytes_ += sizeof(IndexedValue) + value.size();
            ++value_count_;
            std::string folded = fold_value(value);
            if (folded.empty() || all_digits(folded)) {
                continue; // numbers are not named by words
            }
            auto [it, added] =
                l.by_folded.emplace(folded, static_cast<std::uint32_t>(l.entries.size()));
            if (added) {
                l.entries.push_back({folded, {}, 0});
            }
            Lookup::Entry& e = l.entries[it->second];
            e.postings.push_back({c, v});
            if (is_code(value) && (l.codes.empty() || l.codes.back() != it->second)) {
                l.codes.push_back(it->second);
            }
        }
    }
    std::sort(l.codes.begin(), l.codes.end());
    l.codes.erase(std::unique(l.codes.begin(), l.codes.end()), l.codes.end());
    for (std::uint32_t id = 0; id < l.entries.size(); ++id) {
        Lookup::Entry& e = l.entries[id];
        e.grams = trigrams(e.folded);
        const auto& grams = e.grams;
        e.trigram_count = static_cast<std::uint32_t>(grams.size());
        for (auto g : grams) {
            l.by_trigram[g].push_back(id);
        }
        std::size_t start = 0;
        while (start < e.folded.size()) {
            std::size_t end = e.folded.find(' ', start);
            if (end == std::string::npos) {
                end = e.folded.size();
            }
            if (end - start >= 3) {
                l.words.emplace_back(e.folded.substr(start, end - start), id);
            }
            start = end + 1;
        }
        memory_bytes_ += sizeof(Lookup::Entry) + 2 * e.folded.size() + 48 +
                         e.postings.size() * sizeof(Lookup::Posting) + grams.size() * 12;
    }
    std::sort(l.words.begin(), l.words.end());
    memory_bytes_ += l.words.size() * 48;
}

ValueIndex::~ValueIndex() = default;

const ColumnValues* ValueIndex::column(std::string_view table, std::string_view column) const {
    auto it = lookup_->by_name.find(fold_value(table) + "\n" + fold_value(column));
    return it == lookup_->by_name.end() ? nullptr : &columns_[it->second];
}

namespace {

struct Candidate {
    std::uint32_t entry;
    double score;
    std::size_t first; // the words it covers (quoted texts: past the last word)
    std::size_t last;
    std::string phrase;
    const char* how;
};

} // namespace

std::vector<ValueHint> ValueIndex::match(std::string_view question, std::size_t limit,
                                         double min_score) const {
    const Lookup& l = *lookup_;
    std::vector<ValueHint> out;
    if (l.entries.empty() || limit == 0) {
        return out;
    }
    std::vector<Word> words;
    std::vector<std::string> quoted;
    split_question(question, words, quoted);
    std::vector<Candidate> found;
    std::vector<std::uint16_t> shared(l.entries.size(), 0);
    std::vector<std::uint32_t> touched;

    auto fuzzy = [&](const std::string& folded, std::size_t first, std::size_t last,
                     const std::string& phrase) {
        const auto grams = trigrams(folded);
        std::vector<const std::vector<std::uint32_t>*> lists;
        for (auto g : grams) {
            auto it = l.by_trigram.find(g);
            if (it != l.by_trigram.end()) {
                lists.push_back(&it->second);
            }
        }
        // From sixteen letters on, a close value shares at least half the text's trigrams
        // (Dice 0.6 between texts whose lengths differ by a third at most): the most common
        // trigrams can be left out of the search, and the shared count is made exact below.
        std::size_t skip = 0;
        if (folded.size() >= 16 && grams.size() >= 6) {
            std::sort(lists.begin(), lists.end(),
                      [](const auto* a, const auto* b) { return a->size() < b->size(); });
            skip = (grams.size() + 1) / 2 - 2;
        }
        for (std::size_t k = 0; k + skip < lists.size(); ++k) {
            for (std::uint32_t id : *lists[k]) {
                if (shared[id]++ == 0) {
                    touched.push_back(id);
                }
            }
        }
        if (skip > 0) {
            for (std::uint32_t id : touched) {
                const auto& g = l.entries[id].grams;
                std::size_t n = 0;
                for (std::size_t a = 0, b = 0; a < grams.size() && b < g.size();) {
                    if (grams[a] == g[b]) {
                        ++n;
                        ++a;
                        ++b;
                    } else if (grams[a] < g[b]) {
                        ++a;
                    } else {
                        ++b;
                    }
                }
                shared[id] = static_cast<std::uint16_t>(n);
            }
        }
        // Dice of at least 0.5 needs this many shared trigrams; short texts come in on one
        // (the edit distance decides for them).
        for (std::uint32_t id : touched) {
            const Lookup::Entry& e = l.entries[id];
            const std::size_t s = shared[id];
            shared[id] = 0;
            const std::size_t len_a = folded.size();
            const std::size_t len_b = e.folded.size();
            if ((len_a > len_b ? len_a - len_b : len_b - len_a) >
                std::max<std::size_t>(2, len_a / 3)) {
                continue;
            }
            // Dice of at least 0.5, or for short texts what one edit (two from eight letters)
            // leaves at least: an edit changes at most four trigrams.
            const std::size_t len_min = std::min(len_a, len_b);
            const bool short_text = len_min <= 10;
            // Past ten letters one edit leaves a Dice of at least 0.6, and the trigram score
            // must reach min_score anyway: most texts sharing common words stop here.
            if (!short_text && 5 * s < 3 * (grams.size() + e.trigram_count) / 2) {
                continue;
            }
            const std::size_t need = len_min >= 8 ? len_min - 8 : len_min >= 5 ? len_min - 4 : 1;
            if (short_text && s < std::max<std::size_t>(1, need)) {
                continue;
            }
            const double score = fuzzy_score(folded, e.folded, s, grams.size(), e.trigram_count);
            if (score >= min_score) {
                found.push_back({id, score, first, last, phrase, "fuzzy"});
            }
        }
        touched.clear();
    };

    // Quoted texts: the user named a value; exact, else fuzzy.
    for (const std::string& q : quoted) {
        const std::string folded = fold_value(q);
        if (folded.empty() || all_digits(folded)) {
            continue;
        }
        const std::size_t at = words.size() + found.size() + 1;
        if (auto it = l.by_folded.find(folded); it != l.by_folded.end()) {
            found.push_back({it->second, 1.0, at, at, q, "exact"});
        } else if (folded.size() >= 4) {
            fuzzy(folded, at, at, q);
        }
    }

    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string folded;
        std::string phrase;
        bool any_content = false;
        bool numeric = true;
        for (std::size_t n = 1; n <= 4 && i + n <= words.size(); ++n) {
            const Word& w = words[i + n - 1];
            folded += (n > 1 ? " " : "") + w.folded;
            phrase += (n > 1 ? " " : "") + w.text;
            any_content = any_content || !w.stop;
            numeric = numeric && all_digits(w.folded);
            if (!any_content || numeric) {
                continue;
            }
            const std::size_t first = i;
            const std::size_t last = i + n - 1;
            const bool edges_content = !words[first].stop && !words[last].stop;
            auto exact = l.by_folded.find(folded);
            if (exact != l.by_folded.end()) {
                // A word of one or two letters counts only as written ("UK", not "uk").
                const bool tiny = folded.size() < 3;
                bool accept = !tiny;
                if (tiny) {
                    for (const auto& p : l.entries[exact->second].postings) {
                        accept = accept || columns_[p.column].values[p.value].value == phrase;
                    }
                }
                if (accept && edges_content) {
                    found.push_back({exact->second, 1.0, first, last, phrase, "exact"});
                    continue;
                }
            }
            if (edges_content && folded.size() >= 4) {
                fuzzy(folded, first, last, phrase);
            }
            // "United Kingdom" for 'UK': the capitals of two to four capitalised words.
            if (n >= 2 && edges_content) {
                std::string initials;
                bool capitals = true;
                for (std::size_t k = first; k <= last; ++k) {
                    if (words[k].folded == "of" || words[k].folded == "and" ||
                        words[k].folded == "the") {
                        continue;
                    }
                    capitals = capitals && words[k].capital && words[k].folded.size() >= 2 &&
                               !all_digits(words[k].folded);
                    initials += words[k].folded[0];
                }
                if (capitals && initials.size() >= 2) {
                    if (auto it = l.by_folded.find(initials);
                        it != l.by_folded.end() &&
                        std::binary_search(l.codes.begin(), l.codes.end(), it->second)) {
                        found.push_back({it->second, 0.9, first, last, phrase, "abbreviation"});
                    }
                }
            }
        }
        // "Calif." for 'California' or 'CA', "Bev." for 'Beverages': a word cut short.
        const Word& w = words[i];
        if (w.dotted && !w.stop && w.folded.size() >= 2 && !all_digits(w.folded)) {
            const std::string phrase_dot = w.text + ".";
            if (w.folded.size() >= 3) {
                // A value that is the word itself beats one that only holds it.
                auto score_of = [&](const std::pair<std::string, std::uint32_t>& word,
                                    double whole) {
                    return l.entries[word.second].folded == word.first ? whole : 0.79;
                };
                auto it = std::lower_bound(l.words.begin(), l.words.end(),
                                           std::make_pair(w.folded, std::uint32_t{0}));
                std::size_t taken = 0;
                for (; it != l.words.end() &&
                       it->first.compare(0, w.folded.size(), w.folded) == 0 && taken < 4;
                     ++it, ++taken) {
                    found.push_back(
                        {it->second, score_of(*it, 0.85), i, i, phrase_dot, "abbreviation"});
                }
                // Letters kept in order: "Whsl." for 'Wholesale', "Reps." for 'Representative'.
                if (taken == 0) {
                    it = std::lower_bound(l.words.begin(), l.words.end(),
                                          std::make_pair(w.folded.substr(0, 1), std::uint32_t{0}));
                    for (; it != l.words.end() && it->first[0] == w.folded[0] && taken < 4; ++it) {
                        if (it->first.size() <= w.folded.size()) {
                            continue;
                        }
                        std::size_t k = 0;
                        for (char c : it->first) {
                            if (k < w.folded.size() && c == w.folded[k]) {
                                ++k;
                            }
                        }
                        if (k == w.folded.size()) {
                            found.push_back(
                                {it->second, score_of(*it, 0.8), i, i, phrase_dot, "abbreviation"});
                            ++taken;
                        }
                    }
                }
            }
            for (std::uint32_t id : l.codes) {
                const std::string& code = l.entries[id].folded;
                if (code[0] != w.folded[0] || code.size() >= w.folded.size()) {
                    continue;
                }
                std::size_t k = 0;
                for (char c : w.folded) {
                    if (k < code.size() && c == code[k]) {
                        ++k;
                    }
                }
                if (k == code.size()) {
                    found.push_back({id, 0.8, i, i, phrase_dot, "abbreviation"});
                }
            }
        }
    }

    // Best first; a phrase covered by a better match elsewhere gives way; one phrase keeps its
    // few best values.
    std::stable_sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
        if (a.score != b.score) {
            return a.score > b.score;
        }
        return a.last - a.first > b.last - b.first;
    });
    std::vector<const Candidate*> kept;
    std::unordered_set<std::uint32_t> kept_entries;
    for (const Candidate& c : found) {
        if (kept_entries.count(c.entry)) {
            continue;
        }
        bool blocked = false;
        std::size_t same_span = 0;
        for (const Candidate* k : kept) {
            const bool overlap = c.first <= k->last && k->first <= c.last;
            if (!overlap) {
                continue;
            }
            if (k->first == c.first && k->last == c.last) {
                ++same_span;
                blocked = blocked || k->score - c.score > 0.05;
            } else {
                blocked = blocked || k->score >= c.score;
            }
        }
        if (blocked || same_span >= 3) {
            continue;
        }
        kept.push_back(&c);
        kept_entries.insert(c.entry);
    }
    for (const Candidate* c : kept) {
        for (const auto& p : l.entries[c->entry].postings) {
            const ColumnValues& col = columns_[p.column];
            const IndexedValue& v = col.values[p.value];
            out.push_back({col.table, col.column, v.value, v.count, c->score, c->phrase, c->how});
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const ValueHint& a, const ValueHint& b) {
        if (a.score != b.score) {
            return a.score > b.score;
        }
        return a.count > b.count;
    });
    if (out.size() > limit) {
        out.resize(limit);
    }
    return out;
}

std::vector<IndexedValue> ValueIndex::close_values(const ColumnValues& column,
                                                   std::string_view text, std::size_t limit) const {
    const std::string folded = fold_value(text);
    const auto grams = trigrams(folded);
    std::vector<std::pair<double, const IndexedValue*>> scored;
    for (const IndexedValue& v : column.values) {
        const std::string f = fold_value(v.value);
        double score = 0;
        if (f == folded) {
            score = 1.0;
        } else {
            const auto g = trigrams(f);
            std::size_t s = 0;
            std::size_t a = 0;
            std::size_t b = 0;
            while (a < grams.size() && b < g.size()) {
                if (grams[a] == g[b]) {
                    ++s;
                    ++a;
                    ++b;
                } else if (grams[a] < g[b]) {
                    ++a;
                } else {
                    ++b;
                }
            }
            score =
                g.empty() || grams.empty() ? 0 : fuzzy_score(folded, f, s, grams.size(), g.size());
            // A code the text abbreviates: 'CA' for "Calif."
            if (is_code(v.value) && !folded.empty() && f[0] == folded[0] &&
                f.size() < folded.size()) {
                std::size_t k = 0;
                for (char c : folded) {
                    if (k < f.size() && c == f[k]) {
                        ++k;
                    }
                }
                if (k == f.size()) {
                    score = std::max(score, 0.7);
                }
            }
            if (folded.size() >= 3 && f.compare(0, folded.size(), folded) == 0) {
                score = std::max(score, 0.75); // a word cut short
            }
        }
        if (score >= 0.45) {
            scored.emplace_back(score, &v);
        }
    }
    std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) {
            return a.first > b.first;
        }
        return a.second->count > b.second->count;
    });
    std::vector<IndexedValue> out;
    for (std::size_t i = 0; i < scored.size() && i < limit; ++i) {
        out.push_back(*scored[i].second);
    }
    return out;
}

} // namespace zolviai::sql
