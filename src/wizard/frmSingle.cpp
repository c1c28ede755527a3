#include "wizard/frmSingle.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "wizard/Look.h"
#include "wizard/ShellServices.h"
#include "wizard/frmMigateAll.h"
#include "wizard/frmStart.h"

namespace wizard {

frmSingle::frmSingle(frmStart* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                         Qt::WindowSystemMenuHint),
      start_(owner) {
    setObjectName(QStringLiteral("frmSingle"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::ApplicationModal);
    setWindowTitle(QStringLiteral("Single Mailbox Migration Mode"));
    setWindowIcon(AppIcon());
    setFixedSize(Tw(8685), Tw(3750));
    setFont(UiFont(9));

    const QColor white(255, 255, 255), grey(192, 192, 192), hint(255, 255, 192);

    Shape2 = new Band(this, white, grey);
    Place(Shape2, 0, 0, 10695, 855);
    lblTitle = MakeLabel(this, QStringLiteral("Single Mailbox Migration"), UiFont(14.25, true), 240, 120, 6255, 375);
    SetColours(lblTitle, QColor(128, 128, 128));
    lblCopyright = MakeLabel(this, QStringLiteral("Convert single Zimbra mailbox to respective Outlook .pst file"),
                             UiFont(8.25), 240, 480, 6135, 255);
    SetColours(lblCopyright, Qt::black);

    Shape3 = new Band(this, hint, grey);
    Place(Shape3, 240, 960, 8175, 495);
    Image2 = new QLabel(this);
    Image2->setPixmap(HintPixmap());
    Place(Image2, 360, 1080, 240, 240);
    Label2 = MakeLabel(this,
                       QStringLiteral("Choose the exported .tgz file itself (Archive...), or the folder "
                                      "extracted from it (Select...)"),
                       UiFont(8.25), 720, 1080, 7095, 255);
    SetColours(Label2, Qt::black, hint);

    Image1 = new QLabel(this);
    Image1->setPixmap(AppIcon().pixmap(16, 16));
    Place(Image1, 240, 1750, 240, 240);
    Label3 = MakeLabel(this, QStringLiteral("Select folder having all mailboxes extracted from Zimbra .tgz files"),
                       UiFont(9), 600, 1750, 5415, 360);
    lblSingleMailbox = new HelpLink(QStringLiteral(" [ ? ]"), this);
    lblSingleMailbox->setFont(UiFont(9));
    Place(lblSingleMailbox, 6120, 1785, 495, 240);

    txtSourceMailbox = new QLineEdit(this);
    txtSourceMailbox->setReadOnly(true);
    txtSourceMailbox->setFont(UiFont(9));
    Place(txtSourceMailbox, 240, 2160, 6615, 405);
    CmdAddFolder = new QPushButton(QStringLiteral("Select..."), this);
    CmdAddFolder->setFont(UiFont(9));
    CmdAddFolder->setAutoDefault(false);
    Place(CmdAddFolder, 6960, 2160, 1455, 390);
    CmdAddArchive = new QPushButton(QStringLiteral("Archive..."), this);
    CmdAddArchive->setFont(UiFont(9));
    CmdAddArchive->setAutoDefault(false);
    Place(CmdAddArchive, 6960, 2640, 1455, 390);

    Shape1 = new Band(this, white, grey);
    Place(Shape1, -120, 3120, 10695, 855);
    CmdNext = new QPushButton(QStringLiteral("&Next >"), this);
    CmdNext->setFont(UiFont(8.25));
    CmdNext->setAutoDefault(false);
    CmdNext->setEnabled(false);
    Place(CmdNext, 6720, 3240, 1695, 390);
    Shape2->lower();
    Shape1->lower();
    Shape3->lower();

    setTabOrder(CmdAddFolder, CmdAddArchive);
    setTabOrder(CmdAddArchive, CmdNext);
    setTabOrder(CmdNext, txtSourceMailbox);

    CmdAddFolder->setFocus();

    connect(CmdAddFolder, &QPushButton::clicked, this, &frmSingle::CmdAddFolder_Click);
    connect(CmdAddArchive, &QPushButton::clicked, this, &frmSingle::CmdAddArchive_Click);
    connect(CmdNext, &QPushButton::clicked, this, &frmSingle::CmdNext_Click);
    connect(lblSingleMailbox, &HelpLink::clicked, this, &frmSingle::lblSingleMailbox_Click);
}

void frmSingle::showEvent(QShowEvent* event) {
    if (!placed_) {
        placed_ = true;
        CentreOver(this, start_);
    }
    QDialog::showEvent(event);
}

void frmSingle::closeEvent(QCloseEvent* event) {
    // The migration window belongs to this one: it must not go while a run is still returning.
    if (const frmMigateAll* running = migration_.data(); running && running->IsRunning()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void frmSingle::CmdAddFolder_Click() {
    const QString folder = BrowseForFolder(this, QStringLiteral("Choose Source Folder..."));
    if (folder.isEmpty()) return;
    CmdNext->setEnabled(true);
    txtSourceMailbox->setText(folder);
}

void frmSingle::CmdAddArchive_Click() {
    const QString archive = BrowseForArchive(this, QStringLiteral("Choose Exported Archive..."));
    if (archive.isEmpty()) return;
    CmdNext->setEnabled(true);
    txtSourceMailbox->setText(archive);
}

void frmSingle::lblSingleMailbox_Click() {
    OpenURL(HelpSite() + QStringLiteral("/orvandel/help/select-tgz-folder.html"));
}

frmMigateAll* frmSingle::MigrationWindow() const { return migration_.data(); }

void frmSingle::CmdNext_Click() {
    if (txtSourceMailbox->text().isEmpty()) return;
    if (frmMigateAll* previous = migration_.data(); previous && previous->IsFinished()) {
        // An unloaded migration window is not reused: the next visit starts afresh.
        previous->deleteLater();
        migration_ = nullptr;
    }
    if (!migration_) {
        frmStart* start = start_;
        QPointer<frmSingle> self(this);
        migration_ = new frmMigateAll(this, [start, self]() {
            engine::MigrationSettings settings;
            settings.IsSingleMode = start ? start->IsSingleMode() : true;
            if (self) settings.SourceMailboxFolder = self->txtSourceMailbox->text().toStdString();
            return settings;
        });
    }
    if (frmMigateAll* window = migration_.data()) window->ShowModal();
}

}  // namespace wizard
