#include "engine/MigrationEngine.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "engine/ArchiveMailbox.h"
#include "engine/EngineText.h"
#include "engine/ExportFolders.h"
#include "engine/ImportedPaths.h"
#include "engine/MessageChecksAhead.h"
#include "engine/SavedSinceCommit.h"
#include "engine/SourceRecord.h"
#include "files/ArchiveReader.h"
#include "files/FileApi.h"
#include "files/MailboxFileQueue.h"
#include "files/Paths.h"
#include "items/CategoryList.h"
#include "items/Companion.h"
#include "items/ContactGroups.h"
#include "items/MessageState.h"
#include "items/MessageStateProps.h"
#include "store/SpilledKeySet.h"

namespace engine {

namespace {

const char* const kCrLf = "\r\n";

// Lets the files layer reach the window while it lists a mailbox.
class ViewQueueStatus : public files::QueueStatus {
public:
    explicit ViewQueueStatus(MigrationView& view) : view_(view) {}
    bool DeleteSourceChecked() override { return view_.DeleteSourceChecked(); }
    void SetCountLabel(const std::string& text) override { view_.SetLabel(Label::lblCount1, text); }
    void Yield() override { view_.Yield(); }

private:
    MigrationView& view_;
};

// Chats are stored as messages (raw MIME) too.
bool IsChatName(const std::string& lowerName) { return EndsWith(lowerName, ".chat"); }
bool IsMessageName(const std::string& lowerName) {
    return EndsWith(lowerName, ".eml") || lowerName == "eml~1" || IsChatName(lowerName);
}
// The ".meta" files of items that are no contacts or documents.
bool IsOtherItemMeta(const std::string& lowerName) {
    for (const char* kind : {".eml.meta", ".appt.meta", ".task.meta", ".wiki.meta", ".chat.meta", ".note.meta"})
        if (EndsWith(lowerName, kind)) return true;
    return false;
}

// Round half to even, as the window shows the bar's value.
int RoundHalfEven(float value) { return static_cast<int>(std::nearbyint(value)); }

std::string Plural(int n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

}  // namespace

// ---------------------------------------------------------------------------
// One mailbox: the engine state of its run and the pipeline steps.

class MigrationEngine::Mailbox {
public:
    Mailbox(MigrationEngine& engine, std::string name, std::string folder)
        : e_(engine), view_(engine.view_), name_(std::move(name)), folder_(std::move(folder)) {
        summary_.name = name_;
        summary_.folder = folder_;
        summary_.files = engine.fileCount_;
    }

    MailboxSummary Run();

private:
    bool ChoosePstPath(const MigrationSettings& settings);
    bool OpenStore();
    void BuildFolderTree(const files::PathList& queue);
    // The export's tags as the store's category list (each PST of a split mailbox has one).
    void SaveCategoryList();
    // The store-form directory of a file, relative to the root, batch suffixes gone.
    std::string DirectoryOf(const std::string& path) const;
    // Pass I; false when the run must end here (stop confirmed, window closed).
    bool PassOne(files::PathList& queue);
    void PassTwo();
    void AnnounceNextMessage(const files::PathList& queue, size_t current, std::deque<size_t>& announced);
    void Dispatch(const std::string& path, int pass);
    void ImportMessageFile(const std::string& path, int pass);
    // `target` names the folder the item goes to (null: the default folder of its
    // kind); it is asked after a size split may have opened the next PST.
    void ConvertItemFile(const std::string& path, const std::string& status,
                         items::ItemOutcome (items::ItemConverters::*convert)(const items::ItemContext&,
                                                                                const std::string&),
                         int MailboxSummary::*counter, const std::function<store::Folder*()>& target = {});
    // The store folder of a message's or document's directory (asked after a size split).
    store::Folder& FolderOfFile(const std::string& path);
    // A Briefcase document: a post in the folder of its directory.
    void ConvertDocument(const std::string& path);
    // The export's contact with this Zimbra id as group members (ItemContext::resolveContact).
    std::optional<std::vector<items::GroupMember>> ResolveContact(const std::string& id);
    // A source an earlier run committed to this PST (or to another PST of the
    // mailbox): counted, named in the log, and with deletion ticked deleted
    // after the next commit, companions first so that the file itself marks
    // what is left to delete should the run end in between. False when the
    // source is not in the PST yet.
    bool AlreadyInPst(const std::string& path, const std::vector<std::string>& companions);
    bool InPst(const std::string& record) const {
        return (store_ && store_->HoldsSource(record)) || otherParts_.Contains(record);
    }
    std::string Record(const std::string& path) const {
        return SourceRecord(name_, e_.archive_ ? e_.archive_->Root() : folder_, path);
    }
    // An item saved in the store: counted, but durable only with the next commit.
    void Saved(const std::string& path, int MailboxSummary::*counter);
    // A commit (or the log-off) failed: the items saved since the last commit
    // are not in the PST. They are counted and logged as failed instead.
    void LoseUncommitted(const std::string& why);
    // A file that could not be converted, as a log line (kept in memory when
    // the log cannot take it).
    void LogBad(const std::string& path, const std::string& reason);
    // Every "BAD : " and "SKIPPED : " line names its file (as shown) for the accounting.
    bool LogLineBad(const std::string& shown, const std::string& reason = {}) {
        logged_.insert(Key(shown));
        return log_.Bad(shown, reason);
    }
    bool LogLineSkipped(const std::string& shown, const std::string& reason) {
        logged_.insert(Key(shown));
        return log_.Skipped(shown, reason);
    }
    // The file (and the one beside it) became part of the PST.
    void Converted(const std::string& path) {
        converted_.insert(Key(Shown(path)));
        if (const std::string partner = PartnerOf(path); !partner.empty()) converted_.insert(Key(Shown(partner)));
    }
    static uint64_t Key(const std::string& shown);
    // An item file's companion, or a content file's ".meta".
    static std::string PartnerOf(const std::string& path);
    // After Pass I: every listed file is converted or logged; a file neither
    // was is logged now with what it is.
    void AccountForEveryFile(const files::PathList& queue);
    std::string UnconvertedReason(const std::string& path, bool& failure) const;
    // An archive's entry about to leave the disk: when neither it nor its
    // partner became an item or a log line, what it is is noted now.
    void NoteBeforeRemoval(const std::string& path);
    // Why a source cannot be read safely (itself or the companion beside it), or "".
    std::string SourceProblem(const std::string& path, const std::string& companion) const;
    // Final counts and the log's state into the summary, and the window told.
    void Conclude();
    // Before an item from `source`: when it could take the PST past the size
    // limit, the PST is closed and the mailbox goes on in the next part.
    void NextPartIfFull(const std::string& source, std::optional<uint64_t> sourceBytes = std::nullopt);
    bool StartNextPart();
    bool CommitDue() const;
    bool Commit();
    void RunDeletions();
    void RemoveEmptyFolders();
    void Finish();  // log-off and the deletions it allows
    void SetStatus(const std::string& text) { view_.SetLabel(Label::LblCurrentDBX, text); }
    // An archive's entries are never deleted (the archive is the source).
    bool DeleteTicked() { return !e_.archive_ && view_.DeleteSourceChecked(); }
    // How the log and the user know a queued file.
    std::string Shown(const std::string& path) const { return e_.archive_ ? e_.archive_->DisplayPath(path) : path; }
    int Saves() const {
        return summary_.messagesImported + summary_.contacts + summary_.appointments + summary_.tasks + summary_.notes +
               summary_.documents + summary_.chats;
    }

    MigrationEngine& e_;
    MigrationView& view_;
    std::string name_;
    std::string folder_;
    MailboxSummary summary_;

    // Engine state of the mailbox.
    std::string pstPath_;
    std::string timeStamp_;
    std::string storeEntryID_;
    StoreNames names_;
    std::string rootPath_;
    std::vector<std::string> folderList_;
    ExportFolders exportFolders_;
    const files::PathList* queue_ = nullptr;  // Pass I's files
    store::SpilledKeySet<uint64_t> converted_, logged_;  // files as shown, by Key (mostly on disk)
    std::unordered_map<uint64_t, std::pair<std::string, bool>> removedReasons_;  // by Key: (reason, failure)
    items::ContactDirectory contacts_;       // the export's contacts, read when a group first needs them
    bool contactsRead_ = false;
    std::vector<items::ZimbraTag> tags_;
    std::set<std::string> tagFiles_;  // the tags' ".meta" files
    MessageChecksAhead checksAhead_;  // of the messages announced to the parser
    int fileIndex_ = 0;
    MigrationLog log_;
    std::unique_ptr<store::Session> session_;
    store::Store* store_ = nullptr;
    // FolderOfFile's last answer: the folder of the files of that parent in that store.
    store::Folder* lastFolder_ = nullptr;
    store::Store* lastFolderStore_ = nullptr;
    std::string lastFolderParent_;

