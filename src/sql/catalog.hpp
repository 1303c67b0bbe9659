#pragma once

#include "sql/drivers/engine_traits.hpp"
#include "zolviai/sql/connection.hpp"

#include <functional>
#include <string>
#include <vector>

// Catalog reads behind the table list and the table descriptions: a few set-based queries
// per call, whatever the number of tables.
namespace zolviai::sql::catalog {

struct ColumnDef {
    std::string name;
    std::string type;
    bool not_null = false;
    std::string comment; // the catalog's comment on the column, where the engine keeps one
};

struct ForeignKey {
    std::vector<std::string> columns;
    std::string ref_table;
    std::vector<std::string> ref_columns;
};

struct TableDef {
    std::string name;
    std::vector<ColumnDef> columns;
    std::vector<std::string> primary_key;
    std::vector<ForeignKey> foreign_keys;
};

// What the schema cache compares to find the tables that changed.
struct TableSignature {
    std::string name;
    std::string signature; // changes with the columns, keys, comments or kind, not with rows
    std::string comment;   // the table's comment, where the engine keeps one
};

// traits: the engine whose catalog queries to use; schema: the default schema, for the
// engines read through the standard INFORMATION_SCHEMA views.
std::vector<std::string> table_names(Connection& connection, const drivers::EngineTraits& traits,
                                     const std::string& schema);

// Definitions of the named tables (all known to exist), in the order given.
std::vector<TableDef> table_defs(Connection& connection, const drivers::EngineTraits& traits,
                                 const std::string& schema, const std::vector<std::string>& names);

// A value one cheap query reads that changes whenever the schema in reach may have changed
// (and sometimes when it did not: the signatures then decide). PostgreSQL: the next
// transaction id (any change of the catalog is a transaction that takes one); MariaDB: the
// server's counters of DDL statements and its start time; SQLite: PRAGMA schema_version.
// Empty for engines without one.
std::string schema_sentinel(Connection& connection, const drivers::EngineTraits& traits);

// The signature of every usable table and view, sorted by name (the table names come with
// it): one catalog query, except on MariaDB, where the signatures are digests of the tables'
// definitions, which are then also handed back in `definitions` (when given) so that
// describing them needs no second read. helper, when given, is asked at most once for
// another session on the same database, to read a catalog side by side with `connection`
// (MariaDB, hundreds of tables); it may give null.
std::vector<TableSignature> table_signatures(Connection& connection,
                                             const drivers::EngineTraits& traits,
                                             const std::string& schema,
                                             std::vector<TableDef>* definitions = nullptr,
                                             const std::function<Connection*()>& helper = {});

// The statement that reads `limit` sample rows of a table; use_top for SQL Server (TOP n).
std::string sample_rows_sql(Engine engine, bool use_top, const drivers::EngineTraits& traits,
                            const std::string& schema, const std::string& table, int limit);

// CREATE TABLE text of a definition.
std::string create_table_text(const TableDef& table, Engine engine);

} // namespace zolviai::sql::catalog
