// The MIME import over the in-memory store: every corpus message field by
// field, the properties readers don't show, and the hostile inputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "Corpus.h"
#include "pst/messaging/EntryIds.h"
#include "mime/DeepStackThread.h"
#include "mime/Invitation.h"
#include "mime/MimeImport.h"
#include "mime/MimeLimits.h"
#include "support/FakeStore.h"

using namespace pst::tags;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/orvandel-mime-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
};

std::string Str(const fake::FakeBag& b, uint32_t tag) {
    auto v = b.GetProp(tag);
    if (!v) return {};
    if (auto s = std::get_if<std::string>(&*v)) return *s;
    return {};
}
int32_t Int(const fake::FakeBag& b, uint32_t tag, int32_t dflt = -999) {
    auto v = b.GetProp(tag);
    if (!v) return dflt;
    if (auto s = std::get_if<int32_t>(&*v)) return *s;
    return dflt;
}
bool Bool(const fake::FakeBag& b, uint32_t tag) {
    auto v = b.GetProp(tag);
    return v && std::holds_alternative<bool>(*v) && std::get<bool>(*v);
}
uint64_t Time(const fake::FakeBag& b, uint32_t tag) {
    auto v = b.GetProp(tag);
    if (!v || !std::holds_alternative<pst::FileTime>(*v)) return 0;
    return std::get<pst::FileTime>(*v).value;
}
uint64_t FileTimeOf(int64_t unix) { return uint64_t(unix + 11644473600LL) * 10000000ULL; }

struct Imported {
    mime::ImportResult result;
    std::unique_ptr<fake::FakeItem> item;
};

Imported Import(const std::string& path) {
    static fake::FakeFolder folder("Inbox");
    auto it = folder.AddItem(store::ItemType::Mail);
    Imported out;
    out.result = mime::ImportMessage(*it, path);
    out.item.reset(static_cast<fake::FakeItem*>(it.release()));
    return out;
}

std::string AttachmentName(const fake::FakeAttachment& a) {
    std::string n = Str(a, PR_ATTACH_LONG_FILENAME);
    return n.empty() ? Str(a, PR_DISPLAY_NAME) : n;
}

class Corpus : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        expected_ = new std::vector<mimetest::Expected>(mimetest::WriteCorpus(dir_->path, true));
    }
    static void TearDownTestSuite() {
        delete expected_;
        delete dir_;
    }
    static const mimetest::Expected& Case(const std::string& stem) {
        for (auto& e : *expected_)
            if (e.file.find(stem) != std::string::npos) return e;
        throw std::runtime_error("no case " + stem);
    }
    static std::string PathOf(const mimetest::Expected& e) { return dir_->path + "/" + e.file; }
    static TempDir* dir_;
    static std::vector<mimetest::Expected>* expected_;
};
TempDir* Corpus::dir_ = nullptr;
std::vector<mimetest::Expected>* Corpus::expected_ = nullptr;

TEST_F(Corpus, EveryMessageArrivesWhole) {
    for (auto& e : *expected_) {
        SCOPED_TRACE(e.file + ": " + e.what);
        auto im = Import(PathOf(e));
        ASSERT_EQ(im.result.ok, e.ok) << im.result.error;
        if (!e.ok) {
            EXPECT_FALSE(im.result.error.empty());
            continue;
        }
        auto& it = *im.item;
        EXPECT_EQ(Str(it, PR_MESSAGE_CLASS), e.messageClass);
        EXPECT_EQ(Str(it, PR_SUBJECT), e.subject);
        if (!e.senderAddress.empty()) {
            EXPECT_FALSE(Str(it, PR_SENDER_EMAIL_ADDRESS).empty());
            EXPECT_EQ(Str(it, PR_SENT_REPRESENTING_EMAIL_ADDRESS), e.senderAddress);
            EXPECT_EQ(Str(it, PR_SENT_REPRESENTING_NAME), e.senderName);
        }
        std::vector<std::pair<std::string, int>> got;
        for (auto& r : it.recipients) got.emplace_back(Str(*r, PR_SMTP_ADDRESS), Int(*r, PR_RECIPIENT_TYPE));
        auto want = e.recipients;
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want);
        std::string body = Str(it, PR_BODY);
        for (auto& text : e.bodyContains) EXPECT_NE(body.find(text), std::string::npos) << "body lacks: " << text;
        EXPECT_EQ(it.GetProp(PR_HTML).has_value(), e.html);
        ASSERT_EQ(it.attachments.size(), e.attachments.size());
        for (size_t i = 0; i < e.attachments.size(); ++i) {
            auto& a = *it.attachments[i];
            auto& x = e.attachments[i];
            EXPECT_EQ(AttachmentName(a), x.name);
            EXPECT_EQ(a.embedded != nullptr, x.embedded) << x.name;
            if (x.size >= 0) {
                EXPECT_EQ(int64_t(a.data.size()), x.size) << x.name;
            }
            EXPECT_EQ(Bool(a, PR_ATTACHMENT_HIDDEN), x.hidden) << x.name;
        }
        // every message has sound times
        EXPECT_GT(Time(it, PR_MESSAGE_DELIVERY_TIME), FileTimeOf(946684800));
        EXPECT_GT(Time(it, PR_CLIENT_SUBMIT_TIME), FileTimeOf(946684800));
    }
}

