// The value index: matching a question's words to the database's values, the literal check
// and the empty-result diagnosis on a fixed index, then the index read from the business
// database on SQLite, PostgreSQL and MariaDB, its bounds, its exclusions and its refresh.
#include "sql/sql_test_support.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/sql/script.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/value_index.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>

using namespace zolviai;
using namespace zolviai::sql;
using zolviai::testing::ScratchDatabase;
using zolviai::testing::TempDir;

namespace {

std::string source(const std::string& relative) {
    std::ifstream in(std::string(ZOLVIAI_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

ColumnValues column(std::string table, std::string name,
                    std::vector<std::pair<std::string, std::int64_t>> values) {
    ColumnValues c;
    c.table = std::move(table);
    c.column = std::move(name);
    c.complete = true;
    for (auto& [v, n] : values) {
        c.values.push_back({v, n});
    }
    c.distinct = static_cast<std::int64_t>(c.values.size());
    return c;
}

// A small index shaped like the business database, with a state column of codes.
std::unique_ptr<ValueIndex> small_index() {
    std::vector<ColumnValues> cols;
    cols.push_back(column("customers", "country",
                          {{"Germany", 15},
                           {"USA", 15},
                           {"France", 15},
                           {"Brazil", 15},
                           {"UK", 15},
                           {"Spain", 15},
                           {"Japan", 15},
                           {"Mexico", 15}}));
    cols.push_back(
        column("customers", "city",
               {{"Berlin", 15}, {"Seattle", 15}, {"São Paulo", 15}, {"México D.F.", 15}}));
    cols.push_back(column("customer", "state", {{"CA", 312}, {"NY", 200}, {"TX", 150}}));
    cols.push_back(column("products", "category",
                          {{"Beverages", 10}, {"Condiments", 10}, {"Dairy Products", 10}}));
    cols.push_back(
        column("orders", "status", {{"shipped", 1300}, {"pending", 79}, {"returned", 60}}));
    cols.push_back(column("artists", "name", {{"Led Zeppelin", 1}, {"AC/DC", 1}}));
    ColumnValues dates;
    dates.table = "orders";
    dates.column = "order_date";
    dates.complete = true;
    dates.min = "2023-01-01";
    dates.max = "2024-12-30";
    cols.push_back(dates);
    ColumnValues top = column("orders", "note", {{"fragile", 40}, {"gift", 30}});
    top.complete = false; // only the most frequent values of a larger column
    cols.push_back(top);
    return std::make_unique<ValueIndex>(std::move(cols));
}

bool has_hint(const std::vector<ValueHint>& hints, const std::string& text) {
    return std::any_of(hints.begin(), hints.end(),
                       [&](const ValueHint& h) { return h.text() == text; });
}

std::string hint_list(const std::vector<ValueHint>& hints) {
    std::string out;
    for (const auto& h : hints) {
        out += h.text() + " [" + h.how + " " + std::to_string(h.score) + " '" + h.phrase + "']; ";
    }
    return out;
}

} // namespace

TEST(ValueFolding, CaseAccentsAndPunctuationFoldAlike) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"São Paulo", "sao paulo"},
        {"  SAO   paulo ", "sao paulo"},
        {"México D.F.", "mexico d f"},
        {"Chai No. 10", "chai no 10"},
        {"Straße", "strasse"},
        {"Łódź", "lodz"},
        {"AC/DC", "ac dc"},
        {"", ""},
    };
    for (const auto& [text, folded] : cases) {
        EXPECT_EQ(fold_value(text), folded) << text;
    }
}

TEST(ValueMatching, MisspelledAbbreviatedCasedAndAccentedWordsFindTheirValue) {
    const auto index = small_index();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"How many customers are in Germny?", "customers.country = 'Germany'"},
        {"customers in the United Kingdom", "customers.country = 'UK'"},
        {"customers in the UK", "customers.country = 'UK'"},
        {"customers located in sao paulo", "customers.city = 'São Paulo'"},
        {"products in the BEVERAGES category", "products.category = 'Beverages'"},
        {"customers from Calif.", "customer.state = 'CA'"},
        {"albums by Led Zepelin", "artists.name = 'Led Zeppelin'"},
        {"how many orders were returnd", "orders.status = 'returned'"},
        {"sales of 'dairy products'", "products.category = 'Dairy Products'"},
        {"orders of customers in Mexico D.F.", "customers.city = 'México D.F.'"},
    };
    for (const auto& [question, expected] : cases) {
        const auto hints = index->match(question);
        EXPECT_TRUE(has_hint(hints, expected))
            << question << " gave: " << hint_list(hints) << " wanted " << expected;
    }
}

