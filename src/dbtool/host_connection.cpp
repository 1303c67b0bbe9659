#include "zolviai/dbtool/host_connection.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/sql/literal.hpp"

#include <cstdio>
#include <map>

namespace zolviai::dbtool {

namespace {

// "1 days 3661 seconds 5 microseconds": a form PostgreSQL's interval input reads exactly.
std::string interval_text(const sql::Interval& span) {
    return std::to_string(span.days) + " days " + std::to_string(span.seconds) + " seconds " +
           std::to_string(span.microseconds) + " microseconds";
}

std::optional<std::string> postgres_text(const sql::Cell& cell) {
    switch (cell.type) {
    case sql::CellType::Null:
        return std::nullopt;
    case sql::CellType::Bool:
        return std::string(cell.boolean ? "true" : "false");
    case sql::CellType::Integer:
        return std::to_string(cell.integer);
    case sql::CellType::Float:
    case sql::CellType::Date:
    case sql::CellType::Time:
    case sql::CellType::Timestamp:
    case sql::CellType::TimestampTz:
        return sql::cell_str(cell);
    case sql::CellType::Decimal:
    case sql::CellType::Text:
    case sql::CellType::Json:
    case sql::CellType::Uuid:
        return cell.text;
    case sql::CellType::Bytes: {
        std::string out = "\\x";
        append_hex(out, cell.text);
        return out;
    }
    case sql::CellType::Interval:
        return interval_text(cell.span);
    }
    return std::nullopt;
}

const sql::Cell& named_value(const Parameters& params, const std::string& name) {
    for (const auto& [key, value] : params.named) {
        if (key == name) {
            return value;
        }
    }
    throw KeyError(name);
}

} // namespace

BoundStatement bind_parameters(sql::Engine engine, const std::string& sql,
                               const Parameters& params) {
    const bool postgres = engine == sql::Engine::Postgresql;
    BoundStatement out;
    out.sql.reserve(sql.size());
    std::size_t used = 0;
    std::map<std::string, std::size_t> numbers; // PostgreSQL: a name binds once
    auto place = [&](const sql::Cell& value, const std::string* name) {
        if (!postgres) {
            out.sql += sql::mysql_literal(value);
            return;
        }
        if (name != nullptr) {
            auto known = numbers.find(*name);
            if (known != numbers.end()) {
                out.sql += "$" + std::to_string(known->second);
                return;
            }
        }
        out.values.push_back(postgres_text(value));
        out.sql += "$" + std::to_string(out.values.size());
        if (name != nullptr) {
            numbers.emplace(*name, out.values.size());
        }
    };
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (c != '%') {
            out.sql.push_back(c);
            continue;
        }
        if (i + 1 >= sql.size()) {
            throw ValueError("incomplete format");
        }
        const char kind = sql[i + 1];
        if (kind == '%') {
            out.sql.push_back('%');
            ++i;
            continue;
        }
        if (kind == 's') {
            if (params.by_name) {
                throw TypeError("argument formats can't be mixed");
            }
            if (used >= params.positional.size()) {
                throw TypeError("not enough arguments for format string");
            }
            place(params.positional[used++], nullptr);
            ++i;
            continue;
        }
        if (kind == '(') {
            const std::size_t close = sql.find(')', i + 2);
            if (close == std::string::npos) {
                throw ValueError("incomplete format key");
            }
            if (close + 1 >= sql.size() || sql[close + 1] != 's') {
                throw ValueError("only %s and %(name)s placeholders are supported (at index " +
                                 std::to_string(i) + ")");
            }
            if (!params.by_name) {
                throw TypeError("format requires a mapping");
            }
            const std::string name = sql.substr(i + 2, close - i - 2);
            place(named_value(params, name), &name);
            i = close + 1;
            continue;
        }
        char buf[96];
        std::snprintf(buf, sizeof buf, "unsupported format character '%c' (0x%x) at index %zu",
                      kind, static_cast<unsigned char>(kind), i + 1);
        throw ValueError(buf);
    }
    if (!params.by_name && used < params.positional.size()) {
        throw TypeError("not all arguments converted during string formatting");
    }
    return out;
}

HostConnection::HostConnection(std::unique_ptr<sql::Connection> connection)
    : connection_(std::move(connection)), engine_(connection_->engine()) {
    if (engine_ == sql::Engine::Mysql) {
        // Python MySQL clients switch autocommit off: changes last only when committed.
        connection_->execute("SET autocommit = 0");
    }
}

