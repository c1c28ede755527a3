#include "engine/ArchiveMailbox.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "engine/EngineText.h"
#include "engine/FolderTree.h"
#include "files/FileApi.h"
#include "files/MemoryFiles.h"
#include "items/TempFiles.h"
#include "items/ZimbraFolders.h"

namespace engine {

namespace {

// A name that stays inside the mailbox when joined to a folder.
bool SafeName(const std::string& name) {
    if (name.empty() || name[0] == '/') return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(start, end - start);
        if (part == "..") return false;
        start = end + 1;
    }
    return name.find('\0') == std::string::npos;
}

// The private folder for the entries being read: in $TMPDIR when it is set,
// else in memory (/dev/shm) where there is such a folder, since every entry is
// written, read and removed at once; else in the system's temporary folder.
std::string NewEntryFolder() {
    const char* tmpdir = std::getenv("TMPDIR");
    if ((!tmpdir || !*tmpdir) && ::access("/dev/shm", W_OK | X_OK) == 0) {
        std::string templ = "/dev/shm/orvandel-archive-XXXXXX";
        if (::mkdtemp(templ.data())) return templ + "/";
    }
    return items::NewTempFolder("orvandel-archive-");
}

bool IsItemMetaName(const std::string& base) {
    for (const char* kind : {".eml.meta", ".appt.meta", ".task.meta", ".chat.meta", ".note.meta", ".wiki.meta"})
        if (base.size() > std::strlen(kind) && EndsWith(base, kind)) return true;
    return false;
}

// Items whose content entry always follows their ".meta" (raw MIME, pages).
bool ContentAlwaysFollows(const std::string& base) {
    for (const char* kind : {".eml.meta", ".chat.meta", ".wiki.meta"})
        if (base.size() > std::strlen(kind) && EndsWith(base, kind)) return true;
    return false;
}

std::string BaseOf(const std::string& name) {
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// The digits of a JSON member `"key":123`; empty when there is none. The
// member names are looked for with their quotes ("index_id" is not "id").
std::string NumberMember(const std::string& text, const char* key) {
    const std::string marker = std::string("\"") + key + "\":";
    const size_t at = text.find(marker);
    if (at == std::string::npos) return {};
    size_t end = at + marker.size();
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    return text.substr(at + marker.size(), end - at - marker.size());
}

// "dir/x.eml" -> "dir/x (2).eml", "Contacts/Doe, Jane" -> "Contacts/Doe, Jane (2)":
// the item's kind (its extension) stays what the engine goes by.
std::string NumberedName(const std::string& key, int n) {
    const std::string suffix = " (" + std::to_string(n) + ")";
    const std::string base = BaseOf(key);
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos) {
        const std::string ext = base.substr(dot);
        for (const char* kind : {".eml", ".appt", ".task", ".chat", ".note", ".wiki"})
            if (ext == kind) return key.substr(0, key.size() - ext.size()) + suffix + ext;
    }
    return key + suffix;
}

// 64-bit FNV-1a: names and ids stand in memory as their hashes.
uint64_t Hash(const std::string& text) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ULL;
    return h;
}

// An item id (digits) as a number; a longer one than any id as its hash.
uint64_t IdKey(const std::string& digits) {
    return digits.size() <= 18 ? std::stoull(digits) : (Hash(digits) | (1ULL << 63));
}

std::string PartnerName(const std::string& name) {
    return EndsWith(name, ".meta") ? name.substr(0, name.size() - 5) : name + ".meta";
}

// Entries held in memory: one at most this large, all together at most this
// much (an archive whose items come far from their companions or folders keeps
// many); beyond that they go to the temporary folder.
constexpr size_t kMemoryEntryBytes = size_t(8) << 20;
constexpr size_t kMemoryHeldBytes = size_t(64) << 20;
// The folder list is taken as complete once this many entries, or half the
// memory budget of waiting entries, passed with no folder entry among them.
constexpr size_t kFolderListGap = 1024;

}  // namespace

