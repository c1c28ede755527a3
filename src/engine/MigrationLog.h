#pragma once
// The per-mailbox log beside the PST: "---- Log Starts -----" when the mailbox
// starts, then one "BAD : " + path line per file that could not be converted
// and one "SKIPPED : " + path + " (reason)" line per file that holds no content.
// UTF-8 text, every line ending with CR LF.
#include <string>

namespace engine {

// LogFilePath for a PST path: ".pst" replaced by ".log" in the file name (all
// occurrences, case-sensitive). A name without ".pst" gets ".log" appended, so
// the log never takes the PST's own path.
std::string LogPathFor(const std::string& pstPath);

class MigrationLog {
public:
    MigrationLog() = default;
    explicit MigrationLog(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const { return path_; }
    // Creates the file afresh with its first line; false when it cannot be written.
    bool Start();
    // Appends "BAD : " + path; false when it cannot be written.
    bool Bad(const std::string& path);
    // Starts the section of the next PST of a mailbox split by size.
    bool Part(int number, const std::string& pstPath);
    // Appends "NOTE : " + path + " (" + text + ")": a file converted with a loss
    // the user should know of; false when it cannot be written.
    bool Note(const std::string& path, const std::string& text);
    // Appends "SKIPPED : " + path + " (" + reason + ")": a file that holds nothing
    // to convert, named so that nothing goes unaccounted for.
    bool Skipped(const std::string& path, const std::string& reason);
    bool Started() const { return started_; }

private:
    bool AppendLine(const std::string& text, bool truncate);
    std::string path_;
    bool started_ = false;
};

}  // namespace engine
