// Recurring appointments converted into a real PST and read back: our
// verifier and pst-inspect --strict, and a pypff script that decodes the
// recurrence and time-zone blobs on its own and compares the first 20
// instances with python-dateutil's expansion of the source rule.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "MetaEncoding.h"
#include "ReadBackSupport.h"
#include "items/ZimbraConverters.h"
#include "items/ZimbraRecurrence.h"
#include "store/PstStoreSession.h"
#include "support/Shell.h"

using namespace items;
using namespace metaenc;

namespace {

std::string Rule(const std::string& dtstart, const std::string& recur, const std::string& dur = "PT1H") {
    return BDict({{"dts", BStr(dtstart)},
                  {"dur", BStr(dur)},
                  {"inv", BDict({{"c", BInt(0)}, {"i", BInt(257)}, {"m", BInt(3)}})},
                  {"recur", BStr(recur)},
                  {"t", BInt(2)}});
}

// A calendar item: the series invite with its rule (and EXDATEs), then the
// changed or cancelled instances as further invites.
std::string SeriesMeta(const std::string& subject, const std::string& st, const std::string& et,
                       const std::string& recur, const std::vector<Entries>& instances = {},
                       const std::string& exdates = "", const std::string& alarm = "", const Entries& more = {}) {
    Entries recurrence = {{"add", BDict({{"nr", BInt(1)}, {"r0", Rule(st, recur)}})},
                          {"dts", BStr(st)},
                          {"duration", BStr("PT1H")},
                          {"numEx", BStr("0")},
                          {"t", BStr("4")}};
    if (!exdates.empty()) recurrence.emplace_back("sub", exdates);
    Entries inv = {{"n", BStr(subject)}, {"st", BStr(st)}, {"et", BStr(et)}, {"l", BStr("Room 1")}};
    if (!recur.empty()) inv.emplace_back("recurrence", BDict(recurrence));
    if (!alarm.empty()) inv.emplace_back("al0", alarm);
    for (const auto& m : more) inv.push_back(m);
    Entries top = {{"inv0", BDict(inv)},
                   {"nc", BInt(long(1 + instances.size()))},
                   {"v", BInt(10)}};
    for (size_t k = 0; k < instances.size(); ++k) top.emplace_back("inv" + std::to_string(k + 1), BDict(instances[k]));
    return MetaJson({{"type", "11"}, {"Path", JsonQuote("/Calendar/")}, {"id", "900"}}, BDict(top));
}

Entries Instance(const std::string& rid, bool cancel, const Entries& changes = {}) {
    Entries e = {{"rid", BDict({{"dt", BStr(rid)}, {"r", BInt(1)}})}};
    if (cancel) e.emplace_back("mthd", BStr("CANCEL"));
    for (const auto& c : changes) e.push_back(c);
    return e;
}

std::string Exdate(const std::string& zone, const std::string& value) {
    return BDict({{"nr", BInt(1)},
                  {"r0", BDict({{"defdur", BStr("PT1H")},
                                {"rexd", BDict({{"isrd", BStr("false")}, {"numV", BInt(1)}, {"tzid", BStr(zone)},
                                                {"v0", BStr(value)}, {"vt", BStr("dt")}})},
                                {"t", BInt(6)}})}});
}

class RecurrenceReadBack : public itemsrb::ReadBackFixture {};

}  // namespace

