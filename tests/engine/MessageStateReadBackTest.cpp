// Message state end to end: an export whose ".eml.meta" files record unread,
// flagged, replied, forwarded, draft and tagged messages (and broken or
// missing ones) is converted by `orvandel convert`; the PST is checked by our
// verifier, by pst-inspect --strict over its three readers, and its message
// state properties are read back through libpff (pypff) and libpst (readpst).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <map>

#include "EngineTestSupport.h"
#include "items/MetaEncoding.h"
#include "pst/verify/Verifier.h"
#include "support/Shell.h"

using namespace enginetest;
using metaenc::JsonQuote;

namespace {

using Shell = testshell::Result;
using testshell::Quote;

// A Python that can import pypff (the one pst-inspect would use).
std::string PypffPython() {
    std::vector<std::string> candidates;
    if (const char* env = std::getenv("PST_INSPECT_PYPFF_PYTHON")) candidates.push_back(env);
    candidates.insert(candidates.end(), {"python3", "/usr/bin/python3"});
    for (const auto& py : candidates)
        if (testshell::Run(Quote(py) + " -c 'import pypff'").status == 0) return py;
    return {};
}

std::string Mime(const std::string& subject, bool attachment = false) {
    std::string head = "From: Dana Reyes <dana@example.com>\r\nTo: Alice <alice@example.com>\r\nSubject: " + subject +
                       "\r\nDate: Mon, 7 Dec 2026 09:00:00 +0000\r\nMessage-ID: <" +
                       std::to_string(std::hash<std::string>{}(subject)) + "@example.com>\r\nMIME-Version: 1.0\r\n";
    if (!attachment) return head + "Content-Type: text/plain; charset=utf-8\r\n\r\nText of " + subject + "\r\n";
    return head +
           "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\nContent-Type: text/plain\r\n\r\nSee the file.\r\n"
           "--b1\r\nContent-Type: text/plain; name=\"notes.txt\"\r\nContent-Disposition: attachment; "
           "filename=\"notes.txt\"\r\n\r\nnotes\r\n--b1--\r\n";
}

std::string Meta(const std::string& path, int unread, const std::string& flagStr, const std::string& tagNames = "") {
    return metaenc::MetaJson({{"tags", "0"},
                              {"flags", "0"},
                              {"unread", std::to_string(unread)},
                              {"type", "5"},
                              {"Path", JsonQuote(path)},
                              {"FlagStr", JsonQuote(flagStr)},
                              {"TagStr", JsonQuote("")},
                              {"TagNames", JsonQuote(tagNames)},
                              {"id", "300"}},
                             "d1:f4:Text1:vi10ee");
}

// The value of `key` in one JSON line of the dump ("null" when absent).
std::string Field(const std::string& line, const std::string& key) {
    const std::string k = "\"" + key + "\": ";
    size_t at = line.find(k);
    if (at == std::string::npos) return "null";
    at += k.size();
    size_t end = at;
    int depth = 0;
    bool quoted = false;
    for (; end < line.size(); ++end) {
        const char c = line[end];
        if (quoted) {
            if (c == '\\') ++end;
            else if (c == '"') quoted = false;
        } else if (c == '"') quoted = true;
        else if (c == '[') ++depth;
        else if (c == ']') --depth;
        else if ((c == ',' || c == '}') && depth == 0) break;
    }
    return line.substr(at, end - at);
}

}  // namespace

