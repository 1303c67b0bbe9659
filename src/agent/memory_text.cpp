#include "zolviai/agent/memory_text.hpp"

#include "zolviai/core/text.hpp"
#include "zolviai/sql/table_ranking.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace zolviai::agent {
namespace {

bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}
bool is_alpha(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Quotation marks and punctuation outside ASCII that separate words like ASCII punctuation.
// Returns the character's length in bytes when one starts at text[i], else 0.
std::size_t wide_punctuation(std::string_view text, std::size_t i, char32_t* cp_out = nullptr) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
        return 0;
    }
    char32_t cp = 0;
    const std::size_t n = decode_utf8(text, i, cp);
    if (n == 0) {
        return 0;
    }
    const bool punct = (cp >= 0x2010 && cp <= 0x205E) || cp == 0x00A0 || cp == 0x00A1 ||
                       cp == 0x00AB || cp == 0x00BB || cp == 0x00BF || cp == 0x3000;
    if (!punct) {
        return 0;
    }
    if (cp_out) {
        *cp_out = cp;
    }
    return n;
}

bool is_word_byte(std::string_view text, std::size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    return is_alpha(c) || is_digit(c) || (c >= 0x80 && wide_punctuation(text, i) == 0);
}

// The closing mark of a quotation that opens with the character `open` (0: not an opening).
char32_t closing_quote(char32_t open) {
    switch (open) {
    case '\'':
    case '"':
    case '`':
        return open;
    case 0x2018: // ‘
        return 0x2019;
    case 0x201C: // “
        return 0x201D;
    case 0x00AB: // «
        return 0x00BB;
    default:
        return 0;
    }
}

std::string lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

int month_number(const std::string& word) {
    static const char* names[] = {"january",   "february", "march",    "april",
                                  "may",       "june",     "july",     "august",
                                  "september", "october",  "november", "december"};
    for (int m = 0; m < 12; ++m) {
        const std::string full = names[m];
        if (word == full || (word.size() == 3 && full.compare(0, 3, word) == 0) ||
            (word == "sept" && m == 8)) {
            return m + 1;
        }
    }
    return 0;
}

int spelled_number(const std::string& word) {
    static const char* small[] = {
        "zero",     "one",     "two",     "three",     "four",     "five",     "six",
        "seven",    "eight",   "nine",    "ten",       "eleven",   "twelve",   "thirteen",
        "fourteen", "fifteen", "sixteen", "seventeen", "eighteen", "nineteen", "twenty"};
    for (int n = 0; n <= 20; ++n) {
        if (word == small[n]) {
            return n;
        }
    }
    return -1;
}

// A number as written ("1,250.50", "007", "-3") in one form: no thousands separators, no
// leading zeros, no trailing fractional zeros.
std::string canonical_number(std::string text) {
    std::string out;
    for (char c : text) {
        if (c != ',') {
            out.push_back(c);
        }
    }
    std::string sign;
    if (!out.empty() && out[0] == '-') {
        sign = "-";
        out.erase(0, 1);
    }
    const auto dot = out.find('.');
    if (dot != std::string::npos) {
        while (!out.empty() && out.back() == '0') {
            out.pop_back();
        }
        if (!out.empty() && out.back() == '.') {
            out.pop_back();
        }
    }
    std::size_t lead = 0;
    while (lead + 1 < out.size() && out[lead] == '0' && out[lead + 1] != '.') {
        ++lead;
    }
    out.erase(0, lead);
    return sign + out;
}

bool all_digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return is_digit(c); });
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

std::string two_digits(const std::string& s) {
    return s.size() == 1 ? "0" + s : s;
}

