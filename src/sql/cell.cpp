#include "zolviai/sql/cell.hpp"
#include "zolviai/sql/render.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/core/python_repr.hpp"
#include "zolviai/core/text.hpp"
#include "zolviai/core/value.hpp"

#include <cctype>
#include <cmath>
#include <charconv>
#include <cstdio>

namespace zolviai::sql {

namespace {

// A JSON value a database sent, read with the limits of outside input (a deeply nested value
// would take the stack when printed); discarded when it does not parse within them, so that
// it shows as its text.
Value json_cell_value(const std::string& text) {
    try {
        return parse_json_input(text);
    } catch (const Error&) {
        return Value(Value::value_t::discarded);
    }
}

void append_int(std::string& out, std::int64_t v) {
    out += std::to_string(v);
}

// Python's repr of a datetime.timezone.
void append_timezone(std::string& out, int offset) {
    if (offset == 0) {
        out += "datetime.timezone.utc";
        return;
    }
    out += "datetime.timezone(";
    Interval span = make_interval(0, static_cast<std::int64_t>(offset) * 1000000);
    out += "datetime.timedelta(";
    bool first = true;
    if (span.days != 0) {
        out += "days=";
        append_int(out, span.days);
        first = false;
    }
    if (span.seconds != 0) {
        out += first ? "seconds=" : ", seconds=";
        append_int(out, span.seconds);
    }
    out += "))";
}

// The hour, minute[, second[, microsecond]] part of datetime and time reprs.
void append_clock_args(std::string& out, const DateTime& t) {
    append_int(out, t.hour);
    out += ", ";
    append_int(out, t.minute);
    if (t.second != 0 || t.microsecond != 0) {
        out += ", ";
        append_int(out, t.second);
    }
    if (t.microsecond != 0) {
        out += ", ";
        append_int(out, t.microsecond);
    }
    if (t.has_offset) {
        out += ", tzinfo=";
        append_timezone(out, t.utc_offset);
    }
}

void append_2(std::string& out, int v) {
    out.push_back(static_cast<char>('0' + v / 10 % 10));
    out.push_back(static_cast<char>('0' + v % 10));
}

// "+05:30" as Python's str() of an aware time writes it.
void append_offset_text(std::string& out, int offset) {
    out.push_back(offset < 0 ? '-' : '+');
    int a = offset < 0 ? -offset : offset;
    append_2(out, a / 3600);
    out.push_back(':');
    append_2(out, a / 60 % 60);
    if (a % 60 != 0) {
        out.push_back(':');
        append_2(out, a % 60);
    }
}

void append_date_text(std::string& out, const DateTime& t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
    out += buf;
}

void append_time_text(std::string& out, const DateTime& t) {
    char buf[32];
    if (t.microsecond != 0) {
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%06d", t.hour, t.minute, t.second,
                      t.microsecond);
    } else {
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    }
    out += buf;
    if (t.has_offset) {
        append_offset_text(out, t.utc_offset);
    }
}

// Python's str(timedelta): "1 day, 1:01:01", "-1 day, 23:59:59", "0:00:00.000005".
void append_interval_text(std::string& out, const Interval& s) {
    if (s.days != 0) {
        append_int(out, s.days);
        out += (s.days == 1 || s.days == -1) ? " day, " : " days, ";
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(s.seconds / 3600),
                  static_cast<long long>(s.seconds / 60 % 60),
                  static_cast<long long>(s.seconds % 60));
    out += buf;
    if (s.microseconds != 0) {
        std::snprintf(buf, sizeof buf, ".%06lld", static_cast<long long>(s.microseconds));
        out += buf;
    }
}

void append_interval_repr(std::string& out, const Interval& s) {
    out += "datetime.timedelta(";
    if (s.days == 0 && s.seconds == 0 && s.microseconds == 0) {
        out += "0)";
        return;
    }
    bool first = true;
    auto field = [&](const char* name, std::int64_t v) {
        if (v == 0) {
            return;
        }
        if (!first) {
            out += ", ";
        }
        out += name;
        out += '=';
        append_int(out, v);
        first = false;
    };
    field("days", s.days);
    field("seconds", s.seconds);
    field("microseconds", s.microseconds);
    out += ')';
}

int digits(std::string_view s, std::size_t pos, std::size_t n, bool& ok) {
    if (pos + n > s.size()) {
        ok = false;
        return 0;
    }
    int v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) {
            ok = false;
            return 0;
        }
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

bool valid_date(const DateTime& t) {
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.year < 1 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1) {
        return false;
    }
    if (t.month == 2 && t.day == 29) {
        return (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    }
    return t.day <= days[t.month - 1];
}

// Parses a clock with optional seconds, fraction and offset starting at pos.
bool parse_clock(std::string_view s, std::size_t pos, DateTime& out) {
    bool ok = true;
    out.hour = digits(s, pos, 2, ok);
    if (!ok || pos + 2 >= s.size() || s[pos + 2] != ':') {
        return false;
    }
    out.minute = digits(s, pos + 3, 2, ok);
    pos += 5;
    out.second = 0;
    out.microsecond = 0;
    if (pos < s.size() && s[pos] == ':') {
        out.second = digits(s, pos + 1, 2, ok);
        pos += 3;
        if (pos < s.size() && s[pos] == '.') {
            ++pos;
            int us = 0;
            int n = 0;
            while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) {
                if (n < 6) {
                    us = us * 10 + (s[pos] - '0');
                }
                ++n;
                ++pos;
            }
            for (; n < 6; ++n) {
                us *= 10;
            }
            out.microsecond = us;
        }
    }
    if (!ok || out.hour > 23 || out.minute > 59 || out.second > 59) {
        return false;
    }
    out.has_offset = false;
    out.utc_offset = 0;
    if (pos < s.size() && s[pos] == ' ') {
        ++pos;
    }
    if (pos == s.size()) {
        return true;
    }
    if (s[pos] == 'Z' && pos + 1 == s.size()) {
        out.has_offset = true;
        return true;
    }
    if (s[pos] != '+' && s[pos] != '-') {
        return false;
    }
    const int sign = s[pos] == '-' ? -1 : 1;
    ++pos;
    int h = digits(s, pos, 2, ok);
    pos += 2;
    int m = 0;
    int sec = 0;
    if (pos < s.size() && s[pos] == ':') {
        m = digits(s, pos + 1, 2, ok);
        pos += 3;
    } else if (pos + 2 <= s.size() && pos < s.size()) {
        m = digits(s, pos, 2, ok);
        pos += 2;
    }
    if (pos < s.size() && s[pos] == ':') {
        sec = digits(s, pos + 1, 2, ok);
        pos += 3;
    }
    if (!ok || pos != s.size() || h > 23 || m > 59) {
        return false;
    }
    out.has_offset = true;
    out.utc_offset = sign * (h * 3600 + m * 60 + sec);
    return true;
}

} // namespace

