#include "sql/schema_cache.hpp"

#include "zolviai/core/console.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/core/value.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace zolviai::sql {

namespace {

constexpr const char* kFormat = "zolviai schema cache";
constexpr long kVersion = 1;

void warn(const std::string& path, const std::string& why) {
    print_err_line("zolviai: warning: ignoring the schema cache file " + path + ": " + why);
}

std::vector<std::string> string_list(const Value* v) {
    std::vector<std::string> out;
    if (v == nullptr || !v->is_array()) {
        throw ValueError("a list of texts is missing");
    }
    for (const auto& e : *v) {
        if (!e.is_string()) {
            throw ValueError("a list holds something other than text");
        }
        out.push_back(e.get<std::string>());
    }
    return out;
}

std::string required_text(const Value* v, std::string_view key) {
    auto text = string_member(v, key);
    if (!text) {
        throw ValueError("the member '" + std::string(key) + "' is missing");
    }
    return *text;
}

} // namespace

std::string digest_hex(std::string_view text) {
    std::uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

std::string schema_fingerprint(const std::vector<catalog::TableSignature>& signatures) {
    std::string all;
    for (const auto& s : signatures) {
        all += s.name;
        all += '\t';
        all += digest_hex(s.signature);
        all += '\t';
        all += digest_hex(s.comment);
        all += '\n';
    }
    return digest_hex(all) + "-" + std::to_string(signatures.size());
}

std::string schema_cache_path(const std::string& directory, const std::string& identity) {
    return (std::filesystem::path(directory) / ("schema-" + digest_hex(identity) + ".json"))
        .string();
}

std::optional<SchemaSnapshot> load_schema_cache(const std::string& path,
                                                const std::string& identity) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    try {
        JsonLimits limits;
        limits.max_bytes = 1024UL * 1024 * 1024;
        limits.max_depth = 8;
        const Value doc = parse_json_input(buffer.str(), limits);
        if (string_member(&doc, "format") != std::string(kFormat)) {
            warn(path, "it is not a schema cache file");
            return std::nullopt;
        }
        if (integer_member(&doc, "version") != kVersion) {
            warn(path, "it was written by another version");
            return std::nullopt;
        }
        if (string_member(&doc, "database") != digest_hex(identity)) {
            warn(path, "it was written for another database");
            return std::nullopt;
        }
        SchemaSnapshot snapshot;
        snapshot.fingerprint = required_text(&doc, "fingerprint");
        const Value* tables = find_member(doc, "tables");
        if (tables == nullptr || !tables->is_array()) {
            throw ValueError("the list of tables is missing");
        }
        for (const auto& t : *tables) {
            auto table = std::make_shared<CachedTable>();
            const std::string name = required_text(&t, "name");
            table->signature = required_text(&t, "signature");
            table->comment = required_text(&t, "comment");
            if (const Value* d = find_member(t, "description"); d != nullptr && !d->is_null()) {
                if (!d->is_string()) {
                    throw ValueError("a description is not text");
                }
                table->described = true;
                table->description = d->get<std::string>();
                table->columns = string_list(find_member(t, "columns"));
                table->column_comments = required_text(&t, "column_comments");
                table->references = string_list(find_member(t, "references"));
                table->values = string_list(find_member(t, "values"));
            }
            if (const Value* v = find_member(t, "value_index"); v != nullptr && v->is_array()) {
                table->values_read = true;
                for (const auto& c : *v) {
                    ColumnValues column;
                    column.table = name;
                    column.column = required_text(&c, "column");
                    const auto flag = [&](std::string_view key) {
                        const Value* f = find_member(c, key);
                        return f != nullptr && f->is_boolean() && f->get<bool>();
                    };
                    column.complete = flag("complete");
                    column.sampled = flag("sampled");
                    column.distinct = integer_member(&c, "distinct").value_or(-1);
                    column.min = string_member(&c, "min").value_or("");
                    column.max = string_member(&c, "max").value_or("");
                    const Value* pairs = find_member(c, "values");
                    if (pairs == nullptr || !pairs->is_array()) {
                        throw ValueError("a column of the value index has no values");
                    }
                    for (const auto& p : *pairs) {
                        const Value* text = find_element(&p, 0);
                        const Value* count = find_element(&p, 1);
                        if (text == nullptr || !text->is_string() || count == nullptr ||
                            !count->is_number_integer()) {
                            throw ValueError("a value of the value index is not [text, count]");
                        }
                        column.values.push_back(
                            {text->get<std::string>(), count->get<std::int64_t>()});
                    }
                    table->value_columns.push_back(std::move(column));
                }
            }
            if (!snapshot.tables.emplace(name, std::move(table)).second) {
                throw ValueError("the table '" + name + "' appears twice");
            }
            snapshot.names.push_back(name);
        }
        std::sort(snapshot.names.begin(), snapshot.names.end());
        return snapshot;
    } catch (const Error& e) {
        warn(path, std::string("it is damaged (") + e.what() + ")");
    } catch (const std::exception& e) {
        warn(path, std::string("it is damaged (") + e.what() + ")");
    }
    return std::nullopt;
}

void save_schema_cache(const std::string& path, const std::string& identity,
                       const SchemaSnapshot& snapshot) {
    Value tables = Value::array();
    for (const auto& name : snapshot.names) {
        const CachedTable& t = *snapshot.tables.at(name);
        Value entry = {{"name", name}, {"signature", t.signature}, {"comment", t.comment}};
        if (t.described) {
            entry["description"] = t.description;
            entry["columns"] = t.columns;
            entry["column_comments"] = t.column_comments;
            entry["references"] = t.references;
            entry["values"] = t.values;
        }
        if (t.values_read) {
            Value columns = Value::array();
            for (const ColumnValues& c : t.value_columns) {
                Value pairs = Value::array();
                for (const IndexedValue& v : c.values) {
                    pairs.push_back(Value::array({v.value, v.count}));
                }
                columns.push_back({{"column", c.column},
                                   {"complete", c.complete},
                                   {"sampled", c.sampled},
                                   {"distinct", c.distinct},
                                   {"min", c.min},
                                   {"max", c.max},
                                   {"values", std::move(pairs)}});
            }
            entry["value_index"] = std::move(columns);
        }
        tables.push_back(std::move(entry));
    }
    const Value doc = {{"format", kFormat},
                       {"version", kVersion},
                       {"database", digest_hex(identity)},
                       {"fingerprint", snapshot.fingerprint},
                       {"tables", std::move(tables)}};
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        if (!out) {
            print_err_line("zolviai: warning: could not write the schema cache file " + path);
            std::filesystem::remove(temporary, ec);
            return;
        }
    }
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        print_err_line("zolviai: warning: could not write the schema cache file " + path + ": " +
                       ec.message());
        std::filesystem::remove(temporary, ec);
    }
}

} // namespace zolviai::sql
