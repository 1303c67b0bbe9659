#include "sql/schema_catalog.hpp"

#include "sql/catalog.hpp"
#include "sql/value_reader.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/core/text.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <spdlog/spdlog.h>
#include <thread>
#include <unordered_set>

namespace zolviai::sql {

namespace {

// Python's str() of a value cut to n characters, as sample rows show it.
std::string sample_text(const Cell& cell, std::size_t n) {
    std::string s = cell_str(cell);
    s.resize(utf8_offset(s, n));
    return s;
}

} // namespace

SchemaCatalog::SchemaCatalog(ConnectionPool& pool, const DatabaseOptions& options,
                             CatalogPlace place)
    : pool_(pool), options_(options), place_(std::move(place)) {}

namespace {

// A few distinct values of the sample rows that may name what a table holds ("Germany",
// "refunded"): text that is short and not a number.
std::vector<std::string> ranking_values(const ResultSet& rows) {
    std::vector<std::string> out;
    for (const Row& row : rows.rows) {
        for (const Cell& cell : row) {
            if (cell.type != CellType::Text || cell.text.size() < 3 || cell.text.size() > 40 ||
                cell.text.find_first_not_of("0123456789.-: ") == std::string::npos) {
                continue;
            }
            if (std::find(out.begin(), out.end(), cell.text) == out.end()) {
                out.push_back(cell.text);
            }
            if (out.size() == 6) {
                return out;
            }
        }
    }
    return out;
}

} // namespace

void SchemaCatalog::describe_into(Connection& conn, const std::vector<std::string>& names,
                                  SchemaSnapshot& snapshot) const {
    std::vector<catalog::TableDef> defs;
    auto read_definitions = [&] {
        if (snapshot.definitions &&
            std::all_of(names.begin(), names.end(),
                        [&](const std::string& n) { return snapshot.definitions->count(n); })) {
            for (const auto& name : names) {
                defs.push_back(snapshot.definitions->at(name));
            }
            return;
        }
        defs = catalog::table_defs(conn, *place_.engine, place_.default_schema, names);
    };
    std::vector<Connection::BatchResult> samples;
    if (options_.sample_rows > 0) {
        std::vector<std::string> statements;
        statements.reserve(names.size());
        for (const auto& name : names) {
            statements.push_back(catalog::sample_rows_sql(pool_.settings().engine, place_.use_top,
                                                          *place_.engine, place_.default_schema,
                                                          name, options_.sample_rows));
        }
        ExecuteOptions limit;
        limit.max_rows = options_.sample_rows;
        limit.stop_after_max_rows = true;
        limit.max_cell_bytes = options_.max_cell_bytes;
        samples = read_samples(conn, statements, limit, read_definitions);
    } else {
        read_definitions();
    }
    for (std::size_t i = 0; i < defs.size(); ++i) {
        auto table = std::make_shared<CachedTable>();
        if (auto it = snapshot.tables.find(defs[i].name); it != snapshot.tables.end()) {
            table->signature = it->second->signature;
            table->comment = it->second->comment;
            table->values_read = it->second->values_read;
            table->value_columns = it->second->value_columns;
        }
        table->described = true;
        for (const auto& column : defs[i].columns) {
            table->columns.push_back(column.name);
            if (!column.comment.empty()) {
                table->column_comments += column.comment + "\n";
            }
        }
        for (const auto& fk : defs[i].foreign_keys) {
            table->references.push_back(fk.ref_table);
        }
        std::string& out = table->description;
        out = catalog::create_table_text(defs[i], pool_.settings().engine);
        // Sample rows are a courtesy: a table we may not read is still described.
        if (i < samples.size() && samples[i].error.empty()) {
            const ResultSet& r = samples[i].result;
            out += "\n\n/*\n" + std::to_string(options_.sample_rows) + " rows from " +
                   defs[i].name + " table:\n";
            for (std::size_t c = 0; c < r.columns.size(); ++c) {
                out += (c == 0 ? "" : "\t") + r.columns[c].name;
            }
            out += '\n';
            for (const Row& row : r.rows) {
                for (std::size_t c = 0; c < row.size(); ++c) {
                    out += (c == 0 ? "" : "\t") + sample_text(row[c], 100);
                }
                out += '\n';
            }
            out += "*/";
            table->values = ranking_values(r);
        }
        snapshot.tables[defs[i].name] = std::move(table);
    }
}

std::vector<Connection::BatchResult>
SchemaCatalog::read_samples(Connection& conn, const std::vector<std::string>& statements,
                            const ExecuteOptions& limit,
                            const std::function<void()>& run_meanwhile) const {
    // Reading thousands of tables is mostly the server opening each one: a few sessions do it
    // side by side. A private SQLite database lives in one connection only.
    constexpr std::size_t per_worker = 250;
    constexpr std::size_t most_workers = 3;
    const bool shareable =
        pool_.settings().engine != Engine::Sqlite ||
        !(pool_.settings().database.empty() || pool_.settings().database == ":memory:");
    const std::size_t workers =
        shareable ? std::min(most_workers, statements.size() / per_worker) : 0;
    if (workers == 0) {
        run_meanwhile();
        return conn.execute_batch(statements, limit);
    }
    std::vector<Connection::BatchResult> out(statements.size());
    const std::size_t chunk = (statements.size() + workers - 1) / workers;
    auto part_of = [&](std::size_t w) {
        const std::size_t first = std::min(statements.size(), w * chunk);
        const std::size_t last = std::min(statements.size(), first + chunk);
        return std::make_pair(first, last);
    };
    auto read_part = [&](Connection& c, std::size_t w) {
        const auto [first, last] = part_of(w);
        const std::vector<std::string> part(statements.begin() + static_cast<std::ptrdiff_t>(first),
                                            statements.begin() + static_cast<std::ptrdiff_t>(last));
        auto results = c.execute_batch(part, limit);
        std::move(results.begin(), results.end(), out.begin() + static_cast<std::ptrdiff_t>(first));
    };
    std::vector<char> done(workers, 0);
    std::vector<std::thread> threads;
    for (std::size_t w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            std::unique_ptr<Connection> borrowed = pool_.try_acquire();
            if (!borrowed) {
                return; // read below on the caller's connection
            }
            ConnectionPool::Lease lease(pool_, std::move(borrowed));
            try {
                read_part(*lease, w);
                done[w] = 1;
            } catch (const Error&) {
                lease.suspect();
            }
        });
    }
    std::exception_ptr failure;
    try {
        run_meanwhile();
    } catch (...) {
        failure = std::current_exception();
    }
    for (auto& t : threads) {
        t.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    for (std::size_t w = 0; w < workers; ++w) {
        if (!done[w]) {
            read_part(conn, w);
        }
    }
    return out;
}

