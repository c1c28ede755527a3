// Imports a few thousand generated mixed messages (plain, HTML with inline
// images, attachments, legacy charsets, attached messages) into a new PST and
// prints messages per second and MB per second.
//
//   mime_import [COUNT] [--keep DIR]
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "mime/EmlTree.h"
#include "store/PstStoreSession.h"

namespace fs = std::filesystem;

namespace {

std::string Base64(const std::string& bytes) {
    static const char* tbl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t line = 0;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 2]));
        out += tbl[(v >> 18) & 63];
        out += tbl[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? tbl[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? tbl[v & 63] : '=';
        if ((line += 4) >= 76) {
            out += "\r\n";
            line = 0;
        }
    }
    return out + "\r\n";
}

std::string Words(std::mt19937& rng, size_t n) {
    static const char* words[] = {"meeting", "report", "budget", "the",  "and",    "quarter", "please", "review",
                                  "attached", "team",  "project", "with", "thanks", "schedule", "update", "for"};
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += words[rng() % 16];
        s += (i % 12 == 11) ? "\r\n" : " ";
    }
    return s;
}

std::string Random(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = char(rng() & 0xFF);
    return s;
}

std::string Message(int i, std::mt19937& rng) {
    std::string head = "From: Sender " + std::to_string(i % 50) + " <sender" + std::to_string(i % 50) +
                       "@example.com>\r\nTo: Team <team@example.com>, other" + std::to_string(i % 7) +
                       "@example.org\r\nCc: boss@example.com\r\nDate: Mon, 0" + std::to_string(1 + i % 9) +
                       " Apr 2024 10:" + std::to_string(10 + i % 50) + ":00 +0200\r\nMessage-ID: <m" +
                       std::to_string(i) + "@example.com>\r\nReceived: from mx by mail; Mon, 01 Apr 2024 10:00:00 +0000\r\n"
                       "MIME-Version: 1.0\r\n";
    switch (i % 6) {
        case 0:  // plain text
            return head + "Subject: Plain " + std::to_string(i) + "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" +
                   Words(rng, 300) + "\r\n";
        case 1:  // alternative with an inline image
            return head + "Subject: =?UTF-8?Q?Newsletter_=E2=9C=93_" + std::to_string(i) +
                   "?=\r\nContent-Type: multipart/related; boundary=r\r\n\r\n--r\r\n"
                   "Content-Type: multipart/alternative; boundary=a\r\n\r\n--a\r\nContent-Type: text/plain\r\n\r\n" +
                   Words(rng, 200) + "\r\n--a\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body><p>" +
                   Words(rng, 200) + "</p><img src=\"cid:img1\"></body></html>\r\n--a--\r\n--r\r\n"
                   "Content-Type: image/png\r\nContent-ID: <img1>\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                   Base64(Random(rng, 20000)) + "--r--\r\n";
        case 2:  // attachments
            return head + "Subject: Report " + std::to_string(i) +
                   "\r\nContent-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\nContent-Type: text/plain\r\n\r\n" +
                   Words(rng, 100) +
                   "\r\n--m\r\nContent-Type: application/pdf; name=report.pdf\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                   Base64(Random(rng, 150000 + rng() % 100000)) +
                   "--m\r\nContent-Type: text/csv; name*=UTF-8''Zahlen%20%C3%BCbersicht.csv\r\n\r\na,b,c\r\n1,2,3\r\n--m--\r\n";
        case 3: {  // legacy charset
            std::string koi = "\xF0\xD2\xC9\xD7\xC5\xD4 \xCD\xC9\xD2";  // "Привет мир" in KOI8-R
            return head + "Subject: =?KOI8-R?B?8NLJ18XUIM3J0g==?= " + std::to_string(i) +
                   "\r\nContent-Type: text/plain; charset=koi8-r\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + koi +
                   "\r\n" + Words(rng, 150) + "\r\n";
        }
        case 4:  // attached message
            return head + "Subject: Fwd: forwarded " + std::to_string(i) +
                   "\r\nContent-Type: multipart/mixed; boundary=f\r\n\r\n--f\r\nContent-Type: text/plain\r\n\r\nSee below.\r\n"
                   "--f\r\nContent-Type: message/rfc822\r\n\r\nFrom: x@example.com\r\nSubject: inner " +
                   std::to_string(i) + "\r\nContent-Type: text/html\r\n\r\n<p>" + Words(rng, 150) + "</p>\r\n--f--\r\n";
        default:  // HTML only, quoted-printable
            return head + "Subject: RE: HTML " + std::to_string(i) +
                   "\r\nContent-Type: text/html; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                   "<html><body><div>Caf=E9 " + Words(rng, 250) + "</div></body></html>\r\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    int count = 3000;
    std::string keep;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--keep" && i + 1 < argc) keep = argv[++i];
        else count = std::atoi(argv[i]);
    }
    if (count <= 0) count = 3000;
    char tmpl[] = "/tmp/orvandel-mime-bench-XXXXXX";
    std::string dir = keep.empty() ? std::string(mkdtemp(tmpl)) : keep;
    fs::create_directories(dir + "/Mail/Sub");
    std::mt19937 rng(42);
    uint64_t bytes = 0;
    for (int i = 0; i < count; ++i) {
        std::string m = Message(i, rng);
        bytes += m.size();
        std::ofstream(dir + (i % 3 ? "/Mail/" : "/Mail/Sub/") + std::to_string(i) + ".eml", std::ios::binary) << m;
    }
    std::string pst = dir + "/bench.pst";
    fs::remove(pst);
    std::printf("%d messages, %.1f MB of .eml in %s\n", count, double(bytes) / 1e6, dir.c_str());

    auto t0 = std::chrono::steady_clock::now();
    mime::EmlTreeStats stats;
    {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(pst, 1, "Bench");
        st.ValidateIPMTree();
        stats = mime::ImportEmlInputs(st, {dir + "/Mail"}, [](const std::string& p, const std::string& why) {
            std::fprintf(stderr, "BAD : %s (%s)\n", p.c_str(), why.c_str());
        });
        session->Logoff();
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    struct stat st {};
    stat(pst.c_str(), &st);
    std::printf("imported %zu messages (%zu failed) in %.2f s: %.0f messages/s, %.1f MB/s of .eml input\n",
                stats.imported, stats.failed, secs, double(stats.imported) / secs, double(stats.bytes) / 1e6 / secs);
    std::printf("PST %.1f MB, peak memory %.0f MB\n", double(st.st_size) / 1e6, double(ru.ru_maxrss) / 1024.0);
    if (keep.empty()) fs::remove_all(dir);
    return stats.failed ? 1 : 0;
}
