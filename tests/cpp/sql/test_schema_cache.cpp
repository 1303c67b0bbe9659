// The wrapper's schema cache: the catalog fingerprint on every engine, cached descriptions
// against fresh ones, and the cache file.
#include "sql/sql_test_support.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/tools.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <thread>

using namespace zolviai::sql;
using zolviai::testing::ScratchDatabase;
using zolviai::testing::TempDir;
namespace fs = std::filesystem;

namespace {

class CapturedErrors : public zolviai::ConsoleSink {
public:
    CapturedErrors() : previous_(zolviai::console_sink()) {}
    void write_out(std::string_view) override {}
    void write_err(std::string_view t) override { text += t; }
    std::string text;
    std::shared_ptr<zolviai::ConsoleSink> previous_;
};

// Installs a sink that keeps what is printed on standard error, for one scope.
class ErrorCapture {
public:
    ErrorCapture() : sink_(std::make_shared<CapturedErrors>()) { zolviai::set_console_sink(sink_); }
    ~ErrorCapture() { zolviai::set_console_sink(sink_->previous_); }
    const std::string& text() const { return sink_->text; }

private:
    std::shared_ptr<CapturedErrors> sink_;
};

std::string all_descriptions(const std::shared_ptr<const CustomSQLDatabase>& db) {
    return InfoSQLDatabaseTool(db).run(ListSQLDatabaseTool(db).run());
}

struct SchemaStep {
    std::string what;
    std::string sql;
    bool changes_schema;
};

// One engine: its database, and the steps run against it in order.
struct EngineCase {
    std::string label;
    std::string uri;
    std::function<void(const std::string&)> run;
    std::vector<SchemaStep> steps;
};

// Runs each step against a wrapper that keeps its cache between steps: the fingerprint moves
// exactly when the schema changed, and what the warm wrapper describes always equals what a
// new wrapper reads afresh.
void check_engine(const EngineCase& engine) {
    SCOPED_TRACE(engine.label);
    auto warm = CustomSQLDatabase::from_uri(engine.uri);
    std::string before = warm->schema_fingerprint();
    EXPECT_EQ(all_descriptions(warm), all_descriptions(CustomSQLDatabase::from_uri(engine.uri)));
    for (const SchemaStep& step : engine.steps) {
        SCOPED_TRACE(step.what);
        engine.run(step.sql);
        const std::string after = warm->schema_fingerprint();
        if (step.changes_schema) {
            EXPECT_NE(after, before);
        } else {
            EXPECT_EQ(after, before);
        }
        const auto fresh = CustomSQLDatabase::from_uri(engine.uri);
        EXPECT_EQ(after, fresh->schema_fingerprint());
        EXPECT_EQ(warm->get_usable_table_names(), fresh->get_usable_table_names());
        if (step.changes_schema) {
            // Rows are read once and kept while the schema stands; after a change of schema
            // the warm description must match a fresh one.
            EXPECT_EQ(all_descriptions(warm), all_descriptions(fresh));
        }
        before = after;
    }
}

const char* kBase[] = {
    "CREATE TABLE artist (artist_id INTEGER PRIMARY KEY, name VARCHAR(120))",
    "CREATE TABLE album (album_id INTEGER PRIMARY KEY, title VARCHAR(160) NOT NULL, "
    "artist_id INTEGER REFERENCES artist (artist_id), score INTEGER)",
    "INSERT INTO artist VALUES (1, 'AC/DC'), (2, 'Accept')",
    "INSERT INTO album VALUES (1, 'Let There Be Rock', 1, 5)",
};

std::vector<SchemaStep> common_steps(const std::string& alter_type, const std::string& rename) {
    return {
        {"insert rows", "INSERT INTO album VALUES (2, 'Balls to the Wall', 2, 4)", false},
        {"update rows", "UPDATE album SET title = 'Restless' WHERE album_id = 2", false},
        {"delete rows", "DELETE FROM album WHERE album_id = 2", false},
        {"add a table", "CREATE TABLE genre (genre_id INTEGER PRIMARY KEY, name TEXT)", true},
        {"add a column", "ALTER TABLE artist ADD COLUMN country VARCHAR(40)", true},
        {"alter a column", alter_type, true},
        {"rename a column", rename, true},
        {"drop a column", "ALTER TABLE artist DROP COLUMN country", true},
        {"add a view", "CREATE VIEW rock AS SELECT title FROM album", true},
        {"drop a table", "DROP TABLE genre", true},
    };
}

TEST(SchemaCache, FingerprintFollowsTheSchemaNotTheRowsOnEveryEngine) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase pg("ZOLVIAI_PG_URI");
    ScratchDatabase maria("ZOLVIAI_MARIADB_URI");
    TempDir dir;
    ConnectSettings lite;
    lite.engine = Engine::Sqlite;
    lite.database = dir.path() + "/music.db";
    auto lite_conn = connect(lite);
    for (const char* sql : kBase) {
        pg.admin().execute(sql);
        maria.admin().execute(sql);
        lite_conn->execute(sql);
    }
    std::vector<EngineCase> engines = {
        {"postgresql", pg.uri(), [&](const std::string& sql) { pg.admin().execute(sql); },
         common_steps("ALTER TABLE album ALTER COLUMN score TYPE BIGINT",
                      "ALTER TABLE album RENAME COLUMN score TO rating")},
        {"mariadb", maria.uri(), [&](const std::string& sql) { maria.admin().execute(sql); },
         common_steps("ALTER TABLE album MODIFY COLUMN score BIGINT",
                      "ALTER TABLE album RENAME COLUMN score TO rating")},
        {"sqlite", "sqlite:///" + lite.database,
         [&](const std::string& sql) { lite_conn->execute(sql); },
         // SQLite cannot change a column's type in place.
         common_steps("ALTER TABLE album ADD COLUMN note TEXT",
                      "ALTER TABLE album RENAME COLUMN score TO rating")},
    };
    // Keys and comments, where the engine keeps them.
    engines[0].steps.push_back(
        {"comment a column", "COMMENT ON COLUMN album.title IS 'the album name'", true});
    engines[0].steps.push_back(
        {"set not null", "ALTER TABLE artist ALTER name SET NOT NULL", true});
    engines[1].steps.push_back({"comment a column",
                                "ALTER TABLE album MODIFY title VARCHAR(160) NOT NULL COMMENT 'x'",
                                true});
    engines[1].steps.push_back(
        {"rename a referenced table", "RENAME TABLE artist TO performer", true});
    engines[2].steps.push_back(
        {"rename a referenced table", "ALTER TABLE artist RENAME TO performer", true});
    for (auto& engine : engines) {
        // Sample rows are kept while the schema stands, so this one comes last.
        engine.steps.push_back({"insert after changes",
                                "INSERT INTO album (album_id, title) VALUES (3, 'Rock')", false});
        check_engine(engine);
    }
}