std::shared_ptr<const SchemaSnapshot> SchemaCatalog::refreshed_schema(Connection& conn) const {
    if (!schema_ && !schema_file_read_ && !place_.cache_file.empty()) {
        schema_file_read_ = true;
        if (auto loaded = load_schema_cache(place_.cache_file, place_.cache_identity)) {
            // Never trusted as it is: the signatures below decide which tables it still
            // describes rightly.
            schema_ = std::make_shared<const SchemaSnapshot>(std::move(*loaded));
        }
    }
    const std::string sentinel = catalog::schema_sentinel(conn, *place_.engine);
    if (schema_ && !sentinel.empty() && schema_->sentinel == sentinel) {
        return schema_;
    }
    std::vector<catalog::TableDef> definitions;
    // MariaDB reads two catalogs at once on a second pooled session, when it has many tables
    // and the pool can give one without waiting.
    std::optional<ConnectionPool::Lease> helper;
    auto second_session = [&]() -> Connection* {
        std::unique_ptr<Connection> spare = pool_.try_acquire();
        if (!spare) {
            return nullptr;
        }
        helper.emplace(pool_, std::move(spare));
        return &**helper;
    };
    std::vector<catalog::TableSignature> signatures;
    try {
        signatures = catalog::table_signatures(conn, *place_.engine, place_.default_schema,
                                               &definitions, second_session);
    } catch (const Error&) {
        if (helper) {
            helper->suspect();
        }
        throw;
    }
    helper.reset();
    const std::string fingerprint = sql::schema_fingerprint(signatures);
    auto next = std::make_shared<SchemaSnapshot>();
    next->sentinel = sentinel;
    next->fingerprint = fingerprint;
    if (!definitions.empty()) {
        auto map = std::make_shared<std::unordered_map<std::string, catalog::TableDef>>();
        for (auto& def : definitions) {
            std::string name = def.name;
            map->emplace(std::move(name), std::move(def));
        }
        next->definitions = std::move(map);
    }
    if (schema_ && schema_->fingerprint == fingerprint) {
        next->names = schema_->names;
        next->tables = schema_->tables;
        next->ranker = schema_->ranker;
        next->value_index = schema_->value_index;
        schema_ = std::move(next);
        return schema_;
    }
    // Tables whose signature is unchanged keep what was read of them.
    for (const auto& sig : signatures) {
        next->names.push_back(sig.name);
        if (schema_) {
            if (auto it = schema_->tables.find(sig.name); it != schema_->tables.end() &&
                                                          it->second->signature == sig.signature &&
                                                          it->second->comment == sig.comment) {
                next->tables.emplace(sig.name, it->second);
                continue;
            }
        }
        auto table = std::make_shared<CachedTable>();
        table->signature = sig.signature;
        table->comment = sig.comment;
        next->tables.emplace(sig.name, std::move(table));
    }
    schema_ = std::move(next);
    if (!place_.cache_file.empty()) {
        save_schema_cache(place_.cache_file, place_.cache_identity, *schema_);
    }
    return schema_;
}

