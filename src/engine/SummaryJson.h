#pragma once
// A run's summary as JSON: what `orvandel convert --json` prints, what each task
// of a sharded run leaves beside its PSTs, and what `orvandel report` merges.
// Reading it back gives the same MailboxSummary fields the status depends on.
#include <optional>
#include <string>
#include <vector>

#include "engine/MigrationView.h"

namespace engine {

// A JSON string literal, quotes included: quote, backslash and control
// characters escaped, other bytes (UTF-8 included) as they stand.
std::string JsonString(const std::string& s);

// One word or two for a mailbox's end: "converted", "converted with failures",
// "stopped", "empty", ...
std::string MailboxStatus(const MailboxSummary& m);

// 0 converted completely (or empty), 1 something was not converted, 2 no PST
// could be made for it.
int MailboxExitStatus(const MailboxSummary& m);

// The worst of the mailboxes' exit statuses.
int RunExitStatus(const std::vector<MailboxSummary>& mailboxes);

struct SummaryDocument {
    std::vector<MailboxSummary> mailboxes;
    int exitStatus = 0;
    // The share of a sharded run ("K/N"), empty otherwise.
    std::string shard;
};

std::string SummaryToJson(const SummaryDocument& doc);

// Parses a document SummaryToJson wrote; nothing (and `error` set) when the text
// is not one.
std::optional<SummaryDocument> SummaryFromJson(const std::string& text, std::string& error);

}  // namespace engine