TEST_F(Corpus, HeadersBecomeTheirProperties) {
    auto im = Import(PathOf(Case("recipients")));
    ASSERT_TRUE(im.result.ok);
    auto& it = *im.item;
    EXPECT_EQ(Str(it, PR_SENDER_NAME), "Alice Example");
    EXPECT_EQ(Str(it, PR_SENT_REPRESENTING_NAME), "Alice Example");
    EXPECT_EQ(Str(it, PR_SENDER_ADDRTYPE), "SMTP");
    EXPECT_EQ(Str(it, PR_REPLY_RECIPIENT_NAMES), "Replies");
    EXPECT_EQ(Str(it, PR_DISPLAY_TO), "First; a2@example.com; Solo, Person");
    EXPECT_EQ(Str(it, PR_DISPLAY_CC), "carbon@example.com");
    EXPECT_EQ(Str(it, PR_DISPLAY_BCC), "Hidden");
    EXPECT_EQ(Int(it, PR_IMPORTANCE), 2);
    EXPECT_EQ(Int(it, PR_PRIORITY), 1);
    EXPECT_EQ(Int(it, PR_SENSITIVITY), 2);
    EXPECT_EQ(Str(it, PR_INTERNET_MESSAGE_ID), "<team-1@example.org>");
    EXPECT_EQ(Str(it, PR_IN_REPLY_TO_ID), "<prev@example.org>");
    EXPECT_EQ(Str(it, PR_INTERNET_REFERENCES), "<root@example.org> <prev@example.org>");
    // Date 10:15 +0100; the newest Received 10:30 +0100 (not the last one listed)
    EXPECT_EQ(Time(it, PR_CLIENT_SUBMIT_TIME), FileTimeOf(1709630100));
    EXPECT_EQ(Time(it, PR_MESSAGE_DELIVERY_TIME), FileTimeOf(1709631000));
    std::string headers = Str(it, PR_TRANSPORT_MESSAGE_HEADERS);
    EXPECT_EQ(headers.rfind("From: Alice Example <alice@example.org>\r\n", 0), 0u);
    EXPECT_NE(headers.find("\r\nX-Priority: 1\r\n"), std::string::npos);
    // recipient rows carry what Outlook needs to reply
    ASSERT_EQ(it.recipients.size(), 5u);
    auto& r = *it.recipients[0];
    EXPECT_EQ(Str(r, PR_DISPLAY_NAME), "First");
    EXPECT_EQ(Str(r, PR_ADDRTYPE), "SMTP");
    EXPECT_EQ(Str(r, PR_EMAIL_ADDRESS), "a1@example.com");
    auto key = std::get<pst::Binary>(*r.GetProp(PR_SEARCH_KEY));
    EXPECT_EQ(std::string(key.begin(), key.end()), std::string("SMTP:A1@EXAMPLE.COM") + '\0');
    EXPECT_EQ(std::get<pst::Binary>(*r.GetProp(PR_ENTRYID)), pst::OneOffEntryId("First", "a1@example.com"));
}

TEST(MimeImportHeaders, SenderHeaderIsTheSenderFromIsTheRepresented) {
    char tmpl[] = "/tmp/orvandel-mime-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    mimetest::WriteFile(dir + "/s.eml",
                        "From: Boss <boss@example.org>\r\nSender: Assistant <assistant@example.org>\r\n"
                        "Subject: On behalf\r\n\r\nbody\r\n");
    auto im = Import(dir + "/s.eml");
    fs::remove_all(dir);
    ASSERT_TRUE(im.result.ok);
    EXPECT_EQ(Str(*im.item, PR_SENDER_NAME), "Assistant");
    EXPECT_EQ(Str(*im.item, PR_SENDER_EMAIL_ADDRESS), "assistant@example.org");
    EXPECT_EQ(Str(*im.item, PR_SENDER_SMTP_ADDRESS), "assistant@example.org");
    EXPECT_EQ(Str(*im.item, PR_SENT_REPRESENTING_NAME), "Boss");
    EXPECT_EQ(Str(*im.item, PR_SENT_REPRESENTING_EMAIL_ADDRESS), "boss@example.org");
}

