#pragma once
// Imports loose .eml files and folders of them into a store: the work of
// `orvandel eml2pst`, shared with its tests and the import benchmark.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mime/MimeImport.h"
#include "store/PstStoreSession.h"

namespace mime {

struct EmlTreeStats {
    size_t imported = 0;   // messages saved
    size_t failed = 0;     // files that held no message, or failed to save
    size_t folders = 0;    // folders created for input folders
    uint64_t bytes = 0;    // size of the files imported
};

// Loose files go into the Inbox; each input folder becomes a top-level mail
// folder of the same name (merged into an existing one of that name), with its
// sub-folder tree. In folders, files whose name ends in ".eml" (any case) or is
// "eml~1" are taken; names are taken in byte order, files before sub-folders;
// symbolic links to folders are not followed. `onFailure(path, why)` hears of
// every file that failed. Store failures other than a message's own propagate.
EmlTreeStats ImportEmlInputs(store::Store& st, const std::vector<std::string>& inputs,
                             const std::function<void(const std::string&, const std::string&)>& onFailure);

// One message file into `folder`: filled, marked read, saved. Returns the import
// result (a failed save gives ok = false with the store's reason).
ImportResult ImportEmlFile(store::Folder& folder, const std::string& path);

}  // namespace mime
