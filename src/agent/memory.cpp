#include "zolviai/agent/memory.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <spdlog/spdlog.h>
#include <unordered_set>

namespace zolviai::agent {
namespace {

constexpr std::int64_t kCheckRows = 5; // rows a re-check or a certification reads at most

// The memory's tables, per store dialect; the rest of the SQL is common to both.
const std::map<std::string, std::vector<std::string>>& migrations() {
    auto steps = [](const std::string& id_column) {
        return std::vector<std::string>{
            "CREATE TABLE zolviai_memory (" + id_column +
            ", db TEXT NOT NULL, engine TEXT NOT NULL, fingerprint TEXT NOT NULL, "
            "question TEXT NOT NULL, masked TEXT NOT NULL, slots TEXT NOT NULL, "
            "match_key TEXT NOT NULL, sql_text TEXT NOT NULL, tables TEXT NOT NULL, "
            "source TEXT NOT NULL, certified_by TEXT NOT NULL, created_at TEXT NOT NULL, "
            "checked_at TEXT NOT NULL, uses BIGINT NOT NULL DEFAULT 0, state TEXT NOT NULL, "
            "note TEXT NOT NULL DEFAULT '');\n"
            "CREATE INDEX zolviai_memory_by_key ON zolviai_memory (db, match_key);\n"
            "CREATE INDEX zolviai_memory_by_state ON zolviai_memory (db, state);\n"
            "CREATE TABLE zolviai_memory_versions (db TEXT PRIMARY KEY, version BIGINT NOT "
            "NULL)"};
    };
    static const std::map<std::string, std::vector<std::string>> all = {
        {"sqlite", steps("id INTEGER PRIMARY KEY AUTOINCREMENT")},
        {"postgresql", steps("id BIGSERIAL PRIMARY KEY")},
    };
    return all;
}

constexpr const char* kColumns =
    "id, db, engine, fingerprint, question, masked, slots, match_key, sql_text, tables, source, "
    "certified_by, created_at, checked_at, uses, state, note";

std::string now_utc() {
    const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string text_of(const Value& v) {
    return v.is_string() ? v.get<std::string>() : v.is_null() ? "" : v.dump();
}

std::int64_t integer_of(const Value& v) {
    if (v.is_number()) {
        return v.get<std::int64_t>();
    }
    if (v.is_string()) {
        return std::stoll(v.get<std::string>());
    }
    return 0;
}

Value slots_json(const std::vector<Slot>& slots) {
    Value out = Value::array();
    for (const auto& s : slots) {
        out.push_back({{"type", s.type}, {"value", s.value}});
    }
    return out;
}

Value tables_json(const std::vector<std::pair<std::string, std::string>>& tables) {
    Value out = Value::object();
    for (const auto& [name, signature] : tables) {
        out[name] = signature;
    }
    return out;
}

// A JSON column as stored: null when it is not JSON.
Value stored_json(const std::string& text) {
    try {
        return parse_json_input(text);
    } catch (const JsonInputError&) {
        return nullptr;
    }
}

MemoryEntry entry_of(const std::vector<Value>& row) {
    MemoryEntry e;
    e.id = integer_of(row[0]);
    e.database = text_of(row[1]);
    e.engine = text_of(row[2]);
    e.fingerprint = text_of(row[3]);
    e.question = text_of(row[4]);
    e.masked = text_of(row[5]);
    // What the state database holds may have been written by anyone with access to it.
    const Value slots = stored_json(text_of(row[6]));
    if (slots.is_array()) {
        for (const auto& s : slots) {
            e.slots.push_back(
                {string_member(&s, "type").value_or(""), string_member(&s, "value").value_or("")});
        }
    }
    e.sql = text_of(row[8]);
    const Value tables = stored_json(text_of(row[9]));
    if (tables.is_object()) {
        for (const auto& [name, signature] : tables.items()) {
            e.tables.emplace_back(name, text_of(signature));
        }
    }
    e.source = text_of(row[10]);
    e.certified_by = text_of(row[11]);
    e.created_at = text_of(row[12]);
    e.checked_at = text_of(row[13]);
    e.uses = integer_of(row[14]);
    e.state = parse_entry_state(text_of(row[15]));
    e.note = text_of(row[16]);
    return e;
}

std::string folded(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The signatures of the named tables as db has them now ("" for a table that is gone).
std::vector<std::pair<std::string, std::string>>
signatures_of(const std::vector<std::string>& tables,
              const std::vector<std::pair<std::string, std::string>>& current) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& table : tables) {
        std::string signature;
        for (const auto& [name, sig] : current) {
            if (name == table) {
                signature = sig;
                break;
            }
        }
        out.emplace_back(table, signature);
    }
    return out;
}

std::vector<std::string> names_of(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::vector<std::string> out;
    for (const auto& p : pairs) {
        out.push_back(p.first);
    }
    return out;
}

// Whether a failure says the statement no longer fits the database (rather than that the
// database was busy or out of reach for a moment).
bool retires_entry(const DatabaseError& e) {
    const ErrorKind kind = e.kind();
    return kind == ErrorKind::Database || kind == ErrorKind::StatementRefused;
}

} // namespace

const char* entry_state_name(EntryState state) {
    switch (state) {
    case EntryState::Certified:
        return "certified";
    case EntryState::Stale:
        return "stale";
    case EntryState::Failing:
        return "failing";
    }
    return "certified";
}

EntryState parse_entry_state(std::string_view name) {
    for (EntryState s : {EntryState::Certified, EntryState::Stale, EntryState::Failing}) {
        if (name == entry_state_name(s)) {
            return s;
        }
    }
    throw ValueError("unknown memory entry state '" + std::string(name) +
                     "': expected certified, stale or failing");
}

Value entry_json(const MemoryEntry& e) {
    return {{"id", e.id},
            {"database", e.database},
            {"engine", e.engine},
            {"fingerprint", e.fingerprint},
            {"question", e.question},
            {"masked", e.masked},
            {"slots", slots_json(e.slots)},
            {"sql", e.sql},
            {"tables", tables_json(e.tables)},
            {"source", e.source},
            {"certified_by", e.certified_by},
            {"created_at", e.created_at},
            {"checked_at", e.checked_at},
            {"uses", e.uses},
            {"state", entry_state_name(e.state)},
            {"note", e.note}};
}

std::vector<std::string> tables_read(std::string_view sql, const std::vector<std::string>& names) {
    std::unordered_set<std::string> words;
    std::size_t i = 0;
    const std::size_t n = sql.size();
    while (i < n) {
        const char c = sql[i];
        if (c == '\'') { // a string literal ('' inside it)
            for (++i; i < n; ++i) {
                if (sql[i] == '\'' && !(i + 1 < n && sql[i + 1] == '\'')) {
                    break;
                }
                if (sql[i] == '\'') {
                    ++i;
                }
            }
            ++i;
            continue;
        }
        if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            while (i < n && sql[i] != '\n') {
                ++i;
            }
            continue;
        }
        if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            const auto end = sql.find("*/", i + 2);
            i = end == std::string_view::npos ? n : end + 2;
            continue;
        }
        if (c == '"' || c == '`' || c == '[') { // a quoted name
            const char close = c == '[' ? ']' : c;
            const auto end = sql.find(close, i + 1);
            const std::size_t stop = end == std::string_view::npos ? n : end;
            words.insert(folded(std::string(sql.substr(i + 1, stop - i - 1))));
            i = stop + 1;
            continue;
        }
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '_' || u >= 0x80) {
            std::size_t j = i;
            while (j < n && (std::isalnum(static_cast<unsigned char>(sql[j])) || sql[j] == '_' ||
                             sql[j] == '$' || static_cast<unsigned char>(sql[j]) >= 0x80)) {
                ++j;
            }
            words.insert(folded(std::string(sql.substr(i, j - i))));
            i = j;
            continue;
        }
        ++i;
    }
    std::vector<std::string> out;
    for (const auto& name : names) {
        if (words.count(folded(name))) {
            out.push_back(name);
        }
    }
    return out;
}

