#pragma once

#include "zolviai/agent/memory_text.hpp"
#include "zolviai/core/value.hpp"
#include "zolviai/sql/sql_database.hpp"
#include "zolviai/state/store.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The memory of verified SQL: question -> SQL pairs someone certified as correct on a
// database, kept in the state database. The question engine reuses an entry as it is for the
// same question (same masked form and same values), shows the most similar ones to SQL
// generation as worked examples, and retires entries whose tables changed under them.
namespace zolviai::agent {

enum class EntryState {
    Certified, // used: reused and shown as an example
    Stale,     // a table it reads changed; waits for a re-check
    Failing,   // its SQL no longer runs
};
const char* entry_state_name(EntryState state);
// Parses the names entry_state_name gives; a ValueError otherwise.
EntryState parse_entry_state(std::string_view name);

struct MemoryEntry {
    std::int64_t id = 0;
    std::string database;    // the database's identity (sql::CustomSQLDatabase::identity)
    std::string engine;      // its dialect
    std::string fingerprint; // its schema fingerprint when the entry was last checked
    std::string question;    // as certified
    std::string masked;      // the masked form (mask_question)
    std::vector<Slot> slots; // the values the masked form replaced
    std::string sql;
    // The tables the SQL reads, each with its signature when the entry was last checked.
    std::vector<std::pair<std::string, std::string>> tables;
    std::string source;       // how it was certified: "page", "api", "cli", "import", "eval"
    std::string certified_by; // who, when the face knows ("" otherwise)
    std::string created_at;   // UTC, ISO 8601
    std::string checked_at;   // when it last ran as certified or was re-checked
    std::int64_t uses = 0;    // answers it gave as it is
    EntryState state = EntryState::Certified;
    std::string note; // what the last re-check found
};

// The entry as JSON (every field; slots as [{"type", "value"}], tables as {name: signature}).
Value entry_json(const MemoryEntry& entry);

// What the memory offers for one question.
struct MemoryMatch {
    std::optional<MemoryEntry> exact;  // a certified entry for this very question
    std::vector<MemoryEntry> examples; // the most similar certified entries, best first
};

// What a re-check found.
struct CheckReport {
    std::size_t checked = 0;
    std::size_t certified = 0; // still run (or ran again)
    std::size_t failing = 0;
    std::size_t unchanged = 0;        // not re-run: none of their tables changed
    std::vector<MemoryEntry> entries; // the re-checked entries as they are now
};

class Memory {
public:
    // Creates or upgrades the memory's tables in the store (StateError when the store cannot
    // be used).
    explicit Memory(std::shared_ptr<state::Store> store);

    // Certifies sql as the answer to question on db. The SQL first runs through the guard with
    // a small row limit: a statement that is refused or fails is not stored (DatabaseError).
    // An entry of the same database for the same question (same key) is replaced.
    MemoryEntry add(const sql::CustomSQLDatabase& db, const std::string& question,
                    const std::string& sql, const std::string& source,
                    const std::string& certified_by = "");

    std::optional<MemoryEntry> get(std::int64_t id);
    // Entries, newest first; database "" for every database.
    std::vector<MemoryEntry> list(const std::string& database = "", std::size_t limit = 1000);
    // Entries of a database (all states) by similarity to a text, best first.
    std::vector<MemoryEntry> search(const std::string& database, std::string_view text,
                                    std::size_t k = 10);
    // False when there was no such entry.
    bool remove(std::int64_t id);

    // What the memory holds for a question on db: only certified entries of that database.
    // First brings the entries up to date with the schema when it moved since the last look
    // (see refresh).
    MemoryMatch lookup(const sql::CustomSQLDatabase& db, std::string_view question,
                       std::size_t examples = 3);
    // Counts one answer an entry gave as it is.
    void record_use(std::int64_t id);

    // When db's schema fingerprint differs from what this process last saw: entries whose
    // tables' signatures changed become stale and are re-checked (at most max_checks of them
    // now, the rest at the next look). Cheap when nothing changed.
    CheckReport refresh(const sql::CustomSQLDatabase& db, std::size_t max_checks = 50);
    // Re-runs every entry of db (all states) through the guard with a small row limit:
    // entries that run are certified (again), the others failing.
    CheckReport check(const sql::CustomSQLDatabase& db);

    state::Store& store() { return *store_; }

private:
    struct DatabaseCache {
        std::int64_t version = -1;
        std::map<std::int64_t, MemoryEntry> entries; // certified entries
        std::map<std::string, std::int64_t> by_key;
        std::shared_ptr<const MemoryIndex> index;
    };

    std::int64_t version_of(const std::string& database);
    void bump(const std::string& database);
    std::shared_ptr<const DatabaseCache> cache_for(const std::string& database);
    bool recheck(const sql::CustomSQLDatabase& db, MemoryEntry& entry,
                 const std::vector<std::pair<std::string, std::string>>& signatures,
                 const std::string& fingerprint, const std::string& why);
    std::vector<MemoryEntry> read_entries(std::string_view where,
                                          const std::vector<state::Param>& params);

    std::shared_ptr<state::Store> store_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<const DatabaseCache>> caches_;
    std::map<std::string, std::string> seen_fingerprints_;
};

// The tables of `names` that a statement mentions (outside string literals and comments,
// quotes and schema prefixes removed, letter case ignored), in the order of names.
std::vector<std::string> tables_read(std::string_view sql, const std::vector<std::string>& names);

} // namespace zolviai::agent
