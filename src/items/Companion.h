#pragma once
// Companion files: the MIME or HTML file the export keeps beside a ".meta"
// file, read for its attachments, its text and a contact's picture.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace store {
class Item;
}

namespace items {

struct CompanionPart {
    std::string fileName;     // decoded file name, may be empty
    std::string contentType;  // "type/subtype", lower case
    std::string savedPath;    // the decoded content, in the companion's temporary folder
    uint64_t size = 0;
};

// What a companion holds. Attachments are decoded straight into files of a
// private temporary folder ("orvandel-<pid>-ZIM" prefix), so big attachments never sit in
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

// The companion beside an item's ".meta" file: x.appt.meta -> x.appt. A name
// whose ".meta" is not lower case keeps it under CompanionPath; the companion is
// then the name without its last five characters, never the ".meta" file
// itself. "" when the name has no ".meta".
std::string ItemCompanionPath(const std::string& metaPath);

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
// image, saved to a new temporary file ("orvandel-<pid>-ZIM" prefix). Returns its path or "".
// The caller removes the file once the contact is saved.
std::string ContactPhoto(const std::string& companionPath);

}  // namespace items