Memory::Memory(std::shared_ptr<state::Store> store) : store_(std::move(store)) {
    if (!store_) {
        throw TypeError("the memory of verified SQL needs a state database");
    }
    const auto it = migrations().find(store_->dialect());
    if (it == migrations().end()) {
        throw ConfigError("the memory of verified SQL cannot be kept in a " + store_->dialect() +
                          " state database");
    }
    store_->migrate("memory", it->second);
}

std::int64_t Memory::version_of(const std::string& database) {
    const state::Rows rows =
        store_->query("SELECT version FROM zolviai_memory_versions WHERE db = $1", {database});
    return rows.empty() ? 0 : integer_of(rows[0][0]);
}

void Memory::bump(const std::string& database) {
    store_->execute("INSERT INTO zolviai_memory_versions (db, version) VALUES ($1, 1) "
                    "ON CONFLICT (db) DO UPDATE SET version = zolviai_memory_versions.version + 1",
                    {database});
}

std::vector<MemoryEntry> Memory::read_entries(std::string_view where,
                                              const std::vector<state::Param>& params) {
    const state::Rows rows = store_->query(
        std::string("SELECT ") + kColumns + " FROM zolviai_memory " + std::string(where), params);
    std::vector<MemoryEntry> out;
    out.reserve(rows.size());
    for (const auto& row : rows.rows) {
        out.push_back(entry_of(row));
    }
    return out;
}

