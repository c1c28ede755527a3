// Message fields that used to arrive wrong: display names of several encoded
// words, 7bit attachments with CR LF line ends, "Content-Type: text", read
// receipts and Outlook's thread index; real fixtures where one shows the case.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "mime/MimeImport.h"
#include "support/FakeStore.h"

using namespace pst::tags;
namespace fs = std::filesystem;

namespace {

const std::string kFixtures = ORVANDEL_FIXTURES "/eml/";

std::string Str(const fake::FakeBag& b, uint32_t tag) {
    auto v = b.GetProp(tag);
    if (!v) return {};
    if (auto s = std::get_if<std::string>(&*v)) return *s;
    return {};
}

std::unique_ptr<fake::FakeItem> ImportFile(const std::string& path) {
    static fake::FakeFolder folder("Inbox");
    auto it = folder.AddItem(store::ItemType::Mail);
    auto r = mime::ImportMessage(*it, path);
    EXPECT_TRUE(r.ok) << r.error;
    return std::unique_ptr<fake::FakeItem>(static_cast<fake::FakeItem*>(it.release()));
}

std::unique_ptr<fake::FakeItem> ImportText(const std::string& text) {
    char tmpl[] = "/tmp/orvandel-mend-XXXXXX";
    int fd = mkstemp(tmpl);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
    auto item = ImportFile(tmpl);
    fs::remove(tmpl);
    return item;
}

std::string Data(const fake::FakeAttachment& a) { return std::string(a.data.begin(), a.data.end()); }

}  // namespace

TEST(MessageMends, EveryEncodedWordOfADisplayNameIsDecoded) {
    // Real: two base64 words, the first padded with "=".
    auto real = ImportFile(kFixtures + "phpmmp_m0124.eml");
    EXPECT_EQ(Str(*real, PR_SENT_REPRESENTING_NAME), "ФГУП \"СибНИА им.С.А.Чаплыгина\"\"");

    // "Anna-Lena Müller-Lüdenscheidt" as three words, in From, To and Cc.
    const std::string name = "=?UTF-8?B?QW5uYS1MZW5h?= =?UTF-8?B?IE3DvGxsZXIt?= =?UTF-8?B?TMO8ZGVuc2NoZWlkdA==?=";
    auto item = ImportText("From: " + name + " <anna@example.org>\r\nTo: " + name +
                           " <anna@example.org>, =?ISO-8859-1?Q?J=F6rg?= <j@example.org>\r\nCc: \"" + name +
                           "\" <cc@example.org>\r\nSubject: x\r\n\r\nbody\r\n");
    const std::string want = "Anna-Lena Müller-Lüdenscheidt";
    EXPECT_EQ(Str(*item, PR_SENT_REPRESENTING_NAME), want);
    EXPECT_EQ(Str(*item, PR_DISPLAY_TO), want + "; Jörg");
    EXPECT_EQ(Str(*item, PR_DISPLAY_CC), want);
    ASSERT_EQ(item->recipients.size(), 3u);
    EXPECT_EQ(Str(*item->recipients[2], PR_DISPLAY_NAME), want);
    EXPECT_EQ(Str(*item->recipients[2], PR_EMAIL_ADDRESS), "cc@example.org");
}

TEST(MessageMends, SevenBitAttachmentKeepsItsBytes) {
    const std::string content = "line one\r\nline 2\r\n";  // 18 bytes
    auto item = ImportText(
        "From: a@example.org\r\nSubject: x\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\nbody\r\n"
        "--b\r\nContent-Type: application/octet-stream; name=\"a.txt\"\r\n"
        "Content-Disposition: attachment; filename=\"a.txt\"\r\nContent-Transfer-Encoding: 7bit\r\n\r\n" +
        content + "\r\n--b\r\nContent-Type: text/plain; name=\"b.txt\"\r\nContent-Disposition: attachment\r\n\r\n" +
        content + "\r\n--b--");  // no line break after the last boundary: GMime kept a CR
    ASSERT_EQ(item->attachments.size(), 2u);
    EXPECT_EQ(Data(*item->attachments[0]), content);
    EXPECT_EQ(Data(*item->attachments[1]), content);
}

TEST(MessageMends, TextWithoutSubtypeIsThePlainBody) {
    // Real: "Content-Type: text; charset=us-ascii" as the whole message.
    auto real = ImportFile(kFixtures + "cpython_msg_14.eml");
    EXPECT_TRUE(real->attachments.empty());
    EXPECT_NE(Str(*real, PR_BODY).find("drainbread ISP"), std::string::npos) << Str(*real, PR_BODY);
    // Real: the third alternative of three is "text"; it is a rendering, not a file.
    auto alt = ImportFile(kFixtures + "tb_test-triple-alt.eml");
    EXPECT_TRUE(alt->attachments.empty());
}

TEST(MessageMends, ReadReceiptRequestAndThreadIndex) {
    auto item = ImportText(
        "From: a@example.org\r\nSubject: x\r\nDisposition-Notification-To: a@example.org\r\n"
        "Thread-Index: AQIGQYd8BwKQgsko1bnR3xjxAU5sOA==\r\n\r\nbody\r\n");
    auto rr = item->GetProp(PR_READ_RECEIPT_REQUESTED);
    ASSERT_TRUE(rr.has_value());
    EXPECT_TRUE(std::get<bool>(*rr));
    auto index = item->GetProp(PR_CONVERSATION_INDEX);
    ASSERT_TRUE(index.has_value());
    EXPECT_EQ(std::get<pst::Binary>(*index).size(), 22u);
    // Real: Outlook's index of a reply chain (22 bytes and five 5-byte child blocks).
    auto real = ImportFile(kFixtures + "mimekit_issue358.eml");
    ASSERT_TRUE(real->GetProp(PR_CONVERSATION_INDEX).has_value());
    EXPECT_EQ(std::get<pst::Binary>(*real->GetProp(PR_CONVERSATION_INDEX)).size(), 62u);
    auto plain = ImportText("From: a@example.org\r\nSubject: x\r\n\r\nbody\r\n");
    EXPECT_FALSE(plain->GetProp(PR_READ_RECEIPT_REQUESTED).has_value());
}
