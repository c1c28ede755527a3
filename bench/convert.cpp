// Converts generated exports with `orvandel convert` and prints, side by side
// in one run: the conversion; `cp -r` of the export; `readpst -q -D -o DIR`
// reading the PST back; `dd` of the PST's size with fdatasync. Each with wall
// and CPU time, messages/s, MB/s and peak RSS, and the goals beside them.
//
//   convert [--small N]... [--large COUNT --large-bytes BYTES] [--work DIR] [--keep] [--convert-only]
//
// Default: --small 2000 --small 20000 --small 200000 --large 10 --large-bytes 200M.
// --convert-only skips cp, readpst and dd (for --small 1000000: the peak memory
// goal is under 100 MB, and flat within 20 % over the sizes run).
// Needs the disk for the export, its copy, the PST and what readpst writes.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Run {
    double wall = 0, cpu = 0;
    double peakMb = 0;
    int status = -1;
};

// Runs argv as a child, timing it and reading its peak resident memory.
Run Spawn(const std::vector<std::string>& argv, bool quiet = true) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (quiet) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    Run r;
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    r.peakMb = double(ru.ru_maxrss) / 1024.0;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

uint64_t TreeBytes(const fs::path& p) {
    uint64_t n = 0;
    for (auto& e : fs::recursive_directory_iterator(p))
        if (e.is_regular_file()) n += e.file_size();
    return n;
}

void WriteFile(const fs::path& p, const std::string& text) {
    FILE* f = fopen(p.c_str(), "wb");
    if (!f || fwrite(text.data(), 1, text.size(), f) != text.size()) {
        perror(p.c_str());
        exit(2);
    }
    fclose(f);
}

// Zimbra-like folders of 500 messages (Inbox, Inbox!1, ...), spread over a few folders.
fs::path BatchFolder(const fs::path& mailbox, uint64_t i) {
    static const char* folders[] = {"Inbox", "Sent", "Projects", "Archive/2019"};
    const uint64_t batch = i / 500;
    std::string name = folders[batch % 4];
    if (batch >= 4) name += "!" + std::to_string(batch / 4);
    return mailbox / name;
}

void GenerateSmall(const fs::path& mailbox, uint64_t count) {
    static const char* words[] = {"meeting", "report", "budget", "the",  "and",    "quarter", "please", "review",
                                  "attached", "team",  "project", "with", "thanks", "schedule", "update", "for"};
    uint64_t state = 12345;
    for (uint64_t i = 0; i < count; ++i) {
        const fs::path folder = BatchFolder(mailbox, i);
        if (i % 500 == 0) fs::create_directories(folder);
        std::string body;
        const int n = 60 + int(i % 80);
        for (int w = 0; w < n; ++w) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            body += words[(state >> 33) % 16];
            body += (w % 12 == 11) ? "\r\n" : " ";
        }
        char name[64];
        snprintf(name, sizeof name, "%010llu-Message %llu.eml", (unsigned long long)(1000 + i), (unsigned long long)i);
        WriteFile(folder / name,
                  "From: Alice Example <alice" + std::to_string(i % 50) + "@example.com>\r\n"
                  "To: Bob Example <bob@example.org>, carol@example.net\r\n"
                  "Subject: Status report " + std::to_string(i) + "\r\n"
                  "Date: Mon, 7 Dec 2026 10:" + std::to_string(10 + i % 50) + ":00 +0000\r\n"
                  "Message-ID: <m" + std::to_string(i) + "@example.com>\r\n"
                  "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + body + "\r\n");
    }
}

