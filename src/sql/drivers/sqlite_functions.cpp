// Linear-time replacements for SQLite built-ins that compare every position of one argument
// with the whole of another. Each follows SQLite's own function (func.c) in its treatment of
// NULLs, types, empty arguments, malformed UTF-8 and size limits; only the search differs.
#include "sql/drivers/sqlite_functions.hpp"

#include "zolviai/core/text.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <sqlite3.h>
#include <string.h> // memmem
#include <string>
#include <vector>

namespace zolviai::sql::drivers {

namespace {

std::int64_t length_limit(sqlite3_context* context) {
    return sqlite3_limit(sqlite3_context_db_handle(context), SQLITE_LIMIT_LENGTH, -1);
}

// instr(haystack, needle): the 1-based position of the first match, in characters for text and
// bytes for blobs; 0 when there is none; 1 for an empty needle. A blob beside a non-blob is
// read as text, as SQLite does, on copies so that the caller's values keep their type.
void bounded_instr(sqlite3_context* context, int, sqlite3_value** argv) {
    const int haystack_type = sqlite3_value_type(argv[0]);
    const int needle_type = sqlite3_value_type(argv[1]);
    if (haystack_type == SQLITE_NULL || needle_type == SQLITE_NULL) {
        return;
    }
    if (sqlite3_value_bytes(argv[1]) == 0) {
        sqlite3_result_int(context, 1);
        return;
    }
    sqlite3_value* haystack_copy = nullptr;
    sqlite3_value* needle_copy = nullptr;
    const unsigned char* haystack = nullptr;
    const unsigned char* needle = nullptr;
    int haystack_bytes = 0;
    int needle_bytes = 0;
    bool text = true;
    if (haystack_type == SQLITE_BLOB && needle_type == SQLITE_BLOB) {
        haystack = static_cast<const unsigned char*>(sqlite3_value_blob(argv[0]));
        haystack_bytes = sqlite3_value_bytes(argv[0]);
        needle = static_cast<const unsigned char*>(sqlite3_value_blob(argv[1]));
        needle_bytes = sqlite3_value_bytes(argv[1]);
        text = false;
    } else if (haystack_type != SQLITE_BLOB && needle_type != SQLITE_BLOB) {
        haystack = sqlite3_value_text(argv[0]);
        haystack_bytes = sqlite3_value_bytes(argv[0]);
        needle = sqlite3_value_text(argv[1]);
        needle_bytes = sqlite3_value_bytes(argv[1]);
    } else {
        haystack_copy = sqlite3_value_dup(argv[0]);
        needle_copy = sqlite3_value_dup(argv[1]);
        if (haystack_copy != nullptr && needle_copy != nullptr) {
            haystack = sqlite3_value_text(haystack_copy);
            haystack_bytes = sqlite3_value_bytes(haystack_copy);
            needle = sqlite3_value_text(needle_copy);
            needle_bytes = sqlite3_value_bytes(needle_copy);
        }
    }
    if (needle == nullptr || (haystack_bytes > 0 && haystack == nullptr)) {
        sqlite3_result_error_nomem(context);
    } else {
        // SQLite tries the positions where a character starts (every byte of a blob), the
        // first byte always, and counts them.
        std::size_t at = 0;
        std::int64_t position = 0;
        const auto total = static_cast<std::size_t>(haystack_bytes);
        const auto size = static_cast<std::size_t>(needle_bytes);
        while (size <= total && at <= total - size) {
            const void* hit = memmem(haystack + at, total - at, needle, size);
            if (hit == nullptr) {
                break;
            }
            const std::size_t p = static_cast<const unsigned char*>(hit) - haystack;
            if (!text || p == 0 || !is_utf8_continuation(haystack[p])) {
                position = 1;
                for (std::size_t i = 1; i <= p; ++i) {
                    position += (!text || !is_utf8_continuation(haystack[i])) ? 1 : 0;
                }
                break;
            }
            at = p + 1;
        }
        sqlite3_result_int64(context, position);
    }
    sqlite3_value_free(haystack_copy);
    sqlite3_value_free(needle_copy);
}

// replace(text, pattern, replacement): every non-overlapping match, left to right, bytewise.
// The result is text; a pattern whose first byte is NUL returns the first argument unchanged,
// whatever its type.
void bounded_replace(sqlite3_context* context, int, sqlite3_value** argv) {
    const unsigned char* text = sqlite3_value_text(argv[0]);
    if (text == nullptr) {
        return;
    }
    const auto text_bytes = static_cast<std::size_t>(sqlite3_value_bytes(argv[0]));
    const unsigned char* pattern = sqlite3_value_text(argv[1]);
    if (pattern == nullptr) {
        return;
    }
    if (pattern[0] == 0) {
        sqlite3_result_value(context, argv[0]);
        return;
    }
    const auto pattern_bytes = static_cast<std::size_t>(sqlite3_value_bytes(argv[1]));
    const unsigned char* replacement = sqlite3_value_text(argv[2]);
    if (replacement == nullptr) {
        return;
    }
    const auto replacement_bytes = static_cast<std::size_t>(sqlite3_value_bytes(argv[2]));
    const std::int64_t limit = length_limit(context);
    // SQLite allocates the input's size plus its terminator first, under the length limit.
    if (static_cast<std::int64_t>(text_bytes) + 1 > limit) {
        sqlite3_result_error_toobig(context);
        return;
    }
    // Two passes over the matches, counting then copying, so that nothing grows with their
    // number.
    const auto next_match = [&](std::size_t at) -> std::size_t {
        if (pattern_bytes > text_bytes || at > text_bytes - pattern_bytes) {
            return text_bytes;
        }
        const void* hit = memmem(text + at, text_bytes - at, pattern, pattern_bytes);
        return hit == nullptr ? text_bytes : static_cast<const unsigned char*>(hit) - text;
    };
    std::int64_t matches = 0;
    for (std::size_t p = next_match(0); p < text_bytes; p = next_match(p + pattern_bytes)) {
        ++matches;
    }
    const std::int64_t out_bytes = static_cast<std::int64_t>(text_bytes) +
                                   matches * (static_cast<std::int64_t>(replacement_bytes) -
                                              static_cast<std::int64_t>(pattern_bytes));
    if (out_bytes > limit) {
        sqlite3_result_error_toobig(context);
        return;
    }
    auto* out =
        static_cast<unsigned char*>(sqlite3_malloc64(static_cast<sqlite3_uint64>(out_bytes) + 1));
    if (out == nullptr) {
        sqlite3_result_error_nomem(context);
        return;
    }
    std::size_t from = 0;
    std::size_t to = 0;
    for (std::size_t p = next_match(0); p < text_bytes; p = next_match(p + pattern_bytes)) {
        std::memcpy(out + to, text + from, p - from);
        to += p - from;
        std::memcpy(out + to, replacement, replacement_bytes);
        to += replacement_bytes;
        from = p + pattern_bytes;
    }
    std::memcpy(out + to, text + from, text_bytes - from);
    to += text_bytes - from;
    out[to] = 0;
    sqlite3_result_text64(context, reinterpret_cast<const char*>(out), to, sqlite3_free,
                          SQLITE_UTF8);
}

// The characters of trim's second argument as SQLite splits them: a byte from 0xC0 up with the
// continuation bytes that follow it, or any other single byte, up to the first NUL. When
// several match, SQLite takes the first in the argument's order, whatever its length; a trie
// keeps that order (the smallest index ending at each node) so that finding the characters a
// position starts with costs the length walked, never the size of the set.
class CharacterSet {
public:
    static constexpr int none = INT_MAX;

