#include "PropEncode.h"

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "pst/ndb/Error.h"

namespace pst {

using ndb::Bytes;

ndb::Bytes Utf16(std::string_view s) {
    Bytes out;
    Utf16To(out, s);
    return out;
}

void Utf16To(ndb::Bytes& out, std::string_view s) {
    const size_t base = out.size();
    out.resize(base + s.size() * 2);
    size_t o = base;
    auto put = [&](uint32_t u) {
        out[o++] = uint8_t(u);
        out[o++] = uint8_t(u >> 8);
    };
    size_t i = 0;
    const uint8_t* in = reinterpret_cast<const uint8_t*>(s.data());
    while (i < s.size()) {
        // ASCII runs, eight bytes at a time: spread each byte into a 16-bit unit.
        while (i + 8 <= s.size()) {
            uint64_t v;
            std::memcpy(&v, in + i, 8);
            if (v & 0x8080808080808080ull) break;
            auto spread = [](uint64_t x) {
                x = (x | (x << 16)) & 0x0000FFFF0000FFFFull;
                return (x | (x << 8)) & 0x00FF00FF00FF00FFull;
            };
            uint64_t lo = spread(v & 0xFFFFFFFFull), hi = spread(v >> 32);
            std::memcpy(out.data() + o, &lo, 8);
            std::memcpy(out.data() + o + 8, &hi, 8);
            o += 16;
            i += 8;
        }
        size_t run = i;
        while (run < s.size() && in[run] < 0x80) ++run;
        uint8_t* __restrict dst = out.data() + o;
        const uint8_t* __restrict src = in + i;
        for (size_t k = 0; k < run - i; ++k) {
            dst[2 * k] = src[k];
            dst[2 * k + 1] = 0;
        }
        o += 2 * (run - i);
        i = run;
        if (i == s.size()) break;
        uint8_t c = in[i];
        uint32_t cp = 0xFFFD;
        size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
        if (len > 1) {
            bool ok = i + len <= s.size();
            uint32_t v = len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
            for (size_t k = 1; ok && k < len; ++k) {
                uint8_t cc = uint8_t(s[i + k]);
                if ((cc & 0xC0) != 0x80) ok = false;
                v = (v << 6) | (cc & 0x3Fu);
            }
            static const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
            if (ok && v >= minimum[len] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF))
                cp = v;
            else
                len = 1;
        }
        // A UTF-16 unit never takes more bytes than the UTF-8 sequence it comes from.
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
        i += len;
    }
    out.resize(o);
}

std::string TagText(uint32_t tag) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", tag);
    return buf;
}

namespace {

[[noreturn]] void Mismatch(uint16_t type) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "value does not fit property type 0x%04X", type);
    throw PstError(buf);
}

Bytes VarList(const std::vector<Bytes>& items) {
    Bytes out;
    ndb::Append32(out, uint32_t(items.size()));
    uint32_t offset = uint32_t(4 + 4 * items.size());
    for (auto& it : items) {
        ndb::Append32(out, offset);
        offset += uint32_t(it.size());
    }
    for (auto& it : items) out.insert(out.end(), it.begin(), it.end());
    return out;
}

}  // namespace

ndb::Bytes EncodeValue(uint16_t type, const PropValue& v) {
    Bytes out;
    EncodeValueTo(out, type, v);
    return out;
}

