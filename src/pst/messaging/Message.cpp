#include "Message.h"

#include <chrono>
#include <random>

#include "EntryIds.h"
#include "PropEncode.h"
#include "PropTags.h"
#include "pst/ltp/PropContext.h"
#include "pst/ltp/TableContext.h"
#include "pst/ndb/Error.h"

namespace pst {
namespace {

using namespace pst::tags;

constexpr uint32_t kTagParentEntryId = 0x0E090102;
constexpr uint32_t kTagStoreEntryId = 0x0FFB0102;

FileTime Now() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    uint64_t ticks = uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) * 10;
    return FileTime{ticks + 116444736000000000ull};
}

Binary RandomKey() {
    static std::mt19937_64 rng{std::random_device{}()};
    Binary b(16);
    for (size_t i = 0; i < 16; i += 8) {
        uint64_t v = rng();
        for (size_t k = 0; k < 8; ++k) b[i + k] = uint8_t(v >> (8 * k));
    }
    return b;
}

const std::string* Str(const PropMap& m, uint32_t tag) {
    auto it = m.find(tag);
    return it == m.end() ? nullptr : std::get_if<std::string>(&it->second);
}

std::string StrOr(const PropMap& m, uint32_t tag, const std::string& dflt = {}) {
    const std::string* s = Str(m, tag);
    return s ? *s : dflt;
}

int64_t IntOr(const PropMap& m, uint32_t tag, int64_t dflt) {
    auto it = m.find(tag);
    if (it == m.end()) return dflt;
    if (auto p = std::get_if<int32_t>(&it->second)) return *p;
    if (auto p = std::get_if<int16_t>(&it->second)) return *p;
    if (auto p = std::get_if<int64_t>(&it->second)) return *p;
    if (auto p = std::get_if<bool>(&it->second)) return *p;
    return dflt;
}

size_t MessageSize(const MessageData& m) {
    size_t total = 256;
    for (auto& [tag, v] : m.props) total += 8 + ValueSize(v);
    total += m.recipients.ValueBytes();
    return total + size_t(m.written.Bytes());
}

// What an attachment adds to its message's PR_MESSAGE_SIZE.
uint64_t AttachmentBytes(const AttachmentData& a) {
    uint64_t total = 0;
    for (auto& [tag, v] : a.props) total += 8 + ValueSize(v);
    if (a.stream) total += a.stream->Size();
    if (a.embedded) total += MessageSize(*a.embedded);
    return total;
}

// PR_ATTACH_SIZE as Outlook counts it ([MS-OXCMSG] 2.2.2.5): the bytes of all the
// attachment's property values (its own four included), the data and any embedded message.
uint64_t AttachmentSize(const AttachmentData& a) {
    uint64_t total = 4;
    for (auto& [tag, v] : a.props)
        if (tag != PR_ATTACH_SIZE) total += EncodeValue(uint16_t(tag), v).size();
    if (a.stream) total += a.stream->Size();
    if (a.embedded) total += MessageSize(*a.embedded);
    return total;
}

std::vector<ltp::PcProp> ToPcProps(const PropMap& props) {
    std::vector<ltp::PcProp> out;
    out.reserve(props.size());
    for (auto& [tag, v] : props) {
        try {
            out.push_back({tag, EncodeValue(uint16_t(tag), v), 0});
        } catch (const PstError& e) {
            throw PstError("property " + TagText(tag) + ": " + e.what());
        }
    }
    return out;
}

// Messages mostly use the same recipient columns: the layout of the last set
// of tags is kept (per thread: a store is written from one).
const ltp::TableLayout& RecipientLayoutFor(const std::vector<uint32_t>& tags) {
    thread_local std::vector<uint32_t> lastTags;
    thread_local ltp::TableLayout last;
    thread_local bool made = false;
    if (!made || tags != lastTags) {
        last = RecipientLayout(tags);
        lastTags = tags;
        made = true;
    }
    return last;
}

}  // namespace

