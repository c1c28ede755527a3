#pragma once
// What the item converters share besides the metadata reader: temporary
// files, companion files (the MIME or HTML file the export keeps beside a
// ".meta" file), Zimbra date-times and text conversions.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pst/messaging/PropertyValue.h"

namespace store {
class Item;
}

namespace items {

// --- Files -----------------------------------------------------------------------
// The system's temporary folder with a trailing "/" ($TMPDIR, else /tmp), or ""
// when it is not a usable folder.
std::string TempFolderPath();
// Creates a new, empty file with a unique name "<prefix>XXXXXX" in the temporary
// folder (mkstemp: no races) and returns its path, or "" on failure.
std::string NewTempFileName(const std::string& prefix);
// Creates a new, private folder "<prefix>XXXXXX" in the temporary folder
// (mkdtemp) and returns its path with a trailing "/", or "".
std::string NewTempFolder(const std::string& prefix);
// True for an existing regular file (links followed); false for folders,
// pipes, devices, missing paths and the empty text.
bool IsExistingFile(const std::string& path);
// The meta path with every ".meta" removed: x.appt.meta -> x.appt.
std::string CompanionPath(const std::string& metaPath);
// A file name that is safe to create in a folder: no path components, no "..",
// no control characters, not empty, at most 200 bytes (UTF-8 kept whole).
std::string SanitizeFileName(const std::string& name);
// Creates a new file in folder named after `name` (sanitized); a name in use
// gets " (2)", " (3)", ... before its extension. Never overwrites or follows an
// existing file. Returns the path and an open descriptor, or ("", -1).
std::pair<std::string, int> CreateNewFile(const std::string& folder, const std::string& name);
// CreateNewFile, then writes bytes into it. Returns the path, or "" on failure.
std::string SaveNewFile(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes);
// Removes a file and, when `folder` is given, the then-empty folder; errors ignored.
void RemoveTempFile(const std::string& path);
void RemoveTempFolder(const std::string& folder);

// --- Companion MIME files ----------------------------------------------------------
struct CompanionPart {
    std::string fileName;     // decoded file name, may be empty
    std::string contentType;  // "type/subtype", lower case
    std::string savedPath;    // the decoded content, in the companion's temporary folder
    uint64_t size = 0;
};

// What a companion holds. Attachments are decoded straight into files of a
// private temporary folder ("ZIM" prefix), so big attachments never sit in
// memory; the folder and its files go when the content is destroyed.
struct CompanionContent {
    bool parsed = false;                    // the file was read and parsed as MIME
    std::vector<CompanionPart> attachments; // every real attachment, in file order
    std::string text;                       // the first text part (HTML converted), UTF-8
    std::string folder;                     // the temporary folder, "" until needed

