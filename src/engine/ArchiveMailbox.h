#pragma once
// A mailbox export archive converted as it is, in one forward pass over the
// compressed data. Each entry read is held in memory as a file of a private
// temporary folder (files::MemoryFiles), where the path-based readers (GMime,
// the item converters) find it; only an entry too large for memory is written
// into that folder. Entries are handed to the engine's queue as they become
// ready, and let go once the pass has moved past them and their partner.
//
// An entry is ready when what it needs has been read:
// - its partner: an item's ".meta" and its content entry are queued together.
//   The server writes the ".meta" right before its content; in an archive packed
//   in another order the one met first waits for the other (a content entry for
//   its ".meta"; a ".meta" for its content when its "size" says there is one).
// - its folder: the server writes the export's folder list before the items. An
//   item whose folder (or a folder above it) has not been described yet waits
//   for that description while the archive may still bring it: until the
//   description comes, or a stretch of entries passes with no folder entry
//   (then the list is taken as complete), or the archive ends.
// Waiting entries are held within the same memory budget as the others.
//
// A name stored twice in one archive: while the earlier entry waits, the later
// replaces it (as extracting would). Once the earlier one was queued (its item
// may be in the PST, which cannot drop an item), the later one is queued under a
// numbered name ("x (2).eml") and both are named in the log.
//
// A mailbox exported in parts (by date range) is several archives read one
// after the other as one mailbox: a folder entry met again in a later part is
// read once, an item ".meta" with an id an earlier part had is skipped with its
// content, and a later item whose name an earlier, different item took gets a
// name of its own.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/KeySet.h"
#include "files/ArchiveReader.h"
#include "files/PathList.h"

namespace engine {

class ArchiveMailbox {
public:
    ArchiveMailbox() = default;
    ~ArchiveMailbox();
    ArchiveMailbox(const ArchiveMailbox&) = delete;
    ArchiveMailbox& operator=(const ArchiveMailbox&) = delete;

    // Opens the archive and reads its folder list (the entries before the first
    // item, and on until the export's root is known); false (error set) when it
    // cannot be read at all or no private temporary folder can be made.
    bool Open(const std::string& archivePath, std::string& error);
    // The parts of one mailbox, read in this order; an archive that cannot be
    // read at all is reported by CutOffText() when another one can.
    bool Open(const std::vector<std::string>& archivePaths, std::string& error);

    // Reads on until at least one more entry is ready and appends the ready ones
    // (their temporary paths) to `queue`, which holds every entry queued so far;
    // false once the archives are read to their end and nothing more came.
    bool ReadMore(files::PathList& queue);
    // The entries Open queued (once).
    files::PathList TakeOpening();
    // Entries read so far that are or will be queued (the queue's size once
    // they are ready).
    size_t Accepted() const { return released_ + pending_.size(); }
    // How far the pass is through the archives' bytes, 0 to 1.
    double Fraction() const;

    // The temporary folder standing for the mailbox folder, ending with "/".
    const std::string& Root() const { return root_; }
    // The export's root in that folder (the folder of "-root.meta", else the one
    // above the first "/Inbox/"), ending with "/".
    std::string RootPath() const { return root_ + rootRel_; }

    // What the log must say about entries the pass met: names leading out of
    // the mailbox, entries a later one replaces, items an earlier part had,
    // names stored again. Taken once.
    struct Notice {
        enum class Kind { Refused, Replaced, Repeated, StoredAgain } kind;
        std::string shown;  // the entry, as DisplayPath gives it
        std::string text;   // the earlier entry (Repeated) or what became of it (StoredAgain)
    };
    std::vector<Notice> TakeNotices() { return std::exchange(notices_, {}); }

    // Removes the queued entries whose turn and whose partner's turn are before
    // `index` (the hook hears of each first). Calls come in increasing order.
    void Prepare(size_t index);
    // True when the queued entry is in memory (or the temporary folder) ahead of
    // its turn: every queued entry is until Prepare lets it go.
    bool Fetch(size_t index) const { return index < released_; }
    // Called with the queue path of each file Prepare is about to remove (its
    // partner is still there then): what it is can be told only now.
    void SetBeforeRemove(std::function<void(const std::string&)> hook) { beforeRemove_ = std::move(hook); }

    // How the user knows a queued file: ARCHIVE/name-in-archive.
    std::string DisplayPath(const std::string& queuePath) const;

