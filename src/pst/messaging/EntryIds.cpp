#include "pst/messaging/EntryIds.h"

#include <cstdint>

#include "pst/messaging/PropEncode.h"

namespace pst {
namespace {

void Append32(Binary& out, uint32_t v) {
    for (int k = 0; k < 4; ++k) out.push_back(uint8_t(v >> (8 * k)));
}

}  // namespace

Binary OneOffEntryId(std::string_view displayName, std::string_view address, std::string_view addrType) {
    // rgbFlags 0, the one-off provider UID, version 0, then
    // MAPI_ONE_OFF_UNICODE | MAPI_ONE_OFF_NO_RICH_INFO (0x9001).
    Binary b = {0, 0, 0, 0, 0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19, 0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02,
                0, 0, 0x01, 0x90};
    b.reserve(b.size() + 2 * (displayName.size() + addrType.size() + address.size() + 3));
    for (std::string_view s : {displayName, addrType, address}) {
        const ndb::Bytes u = Utf16(s);
        b.insert(b.end(), u.begin(), u.end());
        b.push_back(0);
        b.push_back(0);
    }
    return b;
}

Binary AddressSearchKey(std::string_view address, std::string_view addrType) {
    Binary out;
    out.reserve(addrType.size() + address.size() + 2);
    auto upper = [](char c) { return uint8_t(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); };
    for (char c : addrType) out.push_back(upper(c));
    out.push_back(':');
    for (char c : address) out.push_back(upper(c));
    out.push_back(0);
    return out;
}

Binary FlatEntryList(const std::vector<Binary>& entryIds) {
    Binary body;
    for (const Binary& id : entryIds) {
        Append32(body, uint32_t(id.size()));
        body.insert(body.end(), id.begin(), id.end());
        while (body.size() % 4) body.push_back(0);
    }
    Binary out;
    Append32(out, uint32_t(entryIds.size()));
    Append32(out, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace pst
