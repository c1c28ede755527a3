#include "RecipientRows.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "EntryIds.h"
#include "PropEncode.h"
#include "PropTags.h"
#include "RowSpool.h"
#include "pst/ndb/Error.h"

namespace pst {
namespace {

using namespace pst::tags;

constexpr uint32_t kTagRecipientDisplayName = 0x5FF6001F;
constexpr uint32_t kTagRecipientEntryId = 0x5FF70102;
constexpr uint32_t kTagRecipientTrackStatus = 0x5FFF0003;
constexpr size_t kMemoryRows = 256 * 1024;  // encoded bytes kept before they go to the file
constexpr size_t kReadChunk = 64 * 1024;

std::string StrOr(const PropMap& m, uint32_t tag, const std::string& dflt = {}) {
    auto it = m.find(tag);
    const std::string* s = it == m.end() ? nullptr : std::get_if<std::string>(&it->second);
    return s ? *s : dflt;
}

int64_t Type(const PropMap& m) {
    auto it = m.find(PR_RECIPIENT_TYPE);
    if (it == m.end()) return 1;
    if (auto p = std::get_if<int32_t>(&it->second)) return *p;
    return 0;
}

// The defaults Outlook's rows carry, and the row's place.
void PrepareRecipient(PropMap& r, size_t index) {
    if (!r.count(PR_RECIPIENT_TYPE)) r[PR_RECIPIENT_TYPE] = int32_t(1);
    std::string address = StrOr(r, PR_EMAIL_ADDRESS, StrOr(r, PR_SMTP_ADDRESS));
    if (!r.count(PR_DISPLAY_NAME)) r[PR_DISPLAY_NAME] = address;
    if (!r.count(PR_ADDRTYPE)) r[PR_ADDRTYPE] = std::string("SMTP");
    if (!r.count(PR_EMAIL_ADDRESS) && !address.empty()) r[PR_EMAIL_ADDRESS] = address;
    std::string name = StrOr(r, PR_DISPLAY_NAME);
    std::string type = StrOr(r, PR_ADDRTYPE, "SMTP");
    if (!r.count(PR_OBJECT_TYPE)) r[PR_OBJECT_TYPE] = int32_t(6);
    if (!r.count(PR_DISPLAY_TYPE)) r[PR_DISPLAY_TYPE] = int32_t(0);
    if (!r.count(PR_RESPONSIBILITY)) r[PR_RESPONSIBILITY] = false;
    if (!r.count(PR_SEND_RICH_INFO)) r[PR_SEND_RICH_INFO] = false;
    if (!r.count(PR_RECIPIENT_FLAGS)) r[PR_RECIPIENT_FLAGS] = int32_t(1);
    if (!r.count(kTagRecipientTrackStatus)) r[kTagRecipientTrackStatus] = int32_t(0);
    r[PR_ROWID] = int32_t(index);
    if (!r.count(PR_ENTRYID)) r[PR_ENTRYID] = OneOffEntryId(name, address, type);
    if (!r.count(kTagRecipientEntryId)) r[kTagRecipientEntryId] = r[PR_ENTRYID];
    if (!r.count(kTagRecipientDisplayName)) r[kTagRecipientDisplayName] = name;
    if (!r.count(PR_RECORD_KEY)) r[PR_RECORD_KEY] = r[PR_ENTRYID];
    if (!r.count(PR_SEARCH_KEY)) r[PR_SEARCH_KEY] = AddressSearchKey(address, type);
}

}  // namespace

RecipientRows::~RecipientRows() {
    if (fd_ >= 0) ::close(fd_);
}

PropMap& RecipientRows::Add() {
    Finish();
    row_.clear();
    open_ = true;
    ++count_;
    return row_;
}

void RecipientRows::Finish() {
    if (!open_) return;
    open_ = false;
    PrepareRecipient(row_, count_ - 1);
    const int64_t type = Type(row_);
    if (type >= 1 && type <= 3) {
        std::string& l = lists_[type - 1];
        if (!l.empty()) l += "; ";
        l += StrOr(row_, PR_DISPLAY_NAME);
    }
    const size_t start = encoded_.size();
    ndb::Append32(encoded_, 0);
    ndb::Append16(encoded_, uint16_t(row_.size()));
    for (auto& [tag, v] : row_) {
        const size_t at = encoded_.size();
        ndb::Append32(encoded_, tag);
        ndb::Append32(encoded_, 0);
        try {
            EncodeValueTo(encoded_, uint16_t(tag), v);
        } catch (const PstError& e) {
            encoded_.resize(start);
            throw PstError("recipient property " + TagText(tag) + ": " + e.what());
        }
        ndb::Put32(&encoded_[at + 4], uint32_t(encoded_.size() - at - 8));
        valueBytes_ += 8 + ValueSize(v);
        // Rows mostly share their tags: the common case is a tag already there.
        auto it = std::lower_bound(tags_.begin(), tags_.end(), tag);
        if (it == tags_.end() || *it != tag) tags_.insert(it, tag);
    }
    ndb::Put32(&encoded_[start], uint32_t(encoded_.size() - start));
    row_.clear();
    if (encoded_.size() >= kMemoryRows) Spill();
}

void RecipientRows::Spill() {
    if (fd_ < 0) fd_ = OpenUnlinkedTemp("orvandel-recipients");
    size_t done = 0;
    while (done < encoded_.size()) {
        ssize_t n = ::pwrite(fd_, encoded_.data() + done, encoded_.size() - done, off_t(fileBytes_ + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw PstError(std::string("cannot write the temporary recipient file: ") + std::strerror(errno));
        done += size_t(n);
    }
    fileBytes_ += encoded_.size();
    encoded_.clear();
}

RecipientRows::Source::Source(RecipientRows& rows, const ltp::TableLayout& layout, uint32_t& rowVersion)
    : rows_(rows), layout_(layout), rowVersion_(rowVersion) {
    rows_.Finish();
}

const uint8_t* RecipientRows::Source::Take(size_t size) {
    if (fileAt_ >= rows_.fileBytes_ && windowAt_ == window_.size()) {
        if (memoryAt_ + size > rows_.encoded_.size()) throw PstError("recipient rows cut short");
        const uint8_t* p = rows_.encoded_.data() + memoryAt_;
        memoryAt_ += size;
        return p;
    }
    if (window_.size() - windowAt_ < size) {
        window_.erase(window_.begin(), window_.begin() + ptrdiff_t(windowAt_));
        windowAt_ = 0;
        size_t want = std::max(size, kReadChunk);
        while (window_.size() < want && fileAt_ < rows_.fileBytes_) {
            size_t have = window_.size();
            window_.resize(std::min<uint64_t>(want, have + (rows_.fileBytes_ - fileAt_)));
            ssize_t n = ::pread(rows_.fd_, window_.data() + have, window_.size() - have, off_t(fileAt_));
            if (n < 0 && errno == EINTR) {
                window_.resize(have);
                continue;
            }
            if (n <= 0) throw PstError(std::string("cannot read the temporary recipient file: ") +
                                       (n < 0 ? std::strerror(errno) : "it is short"));
            window_.resize(have + size_t(n));
            fileAt_ += uint64_t(n);
        }
        if (window_.size() < size) throw PstError("recipient rows cut short");
    }
    const uint8_t* p = window_.data() + windowAt_;
    windowAt_ += size;
    return p;
}

void RecipientRows::Source::Next(ltp::TcRow& row) {
    const uint32_t size = ndb::Get32(Take(4));
    if (size < 6) throw PstError("recipient rows damaged");
    const uint8_t* p = Take(size - 4);
    const uint8_t* end = p + (size - 4);
    const uint16_t props = ndb::Get16(p);
    p += 2;
    std::vector<Value>& values = values_;
    values.clear();
    for (uint16_t i = 0; i < props; ++i) {
        if (end - p < 8) throw PstError("recipient rows damaged");
        Value v{ndb::Get32(p), p + 8, ndb::Get32(p + 4)};
        if (size_t(end - v.data) < v.size) throw PstError("recipient rows damaged");
        p = v.data + v.size;
        values.push_back(v);
    }
    const uint32_t index = index_++;
    row = MakeRow(layout_, index + 1, ++rowVersion_, [&](uint32_t tag, ndb::Bytes& out) {
        for (const Value& v : values)
            if (v.tag == tag) {
                out.assign(v.data, v.data + v.size);
                return true;
            }
        return false;
    });
}

}  // namespace pst
