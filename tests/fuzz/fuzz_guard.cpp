// The guard's classifiers of generated SQL, for every engine: any text must get a decision,
// never a crash. The first byte picks the engine (SQLite's is its own compiler on a small
// read-only database).
#include "sql/drivers/policies.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/sql/connection.hpp"
#include "zolviai/sql/guard.hpp"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

using namespace zolviai::sql;

namespace {

Connection& sqlite_database() {
    static std::unique_ptr<Connection> guarded = [] {
        const std::string path = "/tmp/zolviai-fuzz-guard-" + std::to_string(::getpid()) + ".db";
        std::remove(path.c_str());
        ConnectSettings s;
        s.engine = Engine::Sqlite;
        s.database = path;
        {
            auto setup = connect(s);
            setup->execute("CREATE TABLE t (a INTEGER, b TEXT, c REAL)");
            setup->execute("CREATE VIEW v AS SELECT a, b FROM t");
        }
        s.read_only = true;
        s.statement_timeout_ms = 1000;
        return connect(s);
    }();
    return *guarded;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string sql(reinterpret_cast<const char*>(data) + 1, size - 1);
    static const drivers::FunctionAllowList pg(drivers::postgresql_functions, {}, "pg_catalog",
                                               false);
    static const drivers::FunctionAllowList maria(drivers::mariadb_functions, {}, "", true);
    static const drivers::FunctionAllowList tsql(drivers::tsql_functions, {}, "", true);
    try {
        switch (data[0] % 5) {
        case 0:
            (void)drivers::postgresql_refusal(sql, pg);
            break;
        case 1:
            (void)drivers::mariadb_refusal(sql, maria, true);
            break;
        case 2:
            (void)drivers::mariadb_refusal(sql, maria, false);
            break;
        case 3:
            (void)drivers::tsql_refusal(sql, tsql);
            break;
        default:
            // Only texts the shared checks pass reach an engine, as in the wrapper.
            if (!shared_refusal(sql, GuardOptions{})) {
                (void)sqlite_database().refusal_reason(sql);
            }
            break;
        }
    } catch (const zolviai::Error&) {
    }
    return 0;
}
