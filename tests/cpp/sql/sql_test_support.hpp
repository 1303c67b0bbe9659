#pragma once

#include "support/memory.hpp"
#include "zolviai/sql/connection.hpp"

#include <memory>
#include <string>

namespace zolviai::testing {

// The URI a test server variable holds, or "" when it is not set (the caller fails loudly).
std::string server_uri(const char* variable);

// The URI of the reader role on the server a variable names (ZOLVIAI_PG_URI ->
// ZOLVIAI_PG_READER_URI), for the database `database` ("" keeps the variable's own).
std::string reader_uri(const char* variable, const std::string& database = "");

// A fresh, empty database on a test server, dropped again at the end of the test, so that
// tests running side by side never see each other's tables.
class ScratchDatabase {
public:
    // variable: ZOLVIAI_PG_URI or ZOLVIAI_MARIADB_URI.
    explicit ScratchDatabase(const char* variable);
    ~ScratchDatabase();

    // The administrator's URI of the database (it may write), and the URI of the servers'
    // reader role (ZOLVIAI_PG_READER_URI, ZOLVIAI_MARIADB_READER_URI), which generated SQL runs
    // as.
    const std::string& uri() const { return uri_; }
    const std::string& reader_uri() const { return reader_uri_; }
    const std::string& name() const { return name_; }
    const sql::ConnectSettings& settings() const { return settings_; }
    // A read-write connection for preparing and checking data.
    sql::Connection& admin() { return *admin_; }

private:
    std::string uri_;
    std::string reader_uri_;
    std::string name_;
    sql::ConnectSettings server_;
    sql::ConnectSettings settings_;
    std::unique_ptr<sql::Connection> admin_;
};

// A temporary directory removed at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace zolviai::testing

#define ZOLVIAI_REQUIRE_SERVER(variable)                                                           \
    if (zolviai::testing::server_uri(variable).empty()) {                                          \
        GTEST_FAIL() << variable << " is not set: start the test servers with "                    \
                     << "eval \"$(scripts/services start)\" (scripts/test does this)";             \
    }
