// The store session's contract: file creation, folder lookup and its error
// text, default folders, computed message flags, type checks, abandoned items.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "pst/ltp/ContextRead.h"
#include "pst/messaging/EntryIds.h"
#include "store/DistListLinks.h"
#include "store/LocaleIds.h"
#include "store/OutlookDefaults.h"
#include "store/PstStoreSession.h"

using namespace pst::tags;
using storetest::ScratchDir;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const store::StoreError& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(StoreSession, ExistingFileIsNeverTouched) {
    ScratchDir dir;
    std::string path = dir.File("taken.pst");
    storetest::WriteText(path, "precious bytes");
    auto session = store::CreatePstSession();
    std::string err = ErrorOf([&] { session->LogonPstStore(path, 1, "Mailbox"); });
    EXPECT_NE(err.find(path), std::string::npos) << err;
    EXPECT_EQ(ReadAll(path), "precious bytes");
}

TEST(StoreSession, OnlyUnicodeFormatIsAccepted) {
    ScratchDir dir;
    auto session = store::CreatePstSession();
    EXPECT_THROW(session->LogonPstStore(dir.File("a.pst"), 2, "Mailbox"), store::StoreError);
    EXPECT_FALSE(std::filesystem::exists(dir.File("a.pst")));
}

TEST(StoreSession, DefaultFoldersAndLookups) {
    ScratchDir dir;
    std::string path = dir.File("m.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox (Zimbra)");
    std::string id = st.EntryID();
    EXPECT_EQ(&session->GetStoreFromID(id), &st);
    st.ValidateIPMTree();
    store::Store& s = session->GetStoreFromID(id);
    EXPECT_EQ(s.GetDefaultFolder(store::olFolderInbox).Name(), "Inbox");
    EXPECT_EQ(s.GetDefaultFolder(store::olFolderSentMail).Name(), "Sent Items");
    EXPECT_EQ(s.GetDefaultFolder(store::olFolderDeletedItems).Name(), "Deleted Items");
    EXPECT_EQ(s.GetDefaultFolder(store::olFolderCalendar).Name(), "Calendar");
    EXPECT_EQ(s.GetDefaultFolder(store::olFolderContacts).Name(), "Contacts");
    EXPECT_EQ(s.GetDefaultFolder(store::olFolderNotes).Name(), "Notes");
    EXPECT_EQ(s.GetDefaultFolder(store::olFolderTasks).Name(), "Tasks");
    EXPECT_EQ(s.GetDefaultFolder(store::olFolderJunk).Name(), "Junk E-mail");
    EXPECT_THROW(s.GetDefaultFolder(99), store::StoreError);
    // Validating twice creates nothing new.
    size_t before = s.IPMRootFolder().Folders().size();
    st.ValidateIPMTree();
    EXPECT_EQ(s.IPMRootFolder().Folders().size(), before);
    EXPECT_EQ(before, 11u);

    store::Folder& work = s.IPMRootFolder().AddFolder("Work", store::olFolderMail);
    store::Folder& deep = work.AddFolder("Ärger & Co", store::olFolderMail);
    EXPECT_EQ(&s.GetFolderFromPath("\\\\Mailbox (Zimbra)\\Work\\Ärger & Co"), &deep);
    EXPECT_EQ(&s.GetFolderFromPath("\\\\Mailbox (Zimbra)\\Work\\"), &work);
    EXPECT_EQ(&s.GetFolderFromPath("\\\\Mailbox (Zimbra)\\Inbox"), &s.GetDefaultFolder(store::olFolderInbox));
    EXPECT_EQ(ErrorOf([&] { s.GetFolderFromPath("\\\\Mailbox (Zimbra)\\Work\\Missing\\Below"); }),
              "Folder \"Missing\" does not exist");
    EXPECT_EQ(ErrorOf([&] { s.GetFolderFromPath("\\\\Other\\Work"); }), "Folder \"Other\" does not exist");
    EXPECT_THROW(work.AddFolder("Ärger & Co", store::olFolderMail), store::StoreError);
    EXPECT_THROW(work.AddFolder("", store::olFolderMail), store::StoreError);
    session->Logoff();
    EXPECT_EQ(storetest::VerifierFaults(path), "");
}