    // What this run has made of each message, and what may go once committed.
    ImportedPaths imported_;
    std::unordered_set<std::string> failed_;
    std::unordered_set<std::string> partial_;  // imported with parts left out: their sources stay
    files::PathList pendingDeletes_;  // spooled: commits grow far apart
    std::set<std::string> passTwoFolders_;  // parents of the files Pass II met
    std::set<std::string> emptiedFolders_;  // parents of deleted sources
    int savesSinceCommit_ = 0;
    SavedSinceCommit uncommitted_;
    std::unordered_set<std::string> lostLogged_;
    store::SourceIndex otherParts_;  // what the mailbox's other PSTs (split by size) hold
    std::chrono::steady_clock::time_point lastCommit_ = std::chrono::steady_clock::now();
    bool loggedOff_ = false;

    // Splitting by size.
    std::vector<std::string> folderListSource_;  // as listed, before the first PST's renames
    std::string firstDisplayName_;
    int part_ = 1;
    int savesInPart_ = 0;
    bool splitting_ = true;  // off once a next part could not be made

    // An archive read in one pass: the folder tree grows with the entries.
    std::set<std::string> listedDirectories_;  // store form, batch suffixes gone
    std::set<std::string> itemDirectories_;    // those that held a file other than a folder's
    void GrowFolderTree(const std::string& entry);
    // Makes the folders of new directories (store form), as the tree's first build does.
    void AddFolders(std::vector<std::string> directories);
    // The log lines of what the archive's reading met (names refused, entries replaced, ...).
    void LogArchiveNotices();
};

MailboxSummary MigrationEngine::Mailbox::Run() {
    // 1. Time stamp.
    timeStamp_ = e_.services_.timeStamp ? e_.services_.timeStamp() : CurrentTimeStamp();

    // 2. PST path.
    const MigrationSettings settings = view_.ReadSettings();
    if (!ChoosePstPath(settings) || pstPath_.empty()) return summary_;
    summary_.pstPath = pstPath_;

    // 3. Window and log.
    view_.SetProgressRange(0, 100);
    view_.SetButtonVisible(Button::CmdStopMigration, true);
    // The end of every run disables Stop: a second run in the same window needs it again.
    view_.SetButtonEnabled(Button::CmdStopMigration, true);
    view_.SetButtonEnabled(Button::CmdSkip, true);
    // 4. Store. The log is started once the store is open: a PST that cannot be
    // created (for example one that exists already) leaves the log beside it alone.
    if (!OpenStore()) return summary_;
    log_ = MigrationLog(LogPathFor(pstPath_));
    if (log_.Start()) summary_.logPath = log_.Path();
    summary_.logRefused = log_.Refused();
    if (e_.archive_) LogArchiveNotices();
    summary_.pstParts = {pstPath_};
    view_.OnMailboxStarted(name_, pstPath_, e_.archive_ ? 0 : e_.fileCount_);
    for (const auto& unlisted : files::MailboxFileQueue().Unlisted()) {
        summary_.unreadableFolders.push_back(unlisted.folder + " (" + unlisted.reason + ")");
        LogBad(unlisted.folder, "folder cannot be read: " + unlisted.reason);
    }

    // 5. Folder tree.
    files::PathList queue = files::MailboxFileQueue().TakeItems();
    BuildFolderTree(queue);

    // 6. Pass I.
    queue_ = &queue;
    if (e_.archive_) e_.archive_->SetBeforeRemove([this](const std::string& path) { NoteBeforeRemoval(path); });
    const bool goOn = PassOne(queue);
    if (e_.archive_) e_.archive_->SetBeforeRemove({});
    queue_ = nullptr;
    if (e_.archive_) {
        summary_.files = static_cast<int>(queue.size());
        summary_.sourceError = e_.archive_->CutOffText();
        if (!summary_.sourceError.empty() && LogLineBad(summary_.sourceError)) ++summary_.badLines;
    }
    if (!summary_.skipped && !summary_.stopped && !summary_.closed) AccountForEveryFile(queue);
    // 7. The queue is discarded.
    files::MailboxFileQueue().Clear();
    if (!goOn) return summary_;

    // 8. Pass II, when deletion is ticked now.
    const bool passTwo = DeleteTicked();
    if (passTwo) PassTwo();

    // 9. End of mailbox.
    view_.Yield();
    Finish();
    if (passTwo) RemoveEmptyFolders();
    view_.SetButtonEnabled(Button::CmdStartConversion, true);
    Conclude();
    return summary_;
}

bool MigrationEngine::Mailbox::ChoosePstPath(const MigrationSettings& settings) {
    try {
        if (settings.IsSingleMode) {
            auto chosen =
                view_.AskSavePath("Outlook Data File(s) (*.pst)|*.pst", name_ + timeStamp_ + ".pst");
            if (!chosen || chosen->empty()) {
                summary_.cancelled = true;
                view_.Unload();
                return false;
            }
            pstPath_ = *chosen;
        } else {
            std::string out = Trim(settings.OutputFolder);
            if (out.empty() || out.back() != NativeSeparator()) out += NativeSeparator();
            pstPath_ = out + name_ + ".pst";
        }
    } catch (const std::exception&) {
        summary_.cancelled = true;
        view_.Unload();
        return false;
    }
    return true;
}

bool MigrationEngine::Mailbox::OpenStore() {
    const std::string path = Trim(pstPath_);
    const bool existedBefore = files::FileExists(path);
    try {
        if (!e_.services_.createSession) throw store::StoreError("no store component is available");
        session_ = e_.services_.createSession();
        if (!session_) throw store::StoreError("no store component is available");
        SetStatus("Outlook Session Created...");
        view_.SetButtonEnabled(Button::CmdStartConversion, false);
        names_.displayName = "Mailbox (Zimbra) : Created - " + timeStamp_;
        firstDisplayName_ = names_.displayName;
        store::Store& logged = session_->LogonPstStore(path, 1, names_.displayName);
        names_.displayName = logged.DisplayName();  // an existing PST added to keeps its own
        storeEntryID_ = logged.EntryID();
        logged.ValidateIPMTree();
        store_ = &session_->GetStoreFromID(storeEntryID_);
        lastFolder_ = nullptr;
        names_.inboxName = store_->GetDefaultFolder(store::olFolderInbox).Name();
        names_.sentName = store_->GetDefaultFolder(store::olFolderSentMail).Name();
        if (e_.options_.mapDefaultFolders)
            names_.mappedFolders = {{"Drafts", store_->GetDefaultFolder(store::olFolderDrafts).Name()},
                                    {"Trash", store_->GetDefaultFolder(store::olFolderDeletedItems).Name()},
                                    {"Junk", store_->GetDefaultFolder(store::olFolderJunk).Name()}};
        // A mailbox an earlier run split by size: what its next PSTs hold is not added again.
        for (int part = 2; files::FileExists(PstPartPath(path, part)); ++part) {
            try {
                otherParts_.Merge(store::ReadSourceIndex(PstPartPath(path, part)));
            } catch (const std::exception&) {
                break;  // that part is refused when the run reaches it
            }
        }
        return true;
    } catch (const std::exception& ex) {
        summary_.storeFailed = true;
        summary_.storeExisted = existedBefore;
        summary_.storeError = ex.what();
        view_.ShowMessage("Outlook Error", StoreErrorText(path, ex.what(), existedBefore), MessageIcon::Information);
        store_ = nullptr;
        lastFolder_ = nullptr;
        session_.reset();
        view_.OnMailboxFinished(summary_);
        return false;
    }
}

void MigrationEngine::Mailbox::BuildFolderTree(const files::PathList& queue) {
    auto status = [this](const std::string& t) { SetStatus(t); };
    auto yield = [this] { view_.Yield(); };
    rootPath_ = e_.archive_ ? e_.archive_->RootPath() : DetectRootPath(queue, folder_, status);
    // The listing (and an archive's listing) queues files only, and has looked at each of them already.
    FileProbe probe{[](const std::string&) { return true; }, [](const std::string&) { return false; }};
    folderList_ = BuildFolderList(queue, rootPath_, probe, status, yield);
    if (e_.archive_) listedDirectories_.insert(folderList_.begin(), folderList_.end());
    // The export's own folder list: user folders that hold nothing exist too,
    // address books, calendars and task lists become folders of their kind,
    // and every folder takes its real name.
    exportFolders_.Read(queue, rootPath_);
    for (const auto& directory : exportFolders_.MailFolders()) folderList_.push_back(directory);
    // The tags are the root's "Tags" folder: the category list, no mail folder.
    const items::ExportFolder* tagsFolder = exportFolders_.At("Tags");
    const bool tagsAreBookkeeping = !tagsFolder || !tagsFolder->IsUserFolder();
    for (const auto& entry : queue) {
        if (DirectoryOf(entry) != "Tags" || !tagsAreBookkeeping || !items::LooksLikeFolderMetaName(FileNameOf(entry)))
            continue;
        if (auto tag = items::ReadTagMeta(entry)) {
            tags_.push_back(std::move(*tag));
            tagFiles_.insert(entry);
        }
    }
    folderList_.erase(std::remove_if(folderList_.begin(), folderList_.end(),
                                     [tagsAreBookkeeping](const std::string& d) {
                                         return tagsAreBookkeeping && (d == "Tags" || StartsWith(d, "Tags\\"));
                                     }),
                      folderList_.end());
    // Own address books, calendars and task lists, and the mail folders inside them.
    exportFolders_.TakeKindDirectories(folderList_);
    if (!folderList_.empty()) QuickSortStrings(folderList_, 0, static_cast<int>(folderList_.size()) - 1, yield);
    RemoveDuplicateStrings(folderList_);
    for (auto& directory : folderList_) directory = exportFolders_.RealPath(directory);
    folderListSource_ = folderList_;
    summary_.foldersCreated = CreateOutlookFolders(*store_, names_, folderList_, status, yield);
    try {
        summary_.foldersCreated += exportFolders_.CreateKindFolders(*store_);
    } catch (const std::exception&) {
        // A store that fails here leaves those items in the default folders.
    }
    SaveCategoryList();
    // Search folders and shared-folder links hold no content in an export.
    for (const items::ExportFolder* f : exportFolders_.Skipped()) {
        const std::string reason =
            f->type == 2 ? "search folder \"" + f->path + "\": an export holds only its query, " + f->query
                         : "shared folder link \"" + f->path + "\": its content lives in the owner's mailbox";
        ++summary_.itemsSkipped;
        LogLineSkipped(Shown(f->metaPath), reason);
    }
}

void MigrationEngine::Mailbox::SaveCategoryList() {
    if (tags_.empty() || !store_) return;
    try {
        items::SaveCategoryList(*store_, tags_);
    } catch (const std::exception& ex) {
        // The items keep their categories; only the list's colours are missing.
        log_.Note(Shown(*tagFiles_.begin()), std::string("the category list could not be written: ") + ex.what());
    }
}

void MigrationEngine::Mailbox::GrowFolderTree(const std::string& entry) {
    std::vector<std::string> directories;
    const std::string directory = DirectoryOf(entry);
    const bool folderLike =
        items::LooksLikeFolderMetaName(FileNameOf(entry)) && !IsOtherItemMeta(LowerAscii(FileNameOf(entry)));
    if (!folderLike) {
        if (!directory.empty()) itemDirectories_.insert(directory);
    } else if (!exportFolders_.IsFolderMeta(entry) && !tagFiles_.count(entry)) {
        const items::ExportFolder* tagsFolder = exportFolders_.At("Tags");
        if (directory == "Tags" && (!tagsFolder || !tagsFolder->IsUserFolder())) {
            if (auto tag = items::ReadTagMeta(entry)) {
                tags_.push_back(std::move(*tag));
                tagFiles_.insert(entry);
                SaveCategoryList();
            }
        } else if (const items::ExportFolder* f = exportFolders_.Add(entry, rootPath_)) {
            if (f->type == 2 || f->type == 13) {
                ++summary_.itemsSkipped;
                LogLineSkipped(Shown(entry), f->type == 2 ? "search folder \"" + f->path +
                                                                "\": an export holds only its query, " + f->query
                                                          : "shared folder link \"" + f->path +
                                                                "\": its content lives in the owner's mailbox");
            } else {
                const std::string own = ReplaceAll(f->directory, "/", "\\");
                if (itemDirectories_.count(own))
                    log_.Note(Shown(entry), "the archive describes this folder after items filed in it; they went to "
                                            "the folder their directory names");
                directories.push_back(own);
            }
        }
    }
    if (!directory.empty() && listedDirectories_.insert(directory).second) directories.push_back(directory);
    if (!directories.empty()) AddFolders(std::move(directories));
}

void MigrationEngine::Mailbox::AddFolders(std::vector<std::string> directories) {
    // Only what the first build would have listed: user folders and the
    // directories of files, not the tags; kind folders take their own.
    std::vector<std::string> list;
    for (auto& d : directories) {
        const items::ExportFolder* f = exportFolders_.At(d);
        const bool listed = listedDirectories_.count(d) > 0;
        const bool userMail = f && f->type == 1 && f->IsUserFolder() &&
                              (f->view == items::FolderView::Mail || f->view == items::FolderView::None ||
                               f->view == items::FolderView::Documents);
        if (listed || userMail) list.push_back(std::move(d));
    }
    const items::ExportFolder* tagsFolder = exportFolders_.At("Tags");
    const bool tagsAreBookkeeping = !tagsFolder || !tagsFolder->IsUserFolder();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [tagsAreBookkeeping](const std::string& d) {
                                  return tagsAreBookkeeping && (d == "Tags" || StartsWith(d, "Tags\\"));
                              }),
               list.end());
    exportFolders_.TakeKindDirectories(list);
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    for (auto& d : list) d = exportFolders_.RealPath(d);
    folderListSource_.insert(folderListSource_.end(), list.begin(), list.end());
    auto status = [this](const std::string& t) { SetStatus(t); };
    summary_.foldersCreated += CreateOutlookFolders(*store_, names_, list, status, [this] { view_.Yield(); });
    try {
        summary_.foldersCreated += exportFolders_.CreateKindFolders(*store_);
    } catch (const std::exception&) {
        // A store that fails here leaves those items in the default folders.
    }
    lastFolder_ = nullptr;
}

