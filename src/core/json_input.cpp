#include "zolviai/core/json_input.hpp"

#include <cmath>
#include <limits>
#include <unordered_map>
#include <vector>

namespace zolviai {
namespace {

// Objects up to this many members find a repeated key by looking through them; wider ones
// keep an index, so that a wide object does not cost time quadratic in its width.
constexpr std::size_t kIndexFrom = 32;

// Builds the value from the parser's events with an explicit stack of open containers (no
// recursion), refusing the first container past the depth limit.
class LimitedBuilder {
public:
    LimitedBuilder(Value& root, std::size_t max_depth) : root_(root), max_depth_(max_depth) {}

    bool null() { return put(Value(nullptr)) != nullptr; }
    bool boolean(bool b) { return put(Value(b)) != nullptr; }
    bool number_integer(Value::number_integer_t n) { return put(Value(n)) != nullptr; }
    bool number_unsigned(Value::number_unsigned_t n) { return put(Value(n)) != nullptr; }
    bool number_float(Value::number_float_t x, const Value::string_t& /*text*/) {
        return put(Value(x)) != nullptr;
    }
    bool string(Value::string_t& s) { return put(Value(std::move(s))) != nullptr; }
    bool binary(Value::binary_t& b) { return put(Value::binary(std::move(b))) != nullptr; }

    bool start_object(std::size_t /*elements*/) { return open(Value::value_t::object); }
    bool start_array(std::size_t /*elements*/) { return open(Value::value_t::array); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(Value::string_t& k) {
        key_ = std::move(k);
        return true;
    }

    bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                     const Value::exception& e) {
        fault_ = JsonInputError::Reason::Malformed;
        message_ = e.what();
        return false;
    }

    // Why the parse stopped, after sax_parse answered false.
    JsonInputError error() const { return JsonInputError(fault_, message_); }

private:
    struct Frame {
        Value* container;
        std::unordered_map<std::string, std::size_t> index; // key -> position, once wide
    };

    bool open(Value::value_t type) {
        if (stack_.size() >= max_depth_) {
            fault_ = JsonInputError::Reason::TooDeep;
            message_ = "JSON nests arrays and objects deeper than the limit of " +
                       std::to_string(max_depth_) + " levels";
            return false;
        }
        Value* slot = put(Value(type));
        stack_.push_back(Frame{slot, {}});
        return true;
    }

    bool close() {
        stack_.pop_back();
        return true;
    }

    // Places a finished value: the root, the next element of the open array, or the member of
    // the open object under the last key. Returns where it now lives.
    Value* put(Value&& v) {
        if (stack_.empty()) {
            root_ = std::move(v);
            return &root_;
        }
        Frame& top = stack_.back();
        if (top.container->is_array()) {
            auto& array = top.container->get_ref<Value::array_t&>();
            array.push_back(std::move(v));
            return &array.back();
        }
        return put_member(top, std::move(v));
    }

    Value* put_member(Frame& top, Value&& v) {
        auto& object = top.container->get_ref<Value::object_t&>();
        // ordered_map is a vector of pairs; appending to it directly skips the linear search
        // its own insertion makes, which this function has already done.
        auto& members = static_cast<Value::object_t::Container&>(object);
        if (!top.index.empty()) {
            const auto [it, added] = top.index.try_emplace(key_, members.size());
            if (!added) {
                members[it->second].second = std::move(v);
                return &members[it->second].second;
            }
        } else {
            for (auto& member : members) {
                if (member.first == key_) {
                    member.second = std::move(v);
                    return &member.second;
                }
            }
            if (members.size() + 1 >= kIndexFrom) {
                for (std::size_t i = 0; i < members.size(); ++i) {
                    top.index.emplace(members[i].first, i);
                }
                top.index.emplace(key_, members.size());
            }
        }
        members.emplace_back(std::move(key_), std::move(v));
        return &members.back().second;
    }

    Value& root_;
    std::size_t max_depth_;
    std::vector<Frame> stack_;
    std::string key_;
    JsonInputError::Reason fault_ = JsonInputError::Reason::Malformed;
    std::string message_;
};

} // namespace

Value parse_json_input(std::string_view text, const JsonLimits& limits) {
    if (text.size() > limits.max_bytes) {
        throw JsonInputError(JsonInputError::Reason::TooLarge,
                             "JSON text of " + std::to_string(text.size()) +
                                 " bytes is over the limit of " + std::to_string(limits.max_bytes) +
                                 " bytes");
    }
    Value root;
    LimitedBuilder builder(root, limits.max_depth);
    if (!Value::sax_parse(text.data(), text.data() + text.size(), &builder)) {
        // root may hold a part of the document: at most max_depth deep, so it goes safely.
        throw builder.error();
    }
    return root;
}

const Value* find_member(const Value* document, std::string_view key) {
    if (document == nullptr || !document->is_object()) {
        return nullptr;
    }
    const auto it = document->find(key);
    return it == document->end() ? nullptr : &*it;
}

const Value* find_member(const Value& document, std::string_view key) {
    return find_member(&document, key);
}

Value* find_member(Value* document, std::string_view key) {
    return const_cast<Value*>(find_member(static_cast<const Value*>(document), key));
}

const Value* find_element(const Value* document, std::size_t index) {
    if (document == nullptr || !document->is_array() || index >= document->size()) {
        return nullptr;
    }
    return &(*document)[index];
}

Value* find_element(Value* document, std::size_t index) {
    return const_cast<Value*>(find_element(static_cast<const Value*>(document), index));
}

std::optional<std::string> string_member(const Value* document, std::string_view key) {
    const Value* v = find_member(document, key);
    if (v == nullptr || !v->is_string()) {
        return std::nullopt;
    }
    return v->get<std::string>();
}

std::optional<long> integer_member(const Value* document, std::string_view key) {
    const Value* v = find_member(document, key);
    if (v == nullptr) {
        return std::nullopt;
    }
    if (v->is_number_integer()) { // signed, or unsigned
        if (v->is_number_unsigned() &&
            v->get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<long>::max())) {
            return std::nullopt;
        }
        return v->get<long>();
    }
    if (v->is_number_float()) {
        const double x = v->get<double>();
        // 2^63 is exactly representable; anything below it fits a long.
        if (std::isfinite(x) && x == std::trunc(x) && x >= -9223372036854775808.0 &&
            x < 9223372036854775808.0) {
            return static_cast<long>(x);
        }
    }
    return std::nullopt;
}

} // namespace zolviai
