#pragma once
// Answers for the wizard's dialogs, and what was asked, for the GUI tests.
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>

#include "wizard/ShellServices.h"
#include "wizard/frmStart.h"

namespace wizardtest {

struct Asked {
    QString title;
    QString text;
};

// Installs hooks that record every dialog and answer from queues.
struct DialogRecorder {
    std::deque<bool> yesNoAnswers;      // empty: No
    std::deque<QString> folderAnswers;  // empty: cancelled
    std::deque<QString> saveAnswers;    // empty: cancelled
    QList<Asked> questions;
    QList<Asked> messages;
    QList<QMessageBox::Icon> messageIcons;
    QStringList folderTitles;
    QStringList saveProposals;
    QStringList saveFilters;
    QStringList urls;
    QList<int> exits;
    // Runs while a question is asked (before it is answered), e.g. to look at the window.
    std::function<void(const Asked&)> onQuestion;

    void Install() {
        auto& h = wizard::Hooks();
        h.askYesNo = [this](QWidget*, const QString& title, const QString& text) {
            questions.push_back({title, text});
            if (onQuestion) onQuestion(questions.back());
            if (yesNoAnswers.empty()) return false;
            const bool answer = yesNoAnswers.front();
            yesNoAnswers.pop_front();
            return answer;
        };
        h.message = [this](QWidget*, const QString& title, const QString& text, QMessageBox::Icon icon) {
            messages.push_back({title, text});
            messageIcons.push_back(icon);
        };
        h.browseForFolder = [this](QWidget*, const QString& title) {
            folderTitles << title;
            if (folderAnswers.empty()) return QString();
            const QString answer = folderAnswers.front();
            folderAnswers.pop_front();
            return answer;
        };
        h.browseForArchive = [this](QWidget*, const QString& title) {
            folderTitles << title;
            if (folderAnswers.empty()) return QString();
            const QString answer = folderAnswers.front();
            folderAnswers.pop_front();
            return answer;
        };
        h.saveFile = [this](QWidget*, const QString& filter, const QString& proposed) {
            saveFilters << filter;
            saveProposals << proposed;
            if (saveAnswers.empty()) return QString();
            const QString answer = saveAnswers.front();
            saveAnswers.pop_front();
            return answer;
        };
        h.openUrl = [this](const QString& url) { urls << url; };
        h.exitProgram = [this](int status) { exits << status; };
    }
    static void Uninstall() { wizard::Hooks() = wizard::DialogHooks{}; }
};

inline QString Native(const QString& path) { return QDir::toNativeSeparators(path); }

// The init of a window test: the dialogs recorded afresh, a start window shown.
inline wizard::frmStart* ShowStartWindow(DialogRecorder& rec) {
    rec = DialogRecorder{};
    rec.Install();
    auto* start = new wizard::frmStart;
    start->show();
    return start;
}

// The cleanup of a window test: the start window and the windows it left for
// deletion gone, the dialog hooks back to the real ones.
inline void CloseStartWindow(wizard::frmStart*& start) {
    delete start;
    start = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    DialogRecorder::Uninstall();
}

}  // namespace wizardtest