    explicit CharacterSet(const unsigned char* set) {
        std::fill(std::begin(root_), std::end(root_), -1);
        for (const unsigned char* z = set; *z != 0; ++count_) {
            const unsigned char* start = z;
            if (*z++ >= 0xC0) {
                while (is_utf8_continuation(*z)) {
                    ++z;
                }
            }
            add(start, z, count_);
        }
    }

    // How many characters the argument had, duplicates included.
    std::int64_t count() const { return count_; }

    int root_child(unsigned char byte) const { return root_[byte]; }
    int child(int node, unsigned char byte) const {
        for (int c = nodes_[node].first_child; c >= 0; c = nodes_[c].next_sibling) {
            if (nodes_[c].byte == byte) {
                return c;
            }
        }
        return -1;
    }
    int order(int node) const { return nodes_[node].order; }

private:
    struct Node {
        int first_child = -1;
        int next_sibling = -1;
        int order = none;
        unsigned char byte = 0;
    };

    void add(const unsigned char* begin, const unsigned char* end, int index) {
        int node = root_[*begin];
        if (node < 0) {
            node = root_[*begin] = new_node(*begin);
        }
        for (const unsigned char* z = begin + 1; z < end; ++z) {
            int next = child(node, *z);
            if (next < 0) {
                next = new_node(*z);
                nodes_[next].next_sibling = nodes_[node].first_child;
                nodes_[node].first_child = next;
            }
            node = next;
        }
        if (nodes_[node].order == none) {
            nodes_[node].order = index;
        }
    }

