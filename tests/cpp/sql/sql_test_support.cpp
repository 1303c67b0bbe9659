#include "sql/sql_test_support.hpp"

#include "zolviai/sql/uri.hpp"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <unistd.h>

namespace zolviai::testing {

std::string server_uri(const char* variable) {
    const char* v = std::getenv(variable);
    return v ? v : "";
}

std::string reader_uri(const char* variable, const std::string& database) {
    const std::string name(variable);
    const std::string base = server_uri((name.substr(0, name.size() - 4) + "_READER_URI").c_str());
    if (base.empty()) {
        return "";
    }
    const sql::DatabaseUri uri = sql::parse_database_uri(base);
    return sql::build_database_uri(uri.scheme, uri.user, uri.password, uri.host,
                                   std::to_string(uri.port),
                                   database.empty() ? uri.database : database);
}

namespace {

std::string unique_name() {
    static std::atomic<int> counter{0};
    std::random_device rd;
    return "zt_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + "_" +
           std::to_string(rd() % 100000);
}

sql::ConnectSettings settings_of(const sql::DatabaseUri& uri) {
    sql::ConnectSettings s;
    s.engine = uri.dialect == "postgresql" ? sql::Engine::Postgresql : sql::Engine::Mysql;
    s.host = uri.host;
    s.port = uri.port;
    s.user = uri.user;
    s.password = uri.password;
    s.database = uri.database;
    return s;
}

} // namespace

ScratchDatabase::ScratchDatabase(const char* variable) {
    const std::string base = server_uri(variable);
    if (base.empty()) {
        throw std::runtime_error(std::string(variable) + " is not set");
    }
    const sql::DatabaseUri uri = sql::parse_database_uri(base);
    server_ = settings_of(uri);
    name_ = unique_name();
    {
        auto conn = sql::connect(server_);
        conn->execute("CREATE DATABASE " + name_);
    }
    settings_ = server_;
    settings_.database = name_;
    admin_ = sql::connect(settings_);
    uri_ = sql::build_database_uri(uri.scheme, uri.user, uri.password, uri.host,
                                   std::to_string(uri.port), name_);
    reader_uri_ = testing::reader_uri(variable, name_);
}

ScratchDatabase::~ScratchDatabase() {
    admin_.reset();
    try {
        auto conn = sql::connect(server_);
        if (server_.engine == sql::Engine::Postgresql) {
            conn->execute("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
        } else {
            conn->execute("DROP DATABASE IF EXISTS " + name_);
        }
    } catch (const std::exception&) {
        // The server is gone at the end of the run anyway.
    }
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/zolviai-sql-XXXXXX";
    const char* dir = ::mkdtemp(tmpl);
    if (dir == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    path_ = dir;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

} // namespace zolviai::testing