TEST(ValueMatching, NumbersAndCommonWordsGiveNoHints) {
    const auto index = small_index();
    for (const char* question :
         {"How many orders were placed in 2023?", "What is the total number of products?",
          "List the top 5 customers by total amount", "Show me the names of all the tables",
          "Which uk?", "How many customers are there per country?"}) {
        const auto hints = index->match(question);
        EXPECT_TRUE(hints.empty()) << question << " gave: " << hint_list(hints);
    }
}

TEST(ValueMatching, HintsAreBoundedAndExactBeatsFuzzy) {
    const auto index = small_index();
    const auto hints = index->match("shipped pending returned orders in Germany France Spain "
                                    "Japan Brazil Mexico USA",
                                    5);
    EXPECT_EQ(hints.size(), 5u);
    for (const auto& h : hints) {
        EXPECT_EQ(h.how, "exact") << h.text();
        EXPECT_DOUBLE_EQ(h.score, 1.0);
    }
    const auto one = index->match("customers in Germany");
    ASSERT_FALSE(one.empty());
    EXPECT_EQ(one.front().text(), "customers.country = 'Germany'");
    EXPECT_EQ(one.front().count, 15);
}

TEST(LiteralCheck, ALiteralThatNeverOccursIsNamedWithItsCloseValues) {
    const auto index = small_index();
    const TextComparison pg{false, false};
    const TextComparison maria{true, true};
    struct Case {
        const char* sql;
        TextComparison comparison;
        const char* expected; // "" for no finding
    };
    const std::vector<Case> cases = {
        {"SELECT COUNT(*) FROM customer WHERE state = 'Calif.'", pg,
         "'Calif.' never occurs in customer.state; close values: 'CA' (312 rows)"},
        {"SELECT * FROM customers c JOIN orders o ON o.id = c.id WHERE c.country = 'Germny'", pg,
         "'Germny' never occurs in customers.country; close values: 'Germany' (15 rows)"},
        {"SELECT * FROM customers AS x WHERE x.country IN ('USA', 'Frnace')", pg,
         "'Frnace' never occurs in customers.country; close values: 'France' (15 rows)"},
        {"SELECT * FROM customers WHERE 'germany' = country", pg,
         "'germany' never occurs in customers.country; close values: 'Germany' (15 rows)"},
        {"SELECT * FROM customers WHERE country = 'germany'", maria, ""},
        {"SELECT * FROM customers WHERE LOWER(country) = 'germany'", pg, ""},
        {"SELECT * FROM customers WHERE country LIKE 'Germ%'", pg, ""},
        {"SELECT * FROM customers WHERE country = 'Germany'", pg, ""},
        {"SELECT * FROM orders WHERE note = 'fragil'", pg, ""},         // only its top values known
        {"SELECT * FROM customers WHERE country = 'Atlantis'", pg, ""}, // nothing close
        {"SELECT * FROM customers WHERE country <> 'Germny'", pg, ""},
        {"SELECT 'Germny' AS country FROM customers", pg, ""},
        {"SELECT * FROM customers WHERE country = 'it''s'", pg, ""},
    };
    for (const auto& c : cases) {
        const std::string got = literal_check_text(index->check_literals(c.sql, c.comparison));
        EXPECT_EQ(got, c.expected) << c.sql;
    }
}

TEST(EmptyResultDiagnosis, NamesWrongLiteralsAndTheDateRangeAColumnHolds) {
    const auto index = small_index();
    const TextComparison pg{false, false};
    const std::string dates = empty_result_diagnosis(
        "SELECT COUNT(*) FROM orders WHERE order_date >= '2026-01-01'", *index, pg);
    EXPECT_NE(dates.find("orders.order_date holds values from 2023-01-01 to 2024-12-30"),
              std::string::npos)
        << dates;
    EXPECT_NE(dates.find("outside that range"), std::string::npos) << dates;
    const std::string between = empty_result_diagnosis(
        "SELECT * FROM orders o WHERE o.order_date BETWEEN '2024-01-01' AND '2024-02-01' AND "
        "o.status = 'Atlantis'",
        *index, pg);
    EXPECT_NE(between.find("'Atlantis' never occurs in orders.status"), std::string::npos)
        << between;
    EXPECT_EQ(between.find("outside that range"), std::string::npos) << between;
    EXPECT_EQ(empty_result_diagnosis("SELECT * FROM orders WHERE status = 'pending'", *index, pg),
              "");
}

