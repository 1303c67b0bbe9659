// The PostgreSQL guard against the attack corpora in tests/cpp/sql/corpus: first the parse
// tree alone (no server), then a real server with a plain reader role, where names resolve
// as the catalog says and planted functions, operators and views are refused.
#include "sql/drivers/policies.hpp"
#include "sql/sql_test_support.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/connection.hpp"
#include "zolviai/sql/uri.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace zolviai::sql;
using zolviai::testing::ScratchDatabase;

namespace {

struct Entry {
    std::string outcome; // "refused", "resolved", "runs" or "plant"
    std::string found;   // a part of the refusal reason
    std::string sql;
};

std::vector<Entry> read_corpus(const std::string& file) {
    std::ifstream in(std::string(ZOLVIAI_SOURCE_DIR) + "/tests/cpp/sql/corpus/" + file);
    EXPECT_TRUE(in.good()) << file;
    std::vector<Entry> out;
    std::string line;
    Entry* current = nullptr;
    while (std::getline(in, line)) {
        if (line.rfind("-- ", 0) == 0) {
            const std::string head = line.substr(3);
            const std::size_t colon = head.find(": ");
            out.push_back({colon == std::string::npos ? head : head.substr(0, colon),
                           colon == std::string::npos ? "" : head.substr(colon + 2), ""});
            current = &out.back();
        } else if (line.empty() || line[0] == '#') {
            current = nullptr;
        } else if (current != nullptr) {
            current->sql += (current->sql.empty() ? "" : "\n") + line;
        }
    }
    for (const Entry& e : out) {
        EXPECT_FALSE(e.sql.empty()) << file << ": an entry without a statement";
        EXPECT_TRUE(e.outcome == "refused" || e.outcome == "resolved" || e.outcome == "runs" ||
                    e.outcome == "plant")
            << file << ": " << e.outcome;
    }
    return out;
}

drivers::FunctionAllowList builtins(const std::vector<std::string>& extra = {}) {
    return drivers::FunctionAllowList(drivers::postgresql_functions, extra, "pg_catalog", false);
}

const std::vector<std::string> victim_schema = {
    "CREATE TABLE victim (id integer PRIMARY KEY, name text, data jsonb, amount numeric(10, 2))",
    "INSERT INTO victim VALUES (1, 'alpha', '{\"tag\": \"a\"}', 1.50), "
    "(2, 'beta', '{\"tag\": \"b\"}', 2.25)",
    "CREATE VIEW victim_view AS SELECT id, name FROM victim",
};

// A plain login role (no superuser, no CREATE anywhere) that may read public's tables; with
// create_in_public it may also create objects there, as a second tenant of the database could.
class PlainRole {
public:
    PlainRole(ScratchDatabase& db, const std::string& suffix, bool create_in_public)
        : db_(db), name_("z" + suffix + "_" + db.name()) {
        db.admin().execute("CREATE ROLE " + name_ + " LOGIN PASSWORD 'plain'");
        db.admin().execute("GRANT SELECT ON ALL TABLES IN SCHEMA public TO " + name_);
        if (create_in_public) {
            db.admin().execute("GRANT CREATE ON SCHEMA public TO " + name_);
        }
        settings_ = db.settings();
        settings_.user = name_;
        settings_.password = "plain";
    }
    ~PlainRole() {
        try {
            db_.admin().execute("DROP OWNED BY " + name_ + " CASCADE");
            db_.admin().execute("DROP ROLE " + name_);
        } catch (const zolviai::Error&) {
        }
    }
    const ConnectSettings& writer_settings() const { return settings_; }
    ConnectSettings settings(const std::vector<std::string>& allowed_functions = {}) const {
        ConnectSettings s = settings_;
        s.read_only = true;
        s.statement_timeout_ms = 3000;
        s.guard.allowed_functions = allowed_functions;
        return s;
    }

private:
    ScratchDatabase& db_;
    std::string name_;
    ConnectSettings settings_;
};

// Runs every entry but the plants on the connection, checking its outcome.
void run_entries(Connection& conn, const std::vector<Entry>& corpus) {
    for (const Entry& e : corpus) {
        if (e.outcome == "plant") {
            continue;
        }
        try {
            const ResultSet r = conn.execute_guarded(e.sql, {});
            EXPECT_EQ(e.outcome, "runs") << "ran: " << e.sql;
        } catch (const zolviai::DatabaseError& error) {
            const std::string what = error.what();
            if (e.outcome == "runs") {
                ADD_FAILURE() << e.sql << " -> " << what;
                continue;
            }
            EXPECT_EQ(what.rfind("Statement refused: ", 0), 0u) << e.sql << " -> " << what;
            EXPECT_NE(what.find(e.found), std::string::npos) << e.sql << " -> " << what;
        }
        ASSERT_FALSE(conn.is_broken()) << e.sql;
    }
}

} // namespace

