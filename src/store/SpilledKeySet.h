#pragma once
// A set of fixed-size keys (digests) whose bulk lives in an unlinked
// temporary file: one sorted run on disk, the latest additions sorted in
// memory, merged into a new run once they reach an eighth of it. Memory is
// about 2 bytes a key plus a sparse index of the run (one key per 512-byte block),
// so a run of a million items does not hold a million digests. A look-up
// reads at most one block of the run (kept for the next one).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "pst/messaging/RowSpool.h"

namespace store {

template <class Key>
class SpilledKeySet {
    static_assert(std::is_trivially_copyable_v<Key>);

public:
    SpilledKeySet() = default;
    ~SpilledKeySet() { CloseRun(); }
    SpilledKeySet(const SpilledKeySet&) = delete;
    SpilledKeySet& operator=(const SpilledKeySet&) = delete;
    SpilledKeySet(SpilledKeySet&& o) noexcept { *this = std::move(o); }
    SpilledKeySet& operator=(SpilledKeySet&& o) noexcept {
        if (this != &o) {
            CloseRun();
            fd_ = o.fd_;
            o.fd_ = -1;
            runKeys_ = o.runKeys_;
            o.runKeys_ = 0;
            firstKeys_ = std::move(o.firstKeys_);
            recent_ = std::move(o.recent_);
            small_ = std::move(o.small_);
            erased_ = std::move(o.erased_);
            cachedBlock_ = SIZE_MAX;
        }
        return *this;
    }

    void insert(const Key& key) {
        if (count(key)) return;
        small_.insert(std::upper_bound(small_.begin(), small_.end(), key), key);
        if (small_.size() >= kSmall) SortIn();
        if (recent_.size() + small_.size() >= std::max<size_t>(kMinRecent, runKeys_ / 8)) Spill();
    }
    // Many keys at once (a file's index): merged straight into the run.
    void InsertMany(std::vector<Key> keys) {
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        SortIn();
        std::vector<Key> merged;
        merged.reserve(recent_.size() + keys.size());
        std::set_union(recent_.begin(), recent_.end(), keys.begin(), keys.end(), std::back_inserter(merged));
        recent_.swap(merged);
        Spill();
    }
    size_t count(const Key& key) const {
        if (std::binary_search(small_.begin(), small_.end(), key)) return 1;
        if (std::binary_search(recent_.begin(), recent_.end(), key)) return 1;
        if (std::binary_search(erased_.begin(), erased_.end(), key)) return 0;
        return InRun(key) ? 1 : 0;
    }
    // Rare (an item a failed commit lost).
    void erase(const Key& key) {
        if (const auto at = std::lower_bound(small_.begin(), small_.end(), key); at != small_.end() && *at == key)
            small_.erase(at);
        const auto it = std::lower_bound(recent_.begin(), recent_.end(), key);
        if (it != recent_.end() && *it == key) recent_.erase(it);
        if (InRun(key) && !std::binary_search(erased_.begin(), erased_.end(), key))
            erased_.insert(std::lower_bound(erased_.begin(), erased_.end(), key), key);
    }
    size_t size() const { return runKeys_ - erased_.size() + recent_.size() + small_.size(); }
    bool empty() const { return size() == 0; }
    void clear() { *this = SpilledKeySet(); }
    // Every key, in no particular order.
    template <class F>
    void ForEach(F&& f) const {
        Key block[kBlockKeys];
        for (size_t at = 0; at < runKeys_; at += kBlockKeys) {
            const size_t n = ReadKeys(at, block, kBlockKeys);
            for (size_t i = 0; i < n; ++i)
                if (!std::binary_search(erased_.begin(), erased_.end(), block[i])) f(block[i]);
        }
        for (const Key& k : recent_) f(k);
        for (const Key& k : small_) f(k);
    }

private:
    static constexpr size_t kBlockKeys = std::max<size_t>(1, 512 / sizeof(Key));
    static constexpr size_t kMinRecent = 8192;
    static constexpr size_t kSmall = 1024;  // the latest additions, merged into recent_ together

