#pragma once
// The single-mailbox step: choose the folder of one extracted export, then Next.
#include <QDialog>
#include <QPointer>

class QLabel;
class QLineEdit;
class QPushButton;

namespace wizard {

class Band;
class HelpLink;
class frmStart;
class frmMigateAll;

class frmSingle : public QDialog {
    Q_OBJECT
public:
    // Shown modal over `owner`; unloaded (deleted) when closed.
    explicit frmSingle(frmStart* owner);

    void CmdAddFolder_Click();
    // An export archive instead of its extracted folder: read as it is.
    void CmdAddArchive_Click();
    void lblSingleMailbox_Click();
    void CmdNext_Click();

    frmMigateAll* MigrationWindow() const;

    Band* Shape2 = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblCopyright = nullptr;
    Band* Shape3 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label3 = nullptr;
    HelpLink* lblSingleMailbox = nullptr;
    QLineEdit* txtSourceMailbox = nullptr;
    QPushButton* CmdAddFolder = nullptr;
    QPushButton* CmdAddArchive = nullptr;
    Band* Shape1 = nullptr;
    QPushButton* CmdNext = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    frmStart* start_;
    QPointer<frmMigateAll> migration_;
    bool placed_ = false;
};

}  // namespace wizard
