#pragma once
// RFC 822 import: fills a store message from an ".eml" file.
#include <functional>
#include <string>
#include <vector>

#include "store/PstStoreSession.h"

namespace mime {

struct ImportResult {
    ImportResult() = default;
    ImportResult(bool isOk, std::string why, std::vector<std::string> leftOut = {})
        : ok(isOk), error(std::move(why)), omitted(std::move(leftOut)) {}
    bool ok = false;
    std::string error;  // why the import failed, for the log; empty when ok
    // What an imported message had to leave out (recipients past the limits),
    // each a phrase for the log; empty when nothing was.
    std::vector<std::string> omitted;
    // What the log should say of a message that is whole all the same, each a
    // phrase (a request whose first instance its pattern cannot hold).
    std::vector<std::string> notes;
};

// Parses the file at `path` and fills `message` (a new, unsaved IPM.Note) with its
// headers, bodies, recipients and attachments. Does not save the message.
// Never throws: a file that holds no message at all, an unreadable file, or a
// store failure gives ok = false.
// Runs right on the calling thread when that is a DeepStackThread's (no
// hand-off), else on a long-lived deep-stack thread of the calling thread.
ImportResult ImportMessage(store::Item& message, const std::string& path);

// Announces the file a later ImportMessage of the calling thread will ask for,
// so that it is read and parsed on another core while the current message is
// written. Only the time of the work moves: what a message becomes depends on
// its file alone, and messages are filled and saved in the caller's order, so
// the PST does not depend on timing. A file announced but never imported is let
// go, and so is the oldest one when more than kMaxParsedAhead are announced:
// a caller keeps well within that many ahead of its current message.
// `before`, when given, runs on the parsing thread just before the file is read
// (it may not run at all: the caller then does that work in its turn).
void ParseAhead(const std::string& path, std::function<void()> before = {});
inline constexpr size_t kMaxParsedAhead = 64;

}  // namespace mime
