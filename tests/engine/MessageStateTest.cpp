// A message keeps the state Zimbra recorded in its ".eml.meta": read or
// unread, draft, follow-up flag, reply and forward verbs, tags as categories.
// A missing or broken ".eml.meta" never fails the message, and with ChkDelete
// both files go after the commit, a read-only ".eml.meta" too.
#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "items/MetaEncoding.h"

using namespace enginetest;
using metaenc::JsonQuote;

namespace {

std::string MessageMeta(int unread, const std::string& flagStr, const std::string& tagNames = "") {
    return metaenc::MetaJson({{"tags", "0"},
                              {"flags", "0"},
                              {"unread", std::to_string(unread)},
                              {"type", "5"},
                              {"Path", JsonQuote("/Inbox/")},
                              {"FlagStr", JsonQuote(flagStr)},
                              {"TagNames", JsonQuote(tagNames)},
                              {"id", "300"}},
                             "d1:f13:me@example.com1:vi10ee");
}

pst::NamedProperty Keywords() {
    pst::NamedProperty n;
    n.propertySet = pst::PS_PUBLIC_STRINGS();
    n.isString = true;
    n.name = "Keywords";
    return n;
}

pst::NamedProperty FlagRequest() {
    pst::NamedProperty n;
    n.propertySet = pst::PSETID_Common();
    n.lid = pst::tags::lid::PidLidFlagRequest;
    return n;
}

struct StateFixture : ::testing::Test {
    TempDir dir;
    Recorder rec;
    FakeConverters converters{rec};
    RecordingView view;
    std::unique_ptr<engine::MigrationEngine> engine;
    std::string box;

    void SetUp() override {
        view.rec = &rec;
        box = dir / "state";
        WriteFile(box + "/0000000011-ROOT.meta", "{\"id\":11,\"type\":1,\"name\":\"ROOT\",\"Path\":\"/\",\"metadata\":\"d1:ai3ee\"}");
    }
    // Adds an Inbox message with the given ".eml.meta" content (none when null).
    std::string Message(const std::string& name, const char* meta, const std::string& folder = "Inbox") {
        const std::string eml = box + "/" + folder + "/" + name + ".eml";
        WriteFile(eml, Eml(name));
        if (meta) WriteFile(eml + ".meta", meta);
        return eml;
    }
    fake::FakeStore& Run() {
        engine::EngineServices services;
        services.createSession = rec.Factory();
        services.converters = &converters;
        services.importMessage = Importer(rec);
        services.timeStamp = [] { return std::string("7.12.26 9.5.03"); };
        engine = std::make_unique<engine::MigrationEngine>(view, services, engine::EngineOptions{});
        engine->Form_Load();
        view.settings.IsSingleMode = true;
        view.settings.SourceMailboxFolder = box;
        view.savePath = dir / "state.pst";
        auto run = engine->CmdStartConversion_Click();
        EXPECT_EQ(run.mailboxes.at(0).messagesFailed, 0);
        return *rec.stores.at(dir / "state.pst");
    }
    static fake::FakeItem* ItemNamed(fake::FakeStore& st, const std::string& folder, const std::string& name) {
        for (auto& item : FolderAt(st, folder)->saved)
            if (item->Str(pst::tags::PR_SUBJECT) == name + ".eml") return item.get();
        ADD_FAILURE() << "no item " << name;
        return nullptr;
    }
    static std::optional<int32_t> Int(fake::FakeItem* item, uint32_t tag) {
        auto v = item->GetProp(tag);
        if (!v) return std::nullopt;
        return std::get<int32_t>(*v);
    }
};

}  // namespace

