// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What this process holds and has read, from /proc: resident memory, its peak
// since the last reset, and the bytes read through system calls. Tests use
// them to show that a bad file is turned away without reading it whole or
// growing with it.

#include <cstdint>
#include <fstream>
#include <string>

namespace dmm::test {

// Under AddressSanitizer freed blocks wait in a quarantine and stay resident,
// so resident memory then tells nothing about what the code holds.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kResidentShowsWhatIsHeld = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kResidentShowsWhatIsHeld = false;
#else
inline constexpr bool kResidentShowsWhatIsHeld = true;
#endif
#else
inline constexpr bool kResidentShowsWhatIsHeld = true;
#endif

namespace detail {

// The number after "key" on its line of a /proc file; -1 if absent.
inline int64_t ProcField(const char* file, const std::string& key) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0)
            return std::stoll(line.substr(key.size()));
    }
    return -1;
}

}  // namespace detail

inline int64_t ResidentBytes() {
    return detail::ProcField("/proc/self/status", "VmRSS:") * 1024;
}

// The peak resident memory since start or the last ResetPeakResident; -1
// where the system does not say.
inline int64_t PeakResidentBytes() {
    return detail::ProcField("/proc/self/status", "VmHWM:") * 1024;
}

// Starts the peak afresh from the memory resident now; false where the system
// does not allow it (then the peak counts from the process's start).
inline bool ResetPeakResident() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return bool(out);
}

// Bytes this process has read through read(2) and its kin, files and pipes
// alike.
inline int64_t BytesReadSoFar() {
    return detail::ProcField("/proc/self/io", "rchar:");
}

}  // namespace dmm::test
