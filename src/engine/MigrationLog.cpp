#include "engine/MigrationLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "engine/EngineText.h"

namespace engine {

std::string LogPathFor(const std::string& pstPath) {
    // Only the file name changes: a folder such as "a.pst.old" stays, so the log
    // is always written beside the PST.
    const std::string parent = ParentOf(pstPath);
    const std::string name = pstPath.substr(parent.size());
    std::string logName = ReplaceAll(name, ".pst", ".log");
    if (logName == name) logName += ".log";
    return parent + logName;
}

bool MigrationLog::Start() {
    started_ = AppendLine("---- Log Starts -----", true);
    return started_;
}

bool MigrationLog::Part(int number, const std::string& pstPath) {
    return AppendLine("---- Part " + std::to_string(number) + ": " + pstPath + " -----", false);
}

bool MigrationLog::Bad(const std::string& path) { return AppendLine("BAD : " + path, false); }

bool MigrationLog::Note(const std::string& path, const std::string& text) {
    return AppendLine("NOTE : " + path + " (" + text + ")", false);
}

bool MigrationLog::Skipped(const std::string& path, const std::string& reason) {
    return AppendLine("SKIPPED : " + path + " (" + reason + ")", false);
}

bool MigrationLog::AppendLine(const std::string& text, bool truncate) {
    if (path_.empty()) return false;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND);
    const int fd = ::open(path_.c_str(), flags, 0644);
    if (fd < 0) return false;
    const std::string line = text + "\r\n";
    size_t done = 0;
    bool ok = true;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    return ok;
}

}  // namespace engine