TEST(PostgresqlAttacks, TheParseTreeRefusesWhatItCanTellAndPassesOrdinaryQueries) {
    const auto allowed = builtins();
    const auto corpus = read_corpus("postgresql_attacks.txt");
    ASSERT_GE(corpus.size(), 60u);
    for (const Entry& e : corpus) {
        const auto reason = drivers::postgresql_refusal(e.sql, allowed, nullptr, {"public"});
        if (e.outcome == "refused") {
            ASSERT_TRUE(reason.has_value()) << e.sql;
            EXPECT_NE(reason->find(e.found), std::string::npos) << e.sql << " -> " << *reason;
        } else {
            EXPECT_EQ(reason, std::nullopt) << e.sql;
        }
    }
}

TEST(PostgresqlAttacks, NamesAreCollectedForResolutionWithWithQueriesInScope) {
    const auto allowed = builtins();
    drivers::PgStatementShape shape;
    ASSERT_EQ(drivers::postgresql_refusal(
                  "WITH a AS (SELECT * FROM t1), b AS (SELECT * FROM a, t2) "
                  "SELECT upper(x), y OPERATOR(pg_catalog.+) 1 FROM b, a, public.t3 z, sales "
                  "WHERE z.total BETWEEN 1 AND 2 AND x IN (SELECT c FROM (WITH sales AS "
                  "(SELECT 1 AS c) SELECT c FROM sales) s) ORDER BY 1 USING <",
                  allowed, &shape, {"public"}),
              std::nullopt);
    const drivers::PgNames& n = shape.names;
    EXPECT_EQ(n.relations, (std::set<std::string>{"t1", "t2", "sales"}));
    EXPECT_EQ(n.qualified_relations,
              (std::set<std::pair<std::string, std::string>>{{"public", "t3"}}));
    EXPECT_EQ(n.functions, (std::set<std::string>{"upper"}));
    EXPECT_EQ(n.operators, (std::set<std::string>{">=", "<=", "=", "<"}));
    EXPECT_EQ(n.column_fields, (std::set<std::string>{"total"}));
    // A recursive WITH query sees itself; a plain one does not.
    ASSERT_EQ(drivers::postgresql_refusal("WITH RECURSIVE r AS (SELECT 1 UNION ALL SELECT 1 "
                                          "FROM r) SELECT * FROM r",
                                          allowed, &shape),
              std::nullopt);
    EXPECT_TRUE(shape.names.relations.empty());
    ASSERT_EQ(
        drivers::postgresql_refusal("WITH r AS (SELECT * FROM r) SELECT * FROM r", allowed, &shape),
        std::nullopt);
    EXPECT_EQ(shape.names.relations, (std::set<std::string>{"r"}));
}

