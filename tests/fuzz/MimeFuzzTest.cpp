// The MIME import and the companion reader on damaged messages: real messages
// mutated, and shapes built to break a parser (deep nesting, endless headers,
// missing boundaries, broken encodings). Each call must return, never throw,
// and leave only valid UTF-8 text in the item; the importer never saves the
// item itself, and the companion reader's files go with it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "Contract.h"
#include "Corpus.h"
#include "items/Companion.h"
#include "items/GlobalObjectId.h"
#include "items/ItemText.h"
#include "items/MetaValue.h"
#include "items/TempFiles.h"
#include "items/ZimbraTime.h"
#include "mime/MimeImport.h"

using fuzz::Printable;
namespace fs = std::filesystem;

namespace {

class MimeFuzz : public ::testing::Test {
protected:
    static void SetUpTestSuite() { *seeds_ = fuzz::MessageSeeds(24000); }
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        tmp_ = scratch_.path() + "/tmp";
        fs::create_directories(tmp_);
        if (const char* old = getenv("TMPDIR")) oldTmp_ = old;
        setenv("TMPDIR", tmp_.c_str(), 1);
    }
    void TearDown() override {
        if (oldTmp_.empty()) unsetenv("TMPDIR");
        else setenv("TMPDIR", oldTmp_.c_str(), 1);
    }

    void Check(const std::string& bytes, bool companionToo = true) {
        std::string path = scratch_.path() + "/m.eml";
        fuzz::WriteAll(path, bytes);
        {
            fake::FakeFolder folder("Inbox");
            auto it = folder.AddItem(store::ItemType::Mail);
            auto& item = static_cast<fake::FakeItem&>(*it);
            mime::ImportResult result;
            try {
                result = mime::ImportMessage(item, path);
            } catch (const std::exception& e) {
                FAIL() << "ImportMessage threw \"" << e.what() << "\" on " << Printable(bytes);
            }
            ASSERT_FALSE(item.saved) << "the importer saved the item itself";
            ASSERT_TRUE(folder.saved.empty());
            if (!result.ok) {
                ASSERT_FALSE(result.error.empty()) << Printable(bytes);
            }
            std::string bad = fuzz::BadTextInItem(item);
            if (!bad.empty()) fuzz::DumpInput("mime-import.eml", bytes);
            ASSERT_TRUE(bad.empty()) << "unsound value (text no UTF-8, or a time wrapped round) in " << bad << " from " << Printable(bytes);
        }
        if (!companionToo) return;
        {
            items::CompanionContent content = items::ReadCompanion(path);
            ASSERT_TRUE(fuzz::IsValidUtf8(content.text)) << Printable(bytes);
            for (const auto& part : content.attachments) {
                ASSERT_TRUE(fuzz::IsValidUtf8(part.fileName)) << Printable(bytes);
                std::error_code ec;
                ASSERT_EQ(fs::file_size(part.savedPath, ec), part.size) << Printable(bytes);
            }
        }
        ASSERT_TRUE(fs::is_empty(tmp_)) << "companion files left behind for " << Printable(bytes);
    }

    fuzz::ScratchDir scratch_;
    std::string tmp_, oldTmp_;
    static inline std::vector<std::string>* seeds_ = new std::vector<std::string>();
};

TEST_F(MimeFuzz, MutatedRealMessages) {
    ASSERT_GT(seeds_->size(), 50u) << "seed corpus missing";
    fuzz::Rng rng(0x3E3E0001);
    size_t n = fuzz::Iterations(400);
    for (size_t k = 0; k < n; ++k) {
        std::string input = fuzz::Mutate((*seeds_)[rng.Below(seeds_->size())], rng, seeds_);
        Check(input, k % 2 == 0);
        if (HasFatalFailure()) return;
    }
}

TEST_F(MimeFuzz, ShortMessagesCutAtEveryLength) {
    std::vector<std::string> shorts;
    for (const auto& s : *seeds_)
        if (s.size() < 700) shorts.push_back(s);
    shorts.push_back(
        "From: =?utf-8?B?w6k=?= <a@b>\r\nTo: x@y\r\nSubject: =?utf-8?Q?caf=C3=A9?=\r\n"
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nw6k=\r\n--b\r\nContent-Type: message/rfc822\r\n\r\n"
        "Subject: inner\r\n\r\nbody\r\n--b--\r\n");
    size_t runs = 0;
    for (size_t s = 0; s < shorts.size() && runs < fuzz::Iterations(800); s += 3) {
        const std::string& seed = shorts[s];
        size_t step = std::max<size_t>(1, seed.size() / 60);
        for (size_t len = 0; len <= seed.size(); len += step, ++runs) {
            Check(seed.substr(0, len), false);
            if (HasFatalFailure()) return;
        }
    }
}

std::string NestedMessages(int levels) {
    std::string s;
    for (int k = 0; k < levels; ++k)
        s += "Subject: level " + std::to_string(k) + "\r\nContent-Type: message/rfc822\r\n\r\n";
    return s + "Subject: innermost\r\n\r\nbody\r\n";
}

std::string NestedMultiparts(int levels, bool terminate) {
    std::string head = "Subject: deep\r\n", tail;
    for (int k = 0; k < levels; ++k) {
        std::string b = "b" + std::to_string(k);
        head += "Content-Type: multipart/mixed; boundary=" + b + "\r\n\r\n--" + b + "\r\n";
        if (terminate) tail = "\r\n--" + b + "--\r\n" + tail;
    }
    return head + "Content-Type: text/plain\r\n\r\ntext" + tail;
}