HostConnection::~HostConnection() {
    close();
}

sql::Connection& HostConnection::live() {
    if (connection_ == nullptr) {
        throw DatabaseError("connection already closed");
    }
    return *connection_;
}

void HostConnection::begin_if_needed(sql::Connection& c) {
    // PostgreSQL's Python clients open a transaction before the first statement.
    if (engine_ == sql::Engine::Postgresql && !autocommit_ && !in_transaction_) {
        c.begin(false);
        in_transaction_ = true;
    }
}

sql::ResultSet HostConnection::execute(const std::string& sql,
                                       const std::optional<Parameters>& params) {
    sql::Connection& c = live();
    begin_if_needed(c);
    if (!params) {
        return c.execute(sql);
    }
    BoundStatement bound = bind_parameters(engine_, sql, *params);
    if (engine_ == sql::Engine::Postgresql) {
        return c.execute_params(bound.sql, bound.values);
    }
    return c.execute(bound.sql);
}

std::unique_ptr<sql::TextRows>
HostConnection::execute_text(const std::string& sql, const std::optional<Parameters>& params) {
    sql::Connection& c = live();
    begin_if_needed(c);
    if (!params) {
        return c.execute_text(sql, {});
    }
    // MySQL statements come back with their values as literals and no parameters left.
    BoundStatement bound = bind_parameters(engine_, sql, *params);
    return c.execute_text(bound.sql, bound.values);
}

std::unique_ptr<sql::TextRows>
HostConnection::execute_text_parts(const std::string& sql, const sql::Connection::TakeRows& take) {
    sql::Connection& c = live();
    begin_if_needed(c);
    return c.execute_text_parts(sql, {}, take);
}

void HostConnection::commit() {
    end_transaction(true);
}

void HostConnection::rollback() {
    end_transaction(false);
}

void HostConnection::end_transaction(bool commit) {
    sql::Connection& c = live();
    if (engine_ == sql::Engine::Postgresql) {
        if (!in_transaction_) {
            return; // nothing was sent since the last end: nothing to end
        }
        in_transaction_ = false;
    }
    if (commit) {
        c.commit();
    } else {
        c.rollback();
    }
}

void HostConnection::close() {
    connection_.reset();
    in_transaction_ = false;
}

void HostConnection::set_autocommit(bool on) {
    sql::Connection& c = live();
    if (engine_ == sql::Engine::Postgresql) {
        if (in_transaction_ && on != autocommit_) {
            throw DatabaseError(
                "autocommit cannot change inside a transaction: commit or roll back first");
        }
    } else {
        c.execute(on ? "SET autocommit = 1" : "SET autocommit = 0");
    }
    autocommit_ = on;
}

void HostConnection::end_block(bool succeeded) {
    if (engine_ == sql::Engine::Mysql) {
        close();
        return;
    }
    if (succeeded) {
        commit();
    } else {
        rollback();
    }
}

Cursor::Cursor(std::shared_ptr<HostConnection> connection, RowForm form)
    : connection_(std::move(connection)), form_(form) {}

void Cursor::check_open() const {
    if (closed_) {
        throw DatabaseError("cursor already closed");
    }
}

void Cursor::execute(const std::string& sql, const std::optional<Parameters>& params) {
    check_open();
    result_.reset();
    position_ = 0;
    rowcount_ = -1;
    result_ = connection_->execute_text(sql, params);
    rowcount_ = result_->columns.empty() ? result_->affected_rows
                                         : static_cast<std::int64_t>(result_->size());
}

const std::vector<sql::Column>& Cursor::columns() const {
    static const std::vector<sql::Column> none;
    return result_ ? result_->columns : none;
}

const sql::TextRows& Cursor::rows() const {
    return *result_; // fetch() gave positions only when there is a result
}

std::pair<std::size_t, std::size_t> Cursor::fetch(std::int64_t count) {
    check_open();
    if (!has_rows()) {
        if (connection_->engine() == sql::Engine::Postgresql) {
            throw DatabaseError("no results to fetch");
        }
        return {0, 0};
    }
    const std::size_t size = result_->size();
    const std::size_t begin = position_;
    std::size_t end = size;
    if (count >= 0) {
        end = std::min(size, begin + static_cast<std::size_t>(count));
    }
    position_ = end;
    return {begin, end};
}

void Cursor::close() {
    closed_ = true;
    result_.reset();
}

} // namespace zolviai::dbtool
