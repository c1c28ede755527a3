#include "engine/EngineText.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "files/Paths.h"

namespace engine {

char NativeSeparator() { return files::kPathSeparator; }

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string RelativeTo(std::string path, std::string_view root) {
    if (!root.empty() && StartsWith(path, root)) path.erase(0, root.size());
    return path;
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
    if (from.empty()) return text;
    std::string out;
    size_t pos = 0;
    for (;;) {
        const size_t at = text.find(from, pos);
        if (at == std::string::npos) break;
        out.append(text, pos, at - pos);
        out.append(to);
        pos = at + from.size();
    }
    if (pos == 0) return text;
    out.append(text, pos, std::string::npos);
    return out;
}

std::string Trim(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && text[b] == ' ') ++b;
    while (e > b && text[e - 1] == ' ') --e;
    return std::string(text.substr(b, e - b));
}

std::string Native(std::string_view backslashed) { return files::NativeSeparators(backslashed); }

std::string ToStoreSeparators(std::string_view nativeRelative) {
    std::string out(nativeRelative);
    if (files::kPathSeparator != '\\')
        for (auto& c : out)
            if (c == files::kPathSeparator) c = '\\';
    return out;
}

std::string FileNameOf(const std::string& path) { return files::GetFileName(path); }
std::string ParentOf(const std::string& path) { return files::GetParentPath(path); }

std::string FormatTimeStamp(int day, int month, int year, int hour, int minute, int second) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d.%d.%02d %d.%d.%02d", day, month, ((year % 100) + 100) % 100, hour, minute,
                  second);
    return buf;
}

std::string CurrentTimeStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return FormatTimeStamp(local.tm_mday, local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min,
                           local.tm_sec);
}

}  // namespace engine