    int new_node(unsigned char byte) {
        Node n;
        n.byte = byte;
        nodes_.push_back(n);
        return static_cast<int>(nodes_.size()) - 1;
    }

    std::vector<Node> nodes_;
    int root_[256];
    int count_ = 0;
};

// Trimming from the left: the first character of the set (in its order) the input starts
// with. Below a byte under 0xC0 the trie has no children, and after a lead byte only
// continuation bytes, so the walk from a position never passes the continuation bytes that
// follow it: each lead byte is walked from once.
std::size_t trim_left(const CharacterSet& set, const unsigned char* in, std::size_t begin,
                      std::size_t end) {
    while (begin < end) {
        int node = set.root_child(in[begin]);
        if (node < 0) {
            break;
        }
        int best = set.order(node);
        std::size_t best_length = 1;
        for (std::size_t k = begin + 1; k < end; ++k) {
            node = set.child(node, in[k]);
            if (node < 0) {
                break;
            }
            if (set.order(node) < best) {
                best = set.order(node);
                best_length = k - begin + 1;
            }
        }
        if (best == CharacterSet::none) {
            break;
        }
        begin += best_length;
    }
    return begin;
}

// Trimming from the right: a character of several bytes ends the input only as the lead byte
// before a run of continuation bytes up to the end, so each end has at most two candidates,
// that one and the last byte alone. The candidates of one run are prefixes of the same string:
// they are looked up in one walk, kept while the end moves back through the run.
std::size_t trim_right(const CharacterSet& set, const unsigned char* in, std::size_t begin,
                       std::size_t end) {
    std::size_t run_start = SIZE_MAX; // first continuation byte of the run looked up
    std::vector<int> run_orders;      // [length] order of the lead byte and length-1 bytes
    while (end > begin) {
        const unsigned char last = in[end - 1];
        const int single = set.root_child(last);
        int best = single < 0 ? CharacterSet::none : set.order(single);
        std::size_t best_length = 1;
        if (is_utf8_continuation(last)) {
            if (run_start == SIZE_MAX || end - 1 < run_start) {
                run_start = end - 1;
                while (run_start > begin && is_utf8_continuation(in[run_start - 1])) {
                    --run_start;
                }
                run_orders.assign(1, CharacterSet::none);
                if (run_start > begin && in[run_start - 1] >= 0xC0) {
                    int node = set.root_child(in[run_start - 1]);
                    run_orders.push_back(CharacterSet::none);
                    for (std::size_t k = run_start; node >= 0 && k < end; ++k) {
                        node = set.child(node, in[k]);
                        run_orders.push_back(node < 0 ? CharacterSet::none : set.order(node));
                    }
                }
            }
            const std::size_t length = end - run_start + 1;
            if (length < run_orders.size() && run_orders[length] < best) {
                best = run_orders[length];
                best_length = length;
            }
        }
        if (best == CharacterSet::none) {
            break;
        }
        end -= best_length;
    }
    return end;
}

// trim/ltrim/rtrim(text, characters); the user data says which ends: 1 left, 2 right, 3 both.
void bounded_trim(sqlite3_context* context, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        return;
    }
    const unsigned char* in = sqlite3_value_text(argv[0]);
    if (in == nullptr) {
        return;
    }
    const auto in_bytes = static_cast<std::size_t>(sqlite3_value_bytes(argv[0]));
    const unsigned char* characters = sqlite3_value_text(argv[1]);
    if (characters == nullptr) {
        return;
    }
    const CharacterSet set(characters);
    std::size_t begin = 0;
    std::size_t end = in_bytes;
    if (set.count() > 0) {
        // SQLite allocates a pointer and a length per character, under the length limit.
        if (set.count() * static_cast<std::int64_t>(sizeof(char*) + sizeof(unsigned)) >
            length_limit(context)) {
            sqlite3_result_error_toobig(context);
            return;
        }
        const auto ends =
            static_cast<int>(reinterpret_cast<std::intptr_t>(sqlite3_user_data(context)));
        if (ends & 1) {
            begin = trim_left(set, in, begin, end);
        }
        if (ends & 2) {
            end = trim_right(set, in, begin, end);
        }
    }
    sqlite3_result_text64(context, reinterpret_cast<const char*>(in + begin), end - begin,
                          SQLITE_TRANSIENT, SQLITE_UTF8);
}

// printf/format: SQLite repeats a %c as many times as its precision says, one append per
// repetition, and keeps looping after the length limit has made every append fail:
// printf('%.*c', 2147483647, 'x') spends some 13 s in one call. Every repetition adds at least
// one byte, so when the precisions of the %c directives add up to more than the length limit
// the output cannot fit: the call fails at once with "string or blob too big" (SQLite's own
// would end with NULL). Otherwise SQLite's own printf formats the arguments, on a private
// connection without these replacements, so that every other format is exactly its own.
class PrintfDelegate {
public:
    explicit PrintfDelegate(const char* name) : name_(name) {}
    PrintfDelegate(const PrintfDelegate&) = delete;
    PrintfDelegate& operator=(const PrintfDelegate&) = delete;
    ~PrintfDelegate() {
        for (sqlite3_stmt* stmt : by_arity_) {
            sqlite3_finalize(stmt);
        }
        sqlite3_close_v2(db_);
    }

