#include "files/MailboxFileQueue.h"

#include <string>
#include <utility>
#include <vector>

#include "files/FileApi.h"

namespace files {

void FileQueue::Add(std::string key, std::string item) {
    keys_.push_back(key);
    items_.push_back(item);
}

void FileQueue::AddUnlisted(std::string folder, std::string reason) {
    unlisted_.push_back({std::move(folder), std::move(reason)});
}

void FileQueue::Clear() {
    keys_.clear();
    items_.clear();
    unlisted_.clear();
}

std::vector<std::string> FileQueue::Items() const {
    std::vector<std::string> items;
    items.reserve(items_.size());
    for (std::string item : items_) items.push_back(std::move(item));
    return items;
}

PathList FileQueue::TakeItems() {
    PathList items = std::move(items_);
    Clear();
    return items;
}

FileQueue& MailboxFileQueue() {
    static FileQueue queue;
    return queue;
}

bool MatchesPattern(std::string_view name, std::string_view pattern) {
    // A trailing ".*" also matches names without an extension ("*.*" matches all).
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
        MatchesPattern(name, pattern.substr(0, pattern.size() - 2)))
        return true;
    // Iterative wildcard match with backtracking to the last '*'.
    std::size_t n = 0, p = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

namespace {

bool IsDotEntry(std::string_view name) {
    return name == "." || name == "..";
}

// One folder of the enumeration. `closesItself`: the listing loop closes its
// handle after the last entry (the re-listing variant) instead of relying on
// FindNextEntry closing it at the end (the long-path variant). The results do
// not differ.
void Enumerate(FileQueue& queue, std::string& folder, std::string_view pattern, QueueCounter& counter,
               QueueStatus* status, bool closesItself) {
    auto yield = [status] {
        if (status) status->Yield();
    };
    // An empty folder text would otherwise become the file-system root.
    if (folder.empty()) return;
    if (folder.back() != kPathSeparator) folder.push_back(kPathSeparator);
    yield();

    // One listing gives both the subfolders (every name, whatever the pattern)
    // and the files that match, with the attributes it read for each name: a
    // mailbox of a million files is not to be listed or looked at twice.
    std::vector<std::string> subfolders;
    std::vector<std::string> files;
    FindEntry entry;
    if (FindFirstEntry(folder + "*", entry) != -1) {
        do {
            yield();
            if (IsDotEntry(entry.name)) continue;
            const std::uint32_t a = entry.attributes;
            // A link to a folder is never descended into: it may point to a parent
            // (endless recursion) or outside the mailbox (whose files the delete
            // option would then remove).
            const bool isFolder = a == kInvalidFileAttributes ||
                                  ((a & kFileAttributeDirectory) && !(a & kFileAttributeReparsePoint));
            if (isFolder) subfolders.push_back(entry.name);
            // Only the folder bit excludes a file, and device-like entries
            // (fifos, sockets, device nodes) that a reader would block on.
            else if (!(a & (kFileAttributeDirectory | kFileAttributeDevice)) && MatchesPattern(entry.name, pattern))
                files.push_back(entry.name);
        } while (FindNextEntry(entry) != 0);
        if (closesItself) CloseFind(entry);
    } else {
        // A folder always lists "." and "..": nothing at all means it cannot be
        // read, and its files must not vanish without a word.
        std::string reason = FolderListingProblem(folder);
        queue.AddUnlisted(folder, reason.empty() ? std::string("cannot be listed") : reason);
        return;
    }

    // Files, in listing order.
    for (const auto& name : files) {
        yield();
        queue.Add("K" + std::to_string(counter), folder + name);
        if (status && !status->DeleteSourceChecked())
            status->SetCountLabel(std::to_string(counter) + std::string(kQueuedLabelSuffix));
        ++counter;
    }

    // Descent, in listing order.
    if (!subfolders.empty()) {
        yield();
        for (const auto& name : subfolders) {
            yield();
            std::string sub = folder + name + kPathSeparator;
            Enumerate(queue, sub, pattern, counter, status, closesItself);
        }
    }
}

}  // namespace

void QueueMailboxFilesLong(FileQueue& queue, std::string& folder, std::string_view pattern, QueueCounter& counter,
                           QueueStatus* status) {
    Enumerate(queue, folder, pattern, counter, status, false);
}

void QueueMailboxFilesLong(std::string& folder, std::string_view pattern, QueueCounter& counter,
                           QueueStatus* status) {
    Enumerate(MailboxFileQueue(), folder, pattern, counter, status, false);
}

void QueueMailboxFiles(FileQueue& queue, std::string& folder, std::string_view pattern, QueueCounter& counter,
                       QueueStatus* status) {
    Enumerate(queue, folder, pattern, counter, status, true);
}

void QueueMailboxFiles(std::string& folder, std::string_view pattern, QueueCounter& counter, QueueStatus* status) {
    Enumerate(MailboxFileQueue(), folder, pattern, counter, status, true);
}

}  // namespace files
