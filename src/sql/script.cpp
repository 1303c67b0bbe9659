#include "zolviai/sql/script.hpp"

#include "zolviai/core/error.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace zolviai::sql {

std::vector<std::string> split_script(std::string_view script) {
    std::vector<std::string> statements;
    std::string current;
    std::istringstream lines{std::string(script)};
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line.compare(first, 2, "--") == 0) {
            continue;
        }
        const auto last = line.find_last_not_of(" \t\r");
        current += line.substr(0, last + 1);
        if (line[last] == ';') {
            current.pop_back();
            statements.push_back(std::move(current));
            current.clear();
        } else {
            current += '\n';
        }
    }
    if (current.find_first_not_of(" \t\r\n") != std::string::npos) {
        statements.push_back(std::move(current));
    }
    return statements;
}

void run_script(Connection& connection, std::string_view script) {
    connection.begin(false);
    try {
        for (const auto& statement : split_script(script)) {
            connection.execute(statement);
        }
        connection.commit();
    } catch (...) {
        connection.rollback();
        throw;
    }
}

void create_sample_sqlite(const std::string& script_path, const std::string& db_path) {
    std::ifstream in(script_path, std::ios::binary);
    if (!in) {
        throw IoError("cannot read the sample database script '" + script_path + "'");
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::filesystem::remove(db_path);
    ConnectSettings settings;
    settings.engine = Engine::Sqlite;
    settings.database = db_path;
    auto connection = connect(settings);
    run_script(*connection, text.str());
}

} // namespace zolviai::sql
