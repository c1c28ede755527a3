#pragma once
// A mailbox export archive converted as it is. The archive's file entries are
// listed first (names only, the data passed over) so that the engine's queue,
// file count and folder tree are those of the extracted folder; then Pass I reads
// the archive forward once more and, for the file it handles, reads that entry
// (and a ".meta" or companion entry right beside it in the archive) into memory
// as a file of a private temporary folder (files::MemoryFiles), where the
// path-based readers (GMime, the item converters) find it. Only an entry too
// large for memory is written into that folder. Each entry is let go once the
// pass has moved past it, so a handful of entries is held, never the mailbox.
//
// A mailbox exported in parts (by date range) is several archives read one
// after the other as one mailbox: a folder or item met again in a later part
// (the same folder entry, or an item ".meta" with an id already seen) is read
// once, and a later item whose name an earlier, different item took gets a
// name of its own.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "files/ArchiveReader.h"
#include "files/PathList.h"

namespace engine {

// Memory: the entries' names and the queue are spooled (files::PathList); what
// stays in memory is a few integers an entry, plus, for an export in parts,
// 64-bit hashes of the names below the mailbox (to find an entry again and to
// see a name an earlier part took).
class ArchiveMailbox {
public:
    ArchiveMailbox() = default;
    ~ArchiveMailbox();
    ArchiveMailbox(const ArchiveMailbox&) = delete;
    ArchiveMailbox& operator=(const ArchiveMailbox&) = delete;

    // Lists the archive; false (error set) when it cannot be read at all or no
    // private temporary folder can be made.
    bool Open(const std::string& archivePath, std::string& error);
    // The parts of one mailbox, read in this order; an archive that cannot be
    // read at all is reported by CutOffText() when another one can.
    bool Open(const std::vector<std::string>& archivePaths, std::string& error);

    // The queue: the temporary path of every file entry, in archive order.
    const files::PathList& Queue() const { return queue_; }
    // The temporary folder standing for the mailbox folder, ending with "/".
    const std::string& Root() const { return root_; }
    // Entries not read because their names would leave the mailbox (absolute,
    // "..") : named as DisplayPath gives them.
    const std::vector<std::string>& Refused() const { return refused_; }
    // Items of a later part already met in an earlier one: (entry, the first one's), as DisplayPath gives them.
    const std::vector<std::pair<std::string, std::string>>& Repeated() const { return repeated_; }
    // Entries a later entry of the same name in the same archive replaces (as
    // extracting would), as DisplayPath gives them.
    const std::vector<std::string>& Replaced() const { return replaced_; }

    // Makes Queue()[index] and its partner (its ".meta", or the companion of a
    // ".meta") exist on disk, and removes what earlier calls wrote once neither
    // it nor its partner is still to come. Calls come in increasing order. The
    // server writes a ".meta" right before its companion, so the disk holds two
    // or three entries; an archive in another order keeps the entries passed on
    // the way to a partner until their turn.
    void Prepare(size_t index);
    // Makes Queue()[index] (a later one than the last Prepare) and its partner
    // exist on disk ahead of their turn, so a message can be parsed while the
    // one before it is written; removes nothing. False (nothing done) when the
    // entry is too far ahead to keep the entries before it on disk meanwhile.
    bool Fetch(size_t index);
    // Called with the queue path of each file Prepare is about to remove (its
    // partner is still on disk then): what it is can be told only now.
    void SetBeforeRemove(std::function<void(const std::string&)> hook) { beforeRemove_ = std::move(hook); }

    // How the user knows a queued file: ARCHIVE/name-in-archive.
    std::string DisplayPath(const std::string& queuePath) const;

    // Empty for an archive read to its end, else "archive cut off after N
    // entries, at PATH" (PATH as DisplayPath gives it); one such text a part,
    // joined by "; ".
    std::string CutOffText() const;

private:
    static constexpr uint32_t kNone = UINT32_MAX;
    void List(size_t part, files::ArchiveReader& listing);
    void Advance(size_t upToPosition);
    void FindPartners();
    size_t PartOf(size_t entry) const;
    // The entry's name below root_: its own, or the one it took when an earlier part had its own.
    std::string QueueName(size_t entry) const;
    // The queued entry whose name below root_ is `name`, or kNone.
    uint32_t EntryNamed(const std::string& name, const std::vector<std::pair<uint64_t, uint32_t>>& table) const;

    struct Part {
        std::string path;
        size_t first = 0;      // its first entry
        size_t end = 0;        // one past its last
        bool listingDamaged = false;
        std::string listingError;
        bool streamDamaged = false;
        size_t damagedAt = 0;  // entry whose data was cut
    };
    std::vector<Part> parts_;
    std::vector<std::string> unreadable_;  // parts that could not be opened
    std::string root_;
    files::PathList names_;                // every file entry, archive order
    std::vector<uint32_t> queued_;         // per entry: its queue index, kNone when not read
    std::vector<uint32_t> position_;       // per queue index: its entry
    std::vector<uint32_t> partner_;        // per entry: its partner's entry, or itself
    std::unordered_map<uint32_t, std::string> renamed_;  // entries of a later part under a numbered name
    std::unordered_set<uint32_t> written_;  // entries (folder ".meta" files) written while listing
    files::PathList queue_;
    std::vector<std::string> refused_;
    std::vector<std::pair<std::string, std::string>> repeated_;
    std::vector<std::string> replaced_;
    // Several parts: (hash of the name below root_, entry) of every queued entry, sorted.
    std::vector<std::pair<uint64_t, uint32_t>> byName_;
    // Several parts, while listing: names below root_ given out (hashed), and item id -> its first entry.
    std::unordered_set<uint64_t> taken_;
    std::unordered_map<uint64_t, uint32_t> idFirst_;
    bool severalParts_ = false;
    std::unordered_set<std::string> madeFolders_;  // below root_, made already

    std::unique_ptr<files::ArchiveReader> stream_;
    size_t streamPart_ = 0;                // the part stream_ reads
    size_t streamed_ = 0;                  // entries the stream has passed
    struct Held {
        size_t entry;
        std::string path;
        size_t memoryBytes;  // 0: written to disk
    };
    std::vector<Held> held_;               // entries read, not yet let go
    size_t heldBytes_ = 0;                 // their bytes in memory (folder ".meta" files of the listing included)
    // Reads the stream's current entry into memory, or to disk when it is too large; false when it cannot be read.
    bool Hold(files::ArchiveReader& reader, const std::string& path, size_t& memoryBytes);
    std::function<void(const std::string&)> beforeRemove_;
};

}  // namespace engine
