#include "sql/value_reader.hpp"

#include "zolviai/core/error.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <spdlog/spdlog.h>
#include <thread>

namespace zolviai::sql {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool contains(const std::string& s, const char* part) {
    return s.find(part) != std::string::npos;
}

bool text_type(const std::string& type) {
    const std::string t = lower(type);
    if (contains(t, "json") || contains(t, "xml") || contains(t, "uuid") || contains(t, "binary") ||
        contains(t, "blob") || contains(t, "bytea") || contains(t, "[]")) {
        return false;
    }
    return t.empty() || contains(t, "char") || contains(t, "text") || contains(t, "string") ||
           contains(t, "enum") || contains(t, "clob") || t == "name";
}

bool date_type(const std::string& type) {
    const std::string t = lower(type);
    return contains(t, "date") || contains(t, "time");
}

std::string table_name(const ValueReadPlace& place, const std::string& table) {
    const Engine e = place.engine->driver;
    std::string name = quote_identifier(e, table);
    if (place.engine->catalog == drivers::CatalogQueries::InformationSchema &&
        !place.schema.empty()) {
        name = quote_identifier(e, place.schema) + "." + name;
    }
    return name;
}

// Rows of the table read for one column: all of them up to the sample bound.
std::string rows_of(const ValueReadPlace& place, const ValueReadJob& job, std::int64_t sample) {
    const std::string c = quote_identifier(place.engine->driver, job.column);
    const std::string t = table_name(place, job.table);
    if (place.use_top) {
        return "SELECT TOP " + std::to_string(sample) + " " + c + " AS c FROM " + t;
    }
    return "SELECT " + c + " AS c FROM " + t + " LIMIT " + std::to_string(sample);
}

// The most frequent values first, with how many groups there are and how many rows were read.
std::string values_sql(const ValueReadPlace& place, const ValueReadJob& job,
                       const ValueIndexOptions& o) {
    const std::string keep = std::to_string(o.max_distinct + 2); // +1 to see past it, +1 NULL
    const std::string body = "SELECT v, n, COUNT(*) OVER () AS g, SUM(n) OVER () AS r FROM "
                             "(SELECT c AS v, COUNT(*) AS n FROM (" +
                             rows_of(place, job, o.sample_rows) + ") s GROUP BY c) d";
    if (place.use_top) {
        return "SELECT TOP " + keep + " * FROM (" + body + ") w ORDER BY n DESC";
    }
    return body + " ORDER BY n DESC LIMIT " + keep;
}

std::string range_sql(const ValueReadPlace& place, const ValueReadJob& job,
                      const ValueIndexOptions& o) {
    return "SELECT MIN(c), MAX(c), COUNT(*) FROM (" + rows_of(place, job, o.sample_rows) + ") s";
}

std::int64_t integer_of(const Cell& cell) {
    if (cell.type == CellType::Integer) {
        return cell.integer;
    }
    try {
        return std::stoll(cell_str(cell));
    } catch (const std::exception&) {
        return 0;
    }
}

ColumnValues read_column(Connection& conn, const ValueReadPlace& place, const ValueReadJob& job,
                         const ValueIndexOptions& o) {
    ColumnValues out;
    out.table = job.table;
    out.column = job.column;
    ExecuteOptions limits;
    limits.max_cell_bytes = o.max_value_bytes + 1;
    if (job.date) {
        const ResultSet r = conn.execute(range_sql(place, job, o), limits);
        if (!r.rows.empty() && r.rows[0].size() == 3 && r.rows[0][0].type != CellType::Null &&
            integer_of(r.rows[0][2]) < o.sample_rows) {
            out.min = cell_str(r.rows[0][0]);
            out.max = cell_str(r.rows[0][1]);
        }
        out.complete = true;
        return out;
    }
    limits.max_rows = static_cast<std::int64_t>(o.max_distinct + 2);
    limits.stop_after_max_rows = true;
    const ResultSet r = conn.execute(values_sql(place, job, o), limits);
    std::int64_t groups = 0;
    std::int64_t rows = 0;
    bool null_group = false;
    for (const Row& row : r.rows) {
        if (row.size() != 4) {
            continue;
        }
        groups = integer_of(row[2]);
        rows = integer_of(row[3]);
        if (row[0].type == CellType::Null) {
            null_group = true;
            continue;
        }
        std::string value = cell_str(row[0]);
        if (value.size() > o.max_value_bytes || value.empty()) {
            continue;
        }
        out.values.push_back({std::move(value), integer_of(row[1])});
    }
    out.sampled = rows >= o.sample_rows;
    out.distinct = groups - (null_group ? 1 : 0);
    out.complete = !out.sampled && out.distinct <= static_cast<std::int64_t>(o.max_distinct);
    if (!out.complete && out.values.size() > o.top_values) {
        out.values.resize(o.top_values);
    }
    std::stable_sort(
        out.values.begin(), out.values.end(),
        [](const IndexedValue& a, const IndexedValue& b) { return a.count > b.count; });
    return out;
}

} // namespace

