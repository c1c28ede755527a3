#pragma once
// A mailbox export archive converted as it is. The archive's file entries are
// listed first (names only, the data passed over) so that the engine's queue,
// file count and folder tree are those of the extracted folder; then Pass I reads
// the archive forward once more and, for the file it handles, writes that entry
// (and a ".meta" or companion entry right beside it in the archive) into a
// private temporary folder, where the path-based readers (GMime, the item
// converters) find it. Each file is removed once the pass has moved past it, so
// the disk holds a handful of entries, never the mailbox.
#include <string>
#include <unordered_set>
#include <vector>

#include "files/ArchiveReader.h"

namespace engine {

class ArchiveMailbox {
public:
    ArchiveMailbox() = default;
    ~ArchiveMailbox();
    ArchiveMailbox(const ArchiveMailbox&) = delete;
    ArchiveMailbox& operator=(const ArchiveMailbox&) = delete;

    // Lists the archive; false (error set) when it cannot be read at all or no
    // private temporary folder can be made.
    bool Open(const std::string& archivePath, std::string& error);

    // The queue: the temporary path of every file entry, in archive order.
    const std::vector<std::string>& Queue() const { return queue_; }
    // The temporary folder standing for the mailbox folder, ending with "/".
    const std::string& Root() const { return root_; }
    // Entries not read because their names would leave the mailbox (absolute,
    // "..") : named as DisplayPath gives them.
    const std::vector<std::string>& Refused() const { return refused_; }

    // Makes Queue()[index] and its partner (its ".meta", or the companion of a
    // ".meta") exist on disk, and removes what earlier calls wrote once neither
    // it nor its partner is still to come. Calls come in increasing order. The
    // server writes a ".meta" right before its companion, so the disk holds two
    // or three entries; an archive in another order keeps the entries passed on
    // the way to a partner until their turn.
    void Prepare(size_t index);

    // How the user knows a queued file: ARCHIVE/name-in-archive.
    std::string DisplayPath(const std::string& queuePath) const;

    // Empty for an archive read to its end, else "archive cut off after N
    // entries, at PATH" (PATH as DisplayPath gives it).
    std::string CutOffText() const;

private:
    void Advance(size_t upToPosition);
    void FindPartners();

    std::string archivePath_;
    std::string root_;
    std::vector<std::string> names_;       // every file entry, archive order
    std::unordered_set<size_t> written_;   // entries (folder ".meta" files) written while listing
    std::vector<long> queued_;             // per entry: its queue index, -1 when refused
    std::vector<size_t> position_;         // per queue index: its entry
    std::vector<size_t> partner_;          // per entry: its partner's entry, or itself
    std::vector<size_t> lastUse_;          // per entry: the later of its and its partner's turn
    std::vector<std::string> queue_;
    std::vector<std::string> refused_;
    bool listingDamaged_ = false;
    std::string listingError_;

    files::ArchiveReader stream_;
    bool streamOpen_ = false;
    size_t streamed_ = 0;                  // entries the stream has passed
    bool streamDamaged_ = false;
    size_t damagedAt_ = 0;                 // entry whose data was cut
    std::vector<std::pair<size_t, std::string>> onDisk_;  // (entry, path) written
};

}  // namespace engine
