// Table pruning: identifier splitting, and recall of the tables questions need on a
// 2,000-table database where most tables are noise that shares their words.
#include "sql/sql_test_support.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/sql/table_ranking.hpp"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <random>

using namespace zolviai::sql;
using zolviai::testing::TempDir;

namespace {

TEST(TablePruning, SplitsIdentifiersAndFoldsPlurals) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"customer_id", {"customer", "id"}},
        {"OrderLines", {"order", "line"}},
        {"HTTPServer2Logs", {"http", "server", "2", "log"}},
        {"categories of boxes", {"category", "of", "box"}},
        {"address status analysis", {"address", "status", "analysis"}},
        {"Q3-2024 sales.csv", {"q", "3", "2024", "sale", "csv"}},
        {"ünïcode_wörds", {"ünïcode", "wörd"}},
        {"  __  ", {}},
    };
    for (const auto& [text, terms] : cases) {
        EXPECT_EQ(index_terms(text), terms) << text;
    }
}

TEST(TablePruning, RanksByNameColumnsAndValues) {
    const TableRanker ranker({
        {"customer", {"customer_id", "name", "country"}, "", {"Germany", "France"}},
        {"stg_customer_copy", {"customer_id", "loaded_at"}, "", {}},
        {"invoice", {"invoice_id", "customer_id", "total"}, "bills sent to customers", {}},
        {"genre", {"genre_id", "name"}, "", {"Rock"}},
    });
    const auto ranked = ranker.rank("How many customers live in Germany?", 10);
    ASSERT_FALSE(ranked.empty());
    EXPECT_EQ(ranked[0].name, "customer");
    EXPECT_TRUE(std::none_of(ranked.begin(), ranked.end(),
                             [](const TableScore& s) { return s.name == "genre"; }));
    EXPECT_EQ(ranker.rank("rock genres", 1).at(0).name, "genre");
    EXPECT_TRUE(ranker.rank("what is the weather", 5).empty());
    EXPECT_EQ(ranker.rank("customer", 2).size(), 2u);
}

