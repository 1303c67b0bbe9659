#include "zolviai/dbtool/settings.hpp"

#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"

#include <cstdlib>
#include <mutex>

namespace zolviai::dbtool {

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

DatabaseSettings from_environment() {
    DatabaseSettings s;
    s.db_user = environment("db_user");
    if (!s.db_user) {
        s.db_user = default_db_user;
    }
    s.db_password = environment("db_password");
    if (!s.db_password) {
        s.db_password = default_db_password;
    }
    s.db_host = environment("db_host");
    s.db_name = environment("db_name");
    return s;
}

// The process-wide settings and the lock every read and change takes, so that a reader gets
// either the whole of one set_database_config or the whole of the next.
struct Store {
    std::mutex mutex;
    DatabaseSettings settings = from_environment();
};

Store& store() {
    static Store s;
    return s;
}

bool invalid(const std::optional<std::string>& value) {
    return !value || value->empty();
}

} // namespace

void load_database_settings() {
    (void)store();
}

DatabaseSettings database_settings() {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    return s.settings;
}

void set_database_config(std::optional<std::string> name, std::optional<std::string> user,
                         std::optional<std::string> password, std::optional<std::string> host,
                         std::optional<std::int64_t> port) {
    if (!name || !user || !password || !host || !port) {
        throw ValueError("All parameters must be provided and 'port' must be an integer.");
    }
    DatabaseSettings next;
    next.db_name = std::move(name);
    next.db_user = std::move(user);
    next.db_password = std::move(password);
    next.db_host = std::move(host);
    next.db_port = *port;
    Store& s = store();
    std::lock_guard lock(s.mutex);
    s.settings = std::move(next);
}

std::vector<std::string> check_db_config_variables() {
    const DatabaseSettings s = database_settings();
    std::vector<std::string> names;
    const std::pair<const char*, const std::optional<std::string>*> texts[] = {
        {"db_name", &s.db_name},
        {"db_user", &s.db_user},
        {"db_password", &s.db_password},
        {"db_host", &s.db_host},
    };
    for (const auto& [name, value] : texts) {
        if (invalid(*value)) {
            names.emplace_back(name);
        }
    }
    // db_port always holds an integer, and every integer (0 included) counts as set.
    if (names.empty()) {
        print_line("All configuration variables are set correctly.");
        return names;
    }
    std::string line = "The following configuration variables are invalid: ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        line += (i == 0 ? "" : ", ") + names[i];
    }
    print_line(line);
    return names;
}

} // namespace zolviai::dbtool
