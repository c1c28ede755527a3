#pragma once
// Contents-table rows of every folder, kept in an unlinked temporary file
// instead of memory: a folder holds only the offsets of its rows (8 bytes
// each), and its table is rebuilt from the spool at commit.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pst/ltp/TableContext.h"

namespace pst {

// A read-write file in $TMPDIR (or /tmp) that has no name: it goes when closed,
// whatever ends the process. Throws PstError when none can be made.
int OpenUnlinkedTemp(const std::string& stem);

class RowSpool {
public:
    RowSpool();
    ~RowSpool();
    RowSpool(const RowSpool&) = delete;
    RowSpool& operator=(const RowSpool&) = delete;

    uint64_t Append(const ltp::TcRow& row);
    void Read(uint64_t offset, ltp::TcRow& row);

    // The rows at `offsets` from `first` on, in order, as a table writer's source.
    class Source : public ltp::TcRowSource {
    public:
        Source(RowSpool& spool, const std::vector<uint64_t>& offsets, size_t first = 0)
            : spool_(spool), offsets_(offsets), first_(first), at_(first) {}
        size_t Count() const override { return offsets_.size() - first_; }
        void Next(ltp::TcRow& row) override { spool_.Read(offsets_[at_++], row); }

    private:
        RowSpool& spool_;
        const std::vector<uint64_t>& offsets_;
        size_t first_, at_;
    };

private:
    void FlushWrites();
    const uint8_t* Fetch(uint64_t offset, size_t size);

    int fd_ = -1;
    uint64_t end_ = 0;              // bytes in the file
    std::vector<uint8_t> pending_;  // appended, not yet written
    std::vector<uint8_t> cache_;    // a window of the file for reads
    uint64_t cacheStart_ = 0;
};

}  // namespace pst