ArchiveMailbox::~ArchiveMailbox() {
    if (root_.empty()) return;
    for (const Held& h : held_) files::RemoveFile(h.path);
    for (const Pending& p : pending_) files::RemoveFile(root_ + p.name);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

bool ArchiveMailbox::Open(const std::string& archivePath, std::string& error) {
    return Open(std::vector<std::string>{archivePath}, error);
}

bool ArchiveMailbox::Open(const std::vector<std::string>& archivePaths, std::string& error) {
    for (const auto& path : archivePaths) {
        files::ArchiveReader probe;
        if (!probe.Open(path)) {
            unreadable_.push_back("cannot read the archive " + path + " (" + probe.error() + ")");
            continue;
        }
        Part part;
        part.path = path;
        std::error_code ec;
        part.bytes = std::filesystem::file_size(path, ec);
        if (ec) part.bytes = 0;
        totalBytes_ += part.bytes;
        parts_.push_back(std::move(part));
    }
    if (parts_.empty()) {
        error = unreadable_.empty() ? "no archive given" : unreadable_.front();
        for (size_t i = 1; i < unreadable_.size(); ++i) error += "; " + unreadable_[i];
        return false;
    }
    severalParts_ = archivePaths.size() > 1;
    root_ = NewEntryFolder();
    if (root_.empty()) {
        error = "no private temporary folder could be made for reading " + archivePaths.front();
        return false;
    }
    // The folder list, and on to the first item with the root known: the folder
    // tree is built from what is queued now.
    while (!(sawItem_ && (rootKnown_ || folderListClosed_)) && ReadEntry()) {
    }
    Release(nullptr);
    return true;
}

files::PathList ArchiveMailbox::TakeOpening() { return std::move(opening_); }

bool ArchiveMailbox::ReadEntry() {
    for (;;) {
        if (part_ >= parts_.size()) {
            if (!ended_) ++foldersVersion_;
            ended_ = true;
            return false;
        }
        Part& part = parts_[part_];
        bool next = false;
        if (!reader_) {
            reader_ = std::make_unique<files::ArchiveReader>();
            if (!reader_->Open(part.path)) {
                part.damaged = true;
                part.cutText = "archive cut off after 0 entries, at " + part.path + "/ (" + reader_->error() + ")";
            } else {
                next = reader_->Next();
            }
        } else if (!part.damaged) {
            next = reader_->Next();
        }
        if (!next) {
            // The headers end early: the last entry read is where it ends.
            if (reader_ && reader_->damaged() && !part.damaged) {
                part.damaged = true;
                part.cutText = "archive cut off after " + std::to_string(part.entries) + " entries, at " + part.path +
                               "/" + part.lastName + " (" + reader_->error() + ")";
            }
            doneBytes_ += part.bytes;
            reader_.reset();
            EndPart();
            continue;
        }
        Accept(reader_->Name(), part_);
        if (!folderListClosed_ && sawItem_ &&
            (entriesRead_ - lastFolderEntry_ > kFolderListGap || pendingBytes_ > kMemoryHeldBytes / 2)) {
            folderListClosed_ = true;
            ++foldersVersion_;
        }
        return true;
    }
}

void ArchiveMailbox::Accept(const std::string& stored, size_t partIndex) {
    Part& part = parts_[partIndex];
    const size_t inPart = part.entries++;
    ++entriesRead_;
    part.lastName = stored;
    const std::string shown = part.path + "/" + stored;
    if (!SafeName(stored)) {
        notices_.push_back({Notice::Kind::Refused,
                            stored.empty() ? part.path + "/(entry " + std::to_string(inPart + 1) + ", its name unreadable)"
                                           : shown,
                            {}});
        return;
    }
    const std::string base = BaseOf(stored);
    const bool folder = !IsItemMetaName(base) && items::LooksLikeFolderMetaName(base);
    const bool meta = EndsWith(stored, ".meta");
    // Every part of an export starts with the export's folder list: read once.
    if (folder && partIndex > 0 && GivenEarlier(Hash(stored))) return;

    auto file = std::make_shared<files::MemoryFile>();
    const size_t room = heldBytes_ < kMemoryHeldBytes ? kMemoryHeldBytes - heldBytes_ : 0;
    const auto read = reader_->ReadEntry(file->bytes, std::min(room, kMemoryEntryBytes));

    std::string name = stored;
    const std::string key = meta ? stored.substr(0, stored.size() - 5) : stored;
    bool undecided = false;
    const bool again = partNames_.count(Hash(stored)) > 0;
    partNames_.insert(Hash(stored));
    if (again) {
        // Stored twice: a waiting earlier entry is replaced; a queued one stays,
        // and this one gets a name of its own.
        auto earlier = std::find_if(pending_.begin(), pending_.end(),
                                    [&](const Pending& p) { return p.name == stored && p.shown == shown; });
        if (earlier != pending_.end()) {
            notices_.push_back({Notice::Kind::Replaced, earlier->shown, {}});
            Forget(root_ + earlier->name, earlier->memoryBytes);
            pendingBytes_ -= earlier->memoryBytes;
            pending_.erase(earlier);
        } else if (!folder) {
            auto as = keyAs_.find(Hash(key));
            if (as == keyAs_.end() || as->second <= 0) as = keyAs_.insert_or_assign(Hash(key), NumberFor(key)).first;
            name = NumberedName(key, as->second) + (meta ? ".meta" : "");
            notices_.push_back({Notice::Kind::StoredAgain, shown, part.path + "/" + name});
        } else {
            // A folder description stored again: the first one built the folder.
            notices_.push_back({Notice::Kind::StoredAgain, shown, {}});
            return;
        }
    } else if (partIndex > 0 && !folder) {
        auto as = keyAs_.find(Hash(key));
        if (as == keyAs_.end()) {
            int decided = 0;
            if (meta && read != files::ArchiveReader::Entry::Damaged) {
                const std::string id = NumberMember(file->bytes, "id");
                if (!id.empty())
                    if (auto first = std::lower_bound(ids_.begin(), ids_.end(), std::make_pair(IdKey(id), uint32_t(0)));
                        first != ids_.end() && first->first == IdKey(id)) {
                        decided = -1;
                        notices_.push_back({Notice::Kind::Repeated, shown, idShown_[first->second]});
                    }
            }
            const bool taken = GivenEarlier(Hash(key)) || GivenEarlier(Hash(key + ".meta"));
            // A content entry before its ".meta": the ".meta" tells whether it repeats an item.
            if (decided == 0 && taken && !meta) undecided = true;
            else if (decided == 0 && taken) decided = NumberFor(key);
            if (!undecided) {
                as = keyAs_.emplace(Hash(key), decided).first;
                if (meta) Decide(key, decided);
            }
        }
        if (!undecided && as->second < 0) return;  // an item an earlier part brought, with its content
        if (!undecided && as->second > 0) name = NumberedName(key, as->second) + (meta ? ".meta" : "");
        // Meanwhile under a name of its own: the earlier part's entry of its name may still be queued.
        if (undecided) name = stored + " (undecided " + std::to_string(entriesRead_) + ")";
    }
    if (severalParts_ && meta && !folder && read != files::ArchiveReader::Entry::Damaged) {
        const std::string id = NumberMember(file->bytes, "id");
        if (!id.empty()) {
            partIds_.emplace_back(IdKey(id), static_cast<uint32_t>(idShown_.size()));
            idShown_.push_back(shown);
        }
    }
    if (severalParts_) partGiven_.push_back(Hash(name));
    if (name != stored) {
        partNames_.insert(Hash(name));
        shownOf_[Hash(name)] = shown;
    }

    Pending p;
    p.name = name;
    p.shown = shown;
    p.readAt = entriesRead_;
    p.folder = folder;
    p.meta = meta;
    p.undecided = undecided;
    p.part = partIndex;
    const std::string path = root_ + name;
    bool ok = read != files::ArchiveReader::Entry::Damaged;
    std::string sizeText;  // a ".meta"'s "size": the bytes of its content entry
    if (ok && read == files::ArchiveReader::Entry::TooLarge) {
        // Into the temporary folder, whose subfolders exist only for such entries.
        const size_t slash = path.rfind('/');
        if (slash != std::string::npos && madeFolders_.insert(path.substr(0, slash)).second) {
            std::error_code ec;
            std::filesystem::create_directories(path.substr(0, slash), ec);
        }
        ok = reader_->WriteTo(path, file->bytes);
        // A cut-off entry is not handed on half written.
        if (!ok) files::RemoveFile(path);
    } else if (ok) {
        if (meta) sizeText = NumberMember(file->bytes, "size");
        file->mtime = reader_->MTime();
        p.memoryBytes = file->bytes.size();
        files::PutMemoryFile(path, std::move(file));
    }
    if (!ok && reader_->damaged()) {
        // Its data is cut: queued without a file, so the log names it; the part ends here.
        part.damaged = true;
        part.cutText = "archive cut off after " + std::to_string(inPart) + " entries, at " + shown;
        p.missing = true;
    } else if (!ok) {
        p.missing = true;  // no room on disk: the log says it could not be read
    }
    heldBytes_ += p.memoryBytes;
    pendingBytes_ += p.memoryBytes;

    if (folder) {
        lastFolderEntry_ = entriesRead_;
        if (!p.missing) NoteFolderEntry(name);
    } else {
        sawItem_ = true;
    }
    NoteRoot(name);
    // Its partner: waiting already (a pair), queued already (nothing to wait for),
    // or still to come.
    const std::string partner = PartnerName(name);
    auto waiting = std::find_if(pending_.begin(), pending_.end(),
                                [&](const Pending& q) { return q.name == partner && q.part == partIndex; });
    if (waiting != pending_.end()) {
        waiting->partnerSeen = true;
        p.partnerSeen = true;
    } else if (!folder && !p.missing && !partNames_.count(Hash(partner))) {
        p.wantsPartner = !meta || ContentAlwaysFollows(BaseOf(name)) || (!sizeText.empty() && sizeText != "0");
    }
    pending_.push_back(std::move(p));
}

void ArchiveMailbox::NoteRoot(const std::string& name) {
    if (rootKnown_) return;
    // As the extracted folder's root is found: the folder of "-root.meta", else
    // the part before the first "/Inbox/".
    const std::string entry = root_ + name;
    if (Contains(LowerAscii(entry), "-root.meta")) {
        rootRel_ = ParentOf(entry).substr(root_.size());
        rootKnown_ = true;
        ++foldersVersion_;
        return;
    }
    const std::string p = ParentOf(entry);
    const size_t at = p.find("/Inbox/", root_.size() - 1);
    if (at == std::string::npos) return;
    rootRel_ = p.substr(0, at + 1).substr(root_.size());
    rootKnown_ = true;
    ++foldersVersion_;
}

void ArchiveMailbox::NoteFolderEntry(const std::string& name) {
    if (auto folder = items::ReadExportFolder(root_ + name)) {
        std::string directory = folder->directory;
        std::replace(directory.begin(), directory.end(), '/', '\\');
        if (knownFolders_.insert(directory).second) ++foldersVersion_;
    }
}

bool ArchiveMailbox::FolderKnown(const std::string& name) const {
    if (folderListClosed_ || ended_) return true;
    if (!rootKnown_) return false;
    if (name.compare(0, rootRel_.size(), rootRel_) != 0) return true;  // outside the export's tree
    const std::string rel = name.substr(rootRel_.size());
    const size_t slash = rel.rfind('/');
    if (slash == std::string::npos) return true;
    std::string directory;
    size_t start = 0;
    while (start < slash) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos || end > slash) end = slash;
        std::string component = rel.substr(start, end - start);
        if (!directory.empty()) directory += '\\';
        directory += component;
        // "Inbox!1" holds Inbox's items.
        if (!knownFolders_.count(StripBatchSuffixes(directory))) return false;
        start = end + 1;
    }
    return true;
}

