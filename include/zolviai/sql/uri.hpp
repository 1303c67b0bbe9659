#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace zolviai::sql {

// A database URI split into its parts, user, password and database name percent-decoded.
//   postgresql[+driver]://user:password@host:port/database
//   mysql[+driver]://...   mssql[+driver]://...?driver=ODBC+Driver+18+for+SQL+Server
//   sqlite:///relative/path.db   sqlite:////absolute/path.db   sqlite://  (in memory)
struct DatabaseUri {
    std::string scheme;  // as written ("postgresql+psycopg2")
    std::string dialect; // "postgresql", "mysql", "mssql", "sqlite"
    std::string user;
    std::string password;
    std::string host;
    int port = 0;                             // 0 when the URI gives none
    std::string database;                     // SQLite: the file path
    std::map<std::string, std::string> query; // decoded query parameters ('+' is a space)
};

// Longest URI and parts parse_database_uri accepts, in bytes (parts as decoded). They sit
// well above real URIs (an access token used as a password is some 2 kB, a SQLite path at
// most PATH_MAX, odbc_connect a whole ODBC connection string) and keep what reaches the
// database clients, and the buffers some of them copy into, small.
inline constexpr std::size_t max_database_uri_bytes = 16384;
inline constexpr std::size_t max_uri_host_bytes = 255; // a DNS name is at most 253
inline constexpr std::size_t max_uri_user_bytes = 256;
inline constexpr std::size_t max_uri_password_bytes = 4096;
inline constexpr std::size_t max_uri_database_bytes = 4096;
inline constexpr std::size_t max_uri_query_key_bytes = 128;
inline constexpr std::size_t max_uri_query_value_bytes = 8192;

// Parses a URI; throws zolviai::ConfigError naming the problem (never the password), or the
// part that is longer than its limit above.
DatabaseUri parse_database_uri(std::string_view uri);

// Builds a URI from connection values. User, password and database name are
// percent-encoded, so that '@', '/', ':', '#' and the like in a password survive; values
// made only of letters, digits and "-._~" come out unchanged.
std::string build_database_uri(std::string_view scheme, std::string_view user,
                               std::string_view password, std::string_view host,
                               std::string_view port, std::string_view database);

// The URI with the password replaced by "***", for messages and logs.
std::string redact_database_uri(std::string_view uri);

} // namespace zolviai::sql
