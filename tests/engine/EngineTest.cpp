// The migration run over recorded windows and in-memory stores: the pipeline's
// texts and order, skip and stop, the deletion of sources only after their
// items are committed, Pass II, item dispatch, and the completion and store
// error boxes.
#include <gtest/gtest.h>

#include <algorithm>

#include "EngineTestSupport.h"
#include "engine/EngineText.h"
#include "engine/MigrationEngine.h"
#include "files/MailboxFileQueue.h"

using namespace enginetest;
using engine::Label;

namespace {

const char* const kStamp = "7.12.26 9.5.03";
const std::string kDisplay = std::string("Mailbox (Zimbra) : Created - ") + kStamp;

// An export with the usual shape: root meta, Inbox with a spill, Sent with a
// nested tree, a real "!" folder, a nested Calendar holding a message, items.
void MakeExport(const std::string& box) {
    WriteFile(box + "/0000000011-ROOT.meta", "{\"id\":11,\"type\":1,\"name\":\"ROOT\",\"Path\":\"/\",\"metadata\":\"d1:ai3ee\"}");
    WriteFile(box + "/0000000002-Inbox.meta", "{\"id\":2,\"type\":1,\"name\":\"Inbox\",\"Path\":\"/Inbox\",\"metadata\":\"d1:ai1ee\"}");
    WriteFile(box + "/Inbox/0000000301-hello.eml", Eml("hello"));
    WriteFile(box + "/Inbox/0000000301-hello.eml.meta", "{}");
    WriteFile(box + "/Inbox/0000000302-again.eml", Eml("again"));
    WriteFile(box + "/Inbox!1/0000000801-spilled.eml", Eml("spilled"));
    WriteFile(box + "/Inbox/Work/0000000401-plan.eml", Eml("plan"));
    WriteFile(box + "/Inbox/Work!1/0000000901-late plan.eml", Eml("late plan"));
    WriteFile(box + "/Sent/0000000501-sent.eml", Eml("sent"));
    WriteFile(box + "/Sent/Projects/2019/0000000502-report.eml", Eml("report"));
    WriteFile(box + "/Important!/0000000601-urgent.eml", Eml("urgent"));
    WriteFile(box + "/Work/Calendar/0000000701-invite.eml", Eml("invite"));
    WriteFile(box + "/Contacts/Doe, Jane.meta", "Jane Doe");
    WriteFile(box + "/Emailed Contacts/Roe, John.meta", "John Roe");
    WriteFile(box + "/Calendar/0000000702-review.appt.meta", "Review");
    WriteFile(box + "/Tasks/0000000703-file report.task.meta", "File report");
    WriteFile(box + "/Notebook/Idea.wiki.meta", "Idea");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return out;
}

struct EngineFixture : ::testing::Test {
    TempDir dir;
    Recorder rec;
    FakeConverters converters{rec};
    RecordingView view;
    engine::EngineOptions options;
    std::unique_ptr<engine::MigrationEngine> engine;

