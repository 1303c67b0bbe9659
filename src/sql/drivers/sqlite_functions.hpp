#pragma once

struct sqlite3;

namespace zolviai::sql::drivers {

// Registers on db linear-time versions of the SQLite built-ins whose cost grows with the
// product of their arguments' sizes: instr, replace, and trim/ltrim/rtrim with a set of
// characters. SQLite's progress handler runs between the steps of a statement, never inside
// one function call, so a single quadratic call over strings a query made (printf, zeroblob)
// would outlast any time-out. Results are those of SQLite's own functions, byte for byte,
// errors ("string or blob too big") included. Returns an SQLite result code.
int register_bounded_functions(sqlite3* db);

} // namespace zolviai::sql::drivers
