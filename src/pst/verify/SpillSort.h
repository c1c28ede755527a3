#pragma once
// Sorts more records than memory should hold: runs of a fixed number of
// records are sorted and written to an unnamed temporary file, then merged as
// they are read back. Memory stays at one run while adding and a small buffer
// per run while merging. Without a usable temporary file the records stay in
// memory (correct, only larger).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <queue>
#include <type_traits>
#include <vector>

namespace pst::verify::detail {

// An unlinked file in $TMPDIR (or /tmp); closed when destroyed.
class TempFile {
public:
    TempFile();
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    bool Ok() const { return fd_ >= 0; }
    // All of bytes at the end of the file, or false (the file is then left as it was).
    bool Append(const void* bytes, uint64_t size, uint64_t& at);
    bool ReadAt(void* bytes, uint64_t size, uint64_t at) const;

private:
    int fd_ = -1;
    uint64_t end_ = 0;
};

template <class T>
class SpillSort {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    explicit SpillSort(size_t runRecords) : runRecords_(std::max<size_t>(runRecords, 1)) {}

    void Add(const T& record) {
        // A run's room at once: growing it would hold a copy and a half for a moment.
        if (buffer_.capacity() == 0) buffer_.reserve(runRecords_);
        buffer_.push_back(record);
        if (buffer_.size() >= runRecords_ && spill_) Spill();
    }
    size_t Runs() const { return runs_.size(); }

    // Calls fn(record) for every record in ascending order; may be called again.
    template <class Fn>
    void ForEach(Fn&& fn) {
        std::sort(buffer_.begin(), buffer_.end());
        if (runs_.empty()) {
            for (const T& r : buffer_) fn(r);
            return;
        }
        struct Reader {
            uint64_t at, left;
            std::vector<T> buf;
            size_t pos = 0;
        };
        constexpr size_t kChunk = 4096;
        std::vector<Reader> readers;
        for (const Run& run : runs_) readers.push_back({run.at, run.count, {}, 0});
        auto refill = [&](Reader& r) {
            r.buf.resize(size_t(std::min<uint64_t>(r.left, kChunk)));
            r.pos = 0;
            if (r.buf.empty()) return false;
            // A run written cannot fail to read back but for a failing disk; its
            // records then end here (and the check is incomplete, not wrong).
            if (!file_->ReadAt(r.buf.data(), r.buf.size() * sizeof(T), r.at)) {
                r.buf.clear();
                r.left = 0;
                failed_ = true;
                return false;
            }
            r.at += r.buf.size() * sizeof(T);
            r.left -= r.buf.size();
            return true;
        };
        // Heap entries: the reader (buffer_ as the last one) with its head record.
        const size_t memory = readers.size();
        size_t memoryPos = 0;
        auto head = [&](size_t i) -> const T& { return i == memory ? buffer_[memoryPos] : readers[i].buf[readers[i].pos]; };
        auto later = [&](size_t a, size_t b) { return head(b) < head(a) || (!(head(a) < head(b)) && b < a); };
        std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
        for (size_t i = 0; i < readers.size(); ++i)
            if (refill(readers[i])) heap.push(i);
        if (!buffer_.empty()) heap.push(memory);
        while (!heap.empty()) {
            const size_t i = heap.top();
            heap.pop();
            fn(head(i));
            if (i == memory) {
                if (++memoryPos < buffer_.size()) heap.push(i);
            } else if (++readers[i].pos < readers[i].buf.size() || refill(readers[i])) {
                heap.push(i);
            }
        }
    }
    // True when a run could not be read back (a disk error): some records were not given.
    bool Failed() const { return failed_; }

private:
    struct Run {
        uint64_t at, count;
    };
    void Spill() {
        if (!file_) file_ = std::make_unique<TempFile>();
        std::sort(buffer_.begin(), buffer_.end());
        uint64_t at = 0;
        if (!file_->Ok() || !file_->Append(buffer_.data(), buffer_.size() * sizeof(T), at)) {
            spill_ = false;  // no room on disk: the rest stays in memory
            return;
        }
        runs_.push_back({at, buffer_.size()});
        buffer_.clear();
    }

    size_t runRecords_;
    bool spill_ = true, failed_ = false;
    std::vector<T> buffer_;
    std::vector<Run> runs_;
    std::unique_ptr<TempFile> file_;
};

}  // namespace pst::verify::detail
