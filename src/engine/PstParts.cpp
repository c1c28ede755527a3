#include "engine/PstParts.h"

#include <cctype>

namespace engine {

std::string PstPartPath(const std::string& firstPath, int number) {
    const std::string suffix = " (" + std::to_string(number) + ")";
    if (firstPath.size() >= 4) {
        std::string ext = firstPath.substr(firstPath.size() - 4);
        for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (ext == ".pst") return firstPath.substr(0, firstPath.size() - 4) + suffix + firstPath.substr(firstPath.size() - 4);
    }
    return firstPath + suffix;
}

std::string PstPartDisplayName(const std::string& firstName, int number) {
    return firstName + " (" + std::to_string(number) + ")";
}

bool ParsePstSize(const std::string& text, uint64_t& bytes) {
    size_t i = 0;
    uint64_t n = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        if (n > (uint64_t(1) << 50)) return false;
        n = n * 10 + uint64_t(text[i++] - '0');
    }
    if (i == 0) return false;
    int shift = 0;
    if (i < text.size()) {
        switch (std::toupper(static_cast<unsigned char>(text[i]))) {
            case 'K': shift = 10; break;
            case 'M': shift = 20; break;
            case 'G': shift = 30; break;
            case 'T': shift = 40; break;
            case 'B': break;
            default: return false;
        }
        if (shift) ++i;
        if (i < text.size() && std::toupper(static_cast<unsigned char>(text[i])) == 'B') ++i;
        if (i != text.size()) return false;
    }
    if (shift && n > (uint64_t(1) << (63 - shift))) return false;
    bytes = n << shift;
    return true;
}

}  // namespace engine