    void SetUp() override {
        view.rec = &rec;
        view.settings.IsSingleMode = true;
    }
    engine::MigrationEngine& Engine() {
        if (!engine) {
            engine::EngineServices services;
            services.createSession = rec.Factory();
            services.converters = &converters;
            services.importMessage = Importer(rec);
            services.timeStamp = [] { return std::string(kStamp); };
            engine = std::make_unique<engine::MigrationEngine>(view, services, options);
            engine->Form_Load();
        }
        return *engine;
    }
    engine::RunSummary RunSingle(const std::string& box, const std::string& pst) {
        view.settings.IsSingleMode = true;
        view.settings.SourceMailboxFolder = box;
        view.savePath = pst;
        return Engine().CmdStartConversion_Click();
    }
    RecStore& StoreOf(const std::string& pst) { return *rec.stores.at(pst); }
    // Every source that is gone must belong to an item some commit covered.
    void ExpectNoSourceGoneBeforeCommit(const std::vector<std::string>& sources) {
        for (const auto& src : sources) {
            if (!fs::exists(src)) {
                EXPECT_TRUE(rec.committedPaths.count(src)) << src << " was deleted before its item was committed";
            }
        }
    }
};

std::vector<std::string> SourcesOf(const std::string& box) {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(box))
        if (e.is_regular_file()) {
            const std::string p = e.path().string();
            if (p.size() > 4 && (p.ends_with(".eml") || p.ends_with(".appt.meta") || p.ends_with(".task.meta") ||
                                 p.ends_with(".wiki.meta") || p.find("Contacts/") != std::string::npos))
                out.push_back(p);
        }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

// --- One mailbox end to end -------------------------------------------------

TEST_F(EngineFixture, SingleModeBuildsTheTreeFilesEveryItemAndLogsTheNestedCalendarMessage) {
    const std::string box = dir / "jdoe";
    MakeExport(box);
    const std::string pst = dir / "out.pst";
    auto run = RunSingle(box, pst);

    EXPECT_EQ(view.proposedName, std::string("jdoe") + kStamp + ".pst");
    RecStore& st = StoreOf(pst);
    EXPECT_EQ(st.displayName, kDisplay);
    EXPECT_EQ(Subjects(FolderAt(st, "Inbox")),
              (std::vector<std::string>{"0000000301-hello.eml", "0000000302-again.eml", "0000000801-spilled.eml"}));
    EXPECT_EQ(Subjects(FolderAt(st, "Inbox/Work")),
              (std::vector<std::string>{"0000000401-plan.eml", "0000000901-late plan.eml"}));
    EXPECT_EQ(Subjects(FolderAt(st, "Sent Items")), (std::vector<std::string>{"0000000501-sent.eml"}));
    EXPECT_EQ(Subjects(FolderAt(st, "Sent Items/Projects/2019")), (std::vector<std::string>{"0000000502-report.eml"}));
    EXPECT_EQ(Subjects(FolderAt(st, "Important!")), (std::vector<std::string>{"0000000601-urgent.eml"}));
    EXPECT_EQ(FolderAt(st, "Inbox!1"), nullptr);
    EXPECT_EQ(FolderAt(st, "Work/Calendar"), nullptr);
    EXPECT_EQ(FolderAt(st, "Emailed Contacts"), nullptr);
    EXPECT_EQ(Subjects(FolderAt(st, "Contacts")), (std::vector<std::string>{"Jane Doe", "John Roe"}));
    EXPECT_EQ(Subjects(FolderAt(st, "Calendar")), (std::vector<std::string>{"Review"}));
    EXPECT_EQ(Subjects(FolderAt(st, "Tasks")), (std::vector<std::string>{"File report"}));
    EXPECT_EQ(Subjects(FolderAt(st, "Notes")), (std::vector<std::string>{"Idea"}));
    // A message whose ".eml.meta" records no unread state is read; the
    // attachment bit is given and the store keeps it only with attachments.
    auto flags = FolderAt(st, "Inbox")->saved.front()->GetProp(pst::tags::PR_MESSAGE_FLAGS);
    ASSERT_TRUE(flags.has_value());
    EXPECT_EQ(std::get<int32_t>(*flags), 17);

    EXPECT_EQ(ReadAll(dir / "out.log"),
              "---- Log Starts -----\r\nBAD : " + box + "/Work/Calendar/0000000701-invite.eml (Folder \"Work\" does not exist)\r\n");
    ASSERT_EQ(run.mailboxes.size(), 1u);
    const auto& m = run.mailboxes[0];
    EXPECT_EQ(m.messagesImported, 8);
    EXPECT_EQ(m.messagesFailed, 1);
    EXPECT_EQ(m.contacts, 2);
    EXPECT_EQ(m.appointments + m.tasks + m.notes, 3);
    // Nothing is deleted without ChkDelete, and the log-off is the last store call.
    EXPECT_TRUE(fs::exists(box + "/Inbox/0000000301-hello.eml"));
    EXPECT_EQ(rec.events.back(), "view: message Orvandel");

    // The completion box says what happened instead of claiming success.
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].first, "Orvandel");
    EXPECT_EQ(Lines(view.messages[0].second),
              (std::vector<std::string>{"Zimbra Mailbox Not Fully Converted.",
                                        "jdoe: 1 message could not be imported; the files are listed in " + dir.path +
                                            "/out.log (lines starting with \"BAD : \")."}));
    EXPECT_FALSE(run.AllConverted());
}

TEST_F(EngineFixture, StatusTextsOfARun) {
    const std::string box = dir / "box";
    WriteFile(box + "/Inbox/a.eml", Eml("a"));
    WriteFile(box + "/Inbox/b.eml", Eml("b"));
    WriteFile(box + "/Inbox/c.eml", Eml("c"));
    RunSingle(box, dir / "box.pst");
    EXPECT_EQ(view.LabelHistory(Label::lblCount1).back(), "Migrating 3 items from " + box + "/");
    EXPECT_EQ(view.labels[Label::WindowTitle], "Migration Status");
    EXPECT_EQ(view.LabelHistory(Label::FrameConversion),
              (std::vector<std::string>{" Details ",
                                        "Reading Messages && Metadata (Pass I) - (1 of 3) Zimbra Mailbox File(s)",
                                        "Reading Messages && Metadata (Pass I) - (2 of 3) Zimbra Mailbox File(s)",
                                        "Reading Messages && Metadata (Pass I) - (3 of 3) Zimbra Mailbox File(s)"}));
    EXPECT_EQ(view.LabelHistory(Label::lblProgress),
              (std::vector<std::string>{"0% Complete", "33% Complete", "67% Complete", "100% Complete"}));
    auto dbx = view.LabelHistory(Label::LblCurrentDBX);
    EXPECT_NE(std::find(dbx.begin(), dbx.end(), "Outlook Session Created..."), dbx.end());
    EXPECT_NE(std::find(dbx.begin(), dbx.end(), "Creating Outlook Folders..."), dbx.end());
    EXPECT_EQ(dbx.back(), "Converting Messages... from (" + box + "/Inbox/c.eml)");
    EXPECT_EQ(Lines(view.messages.back().second),
              (std::vector<std::string>{"Zimbra Mailbox Converted Successfully.",
                                        "Open Converted PST file in Outlook to View Converted Mailbox."}));
}

TEST_F(EngineFixture, AOneFileMailboxReachesAHundredPercentAndAnEmlTildeFileIsAMessage) {
    const std::string box = dir / "one";
    WriteFile(box + "/Inbox/EML~1", Eml("short name"));
    RunSingle(box, dir / "one.pst");
    EXPECT_FLOAT_EQ(view.progress, 100.0f);
    EXPECT_EQ(view.LabelHistory(Label::lblProgress).back(), "100% Complete");
    EXPECT_EQ(Subjects(FolderAt(StoreOf(dir / "one.pst"), "Inbox")), (std::vector<std::string>{"EML~1"}));
}

