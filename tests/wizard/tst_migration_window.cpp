// The migration window as a view, driven by a scripted controller: control
// texts at load, what the engine's view calls do to the controls, the dialogs,
// and that Start, Skip, Stop and the close box behave during a run that yields.
#include <QElapsedTimer>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "WizardTestSupport.h"
#include "wizard/frmMigateAll.h"
#include "wizard/frmSingle.h"
#include "wizard/frmStart.h"

using namespace wizard;
using wizardtest::DialogRecorder;

namespace {

// A controller that records the window's events and runs a script as its run.
struct ScriptedDriver : MigrationDriver {
    engine::MigrationView& view;
    std::function<void(engine::MigrationView&)> run;
    int loads = 0, starts = 0, skips = 0, stops = 0, closes = 0;
    explicit ScriptedDriver(engine::MigrationView& v) : view(v) {}
    void Form_Load() override { ++loads; }
    void CmdStartConversion_Click() override {
        ++starts;
        if (run) run(view);
    }
    void CmdSkip_Click() override { ++skips; }
    void CmdStopMigration_Click() override { ++stops; }
    void WindowClosed() override { ++closes; }
};

}  // namespace

class MigrationWindowTest : public QObject {
    Q_OBJECT

private:
    DialogRecorder rec;
    ScriptedDriver* driver = nullptr;
    std::function<void(engine::MigrationView&)> script;
    DriverFactory saved;

    std::unique_ptr<frmMigateAll> MakeWindow() {
        auto w = std::make_unique<frmMigateAll>(nullptr, [] {
            engine::MigrationSettings s;
            s.SourceMailboxFolder = "/x/jdoe";
            return s;
        });
        w->ShowModal();
        return w;
    }

private Q_SLOTS:
    void init() {
        rec = DialogRecorder{};
        rec.Install();
        saved = MigrationDriverFactory();
        script = nullptr;
        MigrationDriverFactory() = [this](engine::MigrationView& view) {
            auto d = std::make_unique<ScriptedDriver>(view);
            d->run = [this](engine::MigrationView& v) {
                if (script) script(v);
            };
            driver = d.get();
            return d;
        };
    }
    void cleanup() {
        MigrationDriverFactory() = saved;
        DialogRecorder::Uninstall();
    }

    void loadState() {
        auto w = MakeWindow();
        QCOMPARE(driver->loads, 1);
        QCOMPARE(w->windowTitle(), QStringLiteral("Migration Status"));
        QCOMPARE(w->size(), QSize(642, 284));
        QCOMPARE(w->windowModality(), Qt::ApplicationModal);
        QCOMPARE(w->lblCount1->text(), QStringLiteral("Migration Not Started Yet..."));
        QCOMPARE(w->lblProgress->text(), QStringLiteral("0% Complete"));
        QCOMPARE(w->LblCurrentDBX->text(), QStringLiteral("Migrating Messages..."));
        QCOMPARE(w->FrameConversion->title(), QStringLiteral(" Details "));
        QCOMPARE(w->ProgressBar1->value(), 0);
        QCOMPARE(w->CmdSkip->text(), QStringLiteral("X"));
        QVERIFY(!w->CmdSkip->isEnabled());
        QCOMPARE(w->CmdSkip->toolTip(), QStringLiteral("Cancel Migration of Current Mailbox"));
        QVERIFY(w->CmdStartConversion->isEnabled());
        QVERIFY(w->CmdStartConversion->isVisible());
        QCOMPARE(w->CmdStartConversion->text(), QStringLiteral("Sta&rt Migration"));
        QVERIFY(!w->CmdStopMigration->isVisible());
        QCOMPARE(w->CmdStopMigration->text(), QStringLiteral("S&top Migration"));
        QCOMPARE(w->CmdStopMigration->toolTip(), QStringLiteral("Stops Complete Migration"));
        QCOMPARE(w->CmdStopMigration->geometry(), w->CmdStartConversion->geometry());
        QCOMPARE(w->CmdStartConversion->geometry(), QRect(240, 240, 161, 37));
        QVERIFY(!w->ChkDelete->isChecked());
        QCOMPARE(w->ChkDelete->text(), QStringLiteral("Delete Source file(s), during conversion..."));
        QCOMPARE(w->ChkDelete->palette().color(QPalette::WindowText), QColor(128, 0, 0));
        QCOMPARE(w->LblCurrentDBX->palette().color(QPalette::WindowText), QColor(128, 128, 128));
        QVERIFY(w->lblCount1->font().bold());
        QCOMPARE(w->lblCount1->font().pointSizeF(), 9.75);
    }

