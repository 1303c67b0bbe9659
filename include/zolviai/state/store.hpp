#pragma once

#include "zolviai/core/error.hpp"
#include "zolviai/core/value.hpp"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zolviai::state {

// The state database cannot be used: it is not a database of ours, it was written by a newer
// version, it cannot be reached, or a statement on it failed. The message names the database
// (a file's path, a server's address without its password) and the problem.
class StateError : public Error {
public:
    enum class Problem {
        NotADatabase,  // the file exists but is not an SQLite database
        ForeignTables, // the database holds tables but not our version table
        NewerVersion,  // a component's schema is newer than this build knows
        Unavailable,   // the database could not be opened or reached
        Statement,     // a statement failed
    };
    StateError(Problem problem, const std::string& message) : Error(message), problem_(problem) {}
    Problem problem() const { return problem_; }
    ErrorKind kind() const override;

private:
    Problem problem_;
};

// A statement parameter: null, boolean, integer, float or text (other JSON values are bound
// as their JSON text).
using Param = Value;

// The rows a query returned. Cells are JSON values: null, integers for integer columns,
// numbers for float columns, booleans (PostgreSQL), text for the rest.
struct Rows {
    std::vector<std::string> columns;
    std::vector<std::vector<Value>> rows;

    std::size_t size() const { return rows.size(); }
    bool empty() const { return rows.empty(); }
    const std::vector<Value>& operator[](std::size_t i) const { return rows[i]; }
};

class Connection;
class ConnectionPool;

// The database the product keeps its own state in (conversations, verified SQL): an SQLite
// file by default, PostgreSQL when several processes share one deployment. Every component
// migrates its own tables (migrate) before using them. Thread-safe: calls take a connection
// from a small pool; a transaction keeps its connection for the calling thread.
class Store {
public:
    // A path or sqlite:///absolute/path: an SQLite file (created 0600, missing folders 0700,
    // WAL journal). postgresql://... or postgres://...: a PostgreSQL database. A file that is
    // not SQLite, or an SQLite database that holds tables but not our version table, is
    // refused with a StateError and left as it is.
    static std::shared_ptr<Store> open(const std::string& uri_or_path);

    // $XDG_STATE_HOME/zolviai/state.db, or ~/.local/state/zolviai/state.db, from the
    // process's settings (the edge decides whether to use it).
    static std::string default_path();

    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Brings `component`'s tables to version steps.size(): the steps not yet applied run in
    // order, with the new version, in one transaction (one process at a time). A recorded
    // version newer than steps.size() is a StateError and nothing changes. Steps are SQL
    // scripts (several statements allowed) in the store's dialect (see dialect()).
    void migrate(std::string_view component, const std::vector<std::string>& steps);
    // The version `component` is at (0 when it never migrated).
    int version(std::string_view component);

    // One statement with $1, $2, ... placeholders (the same number may appear twice).
    Rows query(std::string_view sql, const std::vector<Param>& params = {});
    // One statement; the number of rows it changed.
    long execute(std::string_view sql, const std::vector<Param>& params = {});

    // Runs f() in one transaction: committed when f returns, rolled back when it throws (the
    // exception goes on). Statements the same thread runs inside f join it; a nested call
    // joins the outer transaction.
    template <class F>
    void transaction(F&& f) {
        Transaction t(*this);
        std::forward<F>(f)();
        t.commit();
    }

    // "sqlite" or "postgresql".
    std::string dialect() const;
    // The file's path, or the server's address without its password: for messages.
    const std::string& name() const { return name_; }

    // A transaction held by the calling thread until commit() or destruction (rollback).
    class Transaction {
    public:
        explicit Transaction(Store& store);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit();

    private:
        Store& store_;
        bool outer_ = false;
        bool done_ = false;
    };

private:
    Store(std::unique_ptr<ConnectionPool> pool, std::string name, bool sqlite);
    void check_ours();

    std::unique_ptr<ConnectionPool> pool_;
    std::string name_;
    bool sqlite_;
};

} // namespace zolviai::state