// What a run of digits and separators is: a date, a year or a number.
Slot classify_number(const std::string& run) {
    for (char sep : {'-', '/', '.'}) {
        const auto parts = split(run, sep);
        if (parts.size() < 2 || !std::all_of(parts.begin(), parts.end(), all_digits)) {
            continue;
        }
        if (sep == '.' && parts.size() == 2) {
            break; // a decimal number
        }
        if (parts[0].size() == 4 && parts.size() <= 3) { // 2024-03-05, 2024-03
            std::string value = parts[0];
            for (std::size_t i = 1; i < parts.size(); ++i) {
                value += "-" + two_digits(parts[i]);
            }
            return {"date", value};
        }
        if (parts.size() == 3 && parts[2].size() == 4) { // 05/03/2024: order kept as written
            return {"date", parts[2] + "-" + two_digits(parts[1]) + "-" + two_digits(parts[0])};
        }
        return {"number", run};
    }
    if (run.size() == 4 && all_digits(run) && (run[0] == '1' || run[0] == '2')) {
        const int year = std::stoi(run);
        if (year >= 1800 && year <= 2199) {
            return {"year", run};
        }
    }
    return {"number", canonical_number(run)};
}

// Words that say nothing about what a question asks.
const std::unordered_set<std::string>& stop_words() {
    static const std::unordered_set<std::string> words = {
        "a",         "an",       "and",    "are",   "as",    "at",     "be",   "by",    "did",
        "do",        "does",     "for",    "from",  "had",   "has",    "have", "in",    "is",
        "it",        "its",      "me",     "of",    "on",    "or",     "our",  "that",  "the",
        "their",     "them",     "there",  "these", "this",  "those",  "to",   "was",   "we",
        "were",      "with",     "i",      "my",    "so",    "into",   "been", "being", "can",
        "could",     "would",    "please", "you",   "your",  "tell",   "give", "show",  "list",
        "what",      "which",    "who",    "find",  "get",   "us",     "all",  "any",   "how",
        "one",       "ever",     "did",    "made",  "there", "along",  "some", "out",   "up",
        "single",    "whose",    "than",   "they",  "he",    "she",    "his",  "her",   "him",
        "where",     "when",     "why",    "whom",  "will",  "should", "just", "also",  "very",
        "something", "anything", "having", "let",   "know",  "want",   "need", "like",  "about"};
    return words;
}

// Words that ask for one figure per group ("per country", "by status", "for each customer"):
// a question with one of them and a statement with GROUP BY share the term kBreakdown.
const std::unordered_set<std::string>& breakdown_words() {
    static const std::unordered_set<std::string> words = {"each", "per", "every", "by"};
    return words;
}

// The analytic vocabulary of questions: words that ask for the same computation, folded onto
// the name of the SQL function that does it ("how many", "number of" and COUNT(*) alike).
// General English, not the words of any one database: docs/memory.md lists them.
const std::unordered_map<std::string, std::string>& aggregate_words() {
    static const std::unordered_map<std::string, std::string> words = {
        {"count", "count"},     {"many", "count"},        {"number", "count"},
        {"sum", "sum"},         {"total", "sum"},         {"much", "sum"},
        {"overall", "sum"},     {"altogether", "sum"},    {"combined", "sum"},
        {"avg", "avg"},         {"average", "avg"},       {"mean", "avg"},
        {"max", "max"},         {"maximum", "max"},       {"highest", "max"},
        {"largest", "max"},     {"biggest", "max"},       {"greatest", "max"},
        {"most", "max"},        {"top", "max"},           {"latest", "max"},
        {"newest", "max"},      {"min", "min"},           {"minimum", "min"},
        {"lowest", "min"},      {"smallest", "min"},      {"least", "min"},
        {"fewest", "min"},      {"bottom", "min"},        {"earliest", "min"},
        {"oldest", "min"},      {"distinct", "distinct"}, {"different", "distinct"},
        {"unique", "distinct"},
    };
    return words;
}

// Words that ask for the one row at the top or bottom of an order (a superlative): such a
// question and a statement with MAX, MIN or ORDER BY ... LIMIT share the term kExtreme.
// "longest" or "best" say which end only with the column they order, so they fold onto no
// aggregate; "first" and "last" are read in their place (memory_terms): first names are not
// an end of anything.
const std::unordered_set<std::string>& extreme_words() {
    static const std::unordered_set<std::string> words = {
        "max",    "maximum",  "highest", "largest", "biggest",  "greatest", "most",  "top",
        "latest", "newest",   "min",     "minimum", "lowest",   "smallest", "least", "fewest",
        "bottom", "earliest", "oldest",  "longest", "shortest", "best",     "worst"};
    return words;
}

