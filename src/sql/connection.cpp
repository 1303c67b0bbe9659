#include "zolviai/sql/connection.hpp"

#include "sql/drivers/drivers.hpp"
#include "sql/drivers/engine_traits.hpp"
#include "sql/drivers/odbc_api.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/settings.hpp"
#include "zolviai/core/text.hpp"

#include <cstdlib>

namespace zolviai::sql {

std::vector<Connection::BatchResult>
Connection::execute_batch(const std::vector<std::string>& statements,
                          const ExecuteOptions& options) {
    std::vector<BatchResult> out(statements.size());
    for (std::size_t i = 0; i < statements.size(); ++i) {
        try {
            out[i].result = execute(statements[i], options);
        } catch (const DatabaseError& e) {
            out[i].error = e.what();
        }
    }
    return out;
}

namespace {

// A result already made of cells, seen as TextRows: every value comes from cell().
class CellRows final : public TextRows {
public:
    explicit CellRows(ResultSet result) : rows_(std::move(result.rows)) {
        columns = std::move(result.columns);
        affected_rows = result.affected_rows;
        text_types.assign(columns.size(), CellType::Null);
    }

    std::size_t size() const override { return rows_.size(); }

    const char* value(std::size_t row, std::size_t column, std::size_t& length) const override {
        const Cell& c = rows_[row][column];
        length = c.text.size();
        return c.type == CellType::Null ? nullptr : c.text.c_str();
    }

    Cell cell(std::size_t row, std::size_t column) const override { return rows_[row][column]; }

private:
    std::vector<Row> rows_;
};

} // namespace

std::unique_ptr<TextRows>
Connection::execute_text(const std::string& sql,
                         const std::vector<std::optional<std::string>>& params) {
    return std::make_unique<CellRows>(execute_params(sql, params));
}

namespace {

// The columns of a statement whose rows have been handed over.
class ShapeRows final : public TextRows {
public:
    std::size_t size() const override { return 0; }
    const char* value(std::size_t, std::size_t, std::size_t&) const override { return nullptr; }
    Cell cell(std::size_t, std::size_t) const override { return Cell::null(); }
};

} // namespace

std::unique_ptr<TextRows>
Connection::execute_text_parts(const std::string& sql,
                               const std::vector<std::optional<std::string>>& params,
                               const TakeRows& take) {
    std::unique_ptr<TextRows> rows = execute_text(sql, params);
    if (rows->size() > 0) {
        take(*rows);
    }
    auto shape = std::make_unique<ShapeRows>();
    shape->columns = std::move(rows->columns);
    shape->affected_rows = rows->affected_rows;
    shape->text_types = std::move(rows->text_types);
    shape->value_forms = std::move(rows->value_forms);
    return shape;
}

std::unique_ptr<Connection> connect(const ConnectSettings& settings) {
    switch (settings.engine) {
    case Engine::Sqlite:
        return drivers::open_sqlite(settings);
    case Engine::Postgresql:
        return drivers::open_postgresql(settings);
    case Engine::Mysql:
        return drivers::open_mariadb(settings);
    case Engine::Odbc:
        return drivers::open_odbc(settings);
    }
    throw ConfigError("unknown database engine");
}

std::string quote_identifier(Engine engine, std::string_view name) {
    const drivers::EngineTraits& traits = drivers::engine_for_driver(engine);
    return enclosed(name, traits.quote_open, traits.quote_close);
}

std::string default_mssql_odbc_driver() {
    if (auto configured = settings()->get("ZOLVI_MSSQL_ODBC_DRIVER")) {
        return *configured;
    }
    const std::string preferred = "ODBC Driver 18 for SQL Server";
    const drivers::OdbcApi* loaded = nullptr;
    try {
        loaded = &drivers::odbc();
    } catch (const DatabaseError&) {
        return "FreeTDS"; // no driver manager: the connection attempt will say so
    }
    const drivers::OdbcApi& api = *loaded;
    SQLHENV env = SQL_NULL_HENV;
    bool found = false;
    if (api.SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env) == SQL_SUCCESS) {
        api.SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                          0);
        SQLCHAR name[256];
        SQLCHAR attrs[1024];
        SQLSMALLINT name_len = 0;
        SQLSMALLINT attrs_len = 0;
        SQLUSMALLINT direction = SQL_FETCH_FIRST;
        while (SQL_SUCCEEDED(api.SQLDrivers(env, direction, name, sizeof name, &name_len, attrs,
                                            sizeof attrs, &attrs_len))) {
            direction = SQL_FETCH_NEXT;
            if (preferred == reinterpret_cast<const char*>(name)) {
                found = true;
                break;
            }
        }
        api.SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
    return found ? preferred : "FreeTDS";
}

namespace drivers {

std::string bounded_value(std::string_view value, const ExecuteOptions& options, bool utf8,
                          bool& cut) {
    cut = options.max_cell_bytes > 0 && value.size() > options.max_cell_bytes;
    if (!cut) {
        return std::string(value);
    }
    const std::size_t keep =
        utf8 ? utf8_prefix_length(value, options.max_cell_bytes) : options.max_cell_bytes;
    std::string out;
    out.reserve(keep + 3);
    out.append(value.substr(0, keep));
    out += "...";
    return out;
}

Cell bounded_text_cell(std::string_view value, const ExecuteOptions& options,
                       const std::string& column) {
    bool cut = false;
    std::string text = bounded_value(value, options, true, cut);
    // Only the kept part is checked: the marker is ASCII.
    if (!is_valid_utf8(std::string_view(text).substr(0, cut ? text.size() - 3 : text.size()))) {
        throw DatabaseError("the value of column '" + column +
                            "' is not valid UTF-8 text; cast it to bytes or hex to read it");
    }
    return Cell::of_text(std::move(text));
}

std::string trim_message(std::string_view message) {
    return std::string(trim_end(message, "\n\r "));
}

} // namespace drivers

} // namespace zolviai::sql
