// Large and oddly encoded attachments through the MIME import into a real PST:
// libpff reads every byte back as it was, the file verifies and every reader
// agrees (--strict).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "mime/EmlTree.h"
#include "store/PstStoreSession.h"
#include "support/Shell.h"
#if HAVE_ORVANDEL_PST_VERIFY
#include "pst/verify/Verifier.h"
#endif

namespace fs = std::filesystem;
using testshell::Quote;

namespace {

std::string PypffPython() {
    for (const char* py : {"python3", "/usr/bin/python3"})
        if (testshell::Run(Quote(py) + " -c 'import pypff'").status == 0) return py;
    return {};
}

// Base64 of `data` with '=' padding; `line` gives each line's width and its break.
template <class LineShape>
std::string Base64(const std::string& data, LineShape line) {
    static const char* tbl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string flat;
    for (size_t i = 0; i < data.size(); i += 3) {
        const size_t n = std::min<size_t>(3, data.size() - i);
        uint32_t v = uint32_t(uint8_t(data[i])) << 16;
        if (n > 1) v |= uint32_t(uint8_t(data[i + 1])) << 8;
        if (n > 2) v |= uint8_t(data[i + 2]);
        flat += tbl[v >> 18];
        flat += tbl[(v >> 12) & 63];
        flat += n > 1 ? tbl[(v >> 6) & 63] : '=';
        flat += n > 2 ? tbl[v & 63] : '=';
    }
    std::string out;
    for (size_t at = 0; at < flat.size();) {
        auto [width, end] = line();
        out += flat.substr(at, width) + end;
        at += width;
    }
    return out;
}

TEST(AttachmentBytes, LargeAndOddlyEncodedAttachmentsArriveByteExact) {
    char tmpl[] = "/tmp/orvandel-attachment-bytes-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    const fs::path expected = dir / "expected";
    fs::create_directory(expected);
    std::mt19937 rng(14);
    auto random = [&](size_t n) {
        std::string s(n, '\0');
        for (auto& c : s) c = char(rng());
        return s;
    };
    std::string eml = "From: a@example.com\r\nSubject: bytes\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n"
                      "--B\r\nContent-Type: text/plain\r\n\r\nbody\r\n";
    auto attach = [&](const std::string& name, const std::string& bytes, const std::string& encoding,
                      const std::string& body) {
        std::ofstream(expected / name, std::ios::binary) << bytes;
        eml += "--B\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=" + name +
               "\r\nContent-Transfer-Encoding: " + encoding + "\r\n\r\n" + body + "\r\n";
    };
    // More blocks than one XBLOCK holds: an XXBLOCK tree.
    const std::string big = random(9000000);
    attach("big.bin", big, "base64", Base64(big, [] { return std::pair<size_t, std::string>(76, "\r\n"); }));
    // Lines of any width and break, bytes outside the alphabet, text after the '='.
    const std::string odd = random(100000);
    const char* breaks[] = {"\n", "\r\n", " \r\n", "\t\n", "!*\x80\xff\r\n"};
    attach("odd.bin", odd, "base64",
           Base64(odd, [&] { return std::pair<size_t, std::string>(1 + rng() % 120, breaks[rng() % 5]); }) +
               "\r\nnot base64 after the end\r\n");
    // The last group without its '=': its two bytes are kept.
    const std::string unpadded = random(5000);
    std::string cut = Base64(unpadded, [] { return std::pair<size_t, std::string>(76, "\r\n"); });
    cut.erase(cut.rfind('='), 1);
    attach("unpadded.bin", unpadded, "base64", cut);
    // Two whole blocks, as they are.
    std::string exact;
    while (exact.size() < 2 * 8176) exact += exact.size() % 64 == 63 ? '\n' : char('a' + exact.size() % 26);
    attach("exact.txt", exact, "8bit", exact);
    attach("qp.txt", "caf\xc3\xa9 linejoined= ok", "quoted-printable", "caf=C3=A9 line=\r\njoined=3D ok");
    eml += "--B--\r\n";

    const std::string emlPath = dir / "bytes.eml", pst = dir / "bytes.pst";
    std::ofstream(emlPath, std::ios::binary) << eml;
    {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(pst, 1, "Attachment bytes");
        st.ValidateIPMTree();
        auto r = mime::ImportEmlFile(st.GetDefaultFolder(store::olFolderInbox), emlPath);
        ASSERT_TRUE(r.ok) << r.error;
        session->Logoff();
    }
#if HAVE_ORVANDEL_PST_VERIFY
    auto report = pst::verify::VerifyFile(pst);
    EXPECT_TRUE(report.Clean()) << report.fatal
                                << (report.faults.empty() ? "" : report.faults[0].where + ": " + report.faults[0].what);
#endif
    auto judged = testshell::Run(Quote(ORVANDEL_PST_INSPECT) + " --strict --summary --reader all " + Quote(pst));
    EXPECT_EQ(judged.status, 0) << judged.output;
    const std::string py = PypffPython();
    if (py.empty()) GTEST_SKIP() << "no python3 with pypff";
    auto bytes = testshell::Run(Quote(py) + " " + Quote(ORVANDEL_MIME_TEST_DIR "/attachment_bytes.py") + " " +
                                Quote(pst) + " " + Quote(expected.string()));
    EXPECT_EQ(bytes.status, 0) << bytes.output;
    if (!std::getenv("ORVANDEL_KEEP_TEST_PST")) fs::remove_all(dir);
}

}  // namespace
