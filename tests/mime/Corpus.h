#pragma once
// Test messages written at run time, each with what an import must show.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace mimetest {

struct ExpectedAttachment {
    std::string name;      // long file name, or the display name of an embedded message
    int64_t size = -1;     // decoded bytes; -1: not checked (embedded messages)
    bool embedded = false;
    bool hidden = false;
};

struct Expected {
    std::string file;              // file name inside the corpus folder
    bool ok = true;                // whether the import succeeds
    std::string messageClass = "IPM.Note";
    std::string subject;
    std::string senderName, senderAddress;
    std::vector<std::pair<std::string, int>> recipients;  // address, 1 To / 2 Cc / 3 Bcc
    std::vector<std::string> bodyContains;  // texts the plain body holds
    bool html = false;
    std::vector<ExpectedAttachment> attachments;
    std::string what;              // one line: what the case is about
};

// Text in `charset` (an iconv name) from UTF-8.
std::string Encode(const std::string& utf8, const std::string& charset);
std::string Base64(const std::string& bytes, bool wrap = true);
// Reproducible pseudo-random bytes (the corpus's attachment contents).
std::string RandomBytes(size_t n, uint32_t seed);

// Writes the corpus into `dir` (which exists) and returns the expectations.
// `large` adds the cases with big attachments and long lines.
std::vector<Expected> WriteCorpus(const std::string& dir, bool large);

void WriteFile(const std::string& path, const std::string& data);

}  // namespace mimetest
