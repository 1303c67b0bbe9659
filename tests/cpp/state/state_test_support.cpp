#include "state/state_test_support.hpp"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <libpq-fe.h>
#include <random>
#include <stdexcept>
#include <unistd.h>

namespace zolviai::testing {

namespace {

void admin(const std::string& uri, const std::string& sql) {
    PGconn* c = PQconnectdb(uri.c_str());
    if (PQstatus(c) != CONNECTION_OK) {
        std::string why = PQerrorMessage(c);
        PQfinish(c);
        throw std::runtime_error("cannot reach the test server: " + why);
    }
    PGresult* r = PQexec(c, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    std::string why = PQresultErrorMessage(r);
    PQclear(r);
    PQfinish(c);
    if (!ok)
        throw std::runtime_error("test server statement failed: " + why + " (" + sql + ")");
}

std::string with_database(const std::string& uri, const std::string& database) {
    const auto slash = uri.find('/', uri.find("://") + 3);
    const auto query = uri.find('?', slash);
    return uri.substr(0, slash) + "/" + database +
           (query == std::string::npos ? "" : uri.substr(query));
}

std::string unique_suffix() {
    static std::atomic<int> counter{0};
    std::random_device rd;
    return std::to_string(::getpid()) + "_" + std::to_string(counter++) + "_" +
           std::to_string(rd() % 100000);
}

} // namespace

ScratchStateDatabase::ScratchStateDatabase() {
    const char* server = std::getenv("ZOLVIAI_PG_URI");
    if (!server || !*server)
        return;
    server_ = server;
    name_ = "zt_state_" + unique_suffix();
    admin(server_, "CREATE DATABASE " + name_);
    uri_ = with_database(server_, name_);
}

ScratchStateDatabase::~ScratchStateDatabase() {
    if (name_.empty())
        return;
    try {
        admin(server_, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    } catch (...) {
    }
}

void ScratchStateDatabase::run(const std::string& sql) const {
    admin(uri_, sql);
}

StateTempDir::StateTempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/zt_state_XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

StateTempDir::~StateTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

} // namespace zolviai::testing
