// Adds messages to an existing PST (made by pst_write, of any size) and to a
// new one, and prints both times, their ratio beside the goal (adding within
// 1.3x of writing the same items to a new file), the share of the open (its
// checks included) and of the first item, which reads what the folder's table
// needs, and the peak memory of adding.
//
//   pst_append BASE.pst --messages M [--body-bytes B]
// BASE is copied first (not timed) and left as it was.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "pst/ndb/NodeDb.h"
#include "pst/verify/Verifier.h"
#include "store/PstStoreSession.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Bytes this process has read through read(2)/pread(2) so far (rchar).
long long BytesRead() {
    long long n = -1;
    if (FILE* f = std::fopen("/proc/self/io", "r")) {
        char key[64];
        long long v = 0;
        while (std::fscanf(f, "%63s %lld", key, &v) == 2)
            if (std::string(key) == "rchar:") n = v;
        std::fclose(f);
    }
    return n;
}

long PeakRssMb() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

// Opens (or creates) `path`, adds `count` messages, logs off; returns the
// seconds the logon and folder lookup took through `openSeconds`, and those
// of the first item through `firstSeconds`.
double AddMessages(const std::string& path, uint64_t count, size_t bodyBytes, double& openSeconds,
                   double& firstSeconds) {
    auto t0 = std::chrono::steady_clock::now();
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Bench");
    st.ValidateIPMTree();
    store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);
    openSeconds = Seconds(t0);
    std::string body(bodyBytes, 'x');
    for (uint64_t i = 0; i < count; ++i) {
        for (size_t k = 0; k < body.size(); k += 61) body[k] = char('a' + (i + k) % 26);
        auto item = inbox.AddItem(store::ItemType::Mail);
        item->SetProp(pst::tags::PR_SUBJECT, "added " + std::to_string(i));
        item->SetProp(pst::tags::PR_BODY, body);
        item->Save();
        if (i == 0) firstSeconds = Seconds(t0) - openSeconds;
    }
    session->Logoff();
    return Seconds(t0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pst_append BASE.pst --messages M [--body-bytes B]\n");
        return 2;
    }
    std::string base = argv[1];
    uint64_t messages = 1000;
    size_t bodyBytes = 2000;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--messages") messages = std::strtoull(argv[i + 1], nullptr, 10);
        else if (a == "--body-bytes") bodyBytes = std::strtoull(argv[i + 1], nullptr, 10);
    }
    namespace fs = std::filesystem;
    const std::string work = base + ".append-bench.pst", fresh = base + ".new-bench.pst";
    fs::remove(work);
    fs::remove(fresh);
    fs::copy_file(base, work);
    // The copy's bytes reach the disk first: the fsyncs of adding would
    // otherwise write back the whole copy and time the copy, not the adding.
    if (int fd = ::open(work.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    const double baseMb = double(fs::file_size(base)) / 1e6;

    double openAppend = 0, openNew = 0, firstAppend = 0, firstNew = 0;
    double append = 0, fresh_ = 0;
    try {
        // Adding first: the peak memory is the adding's, not a verification's of the whole file.
        append = AddMessages(work, messages, bodyBytes, openAppend, firstAppend);
        const long rssAppend = PeakRssMb();
        fresh_ = AddMessages(fresh, messages, bodyBytes, openNew, firstNew);
        // The node database's own open (header, B-tree roots, free-space maps)
        // and a lookup of every folder-sized node: what does not grow with the file.
        auto n0 = std::chrono::steady_clock::now();
        const long long read0 = BytesRead();
        {
            pst::ndb::NodeDb db(work, pst::ndb::NodeDb::Existing{});
            for (uint32_t index = 0x400; index < 0x420; ++index) db.FindNode(index << 5 | 2);
            db.Abandon();
        }
        const double nodeDbSeconds = Seconds(n0);
        const long long nodeDbRead = BytesRead() - read0;
        std::printf("base file          %10.1f MB\n", baseMb);
        std::printf("add %llu messages to it  %8.3f s (open %.3f s, first item %.3f s)\n",
                    static_cast<unsigned long long>(messages), append, openAppend, firstAppend);
        std::printf("opening its node database %5.3f s, %lld KB read (header, free-space maps, the B-tree pages lookups need)\n",
                    nodeDbSeconds, nodeDbRead / 1024);
        std::printf("same to a new file %8.3f s (open %.3f s, first item %.3f s)\n", fresh_, openNew, firstNew);
        std::printf("ratio              %8.2f   (goal: at most 1.30)\n", fresh_ > 0 ? append / fresh_ : 0.0);
        std::printf("peak RSS           %8ld MB after adding\n", rssAppend);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pst_append: %s\n", e.what());
        return 1;
    }
    const bool clean = pst::verify::VerifyFile(work).faults.empty();
    std::printf("added file verifies: %s\n", clean ? "yes" : "NO");
    fs::remove(work);
    fs::remove(fresh);
    return clean ? 0 : 1;
}
