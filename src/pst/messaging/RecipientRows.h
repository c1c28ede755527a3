#pragma once
// The recipient rows of one message while it is filled. A row is final once
// the next one begins: it gets its defaults, adds to the display lists and is
// kept encoded, and past a few hundred kilobytes the encoded rows go to an
// unlinked temporary file. A message with any number of recipients so costs
// memory for one row, not for all of them.
#include <cstdint>
#include <string>
#include <vector>

#include "Tables.h"
#include "pst/ndb/Bytes.h"

namespace pst {

class RecipientRows {
public:
    RecipientRows() = default;
    ~RecipientRows();
    RecipientRows(const RecipientRows&) = delete;
    RecipientRows& operator=(const RecipientRows&) = delete;

    // A new, empty row; the one before is final from here on.
    PropMap& Add();
    // The row Add gave last, while it is open (null once final or before any).
    PropMap* Open() { return open_ ? &row_ : nullptr; }
    size_t Count() const { return count_; }
    // Makes the open row final: what a message's save does first.
    void Finish();

    // Of the final rows: "; "-joined display names of recipient type 1 (To),
    // 2 (Cc) or 3 (Bcc); the rough bytes of their values; every tag they use.
    const std::string& DisplayList(int type) const { return lists_[type - 1]; }
    size_t ValueBytes() const { return valueBytes_; }
    const std::vector<uint32_t>& Tags() const { return tags_; }  // sorted

    // The final rows in order, as a table writer's source (one pass at a time).
    class Source : public ltp::TcRowSource {
    public:
        Source(RecipientRows& rows, const ltp::TableLayout& layout, uint32_t& rowVersion);
        size_t Count() const override { return rows_.count_; }
        void Next(ltp::TcRow& row) override;

    private:
        const uint8_t* Take(size_t size);
        RecipientRows& rows_;
        const ltp::TableLayout& layout_;
        uint32_t& rowVersion_;
        uint32_t index_ = 0;
        uint64_t fileAt_ = 0;      // next byte of the file to read
        size_t memoryAt_ = 0;      // next byte of the in-memory tail
        ndb::Bytes window_;        // bytes read from the file, not yet used
        size_t windowAt_ = 0;
        struct Value {
            uint32_t tag;
            const uint8_t* data;
            uint32_t size;
        };
        std::vector<Value> values_;  // of the current row, reused
    };

private:
    void Spill();

    PropMap row_;
    bool open_ = false;
    size_t count_ = 0;
    std::string lists_[3];
    size_t valueBytes_ = 0;
    std::vector<uint32_t> tags_;
    ndb::Bytes encoded_;      // final rows not in the file: per row its size, then (tag, size, bytes)...
    int fd_ = -1;             // the file, once the rows outgrow memory
    uint64_t fileBytes_ = 0;
};

}  // namespace pst
