#include "SourceLog.h"

namespace store {

void SourceLog::Add(pst::ndb::NodeDb& db, const uint8_t* digest) {
    tail_.insert(tail_.end(), digest, digest + 16);
    bytes_ += 16;
    if (tail_.size() < pst::ndb::kMaxBlockData) return;  // 511 digests fill a leaf exactly
    leaves_.push_back(db.WriteDataBlock(tail_.data(), tail_.size(), nullptr));
    tail_.clear();
}

bool SourceLog::Adopt(pst::ndb::NodeDb& db, uint64_t bid) {
    using pst::ndb::kMaxBlockData;
    std::vector<uint64_t> leaves, inner;
    uint64_t total = 0;
    if (bid & 2) {
        // An XBLOCK over leaves, or an XXBLOCK over XBLOCKs.
        std::vector<uint64_t> level = {bid};
        while (!level.empty() && (level.front() & 2)) {
            std::vector<uint64_t> below;
            for (uint64_t x : level) {
                const pst::ndb::Bytes b = db.ReadBlock(x);
                if (b.size() < 8 || b[0] != 0x01 || b.size() < 8 + 8 * size_t(pst::ndb::Get16(&b[2]))) return false;
                if (x == bid) total = pst::ndb::Get32(&b[4]);
                for (size_t i = 0; i < pst::ndb::Get16(&b[2]); ++i) below.push_back(pst::ndb::Get64(&b[8 + 8 * i]));
                inner.push_back(x);
            }
            level.swap(below);
        }
        leaves = std::move(level);
    } else {
        leaves = {bid};
    }
    if (leaves.empty()) return false;
    pst::ndb::Bytes last = db.ReadBlock(leaves.back());
    if (!(bid & 2)) total = last.size();
    // The log's shape: every leaf but the last full, whole digests.
    if (total % 16 != 0 || total != (leaves.size() - 1) * kMaxBlockData + last.size()) {
        transient_ = db.NodeBlocks(bid, 0);
        return false;
    }
    transient_ = std::move(inner);
    if (last.size() < kMaxBlockData) {
        transient_.push_back(leaves.back());
        leaves.pop_back();
        tail_.assign(last.begin(), last.end());
    }
    leaves_ = std::move(leaves);
    bytes_ = total;
    return true;
}

uint64_t SourceLog::Write(pst::ndb::NodeDb& db) {
    if (bytes_ == 0) return 0;
    pst::ndb::BlockList written;
    uint64_t root = 0;
    try {
        std::vector<uint64_t> leaves = leaves_;
        if (!tail_.empty()) leaves.push_back(db.WriteDataBlock(tail_.data(), tail_.size(), &written));
        root = db.WriteDataTree(leaves, bytes_, &written);
    } catch (...) {
        db.ReleaseBlocks(written);
        throw;
    }
    db.ReleaseBlocks(transient_);
    transient_ = std::move(written);
    return root;
}

}  // namespace store
