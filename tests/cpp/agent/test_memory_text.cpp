// How the memory of verified SQL reads questions: what counts as the same question (reused
// as it is), what only as a similar one (a worked example), and the similarity ranking.
#include "zolviai/agent/memory_text.hpp"

#include <gtest/gtest.h>
#include <tuple>

using namespace zolviai::agent;

namespace {

struct SameCase {
    const char* a;
    const char* b;
};

TEST(MemoryText, CaseSpacingAndPunctuationDoNotMakeAnotherQuestion) {
    const SameCase cases[] = {
        {"How many orders were placed in 2023?", "how many ORDERS were placed in 2023"},
        {"How many orders were placed in 2023?", "  How many   orders were\tplaced in 2023 ?!"},
        {"What's the total revenue per category?", "whats the total revenue, per category."},
        {"Top 5 customers by revenue", "top five customers by revenue"},
        {"Orders above $1,250.50", "orders above 1250.5"},
        {"Sales on 2024-03-05", "sales on 2024-3-5"},
        {"Sales in March 2024", "sales in mar 2024"},
        {"Products in the 'Beverages' category", "products in the \"Beverages\" category"},
        {"Products in the \u201cBeverages\u201d category", "Products in the 'Beverages' category"},
        {"Share of returns in %", "share of returns in percent"},
        {"Year-over-year growth", "year over year growth"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mask_question(c.a).key(), mask_question(c.b).key())
            << "'" << c.a << "' and '" << c.b << "' should be one question";
    }
}

TEST(MemoryText, AnotherValueIsAnotherQuestionWithTheSameMaskedForm) {
    const SameCase cases[] = {
        {"How many orders were placed in 2023?", "How many orders were placed in 2024?"},
        {"Top 5 customers by revenue", "Top 10 customers by revenue"},
        {"Products in the 'Beverages' category", "Products in the 'Seafood' category"},
        {"Products in the 'Beverages' category", "Products in the 'beverages' category"},
        {"Sales on 2024-03-05", "Sales on 2024-03-06"},
        {"Sales in March 2024", "Sales in April 2024"},
        {"Orders above 100", "Orders above 100.5"},
        {"Orders in the 3rd quarter", "Orders in the 4th quarter"},
        {"Balance below -5", "Balance below 5"},
    };
    for (const auto& c : cases) {
        const MaskedQuestion a = mask_question(c.a);
        const MaskedQuestion b = mask_question(c.b);
        EXPECT_EQ(a.masked, b.masked) << c.a << " | " << c.b;
        EXPECT_NE(a.slots, b.slots) << c.a << " | " << c.b;
        EXPECT_NE(a.key(), b.key()) << "'" << c.a << "' must never be reused for '" << c.b << "'";
    }
    // Unquoted names stay words: another name is another masked form, never the same key.
    EXPECT_NE(mask_question("Employees in London").key(),
              mask_question("Employees in Paris").key());
}

TEST(MemoryText, ValuesAreTypedAndCanonical) {
    struct Case {
        const char* question;
        const char* masked;
        std::vector<Slot> slots;
    };
    const Case cases[] = {
        {"Orders in 2023 over 1,000 units",
         "orders in <year> over <number> units",
         {{"year", "2023"}, {"number", "1000"}}},
        {"Sales on 05/03/2024", "sales on <date>", {{"date", "2024-03-05"}}},
        {"Sales in 2024-07", "sales in <date>", {{"date", "2024-07"}}},
        {"Sales in September", "sales in <month>", {{"month", "9"}}},
        {"Orders of 'Alfreds  Futterkiste' ?",
         "orders of <text>",
         {{"text", "Alfreds  Futterkiste"}}},
        {"Macy's orders", "macys orders", {}},
        {"Top twelve items", "top <number> items", {{"number", "12"}}},
        {"Revenue of Q3", "revenue of q3", {}},
        {"Price 7.50 or more", "price <number> or more", {{"number", "7.5"}}},
        {"the 2nd order", "the <ordinal> order", {{"ordinal", "2"}}},
    };
    for (const auto& c : cases) {
        const MaskedQuestion m = mask_question(c.question);
        EXPECT_EQ(m.masked, c.masked) << c.question;
        EXPECT_EQ(m.slots, c.slots) << c.question;
    }
}

TEST(MemoryText, TheParaphraseRanksAboveOtherQuestions) {
    const std::vector<std::pair<std::int64_t, const char*>> stored = {
        {1, "How many customers are there?"},
        {2, "What is the total revenue of each product category?"},
        {3, "Which employees work in London?"},
        {4, "How many orders were placed in 2023?"},
        {5, "List the products that are discontinued."},
        {6, "What is the average order value per customer?"},
    };
    std::vector<MemoryIndex::Document> docs;
    for (const auto& [id, q] : stored) {
        docs.push_back({id, memory_terms(mask_question(q))});
    }
    const MemoryIndex index(docs);
    struct Case {
        const char* question;
        std::int64_t best;
    };
    const Case cases[] = {
        {"Total revenue by category of product", 2},
        {"Count the orders placed during 2023", 4},
        {"Number of orders placed in 2024", 4}, // a near miss is still the closest example
        {"Show the discontinued products", 5},
        {"Which staff members are based in London", 3},
        {"average value of an order for each customer", 6},
    };
    for (const auto& c : cases) {
        const auto hits = index.search(memory_terms(mask_question(c.question)), 3);
        ASSERT_FALSE(hits.empty()) << c.question;
        EXPECT_EQ(hits[0].id, c.best) << c.question;
        for (std::size_t i = 1; i < hits.size(); ++i) {
            EXPECT_GE(hits[i - 1].score, hits[i].score);
        }
    }
    // The same value ranks the entry with that value above the one with another.
    const MemoryIndex years({{10, memory_terms(mask_question("Orders placed in 2023"))},
                             {11, memory_terms(mask_question("Orders placed in 2024"))}});
    const auto hits =
        years.search(memory_terms(mask_question("orders that were placed in 2024")), 3);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].id, 11);
    EXPECT_TRUE(index.search(memory_terms(mask_question("zebra giraffe")), 3).empty());
}