// Nouns and verb forms of everyday business data that name the same thing ("clients" are
// "customers", what was "sold" is a "sale"). Identifiers of statements are folded the same
// way, so that a column named "client_id" meets a question about customers.
const std::unordered_map<std::string, std::string>& same_meaning() {
    static const std::unordered_map<std::string, std::string> words = {
        {"client", "customer"},    {"item", "product"},     {"staff", "employee"},
        {"personnel", "employee"}, {"worker", "employee"},  {"cost", "price"},
        {"expensive", "price"},    {"cheap", "price"},      {"cheaper", "price"},
        {"cheapest", "price"},     {"pricey", "price"},     {"paid", "payment"},
        {"pay", "payment"},        {"sold", "sale"},        {"sell", "sale"},
        {"bought", "order"},       {"purchase", "order"},   {"purchased", "order"},
        {"income", "revenue"},     {"turnover", "revenue"}, {"earning", "revenue"},
        {"shipment", "ship"},      {"delivery", "ship"},    {"delivered", "ship"},
    };
    return words;
}

// A word as the index keeps it: the usual English endings dropped, the same way for question
// words and identifiers ("hired", "hiring", "hire_date" -> hir; "monthly" -> month).
std::string stem(std::string term) {
    const auto ends = [&](std::string_view tail) {
        return term.size() > tail.size() &&
               term.compare(term.size() - tail.size(), tail.size(), tail) == 0;
    };
    bool dropped = false;
    if (term.size() > 5 && ends("ing")) {
        term.resize(term.size() - 3);
        dropped = true;
    } else if (term.size() > 4 && ends("ed")) {
        term.resize(term.size() - 2);
        dropped = true;
    } else if (term.size() > 5 && ends("ly")) {
        term.resize(term.size() - 2);
    }
    // "shipp" -> "ship"
    if (dropped && term.size() > 2 && term.back() == term[term.size() - 2] && term.back() != 's' &&
        term.back() != 'l') {
        term.pop_back();
    }
    if (term.size() > 3 && term.back() == 'e') {
        term.pop_back();
    }
    return term;
}

// The index form of a question's word or a statement's identifier. An identifier
// ("first_name", "total") is not folded onto an aggregate: only the statement's functions
// say which one it computes.
std::string index_form(const std::string& term, bool identifier = false) {
    if (!identifier) {
        if (const auto it = aggregate_words().find(term); it != aggregate_words().end()) {
            return it->second;
        }
    } else if (term == "count" || term == "sum" || term == "avg" || term == "max" ||
               term == "min" || term == "distinct") {
        return term;
    }
    if (const auto it = same_meaning().find(term); it != same_meaning().end()) {
        return stem(it->second);
    }
    return stem(term);
}

bool is_aggregate(std::string_view term) {
    return term == "count" || term == "sum" || term == "avg" || term == "max" || term == "min";
}

// The identifiers of a statement, without the words every statement has.
const std::unordered_set<std::string>& sql_words() {
    static const std::unordered_set<std::string> words = {
        "select", "from",   "where", "group", "by",   "order", "having",    "limit", "as",
        "and",    "or",     "not",   "join",  "on",   "left",  "inner",     "outer", "desc",
        "asc",    "in",     "is",    "null",  "case", "when",  "then",      "else",  "end",
        "round",  "exists", "union", "all",   "with", "over",  "partition", "using"};
    return words;
}

// One bit per placeholder type among the terms.
std::uint8_t value_kinds(const std::vector<std::string>& terms) {
    static const std::string kinds[] = {"<text>", "<date>",   "<month>",
                                        "<year>", "<number>", "<ordinal>"};
    std::uint8_t bits = 0;
    for (const auto& term : terms) {
        if (term.size() < 3 || term.front() != '<') {
            continue;
        }
        for (std::size_t k = 0; k < std::size(kinds); ++k) {
            if (term == kinds[k]) {
                bits |= static_cast<std::uint8_t>(1u << k);
            }
        }
    }
    return bits;
}

} // namespace