void MigrationEngine::Mailbox::LogArchiveNotices() {
    using Kind = ArchiveMailbox::Notice::Kind;
    for (const auto& n : e_.archive_->TakeNotices()) {
        switch (n.kind) {
            case Kind::Refused:
                if (LogLineBad(n.shown, "not read: its name leads out of the mailbox or cannot be read")) ++summary_.badLines;
                break;
            case Kind::Repeated:
                // A mailbox exported in parts: an item two parts hold is converted once.
                ++summary_.itemsSkipped;
                LogLineSkipped(n.shown, "the same item as " + n.text + ", converted from there");
                break;
            case Kind::Replaced:
                // Not queued, and shown as the entry that replaces it: no mark for the accounting.
                ++summary_.itemsSkipped;
                log_.Skipped(n.shown, "a later entry of the same name in the archive replaces it");
                break;
            case Kind::StoredAgain:
                if (n.text.empty()) {
                    ++summary_.itemsSkipped;
                    log_.Skipped(n.shown, "a folder stored again in the archive: it is built from its first entry");
                } else {
                    // The earlier entry's item may be in the PST already, which cannot drop it.
                    log_.Note(n.shown, "stored again in the archive after the entry of this name was converted: both "
                                       "are in the PST, this one read as " + n.text);
                }
                break;
        }
    }
}

std::string MigrationEngine::Mailbox::DirectoryOf(const std::string& path) const {
    std::string rel = ParentOf(path);
    rel = RelativeTo(rel, rootPath_);
    rel = ToStoreSeparators(rel);
    if (!rel.empty() && rel.back() == '\\') rel.pop_back();
    return StripBatchSuffixes(rel);
}

namespace {
// An archive's entries read ahead of the turn, and messages among them parsed
// ahead: enough for the parser to keep pace, few enough to hold in memory.
constexpr size_t kArchiveReadAhead = 48;
constexpr size_t kArchiveParsedAhead = 8;
}  // namespace

