// orvandel verify FILE.pst [--quiet] [--json]: structural check of a PST file.
// Exit status: 0 clean, 1 faults found, 2 the file cannot be read at all.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "JsonText.h"
#include "pst/verify/Verifier.h"

namespace {

using app::JsonString;

void PrintJson(const std::string& path, const pst::verify::Report& r) {
    using pst::verify::Outcome;
    std::printf("{\n  \"file\": %s,\n", JsonString(path).c_str());
    std::printf("  \"outcome\": \"%s\",\n",
                r.outcome == Outcome::Clean ? "clean" : r.outcome == Outcome::Faulty ? "faulty" : "unreadable");
    if (r.outcome == Outcome::Unreadable) std::printf("  \"error\": %s,\n", JsonString(r.fatal).c_str());
    std::printf("  \"format\": %s,\n  \"size\": %llu,\n", JsonString(r.format).c_str(),
                static_cast<unsigned long long>(r.fileSize));
    std::printf("  \"counts\": {\"btree_pages\": %zu, \"map_pages\": %zu, \"blocks\": %zu, \"nodes\": %zu, "
                "\"folders\": %zu, \"messages\": %zu, \"property_contexts\": %zu, \"table_contexts\": %zu},\n",
                r.pages, r.mapPages, r.blocks, r.nodes, r.folders, r.messages, r.propertyContexts, r.tableContexts);
    std::printf("  \"reach\": {\"xblocks\": %zu, \"xxblocks\": %zu, \"slblocks\": %zu, \"siblocks\": %zu, "
                "\"max_heap_pages\": %zu, \"max_bth_levels\": %zu},\n",
                r.xblocks, r.xxblocks, r.slblocks, r.siblocks, r.maxHeapPages, r.maxBthLevels);
    std::printf("  \"fault_count\": %zu,\n  \"faults\": [", r.FaultCount());
    for (size_t i = 0; i < r.faults.size(); ++i)
        std::printf("%s\n    {\"where\": %s, \"what\": %s}", i ? "," : "", JsonString(r.faults[i].where).c_str(),
                    JsonString(r.faults[i].what).c_str());
    std::printf("%s],\n  \"notes\": [", r.faults.empty() ? "" : "\n  ");
    for (size_t i = 0; i < r.notes.size(); ++i)
        std::printf("%s\n    {\"where\": %s, \"what\": %s}", i ? "," : "", JsonString(r.notes[i].where).c_str(),
                    JsonString(r.notes[i].what).c_str());
    std::printf("%s]\n}\n", r.notes.empty() ? "" : "\n  ");
}

int RunVerify(const std::vector<std::string>& args) {
    bool quiet = false, json = false;
    std::string path;
    for (const auto& a : args) {
        if (a == "--quiet" || a == "-q") quiet = true;
        else if (a == "--json") json = true;
        else if (a == "--help" || a == "-h") {
            std::printf(
                "Usage: orvandel verify FILE.pst [--quiet] [--json]\n\n"
                "Checks the structure of a Unicode PST file: header and CRCs, allocation maps,\n"
                "both B-trees, every block and its reference count, heaps, property and table\n"
                "contexts, and that every folder's tables list exactly its subfolders and messages.\n\n"
                "  --quiet   print only the summary line\n"
                "  --json    print the result as one JSON document\n\n"
                "Exit status: 0 no fault, 1 faults found, 2 the file cannot be read.\n");
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "orvandel verify: unknown option '%s'\n", a.c_str());
            return 2;
        } else if (path.empty()) {
            path = a;
        } else {
            std::fprintf(stderr, "orvandel verify: only one file can be verified at a time\n");
            return 2;
        }
    }
    if (path.empty()) {
        std::fprintf(stderr, "Usage: orvandel verify FILE.pst [--quiet] [--json]\n");
        return 2;
    }
    const pst::verify::Report report = pst::verify::VerifyFile(path);
    if (json) {
        PrintJson(path, report);
    } else {
        if (report.outcome == pst::verify::Outcome::Unreadable) {
            std::fprintf(stderr, "%s\n", pst::verify::SummaryLine(path, report).c_str());
            return 2;
        }
        if (!quiet) {
            for (const auto& f : report.faults) std::printf("FAULT %s\n", pst::verify::FormatFault(f).c_str());
            for (const auto& n : report.notes) std::printf("NOTE %s\n", pst::verify::FormatFault(n).c_str());
            if (report.faultsNotListed)
                std::printf("FAULT ... and %zu more faults not listed\n", report.faultsNotListed);
        }
        std::printf("%s\n", pst::verify::SummaryLine(path, report).c_str());
    }
    switch (report.outcome) {
        case pst::verify::Outcome::Clean: return 0;
        case pst::verify::Outcome::Faulty: return 1;
        default: return 2;
    }
}

const app::CommandRegistration kVerify({
    "verify",
    "verify FILE.pst [--quiet] [--json]",
    "check the structure of a PST file; exit 0 clean, 1 faults, 2 unreadable",
    RunVerify,
});

}  // namespace