std::string MaskedQuestion::key() const {
    std::string out = masked;
    out += '\n';
    for (std::size_t i = 0; i < slots.size(); ++i) {
        out += (i ? "\x1f" : "") + slots[i].type + "=" + slots[i].value;
    }
    return out;
}

MaskedQuestion mask_question(std::string_view text) {
    MaskedQuestion out;
    auto emit_word = [&](const std::string& word) {
        if (word.empty()) {
            return;
        }
        out.normalised += (out.normalised.empty() ? "" : " ") + word;
        out.masked += (out.masked.empty() ? "" : " ") + word;
    };
    auto emit_slot = [&](Slot slot, const std::string& shown) {
        out.normalised += (out.normalised.empty() ? "" : " ") + shown;
        out.masked += (out.masked.empty() ? "" : " ") + ("<" + slot.type + ">");
        out.slots.push_back(std::move(slot));
    };
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool word_start = i == 0 || !is_word_byte(text, i - 1);
        // A quotation at the start of a word, closed before the end: a name, kept exactly.
        char32_t open = c < 0x80 ? c : 0;
        std::size_t open_len = c < 0x80 ? 1 : wide_punctuation(text, i, &open);
        if (word_start && open_len > 0 && closing_quote(open) != 0) {
            const char32_t close = closing_quote(open);
            std::size_t j = i + open_len;
            std::size_t end = std::string_view::npos;
            std::size_t close_len = 0;
            while (j < n) {
                char32_t cp = static_cast<unsigned char>(text[j]);
                std::size_t len = 1;
                if (cp >= 0x80) {
                    len = decode_utf8(text, j, cp);
                    len = len ? len : 1;
                }
                // The closing mark ends a word: not an apostrophe inside one ("Macy's").
                if (cp == close && (j + len >= n || !is_word_byte(text, j + len))) {
                    end = j;
                    close_len = len;
                    break;
                }
                j += len;
            }
            if (end != std::string_view::npos) {
                const std::string value(trim(text.substr(i + open_len, end - i - open_len)));
                if (!value.empty()) {
                    emit_slot({"text", value}, "'" + value + "'");
                }
                i = end + close_len;
                continue;
            }
        }
        // Numbers, dates and years; a minus sign counts at the start of a word.
        const bool minus = c == '-' && word_start && i + 1 < n && is_digit(text[i + 1]);
        if (is_digit(c) || minus) {
            std::size_t j = i + (minus ? 1 : 0);
            while (j < n) {
                const auto d = static_cast<unsigned char>(text[j]);
                if (is_digit(d)) {
                    ++j;
                    continue;
                }
                // A separator counts only between digits.
                if ((d == '.' || d == ',' || d == '-' || d == '/' || d == ':') && j + 1 < n &&
                    is_digit(text[j + 1])) {
                    ++j;
                    continue;
                }
                break;
            }
            const std::string run(text.substr(i, j - i));
            // An ordinal ("3rd") or a number glued to letters ("q3", "3d") stays a word.
            std::size_t k = j;
            while (k < n && is_alpha(text[k])) {
                ++k;
            }
            const std::string suffix = lower(std::string(text.substr(j, k - j)));
            if (suffix == "st" || suffix == "nd" || suffix == "rd" || suffix == "th") {
                const std::string value = canonical_number(run);
                emit_slot({"ordinal", value}, value + suffix);
                i = k;
                continue;
            }
            if (!suffix.empty() || (i > 0 && is_word_byte(text, i - 1))) {
                // Part of an identifier-like word ("3d"): one word as written.
                emit_word(lower(std::string(text.substr(i, k - i))));
                i = k;
                continue;
            }
            Slot slot =
                run.find(':') != std::string::npos ? Slot{"number", run} : classify_number(run);
            const std::string shown = slot.value;
            emit_slot(std::move(slot), shown);
            i = j;
            continue;
        }
        if (c == '%') {
            emit_word("percent");
            ++i;
            continue;
        }
        if (c == '&') {
            emit_word("and");
            ++i;
            continue;
        }
        if (!is_word_byte(text, i)) {
            i += c < 0x80 ? 1 : std::max<std::size_t>(1, wide_punctuation(text, i));
            continue;
        }
        // A word: letters (any script) and apostrophes inside it ("what's" -> whats).
        std::string word;
        std::size_t j = i;
        while (j < n) {
            if (is_word_byte(text, j) && !is_digit(text[j])) {
                word.push_back(text[j]);
                ++j;
                continue;
            }
            char32_t cp = 0;
            const std::size_t len = text[j] == '\'' ? 1 : wide_punctuation(text, j, &cp);
            const bool apostrophe = text[j] == '\'' || cp == 0x2019;
            if (apostrophe && len > 0 && j + len < n && is_alpha(text[j + len]) && !word.empty()) {
                j += len;
                continue;
            }
            break;
        }
        if (j < n && is_digit(text[j])) {
            // Letters then digits ("q3", "top10"): one word as written.
            while (j < n && is_word_byte(text, j)) {
                word.push_back(text[j]);
                ++j;
            }
            emit_word(lower(std::move(word)));
            i = j;
            continue;
        }
        word = lower(std::move(word));
        i = j;
        if (const int m = month_number(word); m > 0 && word.size() >= 3) {
            emit_slot({"month", std::to_string(m)}, word);
            continue;
        }
        if (const int number = spelled_number(word); number >= 0) {
            emit_slot({"number", std::to_string(number)}, word);
            continue;
        }
        emit_word(word);
    }
    return out;
}