std::shared_ptr<const SchemaSnapshot>
SchemaCatalog::schema(Connection& conn, const std::vector<std::string>& describe,
                      bool describe_all) const {
    std::lock_guard lock(schema_mutex_);
    std::shared_ptr<const SchemaSnapshot> current = refreshed_schema(conn);
    std::vector<std::string> missing;
    std::unordered_set<std::string_view> seen;
    for (const auto& name : describe_all ? current->names : describe) {
        auto it = current->tables.find(name);
        if (it != current->tables.end() && !it->second->described && seen.insert(name).second) {
            missing.push_back(name);
        }
    }
    if (missing.empty()) {
        return current;
    }
    auto next = std::make_shared<SchemaSnapshot>();
    next->sentinel = current->sentinel;
    next->fingerprint = current->fingerprint;
    next->names = current->names;
    next->tables = current->tables;
    next->definitions = current->definitions;
    next->value_index = current->value_index;
    describe_into(conn, missing, *next);
    schema_ = std::move(next);
    if (!place_.cache_file.empty()) {
        save_schema_cache(place_.cache_file, place_.cache_identity, *schema_);
    }
    return schema_;
}

std::vector<std::string> SchemaCatalog::table_names() const {
    ConnectionPool::Lease conn(pool_);
    try {
        return schema(*conn, {})->names;
    } catch (const DatabaseError&) {
        conn.suspect();
        throw;
    }
}

std::string SchemaCatalog::fingerprint() const {
    ConnectionPool::Lease conn(pool_);
    try {
        return schema(*conn, {})->fingerprint;
    } catch (const DatabaseError&) {
        conn.suspect();
        throw;
    }
}

std::string SchemaCatalog::table_info_no_throw(const std::vector<std::string>& table_names) const {
    ConnectionPool::Lease conn(pool_);
    try {
        std::shared_ptr<const SchemaSnapshot> current = schema(*conn, {});
        const std::vector<std::string>& usable = current->names;
        std::set<std::string> missing;
        std::vector<std::string> names;
        std::unordered_set<std::string_view> seen;
        for (const auto& name : table_names) {
            if (!std::binary_search(usable.begin(), usable.end(), name)) {
                missing.insert(name);
            } else if (seen.insert(name).second) {
                names.push_back(name);
            }
        }
        if (!missing.empty()) {
            std::string text = "Error: table_names {";
            bool first = true;
            for (const auto& name : missing) {
                if (!first) {
                    text += ", ";
                }
                first = false;
                text += python::repr_text(name);
            }
            return text + "} not found in database";
        }
        current = schema(*conn, names);
        std::string out;
        for (std::size_t i = 0; i < names.size(); ++i) {
            auto it = current->tables.find(names[i]);
            if (it == current->tables.end()) {
                continue; // dropped between the two looks
            }
            if (i != 0) {
                out += "\n\n";
            }
            out += it->second->description;
        }
        return out;
    } catch (const Error& e) {
        conn.suspect();
        return std::string("Error: ") + e.what();
    }
}

std::shared_ptr<const ValueIndex> SchemaCatalog::last_value_index() const {
    std::lock_guard lock(schema_mutex_);
    return schema_ ? schema_->value_index : nullptr;
}

std::shared_ptr<const TableRanker> SchemaCatalog::ranker_of(const SchemaSnapshot& current) const {
    std::lock_guard lock(schema_mutex_);
    if (!current.ranker) {
        std::vector<TableDocument> documents;
        documents.reserve(current.names.size());
        for (const auto& name : current.names) {
            const CachedTable& t = *current.tables.at(name);
            documents.push_back({name, t.columns, t.comment + "\n" + t.column_comments, t.values});
        }
        current.ranker = std::make_shared<const TableRanker>(documents);
    }
    return current.ranker;
}

