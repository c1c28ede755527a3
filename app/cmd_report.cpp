// orvandel report OUT: merges the JSON summaries that the tasks of a sharded or
// manifest run left in their output folder into one report: totals, the
// status of every mailbox (by name), and what went wrong. A share whose summary
// is missing (a task that never finished) counts as a failure.
//
// Exit status: 0 every mailbox converted, 1 a mailbox failed or a summary is
// missing or unreadable, 2 usage error or no summary in OUT.
#ifdef HAVE_ORVANDEL_ENGINE

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Commands.h"
#include "JsonText.h"
#include "engine/MailboxSelection.h"
#include "engine/SummaryJson.h"

namespace {

namespace fs = std::filesystem;

const char* const kUsage =
    "Usage: orvandel report OUT [--json]\n"
    "\n"
    "Merges the summaries (summary.json, summary-K-of-N.json) that 'orvandel convert\n"
    "--multiple --shard K/N' or '--manifest' tasks wrote into the folder OUT: totals,\n"
    "every mailbox's status, and the failures. A share of N without its summary is\n"
    "reported as missing.\n"
    "\n"
    "  --json   print the merged summary as one JSON document\n"
    "\n"
    "Exit status: 0 every mailbox converted, 1 a mailbox failed or a summary is\n"
    "missing or unreadable, 2 usage error or no summary in OUT.\n";

bool IsSummaryName(const std::string& name) {
    return name == "summary.json" || (name.rfind("summary-", 0) == 0 && name.size() > 13 &&
                                      name.compare(name.size() - 5, 5, ".json") == 0);
}

struct Totals {
    int converted = 0, withFailures = 0, notConverted = 0, empty = 0;
    long messagesImported = 0, messagesFailed = 0;
    long contacts = 0, appointments = 0, tasks = 0, notes = 0, itemsFailed = 0;
    long alreadyInPst = 0;
};

int RunReport(const std::vector<std::string>& args) {
    std::string dir;
    bool json = false;
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else if (a == "--json") {
            json = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "orvandel report: unknown option '%s'\n", a.c_str());
            return 2;
        } else if (dir.empty()) {
            dir = a;
        } else {
            std::fprintf(stderr, "orvandel report: only one folder may be given\n");
            return 2;
        }
    }
    if (dir.empty()) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    std::error_code ec;
    std::vector<std::string> paths;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (IsSummaryName(e.path().filename().string())) paths.push_back(e.path().string());
    if (ec) {
        std::fprintf(stderr, "orvandel report: cannot read the folder %s\n", dir.c_str());
        return 2;
    }
    std::sort(paths.begin(), paths.end());
    if (paths.empty()) {
        std::fprintf(stderr, "orvandel report: no summary (summary*.json) in %s\n", dir.c_str());
        return 2;
    }

    std::vector<std::string> problems;
    std::vector<engine::MailboxSummary> mailboxes;
    std::map<int, std::set<int>> shards;  // N -> the K found
    for (const auto& path : paths) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        auto doc = engine::SummaryFromJson(text.str(), error);
        if (!doc) {
            problems.push_back(path + ": unreadable summary (" + error + ")");
            continue;
        }
        if (!doc->shard.empty()) {
            auto shard = engine::ParseShard(doc->shard);
            if (!shard) problems.push_back(path + ": unknown share '" + doc->shard + "'");
            else shards[shard->count].insert(shard->index);
        }
        for (auto& m : doc->mailboxes) mailboxes.push_back(std::move(m));
    }
    if (shards.size() > 1) problems.push_back("summaries of runs split into different numbers of shares");
    for (const auto& [count, found] : shards)
        for (int k = 0; k < count; ++k)
            if (!found.count(k))
                problems.push_back("share " + std::to_string(k) + "/" + std::to_string(count) +
                                   ": no summary (the task did not finish)");
    std::stable_sort(mailboxes.begin(), mailboxes.end(),
                     [](const engine::MailboxSummary& a, const engine::MailboxSummary& b) { return a.name < b.name; });
    for (size_t i = 1; i < mailboxes.size(); ++i)
        if (mailboxes[i].name == mailboxes[i - 1].name)
            problems.push_back(mailboxes[i].name + ": in more than one summary");

    Totals t;
    for (const auto& m : mailboxes) {
        const int status = engine::MailboxExitStatus(m);
        if (m.empty) ++t.empty;
        else if (status == 0) ++t.converted;
        else if (m.notStarted || m.cancelled || m.storeFailed) ++t.notConverted;
        else ++t.withFailures;
        t.messagesImported += m.messagesImported;
        t.messagesFailed += m.messagesFailed;
        t.contacts += m.contacts, t.appointments += m.appointments, t.tasks += m.tasks, t.notes += m.notes;
        t.itemsFailed += m.itemsFailed;
        t.alreadyInPst += m.alreadyInPst;
    }
    const int status = (engine::RunExitStatus(mailboxes) != 0 || !problems.empty()) ? 1 : 0;

    if (json) {
        std::string text = engine::SummaryToJson({mailboxes, status, {}});
        char totals[640];
        std::snprintf(totals, sizeof totals,
                      "  \"summaries\": %zu,\n"
                      "  \"totals\": {\"mailboxes\": %zu, \"converted\": %d, \"with_failures\": %d, "
                      "\"not_converted\": %d, \"empty\": %d,\n"
                      "             \"messages_imported\": %ld, \"messages_failed\": %ld, \"contacts\": %ld, "
                      "\"appointments\": %ld, \"tasks\": %ld, \"notes\": %ld, \"items_failed\": %ld,\n"
                      "             \"already_in_pst\": %ld},\n"
                      "  \"problems\": [",
                      paths.size(), mailboxes.size(), t.converted, t.withFailures, t.notConverted, t.empty,
                      t.messagesImported, t.messagesFailed, t.contacts, t.appointments, t.tasks, t.notes,
                      t.itemsFailed, t.alreadyInPst);
        std::string extra = totals;
        for (size_t i = 0; i < problems.size(); ++i) extra += (i ? ", " : "") + app::JsonString(problems[i]);
        extra += "],\n";
        text.insert(text.rfind("  \"exit_status\""), extra);
        std::fputs(text.c_str(), stdout);
        return status;
    }

    std::printf("%zu mailbox(es) from %zu summary file(s) in %s\n", mailboxes.size(), paths.size(), dir.c_str());
    std::printf("  converted            %d\n  with failures        %d\n  not converted        %d\n  empty                %d\n",
                t.converted, t.withFailures, t.notConverted, t.empty);
    std::printf("  messages             %ld imported, %ld failed\n", t.messagesImported, t.messagesFailed);
    std::printf("  items                %ld contact(s), %ld appointment(s), %ld task(s), %ld note(s), %ld failed\n",
                t.contacts, t.appointments, t.tasks, t.notes, t.itemsFailed);
    if (t.alreadyInPst > 0) std::printf("  already in the PST   %ld item(s) from earlier runs\n", t.alreadyInPst);
    size_t width = 4;
    for (const auto& m : mailboxes) width = std::max(width, m.name.size());
    std::printf("\n");
    for (const auto& m : mailboxes) {
        std::printf("%-*s  %-23s  %d imported, %d failed  %s\n", static_cast<int>(width), m.name.c_str(),
                    engine::MailboxStatus(m).c_str(), m.messagesImported, m.messagesFailed, m.pstPath.c_str());
        if (!m.storeError.empty()) std::printf("%-*s  error: %s\n", static_cast<int>(width), "", m.storeError.c_str());
    }
    if (!problems.empty()) {
        std::printf("\nProblems:\n");
        for (const auto& p : problems) std::printf("  %s\n", p.c_str());
    }
    return status;
}

const app::CommandRegistration kReport({"report", "report OUT [--json]",
                                        "merge the summaries of the tasks of a sharded run; exit 1 on any failure",
                                        RunReport});

}  // namespace

#endif  // HAVE_ORVANDEL_ENGINE