// A schema of 40 tables a business would query, with foreign keys.
const std::vector<std::string> kRealTables = {
    "CREATE TABLE customer (customer_id INTEGER PRIMARY KEY, first_name TEXT, last_name TEXT, "
    "email TEXT, country TEXT, city TEXT, signup_date DATE)",
    "CREATE TABLE customer_address (address_id INTEGER PRIMARY KEY, customer_id INTEGER "
    "REFERENCES customer, street TEXT, city TEXT, postal_code TEXT, country TEXT)",
    "CREATE TABLE product_category (category_id INTEGER PRIMARY KEY, name TEXT, parent_category "
    "INTEGER)",
    "CREATE TABLE supplier (supplier_id INTEGER PRIMARY KEY, company_name TEXT, contact_name "
    "TEXT, country TEXT)",
    "CREATE TABLE product (product_id INTEGER PRIMARY KEY, name TEXT, category_id INTEGER "
    "REFERENCES product_category, unit_price REAL, supplier_id INTEGER REFERENCES supplier)",
    "CREATE TABLE region (region_id INTEGER PRIMARY KEY, name TEXT, country TEXT)",
    "CREATE TABLE store (store_id INTEGER PRIMARY KEY, name TEXT, city TEXT, region_id INTEGER "
    "REFERENCES region, opened_on DATE)",
    "CREATE TABLE sales_order (order_id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES "
    "customer, order_date DATE, status TEXT, store_id INTEGER REFERENCES store)",
    "CREATE TABLE order_line (order_line_id INTEGER PRIMARY KEY, order_id INTEGER REFERENCES "
    "sales_order, product_id INTEGER REFERENCES product, quantity INTEGER, unit_price REAL, "
    "discount REAL)",
    "CREATE TABLE invoice (invoice_id INTEGER PRIMARY KEY, order_id INTEGER REFERENCES "
    "sales_order, invoice_date DATE, total_amount REAL, due_date DATE)",
    "CREATE TABLE payment (payment_id INTEGER PRIMARY KEY, invoice_id INTEGER REFERENCES "
    "invoice, paid_at TIMESTAMP, amount REAL, method TEXT)",
    "CREATE TABLE refund (refund_id INTEGER PRIMARY KEY, payment_id INTEGER REFERENCES payment, "
    "amount REAL, reason TEXT)",
    "CREATE TABLE carrier (carrier_id INTEGER PRIMARY KEY, name TEXT, phone TEXT)",
    "CREATE TABLE shipment (shipment_id INTEGER PRIMARY KEY, order_id INTEGER REFERENCES "
    "sales_order, carrier_id INTEGER REFERENCES carrier, shipped_at TIMESTAMP, delivered_at "
    "TIMESTAMP, tracking_number TEXT)",
    "CREATE TABLE warehouse (warehouse_id INTEGER PRIMARY KEY, name TEXT, city TEXT, capacity "
    "INTEGER)",
    "CREATE TABLE inventory (inventory_id INTEGER PRIMARY KEY, warehouse_id INTEGER REFERENCES "
    "warehouse, product_id INTEGER REFERENCES product, quantity_on_hand INTEGER, reorder_level "
    "INTEGER)",
    "CREATE TABLE department (department_id INTEGER PRIMARY KEY, name TEXT, budget REAL, "
    "location TEXT)",
    "CREATE TABLE employee (employee_id INTEGER PRIMARY KEY, first_name TEXT, last_name TEXT, "
    "hire_date DATE, salary REAL, department_id INTEGER REFERENCES department, manager_id "
    "INTEGER)",
    "CREATE TABLE payroll (payroll_id INTEGER PRIMARY KEY, employee_id INTEGER REFERENCES "
    "employee, pay_date DATE, gross_pay REAL, net_pay REAL, tax_withheld REAL)",
    "CREATE TABLE client (client_id INTEGER PRIMARY KEY, company_name TEXT, industry TEXT, "
    "country TEXT)",
    "CREATE TABLE project (project_id INTEGER PRIMARY KEY, name TEXT, start_date DATE, end_date "
    "DATE, budget REAL, client_id INTEGER REFERENCES client)",
    "CREATE TABLE timesheet (timesheet_id INTEGER PRIMARY KEY, employee_id INTEGER REFERENCES "
    "employee, work_date DATE, hours_worked REAL, project_id INTEGER REFERENCES project)",
    "CREATE TABLE promotion (promotion_id INTEGER PRIMARY KEY, name TEXT, discount_percent "
    "REAL, start_date DATE, end_date DATE)",
    "CREATE TABLE product_review (review_id INTEGER PRIMARY KEY, product_id INTEGER REFERENCES "
    "product, customer_id INTEGER REFERENCES customer, rating INTEGER, review_text TEXT)",
    "CREATE TABLE support_agent (agent_id INTEGER PRIMARY KEY, name TEXT, team TEXT, hired_on "
    "DATE)",
    "CREATE TABLE support_ticket (ticket_id INTEGER PRIMARY KEY, customer_id INTEGER "
    "REFERENCES customer, opened_at TIMESTAMP, closed_at TIMESTAMP, priority TEXT, subject "
    "TEXT, agent_id INTEGER REFERENCES support_agent)",
    "CREATE TABLE marketing_campaign (campaign_id INTEGER PRIMARY KEY, name TEXT, channel TEXT, "
    "budget REAL, start_date DATE)",
    "CREATE TABLE campaign_response (response_id INTEGER PRIMARY KEY, campaign_id INTEGER "
    "REFERENCES marketing_campaign, customer_id INTEGER REFERENCES customer, responded_at "
    "TIMESTAMP, converted INTEGER)",
    "CREATE TABLE subscription_plan (plan_id INTEGER PRIMARY KEY, name TEXT, monthly_fee REAL, "
    "tier TEXT)",
    "CREATE TABLE subscription (subscription_id INTEGER PRIMARY KEY, customer_id INTEGER "
    "REFERENCES customer, plan_id INTEGER REFERENCES subscription_plan, started_at TIMESTAMP, "
    "cancelled_at TIMESTAMP)",
    "CREATE TABLE exchange_rate (rate_id INTEGER PRIMARY KEY, currency_code TEXT, rate_to_usd "
    "REAL, rate_date DATE)",
    "CREATE TABLE expense (expense_id INTEGER PRIMARY KEY, employee_id INTEGER REFERENCES "
    "employee, category TEXT, amount REAL, expense_date DATE, approved INTEGER)",
    "CREATE TABLE vendor_contract (contract_id INTEGER PRIMARY KEY, supplier_id INTEGER "
    "REFERENCES supplier, signed_on DATE, expires_on DATE, contract_value REAL)",
    "CREATE TABLE purchase_order (purchase_order_id INTEGER PRIMARY KEY, supplier_id INTEGER "
    "REFERENCES supplier, warehouse_id INTEGER REFERENCES warehouse, ordered_at TIMESTAMP, "
    "total_cost REAL)",
    "CREATE TABLE gift_card (gift_card_id INTEGER PRIMARY KEY, code TEXT, balance REAL, "
    "issued_to INTEGER REFERENCES customer, expires_on DATE)",
    "CREATE TABLE loyalty_account (loyalty_id INTEGER PRIMARY KEY, customer_id INTEGER "
    "REFERENCES customer, points_balance INTEGER, tier_level TEXT)",
    "CREATE TABLE web_session (session_id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES "
    "customer, started_at TIMESTAMP, page_views INTEGER, device_type TEXT)",
    "CREATE TABLE vehicle (vehicle_id INTEGER PRIMARY KEY, carrier_id INTEGER REFERENCES "
    "carrier, plate_number TEXT, capacity_kg REAL)",
    "CREATE TABLE training_course (course_id INTEGER PRIMARY KEY, title TEXT, duration_hours "
    "REAL)",
    "CREATE TABLE course_enrollment (enrollment_id INTEGER PRIMARY KEY, course_id INTEGER "
    "REFERENCES training_course, employee_id INTEGER REFERENCES employee, completed_on DATE, "
    "score REAL)",
    "INSERT INTO customer VALUES (1, 'Anna', 'Berg', 'anna@example.com', 'Germany', 'Berlin', "
    "'2024-01-02'), (2, 'Luis', 'Mora', 'luis@example.com', 'Spain', 'Madrid', '2024-02-03')",
    "INSERT INTO support_ticket VALUES (1, 1, '2024-03-01', NULL, 'urgent', 'login fails', 1)",
    "INSERT INTO payment VALUES (1, 1, '2024-03-02', 99.5, 'credit card')",
    "INSERT INTO subscription_plan VALUES (1, 'premium', 29.0, 'gold')",
};

