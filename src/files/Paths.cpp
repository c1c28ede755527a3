#include "files/Paths.h"

#include "files/Utf.h"

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

std::u16string ToLongPath(std::string_view path) {
    std::u16string out;
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
        out = u"\\\\?\\UNC\\";
        out += Utf8ToUtf16(path.substr(2));
    } else {
        out = u"\\\\?\\";
        out += Utf8ToUtf16(path);
    }
    out.push_back(u'\0');
    return out;
}

std::string NativeSeparators(std::string_view literal) {
    std::string s(literal);
    for (char& c : s)
        if (c == '\\') c = kPathSeparator;
    return s;
}

}  // namespace files