TEST(StoreSession, HasAttachFollowsRealAttachmentsOtherFlagsKept) {
    ScratchDir dir;
    std::string path = dir.File("f.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    st.ValidateIPMTree();
    store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);

    auto plain = inbox.AddItem(store::ItemType::Mail);
    plain->SetProp(PR_SUBJECT, std::string("no attachment"));
    plain->SetProp(PR_MESSAGE_FLAGS, int32_t(17));  // READ | HASATTACH, as callers put it
    plain->Save();
    EXPECT_EQ(std::get<int32_t>(*plain->GetProp(PR_MESSAGE_FLAGS)), 1);
    EXPECT_FALSE(plain->GetProp(PR_HASATTACH));  // computed by clients from the flags, never stored

    auto withFile = inbox.AddItem(store::ItemType::Mail);
    withFile->SetProp(PR_MESSAGE_FLAGS, int32_t(0x400));  // EVERREAD only, no READ
    withFile->AddAttachment().SetData(std::vector<uint8_t>{1, 2, 3});
    withFile->Save();
    EXPECT_EQ(std::get<int32_t>(*withFile->GetProp(PR_MESSAGE_FLAGS)), 0x410);
    EXPECT_THROW(withFile->Save(), store::StoreError);
    EXPECT_EQ(inbox.ItemCount(), 2u);
    session->Logoff();
    EXPECT_EQ(storetest::VerifierFaults(path), "");
}

