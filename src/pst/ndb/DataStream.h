#pragma once
// Streams a value of any size into data blocks as it arrives, holding at most
// one block in memory, and builds the XBLOCK/XXBLOCK tree at the end. Its
// blocks stay pending (outside the committed block index) until the item that
// holds the value is saved.
#include <cstdint>

#include "NodeDb.h"

namespace pst::ndb {

class DataStream {
public:
    explicit DataStream(NodeDb& db) : db_(db) {}
    // Fastest with whole multiples of kChunk.
    static constexpr size_t kChunk = 8 * kMaxBlockData;
    void Append(const uint8_t* data, size_t size);
    // Ends the stream. If it is no longer than `keepLimit` bytes and nothing
    // was written yet, nothing is written and the bytes are kept (Small()).
    void Finish(size_t keepLimit);

    bool Small() const { return small_; }
    Bytes TakeSmall() { return std::move(buffer_); }
    uint64_t Root() const { return root_; }
    uint64_t Size() const { return total_; }
    // Every block written, for release when the value is dropped.
    BlockList& Blocks() { return owned_; }

private:
    void WriteLeaf(const uint8_t* block);  // one full block

    NodeDb& db_;
    Bytes buffer_;
    std::vector<uint64_t> leaves_;
    BlockList owned_;
    uint64_t total_ = 0;
    uint64_t root_ = 0;
    bool small_ = false;
};

}  // namespace pst::ndb