std::shared_ptr<const ValueIndex> SchemaCatalog::value_index() const {
    const ValueIndexOptions& o = options_.values;
    if (!o.enabled) {
        return nullptr;
    }
    ConnectionPool::Lease conn(pool_);
    try {
        std::lock_guard lock(schema_mutex_);
        std::shared_ptr<const SchemaSnapshot> current = refreshed_schema(*conn);
        if (current->value_index) {
            return current->value_index;
        }
        std::vector<std::string> unread;
        for (const auto& name : current->names) {
            if (!current->tables.at(name)->values_read) {
                unread.push_back(name);
            }
        }
        if (!unread.empty()) {
            std::vector<catalog::TableDef> defs;
            if (current->definitions &&
                std::all_of(unread.begin(), unread.end(),
                            [&](const std::string& n) { return current->definitions->count(n); })) {
                for (const auto& name : unread) {
                    defs.push_back(current->definitions->at(name));
                }
            } else {
                defs = catalog::table_defs(*conn, *place_.engine, place_.default_schema, unread);
            }
            std::vector<ValueReadJob> jobs;
            for (const auto& def : defs) {
                auto more = value_jobs(def, o);
                jobs.insert(jobs.end(), more.begin(), more.end());
            }
            ValueReadPlace where;
            where.engine = place_.engine;
            where.schema = place_.default_schema;
            where.use_top = place_.use_top;
            where.shareable =
                pool_.settings().engine != Engine::Sqlite ||
                !(pool_.settings().database.empty() || pool_.settings().database == ":memory:");
            where.statement_timeout_ms = options_.statement_timeout_ms;
            auto read = read_values(pool_, *conn, where, jobs, o);
            auto next = std::make_shared<SchemaSnapshot>();
            next->sentinel = current->sentinel;
            next->fingerprint = current->fingerprint;
            next->names = current->names;
            next->tables = current->tables;
            next->definitions = current->definitions;
            next->ranker = current->ranker;
            for (const auto& name : unread) {
                auto table = std::make_shared<CachedTable>(*current->tables.at(name));
                table->values_read = true;
                table->value_columns = std::move(read[name]);
                next->tables[name] = std::move(table);
            }
            schema_ = next;
            current = next;
            if (!place_.cache_file.empty()) {
                save_schema_cache(place_.cache_file, place_.cache_identity, *schema_);
            }
        }
        // Exclusions apply to what a cache file kept from before they were made, too.
        std::vector<ColumnValues> columns;
        for (const auto& name : current->names) {
            for (const ColumnValues& c : current->tables.at(name)->value_columns) {
                if (!o.excludes(c.table, c.column)) {
                    columns.push_back(c);
                }
            }
        }
        auto index = std::make_shared<const ValueIndex>(columns);
        // The bound holds for the index as built, lookups included: the largest columns give
        // way until it fits.
        while (index->memory_bytes() > o.memory_bytes && !columns.empty()) {
            auto largest = std::max_element(columns.begin(), columns.end(),
                                            [](const ColumnValues& a, const ColumnValues& b) {
                                                return value_bytes(a) < value_bytes(b);
                                            });
            spdlog::warn("value index: {}.{} skipped: the index would pass its memory bound of "
                         "{} bytes",
                         largest->table, largest->column, o.memory_bytes);
            columns.erase(largest);
            index = std::make_shared<const ValueIndex>(columns);
        }
        current->value_index = std::move(index);
        return current->value_index;
    } catch (const DatabaseError&) {
        conn.suspect();
        throw;
    }
}

std::vector<std::pair<std::string, std::string>> SchemaCatalog::table_signatures() const {
    std::shared_ptr<const SchemaSnapshot> current;
    {
        ConnectionPool::Lease conn(pool_);
        try {
            current = schema(*conn, {});
        } catch (const DatabaseError&) {
            conn.suspect();
            throw;
        }
    }
    std::vector<std::pair<std::string, std::string>> out;
    out.reserve(current->names.size());
    for (const auto& name : current->names) {
        const auto it = current->tables.find(name);
        out.emplace_back(name,
                         it == current->tables.end() ? "" : digest_hex(it->second->signature));
    }
    return out;
}

TableCandidates SchemaCatalog::candidate_tables(std::string_view question) const {
    TableCandidates out;
    std::shared_ptr<const SchemaSnapshot> current;
    std::shared_ptr<const TableRanker> ranker;
    {
        ConnectionPool::Lease conn(pool_);
        try {
            current = schema(*conn, {});
            out.total = current->names.size();
            if (out.total <= options_.prune_threshold) {
                out.names = current->names;
                return out;
            }
            current = schema(*conn, {}, true);
            ranker = ranker_of(*current);
        } catch (const DatabaseError&) {
            conn.suspect();
            throw;
        }
    }
    out.pruned = true;
    out.scores = ranker->rank(question, options_.prune_top_k);
    std::set<std::string> chosen;
    for (const auto& scored : out.scores) {
        chosen.insert(scored.name);
        for (const auto& target : current->tables.at(scored.name)->references) {
            if (current->tables.count(target)) {
                chosen.insert(target);
            }
        }
    }
    if (chosen.empty()) {
        // Nothing in the question names anything the catalog holds: a bounded prompt still
        // beats one past the model's context window.
        chosen.insert(current->names.begin(),
                      current->names.begin() +
                          static_cast<std::ptrdiff_t>(std::min(options_.prune_top_k, out.total)));
    }
    out.names.assign(chosen.begin(), chosen.end());
    return out;
}

} // namespace zolviai::sql
