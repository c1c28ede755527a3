#pragma once
// Small text helpers of the migration engine: exact, case-sensitive substring
// work on UTF-8 text, and the two path forms the engine handles.
//
// File paths are native (the platform's separator). Store folder paths always
// use "\" between components. ToStoreSeparators is the one place where a path
// relative to the export root turns into the store's form.
#include <string>
#include <string_view>

#include "files/Ascii.h"

namespace engine {

// The native separator of file paths, taken from the files layer.
char NativeSeparator();

bool Contains(std::string_view text, std::string_view part);
bool StartsWith(std::string_view text, std::string_view prefix);
bool EndsWith(std::string_view text, std::string_view suffix);
// Every occurrence of `from` replaced by `to`, left to right, not rescanned.
std::string ReplaceAll(std::string text, std::string_view from, std::string_view to);
// A path below `root` relative to it: the leading root removed once. A folder
// inside the mailbox can hold the root's own spelling ("box/" in "Inbox/"), so
// only the start is taken off; a path not below root is returned unchanged.
std::string RelativeTo(std::string path, std::string_view root);
// Lower-cases ASCII letters; other bytes are kept.
using files::LowerAscii;
std::string Trim(std::string_view text);

// "\Inbox\" written with the native separator ("/Inbox/" on POSIX).
std::string Native(std::string_view backslashed);
// A relative file-system path in the store's form: native separators become "\".
std::string ToStoreSeparators(std::string_view nativeRelative);

// Last component and parent (up to and including the last separator) of a native path.
std::string FileNameOf(const std::string& path);
std::string ParentOf(const std::string& path);

// "d.m.YY H.m.ss" of a local time given as its fields.
std::string FormatTimeStamp(int day, int month, int year, int hour, int minute, int second);
// The same for the current local time.
std::string CurrentTimeStamp();

}  // namespace engine
