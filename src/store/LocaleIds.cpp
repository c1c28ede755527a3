#include "LocaleIds.h"

#include <cstdlib>
#include <string>

namespace store {
namespace {

struct Locale {
    const char* tag;
    int32_t lcid;
};

// The languages Zimbra's web client offers, and their neighbours in Europe;
// a language alone is its main country's.
constexpr Locale kLocales[] = {
    {"ar", 0x0401},    {"ar-sa", 0x0401}, {"bg", 0x0402},    {"bg-bg", 0x0402}, {"ca", 0x0403},    {"ca-es", 0x0403},
    {"cs", 0x0405},    {"cs-cz", 0x0405}, {"da", 0x0406},    {"da-dk", 0x0406}, {"de", 0x0407},    {"de-de", 0x0407},
    {"de-at", 0x0C07}, {"de-ch", 0x0807}, {"el", 0x0408},    {"el-gr", 0x0408}, {"en", 0x0409},    {"en-us", 0x0409},
    {"en-gb", 0x0809}, {"en-au", 0x0C09}, {"en-ca", 0x1009}, {"en-nz", 0x1409}, {"en-ie", 0x1809}, {"en-za", 0x1C09},
    {"en-in", 0x4009}, {"es", 0x0C0A},    {"es-es", 0x0C0A}, {"es-mx", 0x080A}, {"es-ar", 0x2C0A}, {"et", 0x0425},
    {"et-ee", 0x0425}, {"eu", 0x042D},    {"eu-es", 0x042D}, {"fi", 0x040B},    {"fi-fi", 0x040B}, {"fr", 0x040C},
    {"fr-fr", 0x040C}, {"fr-be", 0x080C}, {"fr-ca", 0x0C0C}, {"fr-ch", 0x100C}, {"he", 0x040D},    {"he-il", 0x040D},
    {"iw", 0x040D},    {"iw-il", 0x040D}, {"hi", 0x0439},    {"hi-in", 0x0439}, {"hr", 0x041A},    {"hr-hr", 0x041A},
    {"hu", 0x040E},    {"hu-hu", 0x040E}, {"id", 0x0421},    {"id-id", 0x0421}, {"in", 0x0421},    {"in-id", 0x0421},
    {"is", 0x040F},    {"is-is", 0x040F}, {"it", 0x0410},    {"it-it", 0x0410}, {"it-ch", 0x0810}, {"ja", 0x0411},
    {"ja-jp", 0x0411}, {"ko", 0x0412},    {"ko-kr", 0x0412}, {"lo", 0x0454},    {"lo-la", 0x0454}, {"lt", 0x0427},
    {"lt-lt", 0x0427}, {"lv", 0x0426},    {"lv-lv", 0x0426}, {"ms", 0x043E},    {"ms-my", 0x043E}, {"nb", 0x0414},
    {"nb-no", 0x0414}, {"no", 0x0414},    {"no-no", 0x0414}, {"nn", 0x0814},    {"nn-no", 0x0814}, {"nl", 0x0413},
    {"nl-nl", 0x0413}, {"nl-be", 0x0813}, {"pl", 0x0415},    {"pl-pl", 0x0415}, {"pt", 0x0816},    {"pt-pt", 0x0816},
    {"pt-br", 0x0416}, {"ro", 0x0418},    {"ro-ro", 0x0418}, {"ru", 0x0419},    {"ru-ru", 0x0419}, {"sk", 0x041B},
    {"sk-sk", 0x041B}, {"sl", 0x0424},    {"sl-si", 0x0424}, {"sv", 0x041D},    {"sv-se", 0x041D}, {"th", 0x041E},
    {"th-th", 0x041E}, {"tr", 0x041F},    {"tr-tr", 0x041F}, {"uk", 0x0422},    {"uk-ua", 0x0422}, {"vi", 0x042A},
    {"vi-vn", 0x042A}, {"zh", 0x0804},    {"zh-cn", 0x0804}, {"zh-sg", 0x1004}, {"zh-tw", 0x0404}, {"zh-hk", 0x0C04},
};

}  // namespace

std::optional<int32_t> LocaleIdFor(std::string_view text) {
    if (text.empty()) return std::nullopt;
    if (text[0] >= '0' && text[0] <= '9') {
        const std::string digits(text);
        char* end = nullptr;
        const bool hex = digits.size() > 2 && (digits[1] == 'x' || digits[1] == 'X') && digits[0] == '0';
        const unsigned long n = std::strtoul(digits.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
        // A language id with its sort id: 20 bits ([MS-LCID] 2.1).
        if (!end || *end || n == 0 || n > 0xFFFFF) return std::nullopt;
        return int32_t(n);
    }
    std::string tag;
    for (char c : text) {
        if (c == '_') c = '-';
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        tag += c;
    }
    for (const Locale& l : kLocales)
        if (tag == l.tag) return l.lcid;
    return std::nullopt;
}

}  // namespace store