    void SortIn() {
        const size_t old = recent_.size();
        recent_.insert(recent_.end(), small_.begin(), small_.end());
        std::inplace_merge(recent_.begin(), recent_.begin() + std::ptrdiff_t(old), recent_.end());
        small_.clear();
    }
    // The run and the keys in memory merged into a new run.
    void Spill() {
        SortIn();
        if (recent_.empty() && erased_.empty()) return;
        const int out = pst::OpenUnlinkedTemp("orvandel-keys");
        std::vector<Key> firstKeys;
        std::vector<Key> buffer;
        buffer.reserve(kBlockKeys);
        size_t written = 0;
        auto put = [&](const Key& k) {
            if (written % kBlockKeys == 0) firstKeys.push_back(k);
            buffer.push_back(k);
            ++written;
            if (buffer.size() == kBlockKeys) Flush(out, buffer, written - buffer.size());
        };
        Key block[kBlockKeys];
        size_t r = 0;
        for (size_t at = 0; at < runKeys_; at += kBlockKeys) {
            const size_t n = ReadKeys(at, block, kBlockKeys);
            for (size_t i = 0; i < n; ++i) {
                if (std::binary_search(erased_.begin(), erased_.end(), block[i])) continue;
                while (r < recent_.size() && recent_[r] < block[i]) put(recent_[r++]);
                if (r < recent_.size() && recent_[r] == block[i]) ++r;  // added again after being erased
                put(block[i]);
            }
        }
        while (r < recent_.size()) put(recent_[r++]);
        Flush(out, buffer, written - buffer.size());
        CloseRun();
        fd_ = out;
        runKeys_ = written;
        firstKeys_ = std::move(firstKeys);
        std::vector<Key>().swap(recent_);
        std::vector<Key>().swap(erased_);
    }
    void Flush(int fd, std::vector<Key>& buffer, size_t firstIndex) {
        const auto* p = reinterpret_cast<const char*>(buffer.data());
        size_t left = buffer.size() * sizeof(Key), done = 0;
        while (left > 0) {
            const ssize_t n = ::pwrite(fd, p + done, left, off_t(firstIndex * sizeof(Key) + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::close(fd);
                throw std::runtime_error(std::string("cannot write the temporary key file: ") + std::strerror(errno));
            }
            done += size_t(n);
            left -= size_t(n);
        }
        buffer.clear();
    }
    size_t ReadKeys(size_t first, Key* into, size_t most) const {
        const size_t n = std::min(most, runKeys_ - first);
        auto* p = reinterpret_cast<char*>(into);
        size_t done = 0;
        while (done < n * sizeof(Key)) {
            const ssize_t got = ::pread(fd_, p + done, n * sizeof(Key) - done, off_t(first * sizeof(Key) + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) throw std::runtime_error(std::string("cannot read the temporary key file: ") + std::strerror(errno));
            done += size_t(got);
        }
        return n;
    }
    bool InRun(const Key& key) const {
        if (runKeys_ == 0 || key < firstKeys_.front()) return false;
        const size_t b = size_t(std::upper_bound(firstKeys_.begin(), firstKeys_.end(), key) - firstKeys_.begin()) - 1;
        if (b != cachedBlock_) {
            cachedCount_ = ReadKeys(b * kBlockKeys, cached_, kBlockKeys);
            cachedBlock_ = b;
        }
        return std::binary_search(cached_, cached_ + cachedCount_, key);
    }
    void CloseRun() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        cachedBlock_ = SIZE_MAX;
    }

    int fd_ = -1;
    size_t runKeys_ = 0;
    std::vector<Key> firstKeys_;  // of each block of the run
    std::vector<Key> recent_;     // sorted, not in the run
    std::vector<Key> small_;      // sorted, the latest, not in recent_ nor the run
    std::vector<Key> erased_;     // sorted, in the run but taken out
    mutable Key cached_[kBlockKeys]{};
    mutable size_t cachedCount_ = 0;
    mutable size_t cachedBlock_ = SIZE_MAX;
};

}  // namespace store
