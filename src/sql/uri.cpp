#include "zolviai/sql/uri.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"
#include "sql/drivers/engine_traits.hpp"

#include <cctype>
#include <curl/curl.h>
#include <memory>

namespace zolviai::sql {

namespace {

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

// Decodes %XX escapes; '+' becomes a space only in query values.
std::string percent_decode(std::string_view s, bool plus_is_space) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out.push_back(
                static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else if (c == '+' && plus_is_space) {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string percent_encode(std::string_view s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

// A part longer than its limit is refused by name; the message never holds the part itself.
void check_length(const std::string& what, std::size_t length, std::size_t limit) {
    if (length > limit) {
        throw ConfigError(what + " of the database URI is " + std::to_string(length) +
                          " bytes long; the limit is " + std::to_string(limit) + " bytes");
    }
}

// Reads one part; an absent part gives "".
std::string part(CURLU* url, CURLUPart which, unsigned flags) {
    char* value = nullptr;
    if (curl_url_get(url, which, &value, flags) != CURLUE_OK || value == nullptr) {
        return "";
    }
    std::string out(value);
    curl_free(value);
    return out;
}

void parse_query(std::string_view query, DatabaseUri& out) {
    std::size_t start = 0;
    while (start <= query.size() && !query.empty()) {
        std::size_t end = query.find('&', start);
        if (end == std::string_view::npos) {
            end = query.size();
        }
        const std::string_view pair = query.substr(start, end - start);
        if (!pair.empty()) {
            const std::size_t eq = pair.find('=');
            const std::string key = percent_decode(pair.substr(0, eq), true);
            check_length("a query parameter name", key.size(), max_uri_query_key_bytes);
            const std::string value =
                eq == std::string_view::npos ? "" : percent_decode(pair.substr(eq + 1), true);
            check_length("the value of query parameter '" + utf8_shorten(key, 40) + "'",
                         value.size(), max_uri_query_value_bytes);
            out.query[key] = value;
        }
        start = end + 1;
    }
}

DatabaseUri parse_sqlite(std::string_view uri, std::string scheme) {
    DatabaseUri out;
    out.scheme = std::move(scheme);
    out.dialect = drivers::engine(drivers::EngineId::Sqlite).dialect;
    std::string_view rest = uri.substr(uri.find("://") + 3);
    const std::size_t q = rest.find('?');
    if (q != std::string_view::npos) {
        parse_query(rest.substr(q + 1), out);
        rest = rest.substr(0, q);
    }
    if (rest.empty()) {
        out.database = ""; // in memory
        return out;
    }
    if (rest.front() != '/') {
        throw ConfigError("a SQLite URI names no host: write sqlite:///relative/path.db or "
                          "sqlite:////absolute/path.db, not '" +
                          std::string(uri) + "'");
    }
    out.database = percent_decode(rest.substr(1), false);
    check_length("the database path", out.database.size(), max_uri_database_bytes);
    return out;
}

} // namespace

DatabaseUri parse_database_uri(std::string_view uri) {
    if (uri.size() > max_database_uri_bytes) {
        throw ConfigError("the database URI is " + std::to_string(uri.size()) +
                          " bytes long; the limit is " + std::to_string(max_database_uri_bytes) +
                          " bytes");
    }
    const std::size_t sep = uri.find("://");
    if (sep == std::string_view::npos || sep == 0) {
        throw ConfigError("not a database URI (expected scheme://...): '" +
                          redact_database_uri(uri) + "'");
    }
    std::string scheme(uri.substr(0, sep));
    for (char& c : scheme) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const drivers::EngineTraits* engine = drivers::engine_for_scheme(scheme);
    if (engine == nullptr) {
        throw ConfigError("unsupported database URI scheme '" + scheme +
                          "': use postgresql, mysql, mssql or sqlite (optionally with a "
                          "+driver suffix such as postgresql+psycopg2)");
    }
    if (engine->id == drivers::EngineId::Sqlite) {
        return parse_sqlite(uri, scheme);
    }

    std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    const std::string text(uri);
    const CURLUcode rc =
        curl_url_set(url.get(), CURLUPART_URL, text.c_str(),
                     CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS | CURLU_ALLOW_SPACE);
    if (rc != CURLUE_OK) {
        throw ConfigError("malformed database URI '" + redact_database_uri(uri) +
                          "': " + curl_url_strerror(rc) +
                          " (characters such as @ / : # in a user or password must be "
                          "percent-encoded)");
    }
    DatabaseUri out;
    out.scheme = scheme;
    out.dialect = engine->dialect;
    out.user = percent_decode(part(url.get(), CURLUPART_USER, 0), false);
    out.password = percent_decode(part(url.get(), CURLUPART_PASSWORD, 0), false);
    out.host = part(url.get(), CURLUPART_HOST, 0);
    if (out.host.size() > 2 && out.host.front() == '[' && out.host.back() == ']') {
        out.host = out.host.substr(1, out.host.size() - 2);
    }
    check_length("the user name", out.user.size(), max_uri_user_bytes);
    check_length("the password", out.password.size(), max_uri_password_bytes);
    check_length("the host name", out.host.size(), max_uri_host_bytes);
    const std::string port = part(url.get(), CURLUPART_PORT, 0);
    if (!port.empty()) {
        out.port = std::stoi(port);
    }
    std::string path = part(url.get(), CURLUPART_PATH, 0);
    if (!path.empty() && path.front() == '/') {
        path.erase(0, 1);
    }
    out.database = percent_decode(path, false);
    check_length("the database name", out.database.size(), max_uri_database_bytes);
    parse_query(part(url.get(), CURLUPART_QUERY, 0), out);
    if (out.host.empty()) {
        throw ConfigError("database URI '" + redact_database_uri(uri) + "' names no host");
    }
    return out;
}

std::string build_database_uri(std::string_view scheme, std::string_view user,
                               std::string_view password, std::string_view host,
                               std::string_view port, std::string_view database) {
    std::string out(scheme);
    out += "://";
    out += percent_encode(user);
    out += ':';
    out += percent_encode(password);
    out += '@';
    out += host;
    out += ':';
    out += port;
    out += '/';
    out += percent_encode(database);
    return out;
}

std::string redact_database_uri(std::string_view uri) {
    const std::size_t sep = uri.find("://");
    // The credentials end at the last '@' before the path, so an unescaped '@' in a
    // password is hidden too.
    const std::size_t start = sep == std::string_view::npos ? 0 : sep + 3;
    std::size_t at = uri.rfind('@');
    if (at == std::string_view::npos || at < start) {
        return std::string(uri);
    }
    const std::size_t colon = uri.find(':', start);
    if (colon == std::string_view::npos || colon > at) {
        return std::string(uri);
    }
    return std::string(uri.substr(0, colon + 1)) + "***" + std::string(uri.substr(at));
}

} // namespace zolviai::sql
