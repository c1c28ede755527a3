#include "PropDecode.h"

#include "PropEncode.h"

namespace pst {

std::string FromUtf16(const uint8_t* data, size_t size) {
    std::string out;
    out.reserve(size / 2);
    auto put = [&](uint32_t cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    };
    for (size_t i = 0; i + 1 < size; i += 2) {
        uint32_t u = ndb::Get16(data + i);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < size) {
            uint32_t low = ndb::Get16(data + i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                put(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        put(u >= 0xD800 && u < 0xE000 ? 0xFFFD : u);
    }
    return out;
}

std::optional<PropValue> DecodeValue(uint16_t type, const ndb::Bytes& b) {
    switch (type) {
    case PT_LONG:
        if (b.size() == 4) return int32_t(ndb::Get32(b.data()));
        break;
    case PT_BOOLEAN:
        if (b.size() == 1) return b[0] != 0;
        break;
    case PT_I8:
        if (b.size() == 8) return int64_t(ndb::Get64(b.data()));
        break;
    case PT_SYSTIME:
        if (b.size() == 8) return FileTime{ndb::Get64(b.data())};
        break;
    case PT_UNICODE: {
        // Kept as stored unless the text round-trips exactly.
        std::string s = FromUtf16(b.data(), b.size());
        if (b.size() % 2 == 0 && s.find('\0') == std::string::npos && Utf16(s) == b) return s;
        break;
    }
    case PT_BINARY:
        return Binary(b);
    case PT_MV_BINARY: {
        if (b.size() < 4) break;
        size_t n = ndb::Get32(b.data());
        if (n > (b.size() - 4) / 4) break;
        std::vector<Binary> items;
        for (size_t i = 0; i < n; ++i) {
            size_t from = ndb::Get32(&b[4 + 4 * i]);
            size_t to = i + 1 < n ? ndb::Get32(&b[8 + 4 * i]) : b.size();
            if (from > to || to > b.size()) return std::nullopt;
            items.emplace_back(b.begin() + long(from), b.begin() + long(to));
        }
        PropValue v = items;
        if (EncodeValue(PT_MV_BINARY, v) == b) return v;  // only a layout the writer reproduces
        break;
    }
    default:
        break;
    }
    return std::nullopt;
}

}  // namespace pst
