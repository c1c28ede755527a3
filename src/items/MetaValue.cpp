#include "items/MetaValue.h"

#include "files/Utf.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>

#include "items/ZimbraMetaReader.h"
#include "store/PstStoreSession.h"

namespace items {

const MetaValue* MetaValue::Member(const std::string& key) const {
    if (kind != Kind::Dictionary) return nullptr;
    for (const auto& [k, v] : items)
        if (k == key) return &v;
    return nullptr;
}

std::string MetaValue::Text(const std::string& key) const {
    const MetaValue* v = Member(key);
    if (!v || (v->kind != Kind::String && v->kind != Kind::Integer)) return {};
    return v->text;
}

namespace {

// "<digits>:" at pos: the length, pos moved past the colon.
std::optional<size_t> ReadLengthPrefix(const std::u16string& t, size_t& pos) {
    size_t n = 0, digits = 0;
    while (pos < t.size() && t[pos] >= u'0' && t[pos] <= u'9') {
        if (++digits > 9) return std::nullopt;
        n = n * 10 + size_t(t[pos] - u'0');
        ++pos;
    }
    if (digits == 0 || pos >= t.size() || t[pos] != u':') return std::nullopt;
    ++pos;
    return n;
}

std::optional<MetaValue> ReadMetaValueAt(const std::u16string& t, size_t& pos, int depth) {
    if (pos >= t.size() || depth > 64) return std::nullopt;
    MetaValue v;
    char16_t c = t[pos];
    if (c == u'i') {
        size_t end = t.find(u'e', pos + 1);
        if (end == std::u16string::npos || end == pos + 1) return std::nullopt;
        std::u16string digits = t.substr(pos + 1, end - pos - 1);
        for (size_t k = 0; k < digits.size(); ++k)
            if (!((digits[k] >= u'0' && digits[k] <= u'9') || (k == 0 && digits[k] == u'-'))) return std::nullopt;
        v.kind = MetaValue::Kind::Integer;
        v.text = Utf16ToUtf8(digits);
        pos = end + 1;
        return v;
    }
    if (c == u'l' || c == u'd') {
        bool dict = c == u'd';
        v.kind = dict ? MetaValue::Kind::Dictionary : MetaValue::Kind::List;
        ++pos;
        while (pos < t.size() && t[pos] != u'e') {
            std::string key;
            if (dict) {
                auto n = ReadLengthPrefix(t, pos);
                if (!n || *n > t.size() - pos) return std::nullopt;
                key = Utf16ToUtf8(t.substr(pos, *n));
                pos += *n;
            }
            auto item = ReadMetaValueAt(t, pos, depth + 1);
            if (!item) return std::nullopt;
            v.items.emplace_back(std::move(key), std::move(*item));
        }
        if (pos >= t.size()) return std::nullopt;
        ++pos;  // the "e"
        return v;
    }
    auto n = ReadLengthPrefix(t, pos);
    if (!n || *n > t.size() - pos) return std::nullopt;
    v.kind = MetaValue::Kind::String;
    v.text = Utf16ToUtf8(t.substr(pos, *n));
    pos += *n;
    return v;
}

}  // namespace

std::optional<MetaValue> ReadMetaValue(const std::u16string& text, size_t& pos) {
    size_t at = pos;
    auto v = ReadMetaValueAt(text, at, 0);
    if (v) pos = at;
    return v;
}

std::optional<MetaValue> ReadMetaDictionary(const std::string& text) {
    const std::u16string u = files::Utf8ToUtf16(text);
    size_t pos = 0;
    auto v = ReadMetaValue(u, pos);
    if (!v || v->kind != MetaValue::Kind::Dictionary) return std::nullopt;
    return v;
}

}  // namespace items
