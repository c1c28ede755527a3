#pragma once
// What the migration engine does to its window goes through this interface.
// The Qt migration window, the command line and the tests each implement it.
#include <optional>
#include <string>
#include <vector>

namespace engine {

struct MailboxRow {
    bool selected = false;
    std::string name;    // the row's text
    std::string folder;  // the row's first sub-item
};

// The wizard's choices that a run reads.
struct MigrationSettings {
    bool IsSingleMode = true;
    std::string SourceMailboxFolder;
    std::vector<MailboxRow> MailboxRows;
    std::string OutputFolder;
};

enum class Label { lblCount1, lblProgress, LblCurrentDBX, FrameConversion, WindowTitle };
enum class Button { CmdStartConversion, CmdSkip, CmdStopMigration };
enum class MessageIcon { Information, Warning, Error };

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
};

}  // namespace engine
