#include "zolviai/dbtool/query.hpp"

#include "dbtool/message.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/dbtool/connections.hpp"

#include <cctype>

namespace zolviai::dbtool {

namespace {

void report(const std::exception& e) {
    print_line(std::string("An error occurred while executing the query: ") + one_line(e.what()));
}

// Length of the white space character at the front of text (as Python's str.isspace()
// counts it), 0 when there is none.
std::size_t space_length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char c = byte(0);
    if (c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f)) {
        return 1;
    }
    if (c == 0xc2 && text.size() >= 2 && (byte(1) == 0x85 || byte(1) == 0xa0)) {
        return 2;
    }
    if (text.size() < 3) {
        return 0;
    }
    const unsigned code = ((c & 0x0f) << 12) | ((byte(1) & 0x3f) << 6) | (byte(2) & 0x3f);
    if ((c & 0xf0) != 0xe0) {
        return 0;
    }
    const bool space = code == 0x1680 || (code >= 0x2000 && code <= 0x200a) || code == 0x2028 ||
                       code == 0x2029 || code == 0x202f || code == 0x205f || code == 0x3000;
    return space ? 3 : 0;
}

} // namespace

bool is_select_statement(std::string_view sql) {
    while (!sql.empty()) {
        const std::size_t n = space_length(sql);
        if (n == 0) {
            break;
        }
        sql.remove_prefix(n);
    }
    static constexpr std::string_view select = "SELECT";
    if (sql.size() < select.size()) {
        return false;
    }
    for (std::size_t i = 0; i < select.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(sql[i])) != select[i]) {
            return false;
        }
    }
    return true;
}

namespace {

// Opens a connection with the current settings, lets `run` determine the result, and closes
// the connection (without a commit) whatever happened. A failure is printed and gives none.
template <class Open, class Run>
std::unique_ptr<sql::TextRows> run_query(Open open, Run run) {
    std::shared_ptr<HostConnection> connection;
    std::unique_ptr<sql::TextRows> result;
    try {
        connection = open(params_of(database_settings()));
        if (connection) {
            result = run(*connection);
        }
    } catch (const std::exception& e) {
        report(e);
        result.reset();
    }
    if (connection) {
        connection->close(); // an uncommitted change is discarded
    }
    return result;
}

} // namespace

std::unique_ptr<sql::TextRows> execute_mysql_query(const std::string& sql_query) {
    return run_query(get_mysql_db_connection, [&](HostConnection& connection) {
        return connection.execute_text(sql_query);
    });
}

std::unique_ptr<sql::TextRows> execute_pgdb_query(const std::string& sql_query) {
    return execute_pgdb_query(sql_query, nullptr);
}

std::unique_ptr<sql::TextRows> execute_pgdb_query(const std::string& sql_query,
                                                  const sql::Connection::TakeRows& take) {
    return run_query(get_pgdb_connection, [&](HostConnection& connection) {
        if (is_select_statement(sql_query)) {
            return take ? connection.execute_text_parts(sql_query, take)
                        : connection.execute_text(sql_query);
        }
        connection.execute_text(sql_query);
        connection.commit();
        return std::unique_ptr<sql::TextRows>();
    });
}

} // namespace zolviai::dbtool
