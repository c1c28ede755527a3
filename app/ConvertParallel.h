#pragma once
// `orvandel convert --multiple -j N`: N mailboxes at once, each converted by a
// child process of this program running the sequential path on that one
// mailbox. Separate processes keep what one mailbox's conversion holds (the
// engine's file queue, GMime, the PST writer's memory) apart from the others,
// so each PST is exactly the one a sequential run writes, whatever the timing,
// and memory is at most N times one mailbox's.
//
// The children report progress on their standard error ("@progress" lines) and
// their summary as JSON on their standard output; this process draws one
// progress line per running mailbox (or, without a terminal, the same plain
// lines as a sequential run) and puts the summaries in row order.
#include <string>
#include <vector>

#include "engine/MigrationEngine.h"

namespace app {

struct ParallelOptions {
    int jobs = 2;
    std::string outDir;
    // Passed on to every child (--delete-source, --commit-every N).
    std::vector<std::string> childArgs;
    bool quiet = false;
};

// Converts the selected rows, `jobs` at a time. Ctrl-C (or SIGTERM) is passed to
// the running children, which stop after their current file; rows not started
// by then are reported as not started. A second Ctrl-C ends the children at once.
engine::RunSummary ConvertInParallel(const std::vector<engine::MailboxRow>& rows, const ParallelOptions& options);

// The number of processors this process may run on.
int AvailableProcessors();

// What a child prints for a file it has handled (parsed back by the parent).
std::string ProgressRecord(int pass, int index, int count, int itemsSaved);

}  // namespace app