bool ArchiveMailbox::Ready(Pending& p) {
    if (p.missing) return true;
    // A partner comes in the same part, if at all.
    if (!p.folder && p.wantsPartner && !p.partnerSeen && !ended_ && p.part == part_) return false;
    // Asked again only once more is known of the folders.
    if (p.unknownAt == foldersVersion_) return false;
    if (FolderKnown(p.name)) return true;
    p.unknownAt = foldersVersion_;
    return false;
}

size_t ArchiveMailbox::Release(files::PathList* queue) {
    const size_t firstHeld = held_.size();
    std::unordered_map<std::string, size_t> here;  // name -> queue index, this call
    // Folder entries first, a folder before the folders in it: the items and
    // folders they describe are queued after them.
    size_t depths = 0;
    for (const Pending& p : pending_)
        if (p.folder) depths = std::max<size_t>(depths, std::count(p.name.begin(), p.name.end(), '/') + 1);
    for (size_t round = 0; round <= depths; ++round) {
        const bool folders = round < depths;
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->folder != folders || (folders && size_t(std::count(it->name.begin(), it->name.end(), '/')) != round) ||
                !Ready(*it)) {
                ++it;
                continue;
            }
            if (it->undecided) {
                // Its ".meta" never came: a name of its own beside the earlier part's.
                const std::string stored = it->shown.substr(parts_[it->part].path.size() + 1);
                const int n = NumberFor(stored);
                if (it->part == part_) keyAs_[Hash(stored)] = n;
                Rename(*it, NumberedName(stored, n));
                it->undecided = false;
            }
            const std::string path = root_ + it->name;
            if (queue) queue->push_back(path);
            else opening_.push_back(path);
            if (!it->missing) held_.push_back({released_, released_, path, it->memoryBytes});
            here[it->name] = released_;
            pendingBytes_ -= it->memoryBytes;
            ++released_;
            it = pending_.erase(it);
        }
    }
    for (size_t k = firstHeld; k < held_.size(); ++k)
        if (auto p = here.find(PartnerName(held_[k].path.substr(root_.size()))); p != here.end())
            held_[k].partner = p->second;
    return here.size();
}

