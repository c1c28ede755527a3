// Real runs through the wizard: the windows drive the migration engine, which
// writes real PST files from the sample export; the PSTs are read back by the
// independent readers (pst-inspect) and by our verifier.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "WizardTestSupport.h"
#include "wizard/frmMigateAll.h"
#include "wizard/frmMultiple.h"
#include "wizard/frmSingle.h"
#include "wizard/frmStart.h"

using namespace wizard;
using wizardtest::DialogRecorder;
using wizardtest::Native;

namespace {

const QString kSkipText = QStringLiteral("Do you really want to \"Skip\" migration of this mailbox ?");
const QString kStopText =
    QStringLiteral("This action will STOP complete migration process.\r\nDo you really want to \"STOP\" on-going migration ?");

bool CopyTree(const QString& from, const QString& to) {
    QDir().mkpath(to);
    QDirIterator it(from, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + path.mid(from.size());
        if (it.fileInfo().isDir()) {
            QDir().mkpath(target);
        } else if (!QFile::copy(path, target)) {
            return false;
        }
    }
    return true;
}

QStringList FilesUnder(const QString& folder, const QString& suffix) {
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(suffix)) out << path;
    }
    out.sort();
    return out;
}

struct ProcessResult {
    int status = -1;
    QString output;
};

ProcessResult Run(const QString& program, const QStringList& args, int timeoutMs = 600000) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    ProcessResult r;
    if (!p.waitForStarted(20000)) {
        r.output = QStringLiteral("could not start ") + program;
        return r;
    }
    p.waitForFinished(timeoutMs);
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.output = QString::fromUtf8(p.readAll());
    return r;
}

// The independent readers; a reader that hangs counts as a failure, not as a stuck test.
ProcessResult Judge(QStringList args) {
    args.prepend(QStringLiteral("60"));
    args.prepend(QStringLiteral("--timeout"));
    return Run(QStringLiteral(ORVANDEL_PST_INSPECT), args, 240000);
}

// The lines of a judge's report that say what is wrong (the whole report is too long for a message).
QString Problems(const ProcessResult& r) {
    static const QRegularExpression wanted(
        QStringLiteral("NOT OPENED|missing|different|extra_|warning|disagree|result:|exit status|could not"),
        QRegularExpression::CaseInsensitiveOption);
    QStringList lines;
    for (const QString& line : r.output.split(QLatin1Char('\n')))
        if (wanted.match(line).hasMatch()) lines << line.trimmed();
    return QStringLiteral("status %1: ").arg(r.status) + lines.join(QStringLiteral(" | ")).left(900);
}

// Our own structural verifier, where the binary has it.
void ExpectVerified(const QString& pst) {
#ifdef ORVANDEL_BINARY
    const ProcessResult r = Run(QStringLiteral(ORVANDEL_BINARY), {QStringLiteral("verify"), pst});
    QVERIFY2(r.status == 0, qPrintable(r.output.left(900)));
#else
    Q_UNUSED(pst);
#endif
}

QStringList LogLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

}  // namespace

class WizardRunTest : public QObject {
    Q_OBJECT

private:
    DialogRecorder rec;
    QTemporaryDir tmp;
    frmStart* start = nullptr;
    QString sample = QStringLiteral(ORVANDEL_SAMPLE_EXPORT);

