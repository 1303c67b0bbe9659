// How rows reach the host: the row form each engine's cursors default to and the keys of
// map rows.
#include "zolviai/dbtool/rows.hpp"

#include <gtest/gtest.h>

using namespace zolviai;
using namespace zolviai::dbtool;

namespace {

sql::Column column(std::string name, std::string table) {
    sql::Column c;
    c.name = std::move(name);
    c.table = std::move(table);
    return c;
}

} // namespace

TEST(Rows, EachEngineKeepsItsClientsRowForm) {
    EXPECT_EQ(default_row_form(sql::Engine::Mysql), RowForm::Maps);
    EXPECT_EQ(default_row_form(sql::Engine::Postgresql), RowForm::Tuples);
    EXPECT_STREQ(engine_name(sql::Engine::Mysql), "MySQL");
    EXPECT_STREQ(engine_name(sql::Engine::Postgresql), "PostgreSQL");
}

// A repeated name would otherwise overwrite the earlier column's value in the map.
TEST(Rows, MapKeysPutTheTableInFrontOfARepeatedName) {
    const struct {
        std::vector<sql::Column> columns;
        std::vector<std::string> keys;
    } cases[] = {
        {{column("id", "orders"), column("total", "orders")}, {"id", "total"}},
        {{column("id", "orders"), column("id", "items")}, {"id", "items.id"}},
        {{column("id", "a"), column("id", "b"), column("id", "a")}, {"id", "b.id", "a.id"}},
        // Without a table there is nothing to tell the two apart: the later value wins.
        {{column("n", ""), column("n", "")}, {"n", "n"}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(map_row_keys(c.columns), c.keys);
    }
}
