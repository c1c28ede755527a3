#include "engine/ArchiveMailbox.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unordered_map>

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

bool EndsWith(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool IsItemMetaName(const std::string& base) {
    for (const char* kind : {".eml.meta", ".appt.meta", ".task.meta", ".chat.meta", ".note.meta", ".wiki.meta"})
        if (base.size() > std::strlen(kind) && EndsWith(base, kind)) return true;
    return false;
}

std::string BaseOf(const std::string& name) {
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// The item id of a ".meta" text: the value of its "id" member ("index_id",
// "folder_id" and the like end in `_id"`, and quotes inside strings are escaped).
std::string ItemIdOf(const std::string& metaText) {
    const size_t at = metaText.find("\"id\":");
    if (at == std::string::npos) return {};
    size_t end = at + 5;
    while (end < metaText.size() && metaText[end] >= '0' && metaText[end] <= '9') ++end;
    return metaText.substr(at + 5, end - at - 5);
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

constexpr size_t kFetchAhead = 64;
// Entries held in memory: one at most this large, all together at most this
// much (an archive whose items come far from their companions keeps many);
// beyond that they go to the temporary folder.
constexpr size_t kMemoryEntryBytes = size_t(8) << 20;
constexpr size_t kMemoryHeldBytes = size_t(64) << 20;

}  // namespace

ArchiveMailbox::~ArchiveMailbox() {
    if (root_.empty()) return;
    for (const Held& h : held_) files::RemoveFile(h.path);
    for (const uint32_t entry : written_) files::RemoveFile(root_ + names_[entry]);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

bool ArchiveMailbox::Open(const std::string& archivePath, std::string& error) {
    return Open(std::vector<std::string>{archivePath}, error);
}

bool ArchiveMailbox::Open(const std::vector<std::string>& archivePaths, std::string& error) {
    std::vector<std::unique_ptr<files::ArchiveReader>> listings;
    for (const auto& path : archivePaths) {
        auto listing = std::make_unique<files::ArchiveReader>();
        if (!listing->Open(path)) {
            unreadable_.push_back("cannot read the archive " + path + " (" + listing->error() + ")");
            listing.reset();
        }
        listings.push_back(std::move(listing));
    }
    if (std::none_of(listings.begin(), listings.end(), [](const auto& l) { return l != nullptr; })) {
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
    for (size_t k = 0; k < archivePaths.size(); ++k) {
        if (!listings[k]) continue;
        Part part;
        part.path = archivePaths[k];
        part.first = names_.size();
        parts_.push_back(part);
        List(parts_.size() - 1, *listings[k]);
        parts_.back().end = names_.size();
        parts_.back().listingDamaged = listings[k]->damaged();
        parts_.back().listingError = listings[k]->error();
    }
    FindPartners();
    // Only the listing of a later part asks what an earlier one gave out.
    std::unordered_set<uint64_t>().swap(taken_);
    std::unordered_map<uint64_t, uint32_t>().swap(idFirst_);
    return true;
}

void ArchiveMailbox::List(size_t part, files::ArchiveReader& listing) {
    const std::string archivePath = parts_[part].path;
    // First the part's entries as they are (and the ids of its items), then what
    // becomes of each item: an item is its ".meta" and its content, in either order.
    std::unordered_map<uint64_t, uint64_t> idOfKey;  // item key (name without ".meta"), hashed -> id
    const size_t first = names_.size();
    std::vector<bool> folderMeta;
    std::vector<std::pair<uint64_t, uint32_t>> byHash;  // (hash of the name, entry)
    while (listing.Next()) {
        const std::string& name = listing.Name();
        names_.push_back(name);
        byHash.emplace_back(Hash(name), static_cast<uint32_t>(names_.size() - 1));
        const std::string base = BaseOf(name);
        folderMeta.push_back(!IsItemMetaName(base) && items::LooksLikeFolderMetaName(base));
        if (!SafeName(name)) continue;
        if (folderMeta.back()) {
            // Every part of an export starts with the export's folder list: read once.
            // Folder ".meta" files (the export writes them all first, and they are
            // small) are on disk from the start: the folder tree is built from them
            // before the first item.
            if (taken_.count(Hash(name))) continue;
            const std::string path = root_ + name;
            const uint32_t entry = static_cast<uint32_t>(names_.size() - 1);
            // An earlier entry of the same name: this one replaces it.
            if (auto old = files::FindMemoryFile(path)) heldBytes_ -= old->bytes.size();
            files::RemoveFile(path);
            size_t memoryBytes = 0;
            if (Hold(listing, path, memoryBytes)) {
                written_.insert(entry);
                heldBytes_ += memoryBytes;
            }
        } else if (severalParts_ && EndsWith(name, ".meta")) {
            std::string metaText;
            listing.ReadText(metaText, 1 << 20);
            const std::string id = ItemIdOf(metaText);
            if (!id.empty()) idOfKey[Hash(name.substr(0, name.size() - 5))] = IdKey(id);
        }
    }
    // A name stored twice in one archive (appended again): the later entry is the
    // file, as extracting would leave it; the earlier one is named in the log.
    std::sort(byHash.begin(), byHash.end());
    std::unordered_set<uint32_t> replaced;
    for (size_t k = 0; k + 1 < byHash.size(); ++k)
        if (byHash[k].first == byHash[k + 1].first && names_[byHash[k].second] == names_[byHash[k + 1].second])
            replaced.insert(byHash[k].second);
    std::vector<std::pair<uint64_t, uint32_t>>().swap(byHash);
    std::unordered_map<uint64_t, int> keyAs;  // item key, hashed -> 0 its own name, n > 1 numbered n, -1 read before
    std::vector<std::pair<uint64_t, uint32_t>> newIds;
    for (size_t i = first; i < names_.size(); ++i) {
        const std::string name = names_[i];
        if (!SafeName(name)) {
            queued_.push_back(kNone);
            refused_.push_back(archivePath + "/" + (name.empty() ? "(entry " + std::to_string(i - first + 1) +
                                                                    ", its name unreadable)"
                                                              : name));
            continue;
        }
        if (replaced.count(static_cast<uint32_t>(i))) {
            queued_.push_back(kNone);
            replaced_.push_back(archivePath + "/" + name);
            continue;
        }
        const bool meta = EndsWith(name, ".meta");
        const std::string key = meta ? name.substr(0, name.size() - 5) : name;
        bool skip = false;
        if (folderMeta[i - first]) {
            skip = taken_.count(Hash(name)) > 0;  // the folder list of an earlier part
        } else if (part > 0) {
            auto decided = keyAs.find(Hash(key));
            if (decided == keyAs.end()) {
                int as = 0;
                auto id = idOfKey.find(Hash(key));
                auto seen = id == idOfKey.end() ? idFirst_.end() : idFirst_.find(id->second);
                if (seen != idFirst_.end()) {
                    as = -1;
                    repeated_.emplace_back(archivePath + "/" + key + ".meta",
                                           parts_[PartOf(seen->second)].path + "/" + names_[seen->second]);
                } else if (taken_.count(Hash(key)) || taken_.count(Hash(key + ".meta"))) {
                    as = 2;
                    while (taken_.count(Hash(NumberedName(key, as))) || taken_.count(Hash(NumberedName(key, as) + ".meta")))
                        ++as;
                }
                decided = keyAs.emplace(Hash(key), as).first;
            }
            skip = decided->second < 0;
            if (decided->second > 0)
                renamed_.emplace(static_cast<uint32_t>(i), NumberedName(key, decided->second) + (meta ? ".meta" : ""));
        }
        if (skip) {
            queued_.push_back(kNone);
            continue;
        }
        queued_.push_back(static_cast<uint32_t>(queue_.size()));
        position_.push_back(static_cast<uint32_t>(i));
        queue_.push_back(root_ + QueueName(i));
        if (meta)
            if (auto id = idOfKey.find(Hash(key)); id != idOfKey.end())
                newIds.emplace_back(id->second, static_cast<uint32_t>(i));
    }
    if (severalParts_)
        for (size_t i = first; i < names_.size(); ++i)
            if (queued_[i] != kNone) taken_.insert(Hash(QueueName(i)));
    for (auto& [id, entry] : newIds) idFirst_.emplace(id, entry);
}

size_t ArchiveMailbox::PartOf(size_t entry) const {
    for (size_t k = 0; k < parts_.size(); ++k)
        if (entry < parts_[k].end) return k;
    return parts_.empty() ? 0 : parts_.size() - 1;
}

std::string ArchiveMailbox::QueueName(size_t entry) const {
    if (!renamed_.empty())
        if (auto it = renamed_.find(static_cast<uint32_t>(entry)); it != renamed_.end()) return it->second;
    return names_[entry];
}

uint32_t ArchiveMailbox::EntryNamed(const std::string& name,
                                    const std::vector<std::pair<uint64_t, uint32_t>>& table) const {
    const uint64_t h = Hash(name);
    for (auto it = std::lower_bound(table.begin(), table.end(), std::make_pair(h, uint32_t(0)));
         it != table.end() && it->first == h; ++it)
        if (QueueName(it->second) == name) return it->second;
    return kNone;
}

void ArchiveMailbox::FindPartners() {
    // "x.eml" and "x.eml.meta", "x.appt.meta" and "x.appt", "Name.meta" and "Name".
    std::vector<std::pair<uint64_t, uint32_t>> table;
    table.reserve(position_.size());
    for (const uint32_t entry : position_) table.emplace_back(Hash(QueueName(entry)), entry);
    std::sort(table.begin(), table.end());
    partner_.resize(names_.size());
    for (size_t i = 0; i < names_.size(); ++i) {
        partner_[i] = static_cast<uint32_t>(i);
        if (queued_[i] == kNone) continue;
        const std::string n = QueueName(i);
        uint32_t p = EntryNamed(n + ".meta", table);
        if (p == kNone && EndsWith(n, ".meta")) p = EntryNamed(n.substr(0, n.size() - 5), table);
        if (p != kNone) partner_[i] = p;
    }
    // Parts: DisplayPath finds an entry by its name below root_.
    if (severalParts_) byName_ = std::move(table);
}

void ArchiveMailbox::Advance(size_t upToPosition) {
    while (streamed_ <= upToPosition && streamed_ < names_.size()) {
        const size_t partIndex = PartOf(streamed_);
        Part& part = parts_[partIndex];
        if (part.streamDamaged) {
            // The rest of a cut part is not there; the next part goes on.
            streamed_ = part.end;
            continue;
        }
        if (!stream_ || streamPart_ != partIndex) {
            streamPart_ = partIndex;
            stream_ = std::make_unique<files::ArchiveReader>();
            if (!stream_->Open(part.path)) {
                part.streamDamaged = true;
                part.damagedAt = streamed_;
                continue;
            }
        }
        if (!stream_->Next()) {
            part.streamDamaged = true;
            part.damagedAt = streamed_;
            continue;
        }
        const size_t at = streamed_++;
        if (queued_[at] == kNone) continue;
        const std::string path = root_ + QueueName(at);
        if (written_.erase(static_cast<uint32_t>(at))) {
            // A folder ".meta" read while listing: read again in its turn.
            if (auto old = files::FindMemoryFile(path)) heldBytes_ -= old->bytes.size();
            files::RemoveFile(path);
        }
        size_t memoryBytes = 0;
        if (!Hold(*stream_, path, memoryBytes)) {
            if (stream_->damaged()) {
                part.streamDamaged = true;
                part.damagedAt = at;
            }
            continue;
        }
        heldBytes_ += memoryBytes;
        held_.push_back({at, path, memoryBytes});
    }
}

bool ArchiveMailbox::Hold(files::ArchiveReader& reader, const std::string& path, size_t& memoryBytes) {
    memoryBytes = 0;
    const size_t room = heldBytes_ < kMemoryHeldBytes ? kMemoryHeldBytes - heldBytes_ : 0;
    auto file = std::make_shared<files::MemoryFile>();
    const auto read = reader.ReadEntry(file->bytes, std::min(room, kMemoryEntryBytes));
    if (read == files::ArchiveReader::Entry::Damaged) return false;
    if (read == files::ArchiveReader::Entry::TooLarge) {
        // Into the temporary folder, whose subfolders exist only for such entries.
        const size_t slash = path.rfind('/');
        if (slash != std::string::npos && madeFolders_.insert(path.substr(0, slash)).second) {
            std::error_code ec;
            std::filesystem::create_directories(path.substr(0, slash), ec);
        }
        if (reader.WriteTo(path, file->bytes)) return true;
        // A cut-off entry is not handed on half written.
        files::RemoveFile(path);
        return false;
    }
    file->mtime = reader.MTime();
    memoryBytes = file->bytes.size();
    files::PutMemoryFile(path, std::move(file));
    return true;
}

void ArchiveMailbox::Prepare(size_t index) {
    if (index >= position_.size()) return;
    const size_t at = position_[index];
    Advance(std::max<size_t>(at, partner_[at]));
    // Files whose turn and whose partner's turn have both passed go; the caller
    // hears of each while it and its partner are still there.
    const auto gone = std::stable_partition(held_.begin(), held_.end(), [&](const Held& f) {
        return std::max<size_t>(f.entry, partner_[f.entry]) >= at;
    });
    if (beforeRemove_)
        for (auto it = gone; it != held_.end(); ++it) beforeRemove_(it->path);
    for (auto it = gone; it != held_.end(); ++it) {
        files::RemoveFile(it->path);
        heldBytes_ -= it->memoryBytes;
    }
    held_.erase(gone, held_.end());
}

bool ArchiveMailbox::Fetch(size_t index) {
    if (index >= position_.size()) return false;
    const size_t at = position_[index];
    const size_t upTo = std::max<size_t>(at, partner_[at]);
    // Everything up to the entry goes on disk: only a few entries ahead.
    if (upTo >= streamed_ + kFetchAhead) return false;
    Advance(upTo);
    return true;
}

std::string ArchiveMailbox::DisplayPath(const std::string& queuePath) const {
    if (parts_.empty() || root_.empty() || queuePath.rfind(root_, 0) != 0) return queuePath;
    const std::string rel = queuePath.substr(root_.size());
    // One archive: the queue's names are the entries' own.
    if (!severalParts_) return parts_[0].path + "/" + rel;
    const uint32_t entry = EntryNamed(rel, byName_);
    return entry == kNone ? queuePath : parts_[PartOf(entry)].path + "/" + names_[entry];
}

std::string ArchiveMailbox::CutOffText() const {
    std::string text;
    auto add = [&text](const std::string& line) { text += (text.empty() ? "" : "; ") + line; };
    for (const auto& u : unreadable_) add(u);
    // The stream knows where the data ended; the listing where the headers did.
    for (const Part& part : parts_) {
        if (part.streamDamaged && part.damagedAt < part.end)
            add("archive cut off after " + std::to_string(part.damagedAt - part.first) + " entries, at " + part.path +
                "/" + names_[part.damagedAt]);
        else if (part.streamDamaged || part.listingDamaged)
            add("archive cut off after " + std::to_string(part.end - part.first) + " entries, at " + part.path + "/" +
                (part.end == part.first ? std::string() : names_[part.end - 1]) + " (" + part.listingError + ")");
    }
    return text;
}

}  // namespace engine
