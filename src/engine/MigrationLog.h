#pragma once
// The per-mailbox log beside the PST: "---- Log Starts -----" when the mailbox
// starts, then one "BAD : " + path line per file that could not be converted,
// with the reason in parentheses when one is known, one "NOTE : " + path +
// " (what)" line per file that lost something, and one "SKIPPED : " + path +
// " (reason)" line per file that holds no content. UTF-8 text, every line
// ending with CR LF, one line per file whatever its name holds (LogText).
//
// The log is opened once, for appending: what a file of that name holds already
// stays, and a symbolic link, a second hard link, a fifo or a device under its
// name is refused rather than written through: the run's section then goes to
// a new file beside it, NAME.1.log (or .2, ...), created for this run alone.
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// LogFilePath for a PST path: ".pst" replaced by ".log" in the file name (all
// occurrences, case-sensitive). A name without ".pst" gets ".log" appended, so
// the log never takes the PST's own path.
std::string LogPathFor(const std::string& pstPath);

// Text as one log line shows it: a backslash becomes "\\"; control characters,
// the Unicode line and paragraph separators and bytes that are not UTF-8
// become "\xHH" for each of their bytes. Everything else is kept.
std::string LogText(std::string_view text);

class MigrationLog {
public:
    MigrationLog() = default;
    explicit MigrationLog(std::string path) : path_(std::move(path)) {}
    ~MigrationLog();
    MigrationLog(MigrationLog&& other) noexcept;
    MigrationLog& operator=(MigrationLog&& other) noexcept;
    MigrationLog(const MigrationLog&) = delete;
    MigrationLog& operator=(const MigrationLog&) = delete;

    const std::string& Path() const { return path_; }
    // Opens the log (created when missing, appended to when present) and writes
    // the first line of this run's section; false when it cannot be written.
    bool Start();
    // Appends "BAD : " + path [+ " (" + reason + ")"]; false when the line could
    // not be written (it is then kept in Unwritten()).
    bool Bad(const std::string& path, const std::string& reason = {});
    // Starts the section of the next PST of a mailbox split by size.
    bool Part(int number, const std::string& pstPath);
    // Appends "NOTE : " + path + " (" + text + ")": a file converted with a loss
    // the user should know of; false when it cannot be written.
    bool Note(const std::string& path, const std::string& text);
    // Appends "SKIPPED : " + path + " (" + reason + ")": a file that holds nothing
    // to convert, named so that nothing goes unaccounted for.
    bool Skipped(const std::string& path, const std::string& reason);
    bool Started() const { return started_; }
    // The log's own name when it was refused and this run's log is another
    // file, with the reason: "PATH (why)"; empty otherwise.
    const std::string& Refused() const { return refused_; }
    // Why lines were lost, empty while every line reached the file.
    const std::string& Error() const { return error_; }
    // The BAD lines that did not reach the file, as they would read there.
    const std::vector<std::string>& Unwritten() const { return unwritten_; }

private:
    bool WriteLine(const std::string& line);
    int OpenFallback();
    void Close();
    std::string path_;
    int fd_ = -1;
    bool started_ = false;
    std::string error_;
    std::string refused_;
    std::vector<std::string> unwritten_;
};

}  // namespace engine
