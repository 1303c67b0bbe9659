#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The database settings of the host tools: one process-wide set, read from the environment
// (db_user, db_password, db_host, db_name) the first time it is used and replaced only by
// set_database_config. The schema and query operations read it when they are called.
namespace zolviai::dbtool {

struct DatabaseSettings {
    std::optional<std::string> db_user;
    std::optional<std::string> db_password;
    std::optional<std::string> db_host;
    std::int64_t db_port = 3306; // the environment is not consulted for the port
    std::optional<std::string> db_name;
};

// The account name db_user takes when its variable is unset, and the password likewise.
inline constexpr const char* default_db_user = "root";
inline constexpr const char* default_db_password = "tavk";

// Reads the environment into the settings unless that was done already. The Python module
// calls it when it is imported, so that the environment is read at load time.
void load_database_settings();

// A copy of the current settings (loading them first when needed). Safe from any thread:
// the copy holds the values of one set_database_config (or the environment's), never a mix.
DatabaseSettings database_settings();

// Replaces the settings with the five values (name, user, password, host, port) at once. A
// text value that is absent, or a port that is not an integer (std::nullopt), is a
// ValueError "All parameters must be provided and 'port' must be an integer." and changes
// nothing. Empty texts are stored as they are.
void set_database_config(std::optional<std::string> name, std::optional<std::string> user,
                         std::optional<std::string> password, std::optional<std::string> host,
                         std::optional<std::int64_t> port);

// Names of the settings that are absent or empty, in the order db_name, db_user,
// db_password, db_host, db_port; prints one line saying which, or that all are set.
std::vector<std::string> check_db_config_variables();

} // namespace zolviai::dbtool