Interval make_interval(std::int64_t days, std::int64_t microseconds) {
    const std::int64_t per_day = 86400LL * 1000000LL;
    days += microseconds / per_day;
    microseconds %= per_day;
    if (microseconds < 0) {
        microseconds += per_day;
        days -= 1;
    }
    return Interval{days, microseconds / 1000000, microseconds % 1000000};
}

Cell Cell::of_uuid(std::string_view v) {
    Cell c;
    c.type = CellType::Uuid;
    c.text.reserve(36);
    for (char ch : v) {
        if (ch == '{' || ch == '}') {
            continue;
        }
        c.text.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
    }
    return c;
}

void append_cell_repr(std::string& out, const Cell& cell, std::size_t max_text_chars) {
    switch (cell.type) {
    case CellType::Null:
        out += "None";
        return;
    case CellType::Bool:
        out += cell.boolean ? "True" : "False";
        return;
    case CellType::Integer:
        append_int(out, cell.integer);
        return;
    case CellType::Float:
        python::append_repr_float(out, cell.real);
        return;
    case CellType::Decimal:
        out += "Decimal('";
        out += cell.text;
        out += "')";
        return;
    case CellType::Text:
        // Fewer bytes than max_text_chars cannot hold more characters: no copy for them.
        if (max_text_chars == 0 || cell.text.size() <= max_text_chars) {
            python::append_repr_text(out, cell.text);
        } else {
            python::append_repr_text(out, utf8_shorten(cell.text, max_text_chars));
        }
        return;
    case CellType::Bytes:
        out += python::repr_bytes(cell.text);
        return;
    case CellType::Date:
        out += "datetime.date(";
        append_int(out, cell.when.year);
        out += ", ";
        append_int(out, cell.when.month);
        out += ", ";
        append_int(out, cell.when.day);
        out += ')';
        return;
    case CellType::Time:
        out += "datetime.time(";
        append_clock_args(out, cell.when);
        out += ')';
        return;
    case CellType::Timestamp:
    case CellType::TimestampTz:
        out += "datetime.datetime(";
        append_int(out, cell.when.year);
        out += ", ";
        append_int(out, cell.when.month);
        out += ", ";
        append_int(out, cell.when.day);
        out += ", ";
        append_clock_args(out, cell.when);
        out += ')';
        return;
    case CellType::Interval:
        append_interval_repr(out, cell.span);
        return;
    case CellType::Json: {
        Value parsed = json_cell_value(cell.text);
        if (parsed.is_discarded()) {
            python::append_repr_text(out, cell.text);
            return;
        }
        python::append_repr(out, parsed);
        return;
    }
    case CellType::Uuid:
        out += "UUID('";
        out += cell.text;
        out += "')";
        return;
    }
}