bool MigrationEngine::Mailbox::PassOne(files::PathList& queue) {
    fileIndex_ = 1;
    int fileCount = static_cast<int>(queue.size());
    int shownCount = e_.fileCount_;
    std::deque<size_t> announced;  // messages announced for ParseAhead ahead of the current entry
    for (size_t i = 0;; ++i) {
        if (e_.archive_) {
            // The queue grows as the archive is read, some entries ahead of the
            // turn so that the messages among them can be parsed ahead.
            while (queue.size() < i + kArchiveReadAhead && e_.archive_->ReadMore(queue)) {
            }
            LogArchiveNotices();
            summary_.files = static_cast<int>(queue.size());
        }
        if (i >= queue.size()) {
            if (e_.archive_ && shownCount != static_cast<int>(queue.size()))
                view_.SetLabel(Label::lblCount1, e_.CountLabel(static_cast<int>(queue.size())));
            break;
        }
        const std::string entry = queue[i];
        if (view_.IsUnloaded()) break;  // closed before this file: end below
        // An archive's entries are let go once their turn has passed.
        if (e_.archive_) {
            e_.archive_->Prepare(i);
            GrowFolderTree(entry);
        }
        AnnounceNextMessage(queue, i, announced);
        Dispatch(entry, 1);
        summary_.filesDone = fileIndex_;

        // Progress; an archive's from the share of its bytes read, its file count
        // estimated from that until the end.
        float value = 0;
        if (e_.archive_) {
            const double fraction = e_.archive_->Fraction();
            fileCount = static_cast<int>(std::max<double>(
                static_cast<double>(e_.archive_->Accepted()), fraction > 0.001 ? fileIndex_ / fraction : 0.0));
            fileCount = std::max(fileCount, fileIndex_);
            value = static_cast<float>(fraction * 100.0);
            // An archive's count is known only at its end: the label follows the estimate.
            if (fileCount != shownCount) view_.SetLabel(Label::lblCount1, e_.CountLabel(shownCount = fileCount));
        } else {
            value = static_cast<float>(fileIndex_) / static_cast<float>(fileCount) * 100.0f;
        }
        view_.SetLabel(Label::FrameConversion, "Reading Messages && Metadata (Pass I) - (" +
                                                   std::to_string(fileIndex_) + " of " + std::to_string(fileCount) +
                                                   ") Zimbra Mailbox File(s)");
        view_.SetProgress(value);
        view_.OnFileProgress({name_, 1, fileIndex_, fileCount, Saves()});
        ++fileIndex_;
        view_.SetLabel(Label::lblProgress, std::to_string(RoundHalfEven(value)) + "% Complete");

        if (view_.IsUnloaded()) break;

        // Skip check.
        if (e_.skipRequested_) {
            if (view_.AskYesNo("Confirm Skip", "Do you really want to \"Skip\" migration of this mailbox ?")) {
                view_.SetLabel(Label::lblProgress,
                               "Skipped... at " + std::to_string(RoundHalfEven(value)) + "% Complete");
                view_.SetLabel(Label::lblCount1, "Checking Next Mailbox...");
                summary_.skipped = true;
                e_.skipRequested_ = false;  // answered: a later Stop is a question of its own
                break;
            }
            e_.skipRequested_ = false;
        }
        if (view_.IsUnloaded()) break;

        // Stop check.
        if (e_.stopRequested_) {
            if (view_.AskYesNo("Confirm Stop", std::string("This action will STOP complete migration process.") +
                                                   kCrLf + "Do you really want to \"STOP\" on-going migration ?")) {
                view_.SetLabel(Label::lblProgress,
                               "Stopped... at " + std::to_string(RoundHalfEven(value)) + "% Complete");
                view_.SetLabel(Label::lblCount1, "Stopped...");
                summary_.stopped = true;
                // The PST keeps every item saved so far: commit before the window goes.
                Finish();
                view_.Unload();
                Conclude();
                return false;
            }
            e_.stopRequested_ = false;
        }
        if (CommitDue()) Commit();
    }
    if (view_.IsUnloaded()) {
        // The window was closed: end the run here, with the PST committed.
        if (e_.stopRequested_) summary_.stopped = true;
        else summary_.closed = true;
        Finish();
        Conclude();
        return false;
    }
    // End of Pass I: commit, so the sources of everything saved may go.
    Commit();
    return true;
}

void MigrationEngine::Mailbox::AnnounceNextMessage(const files::PathList& queue, size_t current,
                                                   std::deque<size_t>& announced) {
    if (!e_.services_.parseAhead) return;
    while (!announced.empty() && announced.front() <= current) announced.pop_front();
    // A few messages ahead, so the parser can take them in batches; an
    // archive's only as far as its entries have been read.
    const size_t window = e_.archive_ ? kArchiveParsedAhead : mime::kMaxParsedAhead / 2;
    size_t next = announced.empty() ? current + 1 : announced.back() + 1;
    while (announced.size() < window) {
        while (next < queue.size() && !IsMessageName(LowerAscii(FileNameOf(queue[next])))) ++next;
        if (next >= queue.size()) return;
        if (e_.archive_ && !e_.archive_->Fetch(next)) return;
        // An archive's ".meta" may come from it after its message: checked in turn.
        e_.services_.parseAhead(queue[next], e_.archive_ ? std::function<void()>() : checksAhead_.Announce(queue[next]));
        announced.push_back(next++);
    }
}

void MigrationEngine::Mailbox::PassTwo() {
    files::MailboxFileQueue().Clear();
    std::string folderVariable = folder_;
    files::QueueCounter counter = 1;
    ViewQueueStatus status(view_);
    files::QueueMailboxFiles(folderVariable, "*.*", counter, &status);
    const int fileCount = counter - 1;
    const files::PathList queue = files::MailboxFileQueue().TakeItems();
    fileIndex_ = 1;
    for (const auto& entry : queue) {
        if (view_.IsUnloaded()) {
            summary_.closed = !e_.stopRequested_;
            summary_.stopped = e_.stopRequested_;
            break;
        }
        if (IsMessageName(LowerAscii(FileNameOf(entry)))) {
            if (imported_.Contains(entry)) {
                // Already in the PST from Pass I: only its sources go (after the commit).
                if (!partial_.count(entry)) {
                    pendingDeletes_.push_back(entry + ".meta");
                    pendingDeletes_.push_back(entry);
                }
            } else {
                ImportMessageFile(entry, 2);
            }
        }
        passTwoFolders_.insert(ParentOf(entry));
        view_.SetLabel(Label::FrameConversion, "Checking && Validating (Pass II) - (" + std::to_string(fileIndex_) +
                                                   " of " + std::to_string(fileCount) + ") file(s)");
        view_.SetProgress(static_cast<float>(fileIndex_) / static_cast<float>(fileCount) * 100.0f);
        view_.OnFileProgress({name_, 2, fileIndex_, fileCount, Saves()});
        ++fileIndex_;
        if (CommitDue()) Commit();
    }
    files::MailboxFileQueue().Clear();
}

void MigrationEngine::Mailbox::Dispatch(const std::string& path, int pass) {
    const std::string name = LowerAscii(FileNameOf(path));
    static const std::string contacts = Native("\\Contacts"), emailed = Native("\\Emailed Contacts"),
                             calendar = Native("\\Calendar"), tasks = Native("\\Tasks\\"),
                             notebook = Native("\\Notebook");
    using C = items::ItemConverters;
    const std::string directory = DirectoryOf(path);
    // Briefcase documents: every ".meta" there that is no folder's nor another kind's.
    if (EndsWith(name, ".meta") && !IsOtherItemMeta(name) && !exportFolders_.IsFolderMeta(path) &&
        exportFolders_.InDocumentFolder(directory)) {
        ConvertDocument(path);
        return;
    }
    // Zimbra notes: Outlook notes, in the folder of a notes folder of its own, or
    // a notes folder below Notes when filed in another user folder.
    if (EndsWith(name, ".note.meta")) {
        ConvertItemFile(path, "Converting Notes... from (", &C::ConvertStickyNoteFile, &MailboxSummary::notes,
                        [this, directory]() -> store::Folder* {
                            const items::ExportFolder* kind = exportFolders_.KindFolderOf(directory);
                            if (kind && kind->view == items::FolderView::Notes)
                                if (store::Folder* own = exportFolders_.KindFolderAt(directory)) return own;
                            int made = 0;
                            store::Folder* folder = exportFolders_.NotesFolderAt(*store_, directory, made);
                            summary_.foldersCreated += made;
                            return folder;
                        });
        return;
    }
    // An address book, calendar or task list of its own takes the items of its kind.
    if (exportFolders_.KindFolderAt(directory)) {
        const items::ExportFolder* kind = exportFolders_.KindFolderOf(directory);
        const items::FolderView view = kind ? kind->view : items::FolderView::None;
        // Asked again after a size split: the next PST has folders of its own.
        auto own = [this, directory] { return exportFolders_.KindFolderAt(directory); };
        if (view == items::FolderView::Contacts && EndsWith(name, ".meta") && !IsOtherItemMeta(name) &&
            !items::LooksLikeFolderMetaName(FileNameOf(path))) {
            ConvertItemFile(path, "Converting Contacts... from (", &C::ConvertContactFile, &MailboxSummary::contacts,
                            own);
            return;
        }
        if (view == items::FolderView::Appointments && EndsWith(name, ".appt.meta")) {
            ConvertItemFile(path, "Converting Calendars... from (", &C::ConvertCalendarFile,
                            &MailboxSummary::appointments, own);
            return;
        }
        if (view == items::FolderView::Tasks && EndsWith(name, ".task.meta")) {
            ConvertItemFile(path, "Converting Tasks... from (", &C::ConvertTaskFile, &MailboxSummary::tasks, own);
            return;
        }
    }
    if ((Contains(path, contacts) || Contains(path, emailed)) && EndsWith(name, ".meta") &&
        !EndsWith(name, ".eml.meta"))
        ConvertItemFile(path, "Converting Contacts... from (", &C::ConvertContactFile, &MailboxSummary::contacts);
    if (Contains(path, calendar) && EndsWith(name, ".appt.meta"))
        ConvertItemFile(path, "Converting Calendars... from (", &C::ConvertCalendarFile,
                        &MailboxSummary::appointments);
    if (Contains(path, tasks) && EndsWith(name, ".task.meta"))
        ConvertItemFile(path, "Converting Tasks... from (", &C::ConvertTaskFile, &MailboxSummary::tasks);
    if (Contains(path, notebook) && EndsWith(name, ".wiki.meta"))
        ConvertItemFile(path, "Converting Notes... from (", &C::ConvertNoteFile, &MailboxSummary::notes);
    if (IsMessageName(name)) ImportMessageFile(path, pass);
    // An export cut off between a message's ".eml.meta" and its ".eml" lost the message.
    if (pass == 1 && (EndsWith(name, ".eml.meta") || EndsWith(name, ".chat.meta"))) {
        const std::string message = path.substr(0, path.size() - 5);
        if (!imported_.Contains(message) && !failed_.count(message) && !files::FileExists(message) &&
            InPst(Record(message))) {
            // An earlier run committed the message and was ended before its state file went.
            LogLineSkipped(Shown(path), "its message is already in the PST");
            if (DeleteTicked()) pendingDeletes_.push_back(path);
        } else if (!imported_.Contains(message) && !failed_.count(message) && !files::FileExists(message)) {
            ++summary_.itemsFailed;
            LogBad(path, {});
        }
    }
}