// Keys are read as column positions and named from the columns: a key in another order than
// the table's columns, a table with a dropped column before its keys, and a reference to a
// table of another schema must still name the right columns in the key's order. MariaDB reads
// the keys of hundreds of tables on a second session beside the columns: they must still
// land on their tables.
TEST(SchemaCache, KeysNameTheirColumnsInKeyOrder) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    ScratchDatabase pg("ZOLVIAI_PG_URI");
    ScratchDatabase maria("ZOLVIAI_MARIADB_URI");
    struct Case {
        std::string label;
        ScratchDatabase& db;
        std::vector<std::string> setup;
        std::map<std::string, std::string> expected; // table: its CREATE TABLE text
    };
    std::vector<Case> cases = {
        {"postgresql",
         pg,
         {"CREATE SCHEMA other",
          "CREATE TABLE other.region (code TEXT, part INTEGER, PRIMARY KEY (part, code))",
          "CREATE TABLE store (gone INTEGER, b INTEGER, a TEXT, PRIMARY KEY (b, a))",
          "ALTER TABLE store DROP COLUMN gone",
          "CREATE TABLE sale (id INTEGER PRIMARY KEY, x TEXT, y INTEGER, rpart INTEGER, rcode "
          "TEXT, CONSTRAINT k1 FOREIGN KEY (rpart, rcode) REFERENCES other.region (part, code), "
          "CONSTRAINT k2 FOREIGN KEY (y, x) REFERENCES store (b, a))"},
         {{"store", "CREATE TABLE store (\n\tb INTEGER NOT NULL,\n\ta TEXT NOT NULL,\n\t"
                    "PRIMARY KEY (b, a)\n)"},
          {"sale", "CREATE TABLE sale (\n\tid INTEGER NOT NULL,\n\tx TEXT,\n\ty INTEGER,\n\t"
                   "rpart INTEGER,\n\trcode TEXT,\n\tPRIMARY KEY (id),\n\tFOREIGN KEY(rpart, "
                   "rcode) REFERENCES region (part, code),\n\tFOREIGN KEY(y, x) REFERENCES "
                   "store (b, a)\n)"}}},
        {"mariadb",
         maria,
         {"CREATE TABLE store (gone INT, b INT, a VARCHAR(9), PRIMARY KEY (b, a))",
          "ALTER TABLE store DROP COLUMN gone",
          "CREATE TABLE sale (id INT PRIMARY KEY, x VARCHAR(9), y INT, CONSTRAINT k2 FOREIGN "
          "KEY (y, x) REFERENCES store (b, a))"},
         {{"store", "CREATE TABLE store (\n\tb INT(11) NOT NULL,\n\ta VARCHAR(9) NOT NULL,\n\t"
                    "PRIMARY KEY (b, a)\n)"},
          {"sale", "CREATE TABLE sale (\n\tid INT(11) NOT NULL,\n\tx VARCHAR(9),\n\ty "
                   "INT(11),\n\tPRIMARY KEY (id),\n\tFOREIGN KEY(y, x) REFERENCES store (b, "
                   "a)\n)"}}},
    };
    // Enough tables on MariaDB for its catalog to be read over two sessions side by side.
    std::vector<std::string> fillers = {"CREATE TABLE f1 (id INT PRIMARY KEY, p INT, v CHAR(2))"};
    for (int i = 2; i <= 260; ++i) {
        fillers.push_back("CREATE TABLE f" + std::to_string(i) +
                          " (id INT PRIMARY KEY, p INT, v CHAR(2), FOREIGN KEY (p) REFERENCES f" +
                          std::to_string(i / 2) + " (id))");
    }
    cases[1].setup.insert(cases[1].setup.end(), fillers.begin(), fillers.end());
    cases[1].expected["f7"] = "CREATE TABLE f7 (\n\tid INT(11) NOT NULL,\n\tp INT(11),\n\tv "
                              "CHAR(2),\n\tPRIMARY KEY (id),\n\tFOREIGN KEY(p) REFERENCES f3 "
                              "(id)\n)";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        for (const auto& sql : c.setup) {
            c.db.admin().execute(sql);
        }
        auto db = CustomSQLDatabase::from_uri(c.db.uri());
        // Each table alone, then all at once (the bulk read of every table).
        all_descriptions(db);
        for (const auto& [table, create] : c.expected) {
            const std::string alone =
                CustomSQLDatabase::from_uri(c.db.uri())->get_table_info_no_throw({table});
            EXPECT_EQ(alone.substr(0, create.size() + 4), create + "\n\n/*");
            const std::string all = all_descriptions(db);
            EXPECT_NE(all.find(create + "\n\n/*"), std::string::npos) << all;
        }
    }
}

