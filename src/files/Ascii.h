#pragma once
// Case folding for names, labels and keywords that are compared as ASCII.
#include <string>
#include <string_view>

namespace files {

// Lower-cases the ASCII letters A-Z; every other byte (UTF-8 included) is kept.
inline std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The value of a hexadecimal digit (either case), or -1.
inline int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace files