TEST_F(Corpus, SubjectPrefixAndTopic) {
    auto im = Import(PathOf(Case("split-encoded-word")));
    ASSERT_TRUE(im.result.ok);
    EXPECT_EQ(Str(*im.item, PR_SUBJECT_PREFIX), "RE: ");
    EXPECT_EQ(Str(*im.item, PR_NORMALIZED_SUBJECT), "Price € 10");
    EXPECT_EQ(Str(*im.item, PR_CONVERSATION_TOPIC), "Price € 10");
    auto fwd = Import(PathOf(Case("html-inline-images")));
    EXPECT_EQ(Str(*fwd.item, PR_SUBJECT_PREFIX), "Fwd: ");
    auto none = Import(PathOf(Case("calendar-only")));
    // "Invitation: Review" has a ten-letter word before the colon: no prefix
    EXPECT_EQ(Str(*none.item, PR_SUBJECT_PREFIX), "");
    EXPECT_EQ(Str(*none.item, PR_NORMALIZED_SUBJECT), "Invitation: Review");
}

TEST_F(Corpus, InlineImagesAreLinkedByContentId) {
    auto im = Import(PathOf(Case("html-inline-images")));
    ASSERT_TRUE(im.result.ok);
    auto& a = *im.item->attachments[0];
    EXPECT_EQ(Str(a, PR_ATTACH_CONTENT_ID), "logo@example");
    EXPECT_EQ(Str(a, PR_ATTACH_MIME_TAG), "image/png");
    EXPECT_EQ(Str(a, PR_ATTACH_EXTENSION), ".png");
    EXPECT_EQ(Int(a, PR_ATTACH_FLAGS), 4);
    EXPECT_EQ(Int(a, PR_RENDERING_POSITION), -1);
    auto& pdf = *im.item->attachments[2];
    EXPECT_EQ(Str(pdf, PR_ATTACH_FILENAME), "REPORT.PDF");
    EXPECT_FALSE(Bool(pdf, PR_ATTACHMENT_HIDDEN));
    auto html = std::get<pst::Binary>(*im.item->GetProp(PR_HTML));
    EXPECT_NE(std::string(html.begin(), html.end()).find("cid:logo@example"), std::string::npos);
    EXPECT_EQ(Int(*im.item, PR_INTERNET_CPID), 65001);
    // the plain body derived from the HTML leaves out the style sheet
    EXPECT_EQ(Str(*im.item, PR_BODY).find("color:red"), std::string::npos);
}

TEST_F(Corpus, LegacyHtmlKeepsItsCodePage) {
    auto im = Import(PathOf(Case("html-only")));
    ASSERT_TRUE(im.result.ok);
    EXPECT_EQ(Int(*im.item, PR_INTERNET_CPID), 1252);
    auto html = std::get<pst::Binary>(*im.item->GetProp(PR_HTML));
    EXPECT_NE(std::string(html.begin(), html.end()).find("Caf\xE9"), std::string::npos);
    EXPECT_EQ(Str(*im.item, PR_BODY).find("hidden"), std::string::npos);
}

