#pragma once
// The start window: the choice between one mailbox and several, help links,
// and the one ordinary way out of the program (with a confirmation).
#include <QPointer>
#include <QWidget>

class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace wizard {

class Band;
class HelpLink;
class frmSingle;
class frmMultiple;

class frmStart : public QWidget {
    Q_OBJECT
public:
    explicit frmStart(QWidget* parent = nullptr);
    ~frmStart() override;

    // The mode the run reads.
    bool IsSingleMode() const;

    // Handlers, connected to the controls' signals.
    void OptSingle_Click();
    void OptMultiple_Click();
    void CmdNext_Click();
    void CmdHelp_Click();
    void lblSingleHelp_Click();
    void lblMultipleHelp_Click();
    // The exit confirmation; sets `cancel` when the user answers No.
    void Form_Unload(bool& cancel);

    // The windows this one opened (null when not loaded).
    frmSingle* SingleWindow() const;
    frmMultiple* MultipleWindow() const;

    // Controls, for the other windows, the tests and the screenshots.
    Band* Shape2 = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblCopyright = nullptr;
    QLabel* Label3 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QRadioButton* OptSingle = nullptr;
    HelpLink* lblSingleHelp = nullptr;
    QLabel* Label2 = nullptr;
    QRadioButton* OptMultiple = nullptr;
    HelpLink* lblMultipleHelp = nullptr;
    QLabel* Label4 = nullptr;
    Band* Shape1 = nullptr;
    QPushButton* CmdHelp = nullptr;
    QPushButton* CmdNext = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QPointer<frmSingle> single_;
    QPointer<frmMultiple> multiple_;
};

// Centres a top-level window on the screen its parent (or the primary screen) is on.
void CentreOnScreen(QWidget* window);
// Centres a window over its owner.
void CentreOver(QWidget* window, const QWidget* owner);

}  // namespace wizard
