// Table ranking reads the question a user typed (over HTTP too) and names, comments and sample
// values from the database: any bytes, on both sides.
#include "zolviai/sql/table_ranking.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

} // namespace

// The first line is the question; every further line a table: name|col,col|comment|value,value.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string_view> lines = split(text, '\n');
    std::vector<zolviai::sql::TableDocument> documents;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string_view> fields = split(lines[i], '|');
        zolviai::sql::TableDocument d;
        d.name = std::string(fields[0]);
        if (fields.size() > 1) {
            for (const auto column : split(fields[1], ',')) {
                d.columns.emplace_back(column);
            }
        }
        if (fields.size() > 2) {
            d.comment = std::string(fields[2]);
        }
        if (fields.size() > 3) {
            for (const auto value : split(fields[3], ',')) {
                d.values.emplace_back(value);
            }
        }
        documents.push_back(std::move(d));
    }
    const zolviai::sql::TableRanker ranker(documents);
    const auto ranked = ranker.rank(lines[0], 40);
    if (ranked.size() > documents.size() || ranked.size() > 40) {
        __builtin_trap(); // more tables than asked for, or than there are
    }
    for (std::size_t i = 1; i < ranked.size(); ++i) {
        if (ranked[i].score > ranked[i - 1].score) {
            __builtin_trap(); // not best first
        }
    }
    (void)zolviai::sql::index_terms(text);
    return 0;
}