TEST_F(MimeFuzz, HostileShapes) {
    std::vector<std::string> inputs;
    for (int levels : {5, 13, 40, 151, 400}) {
        inputs.push_back(NestedMessages(levels));
        inputs.push_back(NestedMultiparts(levels, true));
        inputs.push_back(NestedMultiparts(levels, false));
    }
    // One header line of several megabytes, and a million short ones.
    inputs.push_back("Subject: " + std::string(3 << 20, 'x') + "\r\n\r\nbody\r\n");
    inputs.push_back("To: " + std::string(1 << 20, ',') + "\r\n\r\n");
    {
        std::string to = "To: ";
        for (int k = 0; k < 30000; ++k) to += "a" + std::to_string(k) + "@x,";
        inputs.push_back(to + "\r\n\r\nbody");
    }
    {
        std::string many;
        for (int k = 0; k < 200000; ++k) many += "X-H: v\r\n";
        inputs.push_back(many + "\r\nbody");
    }
    // Tens of thousands of encoded words in one header, in one charset and in turns.
    {
        std::string same, mixed, params;
        for (int k = 0; k < 40000; ++k) {
            same += "=?utf-8?B?w6k=?= ";
            mixed += k % 2 ? "=?iso-8859-1?Q?=E9?= " : "=?utf-8?Q?=C3=A9?= ";
        }
        for (int k = 0; k < 5000; ++k) params += "; filename*" + std::to_string(k) + "*=utf-8''%C3%A9";
        inputs.push_back("Subject: " + same + "\r\nFrom: " + mixed + "<a@b>\r\n\r\nbody");
        inputs.push_back("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: application/x\r\n"
                         "Content-Disposition: attachment" + params + "\r\n\r\ndata\r\n--b--\r\n");
    }
    // Encoded words and parameters that lie.
    for (const char* h : {"=?utf-8?B?####?=", "=?utf-8?Q?=ZZ=?=", "=?x-unknown?B?AAAA?=", "=?utf-8?B?", "=?",
                          "=?" "?B?" "?=", "=?utf-8*en?B?w6k=?=", "=?ISO-2022-JP?B?GyRCJCIkJBsoQg?=", "=?utf-16?B?2D3YPQ==?=",
                          "=?utf-7?Q?+2D3-?=", "=?utf-8?B?7aCA?="}) {
        std::string v = h;
        inputs.push_back("From: " + v + " <a@b>\r\nTo: " + v + " <c@d>\r\nSubject: " + v + "\r\n\r\nbody");
        inputs.push_back(
            "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: application/x; name=\"" + v +
            "\"\r\nContent-Disposition: attachment; filename*0*=utf-8''%FF%FE; filename*1*=%ED%A0%80; "
            "filename*2=\"" + v + "\"\r\n\r\ndata\r\n--b--\r\n");
    }
    // Bodies whose transfer encoding is garbage.
    for (const char* cte : {"base64", "quoted-printable", "x-uuencode", "8bit", "binary", "x-garbage"}) {
        for (const char* body : {"####====****\r\n", "=\r\n=Z=0=\xFF\r\n", "begin 644 x\r\nM\r\n", "\xC3\x28\xED\xA0\x80",
                                 "\x01\x02\x7F"}) {
            inputs.push_back(std::string("Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: ") + cte +
                             "\r\n\r\n" + body);
            inputs.push_back(std::string("Content-Type: text/html; charset=x-unknown\r\nContent-Transfer-Encoding: ") +
                             cte + "\r\n\r\n<p>" + body + "&#xD800;&#0;</p>");
        }
    }
    inputs.push_back(std::string("Subject: nul\0inside\r\n\r\nbody\0body", 31));
    inputs.push_back("Subject: cr only\rContent-Type: multipart/mixed; boundary=b\r\r--b\rContent-Type: text/plain\r\rx\r--b--\r");
    inputs.push_back("Content-Type: multipart/alternative; boundary=\"\"\r\n\r\n--\r\n\r\n--\r\n");
    inputs.push_back("Content-Type: multipart/signed; boundary=b; protocol=\"application/pkcs7-signature\"\r\n\r\n--b\r\n");
    inputs.push_back("Content-Type: application/pkcs7-mime; smime-type=enveloped-data\r\nContent-Transfer-Encoding: base64\r\n\r\n####");
    inputs.push_back("Date: Mon, 99 Foo 99999999 99:99:99 +9999\r\nThread-Index: ####\r\nReceived: ;\r\n\r\n");
    for (const auto& input : inputs) {
        Check(input, input.size() < (1 << 20));
        if (HasFatalFailure()) return;
    }
}

// Nesting far deeper than any real message: the companion reader parses on
// the caller's stack, the import on its own large one.
TEST_F(MimeFuzz, ExtremeNesting) {
    for (int levels : {2000, 20000}) {
        Check(NestedMessages(levels));
        if (HasFatalFailure()) return;
        Check(NestedMultiparts(levels, false));
        if (HasFatalFailure()) return;
    }
}

// Thousands of parts that all carry the same file name: each is saved under a
// name of its own without trying every name in use again.
TEST_F(MimeFuzz, ManyPartsOfOneName) {
    std::string msg = "Subject: many\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (int k = 0; k < 6000; ++k)
        msg += "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=a.txt\r\n\r\n" +
               std::to_string(k) + "\r\n";
    msg += "--b--\r\n";
    Check(msg);
}

}  // namespace