TEST(PostgresqlAttacks, NestingBoundCountsChainsAndParenthesesNotLiterals) {
    EXPECT_LT(drivers::postgresql_nesting_bound("SELECT a, b, c FROM t WHERE x = 1"), 10u);
    EXPECT_GE(drivers::postgresql_nesting_bound("SELECT 1+1+1+1+1+1+1+1"), 7u);
    EXPECT_GE(drivers::postgresql_nesting_bound("SELECT ((((((1))))))"), 6u);
    // Commas end a chain at their level; strings, quoted names and comments hold no nesting.
    EXPECT_LT(drivers::postgresql_nesting_bound("SELECT 1+1, 1+1, 1+1, 1+1, 1+1"), 4u);
    EXPECT_LT(drivers::postgresql_nesting_bound(
                  "SELECT '((((((((+++', \"((((+\", $x$ ((((( $x$ -- ((((((((\n, 1 /* ((( */"),
              4u);
    EXPECT_GE(drivers::postgresql_nesting_bound("SELECT ARRAY[[[[[1]]]]]"), 5u);
    EXPECT_GE(drivers::postgresql_nesting_bound(
                  "SELECT CASE WHEN a THEN CASE WHEN b THEN CASE WHEN c THEN 1 END END END"),
              6u);
}

TEST(PostgresqlAttacks, EveryAttackIsRefusedOnTheServerAsAPlainReader) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    for (const auto& sql : victim_schema) {
        db.admin().execute(sql);
    }
    PlainRole reader(db, "r", false);
    auto conn = connect(reader.settings());
    run_entries(*conn, read_corpus("postgresql_attacks.txt"));
    // The guarded session pins search_path and leaves nothing behind.
    EXPECT_EQ(conn->execute_guarded("SELECT current_setting('search_path')", {}).rows[0][0].text,
              "pg_catalog, public, pg_temp");
    EXPECT_NE(conn->execute("SHOW search_path").rows[0][0].text, "pg_catalog, public, pg_temp");
    // The check without a run resolves the same way.
    EXPECT_TRUE(conn->refusal_reason("SELECT v.record_out FROM victim v").has_value());
    EXPECT_EQ(conn->refusal_reason("SELECT v.name FROM victim v"), std::nullopt);
}

TEST(PostgresqlAttacks, PlantedFunctionsOperatorsAndViewsAreRefused) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase db("ZOLVIAI_PG_URI");
    for (const auto& sql : victim_schema) {
        db.admin().execute(sql);
    }
    const auto corpus = read_corpus("postgresql_planted.txt");
    PlainRole planter(db, "p", true);
    {
        auto plant = connect(planter.writer_settings());
        plant->execute("BEGIN");
        for (const Entry& e : corpus) {
            if (e.outcome == "plant") {
                plant->execute(e.sql);
            }
        }
        plant->execute("COMMIT");
    }
    // An overload the bootstrap superuser owns (as a trusted extension's are) is trusted like
    // a built-in: the corpus's last statement calls lower() beside it.
    db.admin().execute("CREATE FUNCTION public.lower(integer) RETURNS integer LANGUAGE sql "
                       "AS 'SELECT $1'");
    const std::string bootstrap =
        db.admin().execute("SELECT rolname::text FROM pg_roles WHERE oid = 10").rows[0][0].text;
    db.admin().execute("ALTER FUNCTION public.lower(integer) OWNER TO " +
                       quote_identifier(Engine::Postgresql, bootstrap));
    PlainRole reader(db, "r", false);
    auto conn = connect(reader.settings());
    run_entries(*conn, corpus);
    // Until the host names the planted function itself.
    auto trusting = connect(reader.settings({"public.upper"}));
    EXPECT_NO_THROW(trusting->execute_guarded("SELECT upper(name) FROM victim", {}));
    EXPECT_THROW(trusting->execute_guarded("SELECT id FROM victim WHERE name = 'x'", {}),
                 zolviai::DatabaseError);
}

