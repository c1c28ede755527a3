#include "Corpus.h"

#include <iconv.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>

namespace mimetest {

std::string Encode(const std::string& utf8, const std::string& charset) {
    iconv_t cd = iconv_open(charset.c_str(), "UTF-8");
    if (cd == iconv_t(-1)) throw std::runtime_error("no iconv for " + charset);
    std::string out(utf8.size() * 4 + 64, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* o = out.data();
    size_t oLeft = out.size();
    if (iconv(cd, &in, &inLeft, &o, &oLeft) == size_t(-1)) {
        iconv_close(cd);
        throw std::runtime_error("cannot encode sample in " + charset);
    }
    iconv(cd, nullptr, nullptr, &o, &oLeft);
    iconv_close(cd);
    out.resize(out.size() - oLeft);
    return out;
}

std::string Base64(const std::string& bytes, bool wrap) {
    static const char* tbl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(bytes.size() * 4 / 3 + bytes.size() / 54 + 8);
    size_t line = 0;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 2]));
        out += tbl[(v >> 18) & 63];
        out += tbl[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? tbl[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? tbl[v & 63] : '=';
        line += 4;
        if (wrap && line >= 76) {
            out += "\r\n";
            line = 0;
        }
    }
    if (wrap && line) out += "\r\n";
    return out;
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(data.data(), std::streamsize(data.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = char(rng() & 0xFF);
    return s;
}

namespace {

std::string Word(const std::string& utf8, const std::string& mimeCharset, const std::string& iconvCharset) {
    return "=?" + mimeCharset + "?B?" + Base64(Encode(utf8, iconvCharset), false) + "?=";
}

struct Builder {
    std::string dir;
    std::vector<Expected> out;
    int n = 0;

    std::string Name(const std::string& stem) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%03d-", ++n);
        return buf + stem + ".eml";
    }
    void Add(Expected e, const std::string& data) {
        WriteFile(dir + "/" + e.file, data);
        out.push_back(std::move(e));
    }
};

const char* kHead =
    "From: Alice Example <alice@example.org>\r\n"
    "To: Bob Example <bob@example.net>\r\n"
    "Date: Tue, 05 Mar 2024 10:15:00 +0100\r\n"
    "MIME-Version: 1.0\r\n";

Expected Basic(const std::string& file, const std::string& subject, const std::string& what) {
    Expected e;
    e.file = file;
    e.subject = subject;
    e.senderName = "Alice Example";
    e.senderAddress = "alice@example.org";
    e.recipients = {{"bob@example.net", 1}};
    e.what = what;
    return e;
}

struct CharsetSample {
    const char* label;   // as the message declares it
    const char* iconv;   // for writing the sample
    const char* subject;
    const char* body;
};

// Samples long enough to read as running text.
const CharsetSample kSamples[] = {
    {"UTF-8", "UTF-8", "Grüße aus Köln — 東京 ✓", "Schöne Grüße aus Köln, wir sehen uns in Tōkyō (東京) nächste Woche ✓."},
    {"ISO-8859-1", "ISO-8859-1", "Café crème à la française", "Le café crème était très chaud; à bientôt, chère Zoë."},
    {"ISO-8859-2", "ISO-8859-2", "Zażółć gęślą jaźń", "Zażółć gęślą jaźń. Pchnąć w tę łódź jeża lub ośm skrzyń fig."},
    {"ISO-8859-5", "ISO-8859-5", "Привет из Москвы", "Съешь же ещё этих мягких французских булок, да выпей чаю."},
    {"ISO-8859-7", "ISO-8859-7", "Καλημέρα κόσμε", "Ξεσκεπάζω την ψυχοφθόρα βδελυγμία. Καλημέρα σε όλους."},
    {"ISO-8859-15", "ISO-8859-15", "Prix en € pour l'œuvre", "Le prix de l'œuvre est de 15 € pour Søren et Zoë."},
    {"windows-1250", "WINDOWS-1250", "Příliš žluťoučký kůň", "Příliš žluťoučký kůň úpěl ďábelské ódy. Dobrý den."},
    {"windows-1251", "WINDOWS-1251", "Встреча в пятницу", "Съешь же ещё этих мягких французских булок, да выпей же чаю. Встреча в пятницу."},
    {"windows-1252", "WINDOWS-1252", "“Quoted” – and the € sign", "It’s “quoted” text – with an em dash — and a € price, naïve café."},
    {"KOI8-R", "KOI8-R", "Отчёт за квартал", "Отчёт за квартал готов. Съешь же ещё этих мягких французских булок."},
    {"GB2312", "GB2312", "会议通知：明天下午三点", "各位同事：我们的会议在明天下午三点开始，请准时参加。谢谢！"},
    {"GB18030", "GB18030", "欢迎使用中文邮件", "欢迎使用中文邮件系统。这是一封测试邮件，包含一些常用汉字。"},
    {"Big5", "BIG5", "這是一封中文測試郵件", "這是一封中文測試郵件，我們明天開會討論這個問題。謝謝您的幫助。"},
    {"Shift_JIS", "SHIFT_JIS", "会議の件について", "お世話になっております。明日の会議の件について、よろしくお願いします。"},
    {"ISO-2022-JP", "ISO-2022-JP", "こんにちは、世界", "こんにちは。来週の打ち合わせの日程を調整させてください。よろしくお願いします。"},
    {"EUC-KR", "EUC-KR", "회의 일정 안내", "안녕하세요. 다음 주 회의 일정을 안내해 드립니다. 감사합니다."},
};

}  // namespace

std::vector<Expected> WriteCorpus(const std::string& dir, bool large) {
    Builder b{dir, {}, 0};

    // --- charsets: declared in body and encoded words ------------------------------
    for (auto& s : kSamples) {
        std::string name = b.Name(std::string("charset-") + s.label);
        Expected e = Basic(name, s.subject, std::string("declared ") + s.label + " body and subject");
        e.bodyContains = {s.body};
        std::string body = Encode(s.body, s.iconv);
        bool sevenBit = std::string(s.label) == "ISO-2022-JP";
        std::string msg = std::string(kHead) + "Subject: " + Word(s.subject, s.label, s.iconv) + "\r\n" +
                          "Content-Type: text/plain; charset=" + s.label + "\r\n" +
                          "Content-Transfer-Encoding: " + (sevenBit ? "7bit" : "8bit") + "\r\n\r\n" + body + "\r\n";
        b.Add(e, msg);
    }
    // the same text in base64 and quoted-printable transfer encodings
    {
        std::string text = "Base64 body: Grüße, 東京, привет.";
        Expected e = Basic(b.Name("base64-body"), "Base64 body", "base64 transfer encoding");
        e.bodyContains = {text};
        b.Add(e, std::string(kHead) + "Subject: Base64 body\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                      "Content-Transfer-Encoding: base64\r\n\r\n" + Base64(text));
        Expected q = Basic(b.Name("qp-body"), "QP body", "quoted-printable with soft breaks");
        q.bodyContains = {"Caf\xC3\xA9 au lait, a long line that is continued on the next one."};
        b.Add(q, std::string(kHead) + "Subject: QP body\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
                                      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                                      "Caf=E9 au lait, a long line that is continued =\r\non the next one.\r\n");
    }

    // --- undeclared 8-bit text: guessed ---------------------------------------------
    struct Undeclared {
        const char* iconv;
        const char* text;
    };
    const Undeclared guesses[] = {
        {"UTF-8", "Grüße aus Köln und ein Gruß aus 東京."},
        {"WINDOWS-1252", "Le café était très bon, à bientôt chère amie."},
        {"WINDOWS-1251", "Съешь же ещё этих мягких французских булок, да выпей же чаю."},
        {"KOI8-R", "Съешь же ещё этих мягких французских булок, да выпей же чаю."},
        {"GB18030", "各位同事：我们的会议在明天下午三点开始，请准时参加。谢谢！"},
        {"SHIFT_JIS", "お世話になっております。明日の会議の件について、よろしくお願いします。"},
        {"BIG5", "這是一封中文測試郵件，我們明天開會討論這個問題。謝謝您的幫助。"},
        {"EUC-KR", "안녕하세요. 다음 주 회의 일정을 안내해 드립니다. 감사합니다."},
    };
    for (auto& g : guesses) {
        std::string label = g.iconv;
        Expected e = Basic(b.Name("undeclared-" + label), "Undeclared " + label, "8-bit body without charset");
        e.bodyContains = {g.text};
        b.Add(e, std::string(kHead) + "Subject: Undeclared " + label +
                     "\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + Encode(g.text, g.iconv) +
                     "\r\n");
    }
    // raw 8-bit header text read in the charset the body declares
    {
        std::string subj = "Совещание в понедельник";
        Expected e = Basic(b.Name("raw-8bit-subject"), subj, "raw windows-1251 subject, body declares windows-1251");
        e.senderName = "Иван Петров";
        e.senderAddress = "ivan@example.ru";
        e.bodyContains = {"Привет"};
        b.Add(e, "From: " + Encode("Иван Петров", "WINDOWS-1251") + " <ivan@example.ru>\r\n" +
                     "To: Bob Example <bob@example.net>\r\nDate: Tue, 05 Mar 2024 10:15:00 +0100\r\n"
                     "Subject: " + Encode(subj, "WINDOWS-1251") +
                     "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=windows-1251\r\n\r\n" +
                     Encode("Привет", "WINDOWS-1251") + "\r\n");
    }

    // --- encoded words and RFC 2231 --------------------------------------------------
    {
        // A character split across two encoded words, and words with padding.
        std::string euro = "\xE2\x82\xAC";  // €
        std::string w1 = "=?UTF-8?B?" + Base64("Price " + euro.substr(0, 1), false) + "?=";
        std::string w2 = "=?UTF-8?B?" + Base64(euro.substr(1) + " 10", false) + "?=";
        Expected e = Basic(b.Name("split-encoded-word"), "RE: Price € 10", "multi-byte character split across words");
        e.senderName = "Zoë Müller";
        e.senderAddress = "zoe@example.de";
        e.attachments = {{"€ rates 2024.pdf", 5}, {"Übersicht über Zahlen.txt", 6}, {"日本語.txt", 3}};
        std::string msg = "From: =?ISO-8859-1?Q?Zo=EB_M=FCller?= <zoe@example.de>\r\n"
                          "To: Bob Example <bob@example.net>\r\nDate: Tue, 05 Mar 2024 10:15:00 +0100\r\n"
                          "Subject: RE: " + w1 + "\r\n " + w2 + "\r\n"
                          "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
                          "--b1\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nSee the files.\r\n"
                          "--b1\r\nContent-Type: application/pdf\r\n"
                          "Content-Disposition: attachment; filename*=UTF-8''%E2%82%AC%20rates%202024.pdf\r\n\r\n"
                          "%PDF-\r\n"
                          "--b1\r\nContent-Type: text/plain\r\n"
                          "Content-Disposition: attachment;\r\n filename*0*=ISO-8859-1''%DCbersicht%20;\r\n"
                          " filename*1*=%FCber%20Zahlen.txt\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                          Base64("123456") +
                          "--b1\r\nContent-Type: text/plain; name=\"=?ISO-2022-JP?B?" +
                          Base64(Encode("日本語.txt", "ISO-2022-JP"), false) +
                          "?=\"\r\nContent-Disposition: attachment\r\n\r\nabc\r\n--b1--\r\n";
        e.bodyContains = {"See the files."};
        b.Add(e, msg);
    }

    // --- HTML with inline images ----------------------------------------------------
    std::string png = RandomBytes(3000, 7);
    {
        Expected e = Basic(b.Name("html-inline-images"), "Fwd: Newsletter with pictures",
                           "related HTML with two inline images and a file");
        e.html = true;
        e.bodyContains = {"Hello reader", "Second paragraph"};
        e.attachments = {{"logo.png", 3000, false, true}, {"photo.jpg", 1500, false, true}, {"report.pdf", 4}};
        std::string msg = std::string(kHead) +
                          "Subject: Fwd: Newsletter with pictures\r\n"
                          "Content-Type: multipart/mixed; boundary=\"mix\"\r\n\r\n"
                          "--mix\r\nContent-Type: multipart/related; boundary=\"rel\"; type=\"text/html\"\r\n\r\n"
                          "--rel\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
                          "<html><head><style>p{color:red}</style></head><body><p>Hello reader</p>"
                          "<img src=\"cid:logo@example\"><p>Second paragraph</p><img src=\"CID:photo@example\">"
                          "</body></html>\r\n"
                          "--rel\r\nContent-Type: image/png; name=\"logo.png\"\r\nContent-ID: <logo@example>\r\n"
                          "Content-Disposition: inline; filename=\"logo.png\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                          Base64(png) +
                          "--rel\r\nContent-Type: image/jpeg; name=\"photo.jpg\"\r\nContent-ID: <photo@example>\r\n"
                          "Content-Transfer-Encoding: base64\r\n\r\n" +
                          Base64(RandomBytes(1500, 8)) +
                          "--rel--\r\n"
                          "--mix\r\nContent-Type: application/pdf; name=report.pdf\r\n"
                          "Content-Disposition: attachment; filename=report.pdf\r\n\r\n%PDF\r\n--mix--\r\n";
        b.Add(e, msg);
    }
    // alternative: text and HTML
    {
        Expected e = Basic(b.Name("alternative"), "Plain and HTML", "multipart/alternative");
        e.html = true;
        e.bodyContains = {"Plain version of the text"};
        b.Add(e, std::string(kHead) +
                     "Subject: Plain and HTML\r\nContent-Type: multipart/alternative; boundary=\"alt\"\r\n\r\n"
                     "--alt\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nPlain version of the text\r\n"
                     "--alt\r\nContent-Type: text/html; charset=us-ascii\r\n\r\n<p>HTML <b>version</b></p>\r\n"
                     "--alt--\r\n");
    }
    // HTML only: plain text derived from it
    {
        Expected e = Basic(b.Name("html-only"), "Only HTML", "HTML body without a plain part");
        e.html = true;
        e.bodyContains = {"First line", "Caf\xC3\xA9 & more", "* item one"};
        b.Add(e, std::string(kHead) +
                     "Subject: Only HTML\r\nContent-Type: text/html; charset=iso-8859-1\r\n\r\n"
                     "<html><body><div>First line</div><p>Caf\xE9 &amp; more</p><ul><li>item one</li></ul>"
                     "<script>var hidden = 1;</script></body></html>\r\n");
    }
    // nested multiparts
    {
        Expected e = Basic(b.Name("nested-multiparts"), "Nested parts", "mixed in mixed, alternative inside");
        e.html = true;
        e.bodyContains = {"Nested plain"};
        e.attachments = {{"chart.gif", 6}, {"archive.zip", 4}};
        b.Add(e, std::string(kHead) +
                     "Subject: Nested parts\r\nContent-Type: multipart/mixed; boundary=\"o\"\r\n\r\n"
                     "--o\r\nContent-Type: multipart/mixed; boundary=\"i\"\r\n\r\n"
                     "--i\r\nContent-Type: multipart/alternative; boundary=\"a\"\r\n\r\n"
                     "--a\r\nContent-Type: text/plain\r\n\r\nNested plain\r\n"
                     "--a\r\nContent-Type: text/html\r\n\r\n<b>Nested html</b>\r\n--a--\r\n"
                     "--i\r\nContent-Type: image/gif; name=chart.gif\r\nContent-Disposition: attachment\r\n\r\nGIF89a\r\n"
                     "--i--\r\n"
                     "--o\r\nContent-Type: application/zip; name=archive.zip\r\n\r\nPK\x03\x04\r\n--o--\r\n");
    }
    // an attached message, with its own attachment
    {
        Expected e = Basic(b.Name("attached-message"), "Forwarding a message", "message/rfc822 part");
        e.bodyContains = {"See the attached message."};
        e.attachments = {{"Inner message subject", -1, true}};
        b.Add(e, std::string(kHead) +
                     "Subject: Forwarding a message\r\nContent-Type: multipart/mixed; boundary=\"f\"\r\n\r\n"
                     "--f\r\nContent-Type: text/plain\r\n\r\nSee the attached message.\r\n"
                     "--f\r\nContent-Type: message/rfc822\r\n\r\n"
                     "From: Carol <carol@example.com>\r\nTo: Alice Example <alice@example.org>\r\n"
                     "Subject: Inner message subject\r\nDate: Mon, 04 Mar 2024 09:00:00 +0000\r\n"
                     "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"in\"\r\n\r\n"
                     "--in\r\nContent-Type: text/plain\r\n\r\nInner body\r\n"
                     "--in\r\nContent-Type: text/csv; name=data.csv\r\nContent-Disposition: attachment\r\n\r\na,b\r\n"
                     "--in--\r\n"
                     "--f--\r\n");
    }
    // recipients: groups, Cc, Bcc, Reply-To, a Sender
    {
        Expected e;
        e.file = b.Name("recipients");
        e.subject = "Team update";
        e.senderName = "Alice Example";
        e.senderAddress = "alice@example.org";
        e.recipients = {{"a1@example.com", 1}, {"a2@example.com", 1}, {"solo@example.com", 1},
                        {"carbon@example.com", 2}, {"hidden@example.com", 3}};
        e.bodyContains = {"Hi team"};
        e.what = "groups flattened, Cc and Bcc rows";
        b.Add(e, "From: Alice Example <alice@example.org>\r\n"
                 "Reply-To: Replies <replies@example.org>\r\n"
                 "To: Team: First <a1@example.com>, a2@example.com;, \"Solo, Person\" <solo@example.com>\r\n"
                 "Cc: carbon@example.com\r\nBcc: Hidden <hidden@example.com>\r\nUndisclosed: x\r\n"
                 "Subject: Team update\r\nDate: Tue, 05 Mar 2024 10:15:00 +0100\r\nImportance: High\r\n"
                 "X-Priority: 1\r\nSensitivity: Private\r\nMessage-ID: <team-1@example.org>\r\n"
                 "In-Reply-To: <prev@example.org>\r\nReferences: <root@example.org> <prev@example.org>\r\n"
                 "Received: from a by b; Tue, 05 Mar 2024 10:20:00 +0100\r\n"
                 "Received: from c by d; Tue, 05 Mar 2024 10:30:00 +0100\r\n"
                 "Received: from e by f; Tue, 05 Mar 2024 10:25:00 +0100\r\n\r\nHi team\r\n");
    }
    // S/MIME clear-signed and opaque
    {
        Expected e = Basic(b.Name("smime-signed"), "Signed message", "multipart/signed with a PKCS#7 signature");
        e.messageClass = "IPM.Note.SMIME.MultipartSigned";
        e.bodyContains = {"This text is signed."};
        e.attachments = {{"smime.p7m", -1}};
        b.Add(e, std::string(kHead) +
                     "Subject: Signed message\r\nContent-Type: multipart/signed; protocol=\"application/pkcs7-signature\";"
                     " micalg=sha-256; boundary=\"sig\"\r\n\r\n"
                     "--sig\r\nContent-Type: multipart/mixed; boundary=\"c\"\r\n\r\n"
                     "--c\r\nContent-Type: text/plain\r\n\r\nThis text is signed.\r\n"
                     "--c\r\nContent-Type: image/png; name=signed.png\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                     Base64(png.substr(0, 100)) +
                     "--c--\r\n"
                     "--sig\r\nContent-Type: application/pkcs7-signature; name=smime.p7s\r\n"
                     "Content-Transfer-Encoding: base64\r\n\r\n" + Base64(RandomBytes(300, 3)) + "--sig--\r\n");
        Expected o = Basic(b.Name("smime-enveloped"), "Encrypted message", "application/pkcs7-mime enveloped data");
        o.messageClass = "IPM.Note.SMIME";
        o.attachments = {{"smime.p7m", 500}};
        b.Add(o, std::string(kHead) +
                     "Subject: Encrypted message\r\nContent-Type: application/pkcs7-mime; smime-type=enveloped-data;"
                     " name=smime.p7m\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Base64(RandomBytes(500, 4)));
    }
    // TNEF and a calendar-only message
    {
        Expected e = Basic(b.Name("tnef"), "Rich text from Outlook", "winmail.dat stays an attachment");
        e.bodyContains = {"Plain part"};
        e.attachments = {{"winmail.dat", 64}};
        b.Add(e, std::string(kHead) +
                     "Subject: Rich text from Outlook\r\nContent-Type: multipart/mixed; boundary=\"t\"\r\n\r\n"
                     "--t\r\nContent-Type: text/plain\r\n\r\nPlain part\r\n"
                     "--t\r\nContent-Type: application/ms-tnef\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                     Base64("\x78\x9F\x3E\x22" + RandomBytes(60, 5)) + "--t--\r\n");
        std::string ics = "BEGIN:VCALENDAR\r\nMETHOD:REQUEST\r\nBEGIN:VEVENT\r\nSUMMARY:Review\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
        Expected c = Basic(b.Name("calendar-only"), "Invitation: Review", "text/calendar as the only body");
        c.attachments = {{"invite.ics", int64_t(ics.size())}};
        b.Add(c, std::string(kHead) + "Subject: Invitation: Review\r\nContent-Type: text/calendar; method=REQUEST;"
                                      " charset=utf-8\r\n\r\n" + ics);
    }

    // --- broken input ----------------------------------------------------------------
    {
        std::string data = RandomBytes(2000, 9);
        std::string b64 = Base64(data);
        std::string cut = b64.substr(0, 1001);  // ends in the middle of a line and of a quantum
        Expected e = Basic(b.Name("truncated-base64"), "Truncated attachment", "file cut inside base64");
        e.bodyContains = {"Body before"};
        e.attachments = {{"cut.bin", -1}};
        b.Add(e, std::string(kHead) + "Subject: Truncated attachment\r\nContent-Type: multipart/mixed; boundary=\"x\"\r\n\r\n"
                                      "--x\r\nContent-Type: text/plain\r\n\r\nBody before\r\n"
                                      "--x\r\nContent-Type: application/octet-stream; name=cut.bin\r\n"
                                      "Content-Transfer-Encoding: base64\r\n\r\n" + cut);
    }
    {
        Expected e = Basic(b.Name("unclosed-boundary"), "Boundary never closes", "no closing delimiter");
        e.bodyContains = {"Text part"};
        e.attachments = {{"notes.txt", -1}};
        b.Add(e, std::string(kHead) + "Subject: Boundary never closes\r\nContent-Type: multipart/mixed; boundary=\"open\"\r\n\r\n"
                                      "--open\r\nContent-Type: text/plain\r\n\r\nText part\r\n"
                                      "--open\r\nContent-Type: text/plain; name=notes.txt\r\n"
                                      "Content-Disposition: attachment\r\n\r\nsome notes\r\nmore notes\r\n");
    }
    {
        Expected e;
        e.file = b.Name("missing-headers");
        e.subject = "";
        e.bodyContains = {"A body without any sender"};
        e.what = "no From, To, Date or Subject";
        b.Add(e, "X-Mailer: none\r\nContent-Type: text/plain\r\n\r\nA body without any sender\r\n");
    }
    {
        Expected e = Basic(b.Name("bad-encodings"), "Bad encodings", "broken QP, base64 with junk, bogus charset");
        e.bodyContains = {"Broken =ZZ escape", "and junk"};
        e.attachments = {{"junk.bin", 7}};  // "abcdefg": the junk is skipped
        b.Add(e, std::string(kHead) +
                     "Subject: =?x-unknown-charset?Q?Bad_encodings?=\r\nContent-Type: multipart/mixed; boundary=\"z\"\r\n\r\n"
                     "--z\r\nContent-Type: text/plain; charset=x-bogus\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                     "Broken =ZZ escape=\r\n and junk=\r\n"
                     "--z\r\nContent-Type: application/octet-stream; name=junk.bin\r\n"
                     "Content-Transfer-Encoding: base64\r\n\r\nYW@J!j*ZG\x01VmZ2==\r\n--z--\r\n");
    }
    {
        // multiparts nested 500 deep, text at the bottom
        std::string msg = std::string(kHead) + "Subject: Nested 500 deep\r\n";
        std::string tail;
        for (int d = 0; d < 500; ++d) {
            msg += "Content-Type: multipart/mixed; boundary=\"n" + std::to_string(d) + "\"\r\n\r\n--n" +
                   std::to_string(d) + "\r\n";
            tail = "\r\n--n" + std::to_string(d) + "--\r\n" + tail;
        }
        msg += "Content-Type: text/plain\r\n\r\nDeepest text" + tail;
        Expected e = Basic(b.Name("nested-500"), "Nested 500 deep", "multipart nesting 500 levels");
        e.attachments = {{"ATT00001.eml", -1}};
        b.Add(e, msg);
    }
    {
        // attached messages nested 40 deep
        std::string inner = "From: Deep <deep@example.com>\r\nSubject: Level 40\r\n\r\nbottom\r\n";
        for (int d = 39; d >= 1; --d)
            inner = "From: Deep <deep@example.com>\r\nSubject: Level " + std::to_string(d) +
                    "\r\nMIME-Version: 1.0\r\nContent-Type: message/rfc822\r\n\r\n" + inner;
        Expected e = Basic(b.Name("nested-messages"), "Messages in messages", "message/rfc822 nested 40 deep");
        e.attachments = {{"Level 1", -1, true}};
        b.Add(e, std::string(kHead) + "Subject: Messages in messages\r\nContent-Type: message/rfc822\r\n\r\n" + inner);
    }
    {
        Expected e = Basic(b.Name("long-header-line"), "Long header line", "a 3 MB header line");
        e.bodyContains = {"After the long header"};
        std::string longLine(3u << 20, 'x');
        b.Add(e, std::string(kHead) + "Subject: Long header line\r\nX-Long: " + longLine +
                     "\r\n\r\nAfter the long header\r\n");
    }
    {
        Expected e = Basic(b.Name("mbox-from-line"), "After an mbox line", "mbox From line and BOM-free start");
        e.bodyContains = {"Body after From line"};
        b.Add(e, "From alice@example.org Tue Mar  5 10:15:00 2024\n" + std::string(kHead) +
                     "Subject: After an mbox line\n\nBody after From line\n");
    }
    if (large) {
        std::string big = RandomBytes(24u << 20, 11);
        Expected e = Basic(b.Name("large-attachment"), "Large attachment", "24 MB base64 attachment");
        e.bodyContains = {"A big file follows."};
        e.attachments = {{"big.bin", int64_t(big.size())}, {"second.bin", 3u << 20}};
        b.Add(e, std::string(kHead) + "Subject: Large attachment\r\nContent-Type: multipart/mixed; boundary=\"L\"\r\n\r\n"
                                      "--L\r\nContent-Type: text/plain\r\n\r\nA big file follows.\r\n"
                                      "--L\r\nContent-Type: application/octet-stream; name=big.bin\r\n"
                                      "Content-Transfer-Encoding: base64\r\n\r\n" + Base64(big) +
                                      "--L\r\nContent-Type: application/octet-stream; name=second.bin\r\n"
                                      "Content-Transfer-Encoding: base64\r\n\r\n" + Base64(RandomBytes(3u << 20, 12)) +
                                      "--L--\r\n");
    }
    // files that hold no message
    {
        Expected e;
        e.file = b.Name("empty");
        e.ok = false;
        e.what = "empty file";
        b.Add(e, "");
        Expected n;
        n.file = b.Name("no-headers");
        n.ok = false;
        n.what = "text without a header line";
        b.Add(n, "Just some text.\nNo headers at all.\n");
    }
    return b.out;
}

}  // namespace mimetest