void MigrationEngine::Mailbox::ConvertItemFile(
    const std::string& path, const std::string& status,
    items::ItemOutcome (items::ItemConverters::*convert)(const items::ItemContext&, const std::string&),
    int MailboxSummary::*counter, const std::function<store::Folder*()>& target) {
    items::ItemConverters* converters = e_.services_.converters;
    if (!converters) return;
    const std::string companion = items::ItemCompanionPath(path);
    if (AlreadyInPst(path, companion.empty() ? std::vector<std::string>{} : std::vector<std::string>{companion}))
        return;
    NextPartIfFull(path);
    SetStatus(status + path + ")");
    // A file gone since the listing (an archive's entry past its cut, which the
    // archive's own line reports) is left to the converter, as before.
    if (const std::string problem = SourceProblem(path, items::ItemCompanionPath(path));
        !problem.empty() && problem != std::strerror(ENOENT)) {
        ++summary_.itemsFailed;
        LogBad(path, problem);
        return;
    }
    items::ItemContext ctx;
    ctx.session = session_.get();
    ctx.storeEntryID = storeEntryID_;
    ctx.yield = [this] { view_.Yield(); };
    ctx.setStatus = [this](const std::string& t) { SetStatus(t); };
    ctx.note = [this, &path](const std::string& t) { log_.Note(path, t); };
    ctx.resolveContact = [this](const std::string& id) { return ResolveContact(id); };
    try {
        ctx.folder = target ? target() : nullptr;
    } catch (const std::exception& ex) {
        ++summary_.itemsFailed;
        LogBad(path, ex.what());
        return;
    }
    items::ItemOutcome outcome = items::ItemOutcome::Failed;
    store_->SetItemSource(Record(path));
    try {
        outcome = (converters->*convert)(ctx, path);
    } catch (const std::exception&) {
        outcome = items::ItemOutcome::Failed;
    }
    if (store_) store_->SetItemSource({});
    switch (outcome) {
        case items::ItemOutcome::Saved:
            // An archive's entries are on disk only in their turn: its groups know
            // the contacts met before them.
            if (e_.archive_ && counter == &MailboxSummary::contacts) contacts_.Add(path);
            ++(summary_.*counter);
            if (DeleteTicked()) {
                // The companion (attachments, body, picture) is part of the item.
                if (!companion.empty()) pendingDeletes_.push_back(companion);
                pendingDeletes_.push_back(path);
            }
            Saved(path, counter);
            break;
        case items::ItemOutcome::Failed:
            ++summary_.itemsFailed;
            LogBad(path, {});
            break;
        case items::ItemOutcome::NoSection:
            break;
    }
}

std::optional<std::vector<items::GroupMember>> MigrationEngine::Mailbox::ResolveContact(const std::string& id) {
    if (!contactsRead_ && queue_) {
        contactsRead_ = true;
        // Every contact file of the export on disk: the ".meta" files no folder
        // and no other kind of item has.
        for (const std::string entry : *queue_) {
            const std::string name = LowerAscii(FileNameOf(entry));
            if (EndsWith(name, ".meta") && !IsOtherItemMeta(name) && !exportFolders_.IsFolderMeta(entry) &&
                !tagFiles_.count(entry) && files::FileExists(entry))
                contacts_.Add(entry);
        }
    }
    return contacts_.Resolve(id);
}

uint64_t MigrationEngine::Mailbox::Key(const std::string& shown) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : shown) h = (h ^ c) * 0x100000001b3ULL;
    return h;
}

std::string MigrationEngine::Mailbox::PartnerOf(const std::string& path) {
    if (EndsWith(LowerAscii(path), ".meta")) return items::ItemCompanionPath(path);
    return path + ".meta";
}

std::string MigrationEngine::Mailbox::UnconvertedReason(const std::string& path, bool& failure) const {
    failure = true;
    const std::string name = LowerAscii(FileNameOf(path));
    if (EndsWith(name, ".err"))
        return "the server could not read the stored content of " + FileNameOf(path.substr(0, path.size() - 4)) +
               " in full: it was exported damaged";
    if (auto noted = removedReasons_.find(Key(Shown(path))); noted != removedReasons_.end()) {
        failure = noted->second.second;
        return noted->second.first;
    }
    if (!files::FileExists(path))
        return summary_.sourceError.empty() ? "gone before its turn" : "the archive ends before or inside it";
    if (files::FileSizeOf(path) == 0) return "empty file";
    if (EndsWith(name, ".meta")) {
        const items::MetaFile file = items::ParseMetaFile(items::ReadMetaText(path));
        if (!file.isJson) return "damaged: not a complete .meta file";
        const int type = file.ItemType();
        failure = false;
        if (type == 3) return "a tag outside the export's Tags folder";
        if (file.DescribesFolder()) return "a folder file the folder list does not use";
        failure = true;
        return type < 0 ? "not a Zimbra item: no item type" : "its item could not be read (Zimbra type " + std::to_string(type) + ")";
    }
    failure = false;
    if (files::FileExists(path + ".meta")) return "its item was not converted";
    return "not an item file of the export: no .meta file describes it";
}

void MigrationEngine::Mailbox::NoteBeforeRemoval(const std::string& path) {
    const uint64_t own = Key(Shown(path));
    const std::string partner = PartnerOf(path);
    const uint64_t beside = partner.empty() ? own : Key(Shown(partner));
    if (logged_.count(own) || logged_.count(beside) || converted_.count(own) || converted_.count(beside)) return;
    bool failure = true;
    std::string reason = UnconvertedReason(path, failure);
    removedReasons_[own] = {std::move(reason), failure};
}

void MigrationEngine::Mailbox::AccountForEveryFile(const files::PathList& queue) {
    for (const std::string entry : queue) {
        if (exportFolders_.IsFolderMeta(entry) || tagFiles_.count(entry)) Converted(entry);
    }
    int converted = 0, logged = 0;
    // The ".meta" files first: a companion goes with its item's line.
    for (int round = 0; round < 2; ++round)
    for (const std::string entry : queue) {
        if (EndsWith(LowerAscii(entry), ".meta") != (round == 0)) continue;
        const uint64_t own = Key(Shown(entry));
        const std::string partner = PartnerOf(entry);
        const uint64_t beside = partner.empty() ? own : Key(Shown(partner));
        // A file goes with its item: logged when either of them is.
        if (logged_.count(own) || logged_.count(beside)) {
            ++logged;
            logged_.insert(own);
            continue;
        }
        if (converted_.count(own) || converted_.count(beside)) {
            ++converted;
            continue;
        }
        bool failure = true;
        const std::string reason = UnconvertedReason(entry, failure);
        if (failure) {
            ++summary_.itemsFailed;
            LogBad(entry, reason);
        } else {
            ++summary_.itemsSkipped;
            LogLineSkipped(Shown(entry), reason);
        }
        logged_.insert(own);
        ++logged;
    }
    summary_.filesConverted = converted;
    summary_.filesLogged = logged;
}

store::Folder& MigrationEngine::Mailbox::FolderOfFile(const std::string& path) {
    // The files of a folder come one after another: the last one's folder is kept.
    std::string parent = ParentOf(path);
    if (lastFolder_ && lastFolderStore_ == store_ && parent == lastFolderParent_) return *lastFolder_;
    store::Folder* folder = exportFolders_.ItemFolderAt(DirectoryOf(path));
    // Inside an address book, calendar or task list of its own: the folder made there.
    if (!folder)
        folder = &store_->GetFolderFromPath(MessageTargetPath(
            path, rootPath_, names_, [this](const std::string& d) { return exportFolders_.RealPath(d); }));
    lastFolder_ = folder;
    lastFolderStore_ = store_;
    lastFolderParent_ = std::move(parent);
    return *folder;
}

