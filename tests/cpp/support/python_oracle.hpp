#pragma once

#include <string>

namespace zolviai::testing {

// Runs Debian's Python (the interpreter whose behaviour we match) on `script` with `input`
// on its standard input and returns what it printed. Fails the calling test (by throwing)
// when Python exits with an error.
std::string run_python(const std::string& script, const std::string& input);

} // namespace zolviai::testing
