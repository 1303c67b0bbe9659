#include "zolviai/sql/literal.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/core/text.hpp"

#include <cctype>
#include <cmath>
#include <cstdio>

namespace zolviai::sql {

namespace {

// MySQL TIME literal for a duration: [-]H:MM:SS.ffffff.
std::string duration_text(const Interval& span) {
    std::int64_t micros = (span.days * 86400 + span.seconds) * 1000000 + span.microseconds;
    const bool negative = micros < 0;
    if (negative) {
        micros = -micros;
    }
    const std::int64_t total_seconds = micros / 1000000;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%lld:%02lld:%02lld.%06lld", negative ? "-" : "",
                  static_cast<long long>(total_seconds / 3600),
                  static_cast<long long>(total_seconds / 60 % 60),
                  static_cast<long long>(total_seconds % 60),
                  static_cast<long long>(micros % 1000000));
    return buf;
}

bool plain_number(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '+' &&
            c != 'e' && c != 'E') {
            return false;
        }
    }
    return true;
}

std::string hex_literal(const char* introducer, const std::string& bytes) {
    std::string out = introducer;
    out += " X'";
    append_hex(out, bytes);
    out += '\'';
    return out;
}

} // namespace

std::string mysql_literal(const Cell& cell) {
    switch (cell.type) {
    case CellType::Null:
        return "NULL";
    case CellType::Bool:
        return cell.boolean ? "1" : "0";
    case CellType::Integer:
        return std::to_string(cell.integer);
    case CellType::Float:
        if (!std::isfinite(cell.real)) {
            throw ValueError("MySQL has no value for the float " + cell_repr(cell));
        }
        return cell_repr(cell);
    case CellType::Decimal:
        if (!plain_number(cell.text)) {
            throw ValueError("MySQL has no value for the decimal " + cell.text);
        }
        return cell.text;
    case CellType::Text:
    case CellType::Json:
    case CellType::Uuid:
        return hex_literal("_utf8mb4", cell.text);
    case CellType::Bytes:
        return hex_literal("_binary", cell.text);
    case CellType::Date:
    case CellType::Time:
    case CellType::Timestamp:
    case CellType::TimestampTz:
        return "'" + cell_str(cell) + "'";
    case CellType::Interval:
        return "'" + duration_text(cell.span) + "'";
    }
    return "NULL";
}

} // namespace zolviai::sql
