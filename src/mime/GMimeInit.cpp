#include "mime/GMimeInit.h"

#include <gmime/gmime.h>

#include <mutex>

namespace mime {

void EnsureGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

}  // namespace mime
