// Items written into real PST files and read back by the three independent
// readers of pst-inspect (--strict --compare) and by our structural verifier:
// converters driven directly, and `orvandel convert` over the sample export.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "MetaEncoding.h"
#include "ReadBackSupport.h"
#include "support/Shell.h"
#include "items/ZimbraConverters.h"
#include "pst/verify/Verifier.h"
#include "store/PstStoreSession.h"

namespace fs = std::filesystem;
using namespace items;
using namespace metaenc;

namespace {

using ShellRun = testshell::Result;
using testshell::Quote;

class ReadBack : public itemsrb::ReadBackFixture {};

}  // namespace

TEST_F(ReadBack, ConvertedItemsShowInEveryReader) {
    std::string pstPath = root_ + "/items.pst";
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(pstPath, 1, "Items");
    st.ValidateIPMTree();
    ItemContext ctx;
    ctx.session = session.get();
    ctx.storeEntryID = st.EntryID();

    std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0", 25);
    Write("Contacts/Weber, Anna",
          "Message-ID: <1@example>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
          "--b\r\nContent-Type: image/png; name=photo.png\r\nContent-Disposition: attachment; filename=photo.png; "
          "field=image\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + png + "\r\n--b--\r\n");
    std::vector<std::string> files = {
        Write("Contacts/Weber, Anna.meta",
              ContactMeta({{"firstName", "Anna"}, {"lastName", "Weber"}, {"email", "anna.weber@example.de"},
                           {"company", "Weber: Beratung \xE2\x80\x93 M\xC3\xBCnchen"},
                           {"notes", "Dr. Weber: Hauptstr. 5\r\nTermin: 10:30"}, {"birthday", "1980-05-04"}})),
        Write("Emailed Contacts/chen.meta", ContactMeta({{"firstName", "Wei"}, {"lastName", "Chen \xE9\x99\x88"},
                                                         {"email", "wei.chen@example.cn"}})),
    };
    for (auto& f : files) EXPECT_EQ(ConvertContactFile(ctx, f), ItemOutcome::Saved) << f;

    Write("Calendar/0000000401-Budget review.appt",
          "Message-ID: <2@example>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/digest; boundary=\"o\"\r\n\r\n"
          "--o\r\nContent-Type: message/rfc822\r\n\r\nSubject: Budget review\r\nMIME-Version: 1.0\r\n"
          "Content-Type: multipart/mixed; boundary=\"i\"\r\n\r\n--i\r\nContent-Type: text/calendar; name=meeting.ics\r\n\r\n"
          "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n--i\r\nContent-Type: application/pdf; name=agenda.pdf\r\n"
          "Content-Disposition: attachment; filename=agenda.pdf\r\nContent-Transfer-Encoding: base64\r\n\r\n"
          "JVBERi0xLjQK\r\n--i--\r\n\r\n--o--\r\n");
    EXPECT_EQ(ConvertCalendarFile(ctx, Write("Calendar/0000000401-Budget review.appt.meta",
                                             AppointmentMeta({{"desc", BStr("Dial-in: 10:30\r\nCode: 42")},
                                                              {"n", BStr("Budget: Q1")},
                                                              {"st", BStr("TZID=America/New_York:20240115T093000")},
                                                              {"et", BStr("TZID=America/New_York:20240115T103000")},
                                                              {"l", BStr("Room 4: East")}}))),
              ItemOutcome::Saved);
    EXPECT_EQ(ConvertCalendarFile(ctx, Write("Calendar/0000000402-Holiday.appt.meta",
                                             AppointmentMeta({{"n", BStr("Holiday")},
                                                              {"st", BStr("VALUE=DATE:20240301")},
                                                              {"et", BStr("VALUE=DATE:20240302")}}))),
              ItemOutcome::Saved);
    EXPECT_EQ(ConvertTaskFile(ctx, Write("Tasks/0000000500-Report.task.meta",
                                         AppointmentMeta({{"n", BStr("File: report")},
                                                          {"desc", BStr("Step 1\r\nStep 2")},
                                                          {"st", BStr("VALUE=DATE:20240301")},
                                                          {"et", BStr("VALUE=DATE:20240305")}},
                                                         15, "/Tasks/"))),
              ItemOutcome::Saved);
    Write("Notebook/Plans, ideas.wiki", "<html><body><p>Step: one &amp; two</p></body></html>");
    EXPECT_EQ(ConvertNoteFile(ctx, Write("Notebook/Plans, ideas.wiki.meta",
                                         MetaJson({{"type", "14"}, {"name", JsonQuote("Plans, ideas")},
                                                   {"Path", JsonQuote("/Notebook/Plans, ideas")}},
                                                  BDict({{"f", BStr("Step: one")}, {"v", BInt(10)}})))),
              ItemOutcome::Saved);
    session->Logoff();

    ExpectJudgedClean(pstPath, R"({
      "store_display_name": "Items",
      "folders": {
        "Contacts": {"contacts": [
          {"name": "Anna Weber", "email": "anna.weber@example.de", "company": "Weber: Beratung – München"},
          {"name": "Wei Chen 陈", "email": "wei.chen@example.cn"}]},
        "Calendar": {"appointments": [
          {"subject": "Budget: Q1", "start": "2024-01-15T14:30:00Z", "end": "2024-01-15T15:30:00Z", "location": "Room 4: East"},
          {"subject": "Holiday", "start": "2024-03-01T00:00:00Z", "end": "2024-03-02T00:00:00Z"}]},
        "Tasks": {"tasks": [{"subject": "File: report", "start": "2024-03-01", "due": "2024-03-05"}]},
        "Notes": {"notes": [{"subject": "Plans, ideas", "body": "Step: one & two"}]}
      },
      "options": {"extra_folders": "ignore"}
    })");

    ShellRun json = testshell::Run(Quote(ORVANDEL_PST_INSPECT) + " --reader pypff --timeout 120 --json " + Quote(pstPath));
    EXPECT_NE(json.output.find("agenda.pdf"), std::string::npos);
    EXPECT_EQ(json.output.find("meeting.ics"), std::string::npos);
}