// A memory of an HR and invoicing database, with each entry's SQL, as Memory indexes it.
MemoryIndex hr_memory() {
    const std::vector<std::tuple<std::int64_t, const char*, const char*>> stored = {
        {1, "What is the mean salary in each department?",
         "SELECT department, AVG(salary) FROM staff GROUP BY department"},
        {2, "How many invoices were issued per month?",
         "SELECT strftime('%m', issued_on), COUNT(*) FROM invoices GROUP BY 1"},
        {3, "Which client has the largest credit limit?",
         "SELECT client_name FROM clients ORDER BY credit_limit DESC LIMIT 1"},
        {4, "What is the total invoiced amount for each client?",
         "SELECT c.client_name, SUM(i.amount) FROM invoices i JOIN clients c ON c.client_id = "
         "i.client_id GROUP BY c.client_id, c.client_name"},
        {5, "How many people work in each city?", "SELECT city, COUNT(*) FROM staff GROUP BY city"},
        {6, "How many people work in each department?",
         "SELECT department, COUNT(*) FROM staff GROUP BY department"},
        {7, "How many invoices are there?", "SELECT COUNT(*) FROM invoices"},
        {8, "List the first and last names of the staff.",
         "SELECT first_name, last_name FROM staff"},
        {9, "Who joined the company earliest?",
         "SELECT first_name, last_name FROM staff ORDER BY hired_on LIMIT 1"},
        {10, "How many invoices were issued in 2023?",
         "SELECT COUNT(*) FROM invoices WHERE issued_on >= '2023-01-01' AND issued_on < "
         "'2024-01-01'"},
        {11, "What is the lowest salary?", "SELECT MIN(salary) FROM staff"},
        {12, "How many distinct cities do clients come from?",
         "SELECT COUNT(DISTINCT city) FROM clients"},
        {13, "How many invoices did each client region receive?",
         "SELECT c.region, COUNT(*) FROM invoices i JOIN clients c ON c.client_id = i.client_id "
         "GROUP BY c.region"},
        {14, "What is the number of invoices per client?",
         "SELECT c.client_name, COUNT(*) FROM invoices i JOIN clients c ON c.client_id = "
         "i.client_id GROUP BY c.client_id, c.client_name"},
        {15, "Give each ticket's open date.", "SELECT ticket_id, open_date FROM tickets"},
        {16, "Give each ticket's close date.", "SELECT ticket_id, close_date FROM tickets"},
        {17, "How long has each employee been with the company?",
         "SELECT first_name, last_name, julianday('now') - julianday(hired_on) FROM staff"},
    };
    std::vector<MemoryIndex::Document> docs;
    for (const auto& [id, question, sql] : stored) {
        docs.push_back({id, entry_terms(mask_question(question), sql)});
    }
    return MemoryIndex(docs);
}

TEST(MemoryText, AParaphraseInOtherAnalyticWordsFindsItsTwinFirst) {
    const MemoryIndex index = hr_memory();
    struct Case {
        const char* question;
        std::int64_t twin;
    };
    const Case cases[] = {
        // average = mean = AVG, "per" = "each" = GROUP BY
        {"Average salary per department", 1},
        // "number of" = "how many" = COUNT, grouped by month
        {"Give the number of invoices by month.", 2},
        // customer = client, highest = largest = the top of an ordering
        {"Which customer has the highest credit limit?", 3},
        // sum = total, per client's invoices
        {"Sum the invoice amounts by client", 4},
        // the group decides between two counts of the staff
        {"Count the employees by department", 6},
        {"Count the staff per city", 5},
        // no group asked: the plain count, not a breakdown
        {"What is the number of invoices?", 7},
        // "first" of "first name" is a column, not the minimum
        {"Give the staff's first and last names", 8},
        // "hired" meets "hired_on"
        {"Which employee was hired first?", 9},
        // "longest" and "earliest" both ask for an end of an ordering
        {"Who has been with the company the longest?", 9},
        // the groups asked for decide, not the verb the other entry shares
        {"How many invoices has each client received?", 14},
        // "closed" and "close_date" are one word
        {"When were the tickets closed?", 16},
        // minimum = lowest = MIN
        {"Give the minimum salary.", 11},
        // unique = distinct
        {"How many unique client cities are there?", 12},
    };
    for (const auto& c : cases) {
        const auto hits = index.search(memory_terms(mask_question(c.question)), 3);
        ASSERT_FALSE(hits.empty()) << c.question;
        EXPECT_EQ(hits[0].id, c.twin) << c.question;
    }
}

TEST(MemoryText, AnotherValueRanksItsPairFirstButIsNeverTheSameQuestion) {
    const MemoryIndex index = hr_memory();
    for (const char* asked :
         {"How many invoices were issued in 2024?", "how many invoices were issued in 2022"}) {
        const auto hits = index.search(memory_terms(mask_question(asked)), 3);
        ASSERT_FALSE(hits.empty()) << asked;
        EXPECT_EQ(hits[0].id, 10) << asked; // the best example to write the SQL from
        EXPECT_NE(mask_question(asked).key(),
                  mask_question("How many invoices were issued in 2023?").key())
            << asked << " must not reuse the 2023 statement as it is";
    }
}

} // namespace
