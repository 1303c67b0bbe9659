#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace zolviai::sql {

// The kind of value one result cell holds, independent of the engine that produced it.
enum class CellType {
    Null,
    Bool,
    Integer,
    Float,
    Decimal,     // exact number, kept as the engine's digits ("12.50")
    Text,        // UTF-8
    Bytes,       // raw bytes
    Date,        // year, month, day
    Time,        // hour .. microsecond, with an offset when has_offset
    Timestamp,   // date and time without a zone
    TimestampTz, // date and time with its UTC offset
    Interval,    // a duration, normalised as Python's timedelta is
    Json,        // the JSON text as the engine sent it
    Uuid,        // lower-case canonical text
};

// Calendar and clock parts of dates, times and timestamps.
struct DateTime {
    int year = 1;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int microsecond = 0;
    bool has_offset = false;
    int utc_offset = 0; // seconds east of UTC
};

// A duration as Python's timedelta keeps it: 0 <= seconds < 86400, 0 <= microseconds < 10^6.
struct Interval {
    std::int64_t days = 0;
    std::int64_t seconds = 0;
    std::int64_t microseconds = 0;
};

// Builds a normalised interval from a signed count of microseconds and days.
Interval make_interval(std::int64_t days, std::int64_t microseconds);

// One value of a result row. Only the member that belongs to `type` is meaningful.
struct Cell {
    CellType type = CellType::Null;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string text; // Decimal digits, Text, Bytes, Json and Uuid
    DateTime when;    // Date, Time, Timestamp, TimestampTz
    Interval span;    // Interval

    // One factory per type, each setting the member that belongs to it.
    static Cell null() { return {}; }
    static Cell of_bool(bool v) { return with(CellType::Bool, &Cell::boolean, v); }
    static Cell of_int(std::int64_t v) { return with(CellType::Integer, &Cell::integer, v); }
    static Cell of_float(double v) { return with(CellType::Float, &Cell::real, v); }
    static Cell of_decimal(std::string digits) {
        return with(CellType::Decimal, &Cell::text, std::move(digits));
    }
    static Cell of_text(std::string v) { return with(CellType::Text, &Cell::text, std::move(v)); }
    static Cell of_bytes(std::string v) { return with(CellType::Bytes, &Cell::text, std::move(v)); }
    static Cell of_json(std::string v) { return with(CellType::Json, &Cell::text, std::move(v)); }
    // Lower case, braces dropped.
    static Cell of_uuid(std::string_view v);
    static Cell of_date(int year, int month, int day) {
        return with(CellType::Date, &Cell::when, DateTime{year, month, day});
    }
    static Cell of_time(const DateTime& v) { return with(CellType::Time, &Cell::when, v); }
    // TimestampTz when v.has_offset.
    static Cell of_timestamp(const DateTime& v) {
        return with(v.has_offset ? CellType::TimestampTz : CellType::Timestamp, &Cell::when, v);
    }
    static Cell of_interval(const Interval& v) { return with(CellType::Interval, &Cell::span, v); }

private:
    template <typename T>
    static Cell with(CellType type, T Cell::*member, T value) {
        Cell c;
        c.type = type;
        c.*member = std::move(value);
        return c;
    }
};

// The text Python's repr() gives for the value a Python database client would hand back:
// None, True, 5, 1.5, Decimal('12.50'), 'text', b'\x00', datetime.date(2024, 1, 5),
// datetime.datetime(...), datetime.time(...), datetime.timedelta(...), UUID('...'), and for
// JSON the value json.loads gives. Text longer than max_text_chars code points (0: no limit)
// is cut to that many, ending in "...".
void append_cell_repr(std::string& out, const Cell& cell, std::size_t max_text_chars = 0);
std::string cell_repr(const Cell& cell);

// The text Python's str() gives for the same value (2024-01-05, 12.50, 1 day, 0:00:00, ...).
std::string cell_str(const Cell& cell);

// Parses engine texts: "2024-01-05", "13:04:05.12", "+05:30" suffixes and the like. Return
// false when the text is not of that form (or out of Python's range, year 1..9999).
bool parse_date(std::string_view text, DateTime& out);
bool parse_time(std::string_view text, DateTime& out);      // HH:MM[:SS[.ffffff]][offset]
bool parse_timestamp(std::string_view text, DateTime& out); // date, ' ' or 'T', time

} // namespace zolviai::sql