std::vector<std::string> memory_terms(const MaskedQuestion& question) {
    std::vector<std::string> terms;
    bool breakdown = false;
    bool extreme = false;
    // After "per", "by", "each": the words naming the groups ("per payment method", "each
    // employee"), at most two.
    bool naming_groups = false;
    std::vector<std::string> group;
    const auto end_groups = [&] {
        for (const auto& g : group) {
            terms.push_back(std::string(kGroup) + g);
        }
        group.clear();
        naming_groups = false;
    };
    const std::vector<std::string> words = split(question.masked, ' ');
    for (std::size_t w = 0; w < words.size(); ++w) {
        const std::string& word = words[w];
        // "first" and "last" ask for an end of an order ("hired first") unless they name a
        // name ("first name", "first and last names").
        if (word == "first" || word == "last") {
            const std::string next = w + 1 < words.size() ? words[w + 1] : "";
            const std::string after = w + 2 < words.size() ? words[w + 2] : "";
            const bool name = next.rfind("name", 0) == 0 || ((next == "and" || next == "or") &&
                                                             (after == "first" || after == "last"));
            extreme = extreme || !name;
        }
        if (word.size() > 2 && word.front() == '<' && word.back() == '>') {
            end_groups();
            terms.push_back(word); // the placeholder's type
            continue;
        }
        if (breakdown_words().count(word)) {
            end_groups();
            breakdown = true;
            naming_groups = true;
            continue;
        }
        for (auto& term : sql::index_terms(word)) {
            if (stop_words().count(term)) {
                if (!group.empty()) {
                    end_groups();
                }
                continue;
            }
            extreme = extreme || extreme_words().count(term) > 0;
            std::string form = index_form(term);
            if (naming_groups) {
                if (is_aggregate(form) || form == "distinct") {
                    end_groups();
                } else {
                    group.push_back(form);
                    if (group.size() == 2) {
                        end_groups();
                    }
                }
            }
            terms.push_back(std::move(form));
        }
    }
    end_groups();
    for (const auto& slot : question.slots) {
        terms.push_back("=" + lower(slot.value));
    }
    if (breakdown) {
        terms.emplace_back(kBreakdown);
    }
    if (extreme) {
        terms.emplace_back(kExtreme);
    }
    return terms;
}