    static void destroy(void* self) { delete static_cast<PrintfDelegate*>(self); }

    void call(sqlite3_context* context, int argc, sqlite3_value** argv) {
        const std::int64_t limit = length_limit(context);
        if (argc >= 1) {
            const unsigned char* format = sqlite3_value_text(argv[0]);
            if (format != nullptr && repetitions(format, argc, argv) > limit) {
                sqlite3_result_error_toobig(context);
                return;
            }
        }
        sqlite3_stmt* stmt = statement(argc);
        if (stmt == nullptr) {
            sqlite3_result_error(context, "printf is not available", -1);
            return;
        }
        sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, static_cast<int>(limit));
        for (int i = 0; i < argc; ++i) {
            sqlite3_bind_value(stmt, i + 1, argv[i]);
        }
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            sqlite3_result_value(context, sqlite3_column_value(stmt, 0));
        } else if (sqlite3_errcode(db_) == SQLITE_TOOBIG) {
            sqlite3_result_error_toobig(context);
        } else if (sqlite3_errcode(db_) == SQLITE_NOMEM) {
            sqlite3_result_error_nomem(context);
        } else {
            sqlite3_result_error(context, sqlite3_errmsg(db_), -1);
        }
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }

private:
    // An upper bound of the %c repetitions a format asks for. Directives are read loosely (any
    // run of flag, width, precision and size characters), every number in a %c directive
    // counts, and a '*' counts as the largest integer among the arguments: never less than
    // what SQLite reads, with its 32-bit arithmetic.
    static std::int64_t repetitions(const unsigned char* format, int argc, sqlite3_value** argv) {
        std::int64_t largest_argument = -1;
        std::int64_t total = 0;
        for (const unsigned char* p = format; *p != 0; ++p) {
            if (*p != '%') {
                continue;
            }
            std::int64_t most = 0;
            bool star = false;
            const unsigned char* q = p + 1;
            while (*q != 0 && std::strchr("-+ #!,0123456789*.l", *q) != nullptr) {
                if (*q >= '0' && *q <= '9') {
                    std::uint32_t n = 0;
                    for (; *q >= '0' && *q <= '9'; ++q) {
                        n = n * 10 + static_cast<std::uint32_t>(*q - '0');
                    }
                    most = std::max<std::int64_t>(most, n & 0x7fffffff);
                    continue;
                }
                star = star || *q == '*';
                ++q;
            }
            if (*q == 'c') {
                if (star && largest_argument < 0) {
                    largest_argument = 0;
                    for (int i = 1; i < argc; ++i) {
                        const auto v = static_cast<int>(sqlite3_value_int64(argv[i]));
                        largest_argument = std::max<std::int64_t>(
                            largest_argument, v == INT_MIN ? INT_MAX : (v < 0 ? -v : v));
                    }
                }
                total += std::max<std::int64_t>(most, star ? largest_argument : 0);
            }
            if (*q == 0) {
                break;
            }
            p = q;
        }
        return total;
    }

    sqlite3_stmt* statement(int argc) {
        if (argc < 0) {
            return nullptr;
        }
        if (db_ == nullptr &&
            sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
            return nullptr;
        }
        if (by_arity_.size() <= static_cast<std::size_t>(argc)) {
            by_arity_.resize(argc + 1, nullptr);
        }
        if (by_arity_[argc] == nullptr) {
            std::string sql = std::string("SELECT ") + name_ + "(";
            for (int i = 0; i < argc; ++i) {
                sql += (i ? ", ?" : "?") + std::to_string(i + 1);
            }
            sql += ")";
            sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &by_arity_[argc],
                               nullptr);
        }
        return by_arity_[argc];
    }

    const char* name_;
    sqlite3* db_ = nullptr;
    std::vector<sqlite3_stmt*> by_arity_;
};