    void viewCallsReachTheControls() {
        auto w = MakeWindow();
        engine::MigrationView& v = *w;
        v.SetLabel(engine::Label::lblCount1, "Migrating 12 items from /x/jdoe/");
        v.SetLabel(engine::Label::lblProgress, "50% Complete");
        v.SetLabel(engine::Label::LblCurrentDBX, "Converting Messages... from (/x/jdoe/Inbox/1.eml)");
        v.SetLabel(engine::Label::FrameConversion, "Reading Messages && Metadata (Pass I) - (6 of 12) Zimbra Mailbox File(s)");
        v.SetLabel(engine::Label::WindowTitle, "Migrating 1 of 5 Mailboxes");
        QCOMPARE(w->lblCount1->text(), QStringLiteral("Migrating 12 items from /x/jdoe/"));
        QCOMPARE(w->lblProgress->text(), QStringLiteral("50% Complete"));
        // Shown with break opportunities after the separators, the text otherwise as given.
        QCOMPARE(w->LblCurrentDBX->text().remove(QChar(0x200B)),
                 QStringLiteral("Converting Messages... from (/x/jdoe/Inbox/1.eml)"));
        QCOMPARE(w->FrameConversion->title(),
                 QStringLiteral("Reading Messages && Metadata (Pass I) - (6 of 12) Zimbra Mailbox File(s)"));
        QCOMPARE(w->windowTitle(), QStringLiteral("Migrating 1 of 5 Mailboxes"));
        // Non-ASCII text arrives as UTF-8.
        v.SetLabel(engine::Label::LblCurrentDBX, "Converting Messages... from (/x/J\xC3\xBCrgen/1.eml)");
        w->ShowPending();  // within the repaint interval of the last: waits until then
        QVERIFY(w->LblCurrentDBX->text().contains(QStringLiteral("J\u00FCrgen")));

        v.SetProgressRange(0, 100);
        v.SetProgress(33.3f);
        w->ShowPending();
        QCOMPARE(w->ProgressBar1->value(), 3330);
        QCOMPARE(w->ProgressValue(), 33.3f);
        v.SetProgress(100.0f);
        w->ShowPending();
        QCOMPARE(w->ProgressBar1->value(), w->ProgressBar1->maximum());

        v.SetButtonVisible(engine::Button::CmdStopMigration, true);
        QVERIFY(w->CmdStopMigration->isVisible());
        v.SetButtonEnabled(engine::Button::CmdSkip, true);
        QVERIFY(w->CmdSkip->isEnabled());
        v.SetButtonEnabled(engine::Button::CmdStartConversion, false);
        QVERIFY(!w->CmdStartConversion->isEnabled());

        QVERIFY(!v.DeleteSourceChecked());
        w->ChkDelete->setChecked(true);
        QVERIFY(v.DeleteSourceChecked());

        rec.yesNoAnswers = {true, false};
        QVERIFY(v.AskYesNo("Confirm Skip", "Do you really want to \"Skip\" migration of this mailbox ?"));
        QVERIFY(!v.AskYesNo("Confirm Stop", "x"));
        QCOMPARE(rec.questions[0].title, QStringLiteral("Confirm Skip"));
        QCOMPARE(rec.questions[0].text, QStringLiteral("Do you really want to \"Skip\" migration of this mailbox ?"));

        v.ShowMessage("Outlook Error", "line 1\r\nline 2", engine::MessageIcon::Information);
        QCOMPARE(rec.messages.last().title, QStringLiteral("Outlook Error"));
        QCOMPARE(rec.messageIcons.last(), QMessageBox::Information);

        rec.saveAnswers = {QStringLiteral("/tmp/chosen.pst")};
        auto chosen = v.AskSavePath("Outlook Data File(s) (*.pst)|*.pst", "jdoe7.12.26 9.5.03.pst");
        QVERIFY(chosen.has_value());
        QCOMPARE(QString::fromStdString(*chosen), QStringLiteral("/tmp/chosen.pst"));
        QCOMPARE(rec.saveFilters.last(), QStringLiteral("Outlook Data File(s) (*.pst)"));
        QCOMPARE(rec.saveProposals.last(), QStringLiteral("jdoe7.12.26 9.5.03.pst"));
        QVERIFY(!v.AskSavePath("Outlook Data File(s) (*.pst)|*.pst", "x.pst").has_value());

        QCOMPARE(QString::fromStdString(v.ReadSettings().SourceMailboxFolder), QStringLiteral("/x/jdoe"));
        QVERIFY(!v.IsUnloaded());
        v.Unload();
        QVERIFY(v.IsUnloaded());
        QVERIFY(!w->isVisible());
    }