// ---- read from the databases ------------------------------------------------------------

namespace {

struct EngineDb {
    std::string label;
    std::shared_ptr<CustomSQLDatabase> db;
};

} // namespace

TEST(ValueIndexOnEngines, BusinessDatabaseQuestionsGetTheirValuesOnEveryEngine) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_MARIADB_URI");
    TempDir dir;
    const std::string file = dir.path() + "/business.db";
    create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/business_db.sql", file);
    ScratchDatabase pg("ZOLVIAI_PG_URI");
    run_script(pg.admin(), source("examples/business_db_postgresql.sql"));
    ScratchDatabase maria("ZOLVIAI_MARIADB_URI");
    run_script(maria.admin(), source("examples/business_db_mysql.sql"));
    const std::vector<EngineDb> engines = {
        {"sqlite", CustomSQLDatabase::from_uri("sqlite:///" + file + "?mode=ro")},
        {"postgresql", CustomSQLDatabase::from_uri(pg.reader_uri())},
        {"mariadb", CustomSQLDatabase::from_uri(maria.reader_uri())},
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"How many customers are in Germny?", "customers.country = 'Germany'"},
        {"orders shipped to the United Kingdom", "orders.ship_country = 'UK'"},
        {"customers located in sao paulo", "customers.city = 'São Paulo'"},
        {"products in the BEVERAGES category", "products.category = 'Beverages'"},
        {"payments made by Bank Transfer", "payments.method = 'bank transfer'"},
        {"how many orders were returnd", "orders.status = 'returned'"},
        {"employees with the title sales represenative",
         "employees.title = 'Sales Representative'"},
        {"products from the Condim. category", "products.category = 'Condiments'"},
    };
    for (const auto& e : engines) {
        const auto index = e.db->value_index();
        ASSERT_TRUE(index) << e.label;
        const ColumnValues* country = index->column("customers", "country");
        ASSERT_NE(country, nullptr) << e.label;
        EXPECT_TRUE(country->complete) << e.label;
        EXPECT_EQ(country->values.size(), 8u) << e.label;
        const ColumnValues* order_date = index->column("orders", "order_date");
        ASSERT_NE(order_date, nullptr) << e.label;
        EXPECT_EQ(order_date->min.substr(0, 10), "2023-01-01") << e.label;
        for (const auto& [question, expected] : cases) {
            const auto hints = e.db->value_hints(question);
            EXPECT_TRUE(has_hint(hints, expected))
                << e.label << ": " << question << " gave: " << hint_list(hints);
        }
        for (const char* question : {"How many orders were placed in 2023?",
                                     "What is the average unit price of the products?"}) {
            EXPECT_TRUE(e.db->value_hints(question).empty()) << e.label << ": " << question;
        }
        // The check follows the engine's comparison rules: MariaDB's = ignores case.
        const auto wrong =
            e.db->check_literals("SELECT COUNT(*) FROM customers WHERE country = 'germany'");
        EXPECT_EQ(wrong.empty(), e.label == "mariadb") << e.label;
        const auto misspelled =
            e.db->check_literals("SELECT COUNT(*) FROM customers c WHERE c.country = 'Germny'");
        ASSERT_EQ(misspelled.size(), 1u) << e.label;
        ASSERT_FALSE(misspelled[0].close.empty()) << e.label;
        EXPECT_EQ(misspelled[0].close[0].value, "Germany") << e.label;
        EXPECT_EQ(misspelled[0].close[0].count, 15) << e.label;
    }
}