    CompanionContent() = default;
    CompanionContent(const CompanionContent&) = delete;
    CompanionContent& operator=(const CompanionContent&) = delete;
    CompanionContent(CompanionContent&& other) noexcept;
    CompanionContent& operator=(CompanionContent&& other) noexcept;
    ~CompanionContent();
    void Clear();  // removes the saved files and the folder
};

// Parses a companion MIME file as it is on disk (bytes unchanged). Parts of
// nested messages (the invites of a calendar item) are included; calendar
// parts (text/calendar) and the body text parts are not attachments. Identical
// attachments repeated by several invites are kept once. Attachments are saved
// under their sanitized names; a name in use gets " (2)", " (3)", ...
CompanionContent ReadCompanion(const std::string& path);

// Attaches the companion's attachments to the item (Attachments.Add of each
// saved file, named after the attachment). Returns the number attached.
size_t CompanionAttachments(store::Item& item, const CompanionContent& companion);
size_t CompanionAttachments(store::Item& item, const std::string& companionPath);

// The contact's picture from its companion: the last attachment that is an
// image, saved to a new temporary file ("ZIM" prefix). Returns its path or "".
// The caller removes the file once the contact is saved.
std::string ContactPhoto(const std::string& companionPath);

// --- Bencoded values ------------------------------------------------------------------
// One value of a bencoded metadata text (MetaScanText of a JSON ".meta" file),
// read by its structure: strings are cut by their UTF-16 length, so ":", "d"
// or "e" inside a value are data, and a nested dictionary's keys stay its own.
struct MetaValue {
    enum class Kind { String, Integer, List, Dictionary };
    Kind kind = Kind::String;
    std::string text;                                      // a string (UTF-8) or an integer's digits
    std::vector<std::pair<std::string, MetaValue>> items;  // dictionary members in order; list items under ""
    // A dictionary's own member (not one of a nested dictionary), or null.
    const MetaValue* Member(const std::string& key) const;
    // The text of an own string or integer member, or "".
    std::string Text(const std::string& key) const;
};
// Reads the value that starts at `pos` and moves `pos` past it. nullopt when
// the text is not well-formed there: a length past the end, a missing "e", a
// non-number, nesting deeper than 64.
std::optional<MetaValue> ReadMetaValue(const std::u16string& text, size_t& pos);

// A meeting's global object id ([MS-OXOCAL] 2.2.1.27) from its iCalendar UID
// ([MS-OXCICAL] 2.1.3.1.1.20.26): a UID that is an Outlook id in hex is that id;
// any other UID is wrapped as "vCal-Uid" data. Empty for an empty UID.
pst::Binary GlobalObjectIdFromUid(const std::string& uid);

// --- Text ----------------------------------------------------------------------------
// Plain text of an HTML page: tags dropped, block ends as CR LF, entities decoded.
std::string HtmlToText(const std::string& html);
// Decodes a text part's bytes from its charset to UTF-8 (UTF-8 kept; invalid
// sequences of an unknown charset read as Windows-1252).
std::string DecodeToUtf8(const std::vector<uint8_t>& bytes, const std::string& charset);

// --- Date and time ---------------------------------------------------------------------
struct CivilTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// A Zimbra start or end (ParsedDateTime text) read whole.
struct ZimbraDateTime {
    enum class Kind { Zoned, Utc, Floating, AllDay };
    Kind kind = Kind::Floating;
    std::string zone;  // TZID for Zoned
    CivilTime local;   // the digits as written
};
// "TZID=<zone>:yyyymmddThhmmss", "yyyymmddThhmmssZ", "yyyymmddThhmmss",
// "VALUE=DATE:yyyymmdd" (also a bare "yyyymmdd", taken as a date). nullopt when
// the text holds no valid date.
std::optional<ZimbraDateTime> ParseZimbraDateTime(const std::string& text);

bool IsValidCivil(const CivilTime& t);
// Seconds since 1970-01-01 UTC of a UTC civil time.
int64_t CivilToUnix(const CivilTime& t);
CivilTime UnixToCivil(int64_t seconds);
pst::FileTime UnixToFileTime(int64_t seconds);
int64_t FileTimeToUnix(const pst::FileTime& ft);
// The UTC instant of a wall-clock time in the system's local zone.
int64_t LocalToUnix(const CivilTime& t);
// The UTC instant of a wall-clock time in a zone of the system's time-zone
// database (TZif files under $TZDIR or /usr/share/zoneinfo); nullopt when the
// zone is unknown.
std::optional<int64_t> ZoneToUnix(const std::string& zone, const CivilTime& t);
// The instant of a Zimbra date-time: UTC as UTC, a known zone converted, floating
// times, unknown zones and dates as local time.
int64_t ZimbraToUnix(const ZimbraDateTime& t);

// A birthday as Zimbra writes it: "yyyy-MM-dd" or "--MM-dd" (no year: the
// placeholder year 1604 is used). nullopt when it is no valid date.
std::optional<CivilTime> ParseBirthday(const std::string& text);

}  // namespace items
