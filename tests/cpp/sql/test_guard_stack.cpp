// No statement under the size limit can overflow the stack of the thread that checks it: the
// guards' parses and walks (the refusal's wording included) run with a bounded depth on a
// stack large enough for it, whatever stack the host's thread has.
#include "sql/drivers/policies.hpp"
#include "sql/sql_test_support.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/connection.hpp"
#include "zolviai/sql/guard.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <pthread.h>

using namespace zolviai::sql;

namespace {

// Runs work on a new thread with a stack of the given size, as a host's worker would.
void on_thread_with_stack(std::size_t bytes, const std::function<void()>& work) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, bytes), 0);
    pthread_t thread;
    auto* job = const_cast<std::function<void()>*>(&work);
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void* arg) -> void* {
                      (*static_cast<std::function<void()>*>(arg))();
                      return nullptr;
                  },
                  job),
              0);
    pthread_attr_destroy(&attr);
    pthread_join(thread, nullptr);
}

// `times` copies of `unit`, cut so that the whole statement stays under the size limit.
std::string repeated(const std::string& head, const std::string& open, const std::string& mid,
                     const std::string& close, std::size_t budget = 100 * 1024 - 64) {
    const std::size_t times = (budget - head.size() - mid.size()) / (open.size() + close.size());
    std::string out = head;
    for (std::size_t i = 0; i < times; ++i) {
        out += open;
    }
    out += mid;
    for (std::size_t i = 0; i < times; ++i) {
        out += close;
    }
    return out;
}

struct Deep {
    std::string name;
    std::string sql;
};

// Statements as deep as 100 kB of text can make them, in every way the grammars nest.
std::vector<Deep> deep_statements() {
    return {
        {"operator chain", repeated("SELECT ", "1+", "1", "")},
        {"string concatenation", repeated("SELECT ", "'a'||", "'a'", "")},
        {"comparison chain", repeated("SELECT 1 WHERE ", "1=", "1", "")},
        {"parentheses", repeated("SELECT ", "(", "1", ")")},
        {"brackets", repeated("SELECT ARRAY", "[", "1", "]")},
        {"CASE", repeated("SELECT ", "CASE WHEN true THEN ", "1", " END")},
        {"subqueries", repeated("SELECT ", "(SELECT ", "1", ")")},
        {"NOT", repeated("SELECT ", "NOT ", "true", "")},
        {"unary minus", repeated("SELECT ", "- ", "1", "")},
        {"casts", repeated("SELECT 1", "", "", "::int")},
        {"UNION", repeated("SELECT 1", " UNION SELECT 1", "", "")},
        {"joins", repeated("SELECT 1 FROM t", " JOIN t ON true", "", "")},
        {"function calls", repeated("SELECT ", "abs(", "1", ")")},
        {"refused view", repeated("CREATE VIEW v AS SELECT ", "1+", "1", "")},
        {"refused insert", repeated("INSERT INTO t VALUES (", "1+", "1", ")")},
    };
}

// A statement just under the PostgreSQL guard's nesting bound: parsed and walked, not
// refused before it, so that the walk itself must fit.
std::vector<Deep> deepest_accepted() {
    const std::size_t n = drivers::postgresql_max_nesting - 10;
    std::string chain = "SELECT 1";
    std::string parens = "SELECT ";
    std::string subqueries = "SELECT ";
    for (std::size_t i = 0; i < n; ++i) {
        chain += "+1";
    }
    for (std::size_t i = 0; i < n; ++i) {
        parens += "(";
    }
    parens += "1" + std::string(n, ')');
    for (std::size_t i = 0; i < n / 2; ++i) {
        subqueries += "(SELECT ";
    }
    subqueries += "1" + std::string(n / 2, ')');
    return {{"chain", chain}, {"parentheses", parens}, {"subqueries", subqueries}};
}

const std::size_t stack_sizes[] = {256 * 1024, 2 * 1024 * 1024};

// Smaller than PostgreSQL's parser alone needs (some 100 kB): the check must move to a
// thread of its own.
const std::size_t tiny_stack = 64 * 1024;

} // namespace

