#pragma once

#include "zolviai/sql/cell.hpp"

#include <string>

namespace zolviai::sql {

// The value written into MySQL or MariaDB statement text as a literal that means it whatever
// it holds: text, JSON and UUIDs as _utf8mb4 X'..', bytes as _binary X'..' (hex with a
// character set introducer, so that no quote or backslash in them can end the literal,
// whatever the session's sql_mode), numbers as digits, booleans as 1 and 0, dates and times
// quoted, durations as TIME text ('-1:02:03.000004'), NULL as NULL. A float that is not finite
// or a decimal that is not a plain number is a ValueError: MySQL has no literal for it.
std::string mysql_literal(const Cell& value);

} // namespace zolviai::sql
