#include "sql/sql_test_support.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/tools.hpp"
#include "zolviai/sql/uri.hpp"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace zolviai::sql;
using zolviai::testing::ScratchDatabase;
using zolviai::testing::TempDir;

namespace {

const std::vector<std::string> music_schema = {
    "CREATE TABLE artist (artist_id INTEGER NOT NULL, name VARCHAR(120), "
    "PRIMARY KEY (artist_id))",
    "CREATE TABLE album (album_id INTEGER NOT NULL, title VARCHAR(160) NOT NULL, "
    "artist_id INTEGER NOT NULL, PRIMARY KEY (album_id), "
    "FOREIGN KEY (artist_id) REFERENCES artist (artist_id))",
    "CREATE VIEW artist_names AS SELECT name FROM artist",
    "INSERT INTO artist VALUES (1, 'AC/DC'), (2, 'Accept'), (3, 'Aerosmith'), "
    "(4, 'Alanis Morissette')",
    "INSERT INTO album VALUES (1, 'For Those About To Rock', 1), (2, 'Balls to the Wall', 2), "
    "(3, 'Restless and Wild', 2), (4, 'Let There Be Rock', 1)",
};

const std::string album_rows = "\n\n/*\n3 rows from album table:\n"
                               "album_id\ttitle\tartist_id\n"
                               "1\tFor Those About To Rock\t1\n"
                               "2\tBalls to the Wall\t2\n"
                               "3\tRestless and Wild\t2\n*/";

// One engine behind the wrapper, with its music database loaded.
struct TestEngine {
    std::string label;
    std::string dialect;
    std::string uri;
    std::string album_definition; // CREATE TABLE text of album for this engine
    std::string sleep_sql;        // a read that runs far past a 1 s time-out
};

class MusicDatabases {
public:
    MusicDatabases()
        : pg_("ZOLVIAI_PG_URI"), maria_("ZOLVIAI_MARIADB_URI"), odbc_pg_("ZOLVIAI_PG_URI") {
        for (const auto& sql : music_schema) {
            pg_.admin().execute(sql);
            maria_.admin().execute(sql);
            odbc_pg_.admin().execute(sql);
        }
        ConnectSettings lite;
        lite.engine = zolviai::sql::Engine::Sqlite;
        lite.database = dir_.path() + "/music.db";
        auto conn = connect(lite);
        for (const auto& sql : music_schema) {
            conn->execute(sql);
        }
        // PostgreSQL's INFORMATION_SCHEMA hides the keys of tables a role may only read, which
        // SQL Server's does not: the stand-in runs as the owner, allowed explicitly.
        const DatabaseUri pg = parse_database_uri(odbc_pg_.uri());
        engines_ = {
            {"postgresql", "postgresql",
             "postgresql+psycopg2://" + pg_.reader_uri().substr(pg_.reader_uri().find("://") + 3),
             "CREATE TABLE album (\n\talbum_id INTEGER NOT NULL,\n"
             "\ttitle CHARACTER VARYING(160) NOT NULL,\n\tartist_id INTEGER NOT NULL,\n"
             "\tPRIMARY KEY (album_id),\n\tFOREIGN KEY(artist_id) REFERENCES artist (artist_id)\n)",
             "SELECT count(*) FROM generate_series(1, 100000) a, generate_series(1, 100000) b "
             "WHERE md5(a::text) < md5(b::text)"},
            {"mariadb", "mysql",
             "mysql+mysqlconnector://" +
                 maria_.reader_uri().substr(maria_.reader_uri().find("://") + 3),
             "CREATE TABLE album (\n\talbum_id INT(11) NOT NULL,\n\ttitle VARCHAR(160) NOT NULL,\n"
             "\tartist_id INT(11) NOT NULL,\n\tPRIMARY KEY (album_id),\n"
             "\tFOREIGN KEY(artist_id) REFERENCES artist (artist_id)\n)",
             "SELECT count(*) FROM seq_1_to_100000 a, seq_1_to_100000 b WHERE a.seq * b.seq "
             "<> 7"},
            {"sqlite", "sqlite", "sqlite:///" + lite.database,
             "CREATE TABLE album (\n\talbum_id INTEGER NOT NULL,\n\ttitle VARCHAR(160) NOT NULL,\n"
             "\tartist_id INTEGER NOT NULL,\n\tPRIMARY KEY (album_id),\n"
             "\tFOREIGN KEY(artist_id) REFERENCES artist (artist_id)\n)",
             "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
             "SELECT count(*) FROM c"},
            // The SQL Server path (mssql URI, ODBC, INFORMATION_SCHEMA) pointed at PostgreSQL's
            // ODBC driver: no SQL Server is available to the tests.
            {"mssql via psqlODBC", "mssql",
             build_database_uri("mssql+pyodbc", pg.user, pg.password, pg.host,
                                std::to_string(pg.port), odbc_pg_.name()) +
                 "?driver=PostgreSQL+Unicode&BoolsAsChar=0&allow_privileged_role=1",
             "CREATE TABLE album (\n\talbum_id INTEGER NOT NULL,\n"
             "\ttitle CHARACTER VARYING(160) NOT NULL,\n\tartist_id INTEGER NOT NULL,\n"
             "\tPRIMARY KEY (album_id),\n\tFOREIGN KEY(artist_id) REFERENCES artist (artist_id)\n)",
             "SELECT count(*) FROM generate_series(1, 100000) a, generate_series(1, 100000) b "
             "WHERE md5(a::text) < md5(b::text)"},
        };
    }
    const std::vector<TestEngine>& engines() const { return engines_; }

private:
    ScratchDatabase pg_;
    ScratchDatabase maria_;
    ScratchDatabase odbc_pg_;
    TempDir dir_;
    std::vector<TestEngine> engines_;
};

#define REQUIRE_BOTH_SERVERS()                                                                     \
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");                                                      \
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI")

