#pragma once
// What the migration engine does to its window goes through this interface.
// The Qt migration window, the command line and the tests each implement it.
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace engine {

struct MailboxRow {
    MailboxRow() = default;
    MailboxRow(bool selected_, std::string name_, std::string folder_, std::vector<std::string> archives_ = {})
        : selected(selected_), name(std::move(name_)), folder(std::move(folder_)), archives(std::move(archives_)) {}
    bool selected = false;
    std::string name;    // the row's text
    std::string folder;  // the row's first sub-item
    // A mailbox exported in parts given as archives one by one: all of them, in
    // order (`folder` is the first). Empty otherwise.
    std::vector<std::string> archives;
};

// The wizard's choices that a run reads.
struct MigrationSettings {
    bool IsSingleMode = true;
    std::string SourceMailboxFolder;
    std::vector<std::string> SourceArchives;  // as MailboxRow::archives
    std::vector<MailboxRow> MailboxRows;
    std::string OutputFolder;
    // The Windows locale (LCID) stamped on every item; 0: Outlook's default, en-US.
    int LocaleId = 0;
};

enum class Label { lblCount1, lblProgress, LblCurrentDBX, FrameConversion, WindowTitle };
enum class Button { CmdStartConversion, CmdSkip, CmdStopMigration };
enum class MessageIcon { Information, Warning, Error };

// What became of one mailbox of a run (filled by the engine).
struct MailboxSummary {
    std::string name;    // MailboxName
    std::string folder;  // the mailbox folder
    std::string pstPath;
    // Every PST of the mailbox when it was split by size: pstPath, then
    // "NAME (2).pst", ... Empty or just pstPath when it was not.
    std::vector<std::string> pstParts;
    std::string logPath;  // empty when no log was written
    bool notStarted = false;  // the run was stopped before this selected mailbox
    bool empty = false;       // no files found below the folder
    bool cancelled = false;   // the save dialog was cancelled
    bool storeFailed = false;  // the PST could not be created or opened
    bool storeExisted = false; // a file was at the PST's path before the run
    bool skipped = false;
    bool stopped = false;
    bool closed = false;       // the window was closed during the mailbox
    std::string storeError;    // why the store failed (open or a later write)
    std::string sourceError;   // the source could not be read to its end (a cut-off archive)
    int files = 0;             // files queued for Pass I
    int filesDone = 0;         // Pass I files handled before the end, skip or stop
    int messagesImported = 0;
    int messagesFailed = 0;  // messages not in the PST at the end
    int messagesIncomplete = 0;  // imported, but with parts left out (logged; the source stays)
    int badLines = 0;        // "BAD : " lines written to the log
    int contacts = 0, appointments = 0, tasks = 0, notes = 0;
    int documents = 0;       // Briefcase documents (each revision one) saved as posts
    int chats = 0;           // chats imported as messages (a failed one counts in messagesFailed)
    // After a Pass I that ran to its end: the listed files that went into the PST
    // (with the item they belong to) and those named in the log (likewise);
    // together they are `files`.
    int filesConverted = 0, filesLogged = 0;
    int itemsFailed = 0;     // contacts, appointments, tasks, notes that failed
    int itemsSkipped = 0;    // search folders and shared-folder links: logged, nothing to convert
    int foldersCreated = 0;  // folders made in the store (with or without items)
    int sourcesDeleted = 0;  // source files removed after their item was committed
    int alreadyInPst = 0;    // sources an earlier run put into the PST: logged, not added again
    // Folders below the mailbox that could not be listed: their files were not
    // converted. "folder (reason)" each.
    std::vector<std::string> unreadableFolders;
    std::string logError;               // why log lines were lost, empty when none were
    std::string logRefused;             // "PATH (why)": the log's own name, refused; logPath is this run's log
    std::vector<std::string> unlogged;  // the "BAD : " lines that did not reach the log
};

// Progress of one file of a pass (1 = Pass I, 2 = Pass II).
struct FileProgress {
    std::string mailbox;
    int pass = 1;
    int index = 0;  // 1-based, the file just handled
    int count = 0;
    int itemsSaved = 0;  // messages and other items saved so far in this mailbox
};

class MigrationView {
public:
    virtual ~MigrationView() = default;

    // Settings as they stand now (the list rows are read again while a run works).
    virtual MigrationSettings ReadSettings() = 0;

    virtual void SetLabel(Label label, const std::string& text) = 0;
    virtual void SetProgressRange(int min, int max) = 0;
    virtual void SetProgress(float value) = 0;
    virtual void SetButtonEnabled(Button button, bool enabled) = 0;
    virtual void SetButtonVisible(Button button, bool visible) = 0;
    // ChkDelete, read live.
    virtual bool DeleteSourceChecked() = 0;

    // Yes/No question; true for Yes.
    virtual bool AskYesNo(const std::string& title, const std::string& text) = 0;
    virtual void ShowMessage(const std::string& title, const std::string& text, MessageIcon icon) = 0;
    // The save dialog: the chosen path, or nothing when cancelled.
    virtual std::optional<std::string> AskSavePath(const std::string& filter, const std::string& proposedName) = 0;

    // Multiple mode: the row being converted (0-based) drawn in `rgb` and bold.
    virtual void MarkRow(int row, unsigned rgb, bool bold) = 0;

    // Unloads the window; the run ends at its next check.
    virtual void Unload() = 0;
    virtual bool IsUnloaded() const = 0;

    // Lets the window process pending events (repaint, Skip, Stop, ChkDelete, close).
    virtual void Yield() = 0;

    // Optional notifications for views that show more than the window's controls
    // (the command line's progress bar and summary). The window ignores them.
    // `files`: 0 when the count is known only at the end (an archive, read as it is converted).
    virtual void OnMailboxStarted(const std::string& /*name*/, const std::string& /*pstPath*/, int /*files*/) {}
    virtual void OnFileProgress(const FileProgress& /*progress*/) {}
    virtual void OnMailboxFinished(const MailboxSummary& /*summary*/) {}
};

}  // namespace engine
