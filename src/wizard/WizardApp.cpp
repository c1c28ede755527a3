#include "wizard/WizardApp.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>
#include <string>

#include "wizard/ShellServices.h"
#include "wizard/frmMigateAll.h"
#include "wizard/frmMultiple.h"
#include "wizard/frmSingle.h"
#include "wizard/frmStart.h"

namespace wizard {

namespace {

void Settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool Save(QWidget* window, const QString& dir, const QString& name) {
    Settle();
    const QString path = QDir(dir).filePath(name + QStringLiteral(".png"));
    const bool ok = window->grab().save(path, "PNG");
    std::printf("%s %s\n", ok ? "saved" : "could not save", QFile::encodeName(path).constData());
    return ok;
}

bool WriteFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    return file.write(content) == content.size();
}

// A small mailbox export: the root folder's metadata and a few messages in the
// Inbox and Sent folders, enough for the migration window to show a run.
bool MakeSampleMailbox(const QString& folder) {
    bool ok = WriteFile(folder + QStringLiteral("/0000000011-ROOT.meta"), QByteArray());
    for (int i = 1; i <= 24; ++i) {
        const QString box = i % 3 ? QStringLiteral("Inbox") : QStringLiteral("Sent");
        const QByteArray n = QByteArray::number(i);
        const QByteArray message =
            "From: Ann Example <ann@example.org>\r\n"
            "To: Bob Example <bob@example.org>\r\n"
            "Subject: Sample message " + n + "\r\n"
            "Date: Mon, 7 Dec 2026 09:00:00 +0000\r\n"
            "Message-ID: <sample-" + n + "@example.org>\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=utf-8\r\n"
            "\r\n"
            "Body of sample message " + n + ".\r\n";
        ok = WriteFile(folder + QStringLiteral("/%1/%2-Sample message %3.eml").arg(box).arg(256 + i).arg(i), message) && ok;
    }
    return ok;
}

int Screenshots(const QString& dir) {
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "orvandel: cannot create %s\n", QFile::encodeName(dir).constData());
        return 1;
    }
    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "orvandel: no temporary folder for the sample mailbox\n");
        return 1;
    }
    const QString mailbox = work.filePath(QStringLiteral("jdoe"));
    MakeSampleMailbox(mailbox);
    QDir().mkpath(work.filePath(QStringLiteral("root/asmith")));
    QDir().mkpath(work.filePath(QStringLiteral("root/bjones")));
    QDir().mkpath(work.filePath(QStringLiteral("root/cwhite")));
    QDir().mkpath(work.filePath(QStringLiteral("root/dgreen")));

    // Nothing here may wait for a person.
    Hooks().askYesNo = [](QWidget*, const QString&, const QString&) { return false; };
    Hooks().message = [](QWidget*, const QString&, const QString&, QMessageBox::Icon) {};
    Hooks().openUrl = [](const QString&) {};
    Hooks().exitProgram = [](int) {};
    Hooks().saveFile = [&work](QWidget*, const QString&, const QString& proposed) {
        return work.filePath(proposed);
    };
    bool ok = true;

    auto* start = new frmStart;
    start->show();
    ok = Save(start, dir, QStringLiteral("frmStart")) && ok;

    start->CmdNext_Click();
    frmSingle* single = start->SingleWindow();
    ok = Save(single, dir, QStringLiteral("frmSingle")) && ok;
    Hooks().browseForFolder = [&mailbox](QWidget*, const QString&) { return QDir::toNativeSeparators(mailbox); };
    single->CmdAddFolder_Click();
    ok = Save(single, dir, QStringLiteral("frmSingle-chosen")) && ok;

    single->CmdNext_Click();
    frmMigateAll* migration = single->MigrationWindow();
    ok = Save(migration, dir, QStringLiteral("frmMigateAll")) && ok;

    // Mid-run: the picture is taken when the bar has passed the half-way mark.
    bool taken = false;
    QObject::connect(migration, &frmMigateAll::progressChanged, migration, [&](float value) {
        if (taken || value < 50) return;
        taken = true;
        ok = Save(migration, dir, QStringLiteral("frmMigateAll-running")) && ok;
    });
    migration->ChkDelete->setChecked(false);
    migration->CmdStartConversion_Click();
    if (!taken) {
        std::fprintf(stderr, "orvandel: the sample run did not reach half-way; no mid-run picture\n");
        ok = false;
    }
    ok = Save(migration, dir, QStringLiteral("frmMigateAll-finished")) && ok;
    migration->close();
    single->close();
    Settle();

    start->OptMultiple->setChecked(true);
    ok = Save(start, dir, QStringLiteral("frmStart-multiple")) && ok;
    start->CmdNext_Click();
    frmMultiple* multiple = start->MultipleWindow();
    ok = Save(multiple, dir, QStringLiteral("frmMultiple")) && ok;
    multiple->ListMailboxes(QDir::toNativeSeparators(work.filePath(QStringLiteral("root"))));
    if (multiple->lv->topLevelItemCount() > 1) multiple->lv->topLevelItem(1)->setCheckState(0, Qt::Checked);
    ok = Save(multiple, dir, QStringLiteral("frmMultiple-listed")) && ok;

    delete start;
    return ok ? 0 : 1;
}

void Usage() {
    std::fprintf(stderr,
                 "usage: orvandel                    open the conversion wizard\n"
                 "       orvandel --screenshot DIR   save a PNG of every window into DIR\n");
}

}  // namespace

int RunWizard(int argc, char** argv) {
    QString screenshotDir;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            screenshotDir = QFile::decodeName(argv[++i]);
        } else {
            Usage();
            return 2;
        }
    }
    // Screenshots need no display.
    if (!screenshotDir.isEmpty() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName(QStringLiteral("Kestrune Orvandel"));
    // The start window hides in multiple mode; the program ends only through its exit confirmation.
    QApplication::setQuitOnLastWindowClosed(false);

    if (!screenshotDir.isEmpty()) return Screenshots(screenshotDir);

    auto* start = new frmStart;
    start->show();
    const int status = QApplication::exec();
    delete start;
    return status;
}

}  // namespace wizard
