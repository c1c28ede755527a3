#include "pst/messaging/MeetingObjectId.h"

namespace pst {

Binary GlobalObjectIdFromUid(const std::string& uid) {
    static const uint8_t kArrayId[16] = {0x04, 0x00, 0x00, 0x00, 0x82, 0x00, 0xE0, 0x00,
                                         0x74, 0xC5, 0xB7, 0x10, 0x1A, 0x82, 0xE0, 0x08};
    if (uid.empty()) return {};
    // An Outlook id written in hex: the header (40 bytes) and its data, the size saying how much.
    static const std::string kHexPrefix = "040000008200E00074C5B7101A82E008";
    std::string upper = uid;
    for (char& c : upper)
        if (c >= 'a' && c <= 'f') c = char(c - 'a' + 'A');
    if (upper.size() >= 80 && upper.size() % 2 == 0 && upper.compare(0, kHexPrefix.size(), kHexPrefix) == 0 &&
        upper.find_first_not_of("0123456789ABCDEF") == std::string::npos) {
        Binary b;
        for (size_t i = 0; i < upper.size(); i += 2) b.push_back(uint8_t(std::stoi(upper.substr(i, 2), nullptr, 16)));
        uint32_t size = uint32_t(b[36]) | uint32_t(b[37]) << 8 | uint32_t(b[38]) << 16 | uint32_t(b[39]) << 24;
        if (size == b.size() - 40) return b;
    }
    Binary b(kArrayId, kArrayId + 16);
    b.resize(16 + 4 + 8 + 8, 0);  // instance date, creation time, padding: zero
    const std::string marker = "vCal-Uid";
    uint32_t size = uint32_t(marker.size() + 4 + uid.size() + 1);
    for (int k = 0; k < 4; ++k) b.push_back(uint8_t(size >> (8 * k)));
    b.insert(b.end(), marker.begin(), marker.end());
    for (uint8_t v : {1, 0, 0, 0}) b.push_back(v);
    b.insert(b.end(), uid.begin(), uid.end());
    b.push_back(0);
    return b;
}

Binary InstanceGlobalObjectId(Binary id, int year, int month, int day) {
    if (id.size() < 20) return id;
    id[16] = uint8_t(year >> 8);
    id[17] = uint8_t(year);
    id[18] = uint8_t(month);
    id[19] = uint8_t(day);
    return id;
}

}  // namespace pst