TEST(StoreSession, OutlookItemDefaultsAtSave) {
    ScratchDir dir;
    std::string path = dir.File("d.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    st.ValidateIPMTree();
    auto named = [](const store::Item& item, const pst::Guid& set, uint32_t id) {
        pst::NamedProperty n;
        n.propertySet = set;
        n.lid = id;
        auto v = item.GetNamedProp(n);
        return v ? std::get<int32_t>(*v) : int32_t(0x7EEEEEEE);
    };
    // File As matched to its style, whatever the order of the puts; the user's own text is -1.
    auto ann = st.GetDefaultFolder(store::olFolderContacts).AddItem(store::ItemType::Contact);
    ann->Put("FileAs", std::string("Lee, Ann Marie"));
    ann->Put("FirstName", std::string("Ann"));
    ann->Put("MiddleName", std::string("Marie"));
    ann->Put("LastName", std::string("Lee"));
    ann->Save();
    EXPECT_EQ(named(*ann, pst::PSETID_Address(), lid::PidLidFileUnderId), 0x8017);
    EXPECT_EQ(std::get<int32_t>(*ann->GetProp(PR_ICON_INDEX)), 0x200);
    EXPECT_EQ(store::FileUnderIdFor("Acme\r\nLee, Ann", "", "Ann", "", "Lee", "Acme"), 0x8018);
    EXPECT_EQ(store::FileUnderIdFor("Acme", "Ann Lee", "Ann", "", "Lee", "Acme"), 0x3A16);
    EXPECT_EQ(store::FileUnderIdFor("Acme (Lee, Ann)", "Ann Lee", "Ann", "", "Lee", "Acme"), -1);
    // Tasks are the user's own; the preview is the body's first 255 UTF-16 units, whole characters only.
    auto task = st.GetDefaultFolder(store::olFolderTasks).AddItem(store::ItemType::Task);
    std::string body(254, 'a');
    body += "\xF0\x9F\x98\x80 tail";  // a character of two UTF-16 units astride the limit
    task->Put("Body", body);
    task->Save();
    EXPECT_EQ(named(*task, pst::PSETID_Task(), 0x8113), 1);  // PidLidTaskState
    EXPECT_EQ(named(*task, pst::PSETID_Task(), 0x8129), 0);  // PidLidTaskOwnership
    EXPECT_EQ(std::get<int32_t>(*task->GetProp(PR_ICON_INDEX)), 0x500);
    EXPECT_EQ(std::get<std::string>(*task->GetProp(0x6619001F)), std::string(254, 'a'));
    EXPECT_EQ(std::get<int32_t>(*task->GetProp(0x3FF10003)), 1033);
    // A contact's display lists are left out when they name no one.
    EXPECT_FALSE(ann->GetProp(PR_DISPLAY_TO));
    // The attachment size counts every value: 3 data bytes, the method, rendering position, times, size.
    auto mail = st.GetDefaultFolder(store::olFolderInbox).AddItem(store::ItemType::Mail);
    store::Attachment& a = mail->AddAttachment();
    a.SetProp(PR_ATTACH_NUM, int32_t(0));
    a.SetData(std::vector<uint8_t>{1, 2, 3});
    mail->Save();
    // Written with its item: final from here on.
    EXPECT_THROW(a.GetProp(PR_ATTACH_SIZE), store::StoreError);
    session->Logoff();
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    // Read back from the file: the last message saved holds the attachment.
    pst::ndb::NodeDb db(path, pst::ndb::NodeDb::Existing{});
    std::optional<pst::ndb::NodeEntry> message;
    db.ForEachNode([&](uint32_t nid, const pst::ndb::NodeEntry& entry) {
        if ((nid & 0x1F) == pst::ndb::NID_TYPE_NORMAL_MESSAGE) message = entry;
    });
    ASSERT_TRUE(message);
    std::vector<pst::ltp::PcProp> props;
    for (const auto& sub : db.ReadSubnodes(message->bidSub))
        if ((sub.nid & 0x1F) == pst::ndb::NID_TYPE_ATTACHMENT) props = pst::ltp::ReadPc(db, sub.bidData, sub.bidSub);
    auto value = [&](uint32_t tag) {
        for (const auto& p : props)
            if (p.tag == tag) return p.value;
        return pst::ndb::Bytes{};
    };
    ASSERT_EQ(value(PR_ATTACH_SIZE).size(), 4u);
    EXPECT_EQ(pst::ndb::Get32(value(PR_ATTACH_SIZE).data()), 3u + 4 + 4 + 8 + 8 + 4);
    EXPECT_TRUE(value(PR_ATTACH_NUM).empty());
}

TEST(StoreSession, TheUsersLocaleIsStampedOnNewItemsAlsoOfAnOpenedFile) {
    EXPECT_EQ(store::LocaleIdFor("de_DE"), 1031);
    EXPECT_EQ(store::LocaleIdFor("PT-br"), 1046);
    EXPECT_EQ(store::LocaleIdFor("pt"), 2070);
    EXPECT_EQ(store::LocaleIdFor("0x0407"), 1031);
    EXPECT_EQ(store::LocaleIdFor("01031"), 1031);  // decimal, not octal
    for (const char* bad : {"", "xx", "de-XX", "0", "0x100000", "1031x", "-1"}) EXPECT_FALSE(store::LocaleIdFor(bad)) << bad;
    ScratchDir dir;
    const std::string path = dir.File("loc.pst");
    for (int32_t locale : {1031, 1046}) {
        store::SessionOptions options;
        options.localeId = locale;
        auto session = store::CreatePstSession(options);
        store::Store& st = session->LogonPstStore(path, 1, "Mailbox");  // made, then opened to add to
        st.ValidateIPMTree();
        auto mail = st.GetDefaultFolder(store::olFolderInbox).AddItem(store::ItemType::Mail);
        mail->Save();
        EXPECT_EQ(std::get<int32_t>(*mail->GetProp(0x3FF10003)), locale);
        session->Logoff();
    }
    EXPECT_EQ(storetest::VerifierFaults(path), "");
}

TEST(StoreSession, ListMembersThatAreSavedContactsAreLinkedToThem) {
    ScratchDir dir;
    std::string path = dir.File("l.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    st.ValidateIPMTree();
    store::Folder& contacts = st.GetDefaultFolder(store::olFolderContacts);
    auto dana = contacts.AddItem(store::ItemType::Contact);
    dana->Put("FullName", std::string("Dana Reyes"));
    dana->Put("Email1Address", std::string("Dana@Acme.example"));
    dana->Save();
    auto list = contacts.AddItem(store::ItemType::Contact);
    list->Put("MessageClass", std::string("IPM.DistList"));
    list->Put("DLName", std::string("Club"));
    const std::vector<pst::Binary> oneOffs = {pst::OneOffEntryId("Reyes, Dana", "dana@acme.example"),
                                              pst::OneOffEntryId("Lee", "lee@example.org")};
    list->Put("DLMembers", oneOffs);
    list->Save();
    auto get = [&](uint32_t id) {
        pst::NamedProperty n;
        n.propertySet = pst::PSETID_Address();
        n.lid = id;
        return *list->GetNamedProp(n);
    };
    const auto members = std::get<std::vector<pst::Binary>>(get(lid::PidLidDistributionListMembers));
    ASSERT_EQ(members.size(), 2u);
    // Dana's member is a wrapped entry ID of her contact: wrapped-ID provider, type 0xC3, her ENTRYID.
    EXPECT_EQ(members[0].size(), 4u + 16u + 1u + 24u);
    EXPECT_EQ(members[0][4], 0xC0);
    EXPECT_EQ(members[0][20], 0xC3);
    EXPECT_EQ(members[1], oneOffs[1]);  // no contact: the one-off stays
    EXPECT_EQ(std::get<std::vector<pst::Binary>>(get(lid::PidLidDistributionListOneOffMembers)), oneOffs);
    EXPECT_EQ(std::get<int32_t>(get(lid::PidLidDistributionListChecksum)), int32_t(store::DistListChecksum(members)));
    session->Logoff();
    EXPECT_EQ(storetest::VerifierFaults(path), "");
}

TEST(StoreSession, ListSavedBeforeItsContactsIsLinkedAtTheNextCommits) {
    ScratchDir dir;
    std::string path = dir.File("late.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    st.ValidateIPMTree();
    store::Folder& contacts = st.GetDefaultFolder(store::olFolderContacts);
    auto contact = [&](const std::string& name, const std::string& address) {
        auto c = contacts.AddItem(store::ItemType::Contact);
        c->Put("FullName", name);
        c->Put("Email1Address", address);
        c->Save();
    };
    auto list = contacts.AddItem(store::ItemType::Contact);
    list->Put("MessageClass", std::string("IPM.DistList"));
    list->Put("DLName", std::string("Club"));
    const std::vector<pst::Binary> oneOffs = {pst::OneOffEntryId("Dana", "dana@acme.example"),
                                              pst::OneOffEntryId("Lee", "lee@example.org")};
    list->Put("DLMembers", oneOffs);
    list->Save();
    auto members = [&] {
        pst::NamedProperty n;
        n.propertySet = pst::PSETID_Address();
        n.lid = lid::PidLidDistributionListMembers;
        return std::get<std::vector<pst::Binary>>(*list->GetNamedProp(n));
    };
    st.Commit();
    EXPECT_EQ(members(), oneOffs);
    contact("Dana Reyes", "dana@acme.example");
    contact("Dana Again", "DANA@acme.example");  // a second contact of the address is not linked
    st.Commit();
    auto linked = members();
    ASSERT_EQ(linked.size(), 2u);
    EXPECT_EQ(linked[0][20], 0xC3);
    EXPECT_EQ(linked[1], oneOffs[1]);
    const pst::Binary dana = linked[0];
    contact("Lee", "lee@example.org");
    session->Logoff();
    linked = members();
    EXPECT_EQ(linked[0], dana);  // the first contact of an address stays the one linked
    EXPECT_EQ(linked[1][20], 0xC3);
    EXPECT_NE(linked[1], dana);
    EXPECT_EQ(storetest::VerifierFaults(path), "");
}

TEST(StoreSession, MismatchedValueTypeIsRejectedAtSetProp) {
    ScratchDir dir;
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(dir.File("t.pst"), 1, "Mailbox");
    auto item = st.IPMRootFolder().AddItem(store::ItemType::Mail);
    EXPECT_THROW(item->SetProp(PR_SUBJECT, int32_t(3)), store::StoreError);
    EXPECT_THROW(item->SetProp(PR_MESSAGE_FLAGS, std::string("x")), store::StoreError);
    // An 8-bit string tag is stored as Unicode.
    item->SetProp(pst::MakeTag(0x0037, pst::PT_STRING8), std::string("Subject"));
    EXPECT_EQ(std::get<std::string>(*item->GetProp(PR_SUBJECT)), "Subject");
}

TEST(StoreSession, NamedPropertiesGetStableIds) {
    ScratchDir dir;
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(dir.File("n.pst"), 1, "Mailbox");
    auto item = st.IPMRootFolder().AddItem(store::ItemType::Contact);
    pst::NamedProperty email{pst::PSETID_Address(), false, 0x8083, {}};
    pst::NamedProperty custom{pst::PS_PUBLIC_STRINGS(), true, 0, "X-Zimbra-Id"};
    item->SetNamedProp(email, pst::PT_UNICODE, std::string("a@example.com"));
    item->SetNamedProp(custom, pst::PT_UNICODE, std::string("42"));
    EXPECT_EQ(std::get<std::string>(*item->GetNamedProp(email)), "a@example.com");
    EXPECT_EQ(std::get<std::string>(*item->GetNamedProp(custom)), "42");
    auto other = st.IPMRootFolder().AddItem(store::ItemType::Contact);
    EXPECT_FALSE(other->GetNamedProp(email).has_value());
}

TEST(StoreSession, AbandonedItemLeavesNoBlocksBehind) {
    ScratchDir dir;
    std::string path = dir.File("a.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    st.ValidateIPMTree();
    store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);
    {
        auto dropped = inbox.AddItem(store::ItemType::Mail);
        dropped->AddAttachment().SetData(std::vector<uint8_t>(300000, 7));  // streamed into the file
        auto& att = dropped->AddAttachment();
        att.EmbeddedMessage().AddAttachment().SetData(std::vector<uint8_t>(50000, 9));
    }
    auto kept = inbox.AddItem(store::ItemType::Mail);
    auto& a = kept->AddAttachment();
    a.SetData(std::vector<uint8_t>(40000, 1));
    a.SetData(std::vector<uint8_t>(20000, 2));  // replaces the first data
    kept->Save();
    session->Logoff();
    EXPECT_EQ(storetest::VerifierFaults(path), "");
}

TEST(StoreSession, UnreadableAttachmentFileIsAStoreError) {
    ScratchDir dir;
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(dir.File("u.pst"), 1, "Mailbox");
    auto item = st.IPMRootFolder().AddItem(store::ItemType::Mail);
    std::string missing = dir.File("no-such-file.bin");
    std::string err = ErrorOf([&] { item->AddAttachment().SetDataFromFile(missing); });
    EXPECT_NE(err.find(missing), std::string::npos) << err;
}

TEST(StoreSession, UnencryptedOption) {
    ScratchDir dir;
    std::string path = dir.File("plain.pst");
    auto session = store::CreatePstSession(store::SessionOptions{false});
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    auto item = st.IPMRootFolder().AddItem(store::ItemType::Mail);
    item->SetProp(PR_SUBJECT, std::string("PLAINTEXT-MARKER"));
    item->Save();
    session->Logoff();
    std::string bytes = ReadAll(path);
    EXPECT_EQ(uint8_t(bytes.at(0x201)), 0);
    std::string marker;
    for (char c : std::string("PLAINTEXT-MARKER")) marker += std::string{c, '\0'};
    EXPECT_NE(bytes.find(marker), std::string::npos);
    EXPECT_EQ(storetest::VerifierFaults(path), "");
}

TEST(StoreSession, ObjectsHeldPastLogoffFailCleanly) {
    ScratchDir dir;
    std::string path = dir.File("late.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    auto early = st.IPMRootFolder().AddItem(store::ItemType::Mail);
    auto late = st.IPMRootFolder().AddItem(store::ItemType::Mail);
    early->AddAttachment().SetData(std::vector<uint8_t>(20000, 1));
    session->Logoff();
    EXPECT_THROW(late->Save(), store::StoreError);
    EXPECT_THROW(st.Commit(), store::StoreError);
    EXPECT_THROW(session->GetStoreFromID(st.EntryID()), store::StoreError);
    early.reset();  // an unsaved item after log-off gives nothing back to a closed file
    session.reset();
    late.reset();   // and nothing breaks once the session itself is gone
    EXPECT_EQ(storetest::VerifierFaults(path), "");
}

TEST(StoreSession, FailedLogonLeavesNoFileBehind) {
    ScratchDir dir;
    std::string path = dir.File("never.pst");
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    ::setenv("TMPDIR", dir.File("no-such-dir").c_str(), 1);  // the row spool cannot be made
    auto session = store::CreatePstSession();
    EXPECT_THROW(session->LogonPstStore(path, 1, "Mailbox"), store::StoreError);
    if (old)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    EXPECT_FALSE(std::filesystem::exists(path));
}