TEST_F(Corpus, AttachedMessagesAreImportedRecursivelyToABoundedDepth) {
    auto im = Import(PathOf(Case("attached-message")));
    ASSERT_TRUE(im.result.ok);
    // The message's own fields, not those of its body's top part, for both levels.
    for (const fake::FakeItem* level : {im.item.get(), im.item->attachments[0]->embedded.get()}) {
        const std::string block = Str(*level, PR_TRANSPORT_MESSAGE_HEADERS);
        EXPECT_NE(block.find("Subject: "), std::string::npos) << block;
        EXPECT_EQ(block.find("Content-Type:"), std::string::npos) << block;
    }
    auto& emb = *im.item->attachments[0]->embedded;
    EXPECT_EQ(Str(emb, PR_SUBJECT), "Inner message subject");
    EXPECT_EQ(Str(emb, PR_SENDER_EMAIL_ADDRESS), "carol@example.com");
    EXPECT_EQ(Str(emb, PR_BODY), "Inner body");
    ASSERT_EQ(emb.attachments.size(), 1u);
    EXPECT_EQ(Str(*emb.attachments[0], PR_ATTACH_LONG_FILENAME), "data.csv");

    auto deep = Import(PathOf(Case("nested-messages")));
    ASSERT_TRUE(deep.result.ok);
    fake::FakeItem* level = deep.item.get();
    int depth = 0;
    while (level->attachments.size() == 1 && level->attachments[0]->embedded) {
        level = level->attachments[0]->embedded.get();
        ++depth;
    }
    EXPECT_EQ(depth, 12);
    // below the bound the rest of the chain is kept as an .eml file
    ASSERT_EQ(level->attachments.size(), 1u);
    auto& file = *level->attachments[0];
    EXPECT_EQ(Str(file, PR_ATTACH_MIME_TAG), "message/rfc822");
    std::string data(file.data.begin(), file.data.end());
    EXPECT_NE(data.find("Subject: Level 13"), std::string::npos);
    EXPECT_NE(data.find("bottom"), std::string::npos);
}

TEST_F(Corpus, SmimeKeepsTheSignedEntity) {
    auto im = Import(PathOf(Case("smime-signed")));
    ASSERT_TRUE(im.result.ok);
    auto& a = *im.item->attachments[0];
    EXPECT_EQ(Str(a, PR_ATTACH_MIME_TAG), "multipart/signed");
    std::string data(a.data.begin(), a.data.end());
    EXPECT_EQ(data.rfind("Content-Type: multipart/signed", 0), 0u);
    EXPECT_NE(data.find("This text is signed."), std::string::npos);
    EXPECT_NE(data.find("application/pkcs7-signature"), std::string::npos);
    auto enc = Import(PathOf(Case("smime-enveloped")));
    EXPECT_EQ(Str(*enc.item->attachments[0], PR_ATTACH_MIME_TAG), "application/pkcs7-mime");
    EXPECT_FALSE(enc.item->GetProp(PR_BODY).has_value());
}

TEST_F(Corpus, LargeAttachmentIsStreamedIntact) {
    auto& e = Case("large-attachment");
    auto im = Import(PathOf(e));
    ASSERT_TRUE(im.result.ok);
    auto& a = *im.item->attachments[0];
    ASSERT_EQ(a.data.size(), 24u << 20);
    // same generator, same seed: compare the bytes
    std::string want = mimetest::RandomBytes(24u << 20, 11);
    EXPECT_TRUE(std::string(a.data.begin(), a.data.end()) == want);
    EXPECT_EQ(Int(a, PR_ATTACH_SIZE), int32_t(24u << 20));
}

TEST_F(Corpus, MessageWithoutDatesGetsTheFileTime) {
    auto& e = Case("missing-headers");
    struct timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, PathOf(e).c_str(), times, 0), 0);
    auto im = Import(PathOf(e));
    ASSERT_TRUE(im.result.ok);
    EXPECT_EQ(Time(*im.item, PR_MESSAGE_DELIVERY_TIME), FileTimeOf(1600000000));
    EXPECT_EQ(Time(*im.item, PR_CLIENT_SUBMIT_TIME), FileTimeOf(1600000000));
    EXPECT_EQ(Str(*im.item, PR_SENDER_NAME), "");
    EXPECT_EQ(im.item->recipients.size(), 0u);
}

TEST(MimeImportFailures, FilesWithoutAMessageFail) {
    TempDir d;
    auto missing = Import(d.path + "/nothing-here.eml");
    EXPECT_FALSE(missing.result.ok);
    EXPECT_NE(missing.result.error.find("cannot open"), std::string::npos);
    auto folder = Import(d.path);
    EXPECT_FALSE(folder.result.ok);
    mimetest::WriteFile(d.path + "/blank.eml", "\r\n\r\n   \r\n");
    EXPECT_FALSE(Import(d.path + "/blank.eml").result.ok);
    mimetest::WriteFile(d.path + "/binary.eml", std::string("\x00\x01\x02garbage", 10));
    EXPECT_FALSE(Import(d.path + "/binary.eml").result.ok);
    // a lone header line is a message
    mimetest::WriteFile(d.path + "/one.eml", "Subject: only this");
    auto one = Import(d.path + "/one.eml");
    EXPECT_TRUE(one.result.ok);
    EXPECT_EQ(Str(*one.item, PR_SUBJECT), "only this");
}