void MigrationEngine::Mailbox::ConvertDocument(const std::string& path) {
    if (!e_.services_.converters) return;
    // Its bytes are the entry beside it; without them the document is lost
    // (unless an earlier run put it into the PST and was ended before the .meta went).
    const std::string content = items::ItemCompanionPath(path);
    if (AlreadyInPst(path, {content})) return;
    if (!files::FileExists(content)) {
        ++summary_.itemsFailed;
        LogBad(path, "the document's content " + FileNameOf(content) + " is missing");
        return;
    }
    ConvertItemFile(path, "Converting Briefcase... from (", &items::ItemConverters::ConvertDocumentFile,
                    &MailboxSummary::documents, [this, &path]() -> store::Folder* { return &FolderOfFile(path); });
}

void MigrationEngine::Mailbox::ImportMessageFile(const std::string& path, int pass) {
    if (AlreadyInPst(path, {path + ".meta"})) return;
    SetStatus("Converting Messages... from (" + path + ")");
    bool ok = false;
    MessageChecks checks = checksAhead_.Take(path);
    std::string reason = std::move(checks.problem);
    std::vector<std::string> omitted, notes;
    if (reason.empty()) NextPartIfFull(path, checks.size);
    if (reason.empty()) try {
        store::Folder& target = FolderOfFile(path);
        std::unique_ptr<store::Item> item = target.AddItem(store::ItemType::Mail);
        view_.Yield();
        if (!e_.services_.importMessage) throw store::StoreError("no message importer");
        const mime::ImportResult result = e_.services_.importMessage(*item, path);
        if (!result.ok) throw store::StoreError(result.error);
        omitted = result.omitted;
        notes = result.notes;
        items::PutMessageState(*item, checks.state);
        view_.Yield();
        store_->SetItemSource(Record(path));
        item->Save();
        store_->SetItemSource({});
        ok = true;
    } catch (const std::exception& ex) {
        ok = false;
        reason = ex.what();
        if (store_) store_->SetItemSource({});
    }
    if (ok) {
        imported_.Add(path);
        failed_.erase(path);
        for (const auto& n : notes) log_.Note(path, n);
        int MailboxSummary::*counter =
            IsChatName(LowerAscii(FileNameOf(path))) ? &MailboxSummary::chats : &MailboxSummary::messagesImported;
        ++(summary_.*counter);
        std::string without;
        for (const auto& o : omitted) without += (without.empty() ? "" : "; ") + o;
        if (!without.empty()) {
            // In the PST, but not whole: said in the log, and its source stays.
            ++summary_.messagesIncomplete;
            partial_.insert(path);
            LogBad(path, "imported without " + without);
        } else if (DeleteTicked()) {
            view_.Yield();
            pendingDeletes_.push_back(path + ".meta");
            pendingDeletes_.push_back(path);
        }
        Saved(path, counter);
    } else {
        // Logged once: in Pass I, or in Pass II for a message Pass I never reached.
        const bool firstFailure = failed_.insert(path).second;
        if (pass == 1 || firstFailure) {
            view_.Yield();
            LogBad(path, reason);
        }
    }
    view_.SetButtonEnabled(Button::CmdStartConversion, false);
}

bool MigrationEngine::Mailbox::AlreadyInPst(const std::string& path, const std::vector<std::string>& companions) {
    if (!store_ || !InPst(Record(path))) return false;
    ++summary_.alreadyInPst;
    LogLineSkipped(Shown(path), "already in the PST");
    imported_.Add(path);
    if (DeleteTicked()) {
        for (const auto& c : companions) pendingDeletes_.push_back(c);
        pendingDeletes_.push_back(path);
    }
    return true;
}

void MigrationEngine::Mailbox::Saved(const std::string& path, int MailboxSummary::*counter) {
    Converted(path);
    ++savesSinceCommit_;
    ++savesInPart_;
    uncommitted_.emplace_back(path, counter);
}

void MigrationEngine::Mailbox::NextPartIfFull(const std::string& source, std::optional<uint64_t> sourceBytes) {
    const uint64_t limit = e_.options_.maxPstBytes;
    // A part holds at least one item, however large: no endless empty parts.
    if (limit == 0 || !splitting_ || !store_ || savesInPart_ == 0) return;
    const uint64_t used = store_->FileBytes();
    if (used == 0) return;
    // The item takes at most about its source's size (base64 shrinks); the
    // indexes a commit writes take about 1/64 of the file.
    const uint64_t item = sourceBytes ? *sourceBytes : files::FileSizeOf(source);
    const uint64_t indexes = used / 64 + (64u << 10);
    if (used + item + indexes <= limit) return;
    StartNextPart();
}

bool MigrationEngine::Mailbox::StartNextPart() {
    const int part = part_ + 1;
    const std::string path = PstPartPath(pstPath_, part);
    std::unique_ptr<store::Session> session;
    StoreNames names = names_;
    std::string entryId;
    store::Store* store = nullptr;
    try {
        // The full part stays open until the next one exists: nothing is lost
        // when it cannot be made.
        session = e_.services_.createSession();
        if (!session) throw store::StoreError("no store component is available");
        names.displayName = PstPartDisplayName(firstDisplayName_, part);
        store::Store& logged = session->LogonPstStore(path, 1, names.displayName);
        entryId = logged.EntryID();
        logged.ValidateIPMTree();
        store = &session->GetStoreFromID(entryId);
        names.inboxName = store->GetDefaultFolder(store::olFolderInbox).Name();
        names.sentName = store->GetDefaultFolder(store::olFolderSentMail).Name();
        std::vector<std::string> folders = folderListSource_;
        CreateOutlookFolders(*store, names, folders, [this](const std::string& t) { SetStatus(t); },
                             [this] { view_.Yield(); });
        exportFolders_.CreateKindFolders(*store);  // the next part's own address books and calendars
        if (!tags_.empty()) items::SaveCategoryList(*store, tags_);
    } catch (const std::exception& ex) {
        splitting_ = false;
        if (summary_.storeError.empty())
            summary_.storeError = "the next PST " + path + " could not be created (" + ex.what() + "); the items went on into " +
                                  summary_.pstParts.back();
        if (session) {
            try {
                session->Logoff();
            } catch (const std::exception&) {
            }
        }
        return false;
    }
    // The full part is committed and closed; the sources of its items may go.
    try {
        session_->Logoff();
        uncommitted_.clear();
        RunDeletions();
    } catch (const std::exception& ex) {
        if (summary_.storeError.empty()) summary_.storeError = ex.what();
        LoseUncommitted(ex.what());
    }
    pendingDeletes_.clear();
    session_ = std::move(session);
    store_ = store;
    lastFolder_ = nullptr;
    storeEntryID_ = entryId;
    names_ = names;
    folderList_ = folderListSource_;
    part_ = part;
    savesInPart_ = 0;
    savesSinceCommit_ = 0;
    lastCommit_ = std::chrono::steady_clock::now();
    summary_.pstParts.push_back(path);
    if (log_.Started()) log_.Part(part, path);
    SetStatus("Continuing in " + path);
    return true;
}

void MigrationEngine::Mailbox::LoseUncommitted(const std::string& why) {
    for (const auto& [path, counter] : uncommitted_) {
        --(summary_.*counter);
        if (counter == &MailboxSummary::messagesImported || counter == &MailboxSummary::chats) {
            imported_.Remove(path);
            failed_.insert(path);
        } else {
            ++summary_.itemsFailed;
        }
        // Pass II may save a lost message again, and lose it again: one line.
        if (lostLogged_.insert(path).second) LogBad(path, "not in the PST, its commit failed: " + why);
    }
    uncommitted_.clear();
}

void MigrationEngine::Mailbox::LogBad(const std::string& path, const std::string& reason) {
    if (LogLineBad(Shown(path), reason)) ++summary_.badLines;
}

std::string MigrationEngine::Mailbox::SourceProblem(const std::string& path, const std::string& companion) const {
    std::string problem = files::SourceFileProblem(path);
    if (!problem.empty() || companion.empty()) return problem;
    // Readers refuse a link beside the item too; say so rather than convert the
    // item without what the link stands for.
    const std::uint32_t a = files::GetFileAttr(companion);
    if (a != files::kInvalidFileAttributes && (a & files::kFileAttributeReparsePoint))
        return "symbolic link beside it: " + companion;
    return {};
}

void MigrationEngine::Mailbox::Conclude() {
    summary_.messagesFailed = static_cast<int>(failed_.size());
    summary_.logError = log_.Error();
    summary_.unlogged = log_.Unwritten();
    view_.OnMailboxFinished(summary_);
}

