#include "wizard/frmMultiple.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "files/ArchiveReader.h"
#include "wizard/Look.h"
#include "wizard/ShellServices.h"
#include "wizard/frmMigateAll.h"
#include "wizard/frmStart.h"

namespace wizard {

namespace {

constexpr int kKeyRole = Qt::UserRole;

void LetEventsRun() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

}  // namespace

void AltLVBackground(QTreeWidget* list, const QColor& one, const QColor& two) {
    if (!list || list->topLevelItemCount() == 0) return;
    // The view paints every other row in the alternate colour at whatever height the rows have.
    QPalette pal = list->palette();
    pal.setColor(QPalette::Base, one);
    pal.setColor(QPalette::AlternateBase, two);
    list->setPalette(pal);
    list->setAlternatingRowColors(true);
}

frmMultiple::frmMultiple(frmStart* start)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowSystemMenuHint),
      start_(start) {
    setObjectName(QStringLiteral("frmMultiple"));
    setWindowTitle(QStringLiteral("Multiple Mailbox Migration Mode"));
    setWindowIcon(AppIcon());
    setFixedSize(Tw(10590), Tw(7080));
    setFont(UiFont(9));

    const QColor white(255, 255, 255), grey(192, 192, 192);

    Shape2 = new Band(this, white, grey);
    Place(Shape2, 0, 0, 10695, 855);
    lblTitle = MakeLabel(this, QStringLiteral("Multiple Mailbox Migration"), UiFont(14.25, true), 240, 120, 6255, 375);
    SetColours(lblTitle, QColor(128, 128, 128));
    lblCopyright = MakeLabel(this, QStringLiteral("Convert one by one all mailboxes to respective Outlook .pst files"),
                             UiFont(8.25), 240, 480, 6135, 255);
    SetColours(lblCopyright, Qt::black);

    Image1 = new QLabel(this);
    Image1->setPixmap(AppIcon().pixmap(16, 16));
    Place(Image1, 240, 1080, 240, 240);
    Label3 = MakeLabel(this, QStringLiteral("Select folder holding the mailboxes (Zimbra .tgz files or folders)"),
                       UiFont(9), 600, 1080, 5415, 360);
    CmdAddFolder = new QPushButton(QStringLiteral("Select..."), this);
    CmdAddFolder->setFont(UiFont(9));
    Place(CmdAddFolder, 6120, 1000, 1455, 390);
    lblSelectRootFolder = new HelpLink(QStringLiteral(" [ ? ]"), this);
    lblSelectRootFolder->setFont(UiFont(9));
    Place(lblSelectRootFolder, 7680, 1080, 495, 240);

    Frame1 = new QGroupBox(QStringLiteral(" Select User Mailboxes "), this);
    Frame1->setFont(UiFont(9, true));
    ClassicFrame(Frame1);
    Place(Frame1, 240, 1560, 10095, 4095);
    chkSelectAll = new QCheckBox(QStringLiteral("Check All"), Frame1);
    chkSelectAll->setFont(UiFont(9));
    Place(chkSelectAll, 340, 360, 3015, 255);

    lv = new QTreeWidget(Frame1);
    lv->setFont(UiFont(9));
    lv->setColumnCount(2);
    lv->setHeaderLabels({QStringLiteral("User"), QStringLiteral("Mailbox Folder")});
    lv->header()->setFont(UiFont(9));
    lv->header()->setStretchLastSection(false);
    lv->header()->setSectionsMovable(false);
    lv->setColumnWidth(0, Tw(3000));
    lv->setColumnWidth(1, Tw(6600));
    lv->setRootIsDecorated(false);
    lv->setItemsExpandable(false);
    lv->setUniformRowHeights(true);
    lv->setIconSize(QSize(16, 16));
    lv->setSelectionMode(QAbstractItemView::SingleSelection);
    lv->setSelectionBehavior(QAbstractItemView::SelectRows);
    lv->setAllColumnsShowFocus(true);
    Place(lv, 240, 720, 9615, 3135);

    Label1 = MakeLabel(this, QStringLiteral("Output Folder:"), UiFont(9), 240, 5880, 1575, 345);
    txtOutputFolder = new QLineEdit(this);
    txtOutputFolder->setReadOnly(true);
    txtOutputFolder->setFont(UiFont(9));
    Place(txtOutputFolder, 1680, 5760, 7215, 405);
    cmdChange = new QPushButton(QStringLiteral("Change..."), this);
    cmdChange->setFont(UiFont(9));
    Place(cmdChange, 9000, 5760, 1335, 390);

    Shape1 = new Band(this, white, grey);
    Place(Shape1, 0, 6480, 10695, 855);
    cmdBack = new QPushButton(QStringLiteral("< Bac&k"), this);
    cmdBack->setFont(UiFont(8.25));
    Place(cmdBack, 7080, 6600, 1335, 390);
    CmdNext = new QPushButton(QStringLiteral("&Next >"), this);
    CmdNext->setFont(UiFont(8.25));
    Place(CmdNext, 8640, 6600, 1695, 390);
    Shape2->lower();
    Shape1->lower();

    setTabOrder(CmdNext, lv);
    setTabOrder(lv, CmdAddFolder);
    setTabOrder(CmdAddFolder, chkSelectAll);
    setTabOrder(chkSelectAll, cmdChange);
    setTabOrder(cmdChange, txtOutputFolder);
    setTabOrder(txtOutputFolder, cmdBack);

    CmdNext->setFocus();

    connect(CmdAddFolder, &QPushButton::clicked, this, &frmMultiple::CmdAddFolder_Click);
    connect(chkSelectAll, &QCheckBox::stateChanged, this, [this](int) { chkSelectAll_Click(); });
    connect(cmdChange, &QPushButton::clicked, this, &frmMultiple::cmdChange_Click);
    connect(cmdBack, &QPushButton::clicked, this, &frmMultiple::cmdBack_Click);
    connect(CmdNext, &QPushButton::clicked, this, &frmMultiple::CmdNext_Click);
    connect(lblSelectRootFolder, &HelpLink::clicked, this, &frmMultiple::lblSelectRootFolder_Click);

    CentreOnScreen(this);
    Form_Load();
}

