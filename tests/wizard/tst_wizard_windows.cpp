// The wizard windows without a migration run: start window, single and
// multiple mailbox steps, shell services, the exit confirmation.
#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>

#include "WizardTestSupport.h"
#include "wizard/Look.h"
#include "wizard/frmMigateAll.h"
#include "wizard/frmMultiple.h"
#include "wizard/frmSingle.h"
#include "wizard/frmStart.h"

using namespace wizard;
using wizardtest::DialogRecorder;
using wizardtest::Native;

class WizardWindowsTest : public QObject {
    Q_OBJECT

private:
    DialogRecorder rec;
    frmStart* start = nullptr;
    QTemporaryDir tmp;

    QString MakeRoot(const QString& name, const QStringList& boxes) {
        const QString root = tmp.filePath(name);
        QDir().mkpath(root);
        for (const QString& b : boxes) QDir().mkpath(root + QLatin1Char('/') + b);
        return root;
    }
    frmMultiple* OpenMultiple() {
        start->OptMultiple->setChecked(true);
        start->CmdNext_Click();
        return start->MultipleWindow();
    }
    static QStringList Column(QTreeWidget* lv, int column) {
        QStringList out;
        for (int i = 0; i < lv->topLevelItemCount(); ++i) out << lv->topLevelItem(i)->text(column);
        return out;
    }
    // Each control is followed in the focus chain by the next one, once the
    // control's own parts (a list's viewport and scroll bars) are passed.
    static void ExpectTabOrder(const QList<QWidget*>& order) {
        for (int i = 0; i + 1 < order.size(); ++i) {
            QWidget* next = order[i]->nextInFocusChain();
            while (next != order[i] && (order[i]->isAncestorOf(next) || !(next->focusPolicy() & Qt::TabFocus)))
                next = next->nextInFocusChain();
            QVERIFY2(next == order[i + 1], qPrintable(order[i]->metaObject()->className() + QStringLiteral(" at ") +
                                                       QString::number(i)));
        }
    }

private Q_SLOTS:
    void init() {
        QVERIFY(tmp.isValid());
        start = wizardtest::ShowStartWindow(rec);
    }
    void cleanup() { wizardtest::CloseStartWindow(start); }

