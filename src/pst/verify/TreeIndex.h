#pragma once
// The leaf entries of one B-tree (BBT or NBT) of the file being verified, with
// the lookups of a sorted map. While the tree is walked, each leaf page is
// checked and only a reference to it is kept (a few bytes a page, not a copy
// of its entries); lookups then read the entries from the file's own pages
// through a small cache, so a file of many millions of blocks costs about a
// byte a block. A tree whose leaves are not in strictly ascending order (a
// damaged file) cannot be searched in place: its entries are copied into a
// sorted array, which then behaves as a sorted copy of them would.
#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace pst::verify::detail {

template <class Key, class Entry, size_t MaxPerPage>
class TreeIndex {
public:
    using Item = std::pair<Key, Entry>;
    // Entry i of the leaf page at page (its key and fields).
    using Decoder = Item (*)(const uint8_t* page, size_t i);
    // Told of every read of a file page, by its offset (for the mapped-memory budget).
    using Touched = std::function<void(uint64_t ib)>;
    // How many entries the tree holds, for sizing a copy once.
    using Counter = std::function<size_t()>;

    explicit TreeIndex(Decoder decode) : decode_(decode) {}

    void Attach(const uint8_t* data, Touched touched, Counter count) {
        data_ = data;
        touched_ = std::move(touched);
        counter_ = std::move(count);
    }

    // A leaf page of the walk: its count entries are added in order, their keys
    // as checked by the walk. duplicate(key) is told of each key already there.
    template <class OnDuplicate>
    void AddPage(uint64_t ib, const uint64_t* keys, size_t count, OnDuplicate&& duplicate) {
        if (count == 0) return;
        if (!materialized_) {
            bool ascending = size_ == 0 || Key(keys[0]) > last_;
            for (size_t i = 1; i < count && ascending; ++i) ascending = keys[i] > keys[i - 1];
            if (ascending) {
                pages_.push_back({Key(keys[0]), ib, uint32_t(size_)});
                size_ += count;
                last_ = Key(keys[count - 1]);
                return;
            }
            Materialize();
        }
        const uint8_t* page = data_ + ib;
        for (size_t i = 0; i < count; ++i) {
            Item item = decode_(page, i);
            item.first = Key(keys[i]);
            if (!Add(item)) duplicate(item.first);
        }
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool Paged() const { return !materialized_; }

    // The entry of key with its place in key order (0 .. size()-1), or false.
    bool Find(Key key, Entry& entry, uint32_t& index) const {
        if (materialized_) {
            auto it = std::lower_bound(items_.begin(), items_.end(), key,
                                       [](const Item& a, Key k) { return a.first < k; });
            if (it == items_.end() || it->first != key) return false;
            entry = it->second;
            index = uint32_t(it - items_.begin());
            return true;
        }
        auto p = std::upper_bound(pages_.begin(), pages_.end(), key,
                                  [](Key k, const PageRef& r) { return k < r.firstKey; });
        if (p == pages_.begin()) return false;
        const size_t page = size_t(p - pages_.begin()) - 1;
        const Cached& c = Load(page);
        auto k = std::lower_bound(c.keys.begin(), c.keys.begin() + c.count, key);
        if (k == c.keys.begin() + c.count || *k != key) return false;
        const size_t i = size_t(k - c.keys.begin());
        entry = c.entries[i];
        index = pages_[page].firstOrdinal + uint32_t(i);
        return true;
    }
    bool Contains(Key key) const {
        Entry e;
        uint32_t i;
        return Find(key, e, i);
    }

    // Every entry in key order; a page's entries are read once, as the walk reaches them.
    class iterator {
    public:
        using value_type = Item;
        iterator(const TreeIndex* t, size_t index) : t_(t), index_(index) {}
        Item operator*() const {
            if (t_->materialized_) return t_->items_[index_];
            if (index_ < pageFirst_ || index_ >= pageFirst_ + count_) Fill();
            return buffer_[index_ - pageFirst_];
        }
        iterator& operator++() {
            ++index_;
            return *this;
        }
        bool operator==(const iterator& o) const { return index_ == o.index_; }
        bool operator!=(const iterator& o) const { return index_ != o.index_; }
        uint32_t index() const { return uint32_t(index_); }

    private:
        void Fill() const {
            auto p = std::upper_bound(t_->pages_.begin(), t_->pages_.end(), uint32_t(index_),
                                      [](uint32_t i, const PageRef& r) { return i < r.firstOrdinal; });
            const size_t page = size_t(p - t_->pages_.begin()) - 1;
            pageFirst_ = t_->pages_[page].firstOrdinal;
            count_ = t_->Count(page);
            t_->Touch(t_->pages_[page].ib);
            for (size_t i = 0; i < count_; ++i) buffer_[i] = t_->decode_(t_->data_ + t_->pages_[page].ib, i);
        }
        const TreeIndex* t_;
        size_t index_;
        mutable size_t pageFirst_ = 0, count_ = 0;
        mutable std::array<Item, MaxPerPage> buffer_{};
    };
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, size_); }

private:
    static constexpr size_t kCacheSlots = 4096;
#pragma pack(push, 4)
    struct PageRef {
        Key firstKey;
        uint64_t ib;
        uint32_t firstOrdinal;
    };
#pragma pack(pop)
    struct Cached {
        size_t page = SIZE_MAX;
        size_t count = 0;
        std::array<Key, MaxPerPage> keys{};
        std::array<Entry, MaxPerPage> entries{};
    };

    size_t Count(size_t page) const {
        return (page + 1 < pages_.size() ? pages_[page + 1].firstOrdinal : size_) - pages_[page].firstOrdinal;
    }
    void Touch(uint64_t ib) const {
        if (touched_) touched_(ib);
    }
    const Cached& Load(size_t page) const {
        if (cache_.empty()) cache_.resize(std::min(kCacheSlots, pages_.size()));
        Cached& c = cache_[page % cache_.size()];
        if (c.page == page) return c;
        c.page = page;
        c.count = Count(page);
        Touch(pages_[page].ib);
        for (size_t i = 0; i < c.count; ++i) {
            const Item item = decode_(data_ + pages_[page].ib, i);
            c.keys[i] = item.first;
            c.entries[i] = item.second;
        }
        return c;
    }
    bool Add(const Item& item) {
        if (items_.empty() || items_.back().first < item.first) {
            items_.push_back(item);
        } else {
            auto it = std::lower_bound(items_.begin(), items_.end(), item.first,
                                       [](const Item& a, Key k) { return a.first < k; });
            if (it != items_.end() && it->first == item.first) return false;
            items_.insert(it, item);
        }
        ++size_;
        return true;
    }
    void Materialize() {
        items_.reserve(std::max(counter_ ? counter_() : 0, size_ + MaxPerPage));
        for (iterator it = begin(); it != end(); ++it) items_.push_back(*it);
        materialized_ = true;
        pages_ = {};
        cache_ = {};
    }

    Decoder decode_;
    const uint8_t* data_ = nullptr;
    Touched touched_;
    Counter counter_;
    bool materialized_ = false;
    size_t size_ = 0;
    Key last_{};
    std::vector<PageRef> pages_;
    std::vector<Item> items_;  // materialized: every entry, by key
    mutable std::vector<Cached> cache_;
};

}  // namespace pst::verify::detail
