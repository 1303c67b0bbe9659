#pragma once

#include "zolviai/sql/cell.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// Values in PostgreSQL's binary result format, read into what their text form reads as:
// big-endian integers and IEEE floats, numeric as base-10000 digits, dates and timestamps
// counted from 2000-01-01. Lengths are the server's; a value of a length its type never has
// reads as 0 (numbers) or as not readable (the others).
namespace zolviai::sql {

inline std::uint64_t pg_big_endian(const char* v, std::size_t length) {
    const auto* b = reinterpret_cast<const unsigned char*>(v);
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < length; ++i) {
        n = (n << 8) | b[i];
    }
    return n;
}

// int2, int4 or int8.
inline std::int64_t pg_binary_integer(const char* v, std::size_t length) {
    switch (length) {
    case 2:
        return static_cast<std::int16_t>(pg_big_endian(v, 2));
    case 4:
        return static_cast<std::int32_t>(pg_big_endian(v, 4));
    case 8:
        return static_cast<std::int64_t>(pg_big_endian(v, 8));
    default:
        return 0;
    }
}

// float8 as it is; float4 as the double its shortest text reads as, which is what the text
// format gives (0.1::real is 0.1, not 0.100000001490116).
double pg_binary_float(const char* v, std::size_t length);

// numeric in the text the server's output gives it ("-12.50", "0.000", "NaN", "Infinity"),
// appended to out; false when the value is not a well-formed numeric.
bool pg_binary_numeric(const char* v, std::size_t length, std::string& out);

// date and timestamp (without zone). True with the calendar parts when Python's datetime
// holds the value (years 1 to 9999); otherwise false with `text` set to the server's text
// for it ("infinity", "-infinity", "0044-03-15 BC", "10000-01-01 00:00:00"), which is how
// the text format hands such values to the host. An ill-formed value gives false and "".
bool pg_binary_date(const char* v, std::size_t length, DateTime& out, std::string& text);
bool pg_binary_timestamp(const char* v, std::size_t length, DateTime& out, std::string& text);

} // namespace zolviai::sql