void AttachmentData::ReleaseBlocks(ndb::NodeDb& db) {
    if (stream) db.ReleaseBlocks(stream->Blocks());
    stream.reset();
    if (embedded) embedded->ReleaseBlocks(db);
}

void MessageData::ReleaseBlocks(ndb::NodeDb& db) {
    if (open) open->ReleaseBlocks(db);
    db.ReleaseBlocks(written.Blocks());
    written.Blocks().clear();
}

void MessageData::SetStreamsPending(ndb::NodeDb& db, bool pending) {
    db.SetPending(written.Blocks(), pending);
    if (!open) return;
    if (open->stream) db.SetPending(open->stream->Blocks(), pending);
    if (open->embedded) open->embedded->SetStreamsPending(db, pending);
}

WrittenAttachments::~WrittenAttachments() = default;

void WrittenAttachments::Add(const ndb::SubnodeEntry& node, ltp::TcRow row, uint64_t bytes) {
    constexpr size_t kMemoryRows = 256 * 1024;
    nodes_.push_back(node);
    bytes_ += bytes;
    nextIndex_ = std::max(nextIndex_, (node.nid >> 5) + 1);
    if (spool_) {
        spooled_.push_back(spool_->Append(row));
        return;
    }
    rowBytes_ += 16 + row.cells.size();
    for (auto& [ib, v] : row.vars) rowBytes_ += 16 + v.size();
    rows_.push_back(std::move(row));
    if (rowBytes_ < kMemoryRows) return;
    spool_ = std::make_unique<RowSpool>();
    for (const ltp::TcRow& r : rows_) spooled_.push_back(spool_->Append(r));
    rows_.clear();
    rows_.shrink_to_fit();
}

uint64_t WrittenAttachments::WriteTable(ndb::NodeDb& db, ltp::SubnodeSink& sink) {
    if (spool_) {
        RowSpool::Source rows(*spool_, spooled_);
        return ltp::WriteTc(db, AttachmentLayout(), rows, sink);
    }
    std::vector<const ltp::TcRow*> ptrs;
    ptrs.reserve(rows_.size());
    for (auto& r : rows_) ptrs.push_back(&r);
    return ltp::WriteTc(db, AttachmentLayout(), ptrs, sink);
}

