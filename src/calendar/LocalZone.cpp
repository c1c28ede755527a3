#include "calendar/LocalZone.h"

#include <unistd.h>

#include <cstdlib>

namespace calendar {

std::string LocalZoneCandidate() {
    if (const char* tz = std::getenv("TZ"); tz && *tz) return tz[0] == ':' ? tz + 1 : tz;
    char target[512];
    ssize_t n = ::readlink("/etc/localtime", target, sizeof target - 1);
    if (n <= 0) return {};
    std::string path(target, size_t(n));
    size_t at = path.find("zoneinfo/");
    if (at == std::string::npos) return {};
    std::string name = path.substr(at + 9);
    if (name.rfind("posix/", 0) == 0) name = name.substr(6);
    return name;
}

}  // namespace calendar