TEST(MimeImportHostile, HundredMegabyteHeaderLine) {
    TempDir d;
    std::string path = d.path + "/huge.eml";
    {
        std::string head = "From: a@example.com\r\nSubject: Huge header\r\nX-Huge: ";
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        fwrite(head.data(), 1, head.size(), f);
        std::string chunk(1 << 20, 'y');
        for (int i = 0; i < 100; ++i) fwrite(chunk.data(), 1, chunk.size(), f);
        std::string tail = "\r\nTo: b@example.com\r\n\r\nbody after\r\n";
        fwrite(tail.data(), 1, tail.size(), f);
        fclose(f);
    }
    auto im = Import(path);
    ASSERT_TRUE(im.result.ok) << im.result.error;
    EXPECT_EQ(Str(*im.item, PR_SUBJECT), "Huge header");
    EXPECT_EQ(Str(*im.item, PR_BODY), "body after\r\n");
    EXPECT_EQ(im.item->recipients.size(), 1u);
    EXPECT_LE(Str(*im.item, PR_TRANSPORT_MESSAGE_HEADERS).size(), size_t(2) << 20);
}

TEST(MimeImportHostile, DeepNestingAndEndlessParts) {
    TempDir d;
    // 5000 levels of multipart: far beyond what is walked, still a message
    std::string msg = "From: a@example.com\r\nSubject: Very deep\r\n";
    std::string tail;
    for (int i = 0; i < 5000; ++i) {
        msg += "Content-Type: multipart/mixed; boundary=\"d" + std::to_string(i) + "\"\r\n\r\n--d" + std::to_string(i) + "\r\n";
        tail = "\r\n--d" + std::to_string(i) + "--\r\n" + tail;
    }
    msg += "Content-Type: text/plain\r\n\r\nbottom" + tail;
    mimetest::WriteFile(d.path + "/deep.eml", msg);
    auto im = Import(d.path + "/deep.eml");
    ASSERT_TRUE(im.result.ok);
    EXPECT_EQ(Str(*im.item, PR_SUBJECT), "Very deep");
    // 20000 parts in one multipart
    std::string many = "From: a@example.com\r\nSubject: Many parts\r\nContent-Type: multipart/mixed; boundary=m\r\n\r\n";
    for (int i = 0; i < 20000; ++i) many += "--m\r\nContent-Type: application/octet-stream\r\n\r\nx\r\n";
    mimetest::WriteFile(d.path + "/many.eml", many);
    auto m = Import(d.path + "/many.eml");
    ASSERT_TRUE(m.result.ok);
    EXPECT_EQ(m.item->attachments.size(), 20000u);
    // More parts than a PST message holds attachments: refused with the count
    // and the limit before the parser builds them.
    std::string wider = "From: a@example.com\r\nSubject: Too many\r\nContent-Type: multipart/mixed; BOUNDARY = \"w\"\r\n\r\n";
    for (size_t i = 0; i <= mime::kMaxMimeParts; ++i) wider += "--w\r\n\r\nx\r\n";
    mimetest::WriteFile(d.path + "/wider.eml", wider + "--w--\r\n");
    auto refused = Import(d.path + "/wider.eml");
    EXPECT_FALSE(refused.result.ok);
    EXPECT_EQ(refused.result.error, std::to_string(mime::kMaxMimeParts + 1) + " MIME parts, more than the " +
                                  std::to_string(mime::kMaxMimeParts) + " attachments a PST message can hold");
    // As many lines like a delimiter in a text that declares no such boundary: one body.
    std::string dashes = "From: a@example.com\r\nSubject: Dashes\r\n\r\n";
    for (size_t i = 0; i <= mime::kMaxMimeParts; ++i) dashes += "--w\r\n";
    mimetest::WriteFile(d.path + "/dashes.eml", dashes);
    auto t = Import(d.path + "/dashes.eml");
    ASSERT_TRUE(t.result.ok) << t.result.error;
    EXPECT_EQ(Str(*t.item, PR_BODY).size(), 5 * (mime::kMaxMimeParts + 1));
    // 30000 recipients are all kept; what a header holds past its read limit is
    // counted and named, never dropped without a word.
    std::string to = "From: a@example.com\r\nSubject: Many recipients\r\nTo: u0@example.org";
    for (int i = 1; i < 30000; ++i) to += ",\r\n u" + std::to_string(i) + "@example.org";
    to += "\r\nCc: c@example.org\r\n\r\nx\r\n";
    mimetest::WriteFile(d.path + "/to.eml", to);
    auto r = Import(d.path + "/to.eml");
    ASSERT_TRUE(r.result.ok);
    EXPECT_EQ(r.item->recipients.size(), 30001u);
    EXPECT_TRUE(r.result.omitted.empty());
    std::string wide = "From: a@example.com\r\nSubject: Wide\r\nTo: ";
    for (int i = 0; i < 9; ++i) wide += (i ? ",\r\n \"" : "\"") + std::string((1 << 20) - 100, 'n') + "\" <w" + std::to_string(i) + "@example.org>";
    wide += "\r\n\r\nx\r\n";
    mimetest::WriteFile(d.path + "/wide.eml", wide);
    auto w = Import(d.path + "/wide.eml");
    ASSERT_TRUE(w.result.ok);
    EXPECT_EQ(w.item->recipients.size(), 8u);
    EXPECT_EQ(w.result.omitted, std::vector<std::string>{
                                    "1 of 9 To recipients (at most 200000 of a kind are kept, from a header's first 8 MB)"});
}