void PrepareMessage(MessageData& m, const std::string& defaultClass) {
    PropMap& p = m.props;
    p.erase(PR_ENTRYID);
    p.erase(PR_RECORD_KEY);
    p.erase(kTagParentEntryId);
    p.erase(kTagStoreEntryId);
    if (!p.count(PR_MESSAGE_CLASS)) p[PR_MESSAGE_CLASS] = defaultClass;
    m.recipients.Finish();
    // Mail always shows its lists; other items carry only lists that name someone, as in Outlook.
    const std::string cls = StrOr(p, PR_MESSAGE_CLASS);
    const bool mail = cls == "IPM" || cls.rfind("IPM.Note", 0) == 0 || cls.rfind("IPM.Schedule", 0) == 0 ||
                      cls.rfind("IPM.Post", 0) == 0 || cls.rfind("REPORT", 0) == 0;
    const uint32_t listTags[3] = {PR_DISPLAY_TO, PR_DISPLAY_CC, PR_DISPLAY_BCC};
    for (int k = 0; k < 3; ++k) {
        const std::string& list = m.recipients.DisplayList(k + 1);
        if (mail || !list.empty()) p[listTags[k]] = list;
        else p.erase(listTags[k]);
    }
    int32_t flags = int32_t(IntOr(p, PR_MESSAGE_FLAGS, MSGFLAG_UNMODIFIED | MSGFLAG_READ));
    if (m.AttachmentCount() == 0)
        flags &= ~MSGFLAG_HASATTACH;
    else
        flags |= MSGFLAG_HASATTACH;
    p[PR_MESSAGE_FLAGS] = flags;
    // Clients compute PR_HASATTACH from the flags; Outlook never stores it.
    p.erase(PR_HASATTACH);
    // Sender and sent-representing describe the same person for imported mail;
    // readers differ in which one they show, so fill whichever is missing.
    if (p.count(PR_SENDER_EMAIL_ADDRESS) && !p.count(PR_SENDER_ADDRTYPE)) p[PR_SENDER_ADDRTYPE] = std::string("SMTP");
    const std::pair<uint32_t, uint32_t> mirror[] = {{PR_SENDER_NAME, PR_SENT_REPRESENTING_NAME},
                                                    {PR_SENDER_EMAIL_ADDRESS, PR_SENT_REPRESENTING_EMAIL_ADDRESS},
                                                    {PR_SENDER_ADDRTYPE, PR_SENT_REPRESENTING_ADDRTYPE}};
    for (auto& [a, b] : mirror) {
        if (p.count(a) && !p.count(b)) p[b] = p[a];
        if (p.count(b) && !p.count(a)) p[a] = p[b];
    }
    if (!p.count(PR_MESSAGE_STATUS)) p[PR_MESSAGE_STATUS] = int32_t(0);
    if (!p.count(PR_IMPORTANCE)) p[PR_IMPORTANCE] = int32_t(1);
    if (!p.count(PR_SENSITIVITY)) p[PR_SENSITIVITY] = int32_t(0);
    FileTime now = Now();
    if (!p.count(PR_CREATION_TIME)) p[PR_CREATION_TIME] = now;
    if (!p.count(PR_LAST_MODIFICATION_TIME)) p[PR_LAST_MODIFICATION_TIME] = now;
    if (!p.count(PR_SEARCH_KEY)) p[PR_SEARCH_KEY] = RandomKey();
    if (const std::string* subject = Str(p, PR_SUBJECT)) {
        if (!p.count(PR_NORMALIZED_SUBJECT)) p[PR_NORMALIZED_SUBJECT] = *subject;
        if (!p.count(PR_CONVERSATION_TOPIC)) p[PR_CONVERSATION_TOPIC] = *subject;
    }
    p[PR_MESSAGE_SIZE] = int32_t(std::min<size_t>(MessageSize(m), 0x7FFFFFFF));
}

namespace {

// The attachment's own properties the store computes, as Outlook has them.
void PrepareAttachment(AttachmentData& a) {
    if (!a.props.count(PR_ATTACH_METHOD)) a.props[PR_ATTACH_METHOD] = int32_t(a.embedded ? 5 : 1);
    if (!a.props.count(PR_RENDERING_POSITION)) a.props[PR_RENDERING_POSITION] = int32_t(-1);
    // The attachment number is the table row's, computed by clients; Outlook never stores it.
    a.props.erase(PR_ATTACH_NUM);
    const FileTime now = Now();
    if (!a.props.count(PR_CREATION_TIME)) a.props[PR_CREATION_TIME] = now;
    if (!a.props.count(PR_LAST_MODIFICATION_TIME)) a.props[PR_LAST_MODIFICATION_TIME] = now;
    if (const std::string* lfn = Str(a.props, PR_ATTACH_LONG_FILENAME)) {
        if (!a.props.count(PR_DISPLAY_NAME)) a.props[PR_DISPLAY_NAME] = *lfn;
        if (!a.props.count(PR_ATTACH_FILENAME)) a.props[PR_ATTACH_FILENAME] = *lfn;
    }
    a.props[PR_ATTACH_SIZE] = int32_t(std::min<uint64_t>(AttachmentSize(a), 0x7FFFFFFF));
}

}  // namespace

