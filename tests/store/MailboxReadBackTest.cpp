// A whole mailbox through the store session, read back by the three readers
// of pst-inspect (--compare, --strict) and by our verifier: a three-level tree
// with non-ASCII names, a thousand messages with recipients, attachments over
// 8 KB and over 10 MB (XXBLOCK), an embedded message, named properties, and
// one contact, appointment, task and note.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "store/PstStoreSession.h"

using namespace pst::tags;
using storetest::ScratchDir;

namespace {

pst::FileTime Utc(int64_t unixSeconds) { return pst::FileTime{uint64_t(unixSeconds) * 10000000ull + 116444736000000000ull}; }

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        v[i] = uint8_t(seed >> 16);
    }
    return v;
}

struct Expected {
    std::map<std::string, std::vector<std::string>> messages;  // folder path -> JSON entries
    std::string extra;                                          // other kinds, JSON members
};

}  // namespace

TEST(MailboxReadBack, ThreeReadersSeeWhatWasWritten) {
    ScratchDir dir;
    std::string path = dir.File("mailbox.pst");
    Expected expected;
    const std::string level1 = "Projekte Ü", level2 = "Kunden – Ärger", level3 = "日本語 フォルダ";
    const std::string deepPath = level1 + "/" + level2 + "/" + level3;
    std::vector<uint8_t> bigData = Pattern(10'500'000, 7);
    {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(path, 1, "Mailbox (Zimbra) : Created - 2026");
        st.ValidateIPMTree();
        store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);
        store::Folder& f1 = st.IPMRootFolder().AddFolder(level1, store::olFolderMail);
        store::Folder& f2 = f1.AddFolder(level2, store::olFolderMail);
        store::Folder& f3 = f2.AddFolder(level3, store::olFolderMail);
        EXPECT_EQ(&st.GetFolderFromPath("\\\\Mailbox (Zimbra) : Created - 2026\\" + level1 + "\\" + level2 + "\\" + level3), &f3);

        struct Target {
            store::Folder* folder;
            std::string path;
        } targets[] = {{&inbox, "Inbox"}, {&f1, level1}, {&f2, level1 + "/" + level2}, {&f3, deepPath}};
        for (int i = 0; i < 1000; ++i) {
            Target& t = targets[i % 4];
            auto item = t.folder->AddItem(store::ItemType::Mail);
            std::string subject = "Nachricht " + std::to_string(i) + " – Grüße ✓";
            item->SetProp(PR_SUBJECT, subject);
            item->SetProp(PR_BODY, "Körper " + std::string(size_t(100 + i), 'x'));
            item->SetProp(PR_SENDER_NAME, std::string("Zoë Sender"));
            item->SetProp(PR_SENDER_EMAIL_ADDRESS, "sender" + std::to_string(i % 7) + "@example.com");
            item->SetProp(PR_MESSAGE_DELIVERY_TIME, Utc(1700000000 + i * 60));
            item->SetProp(PR_CLIENT_SUBMIT_TIME, Utc(1700000000 + i * 60 - 30));
            std::string to = "to" + std::to_string(i) + "@example.com";
            auto& r1 = item->AddRecipient();
            r1.SetProp(PR_DISPLAY_NAME, std::string("Empfänger Eins"));
            r1.SetProp(PR_EMAIL_ADDRESS, to);
            r1.SetProp(PR_RECIPIENT_TYPE, int32_t(1));
            auto& r2 = item->AddRecipient();
            r2.SetProp(PR_DISPLAY_NAME, std::string("Copy"));
            r2.SetProp(PR_EMAIL_ADDRESS, std::string("cc@example.com"));
            r2.SetProp(PR_RECIPIENT_TYPE, int32_t(2));
            std::string entry = "{\"subject\": " + JsonString(subject) +
                                ", \"sender_address\": " + JsonString("sender" + std::to_string(i % 7) + "@example.com") +
                                ", \"recipients\": [" + JsonString(to) + ", \"cc@example.com\"]";
            if (i == 10) {
                auto& a = item->AddAttachment();
                a.SetProp(PR_ATTACH_LONG_FILENAME, std::string("Bericht Ü.pdf"));
                a.SetData(Pattern(20000, 3));
                entry += ", \"attachments\": [\"Bericht Ü.pdf\"]";
            }
            if (i == 11) {
                auto& a = item->AddAttachment();
                a.SetProp(PR_ATTACH_LONG_FILENAME, std::string("big.bin"));
                a.SetData(bigData);
                entry += ", \"attachments\": [\"big.bin\"]";
            }
            if (i == 12) {
                auto& a = item->AddAttachment();
                a.SetProp(PR_DISPLAY_NAME, std::string("Weitergeleitet"));
                store::Item& inner = a.EmbeddedMessage(store::ItemType::Mail);
                inner.SetProp(PR_SUBJECT, std::string("Inner message"));
                inner.SetProp(PR_BODY, std::string("inner body"));
                inner.AddAttachment().SetData(Pattern(9000, 5));
                entry += ", \"attachment_count\": 1";
            }
            if (i == 13) {
                item->SetNamedProp({pst::PS_PUBLIC_STRINGS(), true, 0, "Keywords"}, pst::PT_MV_UNICODE,
                                   std::vector<std::string>{"Rot", "Grün"});
                item->SetNamedProp({pst::PSETID_Common(), false, 0x8580, {}}, pst::PT_UNICODE, std::string("x-id"));
            }
            item->SetProp(PR_MESSAGE_FLAGS, int32_t(i % 5 == 0 ? 0 : 1));
            item->Save();
            expected.messages[t.path].push_back(entry + "}");
        }

        auto contact = st.GetDefaultFolder(store::olFolderContacts).AddItem(store::ItemType::Contact);
        contact->SetProp(PR_DISPLAY_NAME, std::string("Jürgen Müller"));
        contact->SetProp(PR_SUBJECT, std::string("Jürgen Müller"));
        contact->SetProp(PR_GIVEN_NAME, std::string("Jürgen"));
        contact->SetProp(PR_SURNAME, std::string("Müller"));
        contact->SetProp(PR_COMPANY_NAME, std::string("Acme GmbH"));
        contact->SetNamedProp({pst::PSETID_Address(), false, 0x8005, {}}, pst::PT_UNICODE, std::string("Müller, Jürgen"));
        contact->SetNamedProp({pst::PSETID_Address(), false, 0x8083, {}}, pst::PT_UNICODE, std::string("jm@example.com"));
        contact->SetNamedProp({pst::PSETID_Address(), false, 0x8082, {}}, pst::PT_UNICODE, std::string("SMTP"));
        contact->SetNamedProp({pst::PSETID_Address(), false, 0x8080, {}}, pst::PT_UNICODE,
                              std::string("Jürgen Müller (jm@example.com)"));
        contact->Save();

        auto appt = st.GetDefaultFolder(store::olFolderCalendar).AddItem(store::ItemType::Appointment);
        appt->SetProp(PR_SUBJECT, std::string("Besprechung"));
        appt->SetNamedProp({pst::PSETID_Appointment(), false, 0x820D, {}}, pst::PT_SYSTIME, Utc(1709287200));
        appt->SetNamedProp({pst::PSETID_Appointment(), false, 0x820E, {}}, pst::PT_SYSTIME, Utc(1709290800));
        appt->SetNamedProp({pst::PSETID_Appointment(), false, 0x8208, {}}, pst::PT_UNICODE, std::string("Raum 4"));
        appt->SetProp(pst::MakeTag(0x0060, pst::PT_SYSTIME), Utc(1709287200));
        appt->SetProp(pst::MakeTag(0x0061, pst::PT_SYSTIME), Utc(1709290800));
        appt->Save();

        auto task = st.GetDefaultFolder(store::olFolderTasks).AddItem(store::ItemType::Task);
        task->SetProp(PR_SUBJECT, std::string("Bericht schreiben"));
        task->SetNamedProp({pst::PSETID_Task(), false, 0x8104, {}}, pst::PT_SYSTIME, Utc(1709251200));
        task->SetNamedProp({pst::PSETID_Task(), false, 0x8105, {}}, pst::PT_SYSTIME, Utc(1709596800));
        task->Save();

        auto note = st.GetDefaultFolder(store::olFolderNotes).AddItem(store::ItemType::Note);
        note->SetProp(PR_SUBJECT, std::string("Idee"));
        note->SetProp(PR_BODY, std::string("Idee\r\nmit zwei Zeilen"));
        note->Save();
        session->Logoff();
    }
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    if (!storetest::InspectAvailable()) GTEST_SKIP() << "pst-inspect not found";

    std::string json = "{\"store_display_name\": \"Mailbox (Zimbra) : Created - 2026\", \"folders\": {";
    for (auto& [folder, entries] : expected.messages) {
        json += JsonString(folder) + ": {\"messages\": [";
        for (size_t i = 0; i < entries.size(); ++i) json += (i ? ", " : "") + entries[i];
        json += "]}, ";
    }
    json += "\"Contacts\": {\"contacts\": [{\"name\": \"Jürgen Müller\", \"email\": \"jm@example.com\", \"company\": \"Acme GmbH\"}]}, ";
    json += "\"Calendar\": {\"appointments\": [{\"subject\": \"Besprechung\", \"start\": \"2024-03-01T10:00:00Z\", "
            "\"end\": \"2024-03-01T11:00:00Z\", \"location\": \"Raum 4\"}]}, ";
    json += "\"Tasks\": {\"tasks\": [{\"subject\": \"Bericht schreiben\", \"start\": \"2024-03-01\", \"due\": \"2024-03-05\"}]}, ";
    json += "\"Notes\": {\"notes\": [{\"subject\": \"Idee\", \"body\": \"Idee\\nmit zwei Zeilen\"}]}";
    json += "}, \"options\": {\"extra_folders\": \"ignore_empty\", \"extra_items\": \"report\"}}";
    std::string expectedPath = dir.File("expected.json");
    storetest::WriteText(expectedPath, json);

    auto compare = storetest::Run(std::string(ORVANDEL_PST_INSPECT) + " --reader all --strict --compare " +
                                  storetest::Quote(expectedPath) + " " + storetest::Quote(path));
    EXPECT_EQ(compare.status, 0) << compare.output;

    // Values the comparison does not cover: sizes and body lengths as each reader sees them.
    auto sizes = storetest::Run(
        std::string(ORVANDEL_PST_INSPECT) + " --reader pypff,pst-extractor --json " + storetest::Quote(path) +
        " | python3 -c '\n"
        "import json,sys\n"
        "d=json.load(sys.stdin)\n"
        "for name,r in d[\"readers\"].items():\n"
        "  for f in r[\"folders\"]:\n"
        "    for it in f[\"items\"]:\n"
        "      s=it.get(\"subject\") or \"\"\n"
        "      if s.startswith(\"Nachricht 11 \"): print(name, \"big\", it[\"attachments\"][0][\"size\"])\n"
        "      if s.startswith(\"Nachricht 10 \"): print(name, \"small\", it[\"attachments\"][0][\"size\"])\n"
        "      if s.startswith(\"Nachricht 999 \"): print(name, \"body\", it[\"body_length\"])\n"
        "'");
    ASSERT_EQ(sizes.status, 0) << sizes.output;
    for (const char* reader : {"pypff", "pst-extractor"}) {
        EXPECT_NE(sizes.output.find(std::string(reader) + " big 10500000"), std::string::npos) << sizes.output;
        EXPECT_NE(sizes.output.find(std::string(reader) + " small 20000"), std::string::npos) << sizes.output;
        EXPECT_NE(sizes.output.find(std::string(reader) + " body 1106"), std::string::npos) << sizes.output;
    }

    // The big attachment's bytes, exported by libpff, are the bytes written.
    std::string out = dir.File("export");
    auto exported = storetest::Run("pffexport -q -m items -t " + storetest::Quote(out) + " " + storetest::Quote(path));
    ASSERT_EQ(exported.status, 0) << exported.output;
    bool found = false;
    for (auto& e : std::filesystem::recursive_directory_iterator(out + ".export")) {
        std::string name = e.path().filename().string();  // pffexport prefixes the attachment number
        if (name.size() < 7 || name.substr(name.size() - 7) != "big.bin") continue;
        std::ifstream in(e.path(), std::ios::binary);
        std::vector<uint8_t> back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(back == bigData);
        found = true;
    }
    EXPECT_TRUE(found);
}
