#pragma once

#include <cstddef>
#include <functional>

namespace zolviai::sql {

// The stack a parse of generated SQL may need at most: the guards bound the nesting they
// accept so that their parse and walks fit in it.
constexpr std::size_t guard_stack_bytes = 16 * 1024 * 1024;

// Bytes of stack left below the calling point on the calling thread (as the thread's own
// attributes say), or 0 when they cannot be read.
std::size_t stack_bytes_left();

// Runs work on the calling thread when at least `needed` bytes of its stack are left, else on
// a thread of its own with a guard_stack_bytes stack, waiting for it; an exception work throws
// reaches the caller either way. So a host thread with a small stack (a 256 kB worker) can
// check any statement.
void run_with_stack(std::size_t needed, const std::function<void()>& work);

} // namespace zolviai::sql
