#pragma once

#include "sql/connection_pool.hpp"
#include "sql/drivers/engine_traits.hpp"
#include "sql/schema_cache.hpp"
#include "zolviai/sql/sql_database.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zolviai::sql {

// Where the catalog is read from and kept.
struct CatalogPlace {
    const drivers::EngineTraits* engine = nullptr; // whose catalog queries to use
    std::string default_schema;                    // ODBC sources: resolved once at creation
    bool use_top = false;                          // sample rows with TOP n (SQL Server)
    std::string cache_file;                        // "" without persistence
    std::string cache_identity;                    // what the cache file must have been written for
};

// The database's catalog as the flow sees it: the table list, the table descriptions with
// sample rows, the fingerprint, and the ranking of tables for a question. Read once, kept in
// memory (and in a file when the host names a directory), checked against the server on each
// use with one cheap question, and read again only for the tables that changed.
class SchemaCatalog {
public:
    SchemaCatalog(ConnectionPool& pool, const DatabaseOptions& options, CatalogPlace place);

    std::vector<std::string> table_names() const;
    std::string fingerprint() const;
    std::string table_info_no_throw(const std::vector<std::string>& table_names) const;
    TableCandidates candidate_tables(std::string_view question) const;
    // The value index of every table (read on first need, kept with the catalog, read again
    // only for tables whose signature changed); null when the options turn it off.
    std::shared_ptr<const ValueIndex> value_index() const;
    std::vector<std::pair<std::string, std::string>> table_signatures() const;
    std::vector<TableSummary> table_summaries() const; // table_detail.cpp
    std::optional<TableDetail> describe_table(const std::string& name) const;
    std::vector<TableScore> rank_tables(std::string_view phrase, std::size_t k) const;
    // The value index as last built, without asking the server whether the catalog changed
    // (null when none was built yet): for checks that must cost no round trip.
    std::shared_ptr<const ValueIndex> last_value_index() const;

private:
    // The table ranking index of a snapshot, built once on first need.
    std::shared_ptr<const TableRanker> ranker_of(const SchemaSnapshot& current) const;
    // The cached catalog, checked against the server (and refreshed when it changed), with
    // the named tables (every table when describe_all) described. Holds the schema lock.
    std::shared_ptr<const SchemaSnapshot> schema(Connection& connection,
                                                 const std::vector<std::string>& describe,
                                                 bool describe_all = false) const;
    std::shared_ptr<const SchemaSnapshot> refreshed_schema(Connection& connection) const;
    void describe_into(Connection& connection, const std::vector<std::string>& names,
                       SchemaSnapshot& snapshot) const;
    std::vector<Connection::BatchResult>
    read_samples(Connection& connection, const std::vector<std::string>& statements,
                 const ExecuteOptions& limit, const std::function<void()>& run_meanwhile) const;

    ConnectionPool& pool_;
    const DatabaseOptions& options_;
    const CatalogPlace place_;

    // One check or refresh of the cached catalog at a time; readers take the snapshot and
    // work on it without the lock.
    mutable std::mutex schema_mutex_;
    mutable std::shared_ptr<const SchemaSnapshot> schema_;
    mutable bool schema_file_read_ = false;
};

} // namespace zolviai::sql
