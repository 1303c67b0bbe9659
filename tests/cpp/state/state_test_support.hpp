#pragma once

#include <string>

namespace zolviai::testing {

// A fresh PostgreSQL database on the test server (ZOLVIAI_PG_URI), dropped at the end of the
// test; uri() is "" when the server variable is not set.
class ScratchStateDatabase {
public:
    ScratchStateDatabase();
    ~ScratchStateDatabase();
    const std::string& uri() const { return uri_; }
    // Runs administrator statements on the scratch database (preparing foreign tables).
    void run(const std::string& sql) const;

private:
    std::string server_;
    std::string name_;
    std::string uri_;
};

// A temporary folder, removed with everything in it at the end of the test.
class StateTempDir {
public:
    StateTempDir();
    ~StateTempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace zolviai::testing
