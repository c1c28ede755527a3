#pragma once
// A message as the store layer fills it before Save, and its writer: the
// message PC with its recipient table, attachment table and attachment
// subnodes ([MS-PST] 2.4.5, 2.4.6).
#include <memory>
#include <vector>

#include "NameMap.h"
#include "RecipientRows.h"
#include "Tables.h"
#include "pst/ndb/DataStream.h"
#include "pst/ndb/NodeDb.h"

namespace pst {

inline constexpr int32_t MSGFLAG_READ = 0x1;
inline constexpr int32_t MSGFLAG_UNMODIFIED = 0x2;
inline constexpr int32_t MSGFLAG_HASATTACH = 0x10;
inline constexpr int32_t MSGFLAG_ASSOCIATED = 0x40;

struct MessageData;

struct AttachmentData {
    PropMap props;
    // By-value data larger than a heap item, already in the file (smaller data
    // is kept as PR_ATTACH_DATA_BIN in props).
    std::unique_ptr<ndb::DataStream> stream;
    std::unique_ptr<MessageData> embedded;    // attach method 5
    // The data's blocks, released if the message is never saved.
    void ReleaseBlocks(ndb::NodeDb& db);
};

struct MessageData {
    PropMap props;
    RecipientRows recipients;
    std::vector<std::unique_ptr<AttachmentData>> attachments;
    void ReleaseBlocks(ndb::NodeDb& db);
    // Marks the streamed attachment data (also of embedded messages) pending or not.
    void SetStreamsPending(ndb::NodeDb& db, bool pending);
};

// Fills the properties the store computes: flags' HASATTACH bit, PR_HASATTACH,
// PR_MESSAGE_SIZE, display lists, search key, times, recipient defaults.
void PrepareMessage(MessageData& msg, const std::string& defaultClass);

struct WrittenNode {
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
};

// Writes a prepared message (PC + subnodes) and returns its node's blocks; its
// table rows take versions from the store-wide `rowVersion` counter.
WrittenNode WriteMessage(ndb::NodeDb& db, MessageData& msg, ndb::BlockList* owned, uint32_t& rowVersion);

}  // namespace pst
