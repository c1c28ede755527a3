#pragma once
// The migration run: the loop over the mailboxes of MigrationSettings and the
// pipeline of one mailbox (PST, log, folder tree, Pass I, Pass II, log-off).
//
// The engine knows no window toolkit: it drives a MigrationView, and takes its
// collaborators (store sessions, item converters, message importer, clock) by
// injection. The window's event handlers call the *_Click methods below; they
// only set flags, which the pipeline reads after each file.
//
// Sources are never deleted before the item made from them is committed to the
// PST: deletions wait in a list that runs right after each commit.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/FolderTree.h"
#include "engine/MigrationLog.h"
#include "engine/MigrationView.h"
#include "engine/PstParts.h"
#include "items/ItemConverters.h"
#include "mime/MimeImport.h"
#include "store/PstStoreSession.h"

namespace engine {

class ArchiveMailbox;

using SessionFactory = std::function<std::unique_ptr<store::Session>()>;
using MessageImporter = std::function<mime::ImportResult(store::Item&, const std::string&)>;

struct EngineServices {
    SessionFactory createSession;                // a new store session per mailbox
    items::ItemConverters* converters = nullptr;  // null: item files are left as they are
    MessageImporter importMessage;               // fills a new message from an RFC 822 file
    // Optional: told which message file comes next, so the importer can parse it
    // while the current one is written (mime::ParseAhead), and given what to do
    // there just before the file is read (the checks of its source).
    std::function<void(const std::string&, std::function<void()>)> parseAhead;
    std::function<std::string()> timeStamp;      // "d.m.YY H.m.ss"; the local clock when empty
};

struct EngineOptions {
    // A commit is made after this many saved items or this much time, whichever
    // comes first, and at the end of Pass I.
    int commitEveryItems = 2000;
    // Lets the item count between commits grow to the items the last commit left
    // in the PST (the PST at least doubles from one commit to the next), up to
    // commitEveryItemsMost: what waits for a commit (the saved items' source
    // digests, the sources to delete) stays bounded, and as contents tables take
    // new rows where they end a commit costs what changed, not its folders' size.
    bool commitCountGrows = true;
    int commitEveryItemsMost = 20000;
    std::chrono::milliseconds commitEvery{30000};
    // Puts the export's Drafts, Trash and Junk (items and subfolders) into the
    // store's Drafts, Deleted Items and Junk E-mail instead of folders beside them.
    bool mapDefaultFolders = false;
    // A mailbox goes on in "NAME (2).pst", "NAME (3).pst", ... rather than let a
    // PST pass this size (checked before each item, with the item's source size);
    // 0: never split.
    uint64_t maxPstBytes = kDefaultMaxPstBytes;
};

struct RunSummary {
    bool singleMode = true;
    std::vector<MailboxSummary> mailboxes;
    bool stopped = false;
    std::string completionTitle;
    std::string completionText;
    // True when every mailbox ran to its end with every item saved.
    bool AllConverted() const;
};

class MigrationEngine {
public:
    MigrationEngine(MigrationView& view, EngineServices services, EngineOptions options = {});
    ~MigrationEngine();
    MigrationEngine(const MigrationEngine&) = delete;
    MigrationEngine& operator=(const MigrationEngine&) = delete;

    // Window events.
    void Form_Load();
    RunSummary CmdStartConversion_Click();
    void CmdSkip_Click();
    void CmdStopMigration_Click();
    // The close box: the window unloads; the run ends at its next check with the
    // PST committed.
    void Form_QueryUnload();

    // One mailbox over the files already in MailboxFileQueue (FileCount set).
    MailboxSummary StartMigration(const std::string& mailboxName, const std::string& mailboxFolder);

    bool SkipRequested() const { return skipRequested_; }
    bool StopRequested() const { return stopRequested_; }

    // The completion box's title and text for a run.
    static void CompletionText(const RunSummary& run, std::string& title, std::string& text);
    // The "Outlook Error" box's text for a store that could not be opened;
    // `existedBefore`: a file was at the path before the logon.
    static std::string StoreErrorText(const std::string& pstPath, const std::string& reason, bool existedBefore);

private:
    class Mailbox;
    friend class Mailbox;
    // `parts`: the archives of a mailbox exported in parts, when given one by one.
    void FillQueue(std::string& folderVariable, std::vector<std::string> parts = {});
    // Export archives given where a mailbox folder goes (one, or the parts of one
    // mailbox): their entries fill the queue.
    bool FillQueueFromArchive(const std::vector<std::string>& archivePaths);
    bool AskStop();

    MigrationView& view_;
    EngineServices services_;
    EngineOptions options_;
    bool skipRequested_ = false;
    bool stopRequested_ = false;
    int fileCount_ = 0;
    std::string CountLabel(int count) const { return "Migrating " + std::to_string(count) + " items from " + countFolder_; }
    std::unique_ptr<ArchiveMailbox> archive_;  // the mailbox being converted, when it is an archive
    std::string archiveError_;                 // why the archive could not be read
    std::string countFolder_;                  // the folder "Migrating N items from" names
};

}  // namespace engine
