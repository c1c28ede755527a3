// Converting many mailboxes: a generated export of 2 mailboxes x COUNT messages
// (default 20,000) converted by `orvandel convert --multiple` with -j 1 and -j 2,
// and the same export packed as .tgz files, converted directly and extracted
// before converting.
// Prints wall time and the peak memory of the whole run (the sum of the
// proportional set sizes of the processes alive at the same moment, so pages of
// shared libraries count once), beside the goals:
// -j 2 at least 1.7 times faster than -j 1 on two equal mailboxes (on 2 cores),
// -j 2's peak memory under twice the single mailbox's, and the archives converted
// directly in at most 1.15 times the folders' time and faster than extracting them.
//
//   convert_scale [COUNT] [--keep DIR]
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string Message(int mailbox, int i) {
    char head[512];
    std::snprintf(head, sizeof head,
                  "From: Sender %d <sender%d@example.com>\r\nTo: User %d <user%d@example.com>\r\n"
                  "Subject: Message %d of mailbox %d\r\nDate: Mon, 7 Dec 2026 09:%02d:00 +0000\r\n"
                  "Message-ID: <m%d.%d@example.com>\r\nMIME-Version: 1.0\r\n"
                  "Content-Type: text/plain; charset=utf-8\r\n\r\n",
                  i % 50, i % 50, mailbox, mailbox, i, mailbox, i % 60, mailbox, i);
    std::string body = head;
    for (int line = 0; line < 20; ++line)
        body += "Line " + std::to_string(line) + " of a message body that reads like ordinary mail text.\r\n";
    return body;
}

// A mailbox of `count` messages in 4 folders, spilled every 500 as the server does.
void MakeMailbox(const fs::path& box, int mailbox, int count) {
    fs::create_directories(box);
    // The root folder's own .meta, as the server writes it (an empty one is logged as damaged).
    std::ofstream(box / "0000000011-ROOT.meta")
        << R"({"id":11,"type":1,"name":"ROOT","Path":"/","metadata":"d1:ai3ee"})";
    const char* folders[] = {"Inbox", "Sent", "Archive", "Inbox/Projects"};
    for (int i = 0; i < count; ++i) {
        const std::string folder = folders[i % 4];
        const int batch = (i / 4) / 500;
        const fs::path dir = box / (batch ? folder + "!" + std::to_string(batch) : folder);
        if (i < 4 || (i / 4) % 500 == 0) fs::create_directories(dir);
        char name[64];
        std::snprintf(name, sizeof name, "%010d-Message %d.eml", 1000 + i, i);
        std::ofstream(dir / name, std::ios::binary) << Message(mailbox, i);
        std::ofstream(dir / (std::string(name) + ".meta"), std::ios::binary) << "{}";
    }
}

pid_t Spawn(const std::vector<std::string>& argv) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", 01, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", 01, 0);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0].c_str(), &fa, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Memory of `root` and every process below it, in kB: the sum of their
// proportional set sizes (their resident size when that is not available).
long TreeRssKb(pid_t root) {
    std::map<pid_t, std::pair<pid_t, long>> procs;  // pid -> (parent, rss)
    DIR* d = opendir("/proc");
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        const pid_t pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        std::ifstream status("/proc/" + std::string(e->d_name) + "/status");
        pid_t parent = 0;
        long rss = 0;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("PPid:", 0) == 0) parent = std::atoi(line.c_str() + 5);
            if (line.rfind("VmRSS:", 0) == 0) rss = std::atol(line.c_str() + 6);
        }
        // Shared library pages count once across the processes (proportional set size).
        std::ifstream rollup("/proc/" + std::string(e->d_name) + "/smaps_rollup");
        for (std::string line; std::getline(rollup, line);)
            if (line.rfind("Pss:", 0) == 0) rss = std::atol(line.c_str() + 4);
        procs[pid] = {parent, rss};
    }
    closedir(d);
    long total = 0;
    for (auto& [pid, info] : procs) {
        for (pid_t p = pid; p > 1;) {
            if (p == root) {
                total += info.second;
                break;
            }
            auto it = procs.find(p);
            if (it == procs.end()) break;
            p = it->second.first;
        }
    }
    return total;
}

// The same sum over the tree found through /proc/PID/task/TID/children, which
// reads a handful of files instead of every process's: the sampling must not
// take the processor from the runs it measures. False where the kernel has no
// such files.
bool TreePssKb(pid_t root, long& total) {
    std::vector<pid_t> todo = {root};
    total = 0;
    while (!todo.empty()) {
        const pid_t pid = todo.back();
        todo.pop_back();
        const std::string proc = "/proc/" + std::to_string(pid);
        std::ifstream rollup(proc + "/smaps_rollup");
        for (std::string line; std::getline(rollup, line);)
            if (line.rfind("Pss:", 0) == 0) total += std::atol(line.c_str() + 4);
        DIR* tasks = opendir((proc + "/task").c_str());
        if (!tasks) continue;
        while (dirent* t = readdir(tasks)) {
            if (t->d_name[0] == '.') continue;
            std::ifstream children(proc + "/task/" + t->d_name + "/children");
            if (!children) {
                closedir(tasks);
                return pid != root;
            }
            for (pid_t child; children >> child;) todo.push_back(child);
        }
        closedir(tasks);
    }
    return true;
}

// The 1, 5 and 15 minute load averages ("" where there are none).
std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one.empty() ? std::string("unknown") : one + " " + five + " " + fifteen;
}

struct Figures {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system of the whole tree
    long peakKb = 0;
    int status = -1;
};

