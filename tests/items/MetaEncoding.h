#pragma once
// Writes ".meta" files the way a Zimbra export does: a one-line JSON object
// (org.json escaping) whose "metadata" member holds a bencoded dictionary with
// lengths in UTF-16 code units and keys in UTF-16 order.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "items/ZimbraMetaReader.h"

namespace metaenc {

inline std::string BStr(const std::string& utf8) {
    return std::to_string(items::Utf8ToUtf16(utf8).size()) + ":" + utf8;
}
inline std::string BInt(long long v) { return "i" + std::to_string(v) + "e"; }

using Entries = std::vector<std::pair<std::string, std::string>>;  // key, encoded value

inline std::string BDict(Entries entries) {
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return items::Utf8ToUtf16(a.first) < items::Utf8ToUtf16(b.first);
    });
    std::string out = "d";
    for (auto& [k, v] : entries) out += BStr(k) + v;
    return out + "e";
}
inline std::string BList(const std::vector<std::string>& values) {
    std::string out = "l";
    for (auto& v : values) out += v;
    return out + "e";
}
// A dictionary of string values.
inline std::string BStrings(const std::vector<std::pair<std::string, std::string>>& kv) {
    Entries e;
    for (auto& [k, v] : kv) e.emplace_back(k, BStr(v));
    return BDict(e);
}

// org.json's quote(): \" \\ \b \t \n \f \r, "/" after "<", \uXXXX (lower case)
// for other controls, U+0080..U+009F and U+2000..U+20FF.
inline std::string JsonQuote(const std::string& utf8) {
    std::u16string s = items::Utf8ToUtf16(utf8);
    std::string out = "\"";
    char16_t prev = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        switch (c) {
        case u'"': out += "\\\""; break;
        case u'\\': out += "\\\\"; break;
        case u'/': out += prev == u'<' ? "\\/" : "/"; break;
        case u'\b': out += "\\b"; break;
        case u'\t': out += "\\t"; break;
        case u'\n': out += "\\n"; break;
        case u'\f': out += "\\f"; break;
        case u'\r': out += "\\r"; break;
        default:
            if (c < 0x20 || (c >= 0x80 && c < 0xA0) || (c >= 0x2000 && c < 0x2100)) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(c));
                out += buf;
            } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size()) {
                out += items::Utf16ToUtf8(s.substr(i, 2));  // raw UTF-8, as org.json writes it
                ++i;
            } else {
                out += items::Utf16ToUtf8(std::u16string(1, c));
            }
        }
        prev = c;
    }
    return out + "\"";
}

// A ".meta" file: JSON members (values already JSON text) with "metadata" last.
inline std::string MetaJson(const std::vector<std::pair<std::string, std::string>>& members, const std::string& metadata) {
    std::string out = "{";
    for (auto& [k, v] : members) out += JsonQuote(k) + ":" + v + ",";
    out += "\"metadata\":" + JsonQuote(metadata) + "}";
    return out;
}

inline std::string ContactMeta(const std::vector<std::pair<std::string, std::string>>& fields, const std::string& att = "") {
    Entries top = {{"fld", BStrings(fields)}, {"v", BInt(10)}};
    if (!att.empty()) top.emplace_back("att", att);
    return MetaJson({{"tags", "0"}, {"type", "6"}, {"Path", JsonQuote("/Contacts/")}, {"size", "0"}, {"id", "300"}},
                    BDict(top));
}

inline std::string AppointmentMeta(const Entries& invite, int type = 11, const std::string& path = "/Calendar/") {
    Entries top = {{"ad", BDict({{"na", BInt(1700000000000LL)}, {"nis", BInt(0)}})},
                   {"inv0", BDict(invite)},
                   {"nc", BInt(1)},
                   {"u", BStr("3d5e-uid")},
                   {"v", BInt(10)}};
    return MetaJson({{"type", std::to_string(type)}, {"Path", JsonQuote(path)}, {"id", "400"}}, BDict(top));
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Writes `bytes` to root/rel, making the folders on the way; the full path.
inline std::string WriteUnder(const std::string& root, const std::string& rel, const std::string& bytes) {
    std::filesystem::path p = std::filesystem::path(root) / rel;
    std::filesystem::create_directories(p.parent_path());
    WriteFile(p.string(), bytes);
    return p.string();
}

}  // namespace metaenc