// What a message became, in short, to compare two imports of one file.
std::string Fingerprint(const Imported& im) {
    if (!im.result.ok) return "failed: " + im.result.error;
    const auto& it = *im.item;
    std::string f = Str(it, PR_SUBJECT) + "|" + Str(it, PR_BODY) + "|" + std::to_string(Str(it, PR_HTML).size()) + "|" +
                    Str(it, PR_TRANSPORT_MESSAGE_HEADERS) + "|" + std::to_string(Time(it, PR_MESSAGE_DELIVERY_TIME));
    for (auto& r : it.recipients) f += "|r:" + Str(*r, PR_SMTP_ADDRESS);
    for (auto& a : it.attachments) f += "|a:" + AttachmentName(*a) + ":" + std::to_string(a->data.size());
    return f;
}

TEST_F(Corpus, MessagesParsedAheadComeOutAsParsedInTurn) {
    std::vector<std::string> paths;
    for (auto& e : *expected_) paths.push_back(PathOf(e));
    std::vector<std::string> alone;
    for (auto& p : paths) alone.push_back(Fingerprint(Import(p)));
    // Announced one ahead, as the engine does, with files announced and never
    // imported, and files imported out of their announced order.
    for (size_t i = 0; i < paths.size(); ++i) {
        if (i + 1 < paths.size()) mime::ParseAhead(paths[i + 1]);
        if (i % 7 == 0) mime::ParseAhead(dir_->path + "/never-imported.eml");
        if (i % 5 == 0 && i + 3 < paths.size()) mime::ParseAhead(paths[i + 3]);
        EXPECT_EQ(Fingerprint(Import(paths[i])), alone[i]) << paths[i];
    }
}

