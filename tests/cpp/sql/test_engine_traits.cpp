// The engine traits table: every scheme, host name and dialect leads to exactly one engine,
// and every engine says all that the rest of the code asks of it.
#include "sql/drivers/engine_traits.hpp"
#include "zolviai/sql/uri.hpp"

#include <gtest/gtest.h>
#include <set>
#include <string>

namespace {

using namespace zolviai::sql;
using namespace zolviai::sql::drivers;

TEST(EngineTraits, EverySchemeMapsToOneEngine) {
    struct Case {
        const char* scheme;
        EngineId engine;
    };
    const Case cases[] = {
        {"postgresql", EngineId::Postgresql},
        {"postgresql+psycopg2", EngineId::Postgresql},
        {"postgres", EngineId::Postgresql},
        {"mysql", EngineId::Mysql},
        {"mysql+mysqlconnector", EngineId::Mysql},
        {"mariadb", EngineId::Mysql},
        {"mssql", EngineId::Mssql},
        {"mssql+pyodbc", EngineId::Mssql},
        {"sqlite", EngineId::Sqlite},
    };
    for (const Case& c : cases) {
        const EngineTraits* traits = engine_for_scheme(c.scheme);
        ASSERT_NE(traits, nullptr) << c.scheme;
        EXPECT_EQ(traits->id, c.engine) << c.scheme;
        // The URI parser names the same engine.
        const std::string uri =
            std::string(c.scheme) + (c.engine == EngineId::Sqlite ? ":///x.db" : "://u:p@h:1/d");
        EXPECT_EQ(parse_database_uri(uri).dialect, traits->dialect) << uri;
    }
    for (const char* scheme : {"oracle", "postgresq", "sqlite3", "", "+psycopg2", "mssqlx"}) {
        EXPECT_EQ(engine_for_scheme(scheme), nullptr) << scheme;
    }
    // No scheme is claimed by two engines.
    std::set<std::string_view> seen;
    for (const EngineTraits& e : engines()) {
        for (std::string_view s : e.schemes) {
            EXPECT_TRUE(seen.insert(s).second) << s;
        }
    }
}

TEST(EngineTraits, EveryEngineIsComplete) {
    std::set<EngineId> ids;
    std::set<std::string_view> dialects;
    std::set<Engine> drivers;
    for (const EngineTraits& e : engines()) {
        const std::string name(e.dialect);
        EXPECT_TRUE(ids.insert(e.id).second) << name;
        EXPECT_TRUE(dialects.insert(e.dialect).second) << name;
        EXPECT_TRUE(drivers.insert(e.driver).second) << name;
        EXPECT_FALSE(e.dialect.empty());
        EXPECT_FALSE(e.display_name.empty()) << name;
        EXPECT_FALSE(e.schemes.empty()) << name;
        EXPECT_FALSE(e.server_names.empty()) << name;
        EXPECT_NE(e.quote_open, '\0') << name;
        EXPECT_NE(e.quote_close, '\0') << name;
        // Every engine with schemas says how to ask for the current one.
        EXPECT_EQ(e.current_schema_sql.empty(), e.catalog == CatalogQueries::Sqlite) << name;
        // A host names an engine together with the scheme its connection uses.
        EXPECT_EQ(e.host_name.empty(), e.host_scheme.empty()) << name;
        if (!e.host_name.empty()) {
            EXPECT_EQ(engine_for_host_name(e.host_name), &e) << name;
            EXPECT_EQ(engine_for_scheme(e.host_scheme), &e) << name;
        }
        // Each lookup leads back to the same row.
        EXPECT_EQ(engine_for_dialect(e.dialect), &e) << name;
        EXPECT_EQ(&engine(e.id), &e) << name;
        EXPECT_EQ(&engine_for_driver(e.driver), &e) << name;
        for (std::string_view server : e.server_names) {
            EXPECT_EQ(engine_for_server(server), &e) << server;
        }
    }
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_EQ(drivers.size(), 4u); // every native client has its engine
}

TEST(EngineTraits, HostsAndServersAreRecognisedByTheirOwnNames) {
    EXPECT_EQ(engine_for_host_name("PostgreSQL")->id, EngineId::Postgresql);
    EXPECT_EQ(engine_for_host_name("MsSQL")->id, EngineId::Mssql);
    EXPECT_EQ(engine_for_host_name("MySQL")->id, EngineId::Mysql);
    for (const char* name : {"mysql", "MYSQL", " MySQL", "Postgres", "SQLite", ""}) {
        EXPECT_EQ(engine_for_host_name(name), nullptr) << name;
    }
    EXPECT_EQ(engine_for_server("Microsoft SQL Server")->row_limit, RowLimit::Top);
    EXPECT_EQ(engine_for_server("10.11.6-MariaDB")->id, EngineId::Mysql);
    EXPECT_EQ(engine_for_server("SQLite")->catalog, CatalogQueries::Sqlite);
    EXPECT_EQ(engine_for_server("Oracle"), nullptr);
}

TEST(EngineTraits, IdentifiersAreQuotedAsTheEngineQuotesThem) {
    EXPECT_EQ(quote_identifier(Engine::Mysql, "a`b"), "`a``b`");
    EXPECT_EQ(quote_identifier(Engine::Postgresql, "a\"b"), "\"a\"\"b\"");
    EXPECT_EQ(quote_identifier(Engine::Sqlite, "t"), "\"t\"");
    EXPECT_EQ(quote_identifier(Engine::Odbc, "t"), "\"t\"");
}

} // namespace