void GenerateLarge(const fs::path& mailbox, uint64_t count, uint64_t bytes) {
    static const char* tbl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    fs::create_directories(mailbox / "Inbox");
    uint64_t state = 777;
    for (uint64_t i = 0; i < count; ++i) {
        char name[64];
        snprintf(name, sizeof name, "%010llu-Large %llu.eml", (unsigned long long)(1000 + i), (unsigned long long)i);
        FILE* f = fopen((mailbox / "Inbox" / name).c_str(), "wb");
        if (!f) {
            perror(name);
            exit(2);
        }
        const std::string head = "From: alice@example.com\r\nTo: bob@example.org\r\nSubject: Large " + std::to_string(i) +
                                 "\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
                                 "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
                                 "See the attachment.\r\n--b\r\nContent-Type: application/octet-stream\r\n"
                                 "Content-Disposition: attachment; filename=\"data" + std::to_string(i) + ".bin\"\r\n"
                                 "Content-Transfer-Encoding: base64\r\n\r\n";
        fwrite(head.data(), 1, head.size(), f);
        // Random bytes, base64 in 76-column lines: 57 source bytes a line.
        std::string line(78, '\0');
        line[76] = '\r';
        line[77] = '\n';
        std::string buffer;
        for (uint64_t done = 0; done < bytes; done += 57) {
            uint8_t src[57];
            for (auto& b : src) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                b = uint8_t(state >> 56);
            }
            const size_t n = size_t(std::min<uint64_t>(57, bytes - done));
            size_t o = 0;
            for (size_t k = 0; k < n; k += 3) {
                uint32_t v = uint32_t(src[k]) << 16 | (k + 1 < n ? uint32_t(src[k + 1]) << 8 : 0) | (k + 2 < n ? src[k + 2] : 0);
                line[o++] = tbl[(v >> 18) & 63];
                line[o++] = tbl[(v >> 12) & 63];
                line[o++] = k + 1 < n ? tbl[(v >> 6) & 63] : '=';
                line[o++] = k + 2 < n ? tbl[v & 63] : '=';
            }
            buffer.append(line.data(), o);
            buffer += "\r\n";
            if (buffer.size() > (1 << 20)) {
                fwrite(buffer.data(), 1, buffer.size(), f);
                buffer.clear();
            }
        }
        buffer += "--b--\r\n";
        fwrite(buffer.data(), 1, buffer.size(), f);
        fclose(f);
    }
}

void Row(const char* what, const Run& r, uint64_t messages, uint64_t bytes) {
    printf("  %-26s %8.2f s %8.2f s cpu %10.0f msg/s %8.1f MB/s %8.1f MB peak%s\n", what, r.wall, r.cpu,
           r.wall > 0 ? double(messages) / r.wall : 0.0, r.wall > 0 ? double(bytes) / 1e6 / r.wall : 0.0, r.peakMb,
           r.status == 0 ? "" : ("  (exit " + std::to_string(r.status) + ")").c_str());
    fflush(stdout);
}

struct CaseResult {
    uint64_t messages = 0;
    Run convert, readpst, dd;
};

CaseResult Case(const fs::path& work, const std::string& label, uint64_t messages, bool large, uint64_t largeBytes,
                bool keep, bool convertOnly) {
    const fs::path dir = work / label;
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path mailbox = dir / "export" / "jdoe";
    fs::create_directories(mailbox);  // an empty export too
    if (large) GenerateLarge(mailbox, messages, largeBytes);
    else GenerateSmall(mailbox, messages);
    sync();
    const uint64_t exportBytes = TreeBytes(dir / "export");
    printf("%s: %llu messages, export %.1f MB\n", label.c_str(), (unsigned long long)messages, double(exportBytes) / 1e6);

    CaseResult c;
    c.messages = messages;
    const fs::path pst = dir / "jdoe.pst";
    c.convert = Spawn({ORVANDEL_BINARY, "convert", mailbox.string(), "--pst", pst.string(), "--quiet"});
    const uint64_t pstBytes = fs::exists(pst) ? fs::file_size(pst) : 0;
    Row("orvandel convert", c.convert, messages, exportBytes);
    if (convertOnly) {
        printf("  goal: peak RSS under 100 MB: %.1f MB -> %s\n", c.convert.peakMb, c.convert.peakMb < 100 ? "met" : "NOT met");
        if (!keep) fs::remove_all(dir);
        return c;
    }
    Run cp = Spawn({"cp", "-r", (dir / "export").string(), (dir / "copy").string()});
    Row("cp -r of the export", cp, messages, exportBytes);
    if (!fs::exists(pst)) {
        // An empty export makes no PST: nothing to read back or to judge.
        printf("  no PST written (exit %d): no goals judged\n", c.convert.status);
        if (!keep) fs::remove_all(dir);
        return c;
    }
    fs::create_directories(dir / "readpst");
    c.readpst = Spawn({"readpst", "-q", "-D", "-o", (dir / "readpst").string(), pst.string()});
    Row("readpst -q -D of the PST", c.readpst, messages, pstBytes);
    const uint64_t mb = std::max<uint64_t>(1, pstBytes >> 20);
    c.dd = Spawn({"dd", "if=/dev/zero", "of=" + (dir / "dd.out").string(), "bs=1M", "count=" + std::to_string(mb),
                  "conv=fdatasync", "status=none"});
    Row("dd of the PST's size", c.dd, messages, mb << 20);
    printf("  PST %.1f MB\n", double(pstBytes) / 1e6);
    if (!large) {
        printf("  goal: convert faster than readpst reading it back: %.2f x readpst's time -> %s\n",
               c.convert.wall / std::max(1e-9, c.readpst.wall), c.convert.wall < c.readpst.wall ? "met" : "NOT met");
        const double rate = double(messages) / std::max(1e-9, c.convert.wall);
        printf("  goal: at least 5000 messages/s: %.0f/s (%.0f per CPU second) -> %s\n", rate,
               double(messages) / std::max(1e-9, c.convert.cpu), rate >= 5000 ? "met" : "NOT met");
    } else {
        const double ratio = (double(pstBytes) / c.convert.wall) / (double(mb << 20) / std::max(1e-9, c.dd.wall));
        printf("  goal: convert at least 0.6 x dd's MB/s: %.2f x -> %s\n", ratio, ratio >= 0.6 ? "met" : "NOT met");
        printf("  goal: peak RSS under 100 MB: %.1f MB -> %s\n", c.convert.peakMb, c.convert.peakMb < 100 ? "met" : "NOT met");
    }
    if (!keep) fs::remove_all(dir);
    return c;
}

