#include "ConvertParallel.h"

#include "ProgressText.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "engine/SummaryJson.h"

extern char** environ;

namespace app {

namespace {

volatile std::sig_atomic_t gSignals = 0;
volatile std::sig_atomic_t gLastSignal = 0;
extern "C" void OnStopSignal(int sig) {
    gSignals = gSignals + 1;
    gLastSignal = sig;
}

using Clock = std::chrono::steady_clock;

std::string SelfPath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

struct Child {
    size_t row = 0;
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string outText, errLine;
    Clock::time_point started = Clock::now();
    // Last progress record.
    int pass = 0, index = 0, count = 0, items = 0;
    int plainTenth = -1, plainPass = 0;
};

class Runner {
public:
    Runner(const std::vector<engine::MailboxRow>& rows, const ParallelOptions& options)
        : rows_(rows), options_(options), tty_(::isatty(STDERR_FILENO) == 1 && !options.quiet) {}

    engine::RunSummary Run() {
        engine::RunSummary run;
        run.singleMode = false;
        std::vector<std::optional<engine::MailboxSummary>> results(rows_.size());
        size_t next = 0;
        bool stopping = false;
        int forwarded = 0;
        while (true) {
            while (!stopping && children_.size() < static_cast<size_t>(std::max(1, options_.jobs)) &&
                   next < rows_.size()) {
                const size_t row = next++;
                if (!rows_[row].selected) continue;
                if (!Start(row)) results[row] = Failed(row, "could not start a converting process");
            }
            if (children_.empty()) break;

            // Ctrl-C: no new mailbox starts; each running one stops after its file.
            if (gSignals > forwarded) {
                forwarded = gSignals;
                stopping = true;
                for (auto& c : children_) ::kill(c.pid, gLastSignal == SIGINT ? SIGINT : SIGTERM);
                if (forwarded == 1 && !options_.quiet)
                    Message("Stopping after the current file (Ctrl-C again to end at once)...");
            }

            std::vector<pollfd> fds;
            for (auto& c : children_) {
                if (c.out >= 0) fds.push_back({c.out, POLLIN, 0});
                if (c.err >= 0) fds.push_back({c.err, POLLIN, 0});
            }
            if (!fds.empty()) ::poll(fds.data(), fds.size(), 200);
            for (auto& c : children_) {
                Drain(c, c.out, false);
                Drain(c, c.err, true);
            }
            for (auto it = children_.begin(); it != children_.end();) {
                if (it->out >= 0 || it->err >= 0) {
                    ++it;
                    continue;
                }
                results[it->row] = Finish(*it);
                it = children_.erase(it);
            }
            Redraw(false);
        }
        ClearBars();

        for (size_t row = 0; row < rows_.size(); ++row) {
            if (!rows_[row].selected) continue;
            if (results[row]) {
                run.mailboxes.push_back(*results[row]);
                continue;
            }
            engine::MailboxSummary notStarted;
            notStarted.name = rows_[row].name;
            notStarted.folder = rows_[row].folder;
            notStarted.notStarted = true;
            run.mailboxes.push_back(notStarted);
        }
        run.stopped = stopping;
        engine::MigrationEngine::CompletionText(run, run.completionTitle, run.completionText);
        return run;
    }

private:
    bool Start(size_t row) {
        const std::string self = SelfPath();
        int outPipe[2], errPipe[2];
        if (self.empty() || ::pipe2(outPipe, O_CLOEXEC) != 0) return false;
        if (::pipe2(errPipe, O_CLOEXEC) != 0) {
            ::close(outPipe[0]), ::close(outPipe[1]);
            return false;
        }
        std::vector<std::string> argv = {self,        "convert", "--multiple", "--worker", rows_[row].name,
                                         rows_[row].folder, "--out", options_.outDir, "--json"};
        for (const auto& part : rows_[row].archives) argv.insert(argv.end(), {"--worker-part", part});
        if (options_.quiet) argv.push_back("--quiet");
        argv.insert(argv.end(), options_.childArgs.begin(), options_.childArgs.end());
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);

        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
        // Its own process group: a terminal's Ctrl-C reaches this process only,
        // which passes exactly one stop on to each child.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setpgroup(&attr, 0);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGHUP);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
        Child c;
        c.row = row;
        const int rc = ::posix_spawn(&c.pid, self.c_str(), &fa, &attr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        if (rc != 0) {
            ::close(outPipe[0]), ::close(errPipe[0]);
            return false;
        }
        c.out = outPipe[0];
        c.err = errPipe[0];
        ::fcntl(c.out, F_SETFL, O_NONBLOCK);
        ::fcntl(c.err, F_SETFL, O_NONBLOCK);
        children_.push_back(std::move(c));
        return true;
    }

    void Drain(Child& c, int& fd, bool isErr) {
        if (fd < 0) return;
        char buf[8192];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                if (!isErr) {
                    c.outText.append(buf, static_cast<size_t>(n));
                    continue;
                }
                c.errLine.append(buf, static_cast<size_t>(n));
                size_t nl;
                while ((nl = c.errLine.find('\n')) != std::string::npos) {
                    Line(c, c.errLine.substr(0, nl));
                    c.errLine.erase(0, nl + 1);
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            // End of the stream.
            if (isErr && !c.errLine.empty()) Line(c, c.errLine), c.errLine.clear();
            ::close(fd);
            fd = -1;
            return;
        }
    }

