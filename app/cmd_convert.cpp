// orvandel convert SOURCE [options]: converts one mailbox folder, or every
// mailbox below a root folder, into PST files with the migration engine, the
// terminal taking the place of the migration window.
//
// Exit status: 0 everything converted, 1 something was not (a failed item,
// named in the log, or a run stopped early), 2 usage error or a mailbox whose
// PST could not be created or added to.
#ifdef HAVE_ORVANDEL_ENGINE

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "ConvertParallel.h"
#include "JsonText.h"
#include "ProgressText.h"
#include "engine/MailboxSelection.h"
#include "engine/MigrationEngine.h"
#include "engine/MigrationLog.h"
#include "engine/SummaryJson.h"
#include "files/ArchiveReader.h"
#include "files/FileApi.h"
#include "files/Paths.h"
#include "items/ItemConverters.h"
#include "items/ZimbraTime.h"
#include "mime/DeepStackThread.h"
#include "mime/MimeImport.h"
#include "mime/MimeLimits.h"
#include "store/LocaleIds.h"
#include "store/PstStoreSession.h"

namespace {

using app::JsonString;

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) { gInterrupted = 1; }

const char* const kUsage =
    "Usage: orvandel convert SOURCE [ARCHIVE...] [options]\n"
    "       orvandel convert --multiple (ROOT | --manifest FILE) [options]\n"
    "\n"
    "Converts a Zimbra mailbox export into a PST file (and a .log file\n"
    "beside it naming every file that could not be converted).\n"
    "\n"
    "  SOURCE               the mailbox folder or export archive (.tgz, .tar.gz, .tar,\n"
    "                       .zip, read without extracting it); with --multiple, the\n"
    "                       root folder whose subfolders and archives are the mailboxes\n"
    "  ARCHIVE...           more archives of the same mailbox (an export in parts,\n"
    "                       e.g. by date range): one PST, each item once; a folder\n"
    "                       holding nothing but archives is read the same way\n"
    "  --pst FILE           single mode: the PST to write (default: the mailbox name\n"
    "                       and the start time, e.g. 'jdoe7.12.26 9.5.03.pst', in the\n"
    "                       current folder)\n"
    "  --multiple           convert every mailbox below SOURCE, one PST each\n"
    "  --mailbox NAME       with --multiple: convert only this mailbox (repeatable)\n"
    "  --manifest FILE      with --multiple: the mailbox folders, one a line, instead\n"
    "                       of ROOT (relative paths from the manifest's folder)\n"
    "  --shard K/N          with --multiple: only the K-th (0-based) of N shares of the\n"
    "                       mailboxes, chosen by a stable hash of each mailbox name;\n"
    "                       for job arrays (one task a share)\n"
    "  -j, --jobs N         with --multiple: convert N mailboxes at once (default: the\n"
    "                       number of processors); the PSTs are the same for every N\n"
    "  --out DIR            with --multiple: the folder for the PST and log files\n"
    "                       (default: the current folder; made with its parents\n"
    "                       when missing); with --shard or --manifest the JSON\n"
    "                       summary goes there too (summary-K-of-N.json, or\n"
    "                       summary.json), for 'orvandel report DIR'\n"
    "  --map-default-folders  put the export's Drafts, Trash and Junk into the PST's\n"
    "                       Drafts, Deleted Items and Junk E-mail (default: folders of\n"
    "                       those names beside them)\n"
    "  --delete-source      delete each source file once its item is safely in the PST\n"
    "  --quiet              print nothing but errors\n"
    "  --json               print the summary as one JSON document\n"
    "  --max-pst-size SIZE  go on in 'NAME (2).pst', 'NAME (3).pst', ... rather than\n"
    "                       let a PST pass SIZE (default 45G, under Outlook's 50 GB\n"
    "                       limit; K, M, G suffixes; 0: never split)\n"
    "  --time-zone ZONE     the zone (tz database name, e.g. Europe/Berlin) in which\n"
    "                       all-day items, floating times, birthdays and task dates\n"
    "                       fall (default: this machine's zone)\n"
    "  --locale LOCALE      the user's Windows locale, stamped on every item as\n"
    "                       Outlook does: a tag such as de-DE or pt_BR (as Zimbra's\n"
    "                       locale preference names it) or its number (LCID, e.g.\n"
    "                       1031); default en-US (1033)\n"
    "  --commit-every N     commit the PST after every N items (default: 2000, or as\n"
    "                       many as the PST held at the last commit when that is\n"
    "                       more; it is also committed every 30 seconds)\n"
    "\n"
    "Ctrl-C (SIGINT), SIGTERM or SIGHUP stops after the current file and leaves a\n"
    "complete PST (exit status 1); a second one ends the program at once, killed\n"
    "by that signal (status 128 + its number in a shell: 130, 143, 129), leaving\n"
    "the PST of the last commit, which opens and verifies.\n"
    "\n"
    "Exit status: 0 everything converted, 1 some item failed (see the log) or the\n"
    "run was stopped, 2 usage error or a PST that could not be created or added to.\n";