// How the rows of the resolution query become a verdict, without a server: the first schema
// of the path wins for a relation, the host may name a function of its own, and views cost a
// second query only when the statement reads one.
TEST(PostgresqlAttacks, ResolvedNamesDecideByPathOrderAndHostList) {
    const auto allowed = builtins({"reports.score"});
    drivers::PgResolution resolution(allowed, {"public"});
    drivers::PgNames names;
    names.relations = {"orders", "pg_x"};
    names.functions = {"score", "upper"};
    names.qualified_relations = {{"public", "summary"}};
    int view_queries = 0;
    const auto no_views = [&](const std::string&) {
        ++view_queries;
        return std::vector<drivers::PgResolvedName>{};
    };
    using Rows = std::vector<drivers::PgResolvedName>;
    struct Case {
        const char* what;
        Rows rows;
        const char* found; // "" when allowed
        int view_queries;
    };
    const std::vector<Case> cases = {
        {"a table of the data schema", {{"r", "orders", "public", "r"}}, "", 0},
        {"a catalog relation first on the path",
         {{"r", "pg_x", "public", "r"}, {"r", "pg_x", "pg_catalog", "v"}},
         "pg_catalog.pg_x",
         0},
        {"a schema off the path is ignored", {{"r", "orders", "sales", "v"}}, "", 0},
        {"a view of the data schema", {{"r", "orders", "public", "v"}}, "", 1},
        {"a qualified view", {{"r", "summary", "public", "v"}}, "", 1},
        {"a function the host named", {{"f", "score", "reports", ""}}, "", 0},
        {"an overload nobody named", {{"f", "upper", "public", ""}}, "public.upper", 0},
        {"an operator outside pg_catalog", {{"o", "=", "public", ""}}, "public.=", 0},
        {"an extension's operator", {{"o", "=", "public", "", true}}, "", 0},
        {"an extension's overload", {{"f", "upper", "public", "", true}}, "", 0},
        {"a whole-row call off the list", {{"c", "record_out", "pg_catalog", ""}}, "record_out", 0},
        {"a whole-row call on the list", {{"c", "row_to_json", "pg_catalog", ""}}, "", 0},
    };
    for (const Case& c : cases) {
        view_queries = 0;
        const auto reason = resolution.refusal(names, c.rows, no_views);
        if (*c.found == '\0') {
            EXPECT_EQ(reason, std::nullopt) << c.what;
        } else {
            ASSERT_TRUE(reason.has_value()) << c.what;
            EXPECT_NE(reason->find(c.found), std::string::npos) << c.what << " -> " << *reason;
        }
        EXPECT_EQ(view_queries, c.view_queries) << c.what;
    }
    // A view's verdict comes from its definition and the dependencies the catalog recorded.
    const auto views = [](Rows rows) { return [rows](const std::string&) { return rows; }; };
    const Rows read_view = {{"r", "orders", "public", "v"}};
    EXPECT_EQ(resolution.refusal(names, read_view,
                                 views({{"v", "orders", "public", " SELECT 1 AS one;"}})),
              std::nullopt);
    EXPECT_NE(resolution
                  .refusal(names, read_view,
                           views({{"v", "orders", "public", " SELECT pg_ls_dir('.') AS f;"}}))
                  .value_or("")
                  .find("the view public.orders is refused: the function pg_ls_dir"),
              std::string::npos);
    EXPECT_NE(resolution
                  .refusal(names, read_view,
                           views({{"v", "orders", "public", " SELECT 1;"},
                                  {"d", "planted", "public", "public.orders"}}))
                  .value_or("")
                  .find("uses the function public.planted"),
              std::string::npos);
    EXPECT_NE(resolution
                  .refusal(names, read_view,
                           views({{"v", "orders", "public", " SELECT 1;"},
                                  {"d", "st_area", "public", "public.orders", true}}))
                  .value_or("")
                  .find("uses the function public.st_area"),
              std::string::npos);
    EXPECT_EQ(resolution.refusal(names, read_view,
                                 views({{"v", "orders", "public", " SELECT 1;"},
                                        {"d", "=", "public", "public.orders", true},
                                        {"d", "upper", "public", "public.orders", true},
                                        {"d", "=", "pg_catalog", "public.orders"},
                                        {"d", "score", "reports", "public.orders"}})),
              std::nullopt);
    EXPECT_EQ(resolution.pin_search_path_sql(),
              "SET LOCAL search_path = pg_catalog, \"public\", pg_temp");
    EXPECT_EQ(resolution.query({}), "");
}