TEST(GuardStack, PostgresqlChecksEveryDeepStatementOnAnyThreadStack) {
    const drivers::FunctionAllowList allowed(drivers::postgresql_functions, {}, "pg_catalog",
                                             false);
    for (const std::size_t stack : stack_sizes) {
        for (const Deep& d : deep_statements()) {
            std::optional<std::string> reason;
            on_thread_with_stack(stack,
                                 [&] { reason = drivers::postgresql_refusal(d.sql, allowed); });
            ASSERT_TRUE(reason.has_value()) << stack << " " << d.name;
            EXPECT_NE(reason->find("nests too deeply"), std::string::npos)
                << stack << " " << d.name << " -> " << *reason;
        }
        for (const Deep& d : deepest_accepted()) {
            std::optional<std::string> reason;
            on_thread_with_stack(stack,
                                 [&] { reason = drivers::postgresql_refusal(d.sql, allowed); });
            EXPECT_EQ(reason, std::nullopt) << stack << " " << d.name;
        }
        // Refused kinds are named without walking the refused statement.
        std::optional<std::string> reason;
        const std::string view = deepest_accepted()[0].sql;
        on_thread_with_stack(stack, [&] {
            reason = drivers::postgresql_refusal("CREATE VIEW v AS " + view, allowed);
        });
        ASSERT_TRUE(reason.has_value());
        EXPECT_NE(reason->find("kind VIEW"), std::string::npos) << *reason;
    }
}

TEST(GuardStack, PostgresqlChecksOnAThreadOfItsOwnWhenTheCallersStackIsTiny) {
    const drivers::FunctionAllowList allowed(drivers::postgresql_functions, {}, "pg_catalog",
                                             false);
    for (const Deep& d : deepest_accepted()) {
        std::optional<std::string> reason = "not run";
        on_thread_with_stack(tiny_stack,
                             [&] { reason = drivers::postgresql_refusal(d.sql, allowed); });
        EXPECT_EQ(reason, std::nullopt) << d.name;
    }
}

TEST(GuardStack, OtherEnginesCheckEveryDeepStatementOnAnyThreadStack) {
    const drivers::FunctionAllowList mariadb(drivers::mariadb_functions, {}, "", true);
    const drivers::FunctionAllowList tsql(drivers::tsql_functions, {}, "", true);
    zolviai::testing::TempDir dir;
    ConnectSettings settings;
    settings.engine = Engine::Sqlite;
    settings.database = dir.path() + "/deep.db";
    connect(settings)->execute("CREATE TABLE t (a integer)");
    settings.read_only = true;
    settings.statement_timeout_ms = 3000;
    auto sqlite = connect(settings);
    const GuardOptions options;
    // As deep as SQLite's own expression limit lets a statement be, and it still runs.
    std::string deepest = "SELECT 1";
    for (int i = 0; i < 450; ++i) {
        deepest += "+1";
    }
    for (const std::size_t stack : stack_sizes) {
        for (const Deep& d : deep_statements()) {
            const bool refused_kind = d.name.rfind("refused", 0) == 0;
            on_thread_with_stack(stack, [&] {
                // The lexers leave the rest to the server; they must end, and refuse writes.
                EXPECT_EQ(drivers::mariadb_refusal(d.sql, mariadb, true).has_value(), refused_kind)
                    << d.name;
                EXPECT_EQ(drivers::tsql_refusal(d.sql, tsql).has_value(), refused_kind) << d.name;
                // SQLite's compiler refuses them all at its own depth limits.
                bool ran = false;
                try {
                    if (!refusal_reason(*sqlite, d.sql, options)) {
                        (void)sqlite->execute_guarded(d.sql, {});
                        ran = true;
                    }
                } catch (const zolviai::DatabaseError&) {
                }
                EXPECT_FALSE(ran) << stack << " " << d.name;
            });
        }
        on_thread_with_stack(stack, [&] {
            const ResultSet r = sqlite->execute_guarded(deepest, {});
            ASSERT_EQ(r.rows.size(), 1u);
            EXPECT_EQ(r.rows[0][0].integer, 451);
        });
    }
}
