#pragma once
// Reading Zimbra ".meta" files.
//
// A ".meta" file of a "?fmt=tgz" export is one line of JSON; its "metadata"
// value is a JSON string holding the item's bencoded dictionary. Bencode
// string lengths count UTF-16 code units of the unescaped text, and values may
// hold ":" freely, so values are cut by their length, never at a colon.
//
// The reading goes: ReadMetaText (the file) -> ParseMetaFile (the JSON
// wrapper) -> MetaScanText (the section of the kind, escapes resolved, as
// UTF-16) -> MetaTokens (split at ":") -> ScanMetaTokens (the key rules).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "files/Utf.h"

namespace items {

// --- Text conversions --------------------------------------------------------
using files::Utf8ToUtf16;  // invalid bytes become U+FFFD
using files::Utf16ToUtf8;  // lone surrogates become U+FFFD
// Strips leading and trailing spaces (U+0020 only, as the converters trim).
std::string TrimSpaces(const std::string& text);

// --- The file ------------------------------------------------------------------
// The whole file's bytes; false when it cannot be opened or read, or is no
// regular file (a pipe, a device). `followLinks` false: a symbolic link is not
// read (the export's own files), true: it is (system files such as zoneinfo).
bool ReadFileBytes(const std::string& path, std::string& out, bool followLinks);
// The whole file as UTF-8 text (a leading byte-order mark is dropped), or ""
// when it cannot be read or is a symbolic link. The path is stripped of leading
// and trailing spaces.
std::string ReadMetaText(const std::string& path);

// The JSON wrapper of a ".meta" file: its top-level members. String members are
// decoded (escapes resolved); numbers, true/false are kept as their text. Every
// member is valid UTF-8 (bytes that are no UTF-8 become U+FFFD).
struct MetaFile {
    std::string raw;                          // the file's text as read
    bool isJson = false;                      // the text is one complete JSON object
    std::map<std::string, std::string> members;
    std::optional<std::string> Member(const std::string& key) const;
    // The Zimbra item type ("type" member), or -1.
    int ItemType() const;
    // True for the kinds that are containers, not items: folder, search folder,
    // tag, mountpoint, link, smart folder.
    bool DescribesFolder() const;
};

// Parses the JSON object; `isJson` stays false when the text is not one
// complete JSON object (for example an export cut off part-way).
MetaFile ParseMetaFile(const std::string& raw);

// Decodes the content of a JSON string (\" \\ \/ \b \f \n \r \t \uXXXX with
// surrogate pairs). Unknown escapes are kept as they stand; lone surrogates and
// bytes that are no UTF-8 become U+FFFD, so the result is always valid UTF-8.
std::string ResolveJsonEscapes(const std::string& text);

// --- Section -------------------------------------------------------------------
// The text after the first occurrence of marker, up to (not including) its
// second occurrence or to the end; nullopt when the marker does not occur.
std::optional<std::string> MetaSection(const std::string& text, const std::string& marker);

// The text the key rules are scanned in, as UTF-16, or nullopt when the file has
// no section of this kind. For a JSON ".meta" file the marker must occur in the
// file; the scan text is then the decoded "metadata" string (for the contact
// marker "d3:", the part after its first "d3:", or the whole metadata of a
// contact, type 6, that has none). Other texts: the section of the raw text.
std::optional<std::u16string> MetaScanText(const MetaFile& file, const std::string& marker);

// --- Tokens and key rules ------------------------------------------------------
struct MetaToken {
    size_t start = 0;      // offset of the token in the scan text (UTF-16 units)
    std::u16string text;   // the token, without the ":" that ends it
};
// The scan text split at every ":".
std::vector<MetaToken> MetaTokens(const std::u16string& text);

enum class MatchKind {
    Prefix,          // the token begins with the key
    PrefixAndDigit,  // ... and the character after the key is a decimal digit
    Description,     // begins with "desc", not with "descH"
    Contains,        // the key occurs anywhere in the token
};

enum class CutKind {
    Length,        // the N UTF-16 units after the key token's colon, across ":"
    QuotedName,    // token i+1 split at ","; the first piece without '"' (needs two pieces)
};

struct MetaKeyRule {
    std::string key;
    MatchKind match = MatchKind::Prefix;
    CutKind cut = CutKind::Length;
    std::string* target = nullptr;  // receives the value, UTF-8
    bool taken = false;
};

// Scans tokens 1..last in order; for each token every rule not yet taken is
// tested in the rules' order. A matching rule is taken whether or not its cut
// succeeds (the first matching token decides each key). A key token matches a
// rule only when the digits ending the token before it (the key's own length)
// agree with the rule's key, so "email215" (key "email2") is not the key
// "email". Tokens that begin inside a value already cut are not tested.
// Clears the taken flags and targets first.
void ScanMetaTokens(const std::u16string& text, const std::vector<MetaToken>& tokens,
                    std::vector<MetaKeyRule>& rules);

// --- Small text helpers ----------------------------------------------------------
// Turns the two-character sequences of an escaped description into line
// breaks: "\r\n" becomes CR LF, a lone "\r" LF and a lone "\n" CR LF.
std::string UnescapeMetaText(const std::string& text);
// The tag names of a JSON "TagNames" value: the text split at ":", where "\:"
// is a colon inside a name and "\\" a backslash (8.x); any other backslash is
// kept as it stands. Empty names are dropped, and a name that occurs again is
// dropped, so the names keep the order of their first occurrence.
std::vector<std::string> SplitTagNames(const std::string& tagNames);
// "yyyymmdd" -> "mm/dd/yyyy"; characters beyond the text give nothing ("" -> "//").
std::string FormatCompactDate(const std::string& text);
// "hhmm" -> "hh:mm" ("" -> ":").
std::string FormatCompactTime(const std::string& text);

}  // namespace items