namespace {

// The text of a statement without its literals (their values are the question's slots), in
// lower case.
std::string without_literals(std::string_view sql) {
    std::string plain;
    bool quoted = false;
    for (char c : lower(std::string(sql))) {
        if (c == '\'') {
            quoted = !quoted;
            continue;
        }
        plain.push_back(quoted ? ' ' : c);
    }
    return plain;
}

bool is_word_at(const std::string& text, std::size_t at, std::string_view word) {
    const auto boundary = [&](std::size_t i) {
        return i >= text.size() || !(is_alpha(static_cast<unsigned char>(text[i])) ||
                                     is_digit(text[i]) || text[i] == '_');
    };
    return text.compare(at, word.size(), word) == 0 && (at == 0 || boundary(at - 1)) &&
           boundary(at + word.size());
}

// The identifiers a statement groups by: each column's last word ("e.employee_id" ->
// employee, id; "ship_country" -> ship, country), up to the clause after GROUP BY.
std::vector<std::string> grouped_by(const std::string& plain) {
    std::vector<std::string> out;
    for (auto at = plain.find("group by"); at != std::string::npos;
         at = plain.find("group by", at + 1)) {
        std::size_t end = at + 8;
        while (end < plain.size() && plain[end] != ')' && plain[end] != ';') {
            if (is_word_at(plain, end, "having") || is_word_at(plain, end, "order") ||
                is_word_at(plain, end, "limit") || is_word_at(plain, end, "union") ||
                is_word_at(plain, end, "window")) {
                break;
            }
            ++end;
        }
        for (auto& term : sql::index_terms(plain.substr(at + 8, end - at - 8))) {
            // One-letter table aliases and the "id" of keys name no group.
            if (term.size() < 2 || term == "id" || sql_words().count(term)) {
                continue;
            }
            std::string form = index_form(term, true);
            if (std::find(out.begin(), out.end(), form) == out.end()) {
                out.push_back(std::move(form));
            }
        }
    }
    return out;
}

} // namespace

std::vector<std::string> entry_terms(const MaskedQuestion& question, std::string_view sql) {
    std::vector<std::string> terms = memory_terms(question);
    std::string text = without_literals(sql);
    if (trim(text).empty()) {
        return terms;
    }
    // The statement says how the entry answers when it has one: the question's wording may
    // not (per group: GROUP BY; one row at an end of an order: MAX, MIN, ORDER BY ... LIMIT).
    // The groups are the columns GROUP BY names; the question's words for them stay only when
    // it names none ("GROUP BY 1").
    const auto groups = grouped_by(text);
    const bool grouped = text.find("group by") != std::string::npos;
    terms.erase(std::remove_if(terms.begin(), terms.end(),
                               [&](const std::string& t) {
                                   return t == kBreakdown || t == kExtreme ||
                                          (t.compare(0, kGroup.size(), kGroup) == 0 &&
                                           !(grouped && groups.empty()));
                               }),
                terms.end());
    if (grouped) {
        terms.emplace_back(kBreakdown);
    }
    for (const auto& g : groups) {
        terms.push_back(std::string(kGroup) + g);
    }
    const auto has_word = [&](std::string_view word) {
        for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
            if (is_word_at(text, at, word)) {
                return true;
            }
        }
        return false;
    };
    const bool ordered_top = text.find("order by") != std::string::npos && has_word("limit");
    if (ordered_top || text.find("max(") != std::string::npos ||
        text.find("min(") != std::string::npos) {
        terms.emplace_back(kExtreme);
    }
    // The statement's tables, columns and functions, split like table names ("unit_price" ->
    // unit, price): a paraphrase in other words often names what the SQL reads. ORDER BY and
    // GROUP BY say nothing of the orders or groups of the question.
    for (const std::string clause : {"order by", "group by"}) {
        for (auto at = text.find(clause); at != std::string::npos; at = text.find(clause, at)) {
            text.replace(at, clause.size(), " ");
        }
    }
    // Each identifier counts once: a statement that names a column in every clause, or joins
    // on "_id" columns, says no more about the question than one that names it once.
    std::unordered_set<std::string> named;
    for (auto& term : sql::index_terms(text)) {
        // One-letter words are table aliases.
        if (term.size() > 1 && !sql_words().count(term) && !stop_words().count(term) &&
            !std::all_of(term.begin(), term.end(), [](char c) { return is_digit(c); })) {
            std::string form = index_form(term, true);
            if (named.insert(form).second) {
                terms.push_back(std::move(form));
            }
        }
    }
    return terms;
}

