#pragma once
// Path representation used throughout the program.
//
// A path is a std::string of the platform's native bytes (UTF-8 by convention,
// but any bytes the file system returned are kept unchanged) with the native
// separator: '/' on POSIX systems, '\\' on Windows. kPathSeparator is the one
// place that decides it; every contract that depends on the separator (a folder
// path ends with it, GetFileName/GetParentPath split at it, root tests count it)
// uses this constant.
#include <string>
#include <string_view>

namespace files {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif
inline constexpr std::string_view kPathSeparatorString{&kPathSeparator, 1};

// Text after the last separator; the whole text when it has none.
std::string GetFileName(std::string_view path);

// Text up to and including the last separator; empty when it has none.
std::string GetParentPath(std::string_view path);

// Trims leading and trailing spaces; an empty result becomes the separator alone;
// otherwise appends a separator unless the text already ends with one.
std::string AddBackslash(std::string_view path);

// True for a root: on POSIX "/" (and a server root "//server/"), on Windows a
// drive root "C:\" or "C:" and a server root "\\server\". False for "".
bool IsRootPath(std::string_view path);

// The text before the first NUL character, or the whole text when it holds none.
std::string TrimNullChars(std::string_view text);

// The Windows long-path form of a path, as UTF-16 with a terminating NUL as its
// last code unit: "\\?\UNC\" + path without its first two characters when the
// path begins with "\\", else "\\?\" + path. A pure text rule, applied without
// further tests; invalid UTF-8 bytes become U+FFFD. The POSIX operations need no
// prefix and never call it.
std::u16string ToLongPath(std::string_view path);

// Rewrites every '\\' of a literal path fragment (for example "\\Contacts" or
// "\\Inbox\\") to the native separator. Only for fragments written in our own
// source: on POSIX a backslash inside a real file name is an ordinary character.
std::string NativeSeparators(std::string_view literal);

}  // namespace files