std::string cell_repr(const Cell& cell) {
    std::string out;
    append_cell_repr(out, cell);
    return out;
}

std::string cell_str(const Cell& cell) {
    std::string out;
    switch (cell.type) {
    case CellType::Text:
    case CellType::Decimal:
    case CellType::Uuid:
        return cell.text;
    case CellType::Date:
        append_date_text(out, cell.when);
        return out;
    case CellType::Time:
        append_time_text(out, cell.when);
        return out;
    case CellType::Timestamp:
    case CellType::TimestampTz:
        append_date_text(out, cell.when);
        out.push_back(' ');
        append_time_text(out, cell.when);
        return out;
    case CellType::Interval:
        append_interval_text(out, cell.span);
        return out;
    case CellType::Json: {
        Value parsed = json_cell_value(cell.text);
        if (parsed.is_discarded()) {
            return cell.text;
        }
        return python::str(parsed);
    }
    case CellType::Null:
    case CellType::Bool:
    case CellType::Integer:
    case CellType::Float:
    case CellType::Bytes:
        return cell_repr(cell);
    }
    return out;
}

bool parse_date(std::string_view s, DateTime& out) {
    bool ok = true;
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') {
        return false;
    }
    out = DateTime{};
    out.year = digits(s, 0, 4, ok);
    out.month = digits(s, 5, 2, ok);
    out.day = digits(s, 8, 2, ok);
    return ok && valid_date(out);
}

bool parse_time(std::string_view s, DateTime& out) {
    out = DateTime{};
    return parse_clock(s, 0, out);
}

bool parse_timestamp(std::string_view s, DateTime& out) {
    if (s.size() < 16 || (s[10] != ' ' && s[10] != 'T')) {
        return false;
    }
    if (!parse_date(s.substr(0, 10), out)) {
        return false;
    }
    return parse_clock(s, 11, out);
}

Value cell_json(const Cell& cell) {
    switch (cell.type) {
    case CellType::Null:
        return nullptr;
    case CellType::Bool:
        return cell.boolean;
    case CellType::Integer:
        return cell.integer;
    case CellType::Float:
        return std::isfinite(cell.real) ? Value(cell.real) : Value(cell_str(cell));
    case CellType::Json: {
        Value parsed = json_cell_value(cell.text);
        return parsed.is_discarded() ? Value(cell.text) : parsed;
    }
    case CellType::Bytes: {
        std::string out;
        append_hex(out, cell.text);
        return out;
    }
    default:
        return cell_str(cell);
    }
}

} // namespace zolviai::sql