MemoryEntry Memory::add(const sql::CustomSQLDatabase& db, const std::string& question,
                        const std::string& sql, const std::string& source,
                        const std::string& certified_by) {
    if (question.empty() || sql.empty()) {
        throw ValueError("a verified pair needs a question and its SQL");
    }
    // What does not run is not certified: the guard and the engine have the first word.
    db.query(sql, kCheckRows, true);
    const MaskedQuestion masked = mask_question(question);
    const auto signatures = db.table_signatures();
    MemoryEntry e;
    e.database = db.identity();
    e.engine = db.dialect();
    e.fingerprint = db.schema_fingerprint();
    e.question = question;
    e.masked = masked.masked;
    e.slots = masked.slots;
    e.sql = sql;
    e.tables = signatures_of(tables_read(sql, names_of(signatures)), signatures);
    e.source = source;
    e.certified_by = certified_by;
    e.created_at = now_utc();
    e.checked_at = e.created_at;
    e.state = EntryState::Certified;
    const std::string key = masked.key();
    store_->transaction([&] {
        store_->execute("DELETE FROM zolviai_memory WHERE db = $1 AND match_key = $2",
                        {e.database, key});
        const state::Rows rows = store_->query(
            "INSERT INTO zolviai_memory (db, engine, fingerprint, question, masked, slots, "
            "match_key, sql_text, tables, source, certified_by, created_at, checked_at, uses, "
            "state, note) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, 0, "
            "$14, '') RETURNING id",
            {e.database, e.engine, e.fingerprint, e.question, e.masked, slots_json(e.slots).dump(),
             key, e.sql, tables_json(e.tables).dump(), e.source, e.certified_by, e.created_at,
             e.checked_at, entry_state_name(e.state)});
        e.id = integer_of(rows[0][0]);
        bump(e.database);
    });
    return e;
}

std::optional<MemoryEntry> Memory::get(std::int64_t id) {
    auto rows = read_entries("WHERE id = $1", {id});
    if (rows.empty()) {
        return std::nullopt;
    }
    return std::move(rows[0]);
}

