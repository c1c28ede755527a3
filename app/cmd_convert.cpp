// orvandel convert SOURCE [options]: converts one mailbox folder, or every
// mailbox below a root folder, into PST files with the migration engine, the
// terminal taking the place of the migration window.
//
// Exit status: 0 everything converted, 1 something was not (a failed item,
// named in the log, or a run stopped early), 2 usage error or a mailbox whose
// PST could not be created.
#ifdef HAVE_ORVANDEL_ENGINE

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "JsonText.h"
#include "engine/MigrationEngine.h"
#include "files/FileApi.h"
#include "files/Paths.h"
#include "items/ItemConverters.h"
#include "mime/MimeImport.h"
#include "store/PstStoreSession.h"

namespace {

using app::JsonString;

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) { gInterrupted = 1; }

const char* const kUsage =
    "Usage: orvandel convert SOURCE [options]\n"
    "\n"
    "Converts an extracted Zimbra mailbox export into a PST file (and a .log file\n"
    "beside it naming every file that could not be converted).\n"
    "\n"
    "  SOURCE               the mailbox folder; with --multiple, the root folder whose\n"
    "                       immediate subfolders are the mailboxes\n"
    "  --pst FILE           single mode: the PST to write (default: the mailbox name\n"
    "                       and the start time, e.g. 'jdoe7.12.26 9.5.03.pst', in the\n"
    "                       current folder)\n"
    "  --multiple           convert every mailbox below SOURCE, one PST each\n"
    "  --mailbox NAME       with --multiple: convert only this mailbox (repeatable)\n"
    "  --out DIR            with --multiple: the folder for the PST and log files\n"
    "                       (default: the current folder)\n"
    "  --delete-source      delete each source file once its item is safely in the PST\n"
    "  --quiet              print nothing but errors\n"
    "  --json               print the summary as one JSON document\n"
    "  --commit-every N     commit the PST after every N items (default: 2000, or as\n"
    "                       many as the PST held at the last commit when that is\n"
    "                       more; it is also committed every 30 seconds)\n"
    "\n"
    "Ctrl-C stops after the current file and leaves a complete PST; a second\n"
    "Ctrl-C ends the program at once.\n"
    "\n"
    "Exit status: 0 everything converted, 1 some item failed (see the log) or the\n"
    "run was stopped, 2 usage error or a PST that could not be created.\n";

