#pragma once
// Reading, one at a time, messages an opened file already holds: the rows of a
// folder's contents table as the file has them, and one message's properties.
// Nothing here is loaded for every message of a file; callers read only the
// folders and messages they need.
#include <cstdint>
#include <string>
#include <vector>

#include "Tables.h"
#include "pst/ndb/NodeDb.h"

namespace pst {

struct FileMessageRow {
    uint32_t nid = 0;          // the message's node
    std::string messageClass;  // from the row, "" when the table has none
};

// The messages of a folder's contents table as last committed to the file;
// empty when the folder has no such table.
std::vector<FileMessageRow> ReadFolderContents(ndb::NodeDb& db, uint32_t folderNid);

// The properties of a message node as the file holds them (values whose type
// the messaging layer keeps; others are left out); empty when there is no
// such node.
PropMap ReadMessageProps(ndb::NodeDb& db, uint32_t messageNid);

}  // namespace pst
