#include "SourceLog.h"

namespace store {

void SourceLog::Add(pst::ndb::NodeDb& db, const uint8_t* digest) {
    tail_.insert(tail_.end(), digest, digest + 16);
    bytes_ += 16;
    if (tail_.size() < pst::ndb::kMaxBlockData) return;  // 511 digests fill a leaf exactly
    leaves_.push_back(db.WriteDataBlock(tail_.data(), tail_.size(), nullptr));
    tail_.clear();
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