TEST(ValueIndexBounds, LargeColumnsKeepTheirTopValuesWithinTheMemoryAndTimeBounds) {
    ZOLVIAI_REQUIRE_SERVER("ZOLVIAI_PG_URI");
    ScratchDatabase pg("ZOLVIAI_PG_URI");
    pg.admin().execute("CREATE TABLE big (id integer, code text, kind text, note text)");
    // 20,000 rows: code is nearly unique, kind has three values, note repeats a long text.
    pg.admin().execute("INSERT INTO big SELECT i, 'C' || (i % 12000), "
                       "(ARRAY['red','green','blue'])[1 + i % 3], repeat('x', 100) || (i % 2000) "
                       "FROM generate_series(1, 20000) i");
    pg.admin().execute("CREATE VIEW slow AS SELECT pg_sleep(5)::text AS waited, 'w'::text AS tag");
    pg.admin().execute("GRANT SELECT ON big, slow TO " + std::string("zolvi_reader"));
    DatabaseOptions options;
    options.values.max_distinct = 500;
    options.values.top_values = 50;
    options.values.column_time_limit_ms = 1000;
    // The values may take a quarter of the bound: room for kind and code's 50 top values
    // (about 3 kB), never for note's 50 long ones (about 7 kB), whichever is read first.
    options.values.memory_bytes = 4 * 5000;
    const auto db = CustomSQLDatabase::from_uri(pg.reader_uri(), options);
    const auto index = db->value_index();
    ASSERT_TRUE(index);
    const ColumnValues* code = index->column("big", "code");
    ASSERT_NE(code, nullptr);
    EXPECT_FALSE(code->complete);
    EXPECT_EQ(code->values.size(), 50u);
    EXPECT_GE(code->distinct, 12000);
    EXPECT_TRUE(std::is_sorted(
        code->values.begin(), code->values.end(),
        [](const IndexedValue& a, const IndexedValue& b) { return a.count > b.count; }));
    const ColumnValues* kind = index->column("big", "kind");
    ASSERT_NE(kind, nullptr);
    EXPECT_TRUE(kind->complete);
    EXPECT_EQ(kind->values.size(), 3u);
    EXPECT_EQ(index->column("big", "note"), nullptr) << "past the memory bound";
    EXPECT_EQ(index->column("slow", "waited"), nullptr) << "past the time limit";
    EXPECT_LE(index->memory_bytes(), options.values.memory_bytes);
    // A value outside the kept top values is never called wrong.
    EXPECT_TRUE(db->check_literals("SELECT * FROM big WHERE code = 'C11999x'").empty());
    EXPECT_FALSE(db->check_literals("SELECT * FROM big WHERE kind = 'gren'").empty());
    // The database still answers after the column that ran past its limit.
    EXPECT_EQ(db->query("SELECT COUNT(*) FROM big", 1).rows.at(0).at(0).integer, 20000);
}

TEST(ValueIndexExclusion, ExcludedColumnsAreNeverReadNorMatched) {
    TempDir dir;
    const std::string file = dir.path() + "/business.db";
    create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/business_db.sql", file);
    DatabaseOptions options;
    options.values.excluded = {"customers.contact_name", "employees.*"};
    const auto db = CustomSQLDatabase::from_uri("sqlite:///" + file, options);
    const auto index = db->value_index();
    ASSERT_TRUE(index);
    EXPECT_EQ(index->column("customers", "contact_name"), nullptr);
    EXPECT_EQ(index->column("employees", "city"), nullptr);
    EXPECT_NE(index->column("customers", "city"), nullptr);
    EXPECT_TRUE(db->value_hints("customers whose contact is Yoshi").empty());
    EXPECT_TRUE(db->value_hints("employees in Tacoma").empty());
    DatabaseOptions off;
    off.values.enabled = false;
    EXPECT_FALSE(CustomSQLDatabase::from_uri("sqlite:///" + file, off)->value_index());
}

TEST(ValueIndexRefresh, OnlyATableWhoseSignatureChangedIsReadAgain) {
    TempDir dir;
    const std::string file = dir.path() + "/shop.db";
    {
        ConnectSettings s;
        s.database = file;
        auto c = connect(s);
        c->execute("CREATE TABLE kept (colour TEXT)");
        c->execute("INSERT INTO kept VALUES ('red'), ('green')");
        c->execute("CREATE TABLE changed (shape TEXT)");
        c->execute("INSERT INTO changed VALUES ('circle')");
    }
    DatabaseOptions options;
    options.schema_cache_dir = dir.path() + "/cache";
    {
        const auto db = CustomSQLDatabase::from_uri("sqlite:///" + file, options);
        const auto index = db->value_index();
        ASSERT_TRUE(index);
        ASSERT_NE(index->column("kept", "colour"), nullptr);
        EXPECT_EQ(index->column("kept", "colour")->values.size(), 2u);
    }
    {
        ConnectSettings s;
        s.database = file;
        auto c = connect(s);
        c->execute("INSERT INTO kept VALUES ('blue')"); // rows only: the signature stays
        c->execute("ALTER TABLE changed ADD COLUMN size TEXT");
        c->execute("INSERT INTO changed VALUES ('square', 'large')");
    }
    const auto db = CustomSQLDatabase::from_uri("sqlite:///" + file, options);
    const auto index = db->value_index();
    ASSERT_TRUE(index);
    // kept came from the cache file as it was; changed was read again.
    EXPECT_EQ(index->column("kept", "colour")->values.size(), 2u);
    ASSERT_NE(index->column("changed", "shape"), nullptr);
    EXPECT_EQ(index->column("changed", "shape")->values.size(), 2u);
    ASSERT_NE(index->column("changed", "size"), nullptr);
    EXPECT_EQ(index->column("changed", "size")->values.at(0).value, "large");
}

