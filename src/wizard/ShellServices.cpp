#include "wizard/ShellServices.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

// Qt draws every control in the platform's own style, so no common-controls
// initialisation and no visual-style manifest are needed on any platform. The
// one platform difference kept here: Qt's folder dialog answers with forward
// slashes on Windows, and callers get the native form (C:\ for a drive root, D:\Exports for a folder).

namespace wizard {

DialogHooks& Hooks() {
    static DialogHooks hooks;
    return hooks;
}

namespace {

// Message texts carry CR LF line breaks; the message box wants plain line feeds.
QString ForDisplay(const QString& text) { return QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

bool HasManualIndex(const QString& dir) {
    return QFileInfo::exists(dir + QStringLiteral("/orvandel/index.html"));
}

}  // namespace

QString HelpSite() {
    static const QString site = [] {
        QStringList candidates;
        if (QCoreApplication::instance()) {
            const QString appDir = QCoreApplication::applicationDirPath();
            candidates << appDir + QStringLiteral("/help")                         // build folder
                       << appDir + QStringLiteral("/../share/orvandel/help");     // installed
        }
#ifdef ORVANDEL_HELP_BUILD_DIR
        candidates << QStringLiteral(ORVANDEL_HELP_BUILD_DIR);
#endif
        for (const QString& dir : candidates) {
            if (HasManualIndex(dir)) return QUrl::fromLocalFile(QDir(dir).absolutePath()).toString();
        }
        // No pages found: keep the usual place next to the binary so the address is still meaningful.
        const QString fallback = candidates.isEmpty() ? QDir::currentPath() + QStringLiteral("/help") : candidates.front();
        return QUrl::fromLocalFile(QDir::cleanPath(fallback)).toString();
    }();
    return site;
}

void OpenURL(const QString& url) {
    if (url.isEmpty()) return;
    QString address = url;
    QUrl parsed(address);
    if (parsed.isLocalFile() && QFileInfo(parsed.toLocalFile()).isDir()) {
        // A browser shows a bare folder as a listing; the manual lives in its index page.
        QString path = parsed.toLocalFile();
        if (!path.endsWith(QLatin1Char('/'))) path += QLatin1Char('/');
        address = QUrl::fromLocalFile(path + QStringLiteral("index.html")).toString();
    }
    if (Hooks().openUrl) {
        Hooks().openUrl(address);
        return;
    }
    // The result is ignored on purpose: a browser that cannot start is not reported.
    (void)QDesktopServices::openUrl(QUrl(address));
}

QString BrowseForFolder(QWidget* owner, const QString& title) {
    if (Hooks().browseForFolder) return Hooks().browseForFolder(owner, title);
    const QString chosen = QFileDialog::getExistingDirectory(
        owner, title, SpecialFolderPath(), QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return QString();
    // On Windows the dialog answers with forward slashes; callers expect the platform's form.
    return QDir::toNativeSeparators(chosen);
}

QString BrowseForArchive(QWidget* owner, const QString& title) {
    if (Hooks().browseForArchive) return Hooks().browseForArchive(owner, title);
    const QString chosen = QFileDialog::getOpenFileName(
        owner, title, SpecialFolderPath(),
        QStringLiteral("Zimbra export archives (*.tgz *.tar.gz *.tar *.zip);;All files (*)"));
    if (chosen.isEmpty()) return QString();
    return QDir::toNativeSeparators(chosen);
}

QString SpecialFolderPath() {
    QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (desktop.isEmpty() || !QFileInfo(desktop).isDir()) desktop = QDir::homePath();
    return QDir::toNativeSeparators(desktop);
}

bool AskYesNo(QWidget* parent, const QString& title, const QString& text) {
    if (Hooks().askYesNo) return Hooks().askYesNo(parent, title, text);
    return QMessageBox::question(parent, title, ForDisplay(text), QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

void ShowMessage(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon) {
    if (Hooks().message) {
        Hooks().message(parent, title, text, icon);
        return;
    }
    QMessageBox box(icon, title, ForDisplay(text), QMessageBox::Ok, parent);
    box.exec();
}

QString AskSaveFile(QWidget* parent, const QString& filter, const QString& proposedName) {
    if (Hooks().saveFile) return Hooks().saveFile(parent, filter, proposedName);
    QString start = proposedName;
    if (QFileInfo(start).isRelative()) start = SpecialFolderPath() + QLatin1Char('/') + proposedName;
    QFileDialog dialog(parent, QStringLiteral("Save the mailbox in: an existing PST is added to, not replaced"), start,
                       filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("pst"));
    // The store never overwrites an existing file: it adds to an existing PST (the
    // title says so) and refuses anything else; "replace?" would promise otherwise.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.selectFile(start);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return QDir::toNativeSeparators(dialog.selectedFiles().front());
}

void ExitProgram(int status) {
    if (Hooks().exitProgram) {
        Hooks().exitProgram(status);
        return;
    }
    QCoreApplication::exit(status);
}

}  // namespace wizard
