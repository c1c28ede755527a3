#include "files/PlatformProbe.h"

namespace files {

namespace {
bool g_initialised = false;
bool g_useWideApi = false;
}  // namespace

void InitFileApi() {
    if (g_initialised) return;
    g_initialised = true;
#ifdef _WIN32
    // The Windows platform layer reads the version here and switches to the wide
    // entry points on the NT family.
    g_useWideApi = GetPlatformVersion().isNT;
#else
    // Not Windows: there is no family to tell apart and no second set of entry
    // points to choose. The POSIX operations take any bytes as names and reach
    // paths of any length through openat, so the switch stays off.
    g_useWideApi = false;
#endif
}

PlatformVersion GetPlatformVersion() {
    PlatformVersion v;
#ifdef _WIN32
    v.platformId = kPlatformWin32NT;  // every Windows this program builds for is NT
#else
    v.platformId = kPlatformNotWindows;
#endif
    v.isNT = v.platformId == kPlatformWin32NT;
    return v;
}

bool UseWideApi() {
    return g_useWideApi;
}

bool FileApiInitialised() {
    return g_initialised;
}

}  // namespace files
