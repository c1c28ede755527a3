#pragma once
// The migration window: the view of the migration engine. The engine writes its
// labels and progress through engine::MigrationView and asks its questions
// here; the Start, Skip and Stop buttons and the close box drive the engine.
#include <QColor>
#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "engine/MigrationView.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace wizard {

class Band;
class HelpLink;

// The engine side of the window: one run controller per window.
class MigrationDriver {
public:
    virtual ~MigrationDriver() = default;
    // Sets the engine's state and the window's controls for a fresh window.
    virtual void Form_Load() = 0;
    virtual void CmdStartConversion_Click() = 0;
    virtual void CmdSkip_Click() = 0;
    virtual void CmdStopMigration_Click() = 0;
    // The window's close box: the run ends at its next check.
    virtual void WindowClosed() = 0;
};

// Makes the real engine's controller for a view (defined where the engine is linked).
using DriverFactory = std::function<std::unique_ptr<MigrationDriver>(engine::MigrationView& view)>;
// The factory in force: the real engine unless a test replaced it. Null when
// this build has no engine.
DriverFactory& MigrationDriverFactory();
// The real engine's factory (null when this build has no engine).
DriverFactory EngineDriverFactory();

class frmMigateAll : public QDialog, public engine::MigrationView {
    Q_OBJECT
public:
    using SettingsSource = std::function<engine::MigrationSettings()>;
    using RowMarker = std::function<void(int row, unsigned rgb, bool bold)>;

    frmMigateAll(QWidget* owner, SettingsSource settings, RowMarker marker = {});
    ~frmMigateAll() override;

    // Shows the window modal and centred on its owner.
    void ShowModal();
    // True once the window has been unloaded and no run is in progress: the
    // owner then makes a fresh window for the next visit.
    bool IsFinished() const { return unloaded_ && !running_; }
    bool IsRunning() const { return running_; }

    void Form_Load();
    void CmdStartConversion_Click();
    void CmdSkip_Click();
    void CmdStopMigration_Click();
    void lblDeleteHelp_Click();
    // The close box: the window is unloaded (never refused); a run ends at its next check.
    void Form_QueryUnload();

    // engine::MigrationView
    engine::MigrationSettings ReadSettings() override;
    void SetLabel(engine::Label label, const std::string& text) override;
    void SetProgressRange(int min, int max) override;
    void SetProgress(float value) override;
    void SetButtonEnabled(engine::Button button, bool enabled) override;
    void SetButtonVisible(engine::Button button, bool visible) override;
    bool DeleteSourceChecked() override;
    bool AskYesNo(const std::string& title, const std::string& text) override;
    void ShowMessage(const std::string& title, const std::string& text, engine::MessageIcon icon) override;
    std::optional<std::string> AskSavePath(const std::string& filter, const std::string& proposedName) override;
    void MarkRow(int row, unsigned rgb, bool bold) override;
    void Unload() override;
    bool IsUnloaded() const override { return unloaded_; }
    void Yield() override;

    // The progress bar's value as the engine last set it.
    float ProgressValue() const { return progress_; }
    // Labels and the bar take what the engine sets at most every kShowEvery
    // (a repaint per file made a run twice as slow); this shows the latest at
    // once. Done before every question and message and at the end of a run.
    void ShowPending();
    static constexpr int kShowEveryMs = 50;

    Band* Shape2 = nullptr;
    QLabel* lblCount1 = nullptr;
    QPushButton* CmdSkip = nullptr;
    QLabel* lblProgress = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QGroupBox* FrameConversion = nullptr;
    QLabel* LblCurrentDBX = nullptr;
    QLabel* Image1 = nullptr;
    QCheckBox* ChkDelete = nullptr;
    HelpLink* lblDeleteHelp = nullptr;
    // The Windows locale of the items (as convert --locale): a tag or its number.
    QLabel* lblLocale = nullptr;
    QComboBox* CboLocale = nullptr;
    Band* Shape1 = nullptr;
    QPushButton* CmdStartConversion = nullptr;
    QPushButton* CmdStopMigration = nullptr;

Q_SIGNALS:
    // After every change the engine makes to the progress bar (tests and screenshots watch it).
    void progressChanged(float value);
    // When a run has returned.
    void runFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    SettingsSource settings_;
    RowMarker marker_;
    std::unique_ptr<MigrationDriver> driver_;
    QWidget* owner_;
    float progress_ = 0;
    // What the engine set and the window does not show yet (ShowPending).
    std::array<std::optional<QString>, 5> pendingLabels_;
    bool pendingProgress_ = false;
    QElapsedTimer sinceShown_;
    void ShowIfDue();
    void ApplyLabel(engine::Label label, const QString& value);
    int min_ = 0;
    int max_ = 100;
    bool running_ = false;
    bool startWanted_ = true;  // what the engine last asked of Start during a run
    bool unloaded_ = false;
    int runLocale_ = 0;  // the locale the current run was started with (LCID)
};

// Turns "Description (*.x)|*.x|..." into the dialog's "Description (*.x);;..." form.
QString DialogFilter(const QString& pairs);

}  // namespace wizard