    // A fresh copy of a sample mailbox (the runs may delete sources).
    QString Mailbox(const QString& name, const QString& as, const QString& under) {
        const QString target = tmp.filePath(under + QLatin1Char('/') + as);
        if (!CopyTree(sample + QLatin1Char('/') + name, target)) return QString();
        return target;
    }
    QString Output(const QString& name) {
        const QString out = tmp.filePath(name);
        QDir().mkpath(out);
        return out;
    }
    frmMigateAll* OpenSingle(const QString& folder) {
        start->OptSingle->setChecked(true);
        start->CmdNext_Click();
        frmSingle* single = start->SingleWindow();
        rec.folderAnswers = {Native(folder)};
        single->CmdAddFolder->click();
        single->CmdNext->click();
        return single->MigrationWindow();
    }
    frmMigateAll* OpenMultiple(const QString& root, const QList<int>& ticked, const QString& out) {
        start->OptMultiple->setChecked(true);
        start->CmdNext_Click();
        frmMultiple* multiple = start->MultipleWindow();
        rec.folderAnswers = {Native(root), Native(out)};
        multiple->CmdAddFolder->click();
        multiple->cmdChange->click();
        for (int row : ticked) multiple->lv->topLevelItem(row)->setCheckState(0, Qt::Checked);
        multiple->CmdNext->click();
        return multiple->MigrationWindow();
    }
    // Clicks `button` from the event loop, as a user's click arrives while the run yields.
    static void ClickSoon(QPushButton* button) {
        QTimer::singleShot(0, button, [button] {
            if (button->isEnabled() && button->isVisible()) button->click();
        });
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(tmp.isValid());
        QVERIFY2(QFileInfo(sample + QStringLiteral("/alice/0000000011-ROOT.meta")).isFile(), qPrintable(sample));
    }
    void init() {
        start = wizardtest::ShowStartWindow(rec);
    }
    void cleanup() { wizardtest::CloseStartWindow(start); }

    void singleFlowConvertsAnExport() {
        const QString box = Mailbox(QStringLiteral("alice"), QStringLiteral("alice"), QStringLiteral("single"));
        const int sources = FilesUnder(box, QString()).size();
        const QString pst = Output(QStringLiteral("single-out")) + QStringLiteral("/alice.pst");
        frmMigateAll* w = OpenSingle(box);
        QVERIFY(w);
        QVERIFY(w->CmdStartConversion->isEnabled());
        rec.saveAnswers = {Native(pst)};
        bool stopShownMidRun = false, skipEnabledMidRun = false;
        connect(w, &frmMigateAll::progressChanged, w, [&](float) {
            stopShownMidRun = stopShownMidRun || w->CmdStopMigration->isVisible();
            skipEnabledMidRun = skipEnabledMidRun || w->CmdSkip->isEnabled();
        });
        w->CmdStartConversion->click();

        // The save dialog proposed the mailbox name and the time stamp.
        QCOMPARE(rec.saveProposals.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral("^alice\\d{1,2}\\.\\d{1,2}\\.\\d\\d \\d{1,2}\\.\\d{1,2}\\.\\d\\d\\.pst$"))
                     .match(rec.saveProposals[0]).hasMatch(),
                 qPrintable(rec.saveProposals[0]));
        QCOMPARE(rec.saveFilters[0], QStringLiteral("Outlook Data File(s) (*.pst)"));
        QVERIFY(stopShownMidRun);
        QVERIFY(skipEnabledMidRun);
        // The completion box, and the window ready again.
        QCOMPARE(rec.messages.size(), 1);
        QCOMPARE(rec.messages[0].title, QStringLiteral("Orvandel"));
        QVERIFY2(rec.messages[0].text.contains(QStringLiteral("Converted")), qPrintable(rec.messages[0].text));
        QVERIFY(!w->IsUnloaded());
        QVERIFY(w->isVisible());
        QVERIFY(!w->CmdStopMigration->isVisible());
        QVERIFY(!w->CmdSkip->isEnabled());
        QVERIFY2(w->lblCount1->text().startsWith(QStringLiteral("Migrating %1 items from ").arg(sources)),
                 qPrintable(w->lblCount1->text()));
        QCOMPARE(w->lblProgress->text(), QStringLiteral("100% Complete"));
        QCOMPARE(w->ProgressValue(), 100.0f);

        // Sources untouched without ChkDelete; the log beside the PST.
        QCOMPARE(FilesUnder(box, QString()).size(), sources);
        const QStringList log = LogLines(Output(QStringLiteral("single-out")) + QStringLiteral("/alice.log"));
        QVERIFY(!log.isEmpty());
        QCOMPARE(log[0], QStringLiteral("---- Log Starts -----"));

