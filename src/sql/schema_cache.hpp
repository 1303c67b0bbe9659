#pragma once

#include "sql/catalog.hpp"
#include "zolviai/sql/table_ranking.hpp"
#include "zolviai/sql/value_index.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// What the database wrapper remembers of a catalog between calls, and its file form.
namespace zolviai::sql {

// One table or view. Its description is read on first need (a table the flow never asks
// about costs no sample-row read).
struct CachedTable {
    std::string signature; // catalog::TableSignature::signature when it was read
    std::string comment;   // the table's comment
    bool described = false;
    std::string description;             // CREATE TABLE text and sample rows
    std::vector<std::string> columns;    // column names
    std::string column_comments;         // the columns' comments, joined
    std::vector<std::string> references; // tables its foreign keys name
    std::vector<std::string> values;     // a few distinct sample values, for ranking
    // The value index's columns of this table, read on first need (with the signature
    // above: a table whose signature changes is read again).
    bool values_read = false;
    std::vector<ColumnValues> value_columns;
};
using CachedTablePtr = std::shared_ptr<const CachedTable>;

// The catalog as read at one fingerprint. Never changed once published: a refresh builds a
// new one that shares the unchanged tables.
struct SchemaSnapshot {
    std::string sentinel;           // catalog::schema_sentinel when last checked ("" = check again)
    std::string fingerprint;        // digest of every table's name and signature
    std::vector<std::string> names; // sorted
    std::unordered_map<std::string, CachedTablePtr> tables;
    // Definitions read with the signatures (MariaDB), for describing without another
    // catalog read; null when the engine reads signatures apart.
    std::shared_ptr<const std::unordered_map<std::string, catalog::TableDef>> definitions;
    // Built on first need, under the wrapper's schema lock.
    mutable std::shared_ptr<const TableRanker> ranker;
    mutable std::shared_ptr<const ValueIndex> value_index;
};

// A 64-bit FNV-1a digest as 16 hex digits.
std::string digest_hex(std::string_view text);

std::string schema_fingerprint(const std::vector<catalog::TableSignature>& signatures);

// The cache file of one database in a directory: the name is a digest of identity.
std::string schema_cache_path(const std::string& directory, const std::string& identity);

// Reads a cache file written for identity. A missing file gives nothing; a file that is not
// ours, was written for another database or is damaged gives nothing and one warning.
std::optional<SchemaSnapshot> load_schema_cache(const std::string& path,
                                                const std::string& identity);

// Writes the file next to its final place and renames it there, so a reader never sees half
// a file; a failure is a warning, never an error (the cache is a convenience).
void save_schema_cache(const std::string& path, const std::string& identity,
                       const SchemaSnapshot& snapshot);

} // namespace zolviai::sql