Figures Run(const std::vector<std::string>& argv) {
    Figures f;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = Spawn(argv);
    if (pid < 0) return f;
    int st = 0;
    rusage usage{};
    while (wait4(pid, &st, WNOHANG, &usage) == 0) {
        long kb = 0;
        if (!TreePssKb(pid, kb)) kb = TreeRssKb(pid);
        f.peakKb = std::max(f.peakKb, kb);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The child's own time and that of the processes it waited for (the -j workers).
    f.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    f.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return f;
}

void Print(const char* what, const Figures& f) {
    std::printf("  %-40s %7.2f s  CPU %7.2f s (%.2f cores)  %6.1f MB peak  (exit %d)\n", what, f.seconds,
                f.cpuSeconds, f.seconds > 0 ? f.cpuSeconds / f.seconds : 0, f.peakKb / 1024.0, f.status);
}

}  // namespace

int main(int argc, char** argv) {
    int count = 20000;
    std::string keep;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--keep" && i + 1 < argc) keep = argv[++i];
        else count = std::max(1, std::atoi(a.c_str()));
    }
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 2;
    const fs::path bin = fs::path(std::string(self, static_cast<size_t>(n))).parent_path().parent_path() / "orvandel";
    if (!fs::exists(bin)) {
        std::fprintf(stderr, "convert_scale: %s not found (build the orvandel target)\n", bin.c_str());
        return 2;
    }
    const fs::path dir = keep.empty() ? fs::temp_directory_path() / ("convert_scale." + std::to_string(getpid()))
                                      : fs::path(keep);
    fs::remove_all(dir);
    fs::create_directories(dir / "export");
    std::printf("convert_scale: 2 mailboxes x %d messages, %u processor(s), load average %s\n", count,
                std::thread::hardware_concurrency(), LoadAverage().c_str());
    for (int m = 1; m <= 2; ++m) MakeMailbox(dir / "export" / ("user" + std::to_string(m)), m, count);
    fs::create_directories(dir / "archives");
    for (int m = 1; m <= 2; ++m) {
        const std::string name = "user" + std::to_string(m);
        // Sorted, so that an item's ".meta" and its content are neighbours, as the server writes them.
        const std::string cmd = "tar --sort=name -czf '" + (dir / "archives" / (name + ".tgz")).string() + "' -C '" +
                                (dir / "export" / name).string() + "' .";
        if (std::system(cmd.c_str()) != 0) return 2;
    }

    auto out = [&](const std::string& name) {
        fs::remove_all(dir / name);
        fs::create_directories(dir / name);
        return (dir / name).string();
    };
    const std::string b = bin.string(), root = (dir / "export").string();
    std::printf("\n");
    const Figures one = Run({b, "convert", "--multiple", root, "--mailbox", "user1", "--out", out("o1"), "--quiet"});
    Print("one mailbox", one);
    const Figures j1 = Run({b, "convert", "--multiple", root, "--out", out("j1"), "-j", "1", "--quiet"});
    Print("two mailboxes, -j 1", j1);
    const Figures j2 = Run({b, "convert", "--multiple", root, "--out", out("j2"), "-j", "2", "--quiet"});
    Print("two mailboxes, -j 2", j2);

    // The route users take today: extract each archive, then convert the folders.
    const auto start = std::chrono::steady_clock::now();
    fs::create_directories(dir / "extracted");
    for (int m = 1; m <= 2; ++m) {
        const std::string name = "user" + std::to_string(m);
        fs::create_directories(dir / "extracted" / name);
        const std::string cmd = "tar -xzf '" + (dir / "archives" / (name + ".tgz")).string() + "' -C '" +
                                (dir / "extracted" / name).string() + "'";
        if (std::system(cmd.c_str()) != 0) return 2;
    }
    const double extractSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Figures ex = Run({b, "convert", "--multiple", (dir / "extracted").string(), "--out", out("ex"), "-j", "1", "--quiet"});
    ex.seconds += extractSeconds;
    Print("extract the .tgz files, then -j 1", ex);

    const Figures direct =
        Run({b, "convert", "--multiple", (dir / "archives").string(), "--out", out("ad"), "-j", "1", "--quiet"});
    Print("convert the .tgz files directly, -j 1", direct);

    const double speedup = j2.seconds > 0 ? j1.seconds / j2.seconds : 0;
    std::printf("\n  archive direct vs folder: %.2fx the time (goal: <= 1.15x), %.2fx the CPU (one pass over the "
                "compressed data: goal <= 1.05x), vs extract-then-convert: %.2fx the time (goal: < 1.00x)\n",
                j1.seconds > 0 ? direct.seconds / j1.seconds : 0,
                j1.cpuSeconds > 0 ? direct.cpuSeconds / j1.cpuSeconds : 0,
                ex.seconds > 0 ? direct.seconds / ex.seconds : 0);
    std::printf("  -j 2 vs -j 1: %.2fx faster (goal on 2 cores: >= 1.70x); CPU %.2fx -j 1's\n", speedup,
                j1.cpuSeconds > 0 ? j2.cpuSeconds / j1.cpuSeconds : 0);
    std::printf("  -j 2 peak memory: %.2fx one mailbox's (goal: < 2.00x)\n",
                one.peakKb > 0 ? static_cast<double>(j2.peakKb) / one.peakKb : 0);
    std::printf("  extract-then-convert: %.2f s of extraction, %.0f%% of the run\n", extractSeconds,
                ex.seconds > 0 ? 100 * extractSeconds / ex.seconds : 0);
    // Other work on the machine makes the times loose: said beside them.
    std::printf("  load average at the end: %s\n", LoadAverage().c_str());
    if (keep.empty()) fs::remove_all(dir);
    return 0;
}
