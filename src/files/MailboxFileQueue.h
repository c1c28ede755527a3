#pragma once
// The ordered list of every file below a mailbox folder, and the enumerators
// that fill it: depth first, pre-order, files of a folder before its subfolders,
// names within a folder in byte order.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "files/PathList.h"

namespace files {

// Sequence number of the next queued file. Callers set it to 1 before a fill;
// afterwards it is the number of queued files plus 1.
using QueueCounter = std::int32_t;

struct QueueEntry {
    std::string key;   // "K" + sequence number
    std::string item;  // full path: listed folder (ending with the separator) + name
};

// A folder of the tree whose entries could not be listed, and why.
struct UnlistedFolder {
    std::string folder;  // ending with the separator
    std::string reason;
};

// Ordered collection of queued files; entries stay in insertion order. The
// keys and paths are spooled (PathList): a million files cost a few megabytes.
class FileQueue {
public:
    void Add(std::string key, std::string item);
    // Records a folder whose files could not be queued.
    void AddUnlisted(std::string folder, std::string reason);
    // Discards every entry and unlisted folder (the next fill starts empty).
    void Clear();
    std::size_t Count() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }
    // 0-based access, by value.
    QueueEntry operator[](std::size_t index) const { return {keys_[index], items_[index]}; }
    class const_iterator {
    public:
        const_iterator(const FileQueue* q, std::size_t at) : q_(q), at_(at) {}
        QueueEntry operator*() const { return (*q_)[at_]; }
        const_iterator& operator++() {
            ++at_;
            return *this;
        }
        bool operator!=(const const_iterator& o) const { return at_ != o.at_; }

    private:
        const FileQueue* q_;
        std::size_t at_;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, Count()}; }
    // The items only, in order.
    std::vector<std::string> Items() const;
    // The items, moved out; the queue is left empty.
    PathList TakeItems();
    // The folders a fill met but could not list, in the order met.
    const std::vector<UnlistedFolder>& Unlisted() const { return unlisted_; }

private:
    PathList keys_;
    PathList items_;
    std::vector<UnlistedFolder> unlisted_;
};

// The program-wide queue of the mailbox being converted. Emptying it
// (MailboxFileQueue().Clear()) is the same as discarding it.
FileQueue& MailboxFileQueue();

// How the enumerators reach the migration window. The caller hands one over, or
// null: then no label is written and the delete option counts as unchecked.
class QueueStatus {
public:
    virtual ~QueueStatus() = default;
    // The "Delete Source file(s), during conversion..." check box (ChkDelete), read live.
    virtual bool DeleteSourceChecked() = 0;
    // Writes the count label (lblCount1).
    virtual void SetCountLabel(const std::string& text) = 0;
    // Lets the window process pending events.
    virtual void Yield() {}
};

// Text of the count label after the k-th queued file.
inline constexpr std::string_view kQueuedLabelSuffix = " Messages Queued for Conversion.";

// Lists every file below `folder` into `queue`. A separator is appended to the
// caller's `folder` when it lacks one. `pattern` filters files only ("*.*"
// matches every name, also names without a dot); every subfolder is descended
// into, except symbolic links to folders, which are never followed. Fifos,
// sockets and device nodes are not queued. A folder that cannot be listed
// (unreadable, missing) contributes no files and is recorded in the queue's
// Unlisted(). Never throws.
void QueueMailboxFilesLong(FileQueue& queue, std::string& folder, std::string_view pattern,
                           QueueCounter& counter, QueueStatus* status = nullptr);
// Same, into MailboxFileQueue().
void QueueMailboxFilesLong(std::string& folder, std::string_view pattern, QueueCounter& counter,
                           QueueStatus* status = nullptr);

// The second enumerator, used for the re-listing of the deletion pass. Same
// results; on POSIX both use the same listing calls, so it finds exactly what
// QueueMailboxFilesLong finds (long paths and any names included).
void QueueMailboxFiles(FileQueue& queue, std::string& folder, std::string_view pattern,
                       QueueCounter& counter, QueueStatus* status = nullptr);
void QueueMailboxFiles(std::string& folder, std::string_view pattern, QueueCounter& counter,
                       QueueStatus* status = nullptr);

// True when `name` matches a listing pattern ('*' any run, '?' one character;
// a pattern ending in ".*" also matches a name without a dot). Case-sensitive.
bool MatchesPattern(std::string_view name, std::string_view pattern);

}  // namespace files
