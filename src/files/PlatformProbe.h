#pragma once
// One-time platform probe that chooses the entry points of the file operations.
#include <cstdint>

namespace files {

// Platform ids as the Windows version calls report them.
inline constexpr std::int32_t kPlatformWin32s = 0;
inline constexpr std::int32_t kPlatformWin32Windows = 1;  // 9x family
inline constexpr std::int32_t kPlatformWin32NT = 2;       // NT family
// Reported on systems that are not Windows.
inline constexpr std::int32_t kPlatformNotWindows = -1;

struct PlatformVersion {
    std::int32_t platformId = kPlatformNotWindows;
    bool isNT = false;  // exactly when platformId is kPlatformWin32NT
};

// Runs the probe at most once per process (the file operations call it on first
// use). On POSIX there is nothing to decide: the operations always use the one
// set of calls, which take names of any bytes and paths of any length, so the
// probe only records that it ran and leaves UseWideApi() false.
void InitFileApi();

// The platform as read by the probe.
PlatformVersion GetPlatformVersion();

// True when the Windows wide entry points on long-path forms are in use.
bool UseWideApi();

// True once InitFileApi has run.
bool FileApiInitialised();

}  // namespace files