void frmMultiple::Form_Load() {
    txtOutputFolder->setText(SpecialFolderPath());
    chkSelectAll->setChecked(false);
    chkSelectAll->setEnabled(false);
}

void frmMultiple::SetBusy(bool busy) {
    busy_ += busy ? 1 : -1;
    const bool idle = busy_ == 0;
    // While a listing or select-all runs, nothing that could start another may be used.
    for (QWidget* w : std::initializer_list<QWidget*>{CmdAddFolder, lv, cmdChange, cmdBack, CmdNext})
        w->setEnabled(idle);
    chkSelectAll->setEnabled(idle && chkSelectAllReady_);
    if (idle && closePending_) {
        closePending_ = false;
        close();
    }
}

void frmMultiple::CmdAddFolder_Click() {
    if (IsBusy()) return;
    const QString chosen = BrowseForFolder(this, QStringLiteral("Choose Source Folder..."));
    if (chosen.isEmpty()) return;
    ListMailboxes(chosen);
}

bool frmMultiple::ListMailboxes(const QString& chosen) {
    QString root = chosen;
    if (!root.endsWith(QDir::separator())) root += QDir::separator();

    // Read the folder before touching the list, so that a folder that cannot
    // be read leaves the earlier list in place.
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path rootPath(QFile::encodeName(root).toStdString());
    // (mailbox name, file name): the folders, and the export archives beside
    // them, each a mailbox named after its file without the suffix.
    std::vector<std::pair<QString, QString>> names;
    fs::directory_iterator it(rootPath, fs::directory_options::none, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        const std::string file = it->path().filename().string();
        if (it->is_directory(typeError))
            names.emplace_back(QFile::decodeName(file.c_str()), QFile::decodeName(file.c_str()));
        else if (it->is_regular_file(typeError) && files::IsArchivePath(file))
            names.emplace_back(QFile::decodeName(files::ArchiveBaseName(file).c_str()), QFile::decodeName(file.c_str()));
    }
    if (ec) {
        ShowMessage(this, QStringLiteral("Select User(s) to Migrate"),
                    QStringLiteral("The folder \"%1\" cannot be listed:\r\n%2").arg(chosen, QString::fromStdString(ec.message())),
                    QMessageBox::Warning);
        return false;
    }
    // The order a Windows volume lists folders in: by name, case folded.
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
        const int folded = a.first.compare(b.first, Qt::CaseInsensitive);
        if (folded != 0) return folded < 0;
        return a.first != b.first ? a.first < b.first : a.second < b.second;
    });
    // A folder and an archive of one name would write the same PST: the first
    // (the folder, or the archive of the first suffix) is listed, the others named.
    QStringList notListed;
    for (size_t k = 1; k < names.size();) {
        if (names[k].first == names[k - 1].first) {
            notListed << names[k].second;
            names.erase(names.begin() + static_cast<std::ptrdiff_t>(k));
        } else {
            ++k;
        }
    }
    if (!notListed.isEmpty())
        ShowMessage(this, QStringLiteral("Select User(s) to Migrate"),
                    QStringLiteral("These are not listed: a mailbox of the same name is (each name is one PST):\r\n") +
                        notListed.join(QStringLiteral("\r\n")),
                    QMessageBox::Warning);

    SetBusy(true);
    lv->clear();
    lv->viewport()->update();
    for (const auto& [name, file] : names) {
        LetEventsRun();
        const QString full = root + file;
        auto* row = new QTreeWidgetItem(lv);
        row->setData(0, kKeyRole, QStringLiteral("|") + full);
        row->setText(0, name);
        row->setIcon(0, UserIcon());
        row->setFlags((row->flags() | Qt::ItemIsUserCheckable) & ~Qt::ItemIsEditable);
        row->setCheckState(0, Qt::Unchecked);
        row->setData(1, kKeyRole, QStringLiteral("|"));
        row->setText(1, full);
        row->setIcon(1, FolderIcon());
        row->setToolTip(1, full);
        lv->viewport()->update();
    }
    AltLVBackground(lv, QColor(255, 255, 255), QColor(255, 255, 192));
    chkSelectAllReady_ = true;
    chkSelectAll->setChecked(false);
    if (chkSelectAll->text() != QStringLiteral("Check All")) chkSelectAll->setText(QStringLiteral("Check All"));
    SetBusy(false);
    return true;
}