bool ArchiveMailbox::ReadMore(files::PathList& queue) {
    for (;;) {
        if (Release(&queue) > 0) return true;
        if (!ReadEntry()) return Release(&queue) > 0;
    }
}

void ArchiveMailbox::Decide(const std::string& key, int as) {
    auto content = std::find_if(pending_.begin(), pending_.end(),
                                [&](const Pending& p) {
                                    return p.undecided && p.part == part_ &&
                                           p.shown.size() == parts_[part_].path.size() + 1 + key.size() &&
                                           p.shown.compare(parts_[part_].path.size() + 1, key.size(), key) == 0;
                                });
    if (content == pending_.end()) return;
    content->undecided = false;
    if (as < 0) {
        Forget(root_ + content->name, content->memoryBytes);
        pendingBytes_ -= content->memoryBytes;
        pending_.erase(content);
    } else if (as > 0) {
        Rename(*content, NumberedName(key, as));
    }
}

void ArchiveMailbox::Rename(Pending& p, const std::string& name) {
    const std::string from = root_ + p.name, to = root_ + name;
    if (auto file = files::FindMemoryFile(from)) {
        files::PutMemoryFile(to, file);
        files::DropMemoryFile(from);
    } else {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(to).parent_path(), ec);
        std::filesystem::rename(from, to, ec);
    }
    p.name = name;
    partNames_.insert(Hash(name));
    if (severalParts_) partGiven_.push_back(Hash(name));
    shownOf_[Hash(name)] = p.shown;
}

