#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Lexical ranking of tables against a question, for databases with more tables than a model's
// prompt should list: BM25 over each table's name, column names, comments and a few sample
// values. Pure text work; the wrapper builds the documents from its cached catalog.
namespace zolviai::sql {

// The lower-case terms of a text: split at every character that is not a letter or digit, at
// camel-case humps ("OrderLines" -> order, lines; "HTTPServer" -> http, server) and between
// letters and digits, with simple plural folding ("categories" -> category, "boxes" -> box,
// "orders" -> order). Non-ASCII bytes stay inside words.
std::vector<std::string> index_terms(std::string_view text);

// What a table is known by.
struct TableDocument {
    std::string name;
    std::vector<std::string> columns;
    std::string comment;             // the table's and its columns' comments, joined
    std::vector<std::string> values; // a few distinct sample values
};

struct TableScore {
    std::string name;
    double score = 0;
};

class TableRanker {
public:
    explicit TableRanker(const std::vector<TableDocument>& documents);

    // The k tables that match the question best, best first (ties in name order); tables
    // that share no term with the question are left out.
    std::vector<TableScore> rank(std::string_view question, std::size_t k) const;

    std::size_t size() const { return names_.size(); }

private:
    std::vector<std::string> names_;
    std::vector<double> lengths_;                      // weighted term count of each document
    std::vector<std::vector<std::string>> name_terms_; // distinct terms of each name
    double average_length_ = 0;
    // term -> (document, weighted frequency) postings
    std::unordered_map<std::string, std::vector<std::pair<std::size_t, double>>> postings_;
};

} // namespace zolviai::sql
