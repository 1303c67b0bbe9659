#include "sql/drivers/policies.hpp"

#include <cctype>

namespace zolviai::sql::drivers {

namespace {

// A name as the list keys it (ASCII lower case when the engine folds case), without an
// allocation for the names calls have: the guard looks up every call of every statement.
class Key {
public:
    Key(std::string_view schema, std::string_view name, bool fold) {
        const std::size_t n = schema.empty() ? name.size() : schema.size() + 1 + name.size();
        char* out = n <= sizeof small_ ? small_ : (large_.resize(n), large_.data());
        std::size_t k = 0;
        if (!schema.empty()) {
            for (char c : schema) {
                out[k++] = c;
            }
            out[k++] = '.';
        }
        for (char c : name) {
            out[k++] = c;
        }
        if (fold) {
            for (std::size_t i = 0; i < n; ++i) {
                if (out[i] >= 'A' && out[i] <= 'Z') {
                    out[i] = static_cast<char>(out[i] - 'A' + 'a');
                }
            }
        }
        view_ = std::string_view(out, n);
    }
    std::string_view view() const { return view_; }

private:
    char small_[128];
    std::string large_;
    std::string_view view_;
};

} // namespace

FunctionAllowList::FunctionAllowList(std::string_view builtin_list,
                                     const std::vector<std::string>& host_extras,
                                     std::string builtin_schema, bool fold_case)
    : builtin_schema_(std::move(builtin_schema)), fold_case_(fold_case) {
    builtin_schema_ = key(builtin_schema_);
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
    const Key bare("", name, fold_case_);
    if (schema.empty()) {
        return builtins_.count(bare.view()) != 0 || extras_.count(bare.view()) != 0;
    }
    if (!builtin_schema_.empty() && Key("", schema, fold_case_).view() == builtin_schema_ &&
        builtins_.count(bare.view()) != 0) {
        return true;
    }
    return extras_.count(Key(schema, name, fold_case_).view()) != 0;
}

bool FunctionAllowList::host_allows(std::string_view schema, std::string_view name) const {
    return extras_.count(Key("", name, fold_case_).view()) != 0 ||
           extras_.count(Key(schema, name, fold_case_).view()) != 0;
}

} // namespace zolviai::sql::drivers
