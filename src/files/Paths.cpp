#include "files/Paths.h"

#include "files/UnicodeReader.h"

#include <cstdint>

namespace files {

std::string GetFileName(std::string_view path) {
    const auto pos = path.rfind(kPathSeparator);
    if (pos == std::string_view::npos) return std::string(path);
    return std::string(path.substr(pos + 1));
}

std::string GetParentPath(std::string_view path) {
    const auto pos = path.rfind(kPathSeparator);
    if (pos == std::string_view::npos) return {};
    return std::string(path.substr(0, pos + 1));
}

std::string AddBackslash(std::string_view path) {
    const auto first = path.find_first_not_of(' ');
    if (first == std::string_view::npos) return std::string(kPathSeparatorString);
    const auto last = path.find_last_not_of(' ');
    std::string s(path.substr(first, last - first + 1));
    if (s.back() != kPathSeparator) s.push_back(kPathSeparator);
    return s;
}

bool IsRootPath(std::string_view path) {
    if (path.empty()) return false;
    const std::string s = AddBackslash(path);
    std::size_t separators = 0;
    for (char c : s)
        if (c == kPathSeparator) ++separators;
    // Server root: two separators, a server name, one separator ("\\server\").
    if (s.size() >= 2 && s[0] == kPathSeparator && s[1] == kPathSeparator) return separators <= 3;
#ifdef _WIN32
    return s.size() >= 2 && s[1] == ':' && separators <= 1;
#else
    // The only other root on POSIX is "/" itself.
    return s == kPathSeparatorString;
#endif
}

std::string TrimNullChars(std::string_view text) {
    const auto pos = text.find('\0');
    return std::string(pos == std::string_view::npos ? text : text.substr(0, pos));
}

namespace {

// Decodes UTF-8 into UTF-16; each invalid byte becomes U+FFFD.
void AppendUtf16(std::u16string& out, std::string_view in) {
    std::size_t i = 0;
    while (i < in.size()) {
        const auto b0 = static_cast<unsigned char>(in[i]);
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        auto cont = [&](std::size_t k) {
            return i + k < in.size() && (static_cast<unsigned char>(in[i + k]) & 0xC0) == 0x80;
        };
        if (b0 < 0x80) {
            cp = b0;
        } else if (b0 >= 0xC2 && b0 <= 0xDF && cont(1)) {
            cp = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(in[i + 1]) & 0x3Fu);
            len = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF && cont(1) && cont(2)) {
            cp = ((b0 & 0x0Fu) << 12) | ((static_cast<unsigned char>(in[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(in[i + 2]) & 0x3Fu);
            if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD; else len = 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF4 && cont(1) && cont(2) && cont(3)) {
            cp = ((b0 & 0x07u) << 18) | ((static_cast<unsigned char>(in[i + 1]) & 0x3Fu) << 12) |
                 ((static_cast<unsigned char>(in[i + 2]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(in[i + 3]) & 0x3Fu);
            if (cp < 0x10000 || cp > 0x10FFFF) cp = 0xFFFD; else len = 4;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
}

}  // namespace

std::u16string ToLongPath(std::string_view path) {
    std::u16string out;
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
        out = u"\\\\?\\UNC\\";
        AppendUtf16(out, path.substr(2));
    } else {
        out = u"\\\\?\\";
        AppendUtf16(out, path);
    }
    out.push_back(u'\0');
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    AppendUtf16(out, text);
    return out;
}

std::string NativeSeparators(std::string_view literal) {
    std::string s(literal);
    for (char& c : s)
        if (c == '\\') c = kPathSeparator;
    return s;
}

}  // namespace files