// Everything a statement could have changed: tables, their definitions and all rows. Read
// through a fresh wrapper so that nothing a statement did to a pooled session hides it.
std::string fingerprint(const TestEngine& e) {
    auto db = CustomSQLDatabase::from_uri(e.uri);
    const auto names = db->get_usable_table_names();
    std::string out;
    for (const auto& n : names) {
        out += n + ";";
    }
    out += db->get_table_info_no_throw(names);
    out += db->run("SELECT * FROM artist ORDER BY 1");
    out += db->run("SELECT * FROM album ORDER BY 1");
    return out;
}

} // namespace

TEST(CustomSQLDatabase, ListsDescribesAndRunsOnEveryEngine) {
    REQUIRE_BOTH_SERVERS();
    MusicDatabases music;
    for (const TestEngine& e : music.engines()) {
        SCOPED_TRACE(e.label);
        auto db = CustomSQLDatabase::from_uri(e.uri);
        EXPECT_EQ(db->dialect(), e.dialect);
        EXPECT_EQ(db->get_usable_table_names(),
                  (std::vector<std::string>{"album", "artist", "artist_names"}));
        EXPECT_EQ(ListSQLDatabaseTool(db).run(), "album, artist, artist_names");

        EXPECT_EQ(db->get_table_info_no_throw({"album"}), e.album_definition + album_rows);
        const std::string both = InfoSQLDatabaseTool(db).run(" album ,artist_names");
        EXPECT_EQ(both.substr(0, e.album_definition.size() + album_rows.size() + 2),
                  e.album_definition + album_rows + "\n\n");
        EXPECT_NE(both.find("3 rows from artist_names table:\nname\nAC/DC\nAccept\nAerosmith\n*/"),
                  std::string::npos)
            << both;
        EXPECT_EQ(InfoSQLDatabaseTool(db).run("album, nosuch, Artist"),
                  "Error: table_names {'Artist', 'nosuch'} not found in database");
        EXPECT_EQ(InfoSQLDatabaseTool(db).run(""), "Error: table_names {''} not found in database");

        EXPECT_EQ(db->run("SELECT artist_id, name FROM artist ORDER BY artist_id"),
                  "[(1, 'AC/DC'), (2, 'Accept'), (3, 'Aerosmith'), (4, 'Alanis Morissette')]");
        EXPECT_EQ(db->run("SELECT artist_id, name FROM artist ORDER BY artist_id", "one"),
                  "[(1, 'AC/DC')]");
        EXPECT_EQ(db->run("SELECT artist_id, name FROM artist WHERE artist_id = 2", "all", true),
                  "[{'artist_id': 2, 'name': 'Accept'}]");
        EXPECT_EQ(db->run("SELECT name FROM artist WHERE artist_id = 99"), "");
        EXPECT_THROW(db->run("SELECT 1", "many"), zolviai::ValueError);
        try {
            db->run("SELECT nosuch FROM artist");
            ADD_FAILURE() << "no error";
        } catch (const zolviai::DatabaseError& e) {
            const std::string m = e.what();
            EXPECT_NE(m.find("nosuch"), std::string::npos) << m;
            EXPECT_NE(m.find("[SQL: SELECT nosuch FROM artist]"), std::string::npos) << m;
        }
        // A failed statement leaves the wrapper usable.
        EXPECT_EQ(db->run("SELECT count(*) FROM album"), "[(4,)]");
    }
}

