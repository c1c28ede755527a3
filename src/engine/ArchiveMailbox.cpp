#include "engine/ArchiveMailbox.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "files/FileApi.h"
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

}  // namespace

ArchiveMailbox::~ArchiveMailbox() {
    if (root_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

bool ArchiveMailbox::Open(const std::string& archivePath, std::string& error) {
    archivePath_ = archivePath;
    files::ArchiveReader listing;
    if (!listing.Open(archivePath)) {
        error = "cannot read the archive " + archivePath + " (" + listing.error() + ")";
        return false;
    }
    root_ = NewEntryFolder();
    if (root_.empty()) {
        error = "no private temporary folder could be made for reading " + archivePath;
        return false;
    }
    while (listing.Next()) {
        const std::string& name = listing.Name();
        names_.push_back(name);
        if (!SafeName(name)) {
            queued_.push_back(-1);
            refused_.push_back(archivePath_ + "/" + (name.empty() ? "(entry " + std::to_string(names_.size()) +
                                                                     ", its name unreadable)"
                                                               : name));
            continue;
        }
        queued_.push_back(static_cast<long>(queue_.size()));
        position_.push_back(names_.size() - 1);
        queue_.push_back(root_ + name);
        // Folder ".meta" files (the export writes them all first, and they are
        // small) are on disk from the start: the folder tree is built from them
        // before the first item.
        const size_t slash = name.rfind('/');
        const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
        bool itemMeta = false;
        for (const char* kind : {".eml.meta", ".appt.meta", ".task.meta", ".chat.meta", ".note.meta", ".wiki.meta"})
            if (base.size() > std::strlen(kind) && base.compare(base.size() - std::strlen(kind), std::string::npos, kind) == 0)
                itemMeta = true;
        if (!itemMeta && items::LooksLikeFolderMetaName(base)) {
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(queue_.back()).parent_path(), ec);
            if (listing.WriteTo(queue_.back())) written_.insert(names_.size() - 1);
            else files::RemoveFile(queue_.back());
        }
    }
    listingDamaged_ = listing.damaged();
    listingError_ = listing.error();
    FindPartners();
    return true;
}

void ArchiveMailbox::FindPartners() {
    // "x.eml" and "x.eml.meta", "x.appt.meta" and "x.appt", "Name.meta" and "Name".
    std::unordered_map<std::string, size_t> at;
    for (size_t i = 0; i < names_.size(); ++i)
        if (queued_[i] >= 0) at.emplace(names_[i], i);
    partner_.resize(names_.size());
    lastUse_.resize(names_.size());
    for (size_t i = 0; i < names_.size(); ++i) {
        partner_[i] = i;
        const std::string& n = names_[i];
        auto it = at.find(n + ".meta");
        if (it == at.end() && n.size() > 5 && n.compare(n.size() - 5, 5, ".meta") == 0)
            it = at.find(n.substr(0, n.size() - 5));
        if (it != at.end()) partner_[i] = it->second;
        lastUse_[i] = std::max(i, partner_[i]);
    }
}

void ArchiveMailbox::Advance(size_t upToPosition) {
    if (!streamOpen_) {
        streamOpen_ = true;
        if (!stream_.Open(archivePath_)) {
            streamDamaged_ = true;
            damagedAt_ = 0;
            return;
        }
    }
    while (!streamDamaged_ && streamed_ <= upToPosition && streamed_ < names_.size()) {
        if (!stream_.Next()) {
            streamDamaged_ = true;
            damagedAt_ = streamed_;
            return;
        }
        const size_t at = streamed_++;
        if (queued_[at] < 0) continue;
        const std::string path = queue_[static_cast<size_t>(queued_[at])];
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        if (written_.erase(at)) files::RemoveFile(path);  // a folder ".meta" written while listing
        if (!stream_.WriteTo(path)) {
            // A cut-off entry is not handed on half written.
            files::RemoveFile(path);
            if (stream_.damaged()) {
                streamDamaged_ = true;
                damagedAt_ = at;
                return;
            }
            continue;
        }
        onDisk_.emplace_back(at, path);
    }
}

void ArchiveMailbox::Prepare(size_t index) {
    if (index >= position_.size()) return;
    const size_t at = position_[index];
    Advance(std::max(at, partner_[at]));
    // Files whose turn and whose partner's turn have both passed go.
    auto done = [&](const std::pair<size_t, std::string>& f) {
        if (lastUse_[f.first] >= at) return false;
        files::RemoveFile(f.second);
        return true;
    };
    onDisk_.erase(std::remove_if(onDisk_.begin(), onDisk_.end(), done), onDisk_.end());
}

std::string ArchiveMailbox::DisplayPath(const std::string& queuePath) const {
    if (!root_.empty() && queuePath.rfind(root_, 0) == 0) return archivePath_ + "/" + queuePath.substr(root_.size());
    return queuePath;
}

std::string ArchiveMailbox::CutOffText() const {
    // The stream knows where the data ended; the listing where the headers did.
    if (streamDamaged_ && damagedAt_ < names_.size())
        return "archive cut off after " + std::to_string(damagedAt_) + " entries, at " + archivePath_ + "/" +
               names_[damagedAt_];
    if (streamDamaged_ || listingDamaged_)
        return "archive cut off after " + std::to_string(names_.size()) + " entries, at " + archivePath_ + "/" +
               (names_.empty() ? std::string() : names_.back()) + " (" + listingError_ + ")";
    return {};
}

}  // namespace engine
