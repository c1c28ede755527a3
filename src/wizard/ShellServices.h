#pragma once
// Desktop services the wizard windows use: opening help pages, the folder
// dialog, the desktop folder, and the message boxes and save dialog. Every
// interactive service goes through an overridable hook so that tests and the
// screenshot mode can answer them without a modal loop.
#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace wizard {

struct DialogHooks {
    // Yes/No question; true for Yes.
    std::function<bool(QWidget* parent, const QString& title, const QString& text)> askYesNo;
    // A message box with an OK button.
    std::function<void(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon)> message;
    // The folder dialog: the chosen folder, or an empty string.
    std::function<QString(QWidget* parent, const QString& title)> browseForFolder;
    // The file dialog for an export archive: the chosen file, or an empty string.
    std::function<QString(QWidget* parent, const QString& title)> browseForArchive;
    // The save dialog: the chosen path, or an empty string when cancelled.
    std::function<QString(QWidget* parent, const QString& filter, const QString& proposedName)> saveFile;
    // Hands a web address to the desktop (the browser).
    std::function<void(const QString& url)> openUrl;
    // Ends the program with the given status.
    std::function<void(int status)> exitProgram;
};

// The hooks in force; an empty member means the real dialog or service.
DialogHooks& Hooks();

// The help pages' site: a file URL of the folder that holds "orvandel/",
// without a trailing slash.
QString HelpSite();

// Opens `url` in the user's browser. An empty address does nothing; a failure
// to start the browser is silent. A local folder address opens its index.html.
void OpenURL(const QString& url);

// The folder dialog. Returns the folder exactly as chosen (native separators,
// a root keeps its separator), or an empty string on cancel or any failure.
QString BrowseForFolder(QWidget* owner, const QString& title);

// The file dialog for a mailbox export archive (.tgz, .tar.gz, .tar, .zip).
// Returns the file as chosen (native separators), or an empty string.
QString BrowseForArchive(QWidget* owner, const QString& title);

// The current user's desktop folder (the home folder when there is none).
QString SpecialFolderPath();

bool AskYesNo(QWidget* parent, const QString& title, const QString& text);
void ShowMessage(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon);
QString AskSaveFile(QWidget* parent, const QString& filter, const QString& proposedName);
void ExitProgram(int status);

}  // namespace wizard
