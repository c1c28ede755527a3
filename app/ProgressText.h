#pragma once
// Text of the progress lines that convert prints, alone or for several mailboxes.
#include <cstdio>
#include <string>

namespace app {

// "m:ss", or "h:mm:ss" from an hour on; "--:--" for what cannot be estimated.
inline std::string Duration(double seconds) {
    if (!(seconds >= 0) || seconds > 99 * 3600) return "--:--";
    const long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

}  // namespace app
