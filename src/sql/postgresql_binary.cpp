#include "zolviai/sql/postgresql_binary.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace zolviai::sql {

namespace {

constexpr std::int64_t micros_per_day = 86400000000LL;
constexpr std::int64_t days_1970_to_2000 = 10957;

// numeric's sign word.
constexpr unsigned numeric_positive = 0x0000;
constexpr unsigned numeric_negative = 0x4000;
constexpr unsigned numeric_nan = 0xC000;
constexpr unsigned numeric_infinity = 0xD000;
constexpr unsigned numeric_minus_infinity = 0xF000;

// The proleptic Gregorian date of a day counted from 2000-01-01, the year astronomical
// (0 is 1 BC), as the server's own calendar has it.
void civil_from_days(std::int64_t days, DateTime& out) {
    std::int64_t z = days + days_1970_to_2000 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    out.year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    out.month = month;
    out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
}

void append_padded(std::string& out, long long n, int width) {
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
    for (int i = static_cast<int>(end - buf); i < width; ++i) {
        out.push_back('0');
    }
    out.append(buf, end);
}

// The ISO date as the server writes it: at least four digits of year, " BC" left to the
// caller.
void append_date(std::string& out, const DateTime& t) {
    append_padded(out, t.year > 0 ? t.year : 1 - static_cast<long long>(t.year), 4);
    out.push_back('-');
    append_padded(out, t.month, 2);
    out.push_back('-');
    append_padded(out, t.day, 2);
}

bool python_year(int year) {
    return year >= 1 && year <= 9999;
}

// A positive decimal digits * 10^exponent.
struct Decimal {
    std::uint64_t digits;
    int exponent;
};

// The sign of a - b, exactly: b's decimal expansion is exact (a double has a finite one, and
// 120 digits hold that of any halfway point between floats).
int compare(const Decimal& a, double b) {
    char exact[160];
    std::snprintf(exact, sizeof exact, "%.120e", b);
    const char* e = std::strchr(exact, 'e');
    std::string b_digits(1, exact[0]);
    b_digits.append(exact + 2, static_cast<std::size_t>(e - exact - 2));
    const int b_first = std::atoi(e + 1); // the power of ten of the first digit
    const std::string a_digits = std::to_string(a.digits);
    const int a_first = a.exponent + static_cast<int>(a_digits.size()) - 1;
    if (a_first != b_first) {
        return a_first < b_first ? -1 : 1;
    }
    for (std::size_t i = 0; i < b_digits.size(); ++i) {
        const char x = i < a_digits.size() ? a_digits[i] : '0';
        if (x != b_digits[i]) {
            return x < b_digits[i] ? -1 : 1;
        }
    }
    return 0;
}

double value_of(const Decimal& d) {
    char text[48];
    std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(d.digits),
                  d.exponent);
    return std::strtod(text, nullptr);
}

// A positive float rounded to p significant digits (to nearest, ties to even).
Decimal rounded(float f, int p) {
    char text[40];
    const char* end =
        std::to_chars(text, text + sizeof text, f, std::chars_format::scientific, p - 1).ptr;
    const char* e = std::find(static_cast<const char*>(text), end, 'e');
    Decimal out{0, std::atoi(e + 1) - (p - 1)};
    for (const char* c = text; c < e; ++c) {
        if (*c != '.') {
            out.digits = out.digits * 10 + static_cast<unsigned>(*c - '0');
        }
    }
    return out;
}

// The value of the text the server writes for a positive finite float: the shortest decimal
// strictly between the halfway points to its neighbours (one on a halfway point is never
// written, though it would read back as the same float when ties go to even), the nearest
// one of that length. The shortest-digits conversion gives it unless its result lies on a
// halfway point; then the lengths are tried one by one.
double float_text_value(float f) {
    const double below = std::nextafter(f, 0.0f);
    const double above = std::nextafter(f, std::numeric_limits<float>::infinity());
    const double low = (f + below) / 2;
    const double high = std::isinf(above) ? f + (f - below) / 2 : (f + above) / 2;
    char text[40];
    const char* end = std::to_chars(text, text + sizeof text, f, std::chars_format::scientific).ptr;
    double shortest = 0;
    std::from_chars(text, end, shortest);
    if (shortest != low && shortest != high) {
        return shortest;
    }
    for (int p = 1; p < 9; ++p) {
        Decimal d = rounded(f, p);
        if (compare(d, low) <= 0) {
            d.digits += 1; // the next one up may still be below the upper halfway point
        }
        if (compare(d, low) > 0 && compare(d, high) < 0) {
            return value_of(d);
        }
    }
    return value_of(rounded(f, 9));
}

} // namespace

