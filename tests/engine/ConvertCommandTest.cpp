// `orvandel convert` end to end: exports built here (and the sample export) are
// converted by the real binary with the real store, MIME import and item
// converters; the PSTs are read back with the independent readers of
// pst-inspect and checked with `orvandel verify`. Also Ctrl-C and SIGKILL
// during a run that deletes its sources.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "EngineTestSupport.h"
#include "items/MetaEncoding.h"
#include "pst/messaging/MeetingObjectId.h"

extern char** environ;

using namespace enginetest;

namespace {

const std::string kBin = ORVANDEL_BIN;
const std::string kInspect = ORVANDEL_PST_INSPECT;
const std::string kSample = ORVANDEL_SAMPLE_EXPORT;

struct Proc {
    pid_t pid = -1;
};

// Starts argv with stdout and stderr going to files.
Proc Spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
           const std::string& cwd = {}) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    Proc p;
    if (posix_spawn(&p.pid, argv[0].c_str(), &fa, nullptr, args.data(), environ) != 0) p.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return p;
}

// Exit status, or 128 + signal.
int Wait(Proc p) {
    int status = 0;
    if (p.pid < 0 || waitpid(p.pid, &status, 0) < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

struct Result {
    int status = -1;
    std::string out, err;
};

Result RunCmd(const std::vector<std::string>& argv, const TempDir& dir, const std::string& cwd = {}) {
    const std::string out = dir / ".out", err = dir / ".err";
    Result r;
    r.status = Wait(Spawn(argv, out, err, cwd));
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
}

// The pypff view of a PST as JSON text.
std::string Inspect(const std::string& pst, const TempDir& dir, int* status = nullptr,
                    const std::string& readers = "pypff") {
    Result r = RunCmd({kInspect, pst, "--reader", readers, "--json", "--timeout", "60"}, dir);
    if (status) *status = r.status;
    return r.out;
}

// item_count of a folder path in pst-inspect's JSON (first reader listed), -1 when absent.
int ItemCount(const std::string& json, const std::string& path) {
    const std::string key = "\"path\": \"" + path + "\",";
    const size_t at = json.find(key);
    if (at == std::string::npos) return -1;
    const size_t c = json.find("\"item_count\": ", at);
    if (c == std::string::npos) return -1;
    return std::atoi(json.c_str() + c + 14);
}

std::string Message(const std::string& subject, const std::string& extra = {}) {
    return "From: Alice Example <alice@example.com>\r\n"
           "To: Bob Example <bob@example.com>\r\n"
           "Subject: " + subject + "\r\n"
           "Date: Mon, 7 Dec 2026 09:00:00 +0000\r\n"
           "Message-ID: <" + std::to_string(std::hash<std::string>{}(subject)) + "@example.com>\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n\r\n"
           "Text of " + subject + "\r\n" + extra;
}

// An export whose messages exercise the folder rules; returns the subjects
// per PST folder path (as pst-inspect writes paths).
std::map<std::string, std::vector<std::string>> MakeMessageExport(const std::string& box) {
    std::map<std::string, std::vector<std::string>> expected;
    WriteFile(box + "/0000000011-ROOT.meta", "{\"id\":11,\"type\":1,\"name\":\"ROOT\",\"Path\":\"/\",\"metadata\":\"d1:ai3ee\"}");
    WriteFile(box + "/0000000002-Inbox.meta", "{\"id\":2,\"type\":1,\"name\":\"Inbox\",\"Path\":\"/Inbox\",\"metadata\":\"d1:ai1ee\"}");
    auto add = [&](const std::string& rel, const std::string& subject, const std::string& pstFolder) {
        WriteFile(box + "/" + rel, Message(subject));
        WriteFile(box + "/" + rel + ".meta", "{}");
        if (!pstFolder.empty()) expected[pstFolder].push_back(subject);
    };
    add("Inbox/0000000301-Welcome.eml", "Welcome", "Inbox");
    add("Inbox/0000000302-Grüße aus Köln.eml", "Grüße aus Köln", "Inbox");
    add("Inbox!1/0000000801-Spilled over.eml", "Spilled over", "Inbox");
    add("Inbox/Work/0000000401-Plan.eml", "Plan", "Inbox/Work");
    add("Inbox/Work!1/0000000901-Late plan.eml", "Late plan", "Inbox/Work");
    add("Sent/0000000501-Sent note.eml", "Sent note", "Sent Items");
    add("Sent/Projects/2019/0000000502-Annual report.eml", "Annual report", "Sent Items/Projects/2019");
    add("Important!/0000000601-Urgent.eml", "Urgent", "Important!");
    add("Archive/2020/0000000602-Old news.eml", "Old news", "Archive/2020");
    add("Drafts/0000000603-Unfinished.eml", "Unfinished", "Drafts");
    add("Work/Calendar/0000000701-Invitation.eml", "Invitation", "");  // nested Calendar: not imported
    return expected;
}

std::string ExpectedJson(const std::map<std::string, std::vector<std::string>>& folders) {
    std::string j = "{\"folders\": {";
    bool first = true;
    for (auto& [path, subjects] : folders) {
        j += std::string(first ? "" : ",") + "\"" + path + "\": {\"messages\": [";
        for (size_t i = 0; i < subjects.size(); ++i) j += std::string(i ? "," : "") + "\"" + subjects[i] + "\"";
        j += "]}";
        first = false;
    }
    return j + "}, \"options\": {\"extra_folders\": \"ignore_empty\", \"extra_items\": \"report\"}}";
}

void ExpectVerified(const std::string& pst, const TempDir& dir) {
    Result v = RunCmd({kBin, "verify", pst, "--quiet"}, dir);
    EXPECT_EQ(v.status, 0) << pst << "\n" << v.out << v.err;
}

// Per PST folder, how many messages an export's .eml files should give: spills
// folded into their folder, Inbox and Sent on the default folders, messages of
// folders that are never created (nested Calendar, Contacts, ...) left out.
std::map<std::string, int> ExpectedMessageCounts(const std::string& box) {
    static const std::set<std::string> never = {"Inbox", "Calendar", "Contacts", "Emailed Contacts",
                                                "Tasks", "Sent",     "Notebook", "Conversations"};
    std::map<std::string, int> counts;
    for (auto& e : fs::recursive_directory_iterator(box)) {
        if (!e.is_regular_file() || e.path().extension() != ".eml") continue;
        std::vector<std::string> parts;
        for (auto& c : fs::relative(e.path().parent_path(), box)) {
            std::string n = c.string();
            const size_t bang = n.rfind('!');
            if (bang != std::string::npos && bang > 0 && bang + 1 < n.size() &&
                n.find_first_not_of("0123456789", bang + 1) == std::string::npos)
                n.resize(bang);
            parts.push_back(n);
        }
        if (parts.size() > 1 && never.count(parts.back())) continue;
        if (!parts.empty() && parts[0] == "Sent") parts[0] = "Sent Items";
        std::string path;
        for (auto& c : parts) path += (path.empty() ? "" : "/") + c;
        ++counts[path];
    }
    return counts;
}

int CountFiles(const std::string& folder, const std::string& suffix) {
    int n = 0;
    for (auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file() && e.path().string().ends_with(suffix)) ++n;
    return n;
}

}  // namespace

TEST(ConvertCommand, SingleMailboxTreeCountsLogAndSummary) {
    TempDir dir;
    const std::string box = dir / "jdoe";
    auto expected = MakeMessageExport(box);
    const std::string pst = dir / "jdoe.pst";
    Result r = RunCmd({kBin, "convert", box, "--pst", pst, "--json"}, dir);
    EXPECT_EQ(r.status, 1) << r.err;  // one message could not be imported
    EXPECT_NE(r.out.find("\"messages_imported\": 10, \"messages_failed\": 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"log\": \"" + dir.path + "/jdoe.log\""), std::string::npos) << r.out;
    EXPECT_EQ(ReadAll(dir / "jdoe.log"),
              "---- Log Starts -----\r\nBAD : " + box + "/Work/Calendar/0000000701-Invitation.eml (Folder \"Work\" does not exist)\r\n");
    // Nothing deleted without --delete-source.
    EXPECT_EQ(CountFiles(box, ".eml"), 11);

    WriteFile(dir / "expected.json", ExpectedJson(expected));
    Result cmp = RunCmd({kInspect, "--compare", dir / "expected.json", pst, "--reader", "all", "--strict", "--timeout", "60"}, dir);
    EXPECT_EQ(cmp.status, 0) << cmp.out << cmp.err;
    const std::string json = Inspect(pst, dir);
    EXPECT_EQ(ItemCount(json, "Inbox!1"), -1);
    EXPECT_EQ(ItemCount(json, "Inbox/Work!1"), -1);
    EXPECT_EQ(ItemCount(json, "Work/Calendar"), -1);
    EXPECT_NE(json.find("\"store_display_name\": \"Mailbox (Zimbra) : Created - "), std::string::npos);
    ExpectVerified(pst, dir);
}

TEST(ConvertCommand, MapDefaultFoldersPutsTrashJunkAndDraftsIntoThePstsOwn) {
    TempDir dir;
    fs::copy(kSample + "/alice", dir / "alice", fs::copy_options::recursive);
    fs::create_directories(dir / "alice/Junk");
    WriteFile(dir / "alice/Junk/0000000901-Spam.eml", Message("Spam"));
    fs::create_directories(dir / "alice/Trash/Old");
    WriteFile(dir / "alice/Trash/Old/0000000902-Older.eml", Message("Older"));
    const std::string asIs = dir / "as-is.pst", mapped = dir / "mapped.pst";
    Result r = RunCmd({kBin, "convert", dir / "alice", "--pst", asIs, "--quiet"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    r = RunCmd({kBin, "convert", dir / "alice", "--pst", mapped, "--map-default-folders", "--quiet"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    // By default the export's folders stand beside the PST's empty ones.
    std::string json = Inspect(asIs, dir);
    EXPECT_EQ(ItemCount(json, "Trash"), 1);
    EXPECT_EQ(ItemCount(json, "Trash/Old"), 1);
    EXPECT_EQ(ItemCount(json, "Junk"), 1);
    EXPECT_EQ(ItemCount(json, "Deleted Items"), 0);
    EXPECT_EQ(ItemCount(json, "Junk E-mail"), 0);
    // Mapped, their items and subfolders are in the PST's own.
    json = Inspect(mapped, dir);
    EXPECT_EQ(ItemCount(json, "Deleted Items"), 1);
    EXPECT_EQ(ItemCount(json, "Deleted Items/Old"), 1);
    EXPECT_EQ(ItemCount(json, "Junk E-mail"), 1);
    EXPECT_EQ(ItemCount(json, "Drafts"), 1);
    for (const char* gone : {"Trash", "Junk", "Trash/Old"}) EXPECT_EQ(ItemCount(json, gone), -1) << gone;
    ExpectVerified(mapped, dir);
    Result strict = RunCmd({kInspect, mapped, "--strict", "--summary", "--timeout", "120"}, dir);
    EXPECT_EQ(strict.status, 0) << strict.out << strict.err;
}

TEST(ConvertCommand, SingleModeProposesTheNameInTheCurrentFolderAndDeletesSources) {
    TempDir dir;
    const std::string box = dir / "anna";
    MakeMessageExport(box);
    fs::create_directories(dir / "cwd");
    Result r = RunCmd({kBin, "convert", box + "/", "--delete-source", "--quiet"}, dir, dir / "cwd");
    EXPECT_EQ(r.status, 1) << r.err;
    // The proposed name: the mailbox name and the time stamp.
    std::string pst;
    for (auto& e : fs::directory_iterator(dir / "cwd"))
        if (e.path().extension() == ".pst") pst = e.path().string();
    ASSERT_FALSE(pst.empty());
    EXPECT_EQ(fs::path(pst).filename().string().rfind("anna", 0), 0u);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("1 message could not be imported"), std::string::npos) << r.err;
    // Only the failed message and the folder metadata stay.
    EXPECT_EQ(CountFiles(box, ".eml"), 1);
    EXPECT_EQ(CountFiles(box, ".eml.meta"), 1);
    EXPECT_FALSE(fs::exists(box + "/Sent"));
    EXPECT_TRUE(fs::exists(box + "/0000000011-ROOT.meta"));
    const std::string json = Inspect(pst, dir);
    EXPECT_EQ(ItemCount(json, "Inbox"), 3);
    ExpectVerified(pst, dir);
}

TEST(ConvertCommand, MultipleModeOnTheSampleExport) {
    TempDir dir;
    fs::copy(kSample, dir / "export", fs::copy_options::recursive);
    fs::create_directories(dir / "out");
    Result r = RunCmd({kBin, "convert", "--multiple", dir / "export", "--out", dir / "out", "--json"}, dir);
    ASSERT_TRUE(r.status == 0 || r.status == 1) << r.out << r.err;
    for (const std::string name : {"alice", "bob"}) {
        const std::string pst = dir / ("out/" + name + ".pst");
        ASSERT_TRUE(fs::exists(pst)) << name;
        EXPECT_TRUE(fs::exists(dir / ("out/" + name + ".log")));
        EXPECT_NE(r.out.find("\"name\": \"" + name + "\""), std::string::npos);
        int status = -1;
        const std::string json = Inspect(pst, dir, &status, "all");
        EXPECT_EQ(status, 0) << "readers disagree on " << name;
        // Every folder holds the messages of its Zimbra folder and its spills.
        const auto expected = ExpectedMessageCounts(dir / ("export/" + name));
        EXPECT_GE(expected.size(), 8u);
        for (auto& [folder, count] : expected) EXPECT_EQ(ItemCount(json, folder), count) << name << ": " << folder;
        EXPECT_EQ(ItemCount(json, "Sent"), -1);
        EXPECT_EQ(ItemCount(json, "Inbox!1"), -1);
        EXPECT_EQ(ReadAll(dir / ("out/" + name + ".log")), "---- Log Starts -----\r\n");
        ExpectVerified(pst, dir);
    }
    // --mailbox picks one row; the others are not converted.
    Result one = RunCmd({kBin, "convert", "--multiple", dir / "export", "--mailbox", "bob", "--out", dir.path}, dir);
    EXPECT_TRUE(one.status == 0 || one.status == 1) << one.err;
    EXPECT_TRUE(fs::exists(dir / "bob.pst"));
    EXPECT_FALSE(fs::exists(dir / "alice.pst"));
    EXPECT_NE(one.out.find("bob"), std::string::npos);
}

TEST(ConvertCommand, MultipleModeOverBuiltExportsWithDeletion) {
    TempDir dir;
    std::map<std::string, std::map<std::string, std::vector<std::string>>> expected;
    for (const std::string name : {"m1", "m2", "skipped"}) expected[name] = MakeMessageExport(dir / ("root/" + name));
    fs::create_directories(dir / "out");
    Result run = RunCmd({kBin, "convert", "--multiple", dir / "root", "--out", dir / "out/", "--mailbox", "m1",
                         "--mailbox", "m2", "--delete-source", "--json"},
                        dir);
    EXPECT_EQ(run.status, 1) << run.err;  // one message of each mailbox failed
    EXPECT_NE(run.out.find("\"pst\": \"" + dir.path + "/out/m2.pst\""), std::string::npos) << run.out;
    // A missing output folder is made with its parents; a file where it should be is refused.
    WriteFile(dir / "afile", "x");
    for (const std::string bad : {"afile", "afile/sub"})
        EXPECT_EQ(RunCmd({kBin, "convert", "--multiple", dir / "root", "--out", dir / bad, "--mailbox", "m1"}, dir).status, 2)
            << bad;
    Result r = RunCmd({kBin, "convert", "--multiple", dir / "root", "--out", dir / "out2/deep", "--mailbox", "m1"}, dir);
    EXPECT_TRUE(fs::exists(dir / "out2/deep/m1.pst")) << r.err;
    EXPECT_FALSE(fs::exists(dir / "out/skipped.pst"));
    EXPECT_EQ(CountFiles(dir / "root/skipped", ".eml"), 11);
    for (const std::string name : {"m1", "m2"}) {
        const std::string pst = dir / ("out/" + name + ".pst");
        ASSERT_TRUE(fs::exists(pst));
        EXPECT_EQ(ReadAll(dir / ("out/" + name + ".log")),
                  "---- Log Starts -----\r\nBAD : " + dir.path + "/root/" + name +
                      "/Work/Calendar/0000000701-Invitation.eml (Folder \"Work\" does not exist)\r\n");
        EXPECT_EQ(CountFiles(dir / ("root/" + name), ".eml"), 1);  // only the failed one stays
        WriteFile(dir / "expected.json", ExpectedJson(expected[name]));
        Result cmp = RunCmd({kInspect, "--compare", dir / "expected.json", pst, "--reader", "pypff,readpst",
                             "--timeout", "60"},
                            dir);
        EXPECT_EQ(cmp.status, 0) << cmp.out << cmp.err;
        ExpectVerified(pst, dir);
    }
}

int Occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

TEST(ConvertCommand, MaxPstSizeSplitsIntoCompletePartsHoldingEachItemOnce) {
    TempDir dir;
    const std::string box = dir / "jdoe";
    WriteFile(box + "/0000000011-ROOT.meta", "{\"id\":11,\"type\":1,\"name\":\"ROOT\",\"Path\":\"/\",\"metadata\":\"d1:ai3ee\"}");
    const char* folders[] = {"Inbox", "Archive/2020", "Sent/Projects"};
    const std::map<std::string, std::string> pstFolder = {
        {"Inbox", "Inbox"}, {"Archive/2020", "Archive/2020"}, {"Sent/Projects", "Sent Items/Projects"}};
    const int n = 300;
    const std::string padding(3000, 'y');
    for (int i = 0; i < n; ++i) {
        char name[64], subject[32];
        std::snprintf(name, sizeof name, "/%07d-Split %05d.eml", 1000 + i, i);
        std::snprintf(subject, sizeof subject, "Split %05d", i);
        WriteFile(box + "/" + folders[i % 3] + name, Message(subject, padding + "\r\n"));
    }
    const std::string pst = dir / "jdoe.pst";
    Result r = RunCmd({kBin, "convert", box, "--pst", pst, "--max-pst-size", "1M", "--quiet", "--json"}, dir);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> parts = {pst};
    for (int k = 2; fs::exists(dir / ("jdoe (" + std::to_string(k) + ").pst")); ++k)
        parts.push_back(dir / ("jdoe (" + std::to_string(k) + ").pst"));
    ASSERT_GE(parts.size(), 3u);
    EXPECT_NE(r.out.find("\"pst_parts\": [\"" + pst + "\", \"" + parts[1] + "\""), std::string::npos) << r.out;
    // Run again: every part's items are known, none is added to any part.
    Result again = RunCmd({kBin, "convert", box, "--pst", pst, "--max-pst-size", "1M", "--quiet", "--json"}, dir);
    EXPECT_NE(again.out.find("\"messages_imported\": 0,"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("\"already_in_pst\": " + std::to_string(n) + ","), std::string::npos) << again.out;
    EXPECT_FALSE(fs::exists(dir / ("jdoe (" + std::to_string(parts.size() + 1) + ").pst")));
    std::string all;
    std::map<std::string, int> perFolder;
    for (size_t k = 0; k < parts.size(); ++k) {
        SCOPED_TRACE(parts[k]);
        EXPECT_LE(fs::file_size(parts[k]), 1u << 20);
        ExpectVerified(parts[k], dir);
        const std::string json = Inspect(parts[k], dir, nullptr, "all");
        EXPECT_EQ(Occurrences(json, "\"opened\": true"), 3);
        if (k > 0) {
            EXPECT_GE(Occurrences(json, " (" + std::to_string(k + 1) + ")\","), 3) << "display name of the part";
        }
        for (auto& [zimbra, path] : pstFolder) perFolder[path] += std::max(0, ItemCount(json, path));
        all += json;
    }
    // Every message in exactly one part, for every reader; every part has the
    // folders its messages need.
    for (int i = 0; i < n; ++i) {
        char subject[48];
        std::snprintf(subject, sizeof subject, "\"subject\": \"Split %05d\"", i);
        EXPECT_EQ(Occurrences(all, subject), 3) << subject;
    }
    for (auto& [zimbra, path] : pstFolder) EXPECT_EQ(perFolder[path], n / 3) << path;
    const std::string log = ReadAll(dir / "jdoe.log");
    EXPECT_NE(log.find("---- Part 2: " + parts[1] + " -----"), std::string::npos) << log;
    EXPECT_EQ(log.find("BAD"), std::string::npos) << log;
}

TEST(ConvertCommand, UsageErrorsAndAnExistingPstExitWithTwo) {
    TempDir dir;
    fs::create_directories(dir / "box/Inbox");
    WriteFile(dir / "box/Inbox/a.eml", Message("a"));
    EXPECT_EQ(RunCmd({kBin, "convert"}, dir).status, 2);
    EXPECT_EQ(RunCmd({kBin, "convert", dir / "missing"}, dir).status, 2);
    EXPECT_EQ(RunCmd({kBin, "convert", dir / "box", "--bogus"}, dir).status, 2);
    EXPECT_EQ(RunCmd({kBin, "convert", dir / "box", "--locale", "Klingon"}, dir).status, 2);
    EXPECT_EQ(RunCmd({kBin, "convert", dir / "box", "--out", dir.path}, dir).status, 2);
    EXPECT_EQ(RunCmd({kBin, "convert", "--multiple", dir.path, "--mailbox", "nobody"}, dir).status, 2);
    WriteFile(dir / "taken.pst", "not ours");
    Result r = RunCmd({kBin, "convert", dir / "box", "--pst", dir / "taken.pst"}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Outlook Session Creation Error !"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(dir / "taken.pst"), std::string::npos);
    EXPECT_NE((r.out + r.err).find("taken.pst exists and could not be added to ("), std::string::npos) << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find("could not be created"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(ReadAll(dir / "taken.pst"), "not ours");
    EXPECT_TRUE(fs::exists(dir / "box/Inbox/a.eml"));
}

// A second run into the same PST adds only the sources it does not hold yet;
// another mailbox's items in that PST are neither touched nor taken for duplicates.
TEST(ConvertCommand, ARerunAddsOnlyWhatIsNotInThePstYet) {
    TempDir dir;
    const std::string box = dir / "jdoe", pst = dir / "jdoe.pst";
    auto expected = MakeMessageExport(box);
    // Another mailbox with a message of the same path and name goes in first.
    WriteFile(dir / "ann/Inbox/0000000301-Welcome.eml", Message("Ann's welcome"));
    ASSERT_EQ(RunCmd({kBin, "convert", dir / "ann", "--pst", pst}, dir).status, 0);
    expected["Inbox"].push_back("Ann's welcome");
    Result first = RunCmd({kBin, "convert", box, "--pst", pst, "--json"}, dir);
    EXPECT_NE(first.out.find("\"messages_imported\": 10, \"messages_failed\": 1"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("\"already_in_pst\": 0,"), std::string::npos) << first.out;

    Result again = RunCmd({kBin, "convert", box, "--pst", pst, "--json"}, dir);
    EXPECT_EQ(again.status, 1) << again.err;  // the nested Calendar's message still fails
    EXPECT_NE(again.out.find("\"messages_imported\": 0, \"messages_failed\": 1"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("\"already_in_pst\": 10,"), std::string::npos) << again.out;
    EXPECT_NE(ReadAll(dir / "jdoe.log").find("SKIPPED : " + box + "/Inbox/0000000301-Welcome.eml (already in the PST)\r\n"),
              std::string::npos);

    // A new message, and deletion: what was there already goes too, being committed.
    WriteFile(box + "/Inbox/0000000303-Late.eml", Message("Late"));
    expected["Inbox"].push_back("Late");
    Result third = RunCmd({kBin, "convert", box, "--pst", pst, "--delete-source"}, dir);
    EXPECT_NE(third.out.find("already   10 item(s) already in the PST"), std::string::npos) << third.out;
    EXPECT_EQ(CountFiles(box, ".eml"), 1);
    EXPECT_TRUE(fs::exists(dir / "ann/Inbox/0000000301-Welcome.eml"));

    WriteFile(dir / "expected.json", ExpectedJson(expected));
    Result cmp = RunCmd({kInspect, "--compare", dir / "expected.json", pst, "--reader", "all", "--strict", "--timeout", "60"}, dir);
    EXPECT_EQ(cmp.status, 0) << cmp.out << cmp.err;
    ExpectVerified(pst, dir);
}

// An invitation e-mail whose body holds an iCalendar part.
std::string InviteMail(const std::string& subject, const std::string& method, const std::string& event,
                       const std::string& uid = "standup-2024") {
    return "From: Boss <boss@example.com>\r\nTo: me@example.com\r\nSubject: " + subject +
           "\r\nDate: Mon, 26 Feb 2024 10:00:00 +0000\r\nMessage-ID: <" + method + "." + uid + "@example.com>\r\n"
           "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=b\r\n\r\n"
           "--b\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nSee the invitation.\r\n"
           "--b\r\nContent-Type: text/calendar; charset=utf-8; method=" + method + "; name=meeting.ics\r\n\r\n"
           "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nMETHOD:" + method + "\r\nBEGIN:VEVENT\r\nUID:" + uid + "\r\n" + event +
           "END:VEVENT\r\nEND:VCALENDAR\r\n--b--\r\n";
}

// What pypff reads of each item: "subject|class|attachments|global object id
// (hex)|task recurring|recurrence type|pattern text|recurrence blob (hex)", and
// for meeting objects "ZONE subject|zone key|is exception|recurring|replaced start".
const char* kMeetingDump = R"PY(
import struct, sys, pypff
f = pypff.file()
f.open(sys.argv[1])
raw = {}
for e in f.get_name_to_id_map().get_record_set(0).entries:
    raw[e.entry_type] = e.data or b""
guids, entries = raw.get(2, b""), raw.get(3, b"")
ids = {}
for off in range(0, len(entries) - 7, 8):
    dw, info, idx = struct.unpack_from("<IHH", entries, off)
    gi = info >> 1
    if not info & 1 and gi >= 3:
        ids[(guids[(gi - 3) * 16:(gi - 2) * 16].hex(), dw)] = 0x8000 + idx
goid = ids.get(("90dad86e0b451b1098da00aa003f1305", 3))
recurring = ids.get(("0320060000000000c000000000000046", 0x8126))
appt = {lid: ids.get(("0220060000000000c000000000000046", lid)) for lid in (0x8231, 0x8232, 0x8216, 0x825E, 0x8223, 0x8228)}
exception = ids.get(("90dad86e0b451b1098da00aa003f1305", 0x000A))
def walk(folder):
    for k in range(folder.number_of_sub_messages):
        m = folder.get_sub_message(k)
        p = {e.entry_type: e for e in m.get_record_set(0).entries} if m.number_of_record_sets else {}
        cls = p[0x001A].data_as_string if 0x001A in p else ""
        g = p[goid].data.hex() if goid in p else ""
        r = p[recurring].data[0] if recurring in p else ""
        rt = struct.unpack("<i", p[appt[0x8231]].data)[0] if appt[0x8231] in p else ""
        text = p[appt[0x8232]].data_as_string if appt[0x8232] in p else ""
        blob = p[appt[0x8216]].data.hex() if appt[0x8216] in p else ""
        print("%s|%s|%d|%s|%s|%s|%s|%s" % (m.subject, cls, m.number_of_attachments, g, r, rt, text, blob))
        if cls.startswith("IPM.Schedule"):
            tz = p[appt[0x825E]].data if appt[0x825E] in p else b""
            key = tz[8:8 + 2 * struct.unpack_from("<H", tz, 6)[0]].decode("utf-16-le") if tz else ""
            ft = struct.unpack("<Q", p[appt[0x8228]].data)[0] // 10000000 - 11644473600 if appt[0x8228] in p else ""
            print("ZONE %s|%s|%s|%s|%s" % (m.subject, key, p[exception].data[0] if exception in p else "",
                                         p[appt[0x8223]].data[0] if appt[0x8223] in p else "", ft))
    for k in range(folder.number_of_sub_folders):
        walk(folder.get_sub_folder(k))
walk(f.get_root_folder())
)PY";

TEST(ConvertCommand, CalendarSeriesZonesInvitationsAndTasks) {
    using metaenc::BDict, metaenc::BInt, metaenc::BStr, metaenc::Entries, metaenc::JsonQuote, metaenc::MetaJson;
    TempDir dir;
    const std::string box = dir / "cal";
    auto item = [](int type, const std::string& path, const std::string& subject, const std::string& st,
                   const std::string& et, const std::string& rule, Entries extra = {}) {
        Entries inv = {{"n", BStr(subject)}, {"st", BStr(st)}, {"et", BStr(et)}, {"u", BStr("standup-2024")}};
        if (!rule.empty())
            inv.emplace_back("recurrence",
                             BDict({{"add", BDict({{"nr", BInt(1)},
                                                  {"r0", BDict({{"dts", BStr(st)}, {"recur", BStr(rule)}, {"t", BInt(2)}})}})},
                                    {"dts", BStr(st)},
                                    {"t", BStr("4")}}));
        for (auto& e : extra) inv.push_back(e);
        return MetaJson({{"type", std::to_string(type)}, {"Path", JsonQuote(path)}, {"id", "700"}},
                        BDict({{"inv0", BDict(inv)}, {"nc", BInt(1)}, {"v", BInt(10)}}));
    };
    WriteFile(box + "/Calendar/0000000701-Standup.appt.meta",
              item(11, "/Calendar/", "Standup", "TZID=America/New_York:20240304T093000",
                   "TZID=America/New_York:20240304T094500", "FREQ=WEEKLY;COUNT=6;BYDAY=MO,TH",
                   {{"at0", BDict({{"a", BStr("eve@example.com")}, {"cn", BStr("Eve")}, {"ptst", BStr("AC")}, {"r", BStr("REQ")}})},
                    {"org", BDict({{"a", BStr("boss@example.com")}, {"cn", BStr("Boss")}})}}));
    WriteFile(box + "/Calendar/0000000702-Holiday.appt.meta",
              item(11, "/Calendar/", "Holiday", "VALUE=DATE:20240315", "VALUE=DATE:20240316", ""));
    WriteFile(box + "/Calendar/0000000703-Call.appt.meta",
              item(11, "/Calendar/", "Call", "20240320T150000Z", "20240320T153000Z",
                   "FREQ=DAILY;INTERVAL=3;UNTIL=20240401T000000Z"));
    WriteFile(box + "/Calendar/0000000704-Pings.appt.meta",
              item(11, "/Calendar/", "Pings", "20240320T150000Z", "20240320T151000Z", "FREQ=HOURLY;COUNT=3"));
    WriteFile(box + "/Tasks/0000000901-Report.task.meta",
              item(15, "/Tasks/", "Report", "VALUE=DATE:20240301", "VALUE=DATE:20240301", "FREQ=MONTHLY;BYMONTHDAY=1",
                   {{"al0", BDict({{"ac", BStr("d")}, {"tr", BStr("-PT15M")}, {"tt", BStr("r")}})}}));
    const std::string times = "DTSTART;TZID=America/New_York:20240304T093000\r\nDTEND;TZID=America/New_York:20240304T094500\r\n";
    WriteFile(box + "/Inbox/0000000801-Invitation Standup.eml",
              InviteMail("Invitation: Standup", "REQUEST",
                         times + "RRULE:FREQ=WEEKLY;COUNT=6;BYDAY=MO,TH\r\n"
                                 "LOCATION:Room 7\r\nATTENDEE;PARTSTAT=NEEDS-ACTION;RSVP=TRUE:mailto:me@example.com\r\n"));
    WriteFile(box + "/Inbox/0000000802-Accepted Standup.eml",
              InviteMail("Accepted: Standup", "REPLY", times + "ATTENDEE;PARTSTAT=ACCEPTED:mailto:eve@example.com\r\n"));
    WriteFile(box + "/Inbox/0000000803-Cancelled Standup.eml",
              InviteMail("Cancelled: Standup", "CANCEL", "RECURRENCE-ID;TZID=America/New_York:20240307T093000\r\n" + times));
    WriteFile(box + "/Inbox/0000000804-Published Standup.eml", InviteMail("Published: Standup", "PUBLISH", times));
    // A series stated to start on a Monday, off its Tuesday rule; a floating one.
    WriteFile(box + "/Inbox/0000000805-Kickoff.eml",
              InviteMail("Invitation: Kickoff", "REQUEST", times + "RRULE:FREQ=WEEKLY;COUNT=3;BYDAY=TU\r\n", "kickoff-2024"));
    WriteFile(box + "/Inbox/0000000806-Floating.eml",
              InviteMail("Invitation: Floating", "REQUEST",
                         "DTSTART:20240311T100000\r\nDTEND:20240311T110000\r\nRRULE:FREQ=DAILY;COUNT=2\r\n", "floating-2024"));
    const std::string pst = dir / "cal.pst";
    Result r = RunCmd({kBin, "convert", box, "--pst", pst, "--time-zone", "Europe/Berlin", "--quiet"}, dir);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // A rule Outlook cannot hold is named in the log beside the PST.
    EXPECT_NE(ReadAll(dir / "cal.log").find("NOTE : " + box + "/Calendar/0000000704-Pings.appt.meta (repeats as "
                                            "FREQ=HOURLY;COUNT=3, kept as a single appointment"),
              std::string::npos)
        << ReadAll(dir / "cal.log");
    // The request whose stated start its pattern cannot hold says so, and keeps its iCalendar part.
    EXPECT_NE(ReadAll(dir / "cal.log").find("NOTE : " + box + "/Inbox/0000000805-Kickoff.eml (its first instance (3/4/2024) "
                                            "is not on its rule"),
              std::string::npos)
        << ReadAll(dir / "cal.log");
    // The series starts at its first instance in New York; the all-day item is
    // midnight to midnight in Berlin; the UTC series stays UTC.
    WriteFile(dir / "expected.json", R"({
      "folders": {"Calendar": {"appointments": [
        {"subject": "Standup", "start": "2024-03-04T14:30:00Z", "end": "2024-03-04T14:45:00Z"},
        {"subject": "Holiday", "start": "2024-03-14T23:00:00Z", "end": "2024-03-15T23:00:00Z"},
        {"subject": "Call", "start": "2024-03-20T15:00:00Z", "end": "2024-03-20T15:30:00Z"},
        {"subject": "Pings", "start": "2024-03-20T15:00:00Z"}]}},
      "options": {"extra_folders": "ignore"}
    })");
    Result cmp = RunCmd({kInspect, "--compare", dir / "expected.json", pst, "--reader", "all", "--strict", "--timeout", "60"}, dir);
    // Each reader matches the expectation. The readers disagree only where they
    // treat Outlook's meeting objects differently: readpst attaches an .ics of its
    // own to each, pst-extractor reads no times or location from a request.
    for (const char* reader : {"pypff", "readpst", "pst-extractor"})
        EXPECT_NE(cmp.out.find(std::string("== compare with ") + reader + ": OK"), std::string::npos) << cmp.out;
    std::istringstream lines(cmp.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("    Inbox: message ", 0) != 0) continue;
        bool readpstIcs = line.find(": attachment_count: pypff=0, readpst=1, pst-extractor=0") != std::string::npos ||
                          line.find(": attachment_count: pypff=1, readpst=2, pst-extractor=1") != std::string::npos;
        bool extractorTimes = line.find("\"Invitation: ") != std::string::npos && line.find("\": appointment.") != std::string::npos &&
                              line.find(", pst-extractor=-") != std::string::npos;
        EXPECT_TRUE(readpstIcs || extractorTimes) << line;
    }
    EXPECT_NE(cmp.out.find("result: AGREE"), std::string::npos) << cmp.out;
    // readpst writes each series back as an RRULE in its calendar output.
    const std::string ics = dir / "ics";
    fs::create_directories(ics);
    Result rp = RunCmd({"/bin/sh", "-c", "readpst -q -o '" + ics + "' '" + pst + "'"}, dir);
    EXPECT_EQ(rp.status, 0) << rp.err;
    std::string calendar = ReadAll(ics + "/Calendar.calendar");
    EXPECT_NE(calendar.find("RRULE:FREQ=WEEKLY;COUNT=6;BYDAY=MO;TH"), std::string::npos) << calendar;  // readpst's ";"
    EXPECT_NE(calendar.find("RRULE:FREQ=DAILY;COUNT=4;INTERVAL=3"), std::string::npos) << calendar;  // 20, 23, 26, 29 March

    // Requests, responses and cancellations are Outlook's meeting objects with the
    // calendar item's global object id (a cancelled instance: with its date), and
    // no meeting.ics; what has no meeting object stays mail with its attachment.
    WriteFile(dir / "dump.py", kMeetingDump);
    Result dump = RunCmd({"/bin/sh", "-c", "for p in \"$PST_INSPECT_PYPFF_PYTHON\" /usr/bin/python3 python3; do [ -n \"$p\" ] && "
                                           "\"$p\" -c 'import pypff' 2>/dev/null && exec \"$p\" '" + dir / "dump.py" + "' '" + pst +
                                           "'; done; exit 3"},
                         dir);
    ASSERT_EQ(dump.status, 0) << dump.out << dump.err;
    auto hex = [](const pst::Binary& b) {
        static const char* digits = "0123456789abcdef";
        std::string out;
        for (uint8_t c : b) out += {digits[c >> 4], digits[c & 15]};
        return out;
    };
    const std::string series = hex(pst::GlobalObjectIdFromUid("standup-2024"));
    std::string instance = series;
    instance.replace(32, 8, "07e80307");  // 7 March 2024
    // The request carries the calendar item's recurrence, byte for byte.
    const std::string standup = "|2|every Monday and Thursday effective 3/4/2024 until 3/21/2024 from 9:30 AM to 9:45 AM|";
    const size_t at = dump.out.find("Standup|IPM.Appointment|0|" + series + "|" + standup);
    ASSERT_NE(at, std::string::npos) << dump.out;
    const std::string blob = dump.out.substr(at, dump.out.find('\n', at) - at).substr(dump.out.find(standup, at) - at + standup.size());
    EXPECT_GT(blob.size(), 100u);
    for (const std::string& line : std::vector<std::string>
         {"Invitation: Standup|IPM.Schedule.Meeting.Request|0|" + series + "|" + standup + blob,
          "Accepted: Standup|IPM.Schedule.Meeting.Resp.Pos|0|" + series + "||||",
          "Cancelled: Standup|IPM.Schedule.Meeting.Canceled|0|" + instance + "||||", std::string("Published: Standup|IPM.Note|1|||||\n"),
          std::string("Report|IPM.Task|0||1||"), std::string("Invitation: Kickoff|IPM.Schedule.Meeting.Request|1|"),
          // Requests carry their zone (a floating series the converting zone's); the
          // cancelled instance is one instance of the series, replacing 7 March 9:30 in New York.
          std::string("ZONE Invitation: Standup|Eastern Standard Time||1|\n"),
          std::string("ZONE Invitation: Floating|W. Europe Standard Time||1|\n"),
          std::string("ZONE Cancelled: Standup|Eastern Standard Time|1|0|1709821800\n")})
        EXPECT_NE(dump.out.find(line), std::string::npos) << line << "\n" << dump.out;
    ExpectVerified(pst, dir);
    EXPECT_EQ(RunCmd({kBin, "convert", box, "--time-zone", "Nowhere/Atlantis"}, dir).status, 2);
}

namespace {

// Many messages in one folder, each with a unique subject.
std::vector<std::string> MakeBigExport(const std::string& box, int n) {
    std::vector<std::string> paths;
    WriteFile(box + "/0000000011-ROOT.meta", "{\"id\":11,\"type\":1,\"name\":\"ROOT\",\"Path\":\"/\",\"metadata\":\"d1:ai3ee\"}");
    const std::string padding(1500, 'x');
    for (int i = 0; i < n; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%07d-Message %05d.eml", 1000 + i, i);
        const std::string path = box + "/Inbox/" + name;
        char subject[32];
        std::snprintf(subject, sizeof subject, "Message %05d", i);
        WriteFile(path, Message(subject, padding + "\r\n"));
        paths.push_back(path);
    }
    return paths;
}

// True while the process runs (it is reaped, and its status kept, when it ends).
bool Running(Proc& p, int& status) {
    int st = 0;
    const pid_t r = waitpid(p.pid, &st, WNOHANG);
    if (r == 0) return true;
    status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
    p.pid = -1;
    return false;
}

int Gone(const std::vector<std::string>& paths) {
    int n = 0;
    for (auto& p : paths) n += !fs::exists(p);
    return n;
}

}  // namespace

TEST(ConvertCommand, SigkillDuringADeletingRunNeverLosesAMessage) {
    TempDir dir;
    const auto paths = MakeBigExport(dir / "big", 3000);
    const std::string pst = dir / "big.pst";
    Proc p = Spawn({kBin, "convert", dir / "big", "--pst", pst, "--delete-source", "--commit-every", "100"},
                   dir / "kill.out", dir / "kill.err");
    ASSERT_GT(p.pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = -1;
    while (Running(p, status) && Gone(paths) < 300 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (p.pid > 0) {
        kill(p.pid, SIGKILL);
        status = Wait(p);
    }
    ASSERT_NE(status, 2) << ReadAll(dir / "kill.err");
    const int gone = Gone(paths);
    if (status != 128 + SIGKILL) GTEST_SKIP() << "the run ended before it could be killed (" << gone << " gone)";
    ASSERT_GT(gone, 0);
    ASSERT_LT(gone, 3000);
    ExpectVerified(pst, dir);
    const std::string json = Inspect(pst, dir);
    ASSERT_GE(ItemCount(json, "Inbox"), gone);
    for (size_t i = 0; i < paths.size(); ++i) {
        if (fs::exists(paths[i])) continue;
        char subject[48];
        std::snprintf(subject, sizeof subject, "\"subject\": \"Message %05zu\"", i);
        EXPECT_NE(json.find(subject), std::string::npos) << paths[i] << " is gone but not in the PST";
    }
}

TEST(ConvertCommand, CtrlCStopsAfterTheCurrentFileWithACommittedPst) {
    TempDir dir;
    const auto paths = MakeBigExport(dir / "big", 3000);
    const std::string pst = dir / "big.pst";
    Proc p = Spawn({kBin, "convert", dir / "big", "--pst", pst, "--delete-source", "--commit-every", "100", "--json"},
                   dir / "int.out", dir / "int.err");
    ASSERT_GT(p.pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = -1;
    while (Running(p, status) && Gone(paths) < 100 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (p.pid > 0) {
        kill(p.pid, SIGINT);
        status = Wait(p);
    }
    ASSERT_NE(status, 2) << ReadAll(dir / "int.err");
    const std::string out = ReadAll(dir / "int.out");
    if (out.find("\"status\": \"converted\"") != std::string::npos) GTEST_SKIP() << "the run ended before Ctrl-C";
    EXPECT_EQ(status, 1) << ReadAll(dir / "int.err");
    EXPECT_NE(out.find("\"status\": \"stopped\""), std::string::npos) << out;
    ExpectVerified(pst, dir);
    // Everything saved until the stop is in the PST, and exactly those sources went.
    const int gone = Gone(paths);
    EXPECT_GT(gone, 0);
    EXPECT_EQ(ItemCount(Inspect(pst, dir), "Inbox"), gone);
}

namespace {

// pst-inspect's view of a PST without what depends on the moment of the run.
std::string TimelessView(const std::string& pst, const TempDir& dir) {
    std::string out;
    std::istringstream in(Inspect(pst, dir));
    for (std::string line; std::getline(in, line);)
        if (line.find("\"file\"") == std::string::npos && line.find("\"elapsed_sec\"") == std::string::npos &&
            line.find("\"store_display_name\"") == std::string::npos)
            out += line + "\n";
    return out;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
    return text;
}

}  // namespace

TEST(ConvertMany, ParallelRunWritesTheSequentialPstsLogsAndSummary) {
    TempDir dir;
    for (const std::string name : {"m1", "m2", "m3"}) MakeMessageExport(dir / ("root/" + name));
    fs::copy(kSample + "/alice", dir / "root/alice", fs::copy_options::recursive);
    fs::create_directories(dir / "seq");
    fs::create_directories(dir / "par");
    Result seq = RunCmd({kBin, "convert", "--multiple", dir / "root", "--out", dir / "seq", "-j", "1", "--json"}, dir);
    Result par = RunCmd({kBin, "convert", "--multiple", dir / "root", "--out", dir / "par", "-j", "3", "--json"}, dir);
    EXPECT_EQ(seq.status, 1) << seq.err;
    EXPECT_EQ(par.status, 1) << par.err;
    EXPECT_EQ(Replace(par.out, dir / "par/", dir / "seq/"), seq.out);
    // The same plain progress lines, only interleaved.
    auto lines = [](const std::string& text) {
        std::multiset<std::string> set;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) set.insert(l);
        return set;
    };
    EXPECT_EQ(lines(Replace(par.err, dir / "par/", dir / "seq/")), lines(seq.err));
    for (const std::string name : {"alice", "m1", "m2", "m3"}) {
        EXPECT_EQ(ReadAll(dir / ("par/" + name + ".log")), ReadAll(dir / ("seq/" + name + ".log"))) << name;
        const std::string view = TimelessView(dir / ("par/" + name + ".pst"), dir);
        EXPECT_NE(view.find("\"folders\""), std::string::npos) << view;
        EXPECT_EQ(view, TimelessView(dir / ("seq/" + name + ".pst"), dir)) << name;
        ExpectVerified(dir / ("par/" + name + ".pst"), dir);
    }
}

TEST(ConvertMany, ShardsSplitTheMailboxesAndTheReportMergesTheirSummaries) {
    TempDir dir;
    const std::vector<std::string> names = {"ann", "ben", "cat", "dan", "eve"};
    for (const auto& name : names) {
        WriteFile(dir / ("root/" + name + "/Inbox/0000000301-Hello.eml"), Message("Hello " + name));
        WriteFile(dir / ("root/" + name + "/Inbox/0000000301-Hello.eml.meta"), "{}");
    }
    fs::create_directories(dir / "out");
    std::multiset<std::string> converted;
    for (const std::string share : {"0/2", "1/2"}) {
        Result r = RunCmd({kBin, "convert", "--multiple", dir / "root", "--shard", share, "--out", dir / "out", "-j", "2",
                           "--quiet"},
                          dir);
        EXPECT_EQ(r.status, 0) << share << r.err;
    }
    for (const auto& name : names) EXPECT_TRUE(fs::exists(dir / ("out/" + name + ".pst"))) << name;
    for (const std::string file : {"summary-0-of-2.json", "summary-1-of-2.json"}) {
        const std::string text = ReadAll(dir / ("out/" + file));
        for (const auto& name : names)
            if (text.find("\"name\": \"" + name + "\"") != std::string::npos) converted.insert(name);
    }
    EXPECT_EQ(converted, std::multiset<std::string>(names.begin(), names.end()));

    Result report = RunCmd({kBin, "report", dir / "out"}, dir);
    EXPECT_EQ(report.status, 0) << report.out << report.err;
    EXPECT_NE(report.out.find("5 mailbox(es) from 2 summary file(s)"), std::string::npos) << report.out;
    EXPECT_LT(report.out.find("\nann "), report.out.find("\neve ")) << report.out;
    // A task that never finished is a failure of the whole run.
    fs::remove(dir / "out/summary-1-of-2.json");
    report = RunCmd({kBin, "report", dir / "out", "--json"}, dir);
    EXPECT_EQ(report.status, 1);
    EXPECT_NE(report.out.find("share 1/2: no summary"), std::string::npos) << report.out;
    EXPECT_EQ(RunCmd({kBin, "report", dir / "root"}, dir).status, 2);

    // A manifest picks mailboxes anywhere; a failed message makes the report fail.
    MakeMessageExport(dir / "elsewhere/zed");
    WriteFile(dir / "list.txt", "root/ann\n# not bob\nelsewhere/zed\n");
    fs::create_directories(dir / "out2");
    Result m = RunCmd({kBin, "convert", "--multiple", "--manifest", dir / "list.txt", "--out", dir / "out2", "--quiet"},
                      dir);
    EXPECT_EQ(m.status, 1) << m.err;
    EXPECT_TRUE(fs::exists(dir / "out2/ann.pst"));
    EXPECT_TRUE(fs::exists(dir / "out2/zed.pst"));
    EXPECT_FALSE(fs::exists(dir / "out2/ben.pst"));
    report = RunCmd({kBin, "report", dir / "out2"}, dir);
    EXPECT_EQ(report.status, 1);
    EXPECT_NE(report.out.find("converted with failures"), std::string::npos) << report.out;
    WriteFile(dir / "dup.txt", "root/ann\n" + dir.path + "/root/ann/\n");
    EXPECT_EQ(RunCmd({kBin, "convert", "--multiple", "--manifest", dir / "dup.txt", "--out", dir / "out2"}, dir).status, 2);
}

namespace {

const std::string kSameItems = ORVANDEL_SAME_ITEMS;

// True when the two PSTs hold the same folders with the same items.
void ExpectSameItems(const std::string& a, const std::string& b, const TempDir& dir) {
    WriteFile(dir / "a.json", Inspect(a, dir));
    WriteFile(dir / "b.json", Inspect(b, dir));
    Result same = RunCmd({"/usr/bin/env", "python3", kSameItems, dir / "a.json", dir / "b.json"}, dir);
    EXPECT_EQ(same.status, 0) << a << " vs " << b << "\n" << same.out << same.err;
}

}  // namespace

TEST(ConvertArchive, ArchivesConvertLikeTheirFoldersWithoutLeavingFiles) {
    TempDir dir;
    fs::create_directories(dir / "tmp");
    fs::create_directories(dir / "root");
    fs::copy(kSample + "/bob", dir / "root/bob", fs::copy_options::recursive);
    ASSERT_EQ(RunCmd({"/usr/bin/env", "tar", "-czf", dir / "root/alice.tgz", "-C", kSample + "/alice", "."}, dir).status, 0);
    ASSERT_EQ(RunCmd({"/usr/bin/env", "tar", "-cf", dir / "alice.tar", "-C", kSample + "/alice", "."}, dir).status, 0);
    ASSERT_EQ(RunCmd({"/usr/bin/env", "python3", "-c",
                      "import shutil,sys; shutil.make_archive(sys.argv[1], 'zip', sys.argv[2])", dir / "alice",
                      kSample + "/alice"},
                     dir)
                  .status,
              0);
    // The conversion's temporary files go where TMPDIR says; nothing may stay.
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string savedTmp = oldTmp ? oldTmp : "";
    setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    Result folder = RunCmd({kBin, "convert", kSample + "/alice", "--pst", dir / "folder.pst", "--quiet"}, dir);
    EXPECT_EQ(folder.status, 0) << folder.err;
    for (const std::string archive : {"root/alice.tgz", "alice.tar", "alice.zip"}) {
        const std::string pst = dir / (archive + ".pst");
        Result r = RunCmd({kBin, "convert", dir / archive, "--pst", pst, "--json"}, dir);
        EXPECT_EQ(r.status, 0) << archive << r.err;
        EXPECT_NE(r.out.find("\"name\": \"alice\""), std::string::npos) << r.out;
        ExpectSameItems(dir / "folder.pst", pst, dir);
        ExpectVerified(pst, dir);
        if (archive != "root/alice.tgz") continue;
        // Run again into the same PST: its entries are known by their place in the
        // archive, not by the temporary folder the first run read them from.
        Result again = RunCmd({kBin, "convert", dir / archive, "--pst", pst, "--json"}, dir);
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_NE(again.out.find("\"messages_imported\": 0,"), std::string::npos) << again.out;
        EXPECT_EQ(again.out.find("\"already_in_pst\": 0,"), std::string::npos) << again.out;
        ExpectSameItems(dir / "folder.pst", pst, dir);
    }
    // A folder of mailboxes may hold archives beside folders, in parallel too.
    fs::create_directories(dir / "out");
    Result many = RunCmd({kBin, "convert", "--multiple", dir / "root", "--out", dir / "out", "-j", "2", "--json"}, dir);
    EXPECT_EQ(many.status, 0) << many.err;
    ExpectSameItems(dir / "folder.pst", dir / "out/alice.pst", dir);
    EXPECT_TRUE(fs::exists(dir / "out/bob.pst"));
    // Deleting sources makes no sense for an archive: refused before anything is written.
    Result del = RunCmd({kBin, "convert", dir / "alice.tar", "--pst", dir / "del.pst", "--delete-source"}, dir);
    EXPECT_EQ(del.status, 2);
    EXPECT_NE(del.err.find("--delete-source cannot be used with an archive"), std::string::npos) << del.err;
    EXPECT_EQ(RunCmd({kBin, "convert", "--multiple", dir / "root", "--out", dir / "out2", "--delete-source"}, dir).status,
              2);
    EXPECT_FALSE(fs::exists(dir / "del.pst"));
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
    if (oldTmp) setenv("TMPDIR", savedTmp.c_str(), 1);
    else unsetenv("TMPDIR");
}

TEST(ConvertArchive, ACutOffArchiveConvertsWhatPrecedesTheCutAndSaysWhere) {
    TempDir dir;
    Result r = RunCmd({kBin, "convert", std::string(ORVANDEL_FIXTURES) + "/zimbra-truncated.tgz", "--pst",
                       dir / "cut.pst"},
                      dir);
    EXPECT_EQ(r.status, 1) << r.err;
    // Every complete contact (the items tests count 215 after extracting with tar).
    EXPECT_NE(r.out.find("215 contact(s)"), std::string::npos) << r.out;
    const std::string cut = "archive cut off after 216 entries, at " + std::string(ORVANDEL_FIXTURES) +
                            "/zimbra-truncated.tgz/Emailed Contacts/Shipe, Scott.meta";
    EXPECT_NE(r.out.find(cut), std::string::npos) << r.out;
    // The cut and the entry it cut, each named.
    EXPECT_EQ(ReadAll(dir / "cut.log"), "---- Log Starts -----\r\nBAD : " + cut + "\r\nBAD : " +
                                            std::string(ORVANDEL_FIXTURES) +
                                            "/zimbra-truncated.tgz/Emailed Contacts/Shipe, Scott.meta "
                                            "(the archive ends before or inside it)\r\n");
    ExpectVerified(dir / "cut.pst", dir);

    // Names leading out of the mailbox are never written anywhere, and are named in
    // the log; a name stored again (appended) replaces the earlier entry, as extracting would.
    fs::create_directories(dir / "box");
    const std::string script =
        "import io, sys, tarfile\n"
        "t = tarfile.open(sys.argv[1], 'w:gz')\n"
        "for name in ['Inbox/0000000301-Fine.eml', '../0000000302-Escape.eml', '/tmp/0000000303-Abs.eml',\n"
        "             'Inbox/0000000301-Fine.eml']:\n"
        "    data = ('Subject: ' + name + '\\r\\n\\r\\nbody\\r\\n').encode()\n"
        "    info = tarfile.TarInfo(name); info.size = len(data); t.addfile(info, io.BytesIO(data))\n"
        "t.close()\n";
    ASSERT_EQ(RunCmd({"/usr/bin/env", "python3", "-c", script, dir / "box/evil.tgz"}, dir).status, 0);
    Result evil = RunCmd({kBin, "convert", dir / "box/evil.tgz", "--pst", dir / "evil.pst", "--json"}, dir);
    EXPECT_EQ(evil.status, 1) << evil.err;
    EXPECT_NE(evil.out.find("\"messages_imported\": 1,"), std::string::npos) << evil.out;
    EXPECT_FALSE(fs::exists(dir / "0000000302-Escape.eml"));
    EXPECT_FALSE(fs::exists("/tmp/0000000303-Abs.eml"));
    const std::string log = ReadAll(dir / "evil.log");
    EXPECT_NE(log.find("evil.tgz/../0000000302-Escape.eml (not read"), std::string::npos) << log;
    EXPECT_NE(log.find("evil.tgz//tmp/0000000303-Abs.eml (not read"), std::string::npos) << log;
    EXPECT_NE(log.find("SKIPPED : " + dir / "box/evil.tgz/Inbox/0000000301-Fine.eml (a later entry"), std::string::npos)
        << log;
}

TEST(ConvertArchive, FilesThatAreNoItemsAreLoggedAsFromTheFolder) {
    // An archive's entries leave the disk after their turn: what an unconverted
    // one is must be told while it is there, not guessed after the pass.
    TempDir dir;
    fs::copy(kSample + "/alice", dir / "alice", fs::copy_options::recursive);
    WriteFile(dir / "alice/Inbox/0000000900-Remember.note.meta", "{\"id\":900,\"type\":9,\"Path\":\"/Inbox\"}");
    WriteFile(dir / "alice/Inbox/0000000900-Remember.note", "remember");
    WriteFile(dir / "alice/Inbox/readme.txt", "not an item");
    ASSERT_EQ(RunCmd({"/usr/bin/env", "tar", "-czf", dir / "alice.tgz", "-C", dir / "alice", "."}, dir).status, 0);
    EXPECT_EQ(RunCmd({kBin, "convert", dir / "alice", "--pst", dir / "f.pst", "--quiet"}, dir).status, 0);
    EXPECT_EQ(RunCmd({kBin, "convert", dir / "alice.tgz", "--pst", dir / "a.pst", "--quiet"}, dir).status, 0);
    std::string fromFolder = ReadAll(dir / "f.log");
    for (size_t at; (at = fromFolder.find(dir / "alice/")) != std::string::npos;)
        fromFolder.replace(at, (dir / "alice/").size(), dir / "alice.tgz/");
    EXPECT_NE(fromFolder.find("SKIPPED : " + dir / "alice.tgz/Inbox/readme.txt"), std::string::npos) << fromFolder;
    EXPECT_EQ(ReadAll(dir / "a.log"), fromFolder);
}

TEST(ConvertArchive, AnExportInPartsIsOneMailboxWithEachItemOnce) {
    TempDir dir;
    fs::create_directories(dir / "tmp");
    // Two date-range parts of alice: each has the whole folder list; the second
    // repeats one message of the first and, in part2b, has a contact of its own
    // whose name the first part's contact already took.
    const std::string script =
        "import io, os, re, sys, tarfile\n"
        "box, out = sys.argv[1], sys.argv[2]\n"
        "files = sorted(os.path.relpath(os.path.join(d, f), box) for d, _, fs in os.walk(box) for f in fs)\n"
        "folder = lambda n: re.match(r'\\d{10}-', os.path.basename(n)) and n.endswith('.meta') and "
        "not re.search(r'\\.(eml|appt|task|wiki)\\.meta$', n)\n"
        "late = lambda n: n.startswith('Inbox!1/') or n.startswith('Calendar/')\n"
        "repeat = lambda n: n.startswith('Sent/0000000275-')\n"
        "def pack(name, keep, extra=()):\n"
        "    with tarfile.open(os.path.join(out, name), 'w:gz') as t:\n"
        "        for n in files:\n"
        "            if keep(n): t.add(os.path.join(box, n), n)\n"
        "        for n, data in extra:\n"
        "            i = tarfile.TarInfo(n); i.size = len(data); t.addfile(i, io.BytesIO(data))\n"
        "pack('part1.tgz', lambda n: folder(n) or not late(n))\n"
        "pack('part2.tgz', lambda n: folder(n) or late(n) or repeat(n))\n"
        "other = open(os.path.join(box, 'Contacts/Reyes, Dana.meta'), 'rb').read()\n"
        "other = re.sub(rb'\"id\":\\d+', b'\"id\":999', other).replace(b'Dana', b'Dona')\n"
        "pack('part2b.tgz', lambda n: folder(n) or late(n), [('Contacts/Reyes, Dana.meta', other)])\n";
    ASSERT_EQ(RunCmd({"/usr/bin/env", "python3", "-c", script, kSample + "/alice", dir.path}, dir).status, 0);
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string savedTmp = oldTmp ? oldTmp : "";
    setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    Result folder = RunCmd({kBin, "convert", kSample + "/alice", "--pst", dir / "folder.pst", "--json"}, dir);
    ASSERT_EQ(folder.status, 0) << folder.err;
    auto contactsOf = [](const std::string& json) {
        const size_t at = json.find("\"contacts\": ", json.find("\"name\": \"alice\""));
        return at == std::string::npos ? -1 : std::atoi(json.c_str() + at + 12);
    };

    // Given together on the command line: the folder's items, the repeated message once.
    Result r = RunCmd({kBin, "convert", dir / "part1.tgz", dir / "part2.tgz", "--pst", dir / "parts.pst", "--json"}, dir);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\"name\": \"part1\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"items_skipped\": 1,"), std::string::npos) << r.out;
    ExpectSameItems(dir / "folder.pst", dir / "parts.pst", dir);
    ExpectVerified(dir / "parts.pst", dir);
    EXPECT_NE(ReadAll(dir / "parts.log").find("part2.tgz/Sent/0000000275-Lunch on Friday_.eml.meta"),
              std::string::npos);

    // A folder holding nothing but the parts is that mailbox in --multiple.
    fs::create_directories(dir / "root/alice");
    fs::copy(dir / "part1.tgz", dir / "root/alice/2023.tgz");
    fs::copy(dir / "part2.tgz", dir / "root/alice/2024.tgz");
    fs::copy(kSample + "/bob", dir / "root/bob", fs::copy_options::recursive);
    Result many = RunCmd({kBin, "convert", "--multiple", dir / "root", "--out", dir / "many", "--quiet"}, dir);
    EXPECT_EQ(many.status, 0) << many.err;
    ExpectSameItems(dir / "folder.pst", dir / "many/alice.pst", dir);

    // Same-named archives in a manifest are one mailbox, also in a child process
    // of a parallel run; a contact of the second part that lost its name to a
    // different one of the first keeps both.
    fs::create_directories(dir / "2023");
    fs::create_directories(dir / "2024");
    fs::copy(dir / "part1.tgz", dir / "2023/alice.tgz");
    fs::copy(dir / "part2b.tgz", dir / "2024/alice.tgz");
    WriteFile(dir / "list.txt", "2023/alice.tgz\nroot/bob\n2024/alice.tgz\n");
    Result m = RunCmd({kBin, "convert", "--multiple", "--manifest", dir / "list.txt", "--out", dir / "m", "-j", "2",
                       "--json"},
                      dir);
    EXPECT_EQ(m.status, 0) << m.out << m.err;
    EXPECT_EQ(contactsOf(m.out), contactsOf(folder.out) + 1) << m.out;
    EXPECT_NE(Inspect(dir / "m/alice.pst", dir).find("Reyes, Dona"), std::string::npos);
    // No deleting from archives, however they are given.
    EXPECT_EQ(RunCmd({kBin, "convert", dir / "root/alice", "--pst", dir / "d.pst", "--delete-source"}, dir).status, 2);
    EXPECT_EQ(RunCmd({kBin, "convert", dir / "part1.tgz", kSample + "/bob", "--pst", dir / "d.pst"}, dir).status, 2);
    EXPECT_FALSE(fs::exists(dir / "d.pst"));
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
    if (oldTmp) setenv("TMPDIR", savedTmp.c_str(), 1);
    else unsetenv("TMPDIR");
}

// --- The export's own folder list ----------------------------------------------

namespace {

// A folder's ".meta" as the exporter writes it, at its parent's level.
void FolderMeta(const std::string& box, const std::string& parentDir, int id, const std::string& name,
                const std::string& zimbraPath, const metaenc::Entries& metadata, int type = 1) {
    std::string fileName = name;
    for (char& c : fileName)
        if (std::string("/:*?\"<>|").find(c) != std::string::npos) c = '_';
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%010d-", id);
    metaenc::WriteUnder(box, (parentDir.empty() ? "" : parentDir + "/") + prefix + fileName + ".meta",
                        metaenc::MetaJson({{"id", std::to_string(id)},
                                           {"type", std::to_string(type)},
                                           {"name", metaenc::JsonQuote(name)},
                                           {"Path", metaenc::JsonQuote(zimbraPath)}},
                                          metaenc::BDict(metadata)));
}

// The path of a folder in pst-inspect's JSON and its container class ("" when absent).
std::string ContainerClass(const std::string& json, const std::string& path) {
    const size_t at = json.find("\"path\": \"" + path + "\",");
    if (at == std::string::npos) return {};
    const size_t c = json.find("\"container_class\": \"", at);
    if (c == std::string::npos) return {};
    return json.substr(c + 20, json.find('"', c + 20) - c - 20);
}

}  // namespace

TEST(ConvertCommand, FolderNamesEmptyFoldersOwnAddressBooksAndCalendarsAndNothingSilent) {
    using metaenc::BInt;
    using metaenc::BStr;
    TempDir dir;
    const std::string box = dir / "carol";
    FolderMeta(box, "", 11, "ROOT", "/", {{"a", BInt(3)}});
    FolderMeta(box, "", 2, "Inbox", "/Inbox", {{"a", BInt(1)}, {"vt", BStr("5")}});
    FolderMeta(box, "", 7, "Contacts", "/Contacts", {{"a", BInt(1)}, {"vt", BStr("6")}});
    FolderMeta(box, "", 10, "Calendar", "/Calendar", {{"a", BInt(1)}, {"vt", BStr("11")}});
    FolderMeta(box, "", 15, "Tasks", "/Tasks", {{"a", BInt(1)}, {"vt", BStr("15")}});
    FolderMeta(box, "", 8, "Tags", "/Tags", {{"a", BInt(3)}, {"vt", BStr("3")}});
    FolderMeta(box, "", 16, "Briefcase", "/Briefcase", {{"a", BInt(1)}, {"vt", BStr("8")}});
    // The exporter spells "Launch <Q3>" as "Launch _Q3_" in directory names.
    FolderMeta(box, "Inbox", 300, "Launch <Q3>", "/Inbox/Launch <Q3>", {{"vt", BStr("5")}});
    FolderMeta(box, "Inbox", 301, "Empty", "/Inbox/Empty", {{"vt", BStr("5")}});
    FolderMeta(box, "Inbox/Empty", 302, "Deeper?", "/Inbox/Empty/Deeper?", {{"vt", BStr("5")}});
    FolderMeta(box, "Contacts", 310, "Friends", "/Contacts/Friends", {{"vt", BStr("6")}});
    FolderMeta(box, "", 311, "Team*Cal", "/Team*Cal", {{"c", BInt(3)}, {"vt", BStr("11")}});
    FolderMeta(box, "", 312, "Chores", "/Chores", {{"vt", BStr("15")}});
    // Mail folders inside them, listed (with a view or none) or holding messages only.
    FolderMeta(box, "Team_Cal", 313, "Minutes", "/Team*Cal/Minutes", {{"vt", BStr("5")}});
    FolderMeta(box, "Contacts/Friends", 314, "Letters", "/Contacts/Friends/Letters", {});
    WriteFile(box + "/Team_Cal/Minutes/0000000403-Monday.eml", Message("Monday"));
    WriteFile(box + "/Team_Cal/Minutes/0000000403-Monday.eml.meta", "{}");
    WriteFile(box + "/Chores/Loose/0000000404-Receipt.eml", Message("Receipt"));
    WriteFile(box + "/Chores/Loose/0000000404-Receipt.eml.meta", "{}");
    FolderMeta(box, "", 320, "Unread", "/Unread", {{"q", BStr("is:unread")}, {"t", BStr("message")}}, 2);
    FolderMeta(box, "", 321, "Shared", "/Shared", {{"aid", BStr("a-b-c")}, {"vt", BStr("5")}}, 13);
    WriteFile(box + "/Inbox/Launch _Q3_/0000000400-Plan.eml", Message("Plan"));
    WriteFile(box + "/Inbox/Launch _Q3_/0000000400-Plan.eml.meta", "{}");
    metaenc::WriteUnder(box, "Contacts/Friends/Doe, Jane.meta",
                        metaenc::ContactMeta({{"firstName", "Jane"}, {"lastName", "Doe"}, {"email", "jane@example.org"}}));
    metaenc::WriteUnder(box, "Contacts/Roe, Rick.meta", metaenc::ContactMeta({{"firstName", "Rick"}, {"lastName", "Roe"}}));
    metaenc::WriteUnder(box, "Team_Cal/0000000600-Standup.appt.meta",
                        metaenc::AppointmentMeta({{"n", BStr("Standup")}, {"st", BStr("20261207T090000Z")},
                                                  {"et", BStr("20261207T093000Z")}},
                                                 11, "/Team*Cal/"));
    metaenc::WriteUnder(box, "Chores/0000000700-Dishes.task.meta",
                        metaenc::AppointmentMeta({{"n", BStr("Dishes")}}, 15, "/Chores/"));
    // Damage: an empty contact file, and a message whose content the archive lost.
    WriteFile(box + "/Contacts/Empty, Eve.meta", "");
    WriteFile(box + "/Inbox/0000000401-Lost.eml.meta", "{}");

    const std::string pst = dir / "carol.pst";
    Result r = RunCmd({kBin, "convert", box, "--pst", pst, "--json"}, dir);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("\"contacts\": 2, \"appointments\": 1, \"tasks\": 1, \"notes\": 0, \"items_failed\": 2,"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"items_skipped\": 2,"), std::string::npos) << r.out;
    EXPECT_EQ(ReadAll(dir / "carol.log"),
              "---- Log Starts -----\r\n"
              "SKIPPED : " + box + "/0000000320-Unread.meta (search folder \"Unread\": an export holds only its query, is:unread)\r\n"
              "SKIPPED : " + box + "/0000000321-Shared.meta (shared folder link \"Shared\": its content lives in the owner's mailbox)\r\n"
              "BAD : " + box + "/Contacts/Empty, Eve.meta\r\n"
              "BAD : " + box + "/Inbox/0000000401-Lost.eml.meta\r\n");

    WriteFile(dir / "expected.json",
              "{\"folders\": {"
              "\"Inbox/Launch <Q3>\": {\"messages\": [\"Plan\"]},"
              "\"Inbox/Empty\": {\"messages\": []}, \"Inbox/Empty/Deeper?\": {\"messages\": []},"
              "\"Contacts\": {\"contacts\": [{\"name\": \"Rick Roe\"}]},"
              "\"Contacts/Friends\": {\"contacts\": [{\"name\": \"Jane Doe\", \"email\": \"jane@example.org\"}]},"
              "\"Calendar/Team*Cal\": {\"appointments\": [{\"subject\": \"Standup\", \"start\": \"2026-12-07T09:00:00Z\"}]},"
              "\"Tasks/Chores\": {\"tasks\": [\"Dishes\"]},"
              "\"Calendar/Team*Cal/Minutes\": {\"messages\": [\"Monday\"]},"
              "\"Contacts/Friends/Letters\": {\"messages\": []},"
              "\"Tasks/Chores/Loose\": {\"messages\": [\"Receipt\"]},"
              // The store's own default folders, and no other.
              "\"Deleted Items\": [], \"Inbox\": [], \"Outbox\": [], \"Sent Items\": [], \"Drafts\": [],"
              "\"Junk E-mail\": [], \"Calendar\": [], \"Journal\": [], \"Notes\": [], \"Tasks\": []"
              "}, \"options\": {\"extra_folders\": \"report\", \"extra_items\": \"report\"}}");
    Result cmp = RunCmd({kInspect, "--compare", dir / "expected.json", pst, "--reader", "all", "--strict", "--timeout",
                         "60"}, dir);
    EXPECT_EQ(cmp.status, 0) << cmp.out << cmp.err;
    const std::string json = Inspect(pst, dir);
    EXPECT_EQ(ContainerClass(json, "Contacts/Friends"), "IPF.Contact");
    EXPECT_EQ(ContainerClass(json, "Calendar/Team*Cal"), "IPF.Appointment");
    EXPECT_EQ(ContainerClass(json, "Tasks/Chores"), "IPF.Task");
    EXPECT_EQ(ContainerClass(json, "Inbox/Empty/Deeper?"), "IPF.Note");
    EXPECT_EQ(ContainerClass(json, "Calendar/Team*Cal/Minutes"), "IPF.Note");
    EXPECT_EQ(ContainerClass(json, "Contacts/Friends/Letters"), "IPF.Note");
    // The export's bookkeeping folders are no mail folders.
    for (const std::string hidden :
         {"Tags", "Briefcase", "Unread", "Shared", "Inbox/Launch _Q3_", "Team_Cal", "Team*Cal", "Chores"})
        EXPECT_EQ(ItemCount(json, hidden), -1) << hidden;
    ExpectVerified(pst, dir);
}

// An archive is read once, in its own order: items met before their folders'
// descriptions, contents before their ".meta", still land as from the folder;
// a name stored again after its item was converted is converted too, and said.
TEST(ConvertArchive, ItemsBeforeTheirFoldersAndNamesStoredAgain) {
    using metaenc::BInt;
    using metaenc::BStr;
    TempDir dir;
    const std::string box = dir / "dora";
    FolderMeta(box, "", 11, "ROOT", "/", {{"a", BInt(3)}});
    FolderMeta(box, "", 2, "Inbox", "/Inbox", {{"a", BInt(1)}, {"vt", BStr("5")}});
    FolderMeta(box, "", 7, "Contacts", "/Contacts", {{"a", BInt(1)}, {"vt", BStr("6")}});
    FolderMeta(box, "", 10, "Calendar", "/Calendar", {{"a", BInt(1)}, {"vt", BStr("11")}});
    FolderMeta(box, "Inbox", 300, "Launch <Q3>", "/Inbox/Launch <Q3>", {{"vt", BStr("5")}});
    FolderMeta(box, "Contacts", 310, "Friends", "/Contacts/Friends", {{"vt", BStr("6")}});
    FolderMeta(box, "", 311, "Team*Cal", "/Team*Cal", {{"vt", BStr("11")}});
    FolderMeta(box, "Team_Cal", 313, "Minutes", "/Team*Cal/Minutes", {{"vt", BStr("5")}});
    WriteFile(box + "/Inbox/Launch _Q3_/0000000400-Plan.eml", Message("Plan"));
    WriteFile(box + "/Inbox/Launch _Q3_/0000000400-Plan.eml.meta", "{\"id\":400}");
    WriteFile(box + "/Team_Cal/Minutes/0000000403-Monday.eml", Message("Monday"));
    WriteFile(box + "/Team_Cal/Minutes/0000000403-Monday.eml.meta", "{\"id\":403}");
    metaenc::WriteUnder(box, "Contacts/Friends/Doe, Jane.meta",
                        metaenc::ContactMeta({{"firstName", "Jane"}, {"lastName", "Doe"}}));
    metaenc::WriteUnder(box, "Team_Cal/0000000600-Standup.appt.meta",
                        metaenc::AppointmentMeta({{"n", BStr("Standup")}, {"st", BStr("20261207T090000Z")},
                                                  {"et", BStr("20261207T093000Z")}},
                                                 11, "/Team*Cal/"));
    // Reversed: every item before the folders that describe it, each ".meta"
    // before its content. Then the server's order with Plan appended again.
    const std::string script =
        "import io, os, sys, tarfile\n"
        "box, out = sys.argv[1], sys.argv[2]\n"
        "files = sorted(os.path.relpath(os.path.join(d, f), box) for d, _, fs in os.walk(box) for f in fs)\n"
        "with tarfile.open(os.path.join(out, 'reversed.tgz'), 'w:gz') as t:\n"
        "    for n in reversed(files): t.add(os.path.join(box, n), n)\n"
        "with tarfile.open(os.path.join(out, 'again.tgz'), 'w:gz') as t:\n"
        "    for n in files: t.add(os.path.join(box, n), n)\n"
        "    for n, data in [('Inbox/Launch _Q3_/0000000400-Plan.eml.meta', b'{\"id\":400}'),\n"
        "                    ('Inbox/Launch _Q3_/0000000400-Plan.eml', b'Subject: Plan v2\\r\\n\\r\\nnew\\r\\n')]:\n"
        "        i = tarfile.TarInfo(n); i.size = len(data); t.addfile(i, io.BytesIO(data))\n";
    ASSERT_EQ(RunCmd({"/usr/bin/env", "python3", "-c", script, box, dir.path}, dir).status, 0);
    Result folder = RunCmd({kBin, "convert", box, "--pst", dir / "folder.pst", "--json"}, dir);
    ASSERT_EQ(folder.status, 0) << folder.err;
    Result reversed = RunCmd({kBin, "convert", dir / "reversed.tgz", "--pst", dir / "reversed.pst", "--json"}, dir);
    EXPECT_EQ(reversed.status, 0) << reversed.out << reversed.err;
    // The same counts, though the archive's were known only at its end.
    for (const std::string key : {"\"files\": ", "\"files_converted\": ", "\"folders_created\": "}) {
        auto count = [&key](const std::string& json) {
            const size_t at = json.find(key);
            return at == std::string::npos ? -1 : std::atoi(json.c_str() + at + key.size());
        };
        EXPECT_EQ(count(reversed.out), count(folder.out)) << key << reversed.out << folder.out;
    }
    ExpectSameItems(dir / "folder.pst", dir / "reversed.pst", dir);
    ExpectVerified(dir / "reversed.pst", dir);

    Result again = RunCmd({kBin, "convert", dir / "again.tgz", "--pst", dir / "again.pst", "--json"}, dir);
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("\"messages_imported\": 3,"), std::string::npos) << again.out;
    const std::string json = Inspect(dir / "again.pst", dir);
    EXPECT_EQ(ItemCount(json, "Inbox/Launch <Q3>"), 2) << json;
    EXPECT_NE(json.find("Plan v2"), std::string::npos);
    EXPECT_NE(ReadAll(dir / "again.log").find("NOTE : " + dir / "again.tgz/Inbox/Launch _Q3_/0000000400-Plan.eml.meta"),
              std::string::npos)
        << ReadAll(dir / "again.log");
    ExpectVerified(dir / "again.pst", dir);
}

// A size split mid-way through an own address book: each part holds the book
// (looked up in that part's store) with its share of the contacts.
TEST(ConvertCommand, AnOwnAddressBookSplitBySizeIsWholeInEveryPart) {
    using metaenc::BStr;
    TempDir dir;
    const std::string box = dir / "kim";
    FolderMeta(box, "", 11, "ROOT", "/", {{"a", metaenc::BInt(3)}});
    FolderMeta(box, "", 300, "Clients", "/Clients", {{"vt", BStr("6")}});
    FolderMeta(box, "Clients", 301, "Mail", "/Clients/Mail", {{"vt", BStr("5")}});
    const int n = 60;
    const std::string notes(20000, 'n');  // about 35 contacts fill a 1 MB part
    for (int i = 0; i < n; ++i) {
        char last[16];
        std::snprintf(last, sizeof last, "Client%03d", i);
        metaenc::WriteUnder(box, "Clients/" + std::string(last) + ", Kay.meta",
                            metaenc::ContactMeta({{"firstName", "Kay"}, {"lastName", last}, {"notes", notes}}));
    }
    WriteFile(box + "/Clients/Mail/0000000500-Offer.eml", Message("Offer"));
    WriteFile(box + "/Clients/Mail/0000000500-Offer.eml.meta", "{}");
    Result r = RunCmd({kBin, "convert", box, "--pst", dir / "kim.pst", "--max-pst-size", "1M", "--quiet", "--json"}, dir);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\"contacts\": " + std::to_string(n) + ","), std::string::npos) << r.out;
    std::vector<std::string> parts = {dir / "kim.pst"};
    for (int k = 2; fs::exists(dir / ("kim (" + std::to_string(k) + ").pst")); ++k)
        parts.push_back(dir / ("kim (" + std::to_string(k) + ").pst"));
    ASSERT_GE(parts.size(), 2u);
    int contacts = 0, offers = 0;
    for (const auto& part : parts) {
        SCOPED_TRACE(part);
        ExpectVerified(part, dir);
        const std::string json = Inspect(part, dir);
        const int here = ItemCount(json, "Contacts/Clients");
        EXPECT_GT(here, 0);
        EXPECT_EQ(ContainerClass(json, "Contacts/Clients"), "IPF.Contact");
        EXPECT_EQ(ContainerClass(json, "Contacts/Clients/Mail"), "IPF.Note");
        EXPECT_EQ(ItemCount(json, "Contacts"), 0);  // none fell back to the default book
        contacts += std::max(0, here);
        offers += std::max(0, ItemCount(json, "Contacts/Clients/Mail"));
    }
    EXPECT_EQ(contacts, n);
    EXPECT_EQ(offers, 1);
    EXPECT_EQ(ReadAll(dir / "kim.log").find("BAD"), std::string::npos) << ReadAll(dir / "kim.log");
}

// --- Every listed file is converted or named in the log --------------------------

namespace {

int JsonInt(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::atoi(json.c_str() + at + key.size() + 4);
}

}  // namespace

TEST(ConvertCommand, EveryListedFileIsConvertedOrLogged) {
    TempDir dir;
    // The real export, cut off part-way: its last entry is named as well as the cut.
    Result real = RunCmd({kBin, "convert", std::string(ORVANDEL_FIXTURES) + "/zimbra-truncated.tgz", "--pst",
                          dir / "real.pst", "--json"}, dir);
    EXPECT_EQ(real.status, 1) << real.out << real.err;
    EXPECT_EQ(JsonInt(real.out, "files"), 217) << real.out;
    EXPECT_EQ(JsonInt(real.out, "files_converted") + JsonInt(real.out, "files_logged"), 217) << real.out;
    EXPECT_NE(ReadAll(dir / "real.log").find("BAD : " + std::string(ORVANDEL_FIXTURES) +
                                             "/zimbra-truncated.tgz/Emailed Contacts/Shipe, Scott.meta ("),
              std::string::npos) << ReadAll(dir / "real.log");

    // A hostile export: stray files, a damaged folder file, a server error marker,
    // a companion without its item, an empty file, and a note (converted from its companion's text).
    const std::string box = dir / "gail";
    WriteFile(box + "/0000000011-ROOT.meta", "{\"id\":11,\"type\":1,\"name\":\"ROOT\",\"Path\":\"/\",\"metadata\":\"d1:ai3ee\"}");
    WriteFile(box + "/.DS_Store", std::string("\0\0\0\1Bud1", 8));
    WriteFile(box + "/Inbox/0000000300-Fine.eml", Message("Fine"));
    WriteFile(box + "/Inbox/0000000300-Fine.eml.meta", "{}");
    WriteFile(box + "/Inbox/0000000301-Padded.eml", Message("Padded"));
    WriteFile(box + "/Inbox/0000000301-Padded.eml.meta", "{}");
    WriteFile(box + "/Inbox/0000000301-Padded.eml.err", "");
    WriteFile(box + "/Inbox/0000000302-Broken.meta", "{\"id\":302,\"type\":1,\"name\":\"Bro");
    WriteFile(box + "/Inbox/notes.txt", "hello");
    WriteFile(box + "/Contacts/Nobody", "MIME-Version: 1.0\r\n\r\n");
    WriteFile(box + "/Contacts/Empty, Eve.meta", "");
    WriteFile(box + "/Notes/0000000400-Sticky.note.meta", "{\"id\":400,\"type\":9,\"Path\":\"/Notes/\"}");
    WriteFile(box + "/Notes/0000000400-Sticky.note", "text");
    int listed = 0;
    for (auto& e : fs::recursive_directory_iterator(box))
        if (e.is_regular_file()) ++listed;
    Result r = RunCmd({kBin, "convert", box, "--pst", dir / "gail.pst", "--json"}, dir);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(JsonInt(r.out, "files"), listed) << r.out;
    // ROOT, two messages with their state files and the note with its companion.
    EXPECT_EQ(JsonInt(r.out, "files_converted"), 7) << r.out;
    EXPECT_EQ(JsonInt(r.out, "files_logged"), listed - 7) << r.out;
    EXPECT_EQ(JsonInt(r.out, "notes"), 1) << r.out;
    const std::string log = ReadAll(dir / "gail.log");
    for (const std::string& line : {
             "SKIPPED : " + box + "/.DS_Store (not an item file of the export: no .meta file describes it)",
             "BAD : " + box + "/Inbox/0000000301-Padded.eml.err (the server could not read the stored content of "
                              "0000000301-Padded.eml in full: it was exported damaged)",
             "BAD : " + box + "/Inbox/0000000302-Broken.meta (damaged: not a complete .meta file)",
             "SKIPPED : " + box + "/Inbox/notes.txt (not an item file of the export: no .meta file describes it)",
             "SKIPPED : " + box + "/Contacts/Nobody (not an item file of the export: no .meta file describes it)",
             "BAD : " + box + "/Contacts/Empty, Eve.meta"})
        EXPECT_NE(log.find(line + "\r\n"), std::string::npos) << line << "\n" << log;
    ExpectVerified(dir / "gail.pst", dir);
}
