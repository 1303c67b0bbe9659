#include "zolviai/sql/tools.hpp"

#include "zolviai/core/text.hpp"

namespace zolviai::sql {

ListSQLDatabaseTool::ListSQLDatabaseTool(std::shared_ptr<const CustomSQLDatabase> db)
    : db_(std::move(db)) {}

std::string ListSQLDatabaseTool::run() const {
    std::string out;
    for (const auto& name : db_->get_usable_table_names()) {
        if (!out.empty()) {
            out += ", ";
        }
        out += name;
    }
    return out;
}

InfoSQLDatabaseTool::InfoSQLDatabaseTool(std::shared_ptr<const CustomSQLDatabase> db)
    : db_(std::move(db)) {}

std::string InfoSQLDatabaseTool::run(std::string_view table_names) const {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = table_names.find(',', start);
        names.emplace_back(trim(table_names.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    return db_->get_table_info_no_throw(names);
}

} // namespace zolviai::sql