        // The PST, read back by three independent readers.
        const QString expected = tmp.filePath(QStringLiteral("single-expected.json"));
        QFile json(expected);
        QVERIFY(json.open(QIODevice::WriteOnly));
        json.write(R"({"folders": {
            "Inbox": {"messages": ["Welcome to the team", "Re: Quarterly report", "Grüße aus München",
                                   "Invoice 2024/001: due 10:30 <urgent>"]},
            "Inbox/Clients": ["Acme contract renewal"],
            "Sent Items": ["Lunch on Friday?"],
            "Contacts": {"contacts": [{"name": "Dana Reyes", "email": "dana@acme.example", "company": "Acme"},
                                      "Jürgen Müller", "Acme Corp - Sales", "Chiara Bianchi", "susan", "susan"]},
            "Calendar": {"appointments": ["Team meeting", "Company holiday", "Design review"]},
            "Tasks": {"tasks": ["File taxes", "Renew passport"]},
            "Notes": {"notes": ["Ideas & To-Dos", "Meeting Notes"]}},
          "options": {"extra_folders": "ignore", "extra_items": "ignore"}})");
        json.close();
        const ProcessResult judged =
            Judge({QStringLiteral("--strict"), QStringLiteral("--summary"),
                                                        QStringLiteral("--compare"), expected, pst});
        QVERIFY2(judged.status == 0, qPrintable(Problems(judged)));
        ExpectVerified(pst);

        // Closing returns to the single window with its folder.
        w->close();
        QVERIFY(start->SingleWindow()->isVisible());
        QCOMPARE(start->SingleWindow()->txtSourceMailbox->text(), Native(box));
    }

    void singleFlowConvertsAnArchiveAsItIs() {
        const QString archive = tmp.filePath(QStringLiteral("alice.tgz"));
        const ProcessResult packed = Run(QStringLiteral("/usr/bin/tar"),
                                         {QStringLiteral("--sort=name"), QStringLiteral("-czf"), archive,
                                          QStringLiteral("-C"), sample + QStringLiteral("/alice"), QStringLiteral(".")});
        QVERIFY2(packed.status == 0, qPrintable(packed.output));
        start->OptSingle->setChecked(true);
        start->CmdNext_Click();
        frmSingle* single = start->SingleWindow();
        rec.folderAnswers = {Native(archive)};
        single->CmdAddArchive->click();
        QCOMPARE(single->txtSourceMailbox->text(), Native(archive));
        single->CmdNext->click();
        frmMigateAll* w = single->MigrationWindow();
        QVERIFY(w);
        const QString pst = Output(QStringLiteral("archive-out")) + QStringLiteral("/alice.pst");
        rec.saveAnswers = {Native(pst)};
        w->CboLocale->setEditText(QStringLiteral("de-DE"));
        w->CmdStartConversion->click();
        // The mailbox is named after the archive, without its suffix.
        QCOMPARE(rec.saveProposals.size(), 1);
        QVERIFY2(rec.saveProposals[0].startsWith(QStringLiteral("alice")) &&
                     !rec.saveProposals[0].contains(QStringLiteral("tgz")),
                 qPrintable(rec.saveProposals[0]));
        QCOMPARE(rec.messages.size(), 1);
        QVERIFY2(rec.messages[0].text.contains(QStringLiteral("Converted Successfully")), qPrintable(rec.messages[0].text));
        // The count, known only once the archive is read, is the folder's.
        const int sources = FilesUnder(sample + QStringLiteral("/alice"), QString()).size();
        QVERIFY2(w->lblCount1->text().startsWith(QStringLiteral("Migrating %1 items from ").arg(sources)),
                 qPrintable(w->lblCount1->text()));
        const QString expected = tmp.filePath(QStringLiteral("archive-expected.json"));
        QFile json(expected);
        QVERIFY(json.open(QIODevice::WriteOnly));
        json.write(R"({"folders": {
            "Inbox/Clients": ["Acme contract renewal"],
            "Sent Items": ["Lunch on Friday?"],
            "Contacts": {"contacts": ["Dana Reyes", "Jürgen Müller", "Acme Corp - Sales", "Chiara Bianchi",
                                      "susan", "susan"]},
            "Notes": {"notes": ["Ideas & To-Dos", "Meeting Notes"]}},
          "options": {"extra_folders": "ignore", "extra_items": "ignore"}})");
        json.close();
        const ProcessResult judged = Judge({QStringLiteral("--summary"), QStringLiteral("--compare"), expected, pst});
        QVERIFY2(judged.status == 0, qPrintable(Problems(judged)));
        ExpectVerified(pst);
        // Every item carries the locale chosen in the window (PR_MESSAGE_LOCALE_ID).
        const ProcessResult locales = Run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral(
            "for py in \"$PST_INSPECT_PYPFF_PYTHON\" /usr/bin/python3 $(which -a python3); do "
            "[ -n \"$py\" ] && \"$py\" -c 'import pypff' 2>/dev/null && break; done; \"$py\" -c '\n"
            "import sys, pypff\n"
            "f = pypff.file(); f.open(sys.argv[1]); seen = set()\n"
            "def walk(d):\n"
            "    for k in range(d.number_of_sub_messages):\n"
            "        for e in d.get_sub_message(k).get_record_set(0).entries:\n"
            "            if e.entry_type == 0x3FF1: seen.add(e.data_as_integer)\n"
            "    for k in range(d.number_of_sub_folders): walk(d.get_sub_folder(k))\n"
            "walk(f.get_root_folder()); print(sorted(seen))' \"$0\""), pst});
        QCOMPARE(locales.output.trimmed(), QStringLiteral("[1031]"));
    }

    void multipleFlowListsArchivesAndFoldersOfPartsAsMailboxes() {
        const QString root = tmp.filePath(QStringLiteral("mixedroot"));
        QVERIFY(!Mailbox(QStringLiteral("bob"), QStringLiteral("bob"), QStringLiteral("mixedroot")).isEmpty());
        QDir().mkpath(root + QStringLiteral("/carol"));
        auto pack = [&](const QString& archive, const QString& from) {
            const ProcessResult packed = Run(QStringLiteral("/usr/bin/tar"),
                                             {QStringLiteral("-czf"), archive, QStringLiteral("-C"), from, QStringLiteral(".")});
            QVERIFY2(packed.status == 0, qPrintable(packed.output));
        };
        pack(root + QStringLiteral("/alice.tgz"), sample + QStringLiteral("/alice"));
        pack(root + QStringLiteral("/bob.tar.gz"), sample + QStringLiteral("/bob"));  // the folder's name: not listed
        pack(root + QStringLiteral("/carol/2024.tgz"), sample + QStringLiteral("/alice"));
        const QString out = Output(QStringLiteral("mixed-out"));
        frmMigateAll* w = OpenMultiple(root, {0, 1, 2}, out);
        QVERIFY(w);
        QTreeWidget* lv = start->MultipleWindow()->lv;
        QCOMPARE(lv->topLevelItemCount(), 3);
        QCOMPARE(lv->topLevelItem(0)->text(0), QStringLiteral("alice"));
        QCOMPARE(lv->topLevelItem(0)->text(1), Native(root + QStringLiteral("/alice.tgz")));
        QCOMPARE(lv->topLevelItem(2)->text(0), QStringLiteral("carol"));
        QCOMPARE(rec.messages.size(), 1);  // bob.tar.gz named as not listed
        QVERIFY2(rec.messages[0].text.contains(QStringLiteral("bob.tar.gz")), qPrintable(rec.messages[0].text));
        w->CmdStartConversion->click();
        QCOMPARE(rec.messages.size(), 2);
        QVERIFY2(rec.messages[1].text.contains(QStringLiteral("Converted Successfully")), qPrintable(rec.messages[1].text));
        for (const char* name : {"alice", "bob", "carol"}) ExpectVerified(out + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".pst"));
        w->close();
    }

    void singleFlowSaveDialogCancelled() {
        const QString box = Mailbox(QStringLiteral("bob"), QStringLiteral("bob"), QStringLiteral("cancel"));
        frmMigateAll* w = OpenSingle(box);
        w->CmdStartConversion->click();  // no save answer: cancelled
        QCOMPARE(rec.saveProposals.size(), 1);
        QVERIFY(w->IsUnloaded());
        QVERIFY(!w->isVisible());
        QVERIFY(FilesUnder(tmp.filePath(QStringLiteral("cancel")), QStringLiteral(".pst")).isEmpty());
        QVERIFY(FilesUnder(tmp.filePath(QStringLiteral("cancel")), QStringLiteral(".log")).isEmpty());
        QVERIFY(start->SingleWindow()->isVisible());
    }

    void existingPstIsNeverOverwritten() {
        const QString box = Mailbox(QStringLiteral("bob"), QStringLiteral("bob"), QStringLiteral("exists"));
        const QString pst = Output(QStringLiteral("exists-out")) + QStringLiteral("/bob.pst");
        const QByteArray earlier("an earlier file the user keeps");
        {
            QFile f(pst);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(earlier);
        }
        frmMigateAll* w = OpenSingle(box);
        rec.saveAnswers = {Native(pst)};
        w->CmdStartConversion->click();
        // The store refuses the path; the user is told, and the file is as it was.
        QVERIFY(!rec.messages.isEmpty());
        QCOMPARE(rec.messages[0].title, QStringLiteral("Outlook Error"));
        QFile f(pst);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), earlier);
        // Sources stay.
        QVERIFY(!FilesUnder(box, QStringLiteral(".eml")).isEmpty());
    }

    void emptyMailboxFolder() {
        const QString box = tmp.filePath(QStringLiteral("empty/nobody"));
        QDir().mkpath(box);
        frmMigateAll* w = OpenSingle(box);
        w->CmdStartConversion->click();
        QVERIFY(rec.saveProposals.isEmpty());  // nothing to convert: no PST asked for
        QVERIFY2(w->lblCount1->text().startsWith(QStringLiteral("Migrating 0 items from ")), qPrintable(w->lblCount1->text()));
        QCOMPARE(rec.messages.size(), 1);
        QCOMPARE(rec.messages[0].title, QStringLiteral("Orvandel"));
        QVERIFY(!w->CmdStopMigration->isVisible());
    }

    void skipAnsweredNoThenYesDuringAMultipleRun() {
        Mailbox(QStringLiteral("alice"), QStringLiteral("alice"), QStringLiteral("skiproot"));
        Mailbox(QStringLiteral("bob"), QStringLiteral("bob"), QStringLiteral("skiproot"));
        const QString out = Output(QStringLiteral("skip-out"));
        frmMigateAll* w = OpenMultiple(tmp.filePath(QStringLiteral("skiproot")), {0, 1}, out);
        QVERIFY(w);
        int presses = 0;
        QStringList titles;
        QString progressAtSkip;
        // The first question is answered No, the second Yes.
        rec.yesNoAnswers = {false, true};
        rec.onQuestion = [&](const wizardtest::Asked&) { titles << w->windowTitle(); };
        connect(w, &frmMigateAll::progressChanged, w, [&](float value) {
            if (!w->windowTitle().startsWith(QStringLiteral("Migrating 1 of 2"))) return;
            if ((presses == 0 && value > 10) || (presses == 1 && value > 40 && rec.questions.size() == 1)) {
                ++presses;
                ClickSoon(w->CmdSkip);
            }
            if (w->lblProgress->text().startsWith(QStringLiteral("Skipped... at "))) progressAtSkip = w->lblProgress->text();
        });
        w->CmdStartConversion->click();

        QCOMPARE(rec.questions.size(), 2);
        for (const auto& q : rec.questions) {
            QCOMPARE(q.title, QStringLiteral("Confirm Skip"));
            QCOMPARE(q.text, kSkipText);
        }
        QCOMPARE(titles, (QStringList{QStringLiteral("Migrating 1 of 2 Mailboxes"), QStringLiteral("Migrating 1 of 2 Mailboxes")}));
        QCOMPARE(w->windowTitle(), QStringLiteral("Migrating 2 of 2 Mailboxes"));
        // Both mailboxes have their PST: the skipped one holds what was written before the skip.
        QVERIFY(QFileInfo(out + QStringLiteral("/alice.pst")).isFile());
        QVERIFY(QFileInfo(out + QStringLiteral("/bob.pst")).isFile());
        QCOMPARE(rec.messages.size(), 1);
        QCOMPARE(rec.messages[0].title, QStringLiteral("Orvandel"));
        // The rows converted were drawn green and bold.
        QTreeWidget* lv = start->MultipleWindow()->lv;
        QCOMPARE(lv->topLevelItem(0)->foreground(0).color(), QColor(0, 128, 0));
        QVERIFY(lv->topLevelItem(1)->font(0).bold());
        const ProcessResult judged =
            Judge({QStringLiteral("--strict"), QStringLiteral("--summary"),
                                                        out + QStringLiteral("/alice.pst")});
        QVERIFY2(judged.status == 0, qPrintable(Problems(judged)));
        ExpectVerified(out + QStringLiteral("/alice.pst"));
        ExpectVerified(out + QStringLiteral("/bob.pst"));
        w->close();
    }

    void stopAnsweredNoThenYesDuringTheSecondOfThree() {
        const QString root = QStringLiteral("stoproot");
        Mailbox(QStringLiteral("alice"), QStringLiteral("a-alice"), root);
        Mailbox(QStringLiteral("bob"), QStringLiteral("b-bob"), root);
        Mailbox(QStringLiteral("alice"), QStringLiteral("c-carol"), root);
        const QString out = Output(QStringLiteral("stop-out"));
        frmMigateAll* w = OpenMultiple(tmp.filePath(root), {0, 1, 2}, out);
        QVERIFY(w);
        int presses = 0;
        rec.yesNoAnswers = {false, true};
        connect(w, &frmMigateAll::progressChanged, w, [&](float value) {
            if (!w->windowTitle().startsWith(QStringLiteral("Migrating 2 of 3"))) return;
            if ((presses == 0 && value > 10) || (presses == 1 && value > 40 && rec.questions.size() == 1)) {
                ++presses;
                ClickSoon(w->CmdStopMigration);
            }
        });
        w->CmdStartConversion->click();

        QCOMPARE(rec.questions.size(), 2);
        for (const auto& q : rec.questions) {
            QCOMPARE(q.title, QStringLiteral("Confirm Stop"));
            QCOMPARE(q.text, kStopText);
        }
        // The window is unloaded, the third mailbox never started, the completion box shown.
        QVERIFY(w->IsUnloaded());
        QVERIFY(!w->isVisible());
        QVERIFY(QFileInfo(out + QStringLiteral("/a-alice.pst")).isFile());
        QVERIFY(QFileInfo(out + QStringLiteral("/b-bob.pst")).isFile());
        QVERIFY(!QFileInfo::exists(out + QStringLiteral("/c-carol.pst")));
        QCOMPARE(rec.messages.size(), 1);
        QCOMPARE(rec.messages[0].title, QStringLiteral("Orvandel"));
        // The stopped mailbox's PST keeps what was written, readable by every reader.
        const ProcessResult judged =
            Judge({QStringLiteral("--strict"), QStringLiteral("--summary"),
                                                        out + QStringLiteral("/b-bob.pst")});
        QVERIFY2(judged.status == 0, qPrintable(Problems(judged)));
        ExpectVerified(out + QStringLiteral("/b-bob.pst"));
        // The multiple window is usable again and keeps its rows.
        QVERIFY(start->MultipleWindow()->isVisible());
        QCOMPARE(start->MultipleWindow()->lv->topLevelItemCount(), 3);
    }

    void closeBoxDuringARunCommitsThePst() {
        const QString box = Mailbox(QStringLiteral("alice"), QStringLiteral("alice"), QStringLiteral("close"));
        const QString pst = Output(QStringLiteral("close-out")) + QStringLiteral("/closed.pst");
        frmMigateAll* w = OpenSingle(box);
        rec.saveAnswers = {Native(pst)};
        bool closed = false;
        int progressAfterClose = 0;
        connect(w, &frmMigateAll::progressChanged, w, [&](float value) {
            if (closed) ++progressAfterClose;
            if (!closed && value > 30) {
                closed = true;
                QTimer::singleShot(0, w, [w] { w->close(); });
            }
        });
        w->CmdStartConversion->click();
        QVERIFY(closed);
        QVERIFY(w->IsUnloaded());
        QVERIFY(w->IsFinished());
        // The run ended soon after the close, not at the end of the mailbox.
        QVERIFY2(progressAfterClose <= 2, qPrintable(QString::number(progressAfterClose)));
        QVERIFY(QFileInfo(pst).isFile());
        ExpectVerified(pst);
        const ProcessResult judged =
            Judge({QStringLiteral("--reader"), QStringLiteral("pypff"),
                                                        QStringLiteral("--summary"), pst});
        QVERIFY2(judged.status == 0, qPrintable(Problems(judged)));
        QVERIFY(start->SingleWindow()->isVisible());
    }

    void deleteSourceTickedDuringARun() {
        const QString box = Mailbox(QStringLiteral("bob"), QStringLiteral("bob"), QStringLiteral("delete"));
        const QStringList emlBefore = FilesUnder(box, QStringLiteral(".eml"));
        QVERIFY(!emlBefore.isEmpty());
        const QString outDir = Output(QStringLiteral("delete-out"));
        frmMigateAll* w = OpenSingle(box);
        rec.saveAnswers = {Native(outDir + QStringLiteral("/bob.pst"))};
        bool ticked = false;
        connect(w, &frmMigateAll::progressChanged, w, [&](float) {
            if (ticked) return;
            ticked = true;
            QTimer::singleShot(0, w->ChkDelete, [w] { w->ChkDelete->click(); });
        });
        w->CmdStartConversion->click();
        QVERIFY(w->ChkDelete->isChecked());
        // Every message still on disk is one whose import failed and was logged.
        const QStringList emlAfter = FilesUnder(box, QStringLiteral(".eml"));
        QVERIFY(emlAfter.size() < emlBefore.size());
        QSet<QString> bad;
        for (const QString& line : LogLines(outDir + QStringLiteral("/bob.log")))
            if (line.startsWith(QStringLiteral("BAD : "))) {
                QString path = line.mid(6);  // the reason follows a message's name in parentheses
                if (const auto end = path.indexOf(QStringLiteral(".eml (")); end >= 0) path.truncate(end + 4);
                bad.insert(QFileInfo(path).canonicalFilePath());
            }
        for (const QString& left : emlAfter) QVERIFY2(bad.contains(QFileInfo(left).canonicalFilePath()), qPrintable(left));
        ExpectVerified(outDir + QStringLiteral("/bob.pst"));
    }

    void screenshotOption() {
#ifdef ORVANDEL_BINARY
        const QString dir = tmp.filePath(QStringLiteral("shots"));
        const ProcessResult r = Run(QStringLiteral(ORVANDEL_BINARY), {QStringLiteral("--screenshot"), dir}, 120000);
        QVERIFY2(r.status == 0, qPrintable(r.output));
        for (const char* name : {"frmStart", "frmSingle", "frmMultiple", "frmMigateAll", "frmMigateAll-running"}) {
            QImage image(dir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png"));
            QVERIFY2(!image.isNull(), name);
        }
        QCOMPARE(QImage(dir + QStringLiteral("/frmStart.png")).size(), QSize(706, 472));
        QCOMPARE(QImage(dir + QStringLiteral("/frmMigateAll.png")).size(), QSize(642, 284));
#else
        QSKIP("the orvandel binary is not part of this build");
#endif
    }
};

QTEST_MAIN(WizardRunTest)
#include "tst_wizard_run.moc"