void ArchiveMailbox::Forget(const std::string& path, size_t memoryBytes) {
    files::RemoveFile(path);
    heldBytes_ -= memoryBytes;
}

void ArchiveMailbox::Prepare(size_t index) {
    // Files whose turn and whose partner's turn have both passed go; the caller
    // hears of each while it and its partner are still there.
    const auto gone = std::stable_partition(held_.begin(), held_.end(), [&](const Held& f) {
        return std::max(f.index, f.partner) >= index;
    });
    if (beforeRemove_)
        for (auto it = gone; it != held_.end(); ++it) beforeRemove_(it->path);
    for (auto it = gone; it != held_.end(); ++it) Forget(it->path, it->memoryBytes);
    held_.erase(gone, held_.end());
}

int ArchiveMailbox::NumberFor(const std::string& key) const {
    int n = 2;
    while (Taken(NumberedName(key, n)) || Taken(NumberedName(key, n) + ".meta")) ++n;
    return n;
}

bool ArchiveMailbox::Taken(const std::string& name) const {
    const uint64_t h = Hash(name);
    return partNames_.count(h) || GivenEarlier(h);
}

bool ArchiveMailbox::GivenEarlier(uint64_t nameHash) const {
    for (size_t k = 0; k < part_ && k < parts_.size(); ++k)
        if (std::binary_search(parts_[k].given.begin(), parts_[k].given.end(), nameHash)) return true;
    return false;
}

