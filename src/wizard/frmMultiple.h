#pragma once
// The multiple-mailbox step: a root folder whose subfolders are the mailboxes,
// a check-box list of them, the output folder, Back and Next.
#include <QColor>
#include <QPointer>
#include <QWidget>
#include <vector>

#include "engine/MigrationView.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace wizard {

class Band;
class HelpLink;
class frmStart;
class frmMigateAll;

class frmMultiple : public QWidget {
    Q_OBJECT
public:
    explicit frmMultiple(frmStart* start);

    void Form_Load();
    void CmdAddFolder_Click();
    void chkSelectAll_Click();
    void cmdChange_Click();
    void cmdBack_Click();
    void CmdNext_Click();
    void lblSelectRootFolder_Click();

    // Lists the immediate subfolders of `root` as the rows of the list (what
    // "Select..." does after the folder dialog). False, with a message shown,
    // when the folder cannot be listed; the list is then left as it was.
    bool ListMailboxes(const QString& root);

    // The rows as the run reads them.
    std::vector<engine::MailboxRow> Rows() const;
    // Draws row `row` (0-based) in `colour` and bold or regular.
    void MarkRow(int row, const QColor& colour, bool bold);

    frmMigateAll* MigrationWindow() const;
    // True while a listing or a select-all runs.
    bool IsBusy() const { return busy_ > 0; }

    Band* Shape2 = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblCopyright = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label3 = nullptr;
    QPushButton* CmdAddFolder = nullptr;
    HelpLink* lblSelectRootFolder = nullptr;
    QGroupBox* Frame1 = nullptr;
    QCheckBox* chkSelectAll = nullptr;
    QTreeWidget* lv = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* txtOutputFolder = nullptr;
    QPushButton* cmdChange = nullptr;
    Band* Shape1 = nullptr;
    QPushButton* cmdBack = nullptr;
    QPushButton* CmdNext = nullptr;

protected:
    // Closing by the close box returns to the start window.
    void closeEvent(QCloseEvent* event) override;

private:
    void SetBusy(bool busy);

    frmStart* start_;
    QPointer<frmMigateAll> migration_;
    int busy_ = 0;
    bool chkSelectAllReady_ = false;  // a root has been listed
    bool closePending_ = false;
};

// Gives a list alternating row colours, `one` on the first row and `two` on
// the second, following the row height whatever it is.
void AltLVBackground(QTreeWidget* list, const QColor& one, const QColor& two);

}  // namespace wizard