std::vector<MemoryEntry> Memory::list(const std::string& database, std::size_t limit) {
    const auto n = static_cast<std::int64_t>(limit);
    if (database.empty()) {
        return read_entries("ORDER BY id DESC LIMIT $1", {n});
    }
    return read_entries("WHERE db = $1 ORDER BY id DESC LIMIT $2", {database, n});
}

std::vector<MemoryEntry> Memory::search(const std::string& database, std::string_view text,
                                        std::size_t k) {
    std::vector<MemoryEntry> all =
        database.empty() ? read_entries("", {}) : read_entries("WHERE db = $1", {database});
    std::vector<MemoryIndex::Document> docs;
    docs.reserve(all.size());
    std::map<std::int64_t, std::size_t> at;
    for (std::size_t i = 0; i < all.size(); ++i) {
        docs.push_back({all[i].id, entry_terms(mask_question(all[i].question), all[i].sql)});
        at[all[i].id] = i;
    }
    const MemoryIndex index(docs);
    std::vector<MemoryEntry> out;
    for (const auto& hit : index.search(memory_terms(mask_question(text)), k)) {
        out.push_back(all[at[hit.id]]);
    }
    return out;
}

bool Memory::remove(std::int64_t id) {
    bool removed = false;
    store_->transaction([&] {
        const state::Rows rows = store_->query("SELECT db FROM zolviai_memory WHERE id = $1", {id});
        if (rows.empty()) {
            return;
        }
        store_->execute("DELETE FROM zolviai_memory WHERE id = $1", {id});
        bump(text_of(rows[0][0]));
        removed = true;
    });
    return removed;
}

std::shared_ptr<const Memory::DatabaseCache> Memory::cache_for(const std::string& database) {
    const std::int64_t version = version_of(database);
    {
        std::lock_guard lock(mutex_);
        const auto it = caches_.find(database);
        if (it != caches_.end() && it->second->version == version) {
            return it->second;
        }
    }
    // Read again after any change by any process: the version row says when.
    auto cache = std::make_shared<DatabaseCache>();
    cache->version = version;
    std::vector<MemoryIndex::Document> docs;
    for (auto& e : read_entries("WHERE db = $1 AND state = $2",
                                {database, entry_state_name(EntryState::Certified)})) {
        const MaskedQuestion masked = mask_question(e.question);
        cache->by_key[masked.key()] = e.id;
        docs.push_back({e.id, entry_terms(masked, e.sql)});
        const std::int64_t id = e.id;
        cache->entries.emplace(id, std::move(e));
    }
    cache->index = std::make_shared<const MemoryIndex>(docs);
    std::lock_guard lock(mutex_);
    caches_[database] = cache;
    return cache;
}

MemoryMatch Memory::lookup(const sql::CustomSQLDatabase& db, std::string_view question,
                           std::size_t examples) {
    refresh(db);
    const auto cache = cache_for(db.identity());
    MemoryMatch out;
    const MaskedQuestion masked = mask_question(question);
    if (const auto it = cache->by_key.find(masked.key()); it != cache->by_key.end()) {
        out.exact = cache->entries.at(it->second);
        return out;
    }
    if (examples == 0) {
        return out;
    }
    for (const auto& hit : cache->index->search(memory_terms(masked), examples)) {
        out.examples.push_back(cache->entries.at(hit.id));
    }
    return out;
}

void Memory::record_use(std::int64_t id) {
    // Not a change the index cares about: no version bump.
    store_->execute("UPDATE zolviai_memory SET uses = uses + 1 WHERE id = $1", {id});
}

