#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// How the memory of verified SQL reads a question: its normalised form, the values in it
// replaced by typed placeholders (so that "orders in 2023" and "orders in 2024" have one
// masked form and two values), and a lexical index of stored questions for similarity.
namespace zolviai::agent {

// One value taken out of a question: its type ("text" for a quoted name, "date", "month",
// "year", "number", "ordinal") and its value in a canonical form (a quoted name exactly as
// written, a number without thousands separators or trailing zeros, a date as YYYY-MM-DD or
// YYYY-MM, a month as its number, a spelled number as digits).
struct Slot {
    std::string type;
    std::string value;
    bool operator==(const Slot&) const = default;
};

struct MaskedQuestion {
    // Lower-case words and values, one space apart, without punctuation.
    std::string normalised;
    // The same with each value replaced by its placeholder ("<year>", "<text>", ...).
    std::string masked;
    std::vector<Slot> slots; // in the order they occur

    // Equal for two questions exactly when their masked forms and values are equal: a
    // stored answer may be reused for a question with the same key and no other.
    std::string key() const;
};

// Reads a question. Letter case (outside quotes), spacing and punctuation make no difference;
// every value (numbers, years, dates, month names, spelled numbers up to twenty, quoted names)
// is kept with its type.
MaskedQuestion mask_question(std::string_view question);

// The term of a question that asks for one figure per group ("per", "each", "every", "by")
// and of an entry whose statement groups its rows.
inline constexpr std::string_view kBreakdown = "<per>";
// The prefix of the term naming what a question's groups are ("per payment method":
// "<per>method") and what an entry's statement groups by.
inline constexpr std::string_view kGroup = "<per>:";
// The term of a question that asks for the row at an end of an order ("the highest", "the
// earliest") and of an entry whose statement takes MAX, MIN or the first rows of an order.
inline constexpr std::string_view kExtreme = "<top>";

// The terms the similarity search indexes a question by: its words with the identifier
// splitting of table ranking (sql::index_terms), without the words that carry no meaning,
// stemmed, with the analytic words folded onto the aggregate they ask for ("how many",
// "number of" -> count) and everyday synonyms onto one word; plus one term per placeholder
// type, one per value, kBreakdown and kGroup terms when it asks per group, and kExtreme when
// it asks for an end of an order.
std::vector<std::string> memory_terms(const MaskedQuestion& question);

// The terms a stored entry is indexed by: its question's, and the identifiers its SQL reads
// (tables, columns, functions; keywords, literals and one-letter aliases left out), folded
// like the question's words. Its SQL, when it has one, says whether it answers per group
// and by what (GROUP BY), and whether it takes an end of an order (MAX, MIN, ORDER BY ...
// LIMIT).
std::vector<std::string> entry_terms(const MaskedQuestion& question, std::string_view sql);

// BM25 over stored questions' terms. Built once from all documents; a lookup touches only the
// postings of the question's terms.
class MemoryIndex {
public:
    struct Document {
        std::int64_t id = 0;
        std::vector<std::string> terms;
    };
    struct Hit {
        std::int64_t id = 0;
        double score = 0;
    };

    MemoryIndex() = default;
    explicit MemoryIndex(const std::vector<Document>& documents);

    // The k documents that match the terms best, best first (ties: the lower id first);
    // documents sharing no term are left out. A document that answers per group when the
    // terms do not ask so (kBreakdown), or the other way round, scores lower, and so does one
    // whose groups are none of those the terms name (kGroup); so does one with kinds of value
    // ("<year>", "<text>") the terms do not have, and a little less one without kinds the
    // terms have.
    std::vector<Hit> search(const std::vector<std::string>& terms, std::size_t k) const;

    std::size_t size() const { return ids_.size(); }

private:
    std::vector<std::int64_t> ids_;
    std::vector<float> lengths_;
    std::vector<bool> breakdown_;
    std::vector<bool> named_groups_;        // has kGroup terms
    std::vector<std::uint8_t> value_kinds_; // one bit per placeholder type
    double average_length_ = 1;
    std::unordered_map<std::string, std::vector<std::pair<std::uint32_t, float>>> postings_;
};

} // namespace zolviai::agent