std::string Plain(std::string text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

std::string StatusOf(const engine::MailboxSummary& m) { return engine::MailboxStatus(m); }

// The terminal as the migration window.
class TerminalView : public engine::MigrationView {
public:
    engine::MigrationSettings settings;
    std::optional<std::string> pstPath;  // single mode: --pst
    bool deleteSource = false;
    bool quiet = false;
    bool json = false;
    bool worker = false;  // a child of a parallel run: progress as records for the parent
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
        if (!tty_ && files > 0)
            std::fprintf(stderr, "%s: converting %d file(s) into %s\n", name.c_str(), files, pst.c_str());
        else if (!tty_)
            std::fprintf(stderr, "%s: converting into %s\n", name.c_str(), pst.c_str());
    }

    void OnFileProgress(const engine::FileProgress& p) override {
        CheckInterrupt();
        if (quiet || p.count <= 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (worker) {
            // Every tenth (the parent's plain lines) and, between them, ten a second (its bars).
            const int tenth = p.index * 10 / p.count;
            if (p.pass == lastPass_ && tenth <= lastPlainTenth_ && now - lastDraw_ < std::chrono::milliseconds(100))
                return;
            lastDraw_ = now;
            lastPlainTenth_ = p.pass == lastPass_ ? std::max(lastPlainTenth_, tenth) : tenth;
            lastPass_ = p.pass;
            std::fprintf(stderr, "%s\n", app::ProgressRecord(p.pass, p.index, p.count, p.itemsSaved).c_str());
            return;
        }
        if (tty_) {
            if (p.index != p.count && now - lastDraw_ < std::chrono::milliseconds(100)) return;
            lastDraw_ = now;
            DrawBar(p, now);
        } else {
            const int tenth = p.index * 10 / p.count;
            if (p.pass != lastPass_) lastPlainTenth_ = -1;
            lastPass_ = p.pass;
            // An archive's count is an estimate until its end: a tenth is not shown twice.
            if (tenth <= lastPlainTenth_) return;
            lastPlainTenth_ = tenth;
            std::fprintf(stderr, "%s: %s %d of %d file(s), %d item(s) saved\n", p.mailbox.c_str(),
                         p.pass == 1 ? "pass I" : "pass II", p.index, p.count, p.itemsSaved);
        }
    }

    void OnMailboxFinished(const engine::MailboxSummary& m) override {
        EndBar();
        // An error, so also under --quiet: the failures it lacks are in the summary.
        if (!m.logRefused.empty())
            std::fprintf(stderr, "orvandel convert: %s: the log %s was not written through; this run's log is %s\n",
                         m.name.c_str(), m.logRefused.c_str(), engine::LogText(m.logPath).c_str());
        if (!m.logError.empty())
            std::fprintf(stderr, "orvandel convert: %s: the log %s could not be written (%s)\n", m.name.c_str(),
                         engine::LogText(engine::LogPathFor(m.pstPath)).c_str(), m.logError.c_str());
        if (quiet || m.storeFailed) return;
        std::fprintf(stderr, "%s: %s, %d message(s) imported, %d failed\n", m.name.c_str(), StatusOf(m).c_str(),
                     m.messagesImported, m.messagesFailed);
    }

    bool Interrupted() const { return stopAsked_; }

private:
    void CheckInterrupt() {
        if (!gInterrupted || stopAsked_) return;
        stopAsked_ = true;
        // A second signal ends the program at once, by that signal.
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGHUP, SIG_DFL);
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
                     app::Duration(left).c_str());
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
        if (m.pstParts.size() > 1) {
            for (size_t p = 0; p < m.pstParts.size(); ++p)
                std::printf("  pst %-5s %s\n", ("(" + std::to_string(p + 1) + ")").c_str(), m.pstParts[p].c_str());
        } else if (!m.pstPath.empty()) {
            std::printf("  pst       %s\n", m.pstPath.c_str());
        }
        if (!m.logPath.empty()) std::printf("  log       %s\n", m.logPath.c_str());
        if (m.notStarted || m.empty || m.cancelled || m.storeFailed) {
            if (!m.storeError.empty()) std::printf("  error     %s\n", m.storeError.c_str());
            continue;
        }
        std::printf("  files     %d of %d\n", m.filesDone, m.files);
        std::printf("  messages  %d imported, %d failed\n", m.messagesImported, m.messagesFailed);
        if (m.messagesIncomplete > 0)
            std::printf("  partial   %d message(s) imported with recipients left out, named in the log\n",
                        m.messagesIncomplete);
        std::printf("  items     %d contact(s), %d appointment(s), %d task(s), %d note(s), %d failed\n", m.contacts,
                    m.appointments, m.tasks, m.notes, m.itemsFailed);
        if (m.documents > 0 || m.chats > 0)
            std::printf("  also      %d Briefcase document(s), %d chat(s)\n", m.documents, m.chats);
        if (m.itemsSkipped > 0)
            std::printf("  skipped   %d file(s) with nothing to convert (search folders, shared folder links, ...), "
                        "named in the log\n", m.itemsSkipped);
        if (m.filesConverted + m.filesLogged > 0)
            std::printf("  accounted %d file(s) converted + %d named in the log = %d listed\n", m.filesConverted,
                        m.filesLogged, m.filesConverted + m.filesLogged);
        if (m.alreadyInPst > 0)
            std::printf("  already   %d item(s) already in the PST from an earlier run, named in the log\n",
                        m.alreadyInPst);
        if (m.foldersCreated > 0) std::printf("  folders   %d created\n", m.foldersCreated);
        if (m.sourcesDeleted > 0) std::printf("  deleted   %d source file(s)\n", m.sourcesDeleted);
        if (!m.storeError.empty()) std::printf("  error     %s\n", m.storeError.c_str());
        if (!m.sourceError.empty()) std::printf("  source    %s\n", m.sourceError.c_str());
        for (const auto& f : m.unreadableFolders) std::printf("  unread    %s\n", engine::LogText(f).c_str());
        if (!m.logRefused.empty()) std::printf("  refused   %s\n", m.logRefused.c_str());
        if (!m.logError.empty()) std::printf("  log error %s\n", m.logError.c_str());
        for (const auto& line : m.unlogged) std::printf("  unlogged  %s\n", line.c_str());
    }
}

