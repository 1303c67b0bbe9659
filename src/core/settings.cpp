#include "zolviai/core/settings.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <sstream>

namespace zolviai {
namespace {

constexpr std::string_view kPrefix = "ZOLVI_";
constexpr std::string_view kOldPrefix = "ZOLVIAI_";

std::optional<std::string> non_empty(std::optional<std::string> value) {
    if (value && value->empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> find(const std::map<std::string, std::string>& values,
                                const std::string& name) {
    const auto it = values.find(name);
    return it == values.end() ? std::nullopt : non_empty(it->second);
}

void notice_deprecated(const std::string& old_name, const std::string& name) {
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        std::fprintf(stderr, "zolvi: %s is deprecated, set %s instead\n", old_name.c_str(),
                     name.c_str());
    }
}

std::mutex& installed_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const Settings>& installed() {
    static auto* current = new std::shared_ptr<const Settings>(std::make_shared<Settings>());
    return *current;
}

} // namespace

std::string deprecated_alias(const std::string& name) {
    if (name.rfind(kPrefix, 0) != 0) {
        return "";
    }
    return std::string(kOldPrefix) + name.substr(kPrefix.size());
}

Settings& Settings::set_flag(const std::string& name, std::string value) {
    flags_[name] = std::move(value);
    return *this;
}

Settings& Settings::set_environment(Lookup lookup) {
    environment_ = std::move(lookup);
    return *this;
}

Settings& Settings::set_dotenv(std::map<std::string, std::string> values) {
    dotenv_ = std::move(values);
    return *this;
}

std::optional<std::string> Settings::layered(const std::string& name) const {
    if (environment_) {
        if (auto value = non_empty(environment_(name))) {
            return value;
        }
    }
    return find(dotenv_, name);
}

std::optional<std::string> Settings::raw(const std::string& name) const {
    return layered(name);
}

std::optional<std::string> Settings::get(const std::string& name) const {
    if (auto it = flags_.find(name); it != flags_.end()) {
        return it->second; // a flag may set a value to empty on purpose
    }
    const std::string old_name = deprecated_alias(name);
    if (environment_) {
        if (auto value = non_empty(environment_(name))) {
            return value;
        }
        if (!old_name.empty()) {
            if (auto value = non_empty(environment_(old_name))) {
                notice_deprecated(old_name, name);
                return value;
            }
        }
    }
    if (auto value = find(dotenv_, name)) {
        return value;
    }
    if (!old_name.empty()) {
        if (auto value = find(dotenv_, old_name)) {
            notice_deprecated(old_name, name);
            return value;
        }
    }
    return std::nullopt;
}

std::string Settings::get(const std::string& name, const std::string& fallback) const {
    auto value = get(name);
    return value && !value->empty() ? *value : fallback;
}

bool Settings::enabled(const std::string& name) const {
    std::string value = get(name, "");
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return value == "1" || value == "true" || value == "yes" || value == "on";
}

std::map<std::string, std::string> Settings::parse_dotenv(const std::string& text) {
    std::map<std::string, std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        line = line.substr(first);
        if (line.rfind("export ", 0) == 0) {
            line = line.substr(7);
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        key.erase(key.find_last_not_of(" \t") + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r") + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        } else if (const auto hash = value.find(" #"); hash != std::string::npos) {
            value.erase(hash);
            value.erase(value.find_last_not_of(" \t") + 1);
        }
        if (!key.empty()) {
            out[key] = value;
        }
    }
    return out;
}

std::shared_ptr<const Settings> settings() {
    std::lock_guard lock(installed_mutex());
    return installed();
}

namespace {
std::atomic<bool> g_installed{false};
}

void install_settings(Settings settings) {
    auto next = std::make_shared<const Settings>(std::move(settings));
    std::lock_guard lock(installed_mutex());
    installed() = std::move(next);
    g_installed = true;
}

bool settings_installed() {
    return g_installed;
}

} // namespace zolviai
