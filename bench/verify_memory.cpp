// Verifies PSTs (made by pst_write, say) each in a child process of its own and
// prints the verifier's time, throughput and peak memory beside the goals: a
// peak under 200 MB whatever the file's size, and a time linear in the size
// (the MB/s of a large file no lower than a small one's).
//
//   verify_memory FILE.pst [FILE.pst...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "pst/verify/Verifier.h"

namespace {

constexpr double kPeakGoalMb = 200;

struct Result {
    int outcome = -1;
    size_t faults = 0, blocks = 0, nodes = 0, messages = 0;
    unsigned long long bytes = 0;
    double seconds = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: verify_memory FILE.pst [FILE.pst...]\n");
        return 64;
    }
    std::printf("%-28s %10s %9s %9s %8s %8s %10s %12s  %s\n", "file", "MB", "blocks", "messages", "faults", "s",
                "MB/s", "peak RSS MB", "goal");
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        int fds[2];
        if (::pipe(fds) != 0) {
            std::perror("pipe");
            return 1;
        }
        const pid_t child = ::fork();
        if (child < 0) {
            std::perror("fork");
            return 1;
        }
        if (child == 0) {
            ::close(fds[0]);
            const auto t0 = std::chrono::steady_clock::now();
            const pst::verify::Report r = pst::verify::VerifyFile(argv[i]);
            Result out;
            out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            out.outcome = int(r.outcome);
            out.faults = r.FaultCount();
            out.blocks = r.blocks;
            out.nodes = r.nodes;
            out.messages = r.messages;
            out.bytes = r.fileSize;
            if (::write(fds[1], &out, sizeof out) != ssize_t(sizeof out)) _exit(1);
            _exit(0);
        }
        ::close(fds[1]);
        Result res;
        const bool got = ::read(fds[0], &res, sizeof res) == ssize_t(sizeof res);
        ::close(fds[0]);
        int wstatus = 0;
        struct rusage ru {};
        ::wait4(child, &wstatus, 0, &ru);
        if (!got) {
            std::printf("%-28s verifier process failed\n", argv[i]);
            status = 1;
            continue;
        }
        const double mb = double(res.bytes) / 1e6;
        const double peak = double(ru.ru_maxrss) / 1024.0;
        std::string name = argv[i];
        if (name.size() > 28) name = "..." + name.substr(name.size() - 25);
        std::printf("%-28s %10.1f %9zu %9zu %8zu %8.2f %10.1f %12.1f  %s (< %.0f MB)\n", name.c_str(), mb, res.blocks,
                    res.messages, res.faults, res.seconds, res.seconds > 0 ? mb / res.seconds : 0.0, peak,
                    peak < kPeakGoalMb ? "met" : "MISSED", kPeakGoalMb);
        if (res.outcome == int(pst::verify::Outcome::Unreadable)) status = 1;
    }
    return status;
}