    // Empty for archives read to their end, else "archive cut off after N
    // entries, at PATH" (PATH as DisplayPath gives it); one such text a part,
    // joined by "; ".
    std::string CutOffText() const;

private:
    struct Part {
        std::string path;
        uint64_t bytes = 0;    // the file's size
        size_t entries = 0;    // file entries read
        bool damaged = false;  // its data or headers end early
        std::string cutText;   // what CutOffText says of it
        std::string lastName;  // the last entry read
        std::vector<uint64_t> given;  // several parts: the names below root_ it gave out (hashed), sorted at its end
    };
    struct Pending {
        std::string name;        // below root_ (numbered when renamed)
        std::string shown;       // ARCHIVE/name as stored
        size_t memoryBytes = 0;  // 0: written to the temporary folder, or not read
        size_t readAt = 0;       // entries read before it
        bool folder = false;     // an entry of the export's folder list
        bool meta = false;       // a ".meta"
        bool wantsPartner = false;
        bool partnerSeen = false;
        bool missing = false;    // its data was cut: queued without a file, for the log
        bool undecided = false;  // a later part's content whose ".meta" decides what it is
        size_t unknownAt = SIZE_MAX;  // foldersVersion_ when its folder was last found unknown
        size_t part = 0;
    };
    struct Held {
        size_t index;    // in the queue
        size_t partner;  // its partner's queue index, or its own
        std::string path;
        size_t memoryBytes;
    };

    // Reads one entry of the current part; false at the end of the last part.
    bool ReadEntry();
    void Accept(const std::string& stored, size_t partIndex);
    // Hands every ready pending entry over to `queue` (null: the opening queue).
    size_t Release(files::PathList* queue);
    bool Ready(Pending& p);
    bool FolderKnown(const std::string& name) const;
    void NoteFolderEntry(const std::string& name);
    void NoteRoot(const std::string& name);
    bool Hold(files::ArchiveReader& reader, const std::string& path, size_t& memoryBytes);
    void Forget(const std::string& path, size_t memoryBytes);
    // A later part's ".meta" decided its item (-1 skipped, 0 its own name, n numbered): so is its waiting content.
    void Decide(const std::string& key, int as);
    void Rename(Pending& p, const std::string& name);
    std::string KeyOf(const std::string& name) const;
    int NumberFor(const std::string& key) const;
    bool Taken(const std::string& name) const;

    std::vector<Part> parts_;
    std::vector<std::string> unreadable_;  // parts that could not be opened
    size_t part_ = 0;                      // the part being read
    std::unique_ptr<files::ArchiveReader> reader_;
    bool ended_ = false;                   // every part read
    uint64_t doneBytes_ = 0;               // bytes of the parts read to their end
    uint64_t totalBytes_ = 0;
    std::string root_;
    std::string rootRel_;                  // the export's root below root_
    bool rootKnown_ = false;
    bool folderListClosed_ = false;        // no more folder descriptions expected
    size_t foldersVersion_ = 0;            // grows with what is known of the folders (FolderKnown's answers)
    size_t entriesRead_ = 0;               // all parts
    size_t lastFolderEntry_ = 0;           // entriesRead_ at the last folder entry
    bool sawItem_ = false;
    std::set<std::string> knownFolders_;   // directories described, store form
    std::set<std::string> madeFolders_;    // below root_, made for entries written to disk

    std::deque<Pending> pending_;
    size_t pendingBytes_ = 0;              // memory of the pending entries
    size_t released_ = 0;                  // entries queued
    files::PathList opening_;              // the entries queued while opening
    std::vector<Held> held_;
    size_t heldBytes_ = 0;                 // memory of pending and queued entries

    KeySet<uint64_t> partNames_;           // names stored in the current part (hashed)
    std::vector<uint64_t> partGiven_;      // several parts: the names the current part gives out
    std::unordered_map<uint64_t, int> keyAs_;  // item key (hashed) -> its number in this part, -1: skipped
    // Several parts: (item id, index in idShown_) of the earlier parts' items, sorted;
    // the current part's; and the entries that brought them, spooled.
    std::vector<std::pair<uint64_t, uint32_t>> ids_, partIds_;
    files::PathList idShown_;
    std::unordered_map<uint64_t, std::string> shownOf_;  // queue name (hashed) -> shown, for a renamed entry
    // True when an earlier part gave out the name below root_.
    bool GivenEarlier(uint64_t nameHash) const;
    void EndPart();
    bool severalParts_ = false;
    std::vector<Notice> notices_;
    std::function<void(const std::string&)> beforeRemove_;
};

}  // namespace engine