TEST(MessageStateReadBack, UnreadFlagsVerbsDraftAndCategoriesReachTheReaders) {
    TempDir dir;
    const std::string box = dir / "alice";
    WriteFile(box + "/0000000011-ROOT.meta", "{\"id\":11,\"type\":1,\"name\":\"ROOT\",\"Path\":\"/\",\"metadata\":\"d1:ai3ee\"}");
    struct Msg {
        std::string rel, subject;
        bool attachment;
        const char* meta;  // null: no ".eml.meta"
    };
    const std::string unread = Meta("/Inbox/", 1, "u"), read = Meta("/Inbox/", 0, "s"),
                      flagged = Meta("/Inbox/", 1, "fu"), replied = Meta("/Inbox/", 0, "ar", "Finance"),
                      forwarded = Meta("/Inbox/", 0, "w"),
                      tagged = Meta("/Inbox/", 0, "", R"(Project\: Alpha:Grün:Project\: Alpha:Sales, North; East)"),
                      draft = Meta("/Drafts/", 0, "d"), full = Meta("/Inbox/", 1, "fu", "Lost");
    const std::string cut = full.substr(0, full.size() / 2);
    const std::vector<Msg> msgs = {
        {"Inbox/0000000301-Unread.eml", "Unread", false, unread.c_str()},
        {"Inbox/0000000302-Read.eml", "Read", false, read.c_str()},
        {"Inbox/0000000303-Flagged.eml", "Flagged", false, flagged.c_str()},
        {"Inbox/0000000304-Replied.eml", "Replied", true, replied.c_str()},
        {"Inbox/0000000305-Forwarded.eml", "Forwarded", false, forwarded.c_str()},
        {"Inbox/0000000306-Tagged.eml", "Tagged", false, tagged.c_str()},
        {"Inbox/0000000307-No meta.eml", "No meta", false, nullptr},
        {"Inbox/0000000308-Cut meta.eml", "Cut meta", false, cut.c_str()},
        {"Drafts/0000000309-Draft.eml", "Draft", false, draft.c_str()},
    };
    for (const auto& m : msgs) {
        WriteFile(box + "/" + m.rel, Mime(m.subject, m.attachment));
        if (m.meta) WriteFile(box + "/" + m.rel + ".meta", m.meta);
    }
    // As the export leaves them: the unread messages' ".eml.meta" files are read-only.
    for (const char* rel : {"Inbox/0000000301-Unread.eml.meta", "Inbox/0000000303-Flagged.eml.meta"})
        ASSERT_EQ(chmod((box + "/" + rel).c_str(), 0444), 0);

    const std::string pst = dir / "alice.pst";
    Shell conv = testshell::Run(Quote(ORVANDEL_BIN) + " convert " + Quote(box) + " --pst " + Quote(pst) + " --delete-source --json");
    ASSERT_EQ(conv.status, 0) << conv.output;
    EXPECT_NE(conv.output.find("\"messages_imported\": 9, \"messages_failed\": 0"), std::string::npos) << conv.output;
    // Every message and every ".eml.meta" is gone after the commit, the read-only ones too.
    for (const auto& m : msgs) {
        EXPECT_FALSE(fs::exists(box + "/" + m.rel)) << m.rel;
        EXPECT_FALSE(fs::exists(box + "/" + m.rel + ".meta")) << m.rel;
    }

    // Our verifier and the three independent readers.
    const auto report = pst::verify::VerifyFile(pst);
    EXPECT_TRUE(report.Clean()) << pst::verify::SummaryLine(pst, report);
    Shell judge = testshell::Run(Quote(ORVANDEL_PST_INSPECT) + " " + Quote(pst) + " --json --strict --timeout 60");
    EXPECT_EQ(judge.status, 0) << judge.output.substr(0, 4000);

    // What libpff reads of each message's state.
    const std::string py = PypffPython();
    ASSERT_FALSE(py.empty()) << "no Python with pypff";
    Shell dump = testshell::Run(Quote(py) + " " + Quote(ORVANDEL_STATE_DUMP) + " " + Quote(pst));
    ASSERT_EQ(dump.status, 0) << dump.output;
    std::map<std::string, std::string> bySubject;
    std::map<std::string, std::string> unreadCount;  // folder -> PR_CONTENT_UNREAD
    size_t from = 0;
    while (from < dump.output.size()) {
        size_t end = dump.output.find('\n', from);
        if (end == std::string::npos) end = dump.output.size();
        const std::string line = dump.output.substr(from, end - from);
        from = end + 1;
        const std::string subject = Field(line, "subject");
        if (subject == "null") unreadCount[Field(line, "folder")] = Field(line, "unread");
        else bySubject[subject] = line;
    }
    auto get = [&](const std::string& subject, const std::string& key) {
        auto it = bySubject.find("\"" + subject + "\"");
        if (it == bySubject.end()) return std::string("missing");
        return Field(it->second, key);
    };
    // PR_MESSAGE_FLAGS: read 1 unless unread, has-attachment 16 only with an
    // attachment, unsent 8 on the draft; broken or missing meta: read.
    const std::map<std::string, std::string> flags = {
        {"Unread", "0"},   {"Read", "1"},    {"Flagged", "0"},  {"Replied", "17"}, {"Forwarded", "1"},
        {"Tagged", "1"},   {"No meta", "1"}, {"Cut meta", "1"}, {"Draft", "9"}};
    for (const auto& [subject, want] : flags) EXPECT_EQ(get(subject, "flags"), want) << subject;
    EXPECT_EQ(unreadCount["\"Top of Personal Folders/Inbox\""], "2");
    EXPECT_EQ(unreadCount["\"Top of Personal Folders/Drafts\""], "0");

    // The follow-up flag on the flagged message only.
    EXPECT_EQ(get("Flagged", "flag_status"), "2");
    EXPECT_EQ(get("Flagged", "followup_icon"), "6");
    EXPECT_EQ(get("Flagged", "flag_request"), "\"Follow up\"");
    for (const char* s : {"Unread", "Read", "Cut meta", "Draft"}) {
        EXPECT_EQ(get(s, "flag_status"), "null") << s;
        EXPECT_EQ(get(s, "followup_icon"), "null") << s;
    }
    // Verbs and their icons.
    EXPECT_EQ(get("Replied", "last_verb"), "102");
    EXPECT_EQ(get("Replied", "icon_index"), "261");
    EXPECT_EQ(get("Forwarded", "last_verb"), "104");
    EXPECT_EQ(get("Forwarded", "icon_index"), "262");
    EXPECT_EQ(get("Read", "last_verb"), "null");
    // Categories: escaped colon resolved, duplicates dropped, non-ASCII kept,
    // a name with "," and ";" kept whole.
    EXPECT_EQ(get("Tagged", "categories"), R"(["Project: Alpha", "Grün", "Sales, North; East"])");
    EXPECT_EQ(get("Replied", "categories"), R"(["Finance"])");
    EXPECT_EQ(get("Cut meta", "categories"), "null");

    // libpst: readpst marks read messages "Status: RO" in the mail it writes.
    Shell rp = testshell::Run("readpst -V");
    if (rp.status == 0 || rp.output.find("ReadPST") != std::string::npos) {
        const std::string out = dir / "readpst";
        fs::create_directories(out);
        Shell r = testshell::Run("readpst -e -8 -b -q -o " + Quote(out) + " " + Quote(pst));
        ASSERT_EQ(r.status, 0) << r.output;
        int readMail = 0, unreadMail = 0;
        for (auto& e : fs::recursive_directory_iterator(out)) {
            if (!e.is_regular_file() || e.path().extension() != ".eml") continue;
            const std::string text = ReadAll(e.path().string());
            const std::string head = text.substr(0, text.find("\r\n\r\n") == std::string::npos ? text.find("\n\n")
                                                                                                 : text.find("\r\n\r\n"));
            (head.find("\nStatus: RO") != std::string::npos ? readMail : unreadMail)++;
        }
        EXPECT_EQ(readMail, 7);
        EXPECT_EQ(unreadMail, 2);
    }
}
