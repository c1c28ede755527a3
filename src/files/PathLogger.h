#pragma once
// Breadth-first collector of the folder and file paths of a tree. A stand-alone
// utility beside the enumerators of MailboxFileQueue.h.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/MailboxFileQueue.h"

namespace files {

// Collection of values under string keys, in insertion order.
template <typename T>
class KeyedCollection {
public:
    struct Entry {
        std::string key;
        T value;
    };
    void Add(std::string key, T value) { entries_.push_back({std::move(key), std::move(value)}); }
    std::size_t Count() const { return entries_.size(); }
    // 1-based, as the positions the collector records.
    const T& Item(std::size_t position) const { return entries_.at(position - 1).value; }
    std::optional<T> Find(std::string_view key) const {
        for (const auto& e : entries_)
            if (e.key == key) return e.value;
        return std::nullopt;
    }
    const std::vector<Entry>& Entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

class pathLogger {
public:
    // Prepares a walk: fullFileNamesOnly becomes true and the four collections are
    // discarded. The counter is kept.
    void PathLogInit();

    // Walks the tree below `path` breadth first: every file of the start folder,
    // then of its first subfolder, its second, and so on level by level (names in
    // byte order). A path that is not an existing folder changes nothing. Links to
    // folders are not followed. Returns false when a folder of the walk could not
    // be read; the walk ends there, with what was collected so far. `status`, when
    // given, gets the count label in fullFileNamesOnly mode.
    bool LogPath(std::string_view path, QueueStatus* status = nullptr);

    // Sequence number of the next file: 1 at the start of a walk, files + 1 after.
    std::int32_t Count() const { return counter_; }

    // Releases everything held.
    void Terminate();

    void fullFileNamesOnly(bool value) { fullFileNamesOnly_ = value; }
    bool fullFileNamesOnly() const { return fullFileNamesOnly_; }

    // Bare file names under "K" + sequence number (only when !fullFileNamesOnly).
    const KeyedCollection<std::string>& fileNames() const { return fileNames_; }
    // Folder paths ending with the separator: the start folder under "K0", every
    // further folder under "K" + its 1-based position.
    const KeyedCollection<std::string>& pathNames() const { return pathNames_; }
    // For each file, the 1-based position of its folder in pathNames (only when
    // !fullFileNamesOnly).
    const KeyedCollection<std::int32_t>& pathPointers() const { return pathPointers_; }
    // Folder path + file name of every file under "K" + sequence number.
    const KeyedCollection<std::string>& fullFileNames() const { return fullFileNames_; }

private:
    bool fullFileNamesOnly_ = false;
    std::int32_t counter_ = 0;
    KeyedCollection<std::string> fileNames_;
    KeyedCollection<std::string> pathNames_;
    KeyedCollection<std::int32_t> pathPointers_;
    KeyedCollection<std::string> fullFileNames_;
};

}  // namespace files
