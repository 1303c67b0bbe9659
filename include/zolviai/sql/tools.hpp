#pragma once

#include "zolviai/sql/sql_database.hpp"

#include <memory>
#include <string>
#include <string_view>

// The tools the flow reads the database with. They ask no model, so they live beside the
// wrapper; the query review, which does, is the flow's (flow/query_checker).
namespace zolviai::sql {

// Lists the usable table names, joined by ", ".
class ListSQLDatabaseTool {
public:
    explicit ListSQLDatabaseTool(std::shared_ptr<const CustomSQLDatabase> db);
    std::string run() const;

private:
    std::shared_ptr<const CustomSQLDatabase> db_;
};

// Describes the tables named in a comma-separated text (names are trimmed).
class InfoSQLDatabaseTool {
public:
    explicit InfoSQLDatabaseTool(std::shared_ptr<const CustomSQLDatabase> db);
    std::string run(std::string_view table_names) const;

private:
    std::shared_ptr<const CustomSQLDatabase> db_;
};

} // namespace zolviai::sql