TEST(CustomSQLDatabase, BoundsLongResultsWithANote) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase pg("ZOLVIAI_PG_URI");
    DatabaseOptions options;
    options.limits.max_rows = 3;
    auto db = CustomSQLDatabase::from_uri(pg.reader_uri(), options);
    EXPECT_EQ(db->run("SELECT generate_series(1, 5234)"),
              "[(1,), (2,), (3,)]  # result truncated: showing 3 of 5234 rows");
    EXPECT_EQ(db->run("SELECT repeat('x', 400)"), "[('" + std::string(297, 'x') + "...',)]");
}

TEST(CustomSQLDatabase, CreationFailsForWrongSchemesAndUnreachableServers) {
    EXPECT_THROW(CustomSQLDatabase::from_uri("None://u:p@127.0.0.1:1/d"), zolviai::ConfigError);
    EXPECT_THROW(CustomSQLDatabase::from_uri("postgresql+psycopg2://u:p@127.0.0.1:1/d"),
                 zolviai::DatabaseError);
    EXPECT_THROW(CustomSQLDatabase::from_uri("mysql+mysqlconnector://u:p@127.0.0.1:1/d"),
                 zolviai::DatabaseError);
}

// A password full of URI delimiters connects once the URI is built with it encoded.
TEST(CustomSQLDatabase, ConnectsWithDelimitersInThePassword) {
    REQUIRE_BOTH_SERVERS();
    ScratchDatabase pg("ZOLVIAI_PG_URI");
    ScratchDatabase maria("ZOLVIAI_MARIADB_URI");
    const std::string password = "p@ss/w:rd#1?";
    const std::string user = "zt_user_" + std::to_string(::getpid());
    pg.admin().execute("CREATE USER " + user + " PASSWORD 'p@ss/w:rd#1?'");
    maria.admin().execute("CREATE USER '" + user + "'@'%' IDENTIFIED BY 'p@ss/w:rd#1?'");
    maria.admin().execute("GRANT SELECT ON " + maria.name() + ".* TO '" + user + "'@'%'");
    for (const ScratchDatabase* s : {&pg, &maria}) {
        const DatabaseUri u = parse_database_uri(s->uri());
        const std::string scheme =
            u.dialect == "postgresql" ? "postgresql+psycopg2" : "mysql+mysqlconnector";
        auto db = CustomSQLDatabase::from_uri(
            build_database_uri(scheme, user, password, u.host, std::to_string(u.port), s->name()));
        EXPECT_EQ(db->run("SELECT 1"), "[(1,)]");
    }
    pg.admin().execute("DROP USER " + user);
    maria.admin().execute("DROP USER '" + user + "'@'%'");
}