uint64_t Size(const char* text) {
    char* end = nullptr;
    double v = strtod(text, &end);
    switch (end && *end ? *end : ' ') {
        case 'k': case 'K': v *= 1024; break;
        case 'm': case 'M': v *= 1024 * 1024; break;
        case 'g': case 'G': v *= 1024.0 * 1024 * 1024; break;
        default: break;
    }
    return uint64_t(v);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint64_t> small;
    uint64_t largeCount = 10, largeBytes = 200ull << 20;
    fs::path work = fs::temp_directory_path() / "orvandel-bench-convert";
    bool keep = false, convertOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s needs a value\n", a.c_str());
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--small") small.push_back(Size(next()));
        else if (a == "--large") largeCount = Size(next());
        else if (a == "--large-bytes") largeBytes = Size(next());
        else if (a == "--work") work = next();
        else if (a == "--keep") keep = true;
        else if (a == "--convert-only") convertOnly = true;
        else {
            fprintf(stderr, "usage: convert [--small N]... [--large COUNT --large-bytes BYTES] [--work DIR] [--keep] "
                            "[--convert-only]\n");
            return 2;
        }
    }
    if (small.empty()) small = {2000, 20000, 200000};
    printf("%-28s %10s %12s %16s %13s %15s\n", "", "wall", "cpu", "messages/s", "MB/s", "peak RSS");
    std::vector<CaseResult> results;
    for (uint64_t n : small) results.push_back(Case(work, "small-" + std::to_string(n), n, false, 0, keep, convertOnly));
    double lo = 1e18, hi = 0;
    uint64_t fewest = 0, most = 0;
    for (auto& r : results) {
        if (r.messages == 0) continue;  // no PST, no peak to compare
        lo = std::min(lo, r.convert.peakMb);
        hi = std::max(hi, r.convert.peakMb);
        fewest = fewest ? std::min(fewest, r.messages) : r.messages;
        most = std::max(most, r.messages);
    }
    if (fewest && most > fewest)
        printf("goal: convert's peak RSS flat within 20 %% over %llu..%llu messages: %.1f..%.1f MB (+%.0f %%) -> %s\n",
               (unsigned long long)fewest, (unsigned long long)most, lo, hi, (hi / lo - 1) * 100,
               hi <= lo * 1.2 ? "met" : "NOT met");
    if (largeCount > 0) Case(work, "large", largeCount, true, largeBytes, keep, convertOnly);
    if (!keep) fs::remove_all(work);
    return 0;
}