#ifdef ORVANDEL_BIN
TEST_F(ReadBack, SampleExportItemsThroughConvert) {
    std::string pstPath = root_ + "/alice.pst";
    ShellRun run = testshell::Run("TZ=UTC " + Quote(ORVANDEL_BIN) + " convert " + Quote(std::string(ORVANDEL_SAMPLE_EXPORT) + "/alice") +
                    " --quiet --pst " + Quote(pstPath));
    ASSERT_EQ(run.status, 0) << run.output;
    ShellRun verify = testshell::Run(Quote(ORVANDEL_BIN) + " verify " + Quote(pstPath));
    EXPECT_EQ(verify.status, 0) << verify.output;
    ExpectJudgedClean(pstPath, R"({
      "folders": {
        "Contacts": {"contacts": [
          {"name": "Jürgen Müller", "email": "juergen.mueller@example.de", "company": "Müller & Söhne"},
          {"name": "Acme Corp - Sales", "email": "sales@acme.example", "company": "Acme Corp"},
          {"name": "Dana Reyes", "email": "dana@acme.example", "company": "Acme"},
          {"name": "susan", "email": "susan.k@example.org"},
          {"name": "susan", "email": "susan@example.org"},
          {"name": "Chiara Bianchi", "email": "chiara@example.it"}],
          "distlists": [{"subject": "Book club"}]},
        "Calendar": {"appointments": [
          {"subject": "Team meeting", "start": "2024-01-15T08:30:00Z", "end": "2024-01-15T09:30:00Z", "location": "Room 4.12"},
          {"subject": "Design review", "start": "2024-02-20T13:00:00Z", "end": "2024-02-20T14:00:00Z",
           "location": "https://meet.example.com:8443/room"},
          {"subject": "Company holiday", "start": "2024-03-01T00:00:00Z", "end": "2024-03-02T00:00:00Z"}]},
        "Tasks": {"tasks": [
          {"subject": "File taxes", "due": "2024-04-15"},
          {"subject": "Renew passport", "start": "2024-01-02", "due": "2024-01-10"}]},
        "Notes": {"notes": ["Ideas & To-Dos", "Meeting Notes"]}
      },
      "options": {"extra_folders": "ignore"}
    })");
}
#endif
