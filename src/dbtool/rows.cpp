#include "zolviai/dbtool/rows.hpp"

#include <set>

namespace zolviai::dbtool {

RowForm default_row_form(sql::Engine engine) {
    return engine == sql::Engine::Mysql ? RowForm::Maps : RowForm::Tuples;
}

std::optional<std::int64_t> execute_result(const Cursor& cursor) {
    if (cursor.connection()->engine() != sql::Engine::Mysql) {
        return std::nullopt;
    }
    return cursor.rowcount();
}

const char* engine_name(sql::Engine engine) {
    // A host connection is only ever opened on MySQL or PostgreSQL.
    return engine == sql::Engine::Mysql ? "MySQL" : "PostgreSQL";
}

std::vector<std::string> map_row_keys(const std::vector<sql::Column>& columns) {
    std::vector<std::string> keys;
    keys.reserve(columns.size());
    std::set<std::string> seen;
    for (const sql::Column& c : columns) {
        std::string key = c.name;
        if (!seen.insert(key).second && !c.table.empty()) {
            key = c.table + "." + c.name;
            seen.insert(key);
        }
        keys.push_back(std::move(key));
    }
    return keys;
}

} // namespace zolviai::dbtool