void ArchiveMailbox::EndPart() {
    if (part_ < parts_.size()) {
        std::sort(partGiven_.begin(), partGiven_.end());
        parts_[part_].given = std::move(partGiven_);
    }
    partGiven_.clear();
    ++part_;
    partNames_ = {};
    keyAs_.clear();
    // Only an earlier part's item is a repeat: revisions of a document share their id.
    const size_t old = ids_.size();
    ids_.insert(ids_.end(), partIds_.begin(), partIds_.end());
    std::sort(ids_.begin() + std::ptrdiff_t(old), ids_.end());
    std::inplace_merge(ids_.begin(), ids_.begin() + std::ptrdiff_t(old), ids_.end());
    partIds_.clear();
}

double ArchiveMailbox::Fraction() const {
    if (totalBytes_ == 0) return ended_ ? 1.0 : 0.0;
    const uint64_t read = doneBytes_ + (reader_ ? reader_->BytesRead() : 0);
    return std::min(1.0, static_cast<double>(read) / static_cast<double>(totalBytes_));
}

std::string ArchiveMailbox::DisplayPath(const std::string& queuePath) const {
    if (parts_.empty() || root_.empty() || queuePath.rfind(root_, 0) != 0) return queuePath;
    const std::string rel = queuePath.substr(root_.size());
    const uint64_t h = Hash(rel);
    if (!shownOf_.empty())
        if (auto it = shownOf_.find(h); it != shownOf_.end()) return it->second;
    if (!severalParts_) return parts_[0].path + "/" + rel;
    // Names are given out once across the parts: the part that gave it.
    for (size_t k = 0; k < part_ && k < parts_.size(); ++k)
        if (std::binary_search(parts_[k].given.begin(), parts_[k].given.end(), h)) return parts_[k].path + "/" + rel;
    return part_ < parts_.size() ? parts_[part_].path + "/" + rel : queuePath;
}

std::string ArchiveMailbox::CutOffText() const {
    std::string text;
    auto add = [&text](const std::string& line) { text += (text.empty() ? "" : "; ") + line; };
    for (const auto& u : unreadable_) add(u);
    for (const Part& part : parts_)
        if (part.damaged) add(part.cutText);
    return text;
}

}  // namespace engine
