#pragma once
// What an item made by a run records of where it came from, so that a later
// run into the same PST skips it: the mailbox, the file's path below the
// mailbox folder ("/" between folders, whatever the platform) and the Zimbra
// item id the file name carries. Three lines of text; the store keeps them.
#include <string>

namespace engine {

std::string SourceRecord(const std::string& mailbox, const std::string& mailboxFolder, const std::string& path);

// The item id an export file name starts with: "0000000312-Subject.eml" and
// "message-312.eml" give "312"; "" for names without one (contacts, wiki pages).
std::string ZimbraIdOfName(const std::string& fileName);

}  // namespace engine