// As `orvandel convert` runs it: on a deep-stack thread of its own, which fills
// each message right there, with a window of messages announced ahead.
TEST_F(Corpus, MessagesFilledOnTheCallersDeepStackComeOutAsParsedAlone) {
    std::vector<std::string> paths;
    for (auto& e : *expected_) paths.push_back(PathOf(e));
    std::vector<std::string> alone;
    for (auto& p : paths) alone.push_back(Fingerprint(Import(p)));
    std::vector<std::string> ahead;
    mime::DeepStackThread(mime::kImportStackBytes).Call([&] {
        const size_t window = mime::kMaxParsedAhead / 2;
        for (size_t i = 0; i < paths.size() && i < window; ++i) mime::ParseAhead(paths[i]);
        for (size_t i = 0; i < paths.size(); ++i) {
            if (i + window < paths.size()) mime::ParseAhead(paths[i + window]);
            ahead.push_back(Fingerprint(Import(paths[i])));
        }
    });
    ASSERT_EQ(ahead.size(), alone.size());
    for (size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(ahead[i], alone[i]) << paths[i];
}

// Filled ahead only up to a bound of attachment data: a larger message is
// filled in its turn, and comes out the same.
TEST(MimeImportAhead, AMessageWithLargeAttachmentsIsFilledInItsTurnWhole) {
    TempDir d;
    const std::string base64Line(76, 'Q');  // "QQQQ" -> 0x41 0x04 0x10 ...
    std::string msg =
        "From: a@example.com\r\nSubject: Large\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
        "--b\r\nContent-Type: message/rfc822\r\n\r\nFrom: c@example.com\r\nSubject: Inner\r\n\r\ninner\r\n"
        "--b\r\nContent-Type: application/octet-stream; name=big.bin\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    for (int i = 0; i < 30000; ++i) msg += base64Line + "\r\n";  // 1.7 MB decoded
    mimetest::WriteFile(d.path + "/large.eml", msg + "--b--\r\n");
    const std::string alone = Fingerprint(Import(d.path + "/large.eml"));
    EXPECT_NE(alone.find("|a:big.bin:1710000"), std::string::npos) << alone;
    mime::DeepStackThread(mime::kImportStackBytes).Call([&] {
        mime::ParseAhead(d.path + "/large.eml");
        EXPECT_EQ(Fingerprint(Import(d.path + "/large.eml")), alone);
    });
}

// More announced than the bytes held ahead allow: the parser waits for the
// caller to take messages, and every one comes out as parsed alone.
TEST(MimeImportAhead, MessagesPastTheBytesHeldAheadWaitTheirTurn) {
    TempDir d;
    std::vector<std::string> paths, alone;
    for (int i = 0; i < 24; ++i) {
        paths.push_back(d.path + "/m" + std::to_string(i) + ".eml");
        mimetest::WriteFile(paths.back(), "From: a@example.com\r\nSubject: Big " + std::to_string(i) + "\r\n\r\n" +
                                              std::string(300000 + i, char('a' + i)) + "\r\n");
        alone.push_back(Fingerprint(Import(paths.back())));
    }
    mime::DeepStackThread(mime::kImportStackBytes).Call([&] {
        for (auto& p : paths) mime::ParseAhead(p);
        for (size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(Fingerprint(Import(paths[i])), alone[i]) << i;
    });
}

TEST(MimeImportHostile, DeepNestingParsedAhead) {
    TempDir d;
    std::string msg = "From: a@example.com\r\nSubject: Deep ahead\r\n";
    std::string tail;
    for (int i = 0; i < 5000; ++i) {
        msg += "Content-Type: multipart/mixed; boundary=\"d" + std::to_string(i) + "\"\r\n\r\n--d" + std::to_string(i) + "\r\n";
        tail = "\r\n--d" + std::to_string(i) + "--\r\n" + tail;
    }
    mimetest::WriteFile(d.path + "/deep.eml", msg + "Content-Type: text/plain\r\n\r\nbottom" + tail);
    mime::ParseAhead(d.path + "/deep.eml");
    auto im = Import(d.path + "/deep.eml");
    ASSERT_TRUE(im.result.ok);
    EXPECT_EQ(Str(*im.item, PR_SUBJECT), "Deep ahead");
    // Filled on the caller's own deep stack, parsed there or ahead.
    mime::DeepStackThread(mime::kImportStackBytes).Call([&] {
        for (bool announce : {false, true}) {
            if (announce) mime::ParseAhead(d.path + "/deep.eml");
            auto own = Import(d.path + "/deep.eml");
            ASSERT_TRUE(own.result.ok);
            EXPECT_EQ(Str(*own.item, PR_SUBJECT), "Deep ahead");
        }
    });
}

// A recurring request: its series starts at the first instance on the rule, a
// UTC UNTIL ends it in the series' zone, EXDATEs on the rule become deleted
// instances (others are no instance); a rule Outlook cannot hold stays mail.
TEST(Invitation, RecurringRequestCarriesItsSeries) {
    auto ics = [](const std::string& event) {
        return "BEGIN:VCALENDAR\r\nMETHOD:REQUEST\r\nBEGIN:VEVENT\r\nUID:u1\r\n"
               "DTSTART;TZID=Europe/Berlin:20240325T233000\r\nDTEND;TZID=Europe/Berlin:20240326T003000\r\n" +
               event + "END:VEVENT\r\nEND:VCALENDAR\r\n";
    };
    auto inv = mime::ParseInvitation(ics("RRULE:FREQ=WEEKLY;BYDAY=TU,TH;UNTIL=20240404T213000Z\r\n"
                                         "EXDATE;TZID=Europe/Berlin:20240328T233000,20240330T223000Z\r\n"));
    ASSERT_TRUE(inv && inv->series);
    const pst::RecurrencePattern& p = inv->series->recurrence.pattern;
    // Monday 25 March is not on the rule: Tuesday 26 March, 23:30 Berlin (22:30 UTC, winter time).
    EXPECT_EQ(p.startDate, pst::RecurMinutes(2024, 3, 26));
    EXPECT_EQ(*inv->start, 1711492200);
    EXPECT_EQ(*inv->end - *inv->start, 3600);
    // UNTIL is 23:30 on Thursday 4 April in Berlin, summer time by then: that instance is the last.
    EXPECT_EQ(p.endType, pst::RecurEndType::AfterDate);
    EXPECT_EQ(p.endDate, pst::RecurMinutes(2024, 4, 4));
    EXPECT_EQ(p.occurrenceCount, 4u);
    EXPECT_EQ(p.deletedInstanceDates, std::vector<uint32_t>{pst::RecurMinutes(2024, 3, 28)});
    EXPECT_EQ(inv->series->patternText, "every Tuesday and Thursday effective 3/26/2024 until 4/4/2024 from 11:30 PM to 12:30 AM");
    ASSERT_TRUE(inv->series->offRuleStart);  // the stated Monday, which the pattern cannot hold
    EXPECT_EQ(inv->series->offRuleStart->day, 25);
    // The zone's rule, under Windows' name, so that Outlook keeps the wall clock.
    EXPECT_EQ(inv->zoneKey, "W. Europe Standard Time");
    ASSERT_EQ(inv->zoneRules.size(), 1u);
    EXPECT_EQ(inv->zoneRules[0].bias, -60);
    EXPECT_EQ(inv->zoneRules[0].daylightDate.month, 3);
    EXPECT_FALSE(mime::ParseInvitation(ics("RRULE:FREQ=HOURLY;COUNT=3\r\n")));
    EXPECT_FALSE(mime::ParseInvitation(ics("RRULE:FREQ=SOMETIMES\r\n")));
    // A series begun in 2005 in New York lists the rule of 2005 and the one of 2007 on.
    auto old = mime::ParseInvitation("BEGIN:VCALENDAR\r\nMETHOD:REQUEST\r\nBEGIN:VEVENT\r\nUID:u2\r\n"
                                     "DTSTART;TZID=America/New_York:20050601T090000\r\nRRULE:FREQ=YEARLY\r\n"
                                     "END:VEVENT\r\nEND:VCALENDAR\r\n");
    ASSERT_TRUE(old && old->series);
    EXPECT_FALSE(old->series->offRuleStart);
    ASSERT_EQ(old->zoneRules.size(), 2u);
    EXPECT_EQ(old->zoneRules[0].daylightDate.month, 4);
    EXPECT_EQ(old->zoneRules[1].year, 2007);
    EXPECT_EQ(old->zoneRules[1].daylightDate.month, 3);
}

// A floating series is placed in the converting machine's zone and described
// as that zone; an invitation for one instance knows the instant it replaces
// and carries its zone as a zoned appointment does.
TEST(Invitation, FloatingSeriesAndOneInstanceCarryTheirZones) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    ::setenv("TZ", "America/Chicago", 1);
    ::tzset();
    auto floating = mime::ParseInvitation("BEGIN:VCALENDAR\r\nMETHOD:REQUEST\r\nBEGIN:VEVENT\r\nUID:f1\r\n"
                                          "DTSTART:20240307T090000\r\nDTEND:20240307T100000\r\n"
                                          "RRULE:FREQ=WEEKLY;COUNT=3\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    auto instance = mime::ParseInvitation("BEGIN:VCALENDAR\r\nMETHOD:REQUEST\r\nBEGIN:VEVENT\r\nUID:f1\r\n"
                                          "RECURRENCE-ID;TZID=Europe/Berlin:20240314T090000\r\n"
                                          "DTSTART;TZID=Europe/Berlin:20240314T110000\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    if (old) ::setenv("TZ", saved.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
    ASSERT_TRUE(floating && floating->series);
    EXPECT_EQ(*floating->start, 1709823600);  // 09:00 in Chicago, winter time
    EXPECT_EQ(floating->zoneKey, "Central Standard Time");
    ASSERT_EQ(floating->zoneRules.size(), 1u);
    EXPECT_EQ(floating->zoneRules[0].bias, 360);
    ASSERT_TRUE(instance && !instance->series);
    EXPECT_EQ(instance->instanceStart, std::optional<int64_t>(1710403200));  // 08:00 UTC
    EXPECT_EQ(*instance->start, 1710410400);
    EXPECT_EQ(instance->zoneKey, "W. Europe Standard Time");
    EXPECT_EQ(instance->zoneRules.size(), 1u);
}

}  // namespace
