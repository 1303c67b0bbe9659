#pragma once

// Peak resident memory of the test process, for tests that bound what one call may take.
#include <cstring>
#include <fstream>
#include <string>

namespace zolviai::testing {

// Whether peak-memory checks mean anything in this build: AddressSanitizer keeps freed memory
// in quarantine and adds shadow memory, so under it they are skipped (the plain build checks).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool memory_is_measured = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool memory_is_measured = false;
#else
inline constexpr bool memory_is_measured = true;
#endif
#else
inline constexpr bool memory_is_measured = true;
#endif

inline long status_kb(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(key);
    while (std::getline(status, line)) {
        if (line.compare(0, n, key) == 0) {
            return std::stol(line.substr(n));
        }
    }
    return -1;
}

// The process's resident size now, in kB, after resetting its recorded peak, so that
// peak_resident_kb() tells the peak from now on.
inline long reset_peak_resident_kb() {
    std::ofstream("/proc/self/clear_refs") << "5";
    return status_kb("VmRSS:");
}

// The process's peak resident size, in kB.
inline long peak_resident_kb() { return status_kb("VmHWM:"); }

} // namespace zolviai::testing
