// The Python values one column of a result has already made, found again by the bytes they
// were made from, so that a value repeated down a column (a price, a day, a status) is one
// shared object rather than one per row. Only immutable values belong here (str, Decimal,
// date, datetime without a zone).
//
// A key's first 16 bytes are held in its entry and the rest copied into the memo: the
// rows a value was first seen in may be gone (a part of a result read while later parts
// arrive) by the time it is seen again. The table is open
// addressing over a flat array, grows to a fixed bound and then stops taking new values;
// a memo that finds too few repeats for the price of its lookups switches itself off (values
// cheap to make soon, the others when the memo is full).
#pragma once

#include <Python.h>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace zolviai::bindings {

class ValueMemo {
public:
    // soon: whether the memo switches itself off after its first few thousand lookups when
    // repeats are rare (values about as cheap to make as to look up); otherwise it does so
    // only when full (a Decimal is made slowly enough to be worth looking for longer).
    explicit ValueMemo(bool soon) : give_up_(soon) {}
    ~ValueMemo() { clear(); }
    ValueMemo(const ValueMemo&) = delete;
    ValueMemo& operator=(const ValueMemo&) = delete;
    static constexpr std::size_t max_key = 64; // longer values are not kept

    // A value's bytes as the memo looks them up: up to 16 of them held in place, so that a hit
    // never reads the result's buffers at the place of the value first seen.
    struct Key {
        Key(const char* bytes, std::size_t size) : data(bytes), length(size) {
            std::memcpy(head, bytes, length < sizeof head ? length : sizeof head);
            std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ length;
            h = mix(h ^ head[0]);
            h = mix(h ^ head[1]);
            for (std::size_t i = sizeof head; i < length; i += 8) {
                std::uint64_t word = 0;
                std::memcpy(&word, bytes + i, length - i < 8 ? length - i : 8);
                h = mix(h ^ word);
            }
            hash = h;
        }
        const char* data;
        std::size_t length;
        std::uint64_t head[2] = {0, 0};
        std::uint64_t hash = 0;
    };

    bool on() const { return !off_; }

    // A new reference to the value made from these bytes before, or nullptr.
    PyObject* find(const Key& key) {
        if (table_.empty()) {
            return nullptr;
        }
        if (give_up_ && lookups_ == check_after && hits_ * 8 < lookups_) {
            off_ = true;
            clear();
            return nullptr;
        }
        ++lookups_;
        const std::uint32_t tag = tag_of(key.hash);
        const std::size_t mask = table_.size() - 1;
        for (std::size_t i = key.hash & mask;; i = (i + 1) & mask) {
            const std::uint32_t slot = table_[i];
            if (slot == 0) {
                return nullptr;
            }
            if ((slot & tag_mask) != tag) {
                continue;
            }
            const Entry& e = entries_[(slot >> tag_bits) - 1];
            if (e.hash == key.hash && e.length == key.length && e.head[0] == key.head[0] &&
                e.head[1] == key.head[1] &&
                (key.length <= sizeof key.head ||
                 std::memcmp(e.data + sizeof key.head, key.data + sizeof key.head,
                             key.length - sizeof key.head) == 0)) {
                ++hits_;
                Py_INCREF(e.value);
                return e.value;
            }
        }
    }

    // Keeps value (a new reference is taken) as the one made from these bytes.
    void keep(const Key& key, PyObject* value) {
        if (off_ || key.length > max_key) {
            return;
        }
        if (entries_.size() >= max_values) {
            // Full: what is kept stays and nothing new is taken, unless it has found so few
            // repeats that looking is dearer than making.
            if (hits_ * 8 < lookups_) {
                off_ = true;
                clear();
            }
            return;
        }
        if (table_.empty()) {
            table_.assign(256, 0);
            entries_.reserve(64);
        } else if ((entries_.size() + 1) * 2 > table_.size()) {
            table_.assign(table_.size() * 2, 0);
            for (std::size_t e = 0; e < entries_.size(); ++e) {
                place(entries_[e].hash, e);
            }
        }
        const char* tail = key.length > sizeof key.head ? copy(key.data, key.length) : nullptr;
        entries_.push_back(Entry{{key.head[0], key.head[1]}, tail, key.length, key.hash, value});
        Py_INCREF(value);
        place(key.hash, entries_.size() - 1);
    }

private:
    // The values kept, in the order they were first seen (a column that cycles through its
    // values then reads them in order); the table holds an entry's number and a few bits of
    // its hash, small enough to stay in the processor's cache.
    struct Entry {
        std::uint64_t head[2];
        const char* data; // the whole key when longer than head, copied; else nullptr
        std::size_t length;
        std::uint64_t hash;
        PyObject* value;
    };

    static constexpr std::size_t max_values = 1 << 14;
    static constexpr unsigned tag_bits = 15;
    static constexpr std::uint32_t tag_mask = (1u << tag_bits) - 1;
    static constexpr std::uint64_t check_after = 4096;

    static std::uint32_t tag_of(std::uint64_t hash) {
        return static_cast<std::uint32_t>(hash >> 49) & tag_mask;
    }

    static std::uint64_t mix(std::uint64_t h) {
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return h;
    }

    void place(std::uint64_t hash, std::size_t entry) {
        const std::size_t mask = table_.size() - 1;
        std::size_t i = hash & mask;
        while (table_[i] != 0) {
            i = (i + 1) & mask;
        }
        table_[i] = static_cast<std::uint32_t>(entry + 1) << tag_bits | tag_of(hash);
    }

    // A copy of a key of at most max_key bytes, held as long as the memo.
    const char* copy(const char* data, std::size_t length) {
        static constexpr std::size_t block = 16384;
        if (bytes_.empty() || bytes_used_ + length > block) {
            bytes_.push_back(std::make_unique<char[]>(block));
            bytes_used_ = 0;
        }
        char* out = bytes_.back().get() + bytes_used_;
        std::memcpy(out, data, length);
        bytes_used_ += length;
        return out;
    }

    void clear() {
        for (Entry& e : entries_) {
            Py_DECREF(e.value);
        }
        entries_.clear();
        entries_.shrink_to_fit();
        table_.clear();
        table_.shrink_to_fit();
        bytes_.clear();
        bytes_used_ = 0;
    }

    std::vector<std::uint32_t> table_;
    std::vector<Entry> entries_;
    std::vector<std::unique_ptr<char[]>> bytes_; // copies of keys longer than an entry holds
    std::size_t bytes_used_ = 0;                 // of the last block
    std::uint64_t lookups_ = 0;
    std::uint64_t hits_ = 0;
    bool give_up_ = false;
    bool off_ = false;
};

} // namespace zolviai::bindings