// Hostile statements of all four dialects go through run(); each is refused, and the data
// and schema are the same afterwards.
TEST(CustomSQLDatabase, GuardKeepsDataAndSchemaUnchanged) {
    REQUIRE_BOTH_SERVERS();
    MusicDatabases music;
    const std::string evil_file = "/tmp/zolviai-evil-" + std::to_string(::getpid());
    const std::map<std::string, std::vector<std::string>> hostile = {
        {"postgresql",
         {"DELETE FROM artist", "UPDATE artist SET name = 'x'", "DROP TABLE album CASCADE",
          "CREATE TABLE evil (x int)", "ALTER TABLE artist ADD COLUMN evil int",
          "TRUNCATE artist CASCADE", "SELECT 1; DROP TABLE album",
          "WITH d AS (DELETE FROM album RETURNING *) SELECT * FROM d",
          "SELECT * INTO evil FROM artist", "COPY artist TO '" + evil_file + "'",
          "INSERT INTO artist VALUES (99, 'x')", "select 1 /* c */ ; delete from album",
          "DO $$ BEGIN DELETE FROM album; END $$",
          "SELECT set_config('default_transaction_read_only', 'off', false)",
          "EXPLAIN ANALYZE DELETE FROM album",
          "SET SESSION CHARACTERISTICS AS TRANSACTION READ WRITE",
          "GRANT ALL ON artist TO PUBLIC"}},
        {"mysql",
         {"DELETE FROM artist", "DROP TABLE album",
          "SELECT * FROM artist INTO OUTFILE '" + evil_file + "'",
          "SELECT 1 /*! ; DROP TABLE album */", "REPLACE INTO artist VALUES (1, 'x')",
          "UPDATE artist SET name = 'x' WHERE artist_id = 1",
          "LOAD DATA INFILE '/etc/hostname' INTO TABLE artist",
          "CREATE TABLE evil AS SELECT * FROM artist", "SELECT '\\\\'; DROP TABLE album; -- '",
          "HANDLER artist OPEN", "LOCK TABLES artist WRITE", "RENAME TABLE album TO evil"}},
        {"sqlite",
         {"ATTACH DATABASE '" + evil_file + "' AS evil", "PRAGMA query_only = 0",
          "PRAGMA writable_schema = 1", "DELETE FROM artist", "DROP VIEW artist_names",
          "VACUUM INTO '" + evil_file + "'",
          "WITH x AS (SELECT 1) INSERT INTO artist SELECT 5, 'y' FROM x",
          "SELECT 1; DELETE FROM album", "CREATE TEMP TABLE evil (x)"}},
        {"mssql",
         {"EXEC xp_cmdshell 'dir'", "SELECT * INTO #evil FROM artist", "DELETE FROM artist; --",
          "WAITFOR DELAY '00:01:00'",
          "MERGE artist AS t USING album AS s ON t.artist_id = s.artist_id "
          "WHEN MATCHED THEN DELETE;",
          "BULK INSERT artist FROM '/etc/hostname'", "SELECT 1 [;] ; DROP TABLE album",
          "UPDATE artist SET name = 'x'"}},
    };
    std::size_t total = 0;
    for (const TestEngine& e : music.engines()) {
        SCOPED_TRACE(e.label);
        const std::string before = fingerprint(e);
        ASSERT_NE(before.find("AC/DC"), std::string::npos) << before;
        auto db = CustomSQLDatabase::from_uri(e.uri);
        for (const auto& sql : hostile.at(e.dialect)) {
            ++total;
            try {
                const std::string out = db->run(sql);
                ADD_FAILURE() << "ran: " << sql << " -> " << out;
            } catch (const zolviai::DatabaseError& err) {
                EXPECT_EQ(std::string(err.what()).rfind("Statement refused: ", 0), 0u)
                    << sql << " -> " << err.what();
            }
            ASSERT_EQ(fingerprint(e), before) << "changed by: " << sql;
            EXPECT_FALSE(std::filesystem::exists(evil_file)) << "written by: " << sql;
        }
    }
    EXPECT_GE(total, 30u);
}

TEST(CustomSQLDatabase, StatementTimeOutStopsLongReads) {
    REQUIRE_BOTH_SERVERS();
    MusicDatabases music;
    DatabaseOptions options;
    options.statement_timeout_ms = 1000;
    for (const TestEngine& e : music.engines()) {
        SCOPED_TRACE(e.label);
        auto db = CustomSQLDatabase::from_uri(e.uri, options);
        const auto start = std::chrono::steady_clock::now();
        std::string outcome;
        try {
            outcome = "ran: " + db->run(e.sleep_sql);
        } catch (const zolviai::DatabaseError& err) {
            outcome = err.what();
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(outcome.rfind("ran: ", 0), std::string::npos) << outcome;
        EXPECT_NE(outcome.find("time"), std::string::npos) << outcome;
        EXPECT_LT(seconds, 6.0) << "the long read was not stopped: " << outcome;
        EXPECT_EQ(db->run("SELECT 1"), "[(1,)]") << "the wrapper works after a time-out";
    }
}

// One wrapper shared by 8 threads: every thread gets its own answers.
TEST(CustomSQLDatabase, EightThreadsShareOneWrapper) {
    REQUIRE_BOTH_SERVERS();
    MusicDatabases music;
    const std::vector<std::string> names = {"AC/DC", "Accept", "Aerosmith", "Alanis Morissette"};
    for (const TestEngine& e : music.engines()) {
        SCOPED_TRACE(e.label);
        auto db = CustomSQLDatabase::from_uri(e.uri);
        const std::string description = db->get_table_info_no_throw({"album", "artist"});
        std::atomic<int> wrong{0};
        std::atomic<int> done{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 25; ++i) {
                    const int id = (t + i) % 4 + 1;
                    try {
                        const std::string got =
                            db->run("SELECT artist_id, name FROM artist WHERE artist_id = " +
                                    std::to_string(id));
                        if (got != "[(" + std::to_string(id) + ", '" + names[id - 1] + "')]") {
                            ++wrong;
                        }
                        if (i % 5 == 0 &&
                            db->get_table_info_no_throw({"album", "artist"}) != description) {
                            ++wrong;
                        }
                        ++done;
                    } catch (const std::exception&) {
                        ++wrong;
                    }
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_EQ(done.load(), 200);
    }
}