    // A run sets the labels and the bar for every file; the window shows them
    // about 20 times a second, and the last state always.
    void progressIsShownAtMostTwentyTimesASecond() {
        auto w = MakeWindow();
        engine::MigrationView& v = *w;
        v.SetProgressRange(0, 100);
        int barChanges = 0, labelChanges = 0;
        connect(w->ProgressBar1, &QProgressBar::valueChanged, w.get(), [&] { ++barChanges; });
        QString last = w->lblProgress->text();
        QElapsedTimer clock;
        clock.start();
        const int files = 20000;
        for (int i = 1; i <= files; ++i) {
            v.SetProgress(100.0f * float(i) / files);
            v.SetLabel(engine::Label::lblProgress, std::to_string(i) + " done");
            if (w->lblProgress->text() != last) ++labelChanges, last = w->lblProgress->text();
            if (i % 100 == 0) v.Yield();
        }
        const int allowed = int(clock.elapsed() / frmMigateAll::kShowEveryMs) + 2;
        QVERIFY2(barChanges <= allowed && labelChanges <= allowed,
                 qPrintable(QStringLiteral("%1 bar and %2 label changes in %3 ms").arg(barChanges).arg(labelChanges).arg(clock.elapsed())));
        w->ShowPending();
        QCOMPARE(w->lblProgress->text(), QStringLiteral("20000 done"));
        QCOMPARE(w->ProgressBar1->value(), w->ProgressBar1->maximum());
    }

    void startCannotRunTwice() {
        auto w = MakeWindow();
        frmMigateAll* window = w.get();
        int nested = 0;
        script = [&](engine::MigrationView& v) {
            for (int i = 0; i < 5; ++i) {
                v.Yield();
                // A second press while the first run is in progress.
                window->CmdStartConversion_Click();
                QTest::mouseClick(window->CmdStartConversion, Qt::LeftButton);
                ++nested;
            }
            // The engine may enable Start at the end of a mailbox; while the run lasts it stays off.
            v.SetButtonEnabled(engine::Button::CmdStartConversion, true);
            QVERIFY(!window->CmdStartConversion->isEnabled());
        };
        QVERIFY(!w->IsRunning());
        w->CmdStartConversion->click();
        QCOMPARE(nested, 5);
        QCOMPARE(driver->starts, 1);
        QVERIFY(!w->IsRunning());
        // After the run the window is ready for another.
        QVERIFY(w->CmdStartConversion->isEnabled());
        w->CmdStartConversion->click();
        QCOMPARE(driver->starts, 2);
    }

