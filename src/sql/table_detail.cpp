// The catalog as data for clients that browse a database (table kinds, one table's
// definition, the ranking of every table for a phrase), beside the text the flow's prompts
// are made of.
#include "sql/catalog.hpp"
#include "sql/schema_catalog.hpp"
#include "zolviai/core/error.hpp"

#include <algorithm>
#include <map>

namespace zolviai::sql {
namespace {

std::string cell_text(const Cell& cell) {
    return cell.type == CellType::Null ? std::string() : cell_str(cell);
}

// Each usable table's kind, "table" or "view", by name.
std::map<std::string, std::string>
table_kinds(Connection& conn, const drivers::EngineTraits& traits, const std::string& schema) {
    ResultSet r;
    if (traits.catalog == drivers::CatalogQueries::Postgresql) {
        r = conn.execute("SELECT c.relname, CASE WHEN c.relkind IN ('v', 'm') THEN 'view' ELSE "
                         "'table' END FROM pg_catalog.pg_class c "
                         "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                         "WHERE n.nspname = current_schema() "
                         "AND c.relkind IN ('r', 'p', 'v', 'm', 'f')");
    } else if (traits.catalog == drivers::CatalogQueries::Mysql) {
        r = conn.execute("SELECT TABLE_NAME, CASE WHEN TABLE_TYPE LIKE '%VIEW' THEN 'view' ELSE "
                         "'table' END FROM information_schema.TABLES "
                         "WHERE TABLE_SCHEMA = DATABASE()");
    } else if (traits.catalog == drivers::CatalogQueries::Sqlite) {
        r = conn.execute("SELECT name, type FROM sqlite_master WHERE type IN ('table', 'view') "
                         "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'");
    } else {
        r = conn.execute_params("SELECT TABLE_NAME, CASE WHEN TABLE_TYPE LIKE '%VIEW' THEN "
                                "'view' ELSE 'table' END FROM INFORMATION_SCHEMA.TABLES "
                                "WHERE TABLE_SCHEMA = ?",
                                {schema});
    }
    std::map<std::string, std::string> out;
    for (const Row& row : r.rows) {
        if (row.size() >= 2) {
            out[cell_text(row[0])] = cell_text(row[1]);
        }
    }
    return out;
}

} // namespace

std::vector<TableSummary> SchemaCatalog::table_summaries() const {
    ConnectionPool::Lease conn(pool_);
    try {
        const std::shared_ptr<const SchemaSnapshot> current = schema(*conn, {});
        const auto kinds = table_kinds(*conn, *place_.engine, place_.default_schema);
        std::vector<TableSummary> out;
        out.reserve(current->names.size());
        for (const auto& name : current->names) {
            TableSummary summary{name, "table", ""};
            if (auto it = kinds.find(name); it != kinds.end()) {
                summary.kind = it->second;
            }
            if (auto it = current->tables.find(name); it != current->tables.end()) {
                summary.comment = it->second->comment;
            }
            out.push_back(std::move(summary));
        }
        return out;
    } catch (const DatabaseError&) {
        conn.suspect();
        throw;
    }
}

std::optional<TableDetail> SchemaCatalog::describe_table(const std::string& name) const {
    ConnectionPool::Lease conn(pool_);
    try {
        const std::shared_ptr<const SchemaSnapshot> current = schema(*conn, {});
        if (!std::binary_search(current->names.begin(), current->names.end(), name)) {
            return std::nullopt;
        }
        TableDetail out;
        out.name = name;
        out.kind = "table";
        const auto kinds = table_kinds(*conn, *place_.engine, place_.default_schema);
        if (auto it = kinds.find(name); it != kinds.end()) {
            out.kind = it->second;
        }
        if (auto it = current->tables.find(name); it != current->tables.end()) {
            out.comment = it->second->comment;
        }
        const auto defs = catalog::table_defs(*conn, *place_.engine, place_.default_schema, {name});
        if (!defs.empty()) {
            const catalog::TableDef& def = defs.front();
            for (const auto& c : def.columns) {
                TableDetail::ColumnDetail column;
                column.name = c.name;
                column.type = c.type;
                column.nullable = !c.not_null;
                column.comment = c.comment;
                column.primary_key = std::find(def.primary_key.begin(), def.primary_key.end(),
                                               c.name) != def.primary_key.end();
                for (const auto& fk : def.foreign_keys) {
                    column.foreign_key =
                        column.foreign_key ||
                        std::find(fk.columns.begin(), fk.columns.end(), c.name) != fk.columns.end();
                }
                out.columns.push_back(std::move(column));
            }
            for (const auto& fk : def.foreign_keys) {
                out.foreign_keys.push_back({fk.columns, fk.ref_table, fk.ref_columns});
            }
        }
        if (options_.sample_rows > 0) {
            ExecuteOptions limit;
            limit.max_rows = options_.sample_rows;
            limit.stop_after_max_rows = true;
            limit.max_cell_bytes = options_.max_cell_bytes;
            // Sample rows are a courtesy: a table we may not read is still described.
            auto results = conn->execute_batch(
                {catalog::sample_rows_sql(pool_.settings().engine, place_.use_top, *place_.engine,
                                          place_.default_schema, name, options_.sample_rows)},
                limit);
            if (!results.empty()) {
                out.sample = std::move(results.front().result);
                out.sample_error = std::move(results.front().error);
            }
        }
        return out;
    } catch (const DatabaseError&) {
        conn.suspect();
        throw;
    }
}

std::vector<TableScore> SchemaCatalog::rank_tables(std::string_view phrase, std::size_t k) const {
    std::shared_ptr<const TableRanker> ranker;
    {
        ConnectionPool::Lease conn(pool_);
        try {
            const std::shared_ptr<const SchemaSnapshot> current = schema(*conn, {}, true);
            ranker = ranker_of(*current);
        } catch (const DatabaseError&) {
            conn.suspect();
            throw;
        }
    }
    return ranker->rank(phrase, k);
}

std::vector<TableSummary> CustomSQLDatabase::table_summaries() const {
    return catalog_->table_summaries();
}

std::optional<TableDetail> CustomSQLDatabase::describe_table(const std::string& name) const {
    return catalog_->describe_table(name);
}

std::vector<TableScore> CustomSQLDatabase::rank_tables(std::string_view phrase,
                                                       std::size_t k) const {
    return catalog_->rank_tables(phrase, k);
}

} // namespace zolviai::sql
