#pragma once

#include "sql/catalog.hpp"
#include "sql/connection_pool.hpp"
#include "sql/drivers/engine_traits.hpp"
#include "zolviai/sql/value_index.hpp"

#include <string>
#include <unordered_map>
#include <vector>

// Reading the value index from the database: one bounded query per column, on a sample of a
// large table, under a per-column time limit, spread over a few pooled sessions.
namespace zolviai::sql {

struct ValueReadJob {
    std::string table;
    std::string column;
    bool date = false; // read the column's range, not its values
};

// The columns of a table the index reads: text columns, and date and time columns for their
// range; excluded columns never.
std::vector<ValueReadJob> value_jobs(const catalog::TableDef& table,
                                     const ValueIndexOptions& options);

struct ValueReadPlace {
    const drivers::EngineTraits* engine = nullptr;
    std::string schema; // the default schema, for engines read through INFORMATION_SCHEMA
    bool use_top = false;
    bool shareable = true;        // other sessions see the same database (not a private SQLite)
    int statement_timeout_ms = 0; // what the sessions go back to after each column
};

// The jobs' columns by table (every table of the jobs has an entry, perhaps empty). Columns
// that fail, run past the time limit or would pass the memory bound are skipped and logged.
std::unordered_map<std::string, std::vector<ColumnValues>>
read_values(ConnectionPool& pool, Connection& connection, const ValueReadPlace& place,
            const std::vector<ValueReadJob>& jobs, const ValueIndexOptions& options);

// What the column's values take in memory, roughly.
std::size_t value_bytes(const ColumnValues& column);

} // namespace zolviai::sql