// Words the noise shares with the real tables, as staging copies, audit trails and
// abandoned experiments do in a real warehouse.
const std::vector<std::string> kNoisePrefixes = {
    "stg",    "tmp",    "bak",     "audit",    "etl",     "raw",    "hist",
    "old",    "test",   "sandbox", "snapshot", "archive", "legacy", "import",
    "export", "mirror", "dq",      "ml",       "report",  "ops"};
const std::vector<std::string> kNoiseWords = {
    "customer",  "order",   "product",  "invoice", "payment",  "employee",   "supplier",
    "warehouse", "store",   "region",   "project", "ticket",   "campaign",   "subscription",
    "course",    "session", "rate",     "expense", "contract", "card",       "account",
    "line",      "review",  "shipment", "agent",   "plan",     "category",   "address",
    "inventory", "payroll", "refund",   "vehicle", "client",   "department", "promotion",
    "timesheet", "carrier", "loyalty"};
const std::vector<std::string> kNoiseColumns = {
    "customer_id", "order_id", "product_id", "amount",      "created_at", "updated_at",
    "status",      "name",     "city",       "country",     "quantity",   "price",
    "employee_id", "batch_id", "loaded_at",  "source_file", "row_hash",   "is_deleted",
    "valid_from",  "valid_to", "note",       "total",       "category",   "region_code",
    "score",       "budget",   "balance",    "channel"};

struct Question {
    std::string text;
    std::vector<std::string> needs;
};