MemoryIndex::MemoryIndex(const std::vector<Document>& documents) {
    ids_.reserve(documents.size());
    lengths_.reserve(documents.size());
    double total = 0;
    std::unordered_map<std::string, float> counts;
    for (const auto& doc : documents) {
        const auto d = static_cast<std::uint32_t>(ids_.size());
        counts.clear();
        for (const auto& term : doc.terms) {
            counts[term] += 1;
        }
        for (const auto& [term, count] : counts) {
            postings_[term].emplace_back(d, count);
        }
        ids_.push_back(doc.id);
        breakdown_.push_back(counts.count(std::string(kBreakdown)) > 0);
        named_groups_.push_back(std::any_of(counts.begin(), counts.end(), [](const auto& c) {
            return c.first.compare(0, kGroup.size(), kGroup) == 0;
        }));
        value_kinds_.push_back(value_kinds(doc.terms));
        lengths_.push_back(static_cast<float>(doc.terms.size()));
        total += static_cast<double>(doc.terms.size());
    }
    average_length_ = documents.empty() ? 1 : std::max(1.0, total / documents.size());
}

std::vector<MemoryIndex::Hit> MemoryIndex::search(const std::vector<std::string>& terms,
                                                  std::size_t k) const {
    constexpr double k1 = 1.2;
    constexpr double b = 0.75;
    const double n = static_cast<double>(ids_.size());
    std::vector<double> scores(ids_.size(), 0.0);
    std::vector<std::uint32_t> touched;
    std::vector<bool> same_groups(ids_.size(), false);
    bool names_groups = false;
    std::unordered_set<std::string_view> seen;
    for (const auto& term : terms) {
        if (!seen.insert(term).second) {
            continue;
        }
        const bool group = term.compare(0, kGroup.size(), kGroup) == 0;
        names_groups = names_groups || group;
        const auto it = postings_.find(term);
        if (it == postings_.end()) {
            continue;
        }
        const double df = static_cast<double>(it->second.size());
        // A term in most entries of a large memory weighs next to nothing and would cost a
        // pass over all of them.
        if (ids_.size() > 1000 && df > n / 4) {
            continue;
        }
        const double idf = std::log(1.0 + (n - df + 0.5) / (df + 0.5));
        for (const auto& [doc, tf] : it->second) {
            const double norm = k1 * (1 - b + b * lengths_[doc] / average_length_);
            if (scores[doc] == 0) {
                touched.push_back(doc);
            }
            scores[doc] += idf * tf * (k1 + 1) / (tf + norm);
            if (group) {
                same_groups[doc] = true;
            }
        }
    }
    // Asking per group or not is the shape of the answer: an entry of the other shape is a
    // worse example than one that shares fewer words, and so, less, is one per other groups.
    // Values of a kind the question has none of narrow an entry to something the question
    // does not ask; a question's value the entry has no place for matters a little less.
    constexpr double other_shape = 0.6;
    constexpr double other_groups = 0.8;
    constexpr double extra_values = 0.75;
    constexpr double missing_values = 0.9;
    const bool per_group = std::find(terms.begin(), terms.end(), kBreakdown) != terms.end();
    const std::uint8_t kinds = value_kinds(terms);
    std::vector<Hit> out;
    out.reserve(touched.size());
    for (const auto doc : touched) {
        double score = scores[doc];
        if (breakdown_[doc] != per_group) {
            score *= other_shape;
        } else if (names_groups && named_groups_[doc] && !same_groups[doc]) {
            score *= other_groups;
        }
        if (value_kinds_[doc] & ~kinds) {
            score *= extra_values;
        }
        if (kinds & ~value_kinds_[doc]) {
            score *= missing_values;
        }
        out.push_back({ids_[doc], score});
    }
    const auto better = [](const Hit& x, const Hit& y) {
        return x.score != y.score ? x.score > y.score : x.id < y.id;
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

} // namespace zolviai::agent