TEST_F(EngineFixture, ItemFilesAreClassifiedByFolderAndName) {
    const std::string box = dir / "kinds";
    WriteFile(box + "/0000000011-ROOT.meta", "{\"id\":11,\"type\":1,\"name\":\"ROOT\",\"Path\":\"/\",\"metadata\":\"d1:ai3ee\"}");
    WriteFile(box + "/Contacts/x.eml.meta", "not a contact");
    WriteFile(box + "/Contacts/Calendar/both.appt.meta", "Both");  // contact first, then appointment
    WriteFile(box + "/Calendar/no.task.meta", "wrong kind");
    WriteFile(box + "/Tasks/t.task.meta", "T");
    WriteFile(box + "/Notebook/Sub/n.wiki.meta", "N");
    WriteFile(box + "/Inbox/x.meta", "not an item");
    RunSingle(box, dir / "kinds.pst");
    std::vector<std::string> calls;
    for (auto& e : rec.events)
        if (e.rfind("contact ", 0) == 0 || e.rfind("appointment ", 0) == 0 || e.rfind("task ", 0) == 0 ||
            e.rfind("note ", 0) == 0)
            calls.push_back(e);
    EXPECT_EQ(calls, (std::vector<std::string>{"contact both.appt.meta", "appointment both.appt.meta",
                                               "note n.wiki.meta", "task t.task.meta"}));
}

TEST_F(EngineFixture, FailedItemsAreLoggedAndKeptNoSectionFilesAreKeptSavedOnesGoAfterCommit) {
    const std::string box = dir / "items";
    WriteFile(box + "/Contacts/good.meta", "Good");
    WriteFile(box + "/Contacts/bad.meta", "FAIL");
    WriteFile(box + "/Contacts/folder.meta", "NOSECTION");
    // The export was cut off between a message's metadata and its content.
    WriteFile(box + "/Inbox/0000000300-lost.eml.meta", "{}");
    view.deleteChecked = true;
    auto run = RunSingle(box, dir / "items.pst");
    EXPECT_FALSE(fs::exists(box + "/Contacts/good.meta"));
    EXPECT_TRUE(fs::exists(box + "/Contacts/bad.meta"));
    EXPECT_TRUE(fs::exists(box + "/Contacts/folder.meta"));
    EXPECT_TRUE(rec.committedPaths.count(box + "/Contacts/good.meta"));
    EXPECT_EQ(ReadAll(dir / "items.log"), "---- Log Starts -----\r\nBAD : " + box + "/Contacts/bad.meta\r\nBAD : " +
                                              box + "/Inbox/0000000300-lost.eml.meta\r\nBAD : " + box +
                                              "/Contacts/folder.meta (damaged: not a complete .meta file)\r\n");
    EXPECT_EQ(run.mailboxes[0].itemsFailed, 3);
    EXPECT_NE(view.messages.back().second.find("3 other items could not be converted"), std::string::npos);
}

// --- Save dialog, store errors, log -----------------------------------------

TEST_F(EngineFixture, ACancelledSaveDialogWritesNothingAndClosesTheWindow) {
    const std::string box = dir / "box";
    WriteFile(box + "/Inbox/a.eml", Eml("a"));
    view.settings.SourceMailboxFolder = box;
    view.savePath.reset();
    auto run = Engine().CmdStartConversion_Click();
    EXPECT_TRUE(view.unloaded);
    EXPECT_TRUE(rec.stores.empty());
    EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), "session"), 0);
    ASSERT_EQ(run.mailboxes.size(), 1u);
    EXPECT_TRUE(run.mailboxes[0].cancelled);
    EXPECT_NE(view.messages.back().second.find("no PST file was chosen"), std::string::npos);
    EXPECT_EQ(fs::directory_iterator(dir.path) != fs::directory_iterator(), true);
    for (auto& e : fs::directory_iterator(dir.path)) EXPECT_EQ(e.path().filename(), "box");
}

TEST_F(EngineFixture, TheStoreErrorBoxGivesThePathAndTheRealCauseNotOutlookAdvice) {
    const std::string box = dir / "box";
    WriteFile(box + "/Inbox/a.eml", Eml("a"));
    const std::string pst = dir / "exists.pst";
    WriteFile(pst, "someone else's file");
    WriteFile(dir / "exists.log", "---- Log Starts -----\r\nBAD : an older run\r\n");
    rec.logonFailure = "\"" + pst + "\" is not a PST file; it is left untouched";
    auto run = RunSingle(box, pst);
    ASSERT_GE(view.messages.size(), 2u);
    EXPECT_EQ(view.messages[0].first, "Outlook Error");
    auto lines = Lines(view.messages[0].second);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Outlook Session Creation Error !");
    EXPECT_EQ(lines[1], "The existing PST file could not be added to: " + pst);
    EXPECT_EQ(lines[2], "Reason: \"" + pst + "\" is not a PST file; it is left untouched");
    EXPECT_NE(view.messages[0].second.find("left as it was; choose another name"), std::string::npos);
    EXPECT_EQ(view.messages[0].second.find("Outlook 20"), std::string::npos);
    EXPECT_EQ(ReadAll(pst), "someone else's file");
    EXPECT_EQ(ReadAll(dir / "exists.log"), "---- Log Starts -----\r\nBAD : an older run\r\n");
    EXPECT_TRUE(run.mailboxes[0].storeFailed);
    EXPECT_NE(view.messages.back().second.find(pst + " exists and could not be added to ("), std::string::npos);
    EXPECT_TRUE(fs::exists(box + "/Inbox/a.eml"));
}