    void startWindowInitialState() {
        QCOMPARE(start->windowTitle(), QStringLiteral("Kestrune Orvandel v7.4"));
        QCOMPARE(start->size(), QSize(706, 472));
        QVERIFY(!(start->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(start->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(start->IsSingleMode());
        QVERIFY(start->OptSingle->isChecked());
        QVERIFY(!start->OptMultiple->isChecked());
        QVERIFY(start->OptSingle->font().bold());
        QVERIFY(!start->OptMultiple->font().bold());
        QCOMPARE(start->Frame1->title(), QStringLiteral(" I want to convert "));
        QCOMPARE(start->CmdNext->text(), QStringLiteral("&Next >"));
        QCOMPARE(start->CmdHelp->text(), QStringLiteral("&Help Manual"));
        QCOMPARE(start->lblTitle->palette().color(QPalette::WindowText), QColor(192, 0, 0));
        QVERIFY(start->lblTitle->font().bold());
        QCOMPARE(start->lblTitle->font().pointSizeF(), 14.25);
        QVERIFY(!start->lblCopyright->text().isEmpty());
        QCOMPARE(start->lblSingleHelp->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QCOMPARE(start->lblSingleHelp->toolTip(), QStringLiteral("What's This - Click to Know More"));
        QCOMPARE(start->lblSingleHelp->cursor().shape(), Qt::PointingHandCursor);
        // Positions in twips / 15.
        QCOMPARE(start->CmdNext->geometry(), QRect(576, 440, 113, 26));
        QCOMPARE(start->Frame1->geometry(), QRect(16, 112, 673, 265));
        QCOMPARE(start->OptMultiple->geometry().topLeft(), QPoint(16, 120));
        ExpectTabOrder({start->OptMultiple, start->OptSingle, start->CmdNext, start->CmdHelp});
        // The header band is white under the title.
        const QImage shot = start->grab().toImage();
        QCOMPARE(QColor(shot.pixel(600, 20)), QColor(255, 255, 255));
        QCOMPARE(QColor(shot.pixel(400, 460)), QColor(255, 255, 255));
    }

    void boldFaceFollowsTheChoice() {
        start->OptMultiple->click();
        QVERIFY(!start->IsSingleMode());
        QVERIFY(start->OptMultiple->font().bold());
        QVERIFY(!start->OptSingle->font().bold());
        start->OptSingle->click();
        QVERIFY(start->IsSingleMode());
        QVERIFY(start->OptSingle->font().bold());
        QVERIFY(!start->OptMultiple->font().bold());
    }

    void helpLinksOpenShippedPages() {
        start->CmdHelp->click();
        QTest::mouseClick(start->lblSingleHelp, Qt::LeftButton);
        QTest::mouseClick(start->lblMultipleHelp, Qt::LeftButton);
        start->CmdNext_Click();
        QTest::mouseClick(start->SingleWindow()->lblSingleMailbox, Qt::LeftButton);
        start->SingleWindow()->close();
        frmMultiple* multiple = OpenMultiple();
        QTest::mouseClick(multiple->lblSelectRootFolder, Qt::LeftButton);
        frmMigateAll migration(nullptr, [] { return engine::MigrationSettings{}; });
        QTest::mouseClick(migration.lblDeleteHelp, Qt::LeftButton);

        const QStringList tails = {"/orvandel/index.html", "/orvandel/help/single-mailbox.html",
                                   "/orvandel/help/multiple-migration.html", "/orvandel/help/select-tgz-folder.html",
                                   "/orvandel/help/select-root-folder.html", "/orvandel/help/delete-source.html"};
        QCOMPARE(rec.urls.size(), tails.size());
        for (int i = 0; i < tails.size(); ++i) {
            QVERIFY2(rec.urls[i].startsWith(HelpSite()), qPrintable(rec.urls[i]));
            QVERIFY2(rec.urls[i].endsWith(tails[i]), qPrintable(rec.urls[i]));
            // Every page ships with the program: it works offline.
            const QUrl url(rec.urls[i]);
            QVERIFY(url.isLocalFile());
            QVERIFY2(QFileInfo(url.toLocalFile()).isFile(), qPrintable(url.toLocalFile()));
        }
        QVERIFY(!HelpSite().endsWith(QLatin1Char('/')));
    }

    void openUrlWithEmptyAddressDoesNothing() {
        OpenURL(QString());
        QVERIFY(rec.urls.isEmpty());
        OpenURL(QStringLiteral("https://example.org/x"));
        QCOMPARE(rec.urls, QStringList{QStringLiteral("https://example.org/x")});
    }

    void desktopFolderIsAFolder() {
        const QString desktop = SpecialFolderPath();
        QVERIFY(!desktop.isEmpty());
        QVERIFY(QFileInfo(desktop).isDir());
    }

    void exitConfirmationNo() {
        rec.yesNoAnswers = {false};
        start->close();
        QVERIFY(start->isVisible());
        QCOMPARE(rec.questions.size(), 1);
        QCOMPARE(rec.questions[0].title, QStringLiteral("Kestrune Orvandel"));
        QCOMPARE(rec.questions[0].text, QStringLiteral("Are you sure you want to exit now?"));
        QVERIFY(rec.exits.isEmpty());
    }

    void exitConfirmationYesEvenWithOtherWindowsLoaded() {
        frmMultiple* multiple = OpenMultiple();
        multiple->cmdBack_Click();  // hidden, still loaded
        QVERIFY(start->isVisible());
        rec.yesNoAnswers = {true};
        start->close();
        QCOMPARE(rec.exits, QList<int>{0});
        QVERIFY(!start->isVisible());
        // No other window's close handler ran: the multiple window was not unloaded.
        QVERIFY(start->MultipleWindow() != nullptr);
        QCOMPARE(rec.questions.size(), 1);
    }

    void singleWindowIsModalOverTheStartWindow() {
        start->CmdNext_Click();
        frmSingle* single = start->SingleWindow();
        QVERIFY(single);
        QVERIFY(single->isVisible());
        QVERIFY(start->isVisible());
        QCOMPARE(single->windowModality(), Qt::ApplicationModal);
        QCOMPARE(QApplication::activeModalWidget(), single);
        QCOMPARE(single->windowTitle(), QStringLiteral("Single Mailbox Migration Mode"));
        QCOMPARE(single->size(), QSize(579, 250));
        QVERIFY(single->txtSourceMailbox->text().isEmpty());
        QVERIFY(single->txtSourceMailbox->isReadOnly());
        QVERIFY(!single->CmdNext->isEnabled());
        QCOMPARE(single->Shape3->geometry(), QRect(16, 64, 545, 33));
        ExpectTabOrder({single->CmdAddFolder, single->CmdAddArchive, single->CmdNext, single->txtSourceMailbox});

        // Cancel on a fresh window: nothing changes.
        single->CmdAddFolder->click();
        QCOMPARE(rec.folderTitles, QStringList{QStringLiteral("Choose Source Folder...")});
        QVERIFY(!single->CmdNext->isEnabled());
        // A choice fills the box exactly as chosen and enables Next.
        const QString box = Native(MakeRoot(QStringLiteral("single"), {QStringLiteral("jdoe")}) + "/jdoe");
        rec.folderAnswers = {box};
        single->CmdAddFolder->click();
        QCOMPARE(single->txtSourceMailbox->text(), box);
        QVERIFY(single->CmdNext->isEnabled());
        // Cancel after a choice keeps it; a root keeps its separator.
        single->CmdAddFolder->click();
        QCOMPARE(single->txtSourceMailbox->text(), box);
        rec.folderAnswers = {QDir::rootPath()};
        single->CmdAddFolder->click();
        QCOMPARE(single->txtSourceMailbox->text(), QDir::rootPath());
        rec.folderAnswers = {box};
        single->CmdAddFolder->click();

        // Next opens the modal migration window; its settings come from the two windows.
        single->CmdNext->click();
        frmMigateAll* migration = single->MigrationWindow();
        QVERIFY(migration);
        QVERIFY(migration->isVisible());
        QCOMPARE(QApplication::activeModalWidget(), migration);
        const engine::MigrationSettings settings = migration->ReadSettings();
        QVERIFY(settings.IsSingleMode);
        QCOMPARE(QString::fromStdString(settings.SourceMailboxFolder), box);
        migration->close();
        QVERIFY(migration->IsUnloaded());
        QVERIFY(single->isVisible());
        QCOMPARE(single->txtSourceMailbox->text(), box);
        // Next again makes a fresh migration window.
        single->CmdNext->click();
        QVERIFY(single->MigrationWindow() != nullptr);
        QVERIFY(!single->MigrationWindow()->IsUnloaded());
        single->MigrationWindow()->close();

        // Closing unloads the window; the next visit is fresh.
        single->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(start->SingleWindow() == nullptr);
        QVERIFY(start->IsSingleMode());
        start->CmdNext_Click();
        QVERIFY(start->SingleWindow()->txtSourceMailbox->text().isEmpty());
        QVERIFY(!start->SingleWindow()->CmdNext->isEnabled());
    }

    void singleNextWithoutFolderDoesNothing() {
        start->CmdNext_Click();
        frmSingle* single = start->SingleWindow();
        single->CmdNext_Click();
        QVERIFY(single->MigrationWindow() == nullptr);
        QVERIFY(rec.messages.isEmpty());
    }

    void multipleWindowInitialState() {
        frmMultiple* multiple = OpenMultiple();
        QVERIFY(multiple);
        QVERIFY(multiple->isVisible());
        QVERIFY(!start->isVisible());
        QCOMPARE(multiple->windowTitle(), QStringLiteral("Multiple Mailbox Migration Mode"));
        QCOMPARE(multiple->size(), QSize(706, 472));
        QVERIFY(multiple->windowFlags() & Qt::WindowMinimizeButtonHint);
        QVERIFY(!(multiple->windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(multiple->txtOutputFolder->text(), SpecialFolderPath());
        QVERIFY(multiple->txtOutputFolder->isReadOnly());
        QVERIFY(!multiple->chkSelectAll->isChecked());
        QVERIFY(!multiple->chkSelectAll->isEnabled());
        QCOMPARE(multiple->chkSelectAll->text(), QStringLiteral("Check All"));
        QCOMPARE(multiple->lv->topLevelItemCount(), 0);
        QCOMPARE(multiple->lv->headerItem()->text(0), QStringLiteral("User"));
        QCOMPARE(multiple->lv->headerItem()->text(1), QStringLiteral("Mailbox Folder"));
        QCOMPARE(multiple->lv->columnWidth(0), 200);
        QCOMPARE(multiple->lv->columnWidth(1), 440);
        QCOMPARE(multiple->cmdBack->text(), QStringLiteral("< Bac&k"));
        ExpectTabOrder({multiple->CmdNext, multiple->lv, multiple->CmdAddFolder, multiple->chkSelectAll,
                        multiple->cmdChange, multiple->txtOutputFolder, multiple->cmdBack});
    }

    void multipleNextWithNothingTicked() {
        frmMultiple* multiple = OpenMultiple();
        multiple->CmdNext->click();  // empty list
        QCOMPARE(rec.messages.size(), 1);
        QCOMPARE(rec.messages[0].title, QStringLiteral("Select User(s) to Migrate"));
        QCOMPARE(rec.messages[0].text, QStringLiteral("No Users Selected !\r\nPlease Select alteast one user to migrate."));
        QCOMPARE(rec.messageIcons[0], QMessageBox::Information);
        QVERIFY(multiple->MigrationWindow() == nullptr);

        // A root with no subfolders: empty list, select-all enabled, Next still refuses.
        const QString empty = MakeRoot(QStringLiteral("emptyroot"), {});
        QVERIFY(multiple->ListMailboxes(Native(empty)));
        QCOMPARE(multiple->lv->topLevelItemCount(), 0);
        QVERIFY(multiple->chkSelectAll->isEnabled());
        multiple->chkSelectAll->click();
        QCOMPARE(multiple->chkSelectAll->text(), QStringLiteral("Uncheck All"));
        multiple->chkSelectAll->click();
        QCOMPARE(multiple->chkSelectAll->text(), QStringLiteral("Check All"));
        multiple->CmdNext->click();
        QCOMPARE(rec.messages.size(), 2);
        QVERIFY(multiple->MigrationWindow() == nullptr);
    }

    void multipleListingTicksAndSelectAll() {
        frmMultiple* multiple = OpenMultiple();
        const QString root = MakeRoot(QStringLiteral("root1"), {"bob", "Alice", "carol", "dave"});
        QFile(root + "/stray-file.txt").open(QIODevice::WriteOnly);  // files are not rows
        QDir().mkpath(root + "/bob/Inbox");                           // nor are deeper folders
        rec.folderAnswers = {Native(root)};
        multiple->CmdAddFolder->click();
        QCOMPARE(rec.folderTitles.last(), QStringLiteral("Choose Source Folder..."));
        const QString sep = QDir::separator();
        QCOMPARE(Column(multiple->lv, 0), (QStringList{"Alice", "bob", "carol", "dave"}));
        QCOMPARE(Column(multiple->lv, 1),
                 (QStringList{Native(root) + sep + "Alice", Native(root) + sep + "bob", Native(root) + sep + "carol",
                              Native(root) + sep + "dave"}));
        QTreeWidgetItem* first = multiple->lv->topLevelItem(0);
        QCOMPARE(first->checkState(0), Qt::Unchecked);
        QCOMPARE(first->toolTip(1), first->text(1));
        QCOMPARE(first->data(0, Qt::UserRole).toString(), "|" + first->text(1));
        QVERIFY(!first->icon(0).isNull());
        QVERIFY(!first->icon(1).isNull());
        QVERIFY(multiple->chkSelectAll->isEnabled());
        QVERIFY(!multiple->chkSelectAll->isChecked());
        QVERIFY(!multiple->IsBusy());

        // A trailing separator on the chosen root gives the same paths.
        const QStringList before = Column(multiple->lv, 1);
        QVERIFY(multiple->ListMailboxes(Native(root) + sep));
        QCOMPARE(Column(multiple->lv, 1), before);

        // Alternating rows: white first, light yellow second, at the real row height.
        QVERIFY(multiple->lv->alternatingRowColors());
        QCOMPARE(multiple->lv->palette().color(QPalette::Base), QColor(255, 255, 255));
        QCOMPARE(multiple->lv->palette().color(QPalette::AlternateBase), QColor(255, 255, 192));
        const QImage shot = multiple->lv->viewport()->grab().toImage();
        const QRect row0 = multiple->lv->visualItemRect(multiple->lv->topLevelItem(0));
        const QRect row1 = multiple->lv->visualItemRect(multiple->lv->topLevelItem(1));
        QCOMPARE(QColor(shot.pixel(row0.right() - 5, row0.center().y())), QColor(255, 255, 255));
        QCOMPARE(QColor(shot.pixel(row1.right() - 5, row1.center().y())), QColor(255, 255, 192));

        // Select all and back.
        multiple->chkSelectAll->click();
        QCOMPARE(multiple->chkSelectAll->text(), QStringLiteral("Uncheck All"));
        for (int i = 0; i < 4; ++i) QCOMPARE(multiple->lv->topLevelItem(i)->checkState(0), Qt::Checked);
        multiple->chkSelectAll->click();
        QCOMPARE(multiple->chkSelectAll->text(), QStringLiteral("Check All"));
        for (int i = 0; i < 4; ++i) QCOMPARE(multiple->lv->topLevelItem(i)->checkState(0), Qt::Unchecked);

        // One row ticked by hand: Next opens the migration window though the box reads "Check All".
        multiple->lv->topLevelItem(2)->setCheckState(0, Qt::Checked);
        QCOMPARE(multiple->chkSelectAll->text(), QStringLiteral("Check All"));
        multiple->CmdNext->click();
        QVERIFY(rec.messages.isEmpty());
        frmMigateAll* migration = multiple->MigrationWindow();
        QVERIFY(migration && migration->isVisible());
        QCOMPARE(QApplication::activeModalWidget(), migration);
        const engine::MigrationSettings settings = migration->ReadSettings();
        QVERIFY(!settings.IsSingleMode);
        QCOMPARE(settings.MailboxRows.size(), size_t(4));
        QVERIFY(!settings.MailboxRows[0].selected);
        QVERIFY(settings.MailboxRows[2].selected);
        QCOMPARE(QString::fromStdString(settings.MailboxRows[2].name), QStringLiteral("carol"));
        QCOMPARE(QString::fromStdString(settings.MailboxRows[2].folder), Native(root) + sep + "carol");
        QCOMPARE(QString::fromStdString(settings.OutputFolder), SpecialFolderPath());
        // The row being converted is drawn green and bold.
        migration->MarkRow(2, 0x008000, true);
        QCOMPARE(multiple->lv->topLevelItem(2)->foreground(0).color(), QColor(0, 128, 0));
        QVERIFY(multiple->lv->topLevelItem(2)->font(0).bold());
        migration->close();

        // A checked select-all box is cleared by a new listing, which replaces every row.
        multiple->chkSelectAll->click();
        const QString root2 = MakeRoot(QStringLiteral("root2"), {"x", "y"});
        rec.folderAnswers = {Native(root2)};
        multiple->CmdAddFolder->click();
        QCOMPARE(Column(multiple->lv, 0), (QStringList{"x", "y"}));
        QCOMPARE(multiple->chkSelectAll->text(), QStringLiteral("Check All"));
        QVERIFY(!multiple->chkSelectAll->isChecked());
        for (int i = 0; i < 2; ++i) QCOMPARE(multiple->lv->topLevelItem(i)->checkState(0), Qt::Unchecked);

        // Cancelling the dialog keeps the list.
        multiple->CmdAddFolder->click();
        QCOMPARE(Column(multiple->lv, 0), (QStringList{"x", "y"}));
    }

    void unlistableRootIsReportedAndKeepsTheList() {
        frmMultiple* multiple = OpenMultiple();
        const QString root = MakeRoot(QStringLiteral("root3"), {"m1", "m2"});
        QVERIFY(multiple->ListMailboxes(Native(root)));
        rec.folderAnswers = {Native(tmp.filePath(QStringLiteral("no-such-folder")))};
        multiple->CmdAddFolder->click();
        QCOMPARE(rec.messages.size(), 1);
        QVERIFY(rec.messages[0].text.contains(QStringLiteral("no-such-folder")));
        QVERIFY(rec.messages[0].text.contains(QStringLiteral("cannot be listed")));
        QCOMPARE(rec.messageIcons[0], QMessageBox::Warning);
        QCOMPARE(Column(multiple->lv, 0), (QStringList{"m1", "m2"}));
        QVERIFY(multiple->CmdAddFolder->isEnabled());
    }

    void controlsAreDisabledWhileSelectAllRuns() {
        frmMultiple* multiple = OpenMultiple();
        QStringList boxes;
        for (int i = 0; i < 40; ++i) boxes << QStringLiteral("box%1").arg(i, 2, 10, QLatin1Char('0'));
        QVERIFY(multiple->ListMailboxes(Native(MakeRoot(QStringLiteral("root4"), boxes))));
        // Watch the controls while the per-row loop lets events run.
        bool sawBusy = false, reentered = false;
        QObject::connect(multiple->lv->model(), &QAbstractItemModel::dataChanged, multiple, [&] {
            if (!multiple->IsBusy()) return;
            sawBusy = true;
            reentered = reentered || multiple->CmdAddFolder->isEnabled() || multiple->chkSelectAll->isEnabled() ||
                        multiple->CmdNext->isEnabled() || multiple->cmdBack->isEnabled() ||
                        multiple->cmdChange->isEnabled() || multiple->lv->isEnabled();
            // A Next arriving in the middle does nothing.
            multiple->CmdNext_Click();
        });
        multiple->chkSelectAll->click();
        QVERIFY(sawBusy);
        QVERIFY(!reentered);
        QVERIFY(multiple->MigrationWindow() == nullptr);
        QVERIFY(multiple->CmdAddFolder->isEnabled() && multiple->chkSelectAll->isEnabled());
    }

    void controlsAreDisabledWhileAListingRuns() {
        frmMultiple* multiple = OpenMultiple();
        QStringList boxes;
        for (int i = 0; i < 30; ++i) boxes << QStringLiteral("user%1").arg(i, 2, 10, QLatin1Char('0'));
        const QString root = Native(MakeRoot(QStringLiteral("root6"), boxes));
        int rowsSeen = 0;
        bool reentered = false;
        QObject::connect(multiple->lv->model(), &QAbstractItemModel::rowsInserted, multiple, [&] {
            ++rowsSeen;
            reentered = reentered || !multiple->IsBusy() || multiple->CmdAddFolder->isEnabled() ||
                        multiple->chkSelectAll->isEnabled() || multiple->CmdNext->isEnabled() ||
                        multiple->cmdBack->isEnabled();
            // A second "Select..." arriving between rows starts nothing.
            multiple->CmdAddFolder_Click();
            // A close arriving between rows waits for the listing to end.
            multiple->close();
            reentered = reentered || !multiple->isVisible();
        });
        rec.folderAnswers = {root};
        multiple->CmdAddFolder->click();
        QCOMPARE(rowsSeen, 30);
        QVERIFY(!reentered);
        QCOMPARE(rec.folderTitles.size(), 1);
        QCOMPARE(multiple->lv->topLevelItemCount(), 30);
        // The close asked for during the listing happens once it is over.
        QVERIFY(!multiple->isVisible());
        QVERIFY(start->isVisible());
    }

    void outputFolderChange() {
        frmMultiple* multiple = OpenMultiple();
        const QString desktop = multiple->txtOutputFolder->text();
        multiple->cmdChange->click();
        QCOMPARE(rec.folderTitles.last(), QStringLiteral("Choose Output Folder..."));
        QCOMPARE(multiple->txtOutputFolder->text(), desktop);
        const QString out = Native(MakeRoot(QStringLiteral("out"), {}));
        rec.folderAnswers = {out};
        multiple->cmdChange->click();
        QCOMPARE(multiple->txtOutputFolder->text(), out);
    }

    void backAndReturnKeepState() {
        frmMultiple* multiple = OpenMultiple();
        QVERIFY(multiple->ListMailboxes(Native(MakeRoot(QStringLiteral("root5"), {"u1", "u2", "u3"}))));
        multiple->lv->topLevelItem(1)->setCheckState(0, Qt::Checked);
        const QString out = Native(MakeRoot(QStringLiteral("out5"), {}));
        rec.folderAnswers = {out};
        multiple->cmdChange->click();

        multiple->cmdBack->click();
        QVERIFY(start->isVisible());
        QVERIFY(!multiple->isVisible());
        QVERIFY(!start->IsSingleMode());
        start->CmdNext->click();
        QCOMPARE(start->MultipleWindow(), multiple);
        QVERIFY(multiple->isVisible());
        QVERIFY(!start->isVisible());
        QCOMPARE(Column(multiple->lv, 0), (QStringList{"u1", "u2", "u3"}));
        QCOMPARE(multiple->lv->topLevelItem(1)->checkState(0), Qt::Checked);
        QCOMPARE(multiple->txtOutputFolder->text(), out);
    }

    void closingMultipleReturnsToStart() {
        frmMultiple* multiple = OpenMultiple();
        QVERIFY(!start->isVisible());
        multiple->close();
        QVERIFY(start->isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(start->MultipleWindow() == nullptr);
        QVERIFY(rec.exits.isEmpty());
    }

    void browseFilterAndDialogHelpers() {
        QCOMPARE(DialogFilter(QStringLiteral("Outlook Data File(s) (*.pst)|*.pst")),
                 QStringLiteral("Outlook Data File(s) (*.pst)"));
        QCOMPARE(DialogFilter(QStringLiteral("Data|*.pst;*.ost|All|*.*")),
                 QStringLiteral("Data (*.pst *.ost);;All (*.*)"));
        QCOMPARE(Tw(10590), 706);
        QCOMPARE(Tw(-120), -8);
    }
};

QTEST_MAIN(WizardWindowsTest)
#include "tst_wizard_windows.moc"