void PrintSummaryJson(const engine::RunSummary& run, int exitStatus, const std::string& shard = {}) {
    std::fputs(engine::SummaryToJson({run.mailboxes, exitStatus, shard}).c_str(), stdout);
}

int ExitStatusOf(const engine::RunSummary& run) { return engine::RunExitStatus(run.mailboxes); }

// Leaves the run's summary for `orvandel report`; false (said on stderr) when it
// cannot be written.
bool WriteSummaryFile(const std::string& path, const engine::RunSummary& run, int exitStatus,
                      const std::string& shard) {
    const std::string text = engine::SummaryToJson({run.mailboxes, exitStatus, shard});
    const std::string temp = path + ".part";
    FILE* f = std::fopen(temp.c_str(), "wb");
    bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f) ok = std::fclose(f) == 0 && ok;
    ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        std::remove(temp.c_str());
        std::fprintf(stderr, "orvandel convert: cannot write the summary %s\n", path.c_str());
    }
    return ok;
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
    store::SessionOptions storeOptions;
    std::optional<std::string> out;
    std::vector<std::string> only;
    bool multiple = false, deleteSource = false, quiet = false, json = false;
    engine::EngineOptions options;
    std::optional<std::string> manifest;
    std::optional<engine::Shard> shard;
    std::optional<engine::MailboxRow> workerRow;  // set in a child of a parallel run
    int jobs = 0;                                 // 0: the number of processors
    std::vector<std::string> childArgs;
    std::vector<std::string> moreParts;           // SOURCE and these: one mailbox exported in parts
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
            childArgs.push_back(a);
        } else if (a == "--map-default-folders") {
            options.mapDefaultFolders = true;
            childArgs.push_back(a);
        } else if (a == "--worker") {
            // Internal: one mailbox (NAME FOLDER) for the process that started this one.
            if (i + 2 >= args.size()) return Usage("option --worker needs a name and a folder");
            workerRow = engine::MailboxRow{true, args[i + 1], args[i + 2], {}};
            i += 2;
        } else if (a == "--worker-part") {
            // Internal, after --worker: one archive of a mailbox exported in parts.
            if (!workerRow || i + 1 >= args.size()) return Usage("option --worker-part needs --worker and an archive");
            workerRow->archives.push_back(args[++i]);
        } else if (a == "--manifest" || a == "--shard" || a == "-j" || a == "--jobs") {
            auto v = value();
            if (!v || v->empty()) return Usage("option " + a + " needs a value");
            if (a == "--manifest") {
                manifest = *v;
            } else if (a == "--shard") {
                shard = engine::ParseShard(*v);
                if (!shard) return Usage("--shard needs K/N with 0 <= K < N, e.g. 0/4");
            } else {
                char* end = nullptr;
                const long n = std::strtol(v->c_str(), &end, 10);
                if (!end || *end || n < 1 || n > 1024) return Usage(a + " needs a number of mailboxes from 1 to 1024");
                jobs = static_cast<int>(n);
            }
        } else if (a == "--quiet" || a == "-q") {
            quiet = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--locale") {
            auto v = value();
            const auto id = v ? store::LocaleIdFor(*v) : std::nullopt;
            if (!id)
                return Usage("--locale needs a locale such as de-DE, pt_BR or its Windows number (LCID), e.g. 1031");
            storeOptions.localeId = *id;
            childArgs.insert(childArgs.end(), {a, *v});
        } else if (a == "--max-pst-size") {
            auto v = value();
            uint64_t bytes = 0;
            if (!v || !engine::ParsePstSize(*v, bytes))
                return Usage("--max-pst-size needs a size such as 45G, 500M or 0 (no limit)");
            options.maxPstBytes = bytes;
            childArgs.insert(childArgs.end(), {a, *v});
        } else if (a == "--pst" || a == "--out" || a == "--mailbox" || a == "--commit-every" || a == "--time-zone") {
            auto v = value();
            if (!v || v->empty()) return Usage("option " + a + " needs a value");
            if (a == "--time-zone") {
                // Every local-time conversion of the run follows the process's zone.
                if (!items::ZoneOffsetAt(*v, 0)) return Usage("'" + *v + "' is not a zone of the time-zone database");
                ::setenv("TZ", v->c_str(), 1);
                ::tzset();
                childArgs.insert(childArgs.end(), {a, *v});
            } else if (a == "--pst") pst = *v;
            else if (a == "--out") out = *v;
            else if (a == "--mailbox") only.push_back(*v);
            else {
                char* end = nullptr;
                const long n = std::strtol(v->c_str(), &end, 10);
                if (!end || *end || n < 1) return Usage("--commit-every needs a positive number");
                options.commitEveryItems = static_cast<int>(n);
                options.commitCountGrows = false;
                childArgs.insert(childArgs.end(), {a, *v});
            }
        } else if (!a.empty() && a[0] == '-') {
            return Usage("unknown option '" + a + "'");
        } else if (source.empty()) {
            source = a;
        } else {
            moreParts.push_back(a);
        }
    }
    if (!multiple && (manifest || shard || jobs || workerRow))
        return Usage("--manifest, --shard and --jobs need --multiple");
    if (manifest && !source.empty()) return Usage("give either ROOT or --manifest FILE, not both");
    if (source.empty() && !manifest && !workerRow) return Usage("SOURCE is missing");
    const bool sourceIsArchive = !source.empty() && !multiple && files::IsArchivePath(source) && files::FileExists(source);
    if (!source.empty() && !sourceIsArchive && !files::FolderExists(source))
        return Usage("'" + source + "' is not a folder" + (multiple ? "" : " or an export archive (.tgz, .tar.gz, .tar, .zip)"));
    if (!moreParts.empty()) {
        if (multiple) return Usage("only one ROOT may be given");
        for (const auto& part : moreParts)
            if (!sourceIsArchive || !files::IsArchivePath(part) || !files::FileExists(part))
                return Usage("several SOURCEs must all be export archives of one mailbox ('" +
                             (sourceIsArchive ? part : source) + "' is not one)");
    }
    if (multiple && pst) return Usage("--pst is for a single mailbox; use --out with --multiple");
    if (!multiple && (out || !only.empty())) return Usage("--out and --mailbox need --multiple");

    TerminalView view;
    view.deleteSource = deleteSource;
    view.quiet = quiet;
    view.json = json;
    view.worker = workerRow.has_value();
    view.settings.IsSingleMode = !multiple;
    if (!multiple) {
        // The mailbox name is the folder's last component: "." or "x/.." name the
        // folder they stand for.
        std::string folder = source;
        if (deleteSource && (sourceIsArchive || !files::ArchivePartsIn(source).empty()))
            return Usage("--delete-source cannot be used with an archive: its entries are read, not files to delete");
        const std::string last = std::filesystem::path(folder).lexically_normal().filename().string();
        if (last.empty() || last == "." || last == "..") {
            std::error_code ec;
            const auto absolute = std::filesystem::absolute(folder, ec).lexically_normal();
            if (!ec) folder = absolute.string();
        }
        while (folder.size() > 1 && folder.back() == files::kPathSeparator) folder.pop_back();
        view.settings.SourceMailboxFolder = folder;
        if (!moreParts.empty()) {
            view.settings.SourceArchives = {source};
            view.settings.SourceArchives.insert(view.settings.SourceArchives.end(), moreParts.begin(), moreParts.end());
        }
        view.pstPath = pst;
    } else {
        std::error_code ec;
        std::string outDir = out ? *out : std::filesystem::current_path(ec).string();
        if (!files::FolderExists(outDir)) {
            // A new output folder is made with its parents; an existing non-folder is refused.
            std::error_code mk;
            std::filesystem::create_directories(outDir, mk);
            if (!files::FolderExists(outDir))
                return Usage("output folder '" + outDir + "' cannot be created" + (mk ? ": " + mk.message() : std::string()));
        }
        while (outDir.size() > 1 && outDir.back() == files::kPathSeparator) outDir.pop_back();
        view.settings.OutputFolder = outDir;
        std::vector<engine::MailboxRow> rows;
        if (workerRow) {
            rows.push_back(*workerRow);
        } else if (manifest) {
            std::string error;
            if (!engine::ReadManifest(*manifest, rows, error)) return Usage(error);
        } else {
            // Every immediate subfolder is a row, in byte order of the names;
            // symbolic links are not followed.
            // Export archives beside them are mailboxes too, named without the suffix.
            std::vector<std::pair<std::string, std::string>> names;  // (mailbox, file name)
            for (const auto& e : std::filesystem::directory_iterator(source, ec)) {
                std::error_code e2;
                const std::string file = e.path().filename().string();
                if (e.is_symlink(e2)) continue;
                if (e.is_directory(e2)) names.emplace_back(file, file);
                else if (e.is_regular_file(e2) && files::IsArchivePath(file))
                    names.emplace_back(files::ArchiveBaseName(file), file);
            }
            std::sort(names.begin(), names.end());
            for (size_t k = 1; k < names.size(); ++k)
                if (names[k].first == names[k - 1].first)
                    return Usage("'" + names[k - 1].second + "' and '" + names[k].second + "' in " + source +
                                 " are both the mailbox '" + names[k].first + "' (each name is one PST)");
            for (const auto& [n, file] : names) rows.push_back({true, n, JoinPath(source, file), {}});
            if (rows.empty()) return Usage("'" + source + "' has no mailbox folders or archives");
        }
        for (const auto& wanted : only)
            if (std::none_of(rows.begin(), rows.end(), [&](const engine::MailboxRow& r) { return r.name == wanted; }))
                return Usage("no mailbox '" + wanted + "' in " + (manifest ? *manifest : source));
        for (auto& row : rows) {
            if (deleteSource && (!row.archives.empty() || !files::ArchivePartsIn(row.folder).empty() ||
                                 (files::IsArchivePath(row.folder) && !files::FolderExists(row.folder))))
                return Usage("--delete-source cannot be used with an archive (" + row.folder +
                             "): its entries are read, not files to delete");
            row.selected = only.empty() || std::find(only.begin(), only.end(), row.name) != only.end();
            // Another task of the job array converts the other shares.
            if (shard && !shard->Holds(row.name)) row.selected = false;
        }
        view.settings.MailboxRows = rows;
    }

    // Where a task of a job array leaves its summary for `orvandel report`.
    std::string summaryFile;
    if (multiple && !workerRow && (shard || manifest))
        summaryFile = JoinPath(view.settings.OutputFolder,
                               shard ? "summary-" + std::to_string(shard->index) + "-of-" +
                                           std::to_string(shard->count) + ".json"
                                     : std::string("summary.json"));
    const std::string shardText = shard ? shard->Text() : std::string();

    // Many mailboxes, many processors: one child process per mailbox.
    const auto selected = std::count_if(view.settings.MailboxRows.begin(), view.settings.MailboxRows.end(),
                                        [](const engine::MailboxRow& r) { return r.selected; });
    if (jobs == 0) jobs = app::AvailableProcessors();
    if (multiple && !workerRow && jobs > 1 && selected > 1) {
        app::ParallelOptions parallel;
        parallel.jobs = jobs;
        parallel.outDir = view.settings.OutputFolder;
        parallel.childArgs = childArgs;
        parallel.quiet = quiet;
        const engine::RunSummary run = app::ConvertInParallel(view.settings.MailboxRows, parallel);
        int status = ExitStatusOf(run);
        if (!summaryFile.empty() && !WriteSummaryFile(summaryFile, run, status, shardText)) status = std::max(status, 1);
        if (json) {
            PrintSummaryJson(run, status, shardText);
        } else if (!quiet) {
            std::printf("%s\n", Plain(run.completionText).c_str());
            PrintSummaryText(run);
        } else if (status != 0) {
            std::fprintf(stderr, "%s\n", Plain(run.completionText).c_str());
        }
        return status;
    }

    engine::EngineServices services;
    services.createSession = [storeOptions] { return store::CreatePstSession(storeOptions); };
    std::unique_ptr<items::ItemConverters> converters;