TEST_F(StateFixture, ReadAndUnreadDraftFlagVerbsAndTagsArriveOnTheMessages) {
    const std::string unread = MessageMeta(1, "u");
    const std::string read = MessageMeta(0, "s");
    const std::string flagged = MessageMeta(1, "fu");
    const std::string replied = MessageMeta(0, "r");
    const std::string forwarded = MessageMeta(0, "w");
    const std::string both = MessageMeta(0, "rw");
    const std::string tagged = MessageMeta(0, "", R"(Work:Project\: Alpha:Work)");
    const std::string draft = MessageMeta(0, "d");
    Message("unread", unread.c_str());
    Message("read", read.c_str());
    Message("flagged", flagged.c_str());
    Message("replied", replied.c_str());
    Message("forwarded", forwarded.c_str());
    Message("both", both.c_str());
    Message("tagged", tagged.c_str());
    Message("draft", draft.c_str(), "Drafts");
    fake::FakeStore& st = Run();
    using namespace pst::tags;

    // MSGFLAG_READ 1 unless unread, MSGFLAG_HASATTACH 16 (the store keeps it
    // only on messages with attachments), MSGFLAG_UNSENT 8 for a draft.
    EXPECT_EQ(Int(ItemNamed(st, "Inbox", "unread"), PR_MESSAGE_FLAGS), 16);
    EXPECT_EQ(Int(ItemNamed(st, "Inbox", "read"), PR_MESSAGE_FLAGS), 17);
    EXPECT_EQ(Int(ItemNamed(st, "Inbox", "flagged"), PR_MESSAGE_FLAGS), 16);
    EXPECT_EQ(Int(ItemNamed(st, "Drafts", "draft"), PR_MESSAGE_FLAGS), 25);

    // Only the flagged message has a follow-up flag: flagged, red, "Follow up".
    fake::FakeItem* f = ItemNamed(st, "Inbox", "flagged");
    EXPECT_EQ(Int(f, PR_FLAG_STATUS), 2);
    EXPECT_EQ(Int(f, PR_FOLLOWUP_ICON), 6);
    ASSERT_TRUE(f->GetNamedProp(FlagRequest()));
    EXPECT_EQ(std::get<std::string>(*f->GetNamedProp(FlagRequest())), "Follow up");
    for (const char* name : {"unread", "read", "replied", "tagged"}) {
        fake::FakeItem* other = ItemNamed(st, "Inbox", name);
        EXPECT_FALSE(other->GetProp(PR_FLAG_STATUS)) << name;
        EXPECT_FALSE(other->GetProp(PR_FOLLOWUP_ICON)) << name;
        EXPECT_FALSE(other->GetNamedProp(FlagRequest())) << name;
    }

    // Verbs: reply to sender 102 with icon 261, forward 104 with icon 262.
    EXPECT_EQ(Int(ItemNamed(st, "Inbox", "replied"), PR_LAST_VERB_EXECUTED), 102);
    EXPECT_EQ(Int(ItemNamed(st, "Inbox", "replied"), PR_ICON_INDEX), 261);
    EXPECT_EQ(Int(ItemNamed(st, "Inbox", "forwarded"), PR_LAST_VERB_EXECUTED), 104);
    EXPECT_EQ(Int(ItemNamed(st, "Inbox", "forwarded"), PR_ICON_INDEX), 262);
    EXPECT_EQ(Int(ItemNamed(st, "Inbox", "both"), PR_LAST_VERB_EXECUTED), 102);
    EXPECT_FALSE(ItemNamed(st, "Inbox", "read")->GetProp(PR_LAST_VERB_EXECUTED));
    EXPECT_FALSE(ItemNamed(st, "Inbox", "read")->GetProp(PR_ICON_INDEX));

    // Tags: the Keywords property, escaped colon resolved, duplicates dropped.
    auto words = ItemNamed(st, "Inbox", "tagged")->GetNamedProp(Keywords());
    ASSERT_TRUE(words);
    EXPECT_EQ(std::get<std::vector<std::string>>(*words), (std::vector<std::string>{"Work", "Project: Alpha"}));
    EXPECT_FALSE(ItemNamed(st, "Inbox", "read")->GetNamedProp(Keywords()));
}

TEST_F(StateFixture, AMissingOrBrokenMetaLeavesTheMessageReadAndImported) {
    const std::string full = MessageMeta(1, "frwu", "Work");
    const std::string cut = full.substr(0, full.size() - 20);
    Message("no-meta", nullptr);
    Message("cut", cut.c_str());
    Message("empty", "");
    Message("not-json", "d1:ui1e1:vi10ee");
    fake::FakeStore& st = Run();
    for (const char* name : {"no-meta", "cut", "empty", "not-json"}) {
        fake::FakeItem* item = ItemNamed(st, "Inbox", name);
        ASSERT_TRUE(item);
        EXPECT_EQ(Int(item, pst::tags::PR_MESSAGE_FLAGS), 17) << name;
        EXPECT_FALSE(item->GetProp(pst::tags::PR_FLAG_STATUS)) << name;
        EXPECT_FALSE(item->GetProp(pst::tags::PR_LAST_VERB_EXECUTED)) << name;
        EXPECT_FALSE(item->GetNamedProp(Keywords())) << name;
    }
    EXPECT_EQ(FolderAt(st, "Inbox")->saved.size(), 4u);
}

TEST_F(StateFixture, AnUnreadMessagesReadOnlyMetaIsReadAndDeletedAfterTheCommit) {
    const std::string meta = MessageMeta(1, "u");
    const std::string eml = Message("unread", meta.c_str());
    ASSERT_EQ(chmod((eml + ".meta").c_str(), 0444), 0);
    view.deleteChecked = true;
    bool sourcesAtCommit = false;
    rec.onCommit = [&] { sourcesAtCommit = sourcesAtCommit || fs::exists(eml + ".meta"); };
    fake::FakeStore& st = Run();
    EXPECT_EQ(Int(ItemNamed(st, "Inbox", "unread"), pst::tags::PR_MESSAGE_FLAGS), 16);
    EXPECT_TRUE(sourcesAtCommit);  // still there when the first commit ran
    EXPECT_TRUE(rec.committedPaths.count(eml));
    EXPECT_FALSE(fs::exists(eml));
    EXPECT_FALSE(fs::exists(eml + ".meta"));
}
