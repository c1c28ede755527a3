#pragma once
// UTF-8 and UTF-16 conversions shared by the file, item, MIME and engine layers.
// Ill-formed input never fails: it becomes U+FFFD, one per invalid UTF-8 byte
// and one per unpaired surrogate. NUL passes through unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace files {

// Decodes the UTF-8 sequence at text[i] (i < text.size()): its code point and,
// in `length`, its byte count. An ill-formed sequence there (a stray or
// truncated byte, an overlong form, a surrogate, a value above U+10FFFF) gives
// -1 with length 1.
std::int32_t DecodeUtf8(std::string_view text, std::size_t i, std::size_t& length);

// Appends one code point; surrogates and values above U+10FFFF become U+FFFD.
void AppendUtf8(std::string& out, char32_t cp);
// Appends one code point (a surrogate pair above U+FFFF).
void AppendUtf16(std::u16string& out, char32_t cp);

// UTF-16 to UTF-8 (unpaired surrogates become U+FFFD), and back (each invalid
// byte becomes U+FFFD).
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace files
