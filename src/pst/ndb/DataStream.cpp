#include "DataStream.h"

#include <algorithm>

namespace pst::ndb {

void DataStream::Append(const uint8_t* data, size_t size) {
    total_ += size;
    while (size > 0) {
        if (buffer_.size() == kMaxBlockData) WriteLeaf(buffer_.data());
        if (buffer_.empty()) {
            // Whole blocks go from the caller's bytes to the file, never via the buffer.
            for (; size >= kMaxBlockData; data += kMaxBlockData, size -= kMaxBlockData) WriteLeaf(data);
        }
        size_t n = std::min(size, kMaxBlockData - buffer_.size());
        buffer_.insert(buffer_.end(), data, data + n);
        data += n;
        size -= n;
    }
}

void DataStream::WriteLeaf(const uint8_t* block) {
    leaves_.push_back(db_.WriteDataBlock(block, kMaxBlockData, &owned_));
    db_.SetPending(leaves_.back(), true);
    if (block == buffer_.data()) buffer_.clear();
}

void DataStream::Finish(size_t keepLimit) {
    if (leaves_.empty() && buffer_.size() <= keepLimit) {
        small_ = true;
        return;
    }
    if (!buffer_.empty()) leaves_.push_back(db_.WriteDataBlock(buffer_.data(), buffer_.size(), &owned_));
    buffer_.clear();
    buffer_.shrink_to_fit();
    root_ = db_.WriteDataTree(leaves_, total_, &owned_);
    db_.SetPending(owned_, true);
    leaves_.clear();
    leaves_.shrink_to_fit();
}

}  // namespace pst::ndb