const std::vector<Question> kQuestions = {
    {"How many customers live in each country?", {"customer"}},
    {"Which customers from Germany signed up this year?", {"customer"}},
    {"List the postal codes of customer addresses in Madrid", {"customer_address", "customer"}},
    {"What is the total quantity sold per product?", {"order_line", "product"}},
    {"Revenue by product category from order lines", {"order_line", "product", "product_category"}},
    {"Which suppliers provide the most products?", {"supplier", "product"}},
    {"How many orders did each store take last month?", {"sales_order", "store"}},
    {"Average order value per customer", {"sales_order", "order_line", "customer"}},
    {"Total invoice amount that is past its due date", {"invoice"}},
    {"Sum of payments by payment method", {"payment"}},
    {"How much money was refunded and for what reasons?", {"refund"}},
    {"Which carrier delivered the most shipments late?", {"shipment", "carrier"}},
    {"Show the tracking number of shipments for order 42", {"shipment", "sales_order"}},
    {"Which warehouses are running low on inventory below the reorder level?",
     {"inventory", "warehouse"}},
    {"Employees hired after 2020 and their department", {"employee", "department"}},
    {"Average salary per department", {"employee", "department"}},
    {"Total gross pay and tax withheld in payroll for March", {"payroll"}},
    {"Hours worked per project in the timesheets", {"timesheet", "project"}},
    {"Which clients have the largest project budgets?", {"client", "project"}},
    {"Active promotions and their discount percent", {"promotion"}},
    {"Products with the lowest review rating", {"product_review", "product"}},
    {"How many urgent support tickets are still open per agent?",
     {"support_ticket", "support_agent"}},
    {"Which marketing campaign channel converted the most responses?",
     {"marketing_campaign", "campaign_response"}},
    {"Number of subscriptions cancelled per plan", {"subscription", "subscription_plan"}},
    {"Monthly fee of the premium subscription plan", {"subscription_plan"}},
    {"Convert totals to USD with the latest exchange rate", {"exchange_rate"}},
    {"Unapproved expenses by category per employee", {"expense", "employee"}},
    {"Vendor contracts that expire this quarter and their suppliers",
     {"vendor_contract", "supplier"}},
    {"Total cost of purchase orders per warehouse", {"purchase_order", "warehouse"}},
    {"Gift cards with a remaining balance", {"gift_card"}},
    {"Customers with the most loyalty points", {"loyalty_account", "customer"}},
    {"Average page views per web session by device type", {"web_session"}},
    {"Vehicles of each carrier with capacity above 1000 kg", {"vehicle", "carrier"}},
    {"Which employees completed a training course with a score above 90?",
     {"course_enrollment", "training_course", "employee"}},
    {"Stores per region", {"store", "region"}},
};

TEST(TablePruning, KeepsTheNeededTablesOfTwoThousand) {
    TempDir dir;
    ConnectSettings lite;
    lite.engine = Engine::Sqlite;
    lite.database = dir.path() + "/warehouse.db";
    auto conn = connect(lite);
    conn->execute("BEGIN");
    for (const auto& sql : kRealTables) {
        conn->execute(sql);
    }
    std::mt19937 random(7);
    int created = 40;
    for (int i = 0; created < 2000; ++i) {
        const std::string name =
            kNoisePrefixes[random() % kNoisePrefixes.size()] + "_" +
            kNoiseWords[random() % kNoiseWords.size()] +
            (random() % 2 ? "_" + kNoiseWords[random() % kNoiseWords.size()] : "") + "_" +
            std::to_string(i);
        std::string sql = "CREATE TABLE " + name + " (id INTEGER PRIMARY KEY";
        std::vector<std::string> columns = kNoiseColumns;
        std::shuffle(columns.begin(), columns.end(), random);
        for (std::size_t c = 0; c < 4 + random() % 8; ++c) {
            sql += ", " + columns[c] + " TEXT";
        }
        conn->execute(sql + ")");
        ++created;
    }
    conn->execute("COMMIT");

    auto db = CustomSQLDatabase::from_uri("sqlite:///" + lite.database);
    ASSERT_EQ(db->get_usable_table_names().size(), 2000u);
    std::size_t needed = 0;
    std::size_t kept = 0;
    std::string misses;
    for (const auto& q : kQuestions) {
        const TableCandidates candidates = db->candidate_tables(q.text);
        EXPECT_TRUE(candidates.pruned);
        EXPECT_EQ(candidates.total, 2000u);
        // The list is bounded by K and the tables one foreign-key hop away.
        EXPECT_LE(candidates.names.size(), 40u * 3);
        EXPECT_TRUE(std::is_sorted(candidates.names.begin(), candidates.names.end()));
        for (const auto& table : q.needs) {
            ++needed;
            if (std::binary_search(candidates.names.begin(), candidates.names.end(), table)) {
                ++kept;
            } else {
                misses += q.text + " -> " + table + "\n";
            }
        }
    }
    EXPECT_GE(kQuestions.size(), 30u);
    std::printf("pruning recall: %zu of %zu needed tables kept\n%s", kept, needed, misses.c_str());
    EXPECT_GE(static_cast<double>(kept) / static_cast<double>(needed), 0.95)
        << kept << " of " << needed << " needed tables kept; missed:\n"
        << misses;

    // At or below the threshold nothing is pruned.
    DatabaseOptions wide;
    wide.prune_threshold = 2000;
    const TableCandidates all =
        CustomSQLDatabase::from_uri("sqlite:///" + lite.database, wide)->candidate_tables("x");
    EXPECT_FALSE(all.pruned);
    EXPECT_EQ(all.names, db->get_usable_table_names());
}

} // namespace
