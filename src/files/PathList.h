#pragma once
// A long list of paths (a mailbox's file queue can hold a million) kept in an
// unlinked temporary file: memory holds a few bytes per 32 paths and a read
// window, not the paths. Where no temporary file can be made or written, the
// rest stays in memory, packed; nothing is lost either way.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace files {

class PathList {
public:
    PathList() = default;
    // A short list given in full (tests, small callers).
    PathList(const std::vector<std::string>& paths);  // NOLINT: implicit on purpose
    PathList(std::initializer_list<std::string> paths) : PathList(std::vector<std::string>(paths)) {}
    ~PathList();
    PathList(PathList&& other) noexcept;
    PathList& operator=(PathList&& other) noexcept;
    PathList(const PathList&) = delete;
    PathList& operator=(const PathList&) = delete;

    void push_back(std::string_view path);
    void clear();
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // Reads are fastest in order (and close to the last one read).
    std::string operator[](std::size_t index) const;

    class const_iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string;
        const_iterator(const PathList* list, std::size_t at) : list_(list), at_(at) {}
        std::string operator*() const { return (*list_)[at_]; }
        const_iterator& operator++() {
            ++at_;
            return *this;
        }
        bool operator==(const const_iterator& o) const { return at_ == o.at_; }
        bool operator!=(const const_iterator& o) const { return at_ != o.at_; }

    private:
        const PathList* list_;
        std::size_t at_;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, count_}; }

private:
    static constexpr std::size_t kStride = 32;  // paths per index entry
    void Flush();
    // `size` bytes at `offset` of the list's bytes (file, then memory).
    const char* Bytes(uint64_t offset, std::size_t size) const;

    int fd_ = -1;
    bool fileTried_ = false;
    std::size_t count_ = 0;
    std::vector<uint64_t> index_;  // offset of every kStride-th path
    uint64_t written_ = 0;         // bytes in the file; the rest are in pending_
    std::string pending_;
    // The last path read, to go on from it.
    mutable std::size_t cursorIndex_ = 0;
    mutable uint64_t cursorOffset_ = 0;
    mutable std::string window_;
    mutable uint64_t windowStart_ = 0;
};

}  // namespace files
