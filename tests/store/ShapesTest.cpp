// Unusual shapes of one message: each forces a different structure of the
// format (SIBLOCK, multi-page PC heap, row matrix in a subnode of a subnode,
// table cells in subnodes, XBLOCK values), read back by all three readers.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "store/PstStoreSession.h"

using namespace pst::tags;
using storetest::ScratchDir;

TEST(MessageShapes, ExtremeMessagesStayReadable) {
    ScratchDir dir;
    std::string path = dir.File("shapes.pst");
    {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(path, 1, "Shapes");
        st.ValidateIPMTree();
        store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);

        // 400 attachments: more subnodes than one SLBLOCK holds (340) -> SIBLOCK.
        auto many = inbox.AddItem(store::ItemType::Mail);
        many->SetProp(PR_SUBJECT, std::string("many attachments"));
        for (int i = 0; i < 400; ++i) {
            auto& a = many->AddAttachment();
            a.SetProp(PR_ATTACH_LONG_FILENAME, "part" + std::to_string(i) + ".txt");
            a.SetData(std::vector<uint8_t>(size_t(10 + i), uint8_t('a' + i % 26)));
        }
        many->Save();

        // 3000 recipients: the rows wait in a temporary file, the table's row
        // matrix goes to a subnode of its subnode, and its heap of hundreds of
        // pages (bitmap pages among them) is written while it grows.
        auto crowd = inbox.AddItem(store::ItemType::Mail);
        crowd->SetProp(PR_SUBJECT, std::string("many recipients"));
        for (int i = 0; i < 3000; ++i) {
            auto& r = crowd->AddRecipient();
            r.SetProp(PR_DISPLAY_NAME, "Person " + std::to_string(i));
            r.SetProp(PR_EMAIL_ADDRESS, "p" + std::to_string(i) + "@example.com");
            r.SetProp(PR_RECIPIENT_TYPE, int32_t(1 + i % 3));
        }
        // A row is final once the next one begins.
        auto& last = crowd->AddRecipient();
        last.SetProp(PR_EMAIL_ADDRESS, std::string("last@example.com"));
        crowd->AddRecipient().SetProp(PR_EMAIL_ADDRESS, std::string("after@example.com"));
        EXPECT_THROW(last.SetProp(PR_DISPLAY_NAME, std::string("late")), store::StoreError);
        crowd->Save();

        // A 4000-character subject: 8000 bytes in the contents table, so the cell
        // lives in a subnode of the table; twenty 3000-byte values spread the PC
        // heap over several pages; a 100 KB body is an XBLOCK in a subnode.
        auto wide = inbox.AddItem(store::ItemType::Mail);
        wide->SetProp(PR_SUBJECT, std::string(4000, 'S'));
        for (int i = 0; i < 20; ++i)
            wide->SetNamedProp({pst::PS_PUBLIC_STRINGS(), true, 0, "x-field-" + std::to_string(i)}, pst::PT_UNICODE,
                               std::string(1500, char('A' + i)));
        wide->SetProp(PR_BODY, std::string(100000, 'b'));
        wide->SetProp(PR_HTML, pst::Binary(70000, 'h'));
        wide->Save();
        session->Logoff();
    }
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    if (!storetest::InspectAvailable()) GTEST_SKIP() << "pst-inspect not found";
    // libpst (readpst) does not follow SIBLOCK subnode trees, so it cannot see the
    // 400 attachments; the other two readers and our verifier check this file.
    std::string json = dir.File("shapes.json");
    auto inspect = storetest::Run(std::string(ORVANDEL_PST_INSPECT) + " --reader pypff,pst-extractor --strict --json " +
                                  storetest::Quote(path) + " > " + storetest::Quote(json));
    EXPECT_EQ(inspect.status, 0) << inspect.output;
    auto counts = storetest::Run(
        "python3 -c '\n"
        "import json,sys\n"
        "d=json.load(open(sys.argv[1]))\n"
        "for name,r in sorted(d[\"readers\"].items()):\n"
        "  for f in r[\"folders\"]:\n"
        "    for it in f[\"items\"]:\n"
        "      s=(it.get(\"subject\") or \"\")[:20]\n"
        "      print(name, s, it[\"attachment_count\"], it[\"recipient_count\"], it[\"body_length\"], it[\"has_html\"])\n"
        "' " + storetest::Quote(json));
    ASSERT_EQ(counts.status, 0) << counts.output;
    for (const char* reader : {"pypff", "pst-extractor"}) {
        std::string r(reader);
        EXPECT_NE(counts.output.find(r + " many attachments 400 0"), std::string::npos) << counts.output;
        EXPECT_NE(counts.output.find(r + " many recipients 0 3002"), std::string::npos) << counts.output;
        EXPECT_NE(counts.output.find(r + " SSSSSSSSSSSSSSSSSSSS 0 0 100000 True"), std::string::npos) << counts.output;
    }
}
