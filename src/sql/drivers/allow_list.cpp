#include "sql/drivers/policies.hpp"

#include <cctype>

namespace zolviai::sql::drivers {

FunctionAllowList::FunctionAllowList(std::string_view builtin_list,
                                     const std::vector<std::string>& host_extras,
                                     std::string builtin_schema, bool fold_case)
    : builtin_schema_(std::move(builtin_schema)), fold_case_(fold_case) {
    std::size_t i = 0;
    while (i < builtin_list.size()) {
        const std::size_t end = std::min(builtin_list.find('\n', i), builtin_list.size());
        std::string_view line = builtin_list.substr(i, end - i);
        i = end + 1;
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        std::size_t k = 0;
        while (k < line.size()) {
            while (k < line.size() && std::isspace(static_cast<unsigned char>(line[k]))) {
                ++k;
            }
            const std::size_t start = k;
            while (k < line.size() && !std::isspace(static_cast<unsigned char>(line[k]))) {
                ++k;
            }
            if (k > start) {
                builtins_.insert(key(line.substr(start, k - start)));
            }
        }
    }
    for (const std::string& extra : host_extras) {
        if (!extra.empty()) {
            extras_.insert(key(extra));
        }
    }
}

std::string FunctionAllowList::key(std::string_view text) const {
    std::string out(text);
    if (fold_case_) {
        for (char& c : out) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return out;
}

bool FunctionAllowList::allows(std::string_view schema, std::string_view name) const {
    const std::string n = key(name);
    if (schema.empty()) {
        return builtins_.count(n) != 0 || extras_.count(n) != 0;
    }
    const std::string s = key(schema);
    if (!builtin_schema_.empty() && s == key(builtin_schema_) && builtins_.count(n) != 0) {
        return true;
    }
    return extras_.count(s + "." + n) != 0;
}

} // namespace zolviai::sql::drivers