    void Line(Child& c, const std::string& line) {
        int pass, index, count, items;
        if (std::sscanf(line.c_str(), "@progress %d %d %d %d", &pass, &index, &count, &items) == 4) {
            c.pass = pass, c.index = index, c.count = count, c.items = items;
            if (tty_ || options_.quiet || count <= 0) return;
            // Without a terminal: the lines of a sequential run, every tenth.
            const int tenth = index * 10 / count;
            if (pass != c.plainPass) c.plainTenth = -1;
            c.plainPass = pass;
            if (tenth == c.plainTenth) return;
            c.plainTenth = tenth;
            char text[160];
            std::snprintf(text, sizeof text, ": %s %d of %d file(s), %d item(s) saved",
                          pass == 1 ? "pass I" : "pass II", index, count, items);
            Message(rows_[c.row].name + text);
            return;
        }
        Message(line);
    }

    engine::MailboxSummary Failed(size_t row, const std::string& why) {
        engine::MailboxSummary m;
        m.name = rows_[row].name;
        m.folder = rows_[row].folder;
        m.closed = true;
        m.storeError = why;
        Message("orvandel convert: " + m.name + ": " + why);
        return m;
    }

    engine::MailboxSummary Finish(Child& c) {
        int status = 0;
        while (::waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
        }
        std::string error;
        auto doc = engine::SummaryFromJson(c.outText, error);
        if (doc && doc->mailboxes.size() == 1) return doc->mailboxes[0];
        if (WIFSIGNALED(status))
            return Failed(c.row, "the converting process ended by signal " + std::to_string(WTERMSIG(status)) +
                                     " (" + strsignal(WTERMSIG(status)) + ")");
        return Failed(c.row, "the converting process ended with status " +
                                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " and no summary");
    }

    // A line of text above the progress lines.
    void Message(const std::string& text) {
        ClearBars();
        std::fprintf(stderr, "%s\n", text.c_str());
        Redraw(true);
    }

    void ClearBars() {
        if (!tty_ || drawn_ == 0) return;
        std::fprintf(stderr, "\x1b[%dA\r\x1b[J", drawn_);
        drawn_ = 0;
    }

    void Redraw(bool now) {
        if (!tty_) return;
        const auto t = Clock::now();
        if (!now && t - lastDraw_ < std::chrono::milliseconds(100)) return;
        lastDraw_ = t;
        std::string block;
        if (drawn_ > 0) block += "\x1b[" + std::to_string(drawn_) + "A\r";
        int lines = 0;
        for (const auto& c : children_) {
            char text[512];
            const double elapsed = std::chrono::duration<double>(t - c.started).count();
            const double fraction = c.count > 0 ? static_cast<double>(c.index) / c.count : 0;
            const int width = 24;
            std::string bar(static_cast<size_t>(fraction * width), '#');
            bar.resize(static_cast<size_t>(width), '-');
            const double rate = elapsed > 0 ? c.items / elapsed : 0;
            const double left = c.index > 0 ? elapsed * (c.count - c.index) / c.index : -1;
            std::snprintf(text, sizeof text, "%s pass %-2s [%s] %3d%% %d/%d files %.1f items/s %s left",
                          rows_[c.row].name.c_str(), c.pass == 2 ? "II" : "I", bar.c_str(),
                          static_cast<int>(fraction * 100), c.index, c.count, rate, app::Duration(left).c_str());
            block += std::string(text) + "\x1b[K\n";
            ++lines;
        }
        // Lines of children that ended are cleared.
        for (int i = lines; i < drawn_; ++i) block += "\x1b[K\n";
        if (drawn_ > lines) block += "\x1b[" + std::to_string(drawn_ - lines) + "A";
        drawn_ = lines;
        std::fputs(block.c_str(), stderr);
        std::fflush(stderr);
    }

    const std::vector<engine::MailboxRow>& rows_;
    const ParallelOptions& options_;
    const bool tty_;
    std::vector<Child> children_;
    int drawn_ = 0;
    Clock::time_point lastDraw_{};
};

}  // namespace

engine::RunSummary ConvertInParallel(const std::vector<engine::MailboxRow>& rows, const ParallelOptions& options) {
    gSignals = 0;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    // SIGHUP (a closed terminal or session) stops the run like SIGTERM.
    struct sigaction oldInt {}, oldTerm {}, oldHup {};
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);
    sigaction(SIGHUP, &sa, &oldHup);
    engine::RunSummary run = Runner(rows, options).Run();
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);
    return run;
}

int AvailableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

std::string ProgressRecord(int pass, int index, int count, int itemsSaved) {
    return "@progress " + std::to_string(pass) + " " + std::to_string(index) + " " + std::to_string(count) + " " +
           std::to_string(itemsSaved);
}

}  // namespace app