std::string Plain(std::string text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

std::string Duration(double seconds) {
    if (!(seconds >= 0) || seconds > 99 * 3600) return "--:--";
    const long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string StatusOf(const engine::MailboxSummary& m) {
    if (m.notStarted) return "not started";
    if (m.empty) return "empty";
    if (m.cancelled) return "no pst";
    if (m.storeFailed) return "store error";
    if (m.stopped) return "stopped";
    if (m.closed) return "interrupted";
    if (m.skipped) return "skipped";
    if (m.messagesFailed > 0 || m.itemsFailed > 0 || !m.storeError.empty()) return "converted with failures";
    return "converted";
}

// The terminal as the migration window.
class TerminalView : public engine::MigrationView {
public:
    engine::MigrationSettings settings;
    std::optional<std::string> pstPath;  // single mode: --pst
    bool deleteSource = false;
    bool quiet = false;
    bool json = false;
    engine::MigrationEngine* engine = nullptr;
    std::string completionText;

    TerminalView() : tty_(::isatty(STDERR_FILENO) == 1) {}

    engine::MigrationSettings ReadSettings() override { return settings; }
    void SetLabel(engine::Label, const std::string&) override {}
    void SetProgressRange(int, int) override {}
    void SetProgress(float) override {}
    void SetButtonEnabled(engine::Button, bool) override {}
    void SetButtonVisible(engine::Button, bool) override {}
    bool DeleteSourceChecked() override { return deleteSource; }

    // Questions arise only from Ctrl-C (the stop button of the terminal).
    bool AskYesNo(const std::string&, const std::string&) override { return stopAsked_; }

    void ShowMessage(const std::string& title, const std::string& text, engine::MessageIcon) override {
        if (title == "Outlook Error") {
            EndBar();
            std::fprintf(stderr, "orvandel convert: %s\n", Plain(text).c_str());
            return;
        }
        completionText = Plain(text);
    }

    std::optional<std::string> AskSavePath(const std::string&, const std::string& proposedName) override {
        if (pstPath) return pstPath;
        std::error_code ec;
        const auto cwd = std::filesystem::current_path(ec);
        return (ec ? std::string(".") : cwd.string()) + files::kPathSeparator + proposedName;
    }

    void MarkRow(int, unsigned, bool) override {}
    void Unload() override { unloaded_ = true; }
    bool IsUnloaded() const override { return unloaded_; }

    void Yield() override { CheckInterrupt(); }

    void OnMailboxStarted(const std::string& name, const std::string& pst, int files) override {
        name_ = name;
        started_ = std::chrono::steady_clock::now();
        lastDraw_ = {};
        lastPlainTenth_ = -1;
        if (quiet) return;
        if (!tty_)
            std::fprintf(stderr, "%s: converting %d file(s) into %s\n", name.c_str(), files, pst.c_str());
    }

    void OnFileProgress(const engine::FileProgress& p) override {
        CheckInterrupt();
        if (quiet || p.count <= 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (tty_) {
            if (p.index != p.count && now - lastDraw_ < std::chrono::milliseconds(100)) return;
            lastDraw_ = now;
            DrawBar(p, now);
        } else {
            const int tenth = p.index * 10 / p.count;
            if (p.pass != lastPass_) lastPlainTenth_ = -1;
            lastPass_ = p.pass;
            if (tenth == lastPlainTenth_) return;
            lastPlainTenth_ = tenth;
            std::fprintf(stderr, "%s: %s %d of %d file(s), %d item(s) saved\n", p.mailbox.c_str(),
                         p.pass == 1 ? "pass I" : "pass II", p.index, p.count, p.itemsSaved);
        }
    }

    void OnMailboxFinished(const engine::MailboxSummary& m) override {
        EndBar();
        if (quiet || m.storeFailed) return;
        std::fprintf(stderr, "%s: %s, %d message(s) imported, %d failed\n", m.name.c_str(), StatusOf(m).c_str(),
                     m.messagesImported, m.messagesFailed);
    }

    bool Interrupted() const { return stopAsked_; }

private:
    void CheckInterrupt() {
        if (!gInterrupted || stopAsked_) return;
        stopAsked_ = true;
        // A second Ctrl-C ends the program at once.
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        EndBar();
        if (!quiet) std::fprintf(stderr, "Stopping after the current file (Ctrl-C again to end at once)...\n");
        if (engine) engine->CmdStopMigration_Click();
    }

    void DrawBar(const engine::FileProgress& p, std::chrono::steady_clock::time_point now) {
        const double elapsed = std::chrono::duration<double>(now - started_).count();
        const double fraction = static_cast<double>(p.index) / p.count;
        const int width = 24;
        const int filled = static_cast<int>(fraction * width);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(static_cast<size_t>(width), '-');
        const double rate = elapsed > 0 ? p.itemsSaved / elapsed : 0;
        const double left = p.index > 0 ? elapsed * (p.count - p.index) / p.index : -1;
        std::fprintf(stderr, "\r%s pass %-2s [%s] %3d%% %d/%d files %.1f items/s %s left \x1b[K", name_.c_str(),
                     p.pass == 1 ? "I" : "II", bar.c_str(), static_cast<int>(fraction * 100), p.index, p.count, rate,
                     Duration(left).c_str());
        std::fflush(stderr);
        barShown_ = true;
    }

    void EndBar() {
        if (!barShown_) return;
        std::fprintf(stderr, "\n");
        barShown_ = false;
    }

    bool tty_;
    bool unloaded_ = false;
    bool stopAsked_ = false;
    bool barShown_ = false;
    int lastPlainTenth_ = -1;
    int lastPass_ = 1;
    std::string name_;
    std::chrono::steady_clock::time_point started_{};
    std::chrono::steady_clock::time_point lastDraw_{};
};

void PrintSummaryText(const engine::RunSummary& run) {
    for (const auto& m : run.mailboxes) {
        std::printf("\n%s\n", m.name.empty() ? m.folder.c_str() : m.name.c_str());
        std::printf("  status    %s\n", StatusOf(m).c_str());
        if (!m.pstPath.empty()) std::printf("  pst       %s\n", m.pstPath.c_str());
        if (!m.logPath.empty()) std::printf("  log       %s\n", m.logPath.c_str());
        if (m.notStarted || m.empty || m.cancelled || m.storeFailed) {
            if (!m.storeError.empty()) std::printf("  error     %s\n", m.storeError.c_str());
            continue;
        }
        std::printf("  files     %d of %d\n", m.filesDone, m.files);
        std::printf("  messages  %d imported, %d failed\n", m.messagesImported, m.messagesFailed);
        std::printf("  items     %d contact(s), %d appointment(s), %d task(s), %d note(s), %d failed\n", m.contacts,
                    m.appointments, m.tasks, m.notes, m.itemsFailed);
        if (m.sourcesDeleted > 0) std::printf("  deleted   %d source file(s)\n", m.sourcesDeleted);
        if (!m.storeError.empty()) std::printf("  error     %s\n", m.storeError.c_str());
    }
}

void PrintSummaryJson(const engine::RunSummary& run, int exitStatus) {
    std::printf("{\n  \"mailboxes\": [");
    for (size_t i = 0; i < run.mailboxes.size(); ++i) {
        const auto& m = run.mailboxes[i];
        std::printf("%s\n    {\"name\": %s, \"folder\": %s, \"status\": %s, \"pst\": %s, \"log\": %s,\n",
                    i ? "," : "", JsonString(m.name).c_str(), JsonString(m.folder).c_str(),
                    JsonString(StatusOf(m)).c_str(), JsonString(m.pstPath).c_str(), JsonString(m.logPath).c_str());
        std::printf("     \"files\": %d, \"files_done\": %d, \"messages_imported\": %d, \"messages_failed\": %d,\n",
                    m.files, m.filesDone, m.messagesImported, m.messagesFailed);
        std::printf("     \"contacts\": %d, \"appointments\": %d, \"tasks\": %d, \"notes\": %d, \"items_failed\": %d,\n",
                    m.contacts, m.appointments, m.tasks, m.notes, m.itemsFailed);
        std::printf("     \"sources_deleted\": %d, \"error\": %s}", m.sourcesDeleted,
                    JsonString(m.storeError).c_str());
    }
    std::printf("%s],\n  \"exit_status\": %d\n}\n", run.mailboxes.empty() ? "" : "\n  ", exitStatus);
}

int ExitStatusOf(const engine::RunSummary& run) {
    int status = 0;
    for (const auto& m : run.mailboxes) {
        if (m.storeFailed || m.cancelled) return 2;
        if (m.messagesFailed > 0 || m.itemsFailed > 0 || m.badLines > 0 || !m.storeError.empty() || m.stopped ||
            m.closed || m.skipped || m.notStarted)
            status = 1;
    }
    return status;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == files::kPathSeparator) return folder + name;
    return folder + files::kPathSeparator + name;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "orvandel convert: %s\n(run 'orvandel convert --help' for the options)\n", message.c_str());
    return 2;
}

int RunConvert(const std::vector<std::string>& args) {
    std::string source;
    std::optional<std::string> pst;
    std::optional<std::string> out;
    std::vector<std::string> only;
    bool multiple = false, deleteSource = false, quiet = false, json = false;
    engine::EngineOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else if (a == "--multiple") {
            multiple = true;
        } else if (a == "--delete-source") {
            deleteSource = true;
        } else if (a == "--quiet" || a == "-q") {
            quiet = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--pst" || a == "--out" || a == "--mailbox" || a == "--commit-every") {
            auto v = value();
            if (!v || v->empty()) return Usage("option " + a + " needs a value");
            if (a == "--pst") pst = *v;
            else if (a == "--out") out = *v;
            else if (a == "--mailbox") only.push_back(*v);
            else {
                char* end = nullptr;
                const long n = std::strtol(v->c_str(), &end, 10);
                if (!end || *end || n < 1) return Usage("--commit-every needs a positive number");
                options.commitEveryItems = static_cast<int>(n);
                options.commitCountGrows = false;
            }
        } else if (!a.empty() && a[0] == '-') {
            return Usage("unknown option '" + a + "'");
        } else if (source.empty()) {
            source = a;
        } else {
            return Usage("only one SOURCE may be given");
        }
    }
    if (source.empty()) return Usage("SOURCE is missing");
    if (!files::FolderExists(source)) return Usage("'" + source + "' is not a folder");
    if (multiple && pst) return Usage("--pst is for a single mailbox; use --out with --multiple");
    if (!multiple && (out || !only.empty())) return Usage("--out and --mailbox need --multiple");

    TerminalView view;
    view.deleteSource = deleteSource;
    view.quiet = quiet;
    view.json = json;
    view.settings.IsSingleMode = !multiple;
    if (!multiple) {
        // The mailbox name is the folder's last component: "." or "x/.." name the
        // folder they stand for.
        std::string folder = source;
        const std::string last = std::filesystem::path(folder).lexically_normal().filename().string();
        if (last.empty() || last == "." || last == "..") {
            std::error_code ec;
            const auto absolute = std::filesystem::absolute(folder, ec).lexically_normal();
            if (!ec) folder = absolute.string();
        }
        while (folder.size() > 1 && folder.back() == files::kPathSeparator) folder.pop_back();
        view.settings.SourceMailboxFolder = folder;
        view.pstPath = pst;
    } else {
        std::error_code ec;
        std::string outDir = out ? *out : std::filesystem::current_path(ec).string();
        if (!files::FolderExists(outDir)) return Usage("output folder '" + outDir + "' is not a folder");
        while (outDir.size() > 1 && outDir.back() == files::kPathSeparator) outDir.pop_back();
        view.settings.OutputFolder = outDir;
        // Every immediate subfolder is a row, in byte order of the names;
        // symbolic links are not followed.
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(source, ec)) {
            std::error_code e2;
            if (e.is_symlink(e2) || !e.is_directory(e2)) continue;
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        for (const auto& wanted : only)
            if (std::find(names.begin(), names.end(), wanted) == names.end())
                return Usage("no mailbox '" + wanted + "' in " + source);
        for (const auto& n : names) {
            const bool selected = only.empty() || std::find(only.begin(), only.end(), n) != only.end();
            view.settings.MailboxRows.push_back({selected, n, JoinPath(source, n)});
        }
        if (view.settings.MailboxRows.empty()) return Usage("'" + source + "' has no mailbox folders");
    }

    engine::EngineServices services;
    services.createSession = [] { return store::CreatePstSession(); };
    std::unique_ptr<items::ItemConverters> converters;
#ifdef HAVE_ORVANDEL_ITEMS
    converters = items::CreateZimbraItemConverters();
    services.converters = converters.get();
#endif
#ifdef HAVE_ORVANDEL_MIME
    services.importMessage = [](store::Item& item, const std::string& path) { return mime::ImportMessage(item, path); };
#endif
    engine::MigrationEngine engine(view, services, options);
    view.engine = &engine;

    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    struct sigaction oldInt {}, oldTerm {};
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);

    engine.Form_Load();
    const engine::RunSummary run = engine.CmdStartConversion_Click();

    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);

    const int status = ExitStatusOf(run);
    if (json) {
        PrintSummaryJson(run, status);
    } else if (!quiet) {
        std::printf("%s\n", view.completionText.c_str());
        PrintSummaryText(run);
    } else if (status != 0) {
        std::fprintf(stderr, "%s\n", view.completionText.c_str());
    }
    return status;
}

const app::CommandRegistration kConvert({"convert", "convert SOURCE [options]",
                                         "convert a mailbox export (or, with --multiple, many) into PST files",
                                         RunConvert});

}  // namespace

#endif  // HAVE_ORVANDEL_ENGINE