#ifdef HAVE_ORVANDEL_ITEMS
    converters = items::CreateZimbraItemConverters();
    services.converters = converters.get();
#endif
#ifdef HAVE_ORVANDEL_MIME
    services.importMessage = [](store::Item& item, const std::string& path) { return mime::ImportMessage(item, path); };
    services.parseAhead = [](const std::string& path, std::function<void()> before) {
        mime::ParseAhead(path, std::move(before));
    };
#endif
    engine::MigrationEngine engine(view, services, options);
    view.engine = &engine;

    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    // SIGHUP too: a closed terminal or session stops the run like Ctrl-C.
    struct sigaction oldInt {}, oldTerm {}, oldHup {};
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);
    sigaction(SIGHUP, &sa, &oldHup);

    engine.Form_Load();
    engine::RunSummary run;
#ifdef HAVE_ORVANDEL_MIME
    // The run goes on a thread with the import's deep stack: each message is
    // then parsed and filled right there, not handed to another thread.
    mime::DeepStackThread(mime::kImportStackBytes).Call([&] { run = engine.CmdStartConversion_Click(); });
#else
    run = engine.CmdStartConversion_Click();
#endif

    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);

    int status = ExitStatusOf(run);
    if (!summaryFile.empty() && !WriteSummaryFile(summaryFile, run, status, shardText)) status = std::max(status, 1);
    if (json) {
        PrintSummaryJson(run, status, shardText);
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