TEST(SchemaCache, CacheFileMakesANewWrapperWarmAndIsNeverTrustedBlindly) {
    TempDir dir;
    const std::string cache = dir.path() + "/cache";
    ConnectSettings lite;
    lite.engine = Engine::Sqlite;
    lite.database = dir.path() + "/music.db";
    auto conn = connect(lite);
    for (const char* sql : kBase) {
        conn->execute(sql);
    }
    const std::string uri = "sqlite:///" + lite.database;
    DatabaseOptions options;
    options.schema_cache_dir = cache;
    const std::string fresh = all_descriptions(CustomSQLDatabase::from_uri(uri));
    EXPECT_EQ(all_descriptions(CustomSQLDatabase::from_uri(uri, options)), fresh);

    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(cache)) {
        files.push_back(e.path());
    }
    ASSERT_EQ(files.size(), 1u);
    std::stringstream text;
    text << std::ifstream(files[0]).rdbuf();
    const std::string written = text.str();

    // A new wrapper reads what the file holds for tables whose signature still matches: a
    // mark put into the stored description shows up.
    std::string marked = written;
    const std::string title = "Let There Be Rock";
    ASSERT_NE(marked.find(title), std::string::npos);
    marked.replace(marked.find(title), title.size(), "Marked In The File");
    std::ofstream(files[0], std::ios::trunc) << marked;
    EXPECT_NE(all_descriptions(CustomSQLDatabase::from_uri(uri, options)).find("Marked In"),
              std::string::npos);

    // A table whose schema changed since is read again.
    std::ofstream(files[0], std::ios::trunc) << marked;
    conn->execute("ALTER TABLE album ADD COLUMN year INTEGER");
    const std::string after = all_descriptions(CustomSQLDatabase::from_uri(uri));
    EXPECT_EQ(all_descriptions(CustomSQLDatabase::from_uri(uri, options)), after);

    // Damaged and foreign files are ignored with a warning, and the answer is still right.
    const std::string other_db =
        std::string(written).replace(written.find("\"database\":\"") + 12, 4, "ffff");
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"not JSON", "\x01\x02 garbage {"},
        {"truncated", written.substr(0, written.size() / 2)},
        {"another program's JSON", "{\"format\": \"something else\", \"tables\": []}"},
        {"another database", other_db},
        {"wrong member types", "{\"format\":\"zolviai schema cache\",\"version\":1,"
                               "\"database\":\"" +
                                   written.substr(written.find("\"database\":\"") + 12, 16) +
                                   "\",\"fingerprint\":\"x\",\"tables\":[{\"name\":3}]}"},
    };
    for (const auto& [what, content] : bad) {
        SCOPED_TRACE(what);
        std::ofstream(files[0], std::ios::trunc | std::ios::binary) << content;
        ErrorCapture errors;
        EXPECT_EQ(all_descriptions(CustomSQLDatabase::from_uri(uri, options)), after);
        EXPECT_NE(errors.text().find("ignoring the schema cache file"), std::string::npos)
            << errors.text();
    }
}

TEST(SchemaCache, ThreadsReadWhileTheSchemaChanges) {
    TempDir dir;
    ConnectSettings lite;
    lite.engine = Engine::Sqlite;
    lite.database = dir.path() + "/music.db";
    auto conn = connect(lite);
    for (const char* sql : kBase) {
        conn->execute(sql);
    }
    auto db = CustomSQLDatabase::from_uri("sqlite:///" + lite.database);
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 6; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                const std::string info = db->get_table_info_no_throw({"album"});
                if (info.rfind("CREATE TABLE album", 0) != 0) {
                    ++failures;
                }
                db->get_usable_table_names();
            }
        });
    }
    for (int i = 0; i < 20; ++i) {
        conn->execute("CREATE TABLE extra" + std::to_string(i) + " (id INTEGER)");
    }
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(db->get_usable_table_names().size(), 22u);
    EXPECT_EQ(all_descriptions(db),
              all_descriptions(CustomSQLDatabase::from_uri("sqlite:///" + lite.database)));
}

} // namespace
