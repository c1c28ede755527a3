#pragma once
// RFC 822 import: fills a store message from an ".eml" file.
#include <string>

#include "store/PstStoreSession.h"

namespace mime {

struct ImportResult {
    bool ok = false;
    std::string error;  // why the import failed, for the log; empty when ok
};

// Parses the file at `path` and fills `message` (a new, unsaved IPM.Note) with its
// headers, bodies, recipients and attachments. Does not save the message.
// Never throws: a file that holds no message at all, an unreadable file, or a
// store failure gives ok = false.
ImportResult ImportMessage(store::Item& message, const std::string& path);

}  // namespace mime
