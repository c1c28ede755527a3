// Writes a synthetic mailbox through the store session and prints throughput,
// file size against payload and peak memory, beside a plain sequential write
// of the same payload bytes in the same run (the floor).
//
//   pst_write OUT.pst --messages N [--body-bytes B] [--attachment-bytes A]
//             [--attachment-every K] [--big-attachments M --big-attachment-bytes S]
//             [--commit-every C] [--no-encrypt] [--sources]
// --sources: every message records a source path, as a conversion does, so
// the store keeps its source index.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/PstStoreSession.h"

namespace {

struct Options {
    std::string out;
    uint64_t messages = 1000;
    uint64_t bodyBytes = 2000;
    uint64_t attachmentBytes = 0;
    uint64_t attachmentEvery = 0;
    uint64_t bigAttachments = 0;
    uint64_t bigAttachmentBytes = 0;
    uint64_t commitEvery = 0;
    bool encrypt = true;
    bool sources = false;
};

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Deterministic filler (lower-case letters, like text) that does not compress to nothing.
void Fill(uint8_t* p, size_t n, uint64_t& state) {
    for (size_t i = 0; i < n; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        p[i] = uint8_t('a' + (state >> 33) % 26);
    }
}

double FloorSeconds(const std::string& path, uint64_t bytes) {
    auto t0 = std::chrono::steady_clock::now();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::vector<uint8_t> buf(1 << 20);
    uint64_t state = 1;
    Fill(buf.data(), buf.size(), state);
    for (uint64_t done = 0; done < bytes;) {
        size_t n = size_t(std::min<uint64_t>(buf.size(), bytes - done));
        if (::write(fd, buf.data(), n) != ssize_t(n)) {
            std::perror("write");
            std::exit(1);
        }
        done += n;
    }
    ::fsync(fd);
    ::close(fd);
    double s = Seconds(t0);
    ::unlink(path.c_str());
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto num = [&]() -> uint64_t {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(64);
            }
            return std::strtoull(argv[++i], nullptr, 10);
        };
        if (a == "--messages") o.messages = num();
        else if (a == "--body-bytes") o.bodyBytes = num();
        else if (a == "--attachment-bytes") o.attachmentBytes = num();
        else if (a == "--attachment-every") o.attachmentEvery = num();
        else if (a == "--big-attachments") o.bigAttachments = num();
        else if (a == "--big-attachment-bytes") o.bigAttachmentBytes = num();
        else if (a == "--commit-every") o.commitEvery = num();
        else if (a == "--no-encrypt") o.encrypt = false;
        else if (a == "--sources") o.sources = true;
        else if (o.out.empty() && a[0] != '-') o.out = a;
        else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 64;
        }
    }
    if (o.out.empty()) {
        std::fprintf(stderr,
                     "usage: pst_write OUT.pst --messages N [--body-bytes B] [--attachment-bytes A] "
                     "[--attachment-every K] [--big-attachments M --big-attachment-bytes S] [--commit-every C] "
                     "[--no-encrypt] [--sources]\n");
        return 64;
    }
    uint64_t withAttachment = o.attachmentEvery ? (o.messages + o.attachmentEvery - 1) / o.attachmentEvery : 0;
    uint64_t payload = o.messages * o.bodyBytes + withAttachment * o.attachmentBytes + o.bigAttachments * o.bigAttachmentBytes;

    double floor = FloorSeconds(o.out + ".floor", payload);

    auto t0 = std::chrono::steady_clock::now();
    try {
        auto session = store::CreatePstSession(store::SessionOptions{o.encrypt});
        store::Store& st = session->LogonPstStore(o.out, 1, "Bench");
        st.ValidateIPMTree();
        store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);
        // Content comes from a pre-filled pool so that generating it costs no more
        // than the floor's memcpy-free writes.
        uint64_t state = 7;
        std::vector<uint8_t> pool(1 << 20);
        Fill(pool.data(), pool.size(), state);
        size_t poolAt = 0;
        auto take = [&](uint8_t* out, size_t n) {
            while (n > 0) {
                size_t k = std::min(n, pool.size() - poolAt);
                std::memcpy(out, pool.data() + poolAt, k);
                out += k;
                n -= k;
                poolAt = (poolAt + k) % pool.size();
            }
        };
        std::string body(o.bodyBytes, 'x');
        uint64_t bigLeft = o.bigAttachments;
        uint64_t bigEvery = o.bigAttachments ? std::max<uint64_t>(1, o.messages / o.bigAttachments) : 0;
        for (uint64_t i = 0; i < o.messages; ++i) {
            if (o.sources) st.SetItemSource("Inbox/" + std::to_string(i + 1) + "-" + std::to_string(i * 7919 % 100003) + ".msg");
            auto item = inbox.AddItem(store::ItemType::Mail);
            take(reinterpret_cast<uint8_t*>(body.data()), body.size());
            item->SetProp(pst::tags::PR_SUBJECT, std::string("Message ") + std::to_string(i));
            item->SetProp(pst::tags::PR_BODY, body);
            item->SetProp(pst::tags::PR_SENDER_NAME, std::string("Sender"));
            item->SetProp(pst::tags::PR_SENDER_EMAIL_ADDRESS, std::string("sender@example.com"));
            auto& r = item->AddRecipient();
            r.SetProp(pst::tags::PR_DISPLAY_NAME, std::string("Recipient"));
            r.SetProp(pst::tags::PR_EMAIL_ADDRESS, std::string("rcpt@example.com"));
            auto attach = [&](uint64_t bytes, const std::string& name) {
                auto& a = item->AddAttachment();
                a.SetProp(pst::tags::PR_ATTACH_LONG_FILENAME, name);
                uint64_t left = bytes;
                a.SetData([&](uint8_t* buf, size_t cap) {
                    size_t n = size_t(std::min<uint64_t>(cap, left));
                    take(buf, n);
                    left -= n;
                    return n;
                });
            };
            if (o.attachmentEvery && i % o.attachmentEvery == 0 && o.attachmentBytes) attach(o.attachmentBytes, "a.bin");
            if (bigLeft && i % bigEvery == 0) {
                attach(o.bigAttachmentBytes, "big.bin");
                --bigLeft;
            }
            item->SetProp(pst::tags::PR_MESSAGE_FLAGS, int32_t(1));
            item->Save();
            if (o.commitEvery && (i + 1) % o.commitEvery == 0) st.Commit();
        }
        session->Logoff();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pst_write: %s\n", e.what());
        return 1;
    }
    double secs = Seconds(t0);
    struct stat sb {};
    ::stat(o.out.c_str(), &sb);
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    double mb = double(payload) / 1e6;
    std::printf("messages            %llu\n", (unsigned long long)o.messages);
    std::printf("payload             %.1f MB\n", mb);
    std::printf("PST size            %.1f MB (%.2f x payload)\n", double(sb.st_size) / 1e6,
                payload ? double(sb.st_size) / double(payload) : 0.0);
    std::printf("write time          %.2f s\n", secs);
    std::printf("messages/s          %.0f\n", double(o.messages) / secs);
    std::printf("payload MB/s        %.1f\n", mb / secs);
    std::printf("floor (plain write) %.2f s, %.1f MB/s\n", floor, floor > 0 ? mb / floor : 0.0);
    std::printf("speed vs floor      %.2f\n", secs > 0 ? floor / secs : 0.0);
    // Nothing of the writer grows with the messages but a few bytes each (the
    // B-trees live in the file): a conversion of a million stays under 100 MB.
    std::printf("peak RSS            %.1f MB (goal: under 100 MB, also at 1,000,000 messages)\n",
                double(ru.ru_maxrss) / 1024.0);
    return 0;
}
