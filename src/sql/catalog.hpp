#pragma once

#include "zolviai/sql/connection.hpp"

#include <string>
#include <vector>

// Catalog reads behind the table list and the table descriptions: a few set-based queries
// per call, whatever the number of tables.
namespace zolviai::sql::catalog {

struct ColumnDef {
    std::string name;
    std::string type;
    bool not_null = false;
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

// dialect: "postgresql", "mysql", "sqlite", "mssql"; schema: the default schema for mssql.
std::vector<std::string> table_names(Connection& connection, const std::string& dialect,
                                     const std::string& schema);

// Definitions of the named tables (all known to exist), in the order given.
std::vector<TableDef> table_defs(Connection& connection, const std::string& dialect,
                                 const std::string& schema, const std::vector<std::string>& names);

// The statement that reads `limit` sample rows of a table; use_top for SQL Server (TOP n).
std::string sample_rows_sql(Engine engine, bool use_top, const std::string& dialect,
                            const std::string& schema, const std::string& table, int limit);

// CREATE TABLE text of a definition.
std::string create_table_text(const TableDef& table, Engine engine);

} // namespace zolviai::sql::catalog