void FinishAttachment(ndb::NodeDb& db, MessageData& m, uint32_t& rowVersion) {
    if (!m.open) return;
    std::unique_ptr<AttachmentData> a = std::move(m.open);
    ndb::BlockList blocks;  // the node's own, pending like its data until the message is saved
    try {
        const uint32_t nid = ndb::MakeNid(m.written.NextIndex(), ndb::NID_TYPE_ATTACHMENT);
        ltp::SubnodeSink inner;
        inner.owned = &blocks;
        if (a->embedded) {
            FinishAttachment(db, *a->embedded, rowVersion);
            PrepareMessage(*a->embedded, "IPM.Note");
        }
        PrepareAttachment(*a);
        std::vector<ltp::PcProp> props = ToPcProps(a->props);
        if (a->embedded) {
            WrittenNode e = WriteMessage(db, *a->embedded, &blocks, rowVersion);
            uint32_t enid = inner.NewNid();
            inner.Add(enid, e.bidData, e.bidSub);
            ltp::PcProp obj{PR_ATTACH_DATA_OBJ, {}, 0};
            ndb::Append32(obj.value, enid);
            ndb::Append32(obj.value, uint32_t(IntOr(a->props, PR_ATTACH_SIZE, 0)));
            std::erase_if(props, [](const ltp::PcProp& x) { return (x.tag >> 16) == 0x3701; });
            props.push_back(std::move(obj));
        } else if (a->stream) {
            std::erase_if(props, [](const ltp::PcProp& x) { return (x.tag >> 16) == 0x3701; });
            props.push_back({PR_ATTACH_DATA_BIN, {}, a->stream->Root()});
        }
        const uint64_t bidData = ltp::WritePc(db, std::move(props), inner);
        const uint64_t bidSub = db.WriteSubnodes(inner.entries, &blocks);
        ltp::TcRow row = MakeRow(AttachmentLayout(), nid, ++rowVersion, a->props);
        db.SetPending(blocks, true);
        ndb::BlockList& kept = m.written.Blocks();
        kept.insert(kept.end(), blocks.begin(), blocks.end());
        blocks.clear();
        if (a->stream) {
            kept.insert(kept.end(), a->stream->Blocks().begin(), a->stream->Blocks().end());
            a->stream->Blocks().clear();
        }
        if (a->embedded) {
            ndb::BlockList& inside = a->embedded->written.Blocks();
            kept.insert(kept.end(), inside.begin(), inside.end());
            inside.clear();
        }
        m.written.Add({nid, bidData, bidSub}, std::move(row), AttachmentBytes(*a));
    } catch (...) {
        db.ReleaseBlocks(blocks);
        a->ReleaseBlocks(db);
        throw;
    }
}

WrittenNode WriteMessage(ndb::NodeDb& db, MessageData& m, ndb::BlockList* owned, uint32_t& rowVersion) {
    ltp::SubnodeSink sink;
    sink.owned = owned;
    sink.nextIndex = 0x20;

    // Recipient table (always present), row by row from where the rows wait.
    {
        m.recipients.Finish();
        const ltp::TableLayout& layout = RecipientLayoutFor(m.recipients.Tags());
        RecipientRows::Source rows(m.recipients, layout, rowVersion);
        ltp::SubnodeSink inner;
        inner.owned = owned;
        uint64_t bid = ltp::WriteTc(db, layout, rows, inner);
        sink.Add(ndb::NID_RECIPIENT_TABLE, bid, db.WriteSubnodes(inner.entries, owned));
    }

    FinishAttachment(db, m, rowVersion);
    if (m.written.Count() > 0) {
        for (const ndb::SubnodeEntry& a : m.written.Nodes()) sink.Add(a.nid, a.bidData, a.bidSub);
        sink.nextIndex = std::max(sink.nextIndex, m.written.NextIndex());
        ltp::SubnodeSink inner;
        inner.owned = owned;
        uint64_t bid = m.written.WriteTable(db, inner);
        sink.Add(ndb::NID_ATTACHMENT_TABLE, bid, db.WriteSubnodes(inner.entries, owned));
    }

    WrittenNode out;
    out.bidData = ltp::WritePc(db, ToPcProps(m.props), sink);
    out.bidSub = db.WriteSubnodes(sink.entries, owned);
    return out;
}

}  // namespace pst