void frmMultiple::chkSelectAll_Click() {
    const bool checked = chkSelectAll->isChecked();
    SetBusy(true);
    for (int i = 0; i < lv->topLevelItemCount(); ++i) {
        LetEventsRun();
        if (QTreeWidgetItem* row = lv->topLevelItem(i)) row->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
    }
    chkSelectAll->setText(checked ? QStringLiteral("Uncheck All") : QStringLiteral("Check All"));
    SetBusy(false);
}

void frmMultiple::cmdChange_Click() {
    const QString folder = BrowseForFolder(this, QStringLiteral("Choose Output Folder..."));
    if (!folder.isEmpty()) txtOutputFolder->setText(folder);
}

void frmMultiple::cmdBack_Click() {
    if (start_) {
        BringToFront(start_);
    }
    hide();
}

frmMigateAll* frmMultiple::MigrationWindow() const { return migration_.data(); }

void frmMultiple::CmdNext_Click() {
    if (IsBusy()) return;
    bool any = false;
    for (int i = 0; i < lv->topLevelItemCount() && !any; ++i) {
        LetEventsRun();
        if (QTreeWidgetItem* row = lv->topLevelItem(i)) any = row->checkState(0) == Qt::Checked;
    }
    if (!any) {
        ShowMessage(this, QStringLiteral("Select User(s) to Migrate"),
                    QStringLiteral("No Users Selected !\r\nPlease Select alteast one user to migrate."),
                    QMessageBox::Information);
        return;
    }
    if (frmMigateAll* previous = migration_.data(); previous && previous->IsFinished()) {
        // An unloaded migration window is not reused: the next visit starts afresh.
        previous->deleteLater();
        migration_ = nullptr;
    }
    if (!migration_) {
        frmStart* start = start_;
        QPointer<frmMultiple> self(this);
        migration_ = new frmMigateAll(
            this,
            [start, self]() {
                engine::MigrationSettings settings;
                settings.IsSingleMode = start ? start->IsSingleMode() : false;
                if (self) {
                    settings.MailboxRows = self->Rows();
                    settings.OutputFolder = QFile::encodeName(self->txtOutputFolder->text()).toStdString();
                }
                return settings;
            },
            [self](int row, unsigned rgb, bool bold) {
                if (self) self->MarkRow(row, QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF), bold);
            });
    }
    if (frmMigateAll* window = migration_.data()) window->ShowModal();
}

std::vector<engine::MailboxRow> frmMultiple::Rows() const {
    std::vector<engine::MailboxRow> rows;
    rows.reserve(static_cast<size_t>(lv->topLevelItemCount()));
    for (int i = 0; i < lv->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = lv->topLevelItem(i);
        engine::MailboxRow row;
        row.selected = item->checkState(0) == Qt::Checked;
        row.name = QFile::encodeName(item->text(0)).toStdString();
        row.folder = QFile::encodeName(item->text(1)).toStdString();
        rows.push_back(std::move(row));
    }
    return rows;
}

void frmMultiple::MarkRow(int row, const QColor& colour, bool bold) {
    QTreeWidgetItem* item = lv->topLevelItem(row);
    if (!item) return;
    QFont font = item->font(0);
    font.setBold(bold);
    item->setForeground(0, colour);
    item->setFont(0, font);
}

void frmMultiple::lblSelectRootFolder_Click() {
    OpenURL(HelpSite() + QStringLiteral("/orvandel/help/select-root-folder.html"));
}

void frmMultiple::closeEvent(QCloseEvent* event) {
    if (const frmMigateAll* running = migration_.data(); running && running->IsRunning()) {
        // The run reads this window's rows until it has returned.
        event->ignore();
        return;
    }
    if (IsBusy()) {
        // A listing or select-all is between rows: close once it has finished.
        closePending_ = true;
        event->ignore();
        return;
    }
    event->accept();
    // Back to the start window rather than leaving the program without a window.
    if (start_ && !start_->isVisible()) {
        BringToFront(start_);
    }
    deleteLater();
}

}  // namespace wizard
