#include "engine/SourceRecord.h"

#include "engine/EngineText.h"

namespace engine {
namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

std::string WithoutLeadingZeros(std::string digits) {
    const size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? "0" : digits.substr(first);
}

}  // namespace

std::string ZimbraIdOfName(const std::string& fileName) {
    // "<id10>-<subject>.<ext>"
    size_t n = 0;
    while (n < fileName.size() && Digit(fileName[n])) ++n;
    if (n == 10 && n < fileName.size() && fileName[n] == '-') return WithoutLeadingZeros(fileName.substr(0, 10));
    // "<type>-<id>.<ext>" for an empty subject
    const size_t dash = fileName.find('-');
    if (dash == std::string::npos || dash == 0) return {};
    for (size_t i = 0; i < dash; ++i)
        if (fileName[i] < 'a' || fileName[i] > 'z') return {};
    size_t end = dash + 1;
    while (end < fileName.size() && Digit(fileName[end])) ++end;
    if (end == dash + 1 || end >= fileName.size() || fileName[end] != '.') return {};
    return WithoutLeadingZeros(fileName.substr(dash + 1, end - dash - 1));
}

std::string SourceRecord(const std::string& mailbox, const std::string& mailboxFolder, const std::string& path) {
    const char sep = NativeSeparator();
    std::string root = mailboxFolder;
    while (!root.empty() && root.back() == sep) root.pop_back();
    root += sep;
    std::string relative = RelativeTo(path, root);
    for (char& c : relative)
        if (c == sep) c = '/';
    return mailbox + "\n" + relative + "\n" + ZimbraIdOfName(FileNameOf(path));
}

}  // namespace engine
