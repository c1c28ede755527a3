#include "mime/Addressing.h"

#include <cstdint>

namespace mime {

pst::Binary Utf16le(std::string_view s) {
    pst::Binary out;
    out.reserve(s.size() * 2);
    size_t i = 0;
    auto put = [&out](uint32_t u) {
        out.push_back(uint8_t(u & 0xFF));
        out.push_back(uint8_t(u >> 8));
    };
    while (i < s.size()) {
        auto c = uint8_t(s[i]);
        uint32_t cp;
        size_t len;
        if (c < 0x80) { cp = c; len = 1; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; len = 2; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; len = 3; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; len = 4; }
        else { cp = 0xFFFD; len = 1; }
        if (len > 1) {
            if (i + len > s.size()) { cp = 0xFFFD; len = 1; }
            else {
                for (size_t k = 1; k < len; ++k) {
                    auto d = uint8_t(s[i + k]);
                    if ((d & 0xC0) != 0x80) { cp = 0xFFFD; len = 1; break; }
                    cp = (cp << 6) | (d & 0x3F);
                }
            }
        }
        i += len;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            put(0xD800 | (cp >> 10));
            put(0xDC00 | (cp & 0x3FF));
        } else {
            put(cp > 0x10FFFF ? 0xFFFD : cp);
        }
    }
    return out;
}

pst::Binary OneOffEntryId(std::string_view displayName, std::string_view address, std::string_view addrType) {
    // Flags (4 bytes, 0), the one-off provider UID, version 0, then the
    // one-off flags: MAPI_ONE_OFF_UNICODE | MAPI_ONE_OFF_NO_RICH_INFO, with the
    // "send as MIME" format bits Outlook writes for Internet addresses.
    static const uint8_t kProvider[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                          0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
    pst::Binary out;
    out.reserve(64 + 2 * (displayName.size() + address.size()));
    for (int k = 0; k < 4; ++k) out.push_back(0);
    for (uint8_t b : kProvider) out.push_back(b);
    out.push_back(0);
    out.push_back(0);
    out.push_back(0x01);  // 0x9001 little-endian ... stored as 01 90
    out.push_back(0x90);
    auto add = [&out](std::string_view s) {
        auto u = Utf16le(s);
        out.insert(out.end(), u.begin(), u.end());
        out.push_back(0);
        out.push_back(0);
    };
    add(displayName);
    add(addrType);
    add(address);
    return out;
}

pst::Binary SearchKey(std::string_view address, std::string_view addrType) {
    pst::Binary out;
    for (char c : addrType) out.push_back(uint8_t(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
    out.push_back(':');
    for (char c : address) out.push_back(uint8_t(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
    out.push_back(0);
    return out;
}

pst::Binary FlatEntryList(const std::vector<pst::Binary>& ids) {
    pst::Binary body;
    for (auto& id : ids) {
        uint32_t n = uint32_t(id.size());
        for (int k = 0; k < 4; ++k) body.push_back(uint8_t(n >> (8 * k)));
        body.insert(body.end(), id.begin(), id.end());
        while (body.size() % 4) body.push_back(0);
    }
    pst::Binary out;
    uint32_t count = uint32_t(ids.size()), size = uint32_t(body.size());
    for (int k = 0; k < 4; ++k) out.push_back(uint8_t(count >> (8 * k)));
    for (int k = 0; k < 4; ++k) out.push_back(uint8_t(size >> (8 * k)));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace mime