double pg_binary_float(const char* v, std::size_t length) {
    if (length == 8) {
        const std::uint64_t bits = pg_big_endian(v, 8);
        double d = 0;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    if (length != 4) {
        return 0;
    }
    const auto bits = static_cast<std::uint32_t>(pg_big_endian(v, 4));
    float f = 0;
    std::memcpy(&f, &bits, sizeof f);
    if (!std::isfinite(f) || f == 0) {
        return f;
    }
    const double magnitude = float_text_value(std::fabs(f));
    return f < 0 ? -magnitude : magnitude;
}

bool pg_binary_numeric(const char* v, std::size_t length, std::string& out) {
    if (length < 8) {
        return false;
    }
    const auto word = [v](std::size_t i) {
        return static_cast<unsigned>(pg_big_endian(v + 2 * i, 2));
    };
    const int ndigits = static_cast<std::int16_t>(word(0));
    const int weight = static_cast<std::int16_t>(word(1));
    const unsigned sign = word(2);
    const int dscale = static_cast<std::int16_t>(word(3));
    if (ndigits < 0 || dscale < 0 || length != 8 + 2 * static_cast<std::size_t>(ndigits)) {
        return false;
    }
    switch (sign) {
    case numeric_nan:
        out += "NaN";
        return true;
    case numeric_infinity:
        out += "Infinity";
        return true;
    case numeric_minus_infinity:
        out += "-Infinity";
        return true;
    case numeric_positive:
    case numeric_negative:
        break;
    default:
        return false;
    }
    const auto digit = [&](int d) { return d >= 0 && d < ndigits ? word(4 + d) : 0u; };
    for (int d = 0; d < ndigits; ++d) {
        if (digit(d) > 9999) {
            return false;
        }
    }
    // Room for the sign, every base-10000 digit down to the weight (at least a "0"), the point
    // and dscale decimal digits rounded up to whole base-10000 digits.
    const std::size_t start = out.size();
    out.resize(start + 2 + 4 * static_cast<std::size_t>(std::max(weight + 1, 1)) +
               static_cast<std::size_t>(dscale) + 4);
    char* p = out.data() + start;
    if (sign == numeric_negative) {
        *p++ = '-';
    }
    const auto put4 = [&p](unsigned dig) {
        p[0] = static_cast<char>('0' + dig / 1000);
        p[1] = static_cast<char>('0' + dig / 100 % 10);
        p[2] = static_cast<char>('0' + dig / 10 % 10);
        p[3] = static_cast<char>('0' + dig % 10);
        p += 4;
    };
    // The integer part: every base-10000 digit down to the weight, the first without its
    // leading zeros.
    int d = 0;
    if (weight < 0) {
        d = weight + 1;
        *p++ = '0';
    } else {
        const unsigned first = digit(0);
        const int width = first >= 1000 ? 4 : first >= 100 ? 3 : first >= 10 ? 2 : 1;
        put4(first);
        std::memmove(p - 4, p - width, static_cast<std::size_t>(width));
        p -= 4 - width;
        for (d = 1; d <= weight; ++d) {
            put4(digit(d));
        }
    }
    // The fraction: exactly dscale decimal digits.
    if (dscale > 0) {
        *p++ = '.';
        char* const fraction_end = p + dscale;
        for (int i = 0; i < dscale; ++d, i += 4) {
            put4(digit(d));
        }
        p = fraction_end;
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
    return true;
}

bool pg_binary_date(const char* v, std::size_t length, DateTime& out, std::string& text) {
    text.clear();
    if (length != 4) {
        return false;
    }
    const auto days = static_cast<std::int32_t>(pg_big_endian(v, 4));
    if (days == std::numeric_limits<std::int32_t>::max()) {
        text = "infinity";
        return false;
    }
    if (days == std::numeric_limits<std::int32_t>::min()) {
        text = "-infinity";
        return false;
    }
    out = DateTime{};
    civil_from_days(days, out);
    if (python_year(out.year)) {
        return true;
    }
    append_date(text, out);
    if (out.year <= 0) {
        text += " BC";
    }
    return false;
}

bool pg_binary_timestamp(const char* v, std::size_t length, DateTime& out, std::string& text) {
    text.clear();
    if (length != 8) {
        return false;
    }
    const auto micros = static_cast<std::int64_t>(pg_big_endian(v, 8));
    if (micros == std::numeric_limits<std::int64_t>::max()) {
        text = "infinity";
        return false;
    }
    if (micros == std::numeric_limits<std::int64_t>::min()) {
        text = "-infinity";
        return false;
    }
    std::int64_t days = micros / micros_per_day;
    std::int64_t clock = micros % micros_per_day;
    if (clock < 0) {
        clock += micros_per_day;
        --days;
    }
    out = DateTime{};
    civil_from_days(days, out);
    out.microsecond = static_cast<int>(clock % 1000000);
    clock /= 1000000;
    out.second = static_cast<int>(clock % 60);
    out.minute = static_cast<int>(clock / 60 % 60);
    out.hour = static_cast<int>(clock / 3600);
    if (python_year(out.year)) {
        return true;
    }
    append_date(text, out);
    text.push_back(' ');
    append_padded(text, out.hour, 2);
    text.push_back(':');
    append_padded(text, out.minute, 2);
    text.push_back(':');
    append_padded(text, out.second, 2);
    if (out.microsecond != 0) {
        text.push_back('.');
        append_padded(text, out.microsecond, 6);
        while (text.back() == '0') {
            text.pop_back();
        }
    }
    if (out.year <= 0) {
        text += " BC";
    }
    return false;
}

} // namespace zolviai::sql