// The labelled set shipped with the tests: questions over the business database whose gold SQL
// compares columns with literals, a third of them misspelled or abbreviated in the question.
TEST(ValueLinks, LabelledSetMeetsItsRecallAndPrecision) {
    TempDir dir;
    const std::string file = dir.path() + "/business.db";
    create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/business_db.sql", file);
    const auto db = CustomSQLDatabase::from_uri("sqlite:///" + file + "?mode=ro");
    std::istringstream lines(source("tests/data/value_links.jsonl"));
    std::string line;
    std::size_t gold = 0;
    std::size_t found = 0;
    std::size_t hints = 0;
    std::size_t right = 0;
    std::size_t questions = 0;
    std::string missed;
    while (std::getline(lines, line)) {
        if (line.empty()) {
            continue;
        }
        ++questions;
        const Value item = Value::parse(line);
        const auto got = db->value_hints(item["question"].get<std::string>());
        std::vector<std::string> gold_values;
        for (const auto& link : item["links"]) {
            ++gold;
            const std::string want = link["table"].get<std::string>() + "." +
                                     link["column"].get<std::string>() + " = '" +
                                     link["value"].get<std::string>() + "'";
            gold_values.push_back(link["value"].get<std::string>());
            if (has_hint(got, want)) {
                ++found;
            } else {
                missed +=
                    item["id"].get<std::string>() + " " + want + " (got " + hint_list(got) + ")\n";
            }
        }
        for (const auto& h : got) {
            ++hints;
            right += std::count(gold_values.begin(), gold_values.end(), h.value) > 0 ? 1 : 0;
        }
    }
    ASSERT_GE(questions, 60u);
    const double recall = static_cast<double>(found) / static_cast<double>(gold);
    const double precision =
        hints == 0 ? 0 : static_cast<double>(right) / static_cast<double>(hints);
    std::cout << "value links: recall " << recall << " (" << found << "/" << gold << "), precision "
              << precision << " (" << right << "/" << hints << ")\n";
    EXPECT_GE(recall, 0.95) << missed;
    EXPECT_GE(precision, 0.80);
}

TEST(ValueIndexPruning, TheTableOfAValueTheQuestionNamesIsOfferedToThePicker) {
    TempDir dir;
    const std::string file = dir.path() + "/many.db";
    {
        ConnectSettings s;
        s.database = file;
        auto c = connect(s);
        for (int i = 0; i < 70; ++i) {
            c->execute("CREATE TABLE sales_" + std::to_string(i) +
                       " (amount INTEGER, region_id INTEGER)");
        }
        c->execute("CREATE TABLE zone (zone_id INTEGER, label TEXT)");
        // Past the three sample rows the ranking reads.
        c->execute(
            "INSERT INTO zone VALUES (1, 'North'), (2, 'South'), (3, 'East'), (4, 'Atlantis Bay')");
    }
    DatabaseOptions options;
    options.prune_threshold = 60;
    options.prune_top_k = 3;
    const auto with = CustomSQLDatabase::from_uri("sqlite:///" + file, options);
    const auto names = with->candidate_tables("total sales amount in Atlantis Bay").names;
    EXPECT_NE(std::find(names.begin(), names.end(), "zone"), names.end());
    options.values.enabled = false;
    const auto without = CustomSQLDatabase::from_uri("sqlite:///" + file, options);
    const auto plain = without->candidate_tables("total sales amount in Atlantis Bay").names;
    EXPECT_EQ(std::find(plain.begin(), plain.end(), "zone"), plain.end())
        << "the ranking alone would not offer it";
}