void EncodeValueTo(ndb::Bytes& out, uint16_t type, const PropValue& v) {
    auto i64 = [&]() -> int64_t {
        if (auto p = std::get_if<int64_t>(&v)) return *p;
        if (auto p = std::get_if<int32_t>(&v)) return *p;
        if (auto p = std::get_if<int16_t>(&v)) return *p;
        if (auto p = std::get_if<bool>(&v)) return *p ? 1 : 0;
        Mismatch(type);
    };
    switch (type) {
    case PT_SHORT:
        ndb::Append16(out, uint16_t(i64()));
        return;
    case PT_LONG:
    case PT_ERROR:
        ndb::Append32(out, uint32_t(i64()));
        return;
    case PT_BOOLEAN:
        out.push_back(i64() ? 1 : 0);
        return;
    case PT_I8:
    case PT_CURRENCY:
        ndb::Append64(out, uint64_t(i64()));
        return;
    case PT_DOUBLE:
    case PT_APPTIME: {
        double d = 0;
        if (auto p = std::get_if<double>(&v))
            d = *p;
        else
            d = double(i64());
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        ndb::Append64(out, bits);
        return;
    }
    case PT_SYSTIME:
        if (auto p = std::get_if<FileTime>(&v)) {
            ndb::Append64(out, p->value);
            return;
        }
        Mismatch(type);
    case PT_CLSID:
        if (auto p = std::get_if<Guid>(&v)) {
            out.insert(out.end(), p->bytes.begin(), p->bytes.end());
            return;
        }
        Mismatch(type);
    case PT_UNICODE:
        if (auto p = std::get_if<std::string>(&v)) {
            Utf16To(out, *p);
            return;
        }
        Mismatch(type);
    case PT_BINARY:
    case PT_OBJECT:
        if (auto p = std::get_if<Binary>(&v)) {
            out.insert(out.end(), p->begin(), p->end());
            return;
        }
        if (auto p = std::get_if<std::string>(&v)) {
            out.insert(out.end(), p->begin(), p->end());
            return;
        }
        Mismatch(type);
    case PT_MV_LONG:
        if (auto p = std::get_if<std::vector<int32_t>>(&v)) {
            for (int32_t x : *p) ndb::Append32(out, uint32_t(x));
            return;
        }
        Mismatch(type);
    case PT_MV_UNICODE:
        if (auto p = std::get_if<std::vector<std::string>>(&v)) {
            std::vector<Bytes> items;
            for (auto& s : *p) items.push_back(Utf16(s));
            const Bytes list = VarList(items);
            out.insert(out.end(), list.begin(), list.end());
            return;
        }
        Mismatch(type);
    case PT_MV_BINARY:
        if (auto p = std::get_if<std::vector<Binary>>(&v)) {
            const Bytes list = VarList(*p);
            out.insert(out.end(), list.begin(), list.end());
            return;
        }
        Mismatch(type);
    default:
        Mismatch(type);
    }
}

void CheckValue(uint16_t type, const PropValue& v) {
    bool ok = false;
    switch (type) {
    case PT_SHORT: case PT_LONG: case PT_ERROR: case PT_BOOLEAN: case PT_I8: case PT_CURRENCY:
        ok = std::holds_alternative<int16_t>(v) || std::holds_alternative<int32_t>(v) ||
             std::holds_alternative<int64_t>(v) || std::holds_alternative<bool>(v);
        break;
    case PT_DOUBLE: case PT_APPTIME:
        ok = std::holds_alternative<double>(v) || std::holds_alternative<int32_t>(v) || std::holds_alternative<int64_t>(v);
        break;
    case PT_SYSTIME: ok = std::holds_alternative<FileTime>(v); break;
    case PT_CLSID: ok = std::holds_alternative<Guid>(v); break;
    case PT_UNICODE: ok = std::holds_alternative<std::string>(v); break;
    case PT_BINARY: case PT_OBJECT: ok = std::holds_alternative<Binary>(v) || std::holds_alternative<std::string>(v); break;
    case PT_MV_LONG: ok = std::holds_alternative<std::vector<int32_t>>(v); break;
    case PT_MV_UNICODE: ok = std::holds_alternative<std::vector<std::string>>(v); break;
    case PT_MV_BINARY: ok = std::holds_alternative<std::vector<Binary>>(v); break;
    default: break;
    }
    if (!ok) Mismatch(type);
}

size_t ValueSize(const PropValue& v) {
    return std::visit(
        [](const auto& x) -> size_t {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::string>)
                return x.size() * 2;
            else if constexpr (std::is_same_v<T, Binary>)
                return x.size();
            else if constexpr (std::is_same_v<T, std::vector<int32_t>>)
                return x.size() * 4;
            else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
                size_t n = 4;
                for (auto& s : x) n += 4 + s.size() * 2;
                return n;
            } else if constexpr (std::is_same_v<T, std::vector<Binary>>) {
                size_t n = 4;
                for (auto& s : x) n += 4 + s.size();
                return n;
            } else
                return 8;
        },
        v);
}

}  // namespace pst
