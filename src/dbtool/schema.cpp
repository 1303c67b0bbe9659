#include "zolviai/dbtool/schema.hpp"

#include "dbtool/message.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/dbtool/connections.hpp"

namespace zolviai::dbtool {

const char* const pg_tables_query = "\n"
                                    "                SELECT table_name\n"
                                    "                FROM information_schema.tables\n"
                                    "                WHERE table_schema = 'public'\n"
                                    "            ";

const char* const pg_columns_query = "\n"
                                     "                    SELECT column_name, data_type\n"
                                     "                    FROM information_schema.columns\n"
                                     "                    WHERE table_name = %s\n"
                                     "                ";

namespace {

std::string text_of(const sql::Cell& cell) {
    if (cell.type == sql::CellType::Text || cell.type == sql::CellType::Bytes) {
        return cell.text;
    }
    return sql::cell_str(cell);
}

Value value_of(const sql::Cell& cell) {
    if (cell.type == sql::CellType::Null) {
        return nullptr;
    }
    return text_of(cell);
}

std::size_t column_index(const sql::ResultSet& result, const char* name) {
    for (std::size_t i = 0; i < result.columns.size(); ++i) {
        if (result.columns[i].name == name) {
            return i;
        }
    }
    throw KeyError(name);
}

// Appends the column descriptors of one listing to the table's list.
void append_columns(Value& list, const sql::ResultSet& columns, const char* name_column,
                    const char* type_column) {
    const std::size_t name_at = column_index(columns, name_column);
    const std::size_t type_at = column_index(columns, type_column);
    for (const sql::Row& row : columns.rows) {
        Value column = Value::object();
        column["name"] = value_of(row[name_at]);
        column["type"] = value_of(row[type_at]);
        list.push_back(std::move(column));
    }
}

} // namespace

namespace {

// Opens a connection with the current settings, lets `read` fill the map, and closes the
// connection whatever happened. A failure part way is printed; what was read stays.
template <class Open, class Read>
std::optional<Value> extract(Open open, Read read) {
    Value schema = Value::object();
    std::shared_ptr<HostConnection> connection;
    try {
        connection = open(params_of(database_settings()));
        if (!connection) {
            return std::nullopt; // the factory printed why
        }
        read(*connection, schema);
    } catch (const std::exception& e) {
        print_line(std::string("An error occurred: ") + one_line(e.what()));
    }
    if (connection) {
        connection->close();
    }
    return schema;
}

} // namespace

std::optional<Value> get_mysql_database_schema() {
    return extract(get_mysql_db_connection, [](HostConnection& connection, Value& schema) {
        const sql::ResultSet tables = connection.execute("SHOW TABLES");
        for (const sql::Row& row : tables.rows) {
            // The one column is named after the database: the name is taken by position.
            if (row.empty()) {
                throw IndexError("list index out of range");
            }
            const std::string table = text_of(row[0]);
            Value& list = schema[table] = Value::array();
            // Quoted, so that names with a hyphen, a space or a reserved word work.
            const sql::ResultSet columns = connection.execute(
                "SHOW COLUMNS FROM " + sql::quote_identifier(sql::Engine::Mysql, table));
            append_columns(list, columns, "Field", "Type");
        }
    });
}

std::optional<Value> get_pgdb_schema() {
    return extract(get_pgdb_connection, [](HostConnection& connection, Value& schema) {
        const sql::ResultSet tables = connection.execute(pg_tables_query);
        const std::size_t name_at = column_index(tables, "table_name");
        for (const sql::Row& row : tables.rows) {
            const std::string table = text_of(row[name_at]);
            Value& list = schema[table] = Value::array();
            Parameters params;
            params.positional.push_back(sql::Cell::of_text(table));
            const sql::ResultSet columns = connection.execute(pg_columns_query, params);
            append_columns(list, columns, "column_name", "data_type");
        }
    });
}

} // namespace zolviai::dbtool