TEST_F(RecurrenceReadBack, SeriesReadBackAsTheirRulesAcrossDaylightSaving) {
    const std::string ny = "TZID=America/New_York:";
    struct Case {
        std::string subject, st, et, rule;
        std::vector<Entries> instances;
        std::string exdates = {}, alarm = {};
        Entries more = {};
    };
    // A zone only the export defines (its "tzm"), with Central European rules.
    const std::string custom = "(GMT+01.00) Amsterdam / Berlin / Rome";
    const std::string tzm = BDict({{"#0", BDict({{"d2sr", BStr("FREQ=YEARLY;WKST=MO;INTERVAL=1;BYMONTH=10;BYDAY=-1SU")},
                                                 {"d2ss", BStr("16010101T030000")},
                                                 {"do", BInt(7200000)},
                                                 {"s2dr", BStr("FREQ=YEARLY;WKST=MO;INTERVAL=1;BYMONTH=3;BYDAY=-1SU")},
                                                 {"s2ds", BStr("16010101T020000")},
                                                 {"so", BInt(3600000)},
                                                 {"tzid", BStr(custom)}})}});
    std::vector<Case> cases = {
        // Weekly on two days across the March change, with a moved, a cancelled and an EXDATE'd instance.
        {"Weekly", ny + "20240226T093000", ny + "20240226T103000", "FREQ=WEEKLY;COUNT=30;INTERVAL=1;BYDAY=MO,WE",
         {Instance(ny + "20240306T093000", false,
                   {{"st", BStr(ny + "20240306T140000")}, {"et", BStr(ny + "20240306T150000")},
                    {"n", BStr("Weekly (moved)")}, {"l", BStr("Room 9")},
                    {"at0", BDict({{"a", BStr("eve@example.com")}, {"cn", BStr("Eve")}})},
                    {"al0", BStrings({{"ac", "d"}, {"tr", "-PT5M"}, {"tt", "r"}})}, {"u", BStr("weekly-uid")}}),
          Instance(ny + "20240311T093000", true)},
         Exdate("America/New_York", "20240313T093000")},
        {"Every other day", ny + "20240301T080000", ny + "20240301T083000", "FREQ=DAILY;UNTIL=20240420T115959Z;INTERVAL=2", {}, ""},
        // Reminders: before the start of an endless series (its next instance signals), before
        // the end of a finished one and at an absolute time (past: never signals), none.
        {"Last Friday", ny + "20240126T170000", ny + "20240126T180000", "FREQ=MONTHLY;BYDAY=-1FR", {}, "",
         BStrings({{"ac", "d"}, {"tr", "-PT15M"}, {"trd", "s"}, {"tt", "r"}})},
        {"Second Tuesday", ny + "20240109T090000", ny + "20240109T100000", "FREQ=MONTHLY;INTERVAL=2;BYDAY=TU;BYSETPOS=2", {}, ""},
        {"Fifteenth", ny + "20240115T120000", ny + "20240115T130000", "FREQ=MONTHLY;COUNT=5;BYMONTHDAY=15", {}, "",
         BStrings({{"ac", "a"}, {"tr", "-PT20M"}, {"trd", "e"}, {"tt", "r"}})},
        {"Single", ny + "20240115T120000", ny + "20240115T130000", "", {}, "",
         BStrings({{"ac", "e"}, {"rc", "2"}, {"rd", "PT5M"}, {"ta", "20240115T163000Z"}, {"tt", "a"}})},
        {"Silent", ny + "20240115T120000", ny + "20240115T130000", "", {}, "",
         BStrings({{"ac", "n"}, {"tr", "-PT15M"}, {"tt", "r"}})},
        {"Anniversary", ny + "20240310T100000", ny + "20240310T110000", "FREQ=YEARLY;BYMONTH=3;BYMONTHDAY=10", {}, ""},
        {"Second Sunday of March", ny + "20240310T100000", ny + "20240310T110000", "FREQ=YEARLY;BYMONTH=3;BYDAY=2SU", {}, ""},
        {"Weekdays", ny + "20240304T073000", ny + "20240304T074500", "FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR;COUNT=25", {}, ""},
        {"UTC daily", "20240305T150000Z", "20240305T153000Z", "FREQ=DAILY;COUNT=20", {}, ""},
        {"Hourly", ny + "20240305T090000", ny + "20240305T093000", "FREQ=HOURLY;COUNT=5", {}, ""},
        {"Export zone", "TZID=" + custom + ":20240311T100000", "TZID=" + custom + ":20240311T110000",
         "FREQ=WEEKLY;COUNT=10;BYDAY=MO", {}, "", "", {{"tzm", tzm}}},
        // Begun under New York's rules before 2007, running on under the new ones.
        {"Across 2007", ny + "20061101T090000", ny + "20061101T100000", "FREQ=WEEKLY;INTERVAL=2;BYDAY=WE", {}, ""},
        // A stated start not on the rule: [RFC 5545] counts it, the pattern cannot hold it.
        {"Off rule", ny + "20240304T090000", ny + "20240304T100000", "FREQ=WEEKLY;COUNT=4;BYDAY=TU,TH", {}, "", "",
         {{"u", BStr("off-rule-uid")}, {"at0", BDict({{"a", BStr("eve@example.com")}})}}},
    };
    std::string pstPath = root_ + "/series.pst";
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(pstPath, 1, "Series");
    st.ValidateIPMTree();
    ItemContext ctx;
    ctx.session = session.get();
    ctx.storeEntryID = st.EntryID();
    for (size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        EXPECT_EQ(ConvertCalendarFile(ctx, Write("Calendar/" + std::to_string(k) + ".appt.meta",
                                                 SeriesMeta(c.subject, c.st, c.et, c.rule, c.instances, c.exdates, c.alarm, c.more))),
                  ItemOutcome::Saved)
            << c.subject;
    }
    session->Logoff();

    ExpectJudgedClean(pstPath, R"JSON({
      "store_display_name": "Series",
      "folders": {"Calendar": {"appointments": [
        {"subject": "Weekly", "start": "2024-02-26T14:30:00Z", "end": "2024-02-26T15:30:00Z"},
        {"subject": "Every other day", "start": "2024-03-01T13:00:00Z"},
        {"subject": "Last Friday", "start": "2024-01-26T22:00:00Z"},
        {"subject": "Second Tuesday", "start": "2024-01-09T14:00:00Z"},
        {"subject": "Fifteenth", "start": "2024-01-15T17:00:00Z"},
        {"subject": "Single", "start": "2024-01-15T17:00:00Z"},
        {"subject": "Silent", "start": "2024-01-15T17:00:00Z"},
        {"subject": "Anniversary", "start": "2024-03-10T14:00:00Z"},
        {"subject": "Second Sunday of March", "start": "2024-03-10T14:00:00Z"},
        {"subject": "Weekdays", "start": "2024-03-04T12:30:00Z"},
        {"subject": "UTC daily", "start": "2024-03-05T15:00:00Z"},
        {"subject": "Hourly", "start": "2024-03-05T14:00:00Z"},
        {"subject": "Export zone", "start": "2024-03-11T09:00:00Z", "end": "2024-03-11T10:00:00Z"},
        {"subject": "Across 2007", "start": "2006-11-01T14:00:00Z"},
        {"subject": "Off rule", "start": "2024-03-05T14:00:00Z"},
        {"subject": "Off rule", "start": "2024-03-04T14:00:00Z", "end": "2024-03-04T15:00:00Z"}]}},
      "options": {"extra_folders": "ignore"}
    })JSON");

    // The source rules, as python-dateutil expands them.
    std::ostringstream json;
    json << "{";
    auto entry = [&json](const std::string& subject, const std::string& rule, const std::string& dtstart,
                         const std::string& zone, const std::string& extra) {
        json << "\"" << subject << "\": {\"rrule\": \"" << rule << "\", \"dtstart\": \"" << dtstart
             << "\", \"zone\": \"" << zone << "\"" << extra << "},";
    };
    entry("Weekly", "FREQ=WEEKLY;COUNT=30;BYDAY=MO,WE", "2024-02-26T09:30:00", "America/New_York",
          ", \"removed\": [\"2024-03-11T09:30:00\", \"2024-03-13T09:30:00\"],"
          " \"moved\": {\"2024-03-06T09:30:00\": \"2024-03-06T14:00:00\"}");
    entry("Every other day", "FREQ=DAILY;UNTIL=20240420T115959Z;INTERVAL=2", "2024-03-01T08:00:00", "America/New_York", "");
    entry("Last Friday", "FREQ=MONTHLY;BYDAY=-1FR", "2024-01-26T17:00:00", "America/New_York", "");
    entry("Second Tuesday", "FREQ=MONTHLY;INTERVAL=2;BYDAY=TU;BYSETPOS=2", "2024-01-09T09:00:00", "America/New_York", "");
    entry("Fifteenth", "FREQ=MONTHLY;COUNT=5;BYMONTHDAY=15", "2024-01-15T12:00:00", "America/New_York", "");
    entry("Anniversary", "FREQ=YEARLY;BYMONTH=3;BYMONTHDAY=10", "2024-03-10T10:00:00", "America/New_York", "");
    entry("Second Sunday of March", "FREQ=YEARLY;BYMONTH=3;BYDAY=2SU", "2024-03-10T10:00:00", "America/New_York", "");
    entry("Weekdays", "FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR;COUNT=25", "2024-03-04T07:30:00", "America/New_York", "");
    entry("Export zone", "FREQ=WEEKLY;COUNT=10;BYDAY=MO", "2024-03-11T10:00:00", "Europe/Berlin", "");
    entry("Across 2007", "FREQ=WEEKLY;INTERVAL=2;BYDAY=WE", "2006-11-01T09:00:00", "America/New_York", "");
    entry("Off rule", "FREQ=WEEKLY;COUNT=4;BYDAY=TU,TH", "2024-03-04T09:00:00", "America/New_York", "");
    json << "\"UTC daily\": {\"rrule\": \"FREQ=DAILY;COUNT=20\", \"dtstart\": \"2024-03-05T15:00:00\", \"zone\": \"UTC\"}}";
    WriteFile(root_ + "/sources.json", json.str());
    auto check = testshell::Run("export RECURRENCE_SOURCES=" + testshell::Quote(root_ + "/sources.json") + "; " +
                                itemsrb::PypffCommand(std::string(ORVANDEL_SOURCE_DIR) + "/tests/items/recurrence_check.py",
                                                      pstPath));
    ASSERT_EQ(check.status, 0) << check.output;
    for (const char* subject : {"Weekly", "Every other day", "Last Friday", "Second Tuesday", "Fifteenth", "Anniversary",
                                "Second Sunday of March", "Weekdays", "UTC daily", "Export zone", "Across 2007", "Off rule"})
        EXPECT_NE(check.output.find(std::string("OK ") + subject + "\n"), std::string::npos) << subject << "\n" << check.output;
    // The moved instance is the series' one exception attachment; the zone is Windows' name for it.
    EXPECT_NE(check.output.find("PROPS Weekly|recurring=1|type=2|tz=Eastern Standard Time|attachments=1|reminder=none|"
                                "pattern=every Monday and Wednesday effective 2/26/2024 until 6/5/2024 from 9:30 AM to 10:30 AM"),
              std::string::npos)
        << check.output;
    EXPECT_NE(check.output.find("PROPS Second Sunday of March|recurring=1|type=4|tz=Eastern Standard Time|attachments=0|reminder=none|"
                                "pattern=every year on the second Sunday of March effective"),
              std::string::npos)
        << check.output;
    EXPECT_NE(check.output.find("PROPS UTC daily|recurring=1|type=1|tz=UTC|"), std::string::npos) << check.output;
    for (const char* line : {"PROPS Last Friday|recurring=1|type=3|tz=Eastern Standard Time|attachments=0|reminder=15/future|",
                             "PROPS Fifteenth|recurring=1|type=3|tz=Eastern Standard Time|attachments=0|reminder=0/4501-01-01T00:00:00|",
                             "PROPS Single|recurring=None|type=None|tz=Eastern Standard Time|attachments=0|reminder=30/4501-01-01T00:00:00|",
                             "PROPS Silent|recurring=None|type=None|tz=Eastern Standard Time|attachments=0|reminder=none|"})
        EXPECT_NE(check.output.find(line), std::string::npos) << line << "\n" << check.output;
    // The moved instance's own time, reminder and attendee, under its date's global object id.
    EXPECT_NE(check.output.find("EXCEPTION Weekly|start=2024-03-06T19:00:00|replaces=2024-03-06T14:30:00|is_exception=1|"
                                "instance=2024-03-06|reminder=5|attendees=eve@example.com\n"),
              std::string::npos)
        << check.output;
    // The export's own zone under its own name; a series begun before New York's
    // 2007 change lists both rules, the current one in force for the series.
    for (const char* line : {"ZONE Export zone|(GMT+01.00) Amsterdam / Berlin / Rome|2024:3\n",
                             "ZONE Across 2007|Eastern Standard Time|2006:0 2007:3\n",
                             "SINGLE Off rule|start=2024-03-04T14:00:00|instance=2024-03-04\n"})
        EXPECT_NE(check.output.find(line), std::string::npos) << line << "\n" << check.output;
    // A rule within a day has no Outlook pattern: one appointment that says how it repeats.
    EXPECT_NE(check.output.find("PROPS Hourly|recurring=None|type=None|tz=Eastern Standard Time|attachments=0|reminder=none|pattern=|body=Repeats: "
                                "FREQ=HOURLY;COUNT=5 (kept as a single appointment: Outlook has no pattern for a rule "
                                "repeating within a day)\n"),
              std::string::npos)
        << check.output;
}