    void skipStopAndDeleteActDuringARun() {
        auto w = MakeWindow();
        frmMigateAll* window = w.get();
        QStringList seen;
        script = [&](engine::MigrationView& v) {
            v.SetButtonEnabled(engine::Button::CmdSkip, true);
            v.SetButtonVisible(engine::Button::CmdStopMigration, true);
            // Clicks queued as a user's would be, then the run yields.
            QTimer::singleShot(0, window->CmdSkip, [window] { window->CmdSkip->click(); });
            QTimer::singleShot(0, window->ChkDelete, [window] { window->ChkDelete->click(); });
            QTimer::singleShot(0, window->CmdStopMigration, [window] { window->CmdStopMigration->click(); });
            for (int i = 0; i < 50 && (driver->skips == 0 || driver->stops == 0); ++i) v.Yield();
            seen << (v.DeleteSourceChecked() ? "delete" : "keep");
        };
        w->CmdStartConversion->click();
        QCOMPARE(driver->skips, 1);
        QCOMPARE(driver->stops, 1);
        QCOMPARE(seen, QStringList{"delete"});
    }

    void closeBoxDuringARunEndsItAtTheNextCheck() {
        frmStart start;
        start.show();
        start.CmdNext_Click();
        frmSingle* single = start.SingleWindow();
        rec.folderAnswers = {QStringLiteral("/x/jdoe")};
        single->CmdAddFolder->click();
        single->CmdNext->click();
        frmMigateAll* window = single->MigrationWindow();
        QVERIFY(window);
        int checks = 0;
        bool singleSurvived = false;
        script = [&](engine::MigrationView& v) {
            QTimer::singleShot(0, window, [window] { window->close(); });
            while (!v.IsUnloaded() && checks < 100) {
                v.Yield();
                ++checks;
            }
            // The owner cannot go away while the run is still returning.
            single->close();
            v.Yield();
            singleSurvived = single->isVisible();
        };
        window->CmdStartConversion->click();
        QVERIFY(checks < 100);
        QCOMPARE(driver->closes, 1);
        QVERIFY(window->IsUnloaded());
        QVERIFY(window->IsFinished());
        QVERIFY(!window->isVisible());
        QVERIFY(singleSurvived);
        QVERIFY(single->isVisible());
        // The next Next gives a fresh window.
        single->CmdNext->click();
        QVERIFY(single->MigrationWindow() != window || !single->MigrationWindow()->IsUnloaded());
        QVERIFY(!single->MigrationWindow()->IsUnloaded());
        single->MigrationWindow()->close();
    }

    // The item locale takes what convert --locale takes; a wrong one starts nothing,
    // and a run reads the one it was started with, whatever is typed meanwhile.
    void localeIsCheckedAtStartAndHeldForTheRun() {
        auto w = MakeWindow();
        frmMigateAll* window = w.get();
        QCOMPARE(w->CboLocale->currentText(), QStringLiteral("en-US"));
        QList<int> seen;
        script = [&](engine::MigrationView& v) {
            QVERIFY(!window->CboLocale->isEnabled());
            window->CboLocale->setCurrentText(QStringLiteral("fr-FR"));
            seen << v.ReadSettings().LocaleId;
            v.SetButtonEnabled(engine::Button::CmdStartConversion, true);  // as the engine does at the end
        };
        w->CmdStartConversion->click();
        w->CboLocale->setEditText(QStringLiteral("Klingon"));
        w->CmdStartConversion->click();
        QCOMPARE(driver->starts, 1);
        QCOMPARE(rec.messages.size(), 1);
        QVERIFY2(rec.messages[0].text.contains(QStringLiteral("\"Klingon\" is not a locale")), qPrintable(rec.messages[0].text));
        QCOMPARE(rec.messageIcons[0], QMessageBox::Warning);
        w->CboLocale->setEditText(QStringLiteral(" pt_BR "));
        w->CmdStartConversion->click();
        QCOMPARE(driver->starts, 2);
        QCOMPARE(seen, (QList<int>{1033, 1046}));
        QVERIFY(w->CboLocale->isEnabled());
    }

    void escapeClosesLikeTheCloseBox() {
        auto w = MakeWindow();
        QTest::keyClick(w.get(), Qt::Key_Escape);
        QVERIFY(w->IsUnloaded());
        QCOMPARE(driver->closes, 1);
    }
};

QTEST_MAIN(MigrationWindowTest)
#include "tst_migration_window.moc"
