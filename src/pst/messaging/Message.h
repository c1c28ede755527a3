#pragma once
// A message as the store layer fills it before Save, and its writer: the
// message PC with its recipient table, attachment table and attachment
// subnodes ([MS-PST] 2.4.5, 2.4.6).
#include <memory>
#include <vector>

#include "NameMap.h"
#include "RecipientRows.h"
#include "RowSpool.h"
#include "Tables.h"
#include "pst/ltp/Subnodes.h"
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

// The attachments of a message already written to the file: an attachment is
// written once the next one begins or the message is saved, so a message with
// any number of attachments holds the properties of one. What stays is its
// node, its attachment-table row (in a temporary file past a few hundred
// kilobytes) and its blocks, pending until the message is saved.
class WrittenAttachments {
public:
    WrittenAttachments() = default;
    WrittenAttachments(const WrittenAttachments&) = delete;
    WrittenAttachments& operator=(const WrittenAttachments&) = delete;
    ~WrittenAttachments();

    void Add(const ndb::SubnodeEntry& node, ltp::TcRow row, uint64_t bytes);
    size_t Count() const { return nodes_.size(); }
    const std::vector<ndb::SubnodeEntry>& Nodes() const { return nodes_; }
    // Of every written attachment: what PR_MESSAGE_SIZE counts.
    uint64_t Bytes() const { return bytes_; }
    ndb::BlockList& Blocks() { return blocks_; }
    // The next subnode index for an attachment of the message.
    uint32_t NextIndex() const { return nextIndex_; }
    // Writes the attachment table from the rows, in order.
    uint64_t WriteTable(ndb::NodeDb& db, ltp::SubnodeSink& sink);

private:
    std::vector<ndb::SubnodeEntry> nodes_;
    std::vector<ltp::TcRow> rows_;  // in memory until they outgrow it
    size_t rowBytes_ = 0;
    std::unique_ptr<RowSpool> spool_;
    std::vector<uint64_t> spooled_;
    uint64_t bytes_ = 0;
    ndb::BlockList blocks_;
    uint32_t nextIndex_ = 0x20;
};

struct MessageData {
    PropMap props;
    RecipientRows recipients;
    std::unique_ptr<AttachmentData> open;  // the attachment being filled
    WrittenAttachments written;
    size_t AttachmentCount() const { return written.Count() + (open ? 1 : 0); }
    void ReleaseBlocks(ndb::NodeDb& db);
    // Marks the blocks of the written attachments (and of the open one's data)
    // pending or not.
    void SetStreamsPending(ndb::NodeDb& db, bool pending);
};

// Writes the open attachment of `msg` (its embedded message first) and keeps
// only what WrittenAttachments holds. A failure drops the attachment, gives
// its blocks back and throws.
void FinishAttachment(ndb::NodeDb& db, MessageData& msg, uint32_t& rowVersion);

// Fills the properties the store computes (after FinishAttachment): flags' HASATTACH bit, PR_HASATTACH,
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
