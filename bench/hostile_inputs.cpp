// Times the readers of untrusted export files on inputs built to make a
// careless parser quadratic: many tag names, many group members, a long run of
// leading dots in a file name, thousands of companion parts of one name, and a
// message with tens of thousands of recipients. Each shape is run at two sizes;
// a ratio near the size ratio (4) means linear time, near 16 quadratic.
//
//   hostile_inputs [--scale N]     (N multiplies every size, default 1)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "items/Companion.h"
#include "items/GlobalObjectId.h"
#include "items/ItemText.h"
#include "items/MetaValue.h"
#include "items/TempFiles.h"
#include "items/ZimbraTime.h"
#include "items/ZimbraConverters.h"
#include "items/ZimbraMetaReader.h"
#include "mime/MimeImport.h"
#include "store/PstStoreSession.h"

namespace {

double Seconds(const std::function<void()>& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string WriteTemp(const std::string& dir, const std::string& name, const std::string& bytes) {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string TagNames(size_t n) {
    std::string s;
    for (size_t k = 0; k < n; ++k) s += "t" + std::to_string(k) + ":";
    return s;
}

std::string Members(size_t n) {
    std::string s;
    for (size_t k = 0; k < n; ++k) s += "\"Member, No " + std::to_string(k) + "\" <u" + std::to_string(k) + "@example.com>, ";
    return s;
}

std::string PartsOfOneName(size_t n) {
    std::string msg = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (size_t k = 0; k < n; ++k)
        msg += "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=a.txt\r\n\r\n" +
               std::to_string(k) + "\r\n";
    return msg + "--b--\r\n";
}

std::string ManyRecipients(size_t n) {
    std::string to = "To: ";
    for (size_t k = 0; k < n; ++k) to += (k ? ",\r\n " : "") + std::string("\"Person ") + std::to_string(k) + "\" <p" + std::to_string(k) + "@example.com>";
    return "From: a@example.com\r\n" + to + "\r\nSubject: crowd\r\n\r\nbody\r\n";
}

}  // namespace

int main(int argc, char** argv) {
    size_t scale = 1;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--scale") scale = std::max<long>(1, std::atol(argv[i + 1]));
    char pattern[] = "/tmp/orvandel-hostile-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(dir + "/bench.pst", 1, "Bench");
    st.ValidateIPMTree();
    store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);

    struct Shape {
        const char* name;
        size_t size;
        std::function<void(size_t)> run;
    };
    const Shape shapes[] = {
        {"tag names", 50000, [](size_t n) { (void)items::SplitTagNames(TagNames(n)); }},
        {"group members", 25000, [](size_t n) { (void)items::ParseGroupMembers(Members(n)); }},
        {"leading dots of a file name", 200000,
         [](size_t n) { (void)items::SanitizeFileName(std::string(n, '.') + "x.txt"); }},
        {"companion parts of one name", 1500,
         [&](size_t n) {
             const std::string path = WriteTemp(dir, "companion.eml", PartsOfOneName(n));
             items::CompanionContent content = items::ReadCompanion(path);  // its folder goes with it
         }},
        {"recipients of one message", 5000,
         [&](size_t n) {
             const std::string path = WriteTemp(dir, "crowd.eml", ManyRecipients(n));
             auto item = inbox.AddItem(store::ItemType::Mail);
             (void)mime::ImportMessage(*item, path);
         }},
    };
    std::printf("%-30s %10s %10s %10s %10s %7s\n", "shape", "n", "seconds", "4n", "seconds", "ratio");
    for (const Shape& s : shapes) {
        const size_t n = s.size * scale;
        const double small = Seconds([&] { s.run(n); });
        const double large = Seconds([&] { s.run(4 * n); });
        std::printf("%-30s %10zu %10.3f %10zu %10.3f %7.1f\n", s.name, n, small, 4 * n, large,
                    small > 0 ? large / small : 0.0);
    }
    session->Logoff();
    std::filesystem::remove_all(dir);
    return 0;
}