std::vector<ValueReadJob> value_jobs(const catalog::TableDef& table,
                                     const ValueIndexOptions& options) {
    std::vector<ValueReadJob> out;
    for (const auto& c : table.columns) {
        if (options.excludes(table.name, c.name)) {
            continue;
        }
        if (date_type(c.type)) {
            out.push_back({table.name, c.name, true});
        } else if (text_type(c.type)) {
            out.push_back({table.name, c.name, false});
        }
    }
    return out;
}

std::size_t value_bytes(const ColumnValues& column) {
    std::size_t n = sizeof(ColumnValues) + column.table.size() + column.column.size();
    for (const auto& v : column.values) {
        n += sizeof(IndexedValue) + v.value.size();
    }
    return n;
}

std::unordered_map<std::string, std::vector<ColumnValues>>
read_values(ConnectionPool& pool, Connection& connection, const ValueReadPlace& place,
            const std::vector<ValueReadJob>& jobs, const ValueIndexOptions& options) {
    std::unordered_map<std::string, std::vector<ColumnValues>> out;
    for (const auto& job : jobs) {
        out[job.table];
    }
    std::vector<std::optional<ColumnValues>> results(jobs.size());
    std::atomic<std::size_t> next{0};
    // The values themselves take about a quarter of what the index holds once its lookups
    // are built: the bound is kept on them here, and on the built index by the caller.
    std::atomic<std::size_t> used{0};
    const std::size_t budget = options.memory_bytes / 4;
    auto work = [&](Connection& conn) {
        conn.set_statement_timeout(options.column_time_limit_ms);
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            const ValueReadJob& job = jobs[i];
            try {
                ColumnValues column = read_column(conn, place, job, options);
                const std::size_t bytes = value_bytes(column);
                if (used.fetch_add(bytes) + bytes > budget) {
                    used.fetch_sub(bytes);
                    spdlog::warn("value index: {}.{} skipped: the index would pass its memory "
                                 "bound of {} bytes",
                                 job.table, job.column, options.memory_bytes);
                    continue;
                }
                results[i] = std::move(column);
            } catch (const DatabaseError& e) {
                spdlog::warn("value index: {}.{} skipped: {}", job.table, job.column, e.what());
                if (conn.is_broken() || !conn.is_alive()) {
                    return false;
                }
            }
        }
        conn.set_statement_timeout(place.statement_timeout_ms);
        return true;
    };
    std::vector<std::thread> threads;
    const std::size_t helpers = place.shareable ? std::min<std::size_t>(3, jobs.size() / 2) : 0;
    for (std::size_t w = 0; w < helpers; ++w) {
        threads.emplace_back([&] {
            std::unique_ptr<Connection> borrowed = pool.try_acquire();
            if (!borrowed) {
                return;
            }
            ConnectionPool::Lease lease(pool, std::move(borrowed));
            try {
                if (!work(*lease)) {
                    lease.suspect();
                }
            } catch (const Error&) {
                lease.suspect();
            }
        });
    }
    std::exception_ptr failure;
    try {
        work(connection);
    } catch (...) {
        failure = std::current_exception();
    }
    for (auto& t : threads) {
        t.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (results[i]) {
            out[jobs[i].table].push_back(std::move(*results[i]));
        }
    }
    return out;
}

} // namespace zolviai::sql