void bounded_printf(sqlite3_context* context, int argc, sqlite3_value** argv) {
    static_cast<PrintfDelegate*>(sqlite3_user_data(context))->call(context, argc, argv);
}

} // namespace

int register_bounded_functions(sqlite3* db) {
    const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    struct Definition {
        const char* name;
        int arguments;
        std::intptr_t data;
        void (*function)(sqlite3_context*, int, sqlite3_value**);
    };
    const Definition definitions[] = {
        {"instr", 2, 0, &bounded_instr}, {"replace", 3, 0, &bounded_replace},
        {"ltrim", 2, 1, &bounded_trim},  {"rtrim", 2, 2, &bounded_trim},
        {"trim", 2, 3, &bounded_trim},
    };
    for (const Definition& d : definitions) {
        const int rc = sqlite3_create_function_v2(db, d.name, d.arguments, flags,
                                                  reinterpret_cast<void*>(d.data), d.function,
                                                  nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            return rc;
        }
    }
    for (const char* name : {"printf", "format"}) {
        // SQLite destroys the delegate with the function, also when registering fails.
        const int rc =
            sqlite3_create_function_v2(db, name, -1, flags, new PrintfDelegate(name),
                                       &bounded_printf, nullptr, nullptr, &PrintfDelegate::destroy);
        if (rc != SQLITE_OK) {
            return rc;
        }
    }
    return SQLITE_OK;
}

} // namespace zolviai::sql::drivers
