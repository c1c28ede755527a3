#include "wizard/frmStart.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include "wizard/Look.h"
#include "wizard/ShellServices.h"
#include "wizard/frmMultiple.h"
#include "wizard/frmSingle.h"

namespace wizard {

void CentreOnScreen(QWidget* window) {
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

void CentreOver(QWidget* window, const QWidget* owner) {
    if (!owner) {
        CentreOnScreen(window);
        return;
    }
    const QRect frame = owner->frameGeometry();
    window->move(frame.center() - QPoint(window->width() / 2, window->height() / 2));
}

frmStart::frmStart(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowSystemMenuHint) {
    setObjectName(QStringLiteral("frmStart"));
    setWindowTitle(QStringLiteral("Kestrune Orvandel v7.4"));
    setWindowIcon(AppIcon());
    setFixedSize(Tw(10590), Tw(7080));
    setFont(UiFont(9));

    const QColor white(255, 255, 255), grey(192, 192, 192), darkGrey(64, 64, 64);

    Shape2 = new Band(this, white, grey);
    Place(Shape2, 0, 0, 10695, 855);
    lblTitle = MakeLabel(this, QStringLiteral("Kestrune Orvandel"), UiFont(14.25, true), 240, 120, 6255, 375);
    SetColours(lblTitle, QColor(192, 0, 0));
    lblCopyright = MakeLabel(this, QStringLiteral("Copyright \u00A9 2026 Kestrune Orvandel. Free to use; no warranty."),
                             UiFont(8.25), 240, 480, 6135, 255);
    SetColours(lblCopyright, Qt::black);
    Label3 = MakeLabel(this,
                       QStringLiteral("Orvandel supports conversion of emails, contacts, calendars, tasks, notes from "
                                      "zimbra .tgz files. Supports Outlook Version 2013 (32 Bit), 2010 (32 Bit), 2007, "
                                      "2003 for conversion."),
                       UiFont(8.25), 240, 960, 8055, 480, true);

    Frame1 = new QGroupBox(QStringLiteral(" I want to convert "), this);
    Frame1->setFont(UiFont(9, true));
    ClassicFrame(Frame1);
    Place(Frame1, 240, 1680, 10095, 3975);

    OptSingle = new QRadioButton(QStringLiteral("Single Mailbox"), Frame1);
    OptSingle->setFont(UiFont(9, true));
    Place(OptSingle, 240, 600, 1695, 495);
    lblSingleHelp = new HelpLink(QStringLiteral(" [ ? ]"), Frame1);
    lblSingleHelp->setFont(UiFont(8.25));
    Place(lblSingleHelp, 1920, 720, 375, 240);
    Label2 = MakeLabel(Frame1,
                       QStringLiteral("This option allows you to select a single mailbox and convert it. To convert "
                                      "multiple mailboxes, you need to select individual mailbox one after another."),
                       UiFont(9), 480, 1080, 7935, 600, true);
    SetColours(Label2, darkGrey);
    OptMultiple = new QRadioButton(QStringLiteral("Multiple Mailboxes"), Frame1);
    OptMultiple->setFont(UiFont(9));
    Place(OptMultiple, 240, 1800, 2055, 495);
    lblMultipleHelp = new HelpLink(QStringLiteral(" [ ? ]"), Frame1);
    lblMultipleHelp->setFont(UiFont(8.25));
    Place(lblMultipleHelp, 2280, 1920, 375, 240);
    Label4 = MakeLabel(Frame1,
                       QStringLiteral("This option allows you to select multiple mailboxes and then convert them to "
                                      "respective mailboxes in Outlook .pst file. To convert multiple mailboxes, you "
                                      "need to select top folder having all mailboxes extracted inside it."),
                       UiFont(9), 480, 2640, 7935, 825, true);
    SetColours(Label4, darkGrey);
    OptSingle->setChecked(true);

    Shape1 = new Band(this, white, grey);
    Place(Shape1, 0, 6480, 10695, 855);
    CmdHelp = new QPushButton(QStringLiteral("&Help Manual"), this);
    CmdHelp->setFont(UiFont(9));
    Place(CmdHelp, 240, 6600, 1695, 390);
    CmdNext = new QPushButton(QStringLiteral("&Next >"), this);
    CmdNext->setFont(UiFont(9));
    Place(CmdNext, 8640, 6600, 1695, 390);
    // The bands lie under everything else.
    Shape2->lower();
    Shape1->lower();

    setTabOrder(OptMultiple, OptSingle);
    setTabOrder(OptSingle, CmdNext);
    setTabOrder(CmdNext, CmdHelp);

    OptMultiple->setFocus();

    connect(OptSingle, &QRadioButton::toggled, this, [this](bool on) {
        if (on) OptSingle_Click();
    });
    connect(OptMultiple, &QRadioButton::toggled, this, [this](bool on) {
        if (on) OptMultiple_Click();
    });
    connect(CmdNext, &QPushButton::clicked, this, &frmStart::CmdNext_Click);
    connect(CmdHelp, &QPushButton::clicked, this, &frmStart::CmdHelp_Click);
    connect(lblSingleHelp, &HelpLink::clicked, this, &frmStart::lblSingleHelp_Click);
    connect(lblMultipleHelp, &HelpLink::clicked, this, &frmStart::lblMultipleHelp_Click);

    CentreOnScreen(this);
}

frmStart::~frmStart() {
    // The multiple-mailbox window is a top-level window of its own.
    delete multiple_.data();
}

frmSingle* frmStart::SingleWindow() const { return single_.data(); }
frmMultiple* frmStart::MultipleWindow() const { return multiple_.data(); }

bool frmStart::IsSingleMode() const { return OptSingle->isChecked(); }

void frmStart::OptSingle_Click() {
    OptSingle->setFont(UiFont(9, true));
    OptMultiple->setFont(UiFont(9, false));
}

void frmStart::OptMultiple_Click() {
    OptMultiple->setFont(UiFont(9, true));
    OptSingle->setFont(UiFont(9, false));
}

void frmStart::CmdNext_Click() {
    if (IsSingleMode()) {
        if (!single_) single_ = new frmSingle(this);
        // Modal over this window, which stays visible beneath it.
        BringToFront(single_);
        return;
    }
    if (!multiple_) multiple_ = new frmMultiple(this);
    BringToFront(multiple_);
    hide();
}

void frmStart::CmdHelp_Click() { OpenURL(HelpSite() + QStringLiteral("/orvandel/")); }

void frmStart::lblSingleHelp_Click() { OpenURL(HelpSite() + QStringLiteral("/orvandel/help/single-mailbox.html")); }

void frmStart::lblMultipleHelp_Click() {
    OpenURL(HelpSite() + QStringLiteral("/orvandel/help/multiple-migration.html"));
}

void frmStart::Form_Unload(bool& cancel) {
    cancel = !AskYesNo(this, QStringLiteral("Kestrune Orvandel"), QStringLiteral("Are you sure you want to exit now?"));
}

void frmStart::closeEvent(QCloseEvent* event) {
    bool cancel = false;
    Form_Unload(cancel);
    if (cancel) {
        event->ignore();
        return;
    }
    event->accept();
    // Everything ends here: no other window's close handler runs.
    ExitProgram(0);
}

}  // namespace wizard
