// orvandel list FOLDER: shows the files of a mailbox folder in the order the
// conversion takes them (depth first, files before subfolders, names in byte order).
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "files/FileApi.h"
#include "files/MailboxFileQueue.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvandel list FOLDER [--keys] [--pattern PATTERN]\n\n"
                 "Lists every file below FOLDER, one full path a line, in conversion order,\n"
                 "then the number of files. Symbolic links to folders are not entered.\n\n"
                 "  --keys             prefix each line with its queue key (K1, K2, ...)\n"
                 "  --pattern PATTERN  list only files whose name matches (default *.*)\n");
}

int RunList(const std::vector<std::string>& args) {
    std::string folder;
    std::string pattern = "*.*";
    bool keys = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (a == "--keys") {
            keys = true;
        } else if (a == "--pattern" && i + 1 < args.size()) {
            pattern = args[++i];
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            std::fprintf(stderr, "orvandel list: unknown option '%s'\n", a.c_str());
            PrintUsage(stderr);
            return 2;
        } else if (folder.empty()) {
            folder = a;
        } else {
            std::fprintf(stderr, "orvandel list: only one FOLDER may be given\n");
            return 2;
        }
    }
    if (folder.empty()) {
        PrintUsage(stderr);
        return 2;
    }
    if (!files::FolderExists(folder)) {
        std::fprintf(stderr, "orvandel list: '%s' is not a folder\n", folder.c_str());
        return 1;
    }

    files::FileQueue& queue = files::MailboxFileQueue();
    queue.Clear();
    files::QueueCounter counter = 1;
    files::QueueMailboxFilesLong(folder, pattern, counter, nullptr);
    for (const auto& entry : queue) {
        if (keys) std::printf("%s\t", entry.key.c_str());
        std::fwrite(entry.item.data(), 1, entry.item.size(), stdout);
        std::fputc('\n', stdout);
    }
    const int count = counter - 1;
    std::printf("%d %s in %s\n", count, count == 1 ? "file" : "files", folder.c_str());
    queue.Clear();
    return 0;
}

const app::CommandRegistration kList{app::Command{
    "list", "list FOLDER", "list a mailbox folder's files in conversion order, with the count", RunList}};

}  // namespace