bool Memory::recheck(const sql::CustomSQLDatabase& db, MemoryEntry& e,
                     const std::vector<std::pair<std::string, std::string>>& signatures,
                     const std::string& fingerprint, const std::string& why) {
    const std::string now = now_utc();
    try {
        db.query(e.sql, kCheckRows, true);
    } catch (const DatabaseError& err) {
        if (!retires_entry(err)) {
            // Busy or out of reach: it stays as it is, to be checked again.
            spdlog::warn("memory entry {} could not be re-checked now: {}", e.id, err.what());
            return false;
        }
        e.state = EntryState::Failing;
        e.note = why + ": no longer runs: " + err.what();
        store_->execute("UPDATE zolviai_memory SET state = $2, note = $3, checked_at = $4, "
                        "fingerprint = $5 WHERE id = $1",
                        {e.id, entry_state_name(e.state), e.note, now, fingerprint});
        e.checked_at = now;
        return true;
    }
    e.state = EntryState::Certified;
    e.note = why + ": still runs (re-checked " + now + ")";
    e.tables = signatures_of(tables_read(e.sql, names_of(signatures)), signatures);
    e.fingerprint = fingerprint;
    e.checked_at = now;
    store_->execute(
        "UPDATE zolviai_memory SET state = $2, note = $3, checked_at = $4, "
        "fingerprint = $5, tables = $6 WHERE id = $1",
        {e.id, entry_state_name(e.state), e.note, now, fingerprint, tables_json(e.tables).dump()});
    return true;
}

CheckReport Memory::refresh(const sql::CustomSQLDatabase& db, std::size_t max_checks) {
    CheckReport report;
    const std::string database = db.identity();
    const std::string fingerprint = db.schema_fingerprint();
    {
        std::lock_guard lock(mutex_);
        const auto it = seen_fingerprints_.find(database);
        if (it != seen_fingerprints_.end() && it->second == fingerprint) {
            return report;
        }
    }
    const auto signatures = db.table_signatures();
    // Entries checked at another fingerprint, and those already waiting for a re-check.
    std::vector<MemoryEntry> entries = read_entries(
        "WHERE db = $1 AND ((state = $2 AND fingerprint <> $3) OR state = $4) ORDER BY id",
        {database, entry_state_name(EntryState::Certified), fingerprint,
         entry_state_name(EntryState::Stale)});
    bool changed = false;
    bool complete = true;
    for (auto& e : entries) {
        bool moved = e.state == EntryState::Stale;
        for (const auto& [table, signature] : e.tables) {
            const auto now = signatures_of({table}, signatures);
            moved = moved || now[0].second != signature;
        }
        if (!moved) {
            // Its tables are as they were: only the fingerprint it was checked at moves on.
            store_->execute("UPDATE zolviai_memory SET fingerprint = $2 WHERE id = $1",
                            {e.id, fingerprint});
            ++report.unchanged;
            continue;
        }
        if (e.state != EntryState::Stale) {
            e.state = EntryState::Stale;
            store_->execute("UPDATE zolviai_memory SET state = $2 WHERE id = $1",
                            {e.id, entry_state_name(e.state)});
            changed = true;
        }
        if (report.checked >= max_checks) {
            complete = false;
            continue;
        }
        ++report.checked;
        if (!recheck(db, e, signatures, fingerprint, "a table it reads changed")) {
            complete = false;
            continue;
        }
        changed = true;
        (e.state == EntryState::Certified ? report.certified : report.failing)++;
        report.entries.push_back(e);
    }
    if (changed) {
        bump(database);
    }
    if (complete) {
        std::lock_guard lock(mutex_);
        seen_fingerprints_[database] = fingerprint;
    }
    return report;
}

CheckReport Memory::check(const sql::CustomSQLDatabase& db) {
    CheckReport report;
    const std::string database = db.identity();
    const std::string fingerprint = db.schema_fingerprint();
    const auto signatures = db.table_signatures();
    for (auto& e : read_entries("WHERE db = $1 ORDER BY id", {database})) {
        ++report.checked;
        if (!recheck(db, e, signatures, fingerprint, "checked on demand")) {
            continue;
        }
        (e.state == EntryState::Certified ? report.certified : report.failing)++;
        report.entries.push_back(e);
    }
    bump(database);
    std::lock_guard lock(mutex_);
    seen_fingerprints_[database] = fingerprint;
    return report;
}

} // namespace zolviai::agent
