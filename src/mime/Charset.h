#pragma once
// Text decoding for imported mail: declared charsets through iconv, and a guess
// for 8-bit text that declares none (or declares one it does not use).
#include <cstdint>
#include <string>
#include <string_view>

namespace mime {

bool IsValidUtf8(std::string_view bytes);
bool IsAscii(std::string_view bytes);

// The name iconv knows for a MIME charset label, with the usual supersets
// (ISO-8859-1 -> WINDOWS-1252, GB2312 -> GB18030, Shift_JIS -> CP932, ...).
// Empty when the label is empty or unknown to iconv.
std::string IconvName(std::string_view label);

// Converts `bytes` from `iconvName` to UTF-8. Undecodable bytes become U+FFFD;
// `errors` (optional) receives their count. Returns false when iconv has no
// converter for the name.
bool ConvertToUtf8(std::string_view bytes, const std::string& iconvName, std::string& out, size_t* errors = nullptr);

// Guesses the charset of 8-bit text: UTF-8 when valid, ISO-2022-JP when it
// holds its escapes, else the legacy charset whose reading looks most like
// real text (CJK double-byte sets, Cyrillic, Western). `hint` (an iconv name,
// e.g. the charset the message declares elsewhere) wins when it reads cleanly.
std::string GuessCharset(std::string_view bytes, std::string_view hint = {});

// Decodes text in the declared charset label; falls back to a guess when the
// label is missing, us-ascii with 8-bit data, unknown, or plainly wrong (a
// multi-byte charset that fails to decode). `used` receives the iconv name.
std::string DecodeText(std::string_view bytes, std::string_view label, std::string_view hint = {},
                       std::string* used = nullptr);

// Decodes RFC 2047 encoded words in an unfolded header value. Adjacent words
// in one charset are joined before conversion (a character may be split
// across them); whitespace between encoded words is dropped; a word that does
// not decode in its charset (nor in a guessed one) stays as written. Raw 8-bit
// text outside the words is read as GuessCharset says.
std::string DecodeHeaderWords(std::string_view value, std::string_view hint = {});

// Rewrites every run of two or more adjacent encoded words (only blanks
// between them) as one UTF-8 "B" word holding the run decoded. Parsers that
// join a run's base64 text before decoding it stop at the first word's "="
// padding and lose the rest of a display name. Other text stays as written.
std::string JoinEncodedWordRuns(std::string_view value, std::string_view hint = {});

// Windows code page of an iconv name (65001 for UTF-8), 0 when there is none.
uint32_t CodePageOf(std::string_view iconvName);

// Replaces bytes that are not valid UTF-8 with U+FFFD.
std::string SanitizeUtf8(std::string_view bytes);

}  // namespace mime
