#pragma once
// Briefcase documents. Each document (and each stored revision of a versioned
// one) is a ".meta" file whose JSON is of type 8, with the file's bytes as its
// companion. It becomes a post (IPM.Post) in the folder the engine gives: the
// file attached under its real name and content type, the description as
// body, the creator as sender, and the document's times.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "items/ItemConverters.h"
#include "items/ItemTimes.h"

namespace items {

struct DocumentFields {
    std::string name;          // the file's real name (JSON "name")
    std::string contentType;   // "ct"
    std::string creator;       // "cr", an address
    std::string description;   // "de"
    int version = 0;           // a versioned document's revision ("ver", else the entry name's -NNNNN), 0 when not versioned
    uint64_t size = 0;         // the size the export records
    bool sizeKnown = false;
    ItemTimes times;
    std::vector<std::string> categories;
};

// Reads a document's ".meta" file; nothing when it is not complete JSON of type 8.
std::optional<DocumentFields> ReadDocumentFields(const std::string& metaPath);

// Saves the post into ctx.folder (which must be set). The companion (the file's
// bytes) must exist: without it the document is lost and the outcome Failed.
// A companion whose size is not the recorded one is converted as it is and
// told through ctx.note.
ItemOutcome ConvertDocumentFile(const ItemContext& ctx, const std::string& metaPath);

}  // namespace items