TEST(StoreErrorText, NamesAMissingOrReadOnlyFolder) {
    TempDir t;
    // A file the failed logon itself left behind is not "a file that exists already".
    WriteFile(t / "half.pst", "partial");
    auto own = engine::MigrationEngine::StoreErrorText(t / "half.pst", "write failed", false);
    EXPECT_EQ(own.find("left as it was"), std::string::npos);
    auto missing = engine::MigrationEngine::StoreErrorText(t / "nowhere/box.pst", "cannot create", false);
    EXPECT_NE(missing.find("The folder " + t.path + "/nowhere/ does not exist."), std::string::npos);
    fs::create_directories(t / "ro");
    fs::permissions(t / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    auto readOnly = engine::MigrationEngine::StoreErrorText(t / "ro/box.pst", "Permission denied", false);
    if (::geteuid() != 0) {
        EXPECT_NE(readOnly.find("No permission to write in the folder"), std::string::npos);
    }
}

TEST_F(EngineFixture, AnUpperCasePstNameGetsItsOwnLogFile) {
    const std::string box = dir / "box";
    WriteFile(box + "/Inbox/a.eml", kBrokenMessage);
    auto run = RunSingle(box, dir / "BOX.PST");
    EXPECT_EQ(run.mailboxes[0].logPath, dir / "BOX.PST.log");
    EXPECT_EQ(ReadAll(dir / "BOX.PST.log"), "---- Log Starts -----\r\nBAD : " + box + "/Inbox/a.eml (cannot parse)\r\n");
}

// --- Deletion of sources ----------------------------------------------------

TEST_F(EngineFixture, SourcesGoOnlyAfterTheirItemsAreCommittedAndFoldersLeftEmptyAreRemoved) {
    const std::string box = dir / "del";
    MakeExport(box);
    const auto sources = SourcesOf(box);
    options.commitEveryItems = 3;
    options.commitCountGrows = false;
    view.deleteChecked = true;
    // After every file and at every commit, no source may be gone whose item no
    // commit covered.
    view.onProgress = [&](const engine::FileProgress&) { ExpectNoSourceGoneBeforeCommit(sources); };
    rec.onCommit = [&] { ExpectNoSourceGoneBeforeCommit(sources); };
    auto run = RunSingle(box, dir / "del.pst");
    EXPECT_GT(rec.commits, 3);
    ExpectNoSourceGoneBeforeCommit(sources);
    EXPECT_FALSE(fs::exists(box + "/Inbox/0000000301-hello.eml"));
    EXPECT_FALSE(fs::exists(box + "/Inbox/0000000301-hello.eml.meta"));
    EXPECT_FALSE(fs::exists(box + "/Sent"));  // left without files: removed, with its sub-folders
    EXPECT_TRUE(fs::exists(box + "/Work/Calendar/0000000701-invite.eml"));  // failed: kept
    EXPECT_TRUE(fs::exists(box + "/0000000011-ROOT.meta"));
    EXPECT_TRUE(fs::exists(box));
    EXPECT_EQ(run.mailboxes[0].messagesImported, 8);
    // The failed message was tried again in Pass II but logged once.
    auto dbx = view.LabelHistory(Label::LblCurrentDBX);
    EXPECT_EQ(std::count(dbx.begin(), dbx.end(),
                         "Converting Messages... from (" + box + "/Work/Calendar/0000000701-invite.eml)"),
              2);
    EXPECT_EQ(ReadAll(dir / "del.log"),
              "---- Log Starts -----\r\nBAD : " + box + "/Work/Calendar/0000000701-invite.eml (Folder \"Work\" does not exist)\r\n");
}

TEST_F(EngineFixture, LinksAreLoggedAndNeverFollowedAndCompanionsGoWithTheirItems) {
    const std::string box = dir / "links";
    const std::string outside = dir / "outside.eml";
    WriteFile(outside, Eml("secret"));
    WriteFile(box + "/Inbox/a.eml", Eml("a"));
    WriteFile(box + "/Inbox/d.eml", Eml("OMIT"));
    fs::create_symlink(outside, box + "/Inbox/b-link.eml");
    WriteFile(box + "/Inbox/c.eml", Eml("c"));
    fs::create_symlink(outside, box + "/Inbox/c.eml.meta");
    fs::create_directories(box + "/Contacts");
    fs::create_symlink(outside, box + "/Contacts/Doe, Jane.meta");
    WriteFile(box + "/Calendar/0000000702-review.appt.meta", "Review");
    WriteFile(box + "/Calendar/0000000702-review.appt", "companion");
    WriteFile(box + "/Inbox/0000000303-x.eml\nBAD : forged.eml", std::string(kBrokenMessage));
    view.deleteChecked = true;
    auto run = RunSingle(box, dir / "links.pst");
    EXPECT_EQ(Subjects(FolderAt(StoreOf(dir / "links.pst"), "Inbox")), (std::vector<std::string>{"a.eml", "d.eml"}));
    EXPECT_EQ(run.mailboxes[0].messagesFailed, 3);
    EXPECT_EQ(run.mailboxes[0].itemsFailed, 1);
    EXPECT_EQ(run.mailboxes[0].appointments, 1);
    EXPECT_EQ(ReadAll(dir / "links.log"), "---- Log Starts -----\r\n"
                                          "BAD : " + box + "/Contacts/Doe, Jane.meta (symbolic link)\r\n"
                                          "BAD : " + box + "/Inbox/0000000303-x.eml\\x0ABAD : forged.eml (cannot parse)\r\n"
                                          "BAD : " + box + "/Inbox/b-link.eml (symbolic link)\r\n"
                                          "BAD : " + box + "/Inbox/c.eml (symbolic link beside it: " + box +
                                          "/Inbox/c.eml.meta)\r\n"
                                          "BAD : " + box + "/Inbox/d.eml (imported without 3 of 5 To recipients)\r\n");
    EXPECT_EQ(ReadAll(outside), Eml("secret"));
    EXPECT_TRUE(fs::exists(box + "/Inbox/d.eml"));  // imported without some recipients: the source stays
    EXPECT_EQ(run.mailboxes[0].messagesIncomplete, 1);
    EXPECT_TRUE(fs::is_symlink(box + "/Inbox/b-link.eml"));
    EXPECT_FALSE(fs::exists(box + "/Calendar"));  // the appointment's companion went with it
}

TEST_F(EngineFixture, AFailingCommitDeletesNothing) {
    const std::string box = dir / "full";
    WriteFile(box + "/Inbox/a.eml", Eml("a"));
    WriteFile(box + "/Inbox/b.eml", Eml("b"));
    view.deleteChecked = true;
    rec.failCommitsFrom = 1;
    auto run = RunSingle(box, dir / "full.pst");
    EXPECT_TRUE(fs::exists(box + "/Inbox/a.eml"));
    EXPECT_TRUE(fs::exists(box + "/Inbox/b.eml"));
    EXPECT_EQ(run.mailboxes[0].storeError, "No space left on device");
    EXPECT_NE(view.messages.back().second.find("could not be written completely (No space left on device)"),
              std::string::npos);
    // Saved but never committed: counted and logged as failed, not as imported.
    EXPECT_EQ(run.mailboxes[0].messagesImported, 0);
    EXPECT_EQ(run.mailboxes[0].messagesFailed, 2);
    EXPECT_EQ(ReadAll(dir / "full.log"), "---- Log Starts -----\r\n"
                                         "BAD : " + box + "/Inbox/a.eml (not in the PST, its commit failed: No space left on device)\r\n"
                                         "BAD : " + box + "/Inbox/b.eml (not in the PST, its commit failed: No space left on device)\r\n");
}

TEST_F(EngineFixture, TickingDeleteHalfwayThroughPassOneImportsNoMessageTwice) {
    const std::string box = dir / "half";
    for (int i = 0; i < 10; ++i) WriteFile(box + "/Inbox/" + std::to_string(i) + ".eml", Eml(std::to_string(i)));
    WriteFile(box + "/Inbox/bad.eml", kBrokenMessage);
    const auto sources = SourcesOf(box);
    view.onProgress = [&](const engine::FileProgress& p) {
        if (p.pass == 1 && p.index == 5) view.deleteChecked = true;
        ExpectNoSourceGoneBeforeCommit(sources);
    };
    auto run = RunSingle(box, dir / "half.pst");
    RecStore& st = StoreOf(dir / "half.pst");
    auto subjects = Subjects(FolderAt(st, "Inbox"));
    EXPECT_EQ(subjects.size(), 10u);
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(std::unique(subjects.begin(), subjects.end()), subjects.end());
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(fs::exists(box + "/Inbox/" + std::to_string(i) + ".eml")) << i;
    EXPECT_TRUE(fs::exists(box + "/Inbox/bad.eml"));
    EXPECT_EQ(run.mailboxes[0].messagesImported, 10);
    EXPECT_EQ(run.mailboxes[0].messagesFailed, 1);
}

// --- Skip and stop ----------------------------------------------------------

TEST_F(EngineFixture, SkipAnsweredNoGoesOnAndYesEndsPassOne) {
    const std::string box = dir / "skip";
    for (int i = 0; i < 6; ++i) WriteFile(box + "/Inbox/" + std::to_string(i) + ".eml", Eml(std::to_string(i)));
    view.answers = {false, true};
    view.onProgress = [&](const engine::FileProgress& p) {
        if (p.pass == 1 && (p.index == 2 || p.index == 4)) Engine().CmdSkip_Click();
    };
    auto run = RunSingle(box, dir / "skip.pst");
    EXPECT_EQ(std::count(view.events.begin(), view.events.end(), "ask Confirm Skip -> No"), 1);
    EXPECT_EQ(std::count(view.events.begin(), view.events.end(), "ask Confirm Skip -> Yes"), 1);
    EXPECT_EQ(Subjects(FolderAt(StoreOf(dir / "skip.pst"), "Inbox")).size(), 4u);
    EXPECT_EQ(view.labels[Label::lblProgress], "Skipped... at 67% Complete");
    EXPECT_EQ(view.labels[Label::lblCount1], "Checking Next Mailbox...");
    EXPECT_TRUE(run.mailboxes[0].skipped);
    EXPECT_FALSE(Engine().SkipRequested());  // answered: a later Stop is asked about, not taken for one during the Skip
    EXPECT_FALSE(view.unloaded);
    EXPECT_NE(view.messages.back().second.find("skip: skipped after 4 of 6 file(s)."), std::string::npos);
    EXPECT_EQ(rec.events[rec.events.size() - 3], "commit");  // the log-off's commit
    EXPECT_EQ(rec.events[rec.events.size() - 2], "logoff");
}

TEST_F(EngineFixture, SkipWithDeleteTickedStillImportsTheRestInPassTwo) {
    const std::string box = dir / "skipdel";
    for (int i = 0; i < 6; ++i) WriteFile(box + "/Inbox/" + std::to_string(i) + ".eml", Eml(std::to_string(i)));
    WriteFile(box + "/Inbox/x-bad.eml", kBrokenMessage);  // last in the listing: never reached in Pass I
    view.deleteChecked = true;
    view.answers = {true};
    view.onProgress = [&](const engine::FileProgress& p) {
        if (p.pass == 1 && p.index == 2) Engine().CmdSkip_Click();
    };
    auto run = RunSingle(box, dir / "skipdel.pst");
    EXPECT_EQ(Subjects(FolderAt(StoreOf(dir / "skipdel.pst"), "Inbox")).size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_FALSE(fs::exists(box + "/Inbox/" + std::to_string(i) + ".eml"));
    // A message first met in Pass II that fails is still named in the log.
    EXPECT_EQ(ReadAll(dir / "skipdel.log"), "---- Log Starts -----\r\nBAD : " + box + "/Inbox/x-bad.eml (cannot parse)\r\n");
    EXPECT_EQ(run.mailboxes[0].messagesFailed, 1);
    auto frames = view.LabelHistory(Label::FrameConversion);
    EXPECT_EQ(frames.back(), "Checking && Validating (Pass II) - (5 of 5) file(s)");
}

TEST_F(EngineFixture, StopAnsweredNoGoesOnAndYesCommitsBeforeTheWindowGoes) {
    const std::string box = dir / "stop";
    for (int i = 0; i < 8; ++i) WriteFile(box + "/Inbox/" + std::to_string(i) + ".eml", Eml(std::to_string(i)));
    view.deleteChecked = true;
    view.answers = {false, true};
    view.onProgress = [&](const engine::FileProgress& p) {
        if (p.pass == 1 && (p.index == 1 || p.index == 3)) Engine().CmdStopMigration_Click();
    };
    auto run = RunSingle(box, dir / "stop.pst");
    EXPECT_EQ(view.labels[Label::lblProgress], "Stopped... at 38% Complete");
    EXPECT_EQ(view.labels[Label::lblCount1], "Stopped...");
    // The question text, exactly.
    EXPECT_EQ(view.lastQuestion, "This action will STOP complete migration process.\r\n"
                                 "Do you really want to \"STOP\" on-going migration ?");
    auto logoff = std::find(rec.events.begin(), rec.events.end(), "logoff");
    auto unload = std::find(rec.events.begin(), rec.events.end(), "view: unload");
    ASSERT_NE(logoff, rec.events.end());
    ASSERT_NE(unload, rec.events.end());
    EXPECT_LT(logoff - rec.events.begin(), unload - rec.events.begin());
    EXPECT_EQ(Subjects(FolderAt(StoreOf(dir / "stop.pst"), "Inbox")).size(), 3u);
    // The three committed messages' sources went; nothing else did; no Pass II.
    int gone = 0;
    for (int i = 0; i < 8; ++i) gone += !fs::exists(box + "/Inbox/" + std::to_string(i) + ".eml");
    EXPECT_EQ(gone, 3);
    EXPECT_EQ(view.LabelHistory(Label::FrameConversion).back().find("Pass II"), std::string::npos);
    EXPECT_TRUE(run.mailboxes[0].stopped);
    EXPECT_NE(view.messages.back().second.find("stop: stopped after 3 of 8 file(s)"), std::string::npos);
}

TEST_F(EngineFixture, SkipThenStopBeforeTheCheckUnloadsAtOnceAndEndsCommitted) {
    const std::string box = dir / "both";
    for (int i = 0; i < 4; ++i) WriteFile(box + "/Inbox/" + std::to_string(i) + ".eml", Eml(std::to_string(i)));
    view.onProgress = [&](const engine::FileProgress& p) {
        if (p.pass == 1 && p.index == 2) {
            Engine().CmdSkip_Click();
            Engine().CmdStopMigration_Click();
            EXPECT_TRUE(view.unloaded);
            EXPECT_TRUE(Engine().StopRequested());
        }
    };
    auto run = RunSingle(box, dir / "both.pst");
    EXPECT_EQ(std::count_if(view.events.begin(), view.events.end(),
                            [](const std::string& e) { return e.rfind("ask", 0) == 0; }),
              0);
    EXPECT_NE(std::find(rec.events.begin(), rec.events.end(), "logoff"), rec.events.end());
    EXPECT_EQ(Subjects(FolderAt(StoreOf(dir / "both.pst"), "Inbox")).size(), 2u);
    EXPECT_TRUE(run.mailboxes[0].stopped);
}

TEST_F(EngineFixture, ClosingTheWindowEndsTheRunAtTheNextCheckWithThePstCommitted) {
    const std::string box = dir / "close";
    for (int i = 0; i < 5; ++i) WriteFile(box + "/Inbox/" + std::to_string(i) + ".eml", Eml(std::to_string(i)));
    view.deleteChecked = true;
    view.onProgress = [&](const engine::FileProgress& p) {
        if (p.pass == 1 && p.index == 2) Engine().Form_QueryUnload();
    };
    auto run = RunSingle(box, dir / "close.pst");
    EXPECT_TRUE(run.mailboxes[0].closed);
    EXPECT_EQ(Subjects(FolderAt(StoreOf(dir / "close.pst"), "Inbox")).size(), 2u);
    EXPECT_EQ(rec.events[rec.events.size() - 2], "logoff");  // then the box, then nothing else
    EXPECT_FALSE(fs::exists(box + "/Inbox/0.eml"));
    EXPECT_TRUE(fs::exists(box + "/Inbox/2.eml"));
}

// --- Multiple mode -----------------------------------------------------------

TEST_F(EngineFixture, MultipleModeRunsTheSelectedRowsWithTheirTitlesAndMarks) {
    view.settings.IsSingleMode = false;
    view.settings.OutputFolder = "  " + dir.path + "  ";
    for (int i = 1; i <= 5; ++i) {
        const std::string name = "user" + std::to_string(i);
        WriteFile(dir / ("root/" + name + "/Inbox/a.eml"), Eml(name));
        view.settings.MailboxRows.push_back({i == 1 || i == 3, name, dir / ("root/" + name)});
    }
    auto run = Engine().CmdStartConversion_Click();
    auto titles = view.LabelHistory(Label::WindowTitle);
    EXPECT_EQ(titles, (std::vector<std::string>{"Migrating 1 of 5 Mailboxes", "Migrating 3 of 5 Mailboxes"}));
    EXPECT_EQ(view.marks, (std::vector<std::string>{"0:32768:bold", "2:32768:bold"}));
    EXPECT_EQ(rec.stores.size(), 2u);
    EXPECT_TRUE(rec.stores.count(dir / "user1.pst"));
    EXPECT_TRUE(rec.stores.count(dir / "user3.pst"));
    EXPECT_TRUE(fs::exists(dir / "user3.log"));
    EXPECT_EQ(view.LabelHistory(Label::lblCount1).back(), "Migrating 1 items from " + dir.path + "/root/user3");
    EXPECT_EQ(Lines(view.messages.back().second),
              (std::vector<std::string>{"All Zimbra Mailboxes Converted Successfully.",
                                        "Open Converted PST file(s) in Outlook to View Individual Mailboxes."}));
    EXPECT_TRUE(run.AllConverted());
}

TEST_F(EngineFixture, StopDuringTheSecondOfThreeMailboxesLeavesTheThirdAndSaysSo) {
    view.settings.IsSingleMode = false;
    view.settings.OutputFolder = dir.path;
    for (int i = 1; i <= 3; ++i) {
        const std::string name = "m" + std::to_string(i);
        for (int k = 0; k < 3; ++k) WriteFile(dir / ("root/" + name + "/Inbox/" + std::to_string(k) + ".eml"), Eml(name));
        view.settings.MailboxRows.push_back({true, name, dir / ("root/" + name)});
    }
    view.answers = {true};
    view.onProgress = [&](const engine::FileProgress& p) {
        if (p.mailbox == "m2" && p.index == 1) Engine().CmdStopMigration_Click();
    };
    auto run = Engine().CmdStartConversion_Click();
    ASSERT_EQ(run.mailboxes.size(), 3u);
    EXPECT_FALSE(run.mailboxes[0].stopped);
    EXPECT_TRUE(run.mailboxes[1].stopped);
    EXPECT_TRUE(run.mailboxes[2].notStarted);
    EXPECT_FALSE(rec.stores.count(dir / "m3.pst"));
    EXPECT_TRUE(view.unloaded);
    auto lines = Lines(view.messages.back().second);
    EXPECT_EQ(lines[0], "Not All Zimbra Mailboxes Were Fully Converted.");
    EXPECT_EQ(lines[1], "m2: stopped after 1 of 3 file(s); " + dir.path + "/m2.pst holds every item saved until then.");
    EXPECT_EQ(lines[2], "m3: not converted, the migration was stopped before it.");
}

// Stop in a second run in the same window: enabled again, asked and honoured.
TEST_F(EngineFixture, ASecondRunInTheSameWindowCanBeStopped) {
    const std::string box = dir / "box";
    for (int k = 0; k < 3; ++k) WriteFile(box + "/Inbox/" + std::to_string(k) + ".eml", Eml("m"));
    RunSingle(box, dir / "first.pst");
    EXPECT_FALSE(view.enabled[engine::Button::CmdStopMigration]);
    bool enabledWhileRunning = false;
    view.answers = {true};
    view.onProgress = [&](const engine::FileProgress& p) {
        if (p.index != 1) return;
        enabledWhileRunning = view.enabled[engine::Button::CmdStopMigration];
        Engine().CmdStopMigration_Click();
    };
    auto run = RunSingle(box, dir / "second.pst");
    EXPECT_TRUE(enabledWhileRunning);
    ASSERT_EQ(run.mailboxes.size(), 1u);
    EXPECT_TRUE(run.mailboxes[0].stopped);
    EXPECT_NE(std::find(view.events.begin(), view.events.end(), "ask Confirm Stop -> Yes"), view.events.end());
}

// Stop pressed while the next mailbox is listed, and right after a Yes to Skip:
// asked about at the next check, never ignored, never closing without a question.
TEST_F(EngineFixture, StopWhileTheNextMailboxIsListedIsAskedAndHonoured) {
    view.settings.IsSingleMode = false;
    view.settings.OutputFolder = dir.path;
    for (int i = 1; i <= 3; ++i) {
        const std::string name = "m" + std::to_string(i);
        for (int k = 0; k < 3; ++k) WriteFile(dir / ("root/" + name + "/Inbox/" + std::to_string(k) + ".eml"), Eml(name));
        view.settings.MailboxRows.push_back({true, name, dir / ("root/" + name)});
    }
    view.answers = {true, true};  // Yes to Skip of m1, Yes to Stop
    view.onProgress = [&](const engine::FileProgress& p) {
        if (p.mailbox == "m1" && p.index == 1) Engine().CmdSkip_Click();
    };
    view.onLabel = [&](engine::Label l, const std::string& text) {
        if (l == engine::Label::lblCount1 && text.find("Queued for Conversion") != std::string::npos &&
            view.finished.size() == 1)
            Engine().CmdStopMigration_Click();  // while m2 is listed, right after the skip
    };
    auto run = Engine().CmdStartConversion_Click();
    std::vector<std::string> asks;
    for (const auto& e : view.events)
        if (e.rfind("ask ", 0) == 0) asks.push_back(e);
    EXPECT_EQ(asks, (std::vector<std::string>{"ask Confirm Skip -> Yes", "ask Confirm Stop -> Yes"}));
    ASSERT_EQ(run.mailboxes.size(), 3u);
    EXPECT_TRUE(run.mailboxes[0].skipped);
    EXPECT_TRUE(run.mailboxes[1].stopped);
    EXPECT_TRUE(run.mailboxes[2].notStarted);
    EXPECT_TRUE(run.stopped);
    EXPECT_NE(Lines(view.messages.back().second)[0], "All Zimbra Mailboxes Converted Successfully.");
}

TEST_F(EngineFixture, AnEmptyOrMissingMailboxIsPassedOverAndReported) {
    view.settings.IsSingleMode = false;
    view.settings.OutputFolder = dir.path;
    fs::create_directories(dir / "root/empty/Inbox");
    WriteFile(dir / "root/full/Inbox/a.eml", Eml("a"));
    view.settings.MailboxRows = {{true, "empty", dir / "root/empty"},
                                 {true, "missing", dir / "root/missing"},
                                 {true, "full", dir / "root/full"}};
    auto run = Engine().CmdStartConversion_Click();
    EXPECT_EQ(rec.stores.size(), 1u);
    EXPECT_TRUE(run.mailboxes[0].empty);
    EXPECT_TRUE(run.mailboxes[1].empty);
    EXPECT_EQ(run.mailboxes[2].messagesImported, 1);
    EXPECT_NE(view.messages.back().second.find("empty: no files found in"), std::string::npos);
}

TEST_F(EngineFixture, SingleModeFolderEndingWithASeparatorHasAnEmptyMailboxName) {
    const std::string box = dir / "trail";
    WriteFile(box + "/Inbox/a.eml", Eml("a"));
    RunSingle(box + "/", dir / "t.pst");
    EXPECT_EQ(view.proposedName, std::string(kStamp) + ".pst");
    EXPECT_EQ(Subjects(FolderAt(StoreOf(dir / "t.pst"), "Inbox")).size(), 1u);
}

// A commit rewrites the tables of the folders it touches: in a large folder a
// fixed count between commits costs quadratic time, so the count grows with
// the PST (the PST doubles from commit to commit) unless a fixed count was
// asked for.
TEST_F(EngineFixture, ItemsBetweenCommitsGrowWithThePst) {
    const std::string box = dir / "grow";
    for (int i = 0; i < 40; ++i) WriteFile(box + "/Inbox/" + std::to_string(i) + ".eml", Eml(std::to_string(i)));
    options.commitEveryItems = 2;
    options.commitEvery = std::chrono::hours(1);
    std::vector<size_t> heldAtCommit;
    rec.onCommit = [&] { heldAtCommit.push_back(rec.committedPaths.size()); };
    RunSingle(box, dir / "grow.pst");
    ASSERT_GE(heldAtCommit.size(), 6u);
    EXPECT_EQ(std::vector<size_t>(heldAtCommit.begin(), heldAtCommit.begin() + 6),
              (std::vector<size_t>{2, 4, 8, 16, 32, 40}));
}

TEST_F(EngineFixture, AFixedCountBetweenCommitsStaysFixed) {
    const std::string box = dir / "fixed";
    for (int i = 0; i < 40; ++i) WriteFile(box + "/Inbox/" + std::to_string(i) + ".eml", Eml(std::to_string(i)));
    options.commitEveryItems = 2;
    options.commitCountGrows = false;
    options.commitEvery = std::chrono::hours(1);
    std::vector<size_t> heldAtCommit;
    rec.onCommit = [&] { heldAtCommit.push_back(rec.committedPaths.size()); };
    RunSingle(box, dir / "fixed.pst");
    ASSERT_GE(heldAtCommit.size(), 20u);
    for (size_t k = 0; k < 20; ++k) EXPECT_EQ(heldAtCommit[k], 2 * (k + 1));
}

TEST_F(EngineFixture, CommitsFollowTheClockAsWellAsTheItemCount) {
    const std::string box = dir / "clock";
    for (int i = 0; i < 5; ++i) WriteFile(box + "/Inbox/" + std::to_string(i) + ".eml", Eml(std::to_string(i)));
    options.commitEveryItems = 1000000;
    options.commitEvery = std::chrono::milliseconds(0);
    view.deleteChecked = true;
    std::vector<int> goneAtEachFile;
    view.onProgress = [&](const engine::FileProgress& p) {
        if (p.pass != 1) return;
        int gone = 0;
        for (int i = 0; i < 5; ++i) gone += !fs::exists(box + "/Inbox/" + std::to_string(i) + ".eml");
        goneAtEachFile.push_back(gone);
    };
    RunSingle(box, dir / "clock.pst");
    // Each file's source goes at the commit right after it (seen at the next file).
    EXPECT_EQ(goneAtEachFile, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_GE(rec.commits, 5);
}
