#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The database's own values: the distinct values of its text columns (with how many rows hold
// each), matched against the words of a question and against the literals of generated SQL, so
// that the model writes 'CA' where the data says 'CA' and not 'Calif.'.
namespace zolviai::sql {

// Bounds and choices of the value index. The defaults are what docs/sql.md describes.
struct ValueIndexOptions {
    bool enabled = true;
    // A column with at most this many distinct values is kept whole; a larger one keeps only its
    // top_values most frequent values (and is then never used to call a literal wrong).
    std::size_t max_distinct = 5000;
    std::size_t top_values = 1000;
    // At most this many rows of a table are read per column; a larger table is read on a sample.
    std::int64_t sample_rows = 1000000;
    // Longer values are descriptions or documents, not names: not kept.
    std::size_t max_value_bytes = 120;
    // What the whole index may hold in memory; columns past it are skipped (and logged).
    std::size_t memory_bytes = 64UL * 1024 * 1024;
    // One column's read may take this long; a slower one is skipped (and logged).
    int column_time_limit_ms = 5000;
    // Columns never read nor shown: "table.column", or "table.*" for every column of a table.
    std::vector<std::string> excluded;
    // Hints given to the SQL-generation prompt: at most max_hints, each scored at least
    // min_score (1 is an exact match after folding case and accents).
    std::size_t max_hints = 8;
    double min_score = 0.78;

    // Whether "table.column" is excluded.
    bool excludes(std::string_view table, std::string_view column) const;
};

struct IndexedValue {
    std::string value;
    std::int64_t count = 0; // rows holding it (in the sample, for a sampled column)
};

// What the index holds of one column.
struct ColumnValues {
    std::string table;
    std::string column;
    // Every distinct value of the column is here; otherwise only the most frequent ones.
    bool complete = false;
    bool sampled = false;             // counted on a sample of the table's rows
    std::int64_t distinct = -1;       // distinct values seen (-1: unknown)
    std::vector<IndexedValue> values; // most frequent first
    // Date and time columns keep their range instead of values (the empty-result diagnosis
    // names it); "" when not read.
    std::string min;
    std::string max;
};

// A value of the database that a phrase of the question names.
struct ValueHint {
    std::string table;
    std::string column;
    std::string value;
    std::int64_t count = 0;
    double score = 0;   // 1: exact after folding case and accents
    std::string phrase; // the question's words it matched
    std::string how;    // "exact", "fuzzy" or "abbreviation"

    // table.column = 'value'
    std::string text() const;
};

// A string literal of generated SQL compared with a column in which it never occurs.
struct LiteralFinding {
    std::string table;
    std::string column;
    std::string literal;
    std::vector<IndexedValue> close; // the column's nearest values, best first (may be empty)

    // 'Calif.' never occurs in customer.state; close values: 'CA' (312 rows)
    std::string text() const;
};

// How an engine compares text: MariaDB's usual collations ignore case in = and LIKE; SQLite's
// LIKE ignores the case of ASCII letters; PostgreSQL's = and LIKE do not.
struct TextComparison {
    bool equals_ignores_case = false;
    bool like_ignores_case = false;
};

// Case folding, accents removed, punctuation as spaces, spaces collapsed: "São Paulo" and
// "sao  PAULO" fold alike.
std::string fold_value(std::string_view text);

class ValueIndex {
public:
    explicit ValueIndex(std::vector<ColumnValues> columns);
    ~ValueIndex();
    ValueIndex(const ValueIndex&) = delete;
    ValueIndex& operator=(const ValueIndex&) = delete;

    const std::vector<ColumnValues>& columns() const { return columns_; }
    // The column's entry, or null; names compared without regard to case.
    const ColumnValues* column(std::string_view table, std::string_view column) const;
    std::size_t value_count() const { return value_count_; }
    // An estimate of what the index holds in memory, lookups included.
    std::size_t memory_bytes() const { return memory_bytes_; }

    // The database values the question's words and phrases (up to four words; quoted text
    // whole) name, best first: at most `limit`, each scored at least min_score.
    std::vector<ValueHint> match(std::string_view question, std::size_t limit = 8,
                                 double min_score = 0.78) const;

    // The string literals of a statement compared with a column (=, <>, IN, LIKE without
    // wildcards) that never occur in that column, when the index knows every value of it.
    // With only_with_close, literals without a close value are left out.
    std::vector<LiteralFinding> check_literals(std::string_view sql, TextComparison comparison,
                                               bool only_with_close = true) const;

    // A column's values nearest to a text, best first.
    std::vector<IndexedValue> close_values(const ColumnValues& column, std::string_view text,
                                           std::size_t limit = 3) const;

private:
    struct Lookup;
    std::vector<ColumnValues> columns_;
    std::unique_ptr<Lookup> lookup_;
    std::size_t value_count_ = 0;
    std::size_t memory_bytes_ = 0;
};

// Why a statement that ran found no rows, as far as the index can tell: its literals that
// never occur in their column (with close values), and the date ranges it asks for beside the
// range its date columns hold. "" when the index sees nothing to say.
std::string empty_result_diagnosis(std::string_view sql, const ValueIndex& index,
                                   TextComparison comparison);

// The literal check's findings as one text for the correction prompt; "" for none.
std::string literal_check_text(const std::vector<LiteralFinding>& findings);

} // namespace zolviai::sql