bool MigrationEngine::Mailbox::CommitDue() const {
    if (savesSinceCommit_ == 0) return false;
    int count = e_.options_.commitEveryItems;
    // Growing: the PST at least doubles from one commit to the next.
    if (e_.options_.commitCountGrows)
        count = std::max(count, std::min(e_.options_.commitEveryItemsMost, Saves() - savesSinceCommit_));
    return savesSinceCommit_ >= count || std::chrono::steady_clock::now() - lastCommit_ >= e_.options_.commitEvery;
}

bool MigrationEngine::Mailbox::Commit() {
    if (!store_) return false;
    try {
        store_->Commit();
    } catch (const std::exception& ex) {
        // Nothing is deleted: the sources stay until a commit succeeds.
        if (summary_.storeError.empty()) summary_.storeError = ex.what();
        pendingDeletes_.clear();
        LoseUncommitted(ex.what());
        return false;
    }
    uncommitted_.clear();
    savesSinceCommit_ = 0;
    lastCommit_ = std::chrono::steady_clock::now();
    RunDeletions();
    return true;
}

void MigrationEngine::Mailbox::RunDeletions() {
    for (const auto& path : pendingDeletes_) {
        if (files::FileExists(path) && files::RemoveFile(path) == 0) {
            ++summary_.sourcesDeleted;
            emptiedFolders_.insert(ParentOf(path));
        }
    }
    pendingDeletes_.clear();
}

void MigrationEngine::Mailbox::Finish() {
    if (loggedOff_ || !session_) return;
    loggedOff_ = true;
    bool committed = false;
    try {
        session_->Logoff();  // commits and closes
        committed = true;
    } catch (const std::exception& ex) {
        if (summary_.storeError.empty()) summary_.storeError = ex.what();
        LoseUncommitted(ex.what());
    }
    if (committed) RunDeletions();
    uncommitted_.clear();
    pendingDeletes_.clear();
    store_ = nullptr;
    lastFolder_ = nullptr;
    session_.reset();
}

void MigrationEngine::Mailbox::RemoveEmptyFolders() {
    // The folders of the files Pass II met and of the deleted sources, and the
    // folders above them up to the mailbox folder (never that one itself).
    std::string mailboxRoot = folder_;
    if (mailboxRoot.empty() || mailboxRoot.back() != NativeSeparator()) mailboxRoot += NativeSeparator();
    std::set<std::string> candidates;
    for (const auto* set : {&passTwoFolders_, &emptiedFolders_})
        for (std::string f : *set)
            while (f.size() > mailboxRoot.size() && StartsWith(f, mailboxRoot) && candidates.insert(f).second)
                f = ParentOf(f.substr(0, f.size() - 1));
    // Deepest first, so a folder emptied of its sub-folders can go too.
    std::vector<std::string> folders(candidates.begin(), candidates.end());
    std::sort(folders.begin(), folders.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const auto& f : folders) {
        files::FindEntry entry;
        bool hasFile = false;
        if (files::FindFirstEntry(f + "*.*", entry) != -1) {
            do {
                if (entry.name != "." && entry.name != ".." && !(entry.attributes & files::kFileAttributeDirectory))
                    hasFile = true;
            } while (!hasFile && files::FindNextEntry(entry));
            files::CloseFind(entry);
        }
        if (!hasFile) files::RemoveEmptyFolder(f);
    }
}

// ---------------------------------------------------------------------------

bool RunSummary::AllConverted() const {
    for (const auto& m : mailboxes) {
        if (m.notStarted || m.cancelled || m.storeFailed || m.skipped || m.stopped || m.closed) return false;
        if (m.messagesFailed > 0 || m.itemsFailed > 0 || m.badLines > 0 || !m.storeError.empty() ||
            !m.sourceError.empty())
            return false;
        if (!m.unreadableFolders.empty() || !m.logError.empty() || !m.logRefused.empty()) return false;
    }
    return !stopped;
}

MigrationEngine::MigrationEngine(MigrationView& view, EngineServices services, EngineOptions options)
    : view_(view), services_(std::move(services)), options_(options) {}

MigrationEngine::~MigrationEngine() = default;

void MigrationEngine::Form_Load() {
    files::MailboxFileQueue().Clear();
    skipRequested_ = false;
    stopRequested_ = false;
    view_.SetProgress(0);
    view_.SetLabel(Label::lblProgress, "0% Complete");
    view_.SetLabel(Label::lblCount1, "Migration Not Started Yet...");
    view_.SetLabel(Label::LblCurrentDBX, "Migrating Messages...");
    view_.SetLabel(Label::FrameConversion, " Details ");
    view_.SetButtonEnabled(Button::CmdSkip, false);
    view_.SetButtonVisible(Button::CmdStopMigration, false);
}

void MigrationEngine::CmdSkip_Click() { skipRequested_ = true; }

// A Stop pressed between mailboxes: asked as during one; Yes closes the window.
bool MigrationEngine::AskStop() {
    if (!view_.AskYesNo("Confirm Stop", std::string("This action will STOP complete migration process.") + kCrLf +
                                            "Do you really want to \"STOP\" on-going migration ?"))
        return false;
    view_.SetLabel(Label::lblCount1, "Stopped...");
    view_.Unload();
    return true;
}

// A Stop pressed while a Skip waits for its check ends the run at once; any
// other Stop (also one right after a Yes to Skip, or while the next mailbox is
// listed) is asked about ("Confirm Stop") at the next check.
void MigrationEngine::CmdStopMigration_Click() {
    if (skipRequested_) view_.Unload();
    stopRequested_ = true;
}

void MigrationEngine::Form_QueryUnload() { view_.Unload(); }

bool MigrationEngine::FillQueueFromArchive(const std::vector<std::string>& archivePaths) {
    auto archive = std::make_unique<ArchiveMailbox>();
    if (!archive->Open(archivePaths, archiveError_)) return false;
    files::QueueCounter counter = 1;
    for (const auto& path : archive->TakeOpening()) files::MailboxFileQueue().Add("K" + std::to_string(counter++), path);
    // The rest is queued as the archive is read: the entries known so far.
    fileCount_ = static_cast<int>(archive->Accepted());
    archive_ = std::move(archive);
    return true;
}

void MigrationEngine::FillQueue(std::string& folderVariable, std::vector<std::string> parts) {
    files::MailboxFileQueue().Clear();
    archive_.reset();
    archiveError_.clear();
    if (parts.empty() && files::FolderExists(folderVariable)) parts = files::ArchivePartsIn(folderVariable);
    if (parts.empty() && files::IsArchivePath(folderVariable) && files::FileExists(folderVariable))
        parts = {folderVariable};
    if (!parts.empty()) {
        view_.Yield();
        if (!FillQueueFromArchive(parts)) fileCount_ = 0;
        view_.Yield();
        return;
    }
    files::QueueCounter counter = 1;
    view_.Yield();
    ViewQueueStatus status(view_);
    files::QueueMailboxFilesLong(folderVariable, "*.*", counter, &status);
    fileCount_ = counter - 1;
    view_.Yield();
}

MailboxSummary MigrationEngine::StartMigration(const std::string& mailboxName, const std::string& mailboxFolder) {
    Mailbox mailbox(*this, mailboxName, mailboxFolder);
    MailboxSummary summary = mailbox.Run();
    // The archive's temporary folder goes with the mailbox.
    archive_.reset();
    return summary;
}

RunSummary MigrationEngine::CmdStartConversion_Click() {
    RunSummary run;
    const MigrationSettings settings = view_.ReadSettings();
    run.singleMode = settings.IsSingleMode;
    // Requests belong to one run; from here on a Stop is kept until it is asked about.
    stopRequested_ = false;
    skipRequested_ = false;

    if (settings.IsSingleMode) {
        if (!stopRequested_) {
            view_.Yield();
            view_.SetButtonEnabled(Button::CmdStartConversion, false);
            view_.SetButtonEnabled(Button::CmdSkip, false);
            std::string folderVariable = settings.SourceMailboxFolder;
            FillQueue(folderVariable, settings.SourceArchives);
            countFolder_ = folderVariable;
            view_.SetLabel(Label::lblCount1, CountLabel(fileCount_));
            const size_t lastSep = settings.SourceMailboxFolder.rfind(NativeSeparator());
            std::string name = lastSep == std::string::npos ? settings.SourceMailboxFolder
                                                            : settings.SourceMailboxFolder.substr(lastSep + 1);
            if (archive_ && files::FileExists(settings.SourceMailboxFolder)) name = files::ArchiveBaseName(name);
            if (fileCount_ >= 1) {
                skipRequested_ = false;
                view_.SetLabel(Label::WindowTitle, "Migration Status");
                run.mailboxes.push_back(StartMigration(name, settings.SourceMailboxFolder));
                view_.Yield();
            } else {
                MailboxSummary empty;
                empty.name = name;
                empty.folder = settings.SourceMailboxFolder;
                empty.empty = true;
                empty.sourceError = archiveError_;
                for (const auto& u : files::MailboxFileQueue().Unlisted())
                    empty.unreadableFolders.push_back(u.folder + " (" + u.reason + ")");
                run.mailboxes.push_back(empty);
            }
        }
    } else {
        const size_t n = settings.MailboxRows.size();
        for (size_t i = 1; i <= n; ++i) {
            view_.Yield();
            // The rows are read again while the run works.
            const MigrationSettings now = view_.ReadSettings();
            if (i > now.MailboxRows.size()) break;
            const MailboxRow row = now.MailboxRows[i - 1];
            if (!row.selected) continue;
            if (stopRequested_ && !view_.IsUnloaded() && !AskStop()) stopRequested_ = false;
            if (stopRequested_ || view_.IsUnloaded()) {
                MailboxSummary notStarted;
                notStarted.name = row.name;
                notStarted.folder = row.folder;
                notStarted.notStarted = true;
                run.mailboxes.push_back(notStarted);
                continue;  // the remaining selected rows are reported as not converted
            }
            view_.SetButtonEnabled(Button::CmdStartConversion, false);
            view_.SetButtonEnabled(Button::CmdSkip, false);
            view_.MarkRow(static_cast<int>(i - 1), 0x008000, true);
            std::string folderVariable = row.folder;
            FillQueue(folderVariable, row.archives);
            const MigrationSettings again = view_.ReadSettings();
            const std::string shownFolder = i <= again.MailboxRows.size() ? again.MailboxRows[i - 1].folder : row.folder;
            countFolder_ = shownFolder;
            view_.SetLabel(Label::lblCount1, CountLabel(fileCount_));
            if (fileCount_ >= 1) {
                skipRequested_ = false;
                view_.SetLabel(Label::WindowTitle,
                               "Migrating " + std::to_string(i) + " of " + std::to_string(n) + " Mailboxes");
                run.mailboxes.push_back(StartMigration(row.name, row.folder));
            } else {
                MailboxSummary empty;
                empty.name = row.name;
                empty.folder = row.folder;
                empty.empty = true;
                empty.sourceError = archiveError_;
                for (const auto& u : files::MailboxFileQueue().Unlisted())
                    empty.unreadableFolders.push_back(u.folder + " (" + u.reason + ")");
                run.mailboxes.push_back(empty);
            }
        }
    }

    // A Stop that no check asked about (the last mailbox had ended) stops nothing.
    if (stopRequested_ && !view_.IsUnloaded()) stopRequested_ = false;
    run.stopped = stopRequested_;
    CompletionText(run, run.completionTitle, run.completionText);
    view_.ShowMessage(run.completionTitle, run.completionText, MessageIcon::Information);
    if (stopRequested_) view_.Unload();
    view_.SetButtonEnabled(Button::CmdSkip, false);
    view_.SetButtonEnabled(Button::CmdStopMigration, false);
    view_.SetButtonVisible(Button::CmdStopMigration, false);
    return run;
}

void MigrationEngine::CompletionText(const RunSummary& run, std::string& title, std::string& text) {
    title = "Orvandel";
    std::vector<std::string> problems;
    for (const auto& m : run.mailboxes) {
        const std::string who = m.name.empty() ? m.folder : m.name;
        const std::string progress =
            std::to_string(m.filesDone) + " of " + std::to_string(m.files) + " file(s)";
        if (m.notStarted) problems.push_back(who + ": not converted, the migration was stopped before it.");
        if (m.empty && m.unreadableFolders.empty())
            problems.push_back(who + ": no files found in " + m.folder + "; nothing was converted.");
        if (!m.unreadableFolders.empty()) {
            std::string line = who + ": " + Plural(static_cast<int>(m.unreadableFolders.size()), "folder", "folders") +
                               " could not be read, their files were not converted:";
            for (const auto& f : m.unreadableFolders) line += " " + LogText(f) + ";";
            problems.push_back(line);
        }
        if (m.cancelled) problems.push_back(who + ": no PST file was chosen; nothing was converted.");
        if (m.storeFailed)
            problems.push_back(who + ": the PST file " + m.pstPath +
                               (m.storeExisted ? " exists and could not be added to (" : " could not be created (") +
                               m.storeError + ").");
        if (m.stopped)
            problems.push_back(who + ": stopped after " + progress + "; " + m.pstPath +
                               " holds every item saved until then.");
        if (m.closed)
            problems.push_back(who + ": the window was closed after " + progress + "; " + m.pstPath +
                               " holds every item saved until then.");
        if (m.skipped) problems.push_back(who + ": skipped after " + progress + ".");
        if (!m.sourceError.empty()) problems.push_back(who + ": " + m.sourceError + ".");
        if (!m.storeFailed && !m.storeError.empty())
            problems.push_back(who + ": the PST file " + m.pstPath + " could not be written completely (" +
                               m.storeError + "); the source files of unsaved items were kept.");
        if (m.messagesIncomplete > 0)
            problems.push_back(who + ": " + Plural(m.messagesIncomplete, "message was", "messages were") +
                               " imported with parts left out (recipients past the limits); their source files stay and "
                               "the log says what is missing.");
        if (m.messagesFailed > 0 || m.itemsFailed > 0) {
            std::string line = who + ": ";
            if (m.messagesFailed > 0) line += Plural(m.messagesFailed, "message", "messages") + " could not be imported";
            if (m.messagesFailed > 0 && m.itemsFailed > 0) line += " and ";
            if (m.itemsFailed > 0) line += Plural(m.itemsFailed, "other item", "other items") + " could not be converted";
            if (!m.logPath.empty())
                line += "; the files are listed in " + m.logPath + " (lines starting with \"BAD : \").";
            else
                line += "; the log file could not be written.";
            problems.push_back(line);
        }
        if (!m.logRefused.empty())
            problems.push_back(who + ": the log " + m.logRefused + " was not written through; this run's log is " +
                               m.logPath + ".");
        if (!m.logError.empty()) {
            std::string line = who + ": the log " + LogText(LogPathFor(m.pstPath)) + " could not be written (" + m.logError + ")";
            if (!m.unlogged.empty()) {
                line += "; the lines it lacks:";
                for (const auto& l : m.unlogged) line += kCrLf + std::string("  ") + l;
            } else {
                line += ".";
            }
            problems.push_back(line);
        }
    }
    // A split is no problem, but the user has to know where the rest went;
    // likewise what an earlier run had put into the PST already.
    std::vector<std::string> splits;
    for (const auto& m : run.mailboxes) {
        if (m.alreadyInPst > 0)
            splits.push_back((m.name.empty() ? m.folder : m.name) + ": " +
                             Plural(m.alreadyInPst, "item was", "items were") +
                             " already in the PST from an earlier run and not added again.");
        if (m.pstParts.size() < 2) continue;
        std::string line = (m.name.empty() ? m.folder : m.name) + ": split into " + std::to_string(m.pstParts.size()) +
                           " PST files to stay under the size limit:";
        for (const auto& p : m.pstParts) line += " " + p + ";";
        line.back() = '.';
        splits.push_back(line);
    }
    if (problems.empty()) {
        text = run.singleMode ? std::string("Zimbra Mailbox Converted Successfully.") + kCrLf +
                                    "Open Converted PST file in Outlook to View Converted Mailbox."
                              : std::string("All Zimbra Mailboxes Converted Successfully.") + kCrLf +
                                    "Open Converted PST file(s) in Outlook to View Individual Mailboxes.";
        for (const auto& p : splits) text += kCrLf + p;
        return;
    }
    text = run.singleMode ? "Zimbra Mailbox Not Fully Converted." : "Not All Zimbra Mailboxes Were Fully Converted.";
    for (const auto& p : problems) text += kCrLf + p;
    for (const auto& p : splits) text += kCrLf + p;
}

std::string MigrationEngine::StoreErrorText(const std::string& pstPath, const std::string& reason,
                                            bool existedBefore) {
    std::string text = "Outlook Session Creation Error !";
    text += kCrLf + std::string(existedBefore ? "The existing PST file could not be added to: "
                                              : "The PST file could not be created: ") +
            pstPath;
    // The system's view of the place, when it explains the failure.
    const std::string parent = ParentOf(pstPath);
    const std::string folder = parent.empty() ? std::string(".") : parent;
    std::string cause;
    if (existedBefore)
        cause = "The file is left as it was; choose another name or folder.";
    else if (!files::FolderExists(folder))
        cause = "The folder " + folder + " does not exist.";
    else if (::access(folder.c_str(), W_OK) != 0)
        cause = "No permission to write in the folder " + folder + ".";
    else {
        struct statvfs fs {};
        if (::statvfs(folder.c_str(), &fs) == 0 &&
            static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize < 1024ull * 1024ull)
            cause = "The disk holding " + folder + " is full.";
    }
    text += kCrLf + std::string("Reason: ") + reason;
    if (!cause.empty()) text += kCrLf + cause;
    return text;
}

}  // namespace engine
