#include "items/TempFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <gmime/gmime.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>

#include "files/MemoryFiles.h"
#include "items/ZimbraMetaReader.h"
#include "store/PstStoreSession.h"

namespace items {

std::string TempFolderPath() {
    std::string dir;
    if (const char* env = std::getenv("TMPDIR"); env && *env) dir = env;
    struct stat st {};
    if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) dir = "/tmp";
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
    if (dir.back() != '/') dir += '/';
    return dir;
}

std::string TempNamePrefix() { return "orvandel-" + std::to_string(getpid()) + "-"; }

std::string NewTempFileName(const std::string& prefix) {
    std::string folder = TempFolderPath();
    if (folder.empty()) return {};
    std::string pattern = folder + TempNamePrefix() + SanitizeFileName(prefix) + "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd < 0) return {};
    close(fd);
    return buf.data();
}

std::string NewTempFolder(const std::string& prefix) {
    std::string folder = TempFolderPath();
    if (folder.empty()) return {};
    std::string pattern = folder + TempNamePrefix() + SanitizeFileName(prefix) + "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return {};
    return std::string(buf.data()) + "/";
}

bool IsExistingFile(const std::string& path) {
    if (path.empty()) return false;
    if (files::FindMemoryFile(path)) return true;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return false;
    return S_ISREG(st.st_mode);  // a pipe would block its reader, a device never end
}

std::string MemoryFileOnDisk(const std::string& path) {
    const auto memory = files::FindMemoryFile(path);
    if (!memory) return {};
    const std::string temp = NewTempFileName("ENTRY");
    if (temp.empty()) return {};
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(memory->bytes.data(), std::streamsize(memory->bytes.size()));
    out.close();
    if (!out) {
        RemoveTempFile(temp);
        return {};
    }
    return temp;
}

std::string CompanionPath(const std::string& metaPath) {
    std::string out;
    size_t from = 0;
    for (;;) {
        size_t at = metaPath.find(".meta", from);
        if (at == std::string::npos) break;
        out.append(metaPath, from, at - from);
        from = at + 5;
    }
    out.append(metaPath, from, std::string::npos);
    return out;
}

std::string SanitizeFileName(const std::string& name) {
    // Only the last path component counts, whichever separator it uses.
    std::string base = name;
    size_t slash = base.find_last_of("/\\");
    if (slash != std::string::npos) base = base.substr(slash + 1);
    std::string out;
    for (size_t i = 0; i < base.size();) {
        size_t from = i;
        char32_t cp = 0;
        auto b = uint8_t(base[i]);
        if (b < 0x80) {
            cp = b;
            ++i;
        } else {
            std::u16string one = Utf8ToUtf16(base.substr(i, std::min<size_t>(4, base.size() - i)));
            // Take one whole UTF-8 sequence; invalid bytes become "_".
            size_t len = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
            if (len == 1 || i + len > base.size() || one.empty() || one[0] == 0xFFFD) {
                out += '_';
                ++i;
                continue;
            }
            i += len;
            cp = one[0];
        }
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) { out += '_'; continue; }
        if (cp == ':' || cp == '*' || cp == '?' || cp == '"' || cp == '<' || cp == '>' || cp == '|') { out += '_'; continue; }
        out.append(base, from, i - from);
    }
    // No "." or ".." names, no leading dots (hidden files), no trailing dots or spaces.
    out.erase(0, std::min(out.find_first_not_of(". "), out.size()));  // at once: a name may hold very many
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    if (out.size() > 200) {
        size_t dot = out.rfind('.');
        std::string ext = (dot != std::string::npos && out.size() - dot <= 16) ? out.substr(dot) : "";
        size_t keep = 200 - ext.size();
        while (keep > 0 && (uint8_t(out[keep]) & 0xC0) == 0x80) --keep;  // whole UTF-8 sequences
        out = out.substr(0, keep) + ext;
    }
    if (out.empty()) out = "attachment";
    return out;
}

std::pair<std::string, int> CreateNumberedFile(const std::string& folder, const std::string& clean, int& next) {
    size_t dot = clean.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? clean : clean.substr(0, dot);
    std::string ext = dot == std::string::npos || dot == 0 ? "" : clean.substr(dot);
    for (int tries = 0; tries < 10000; ++tries, ++next) {
        std::string path = folder + (next <= 1 ? clean : stem + " (" + std::to_string(next) + ")" + ext);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            ++next;
            return {path, fd};
        }
        if (errno != EEXIST) break;
    }
    return {std::string(), -1};
}

std::pair<std::string, int> CreateNewFile(const std::string& folder, const std::string& name) {
    int next = 1;
    return CreateNumberedFile(folder, SanitizeFileName(name), next);
}

std::string SaveNewFile(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
    auto [path, fd] = CreateNewFile(folder, name);
    if (fd < 0) return {};
    size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        done += size_t(w);
    }
    if (close(fd) != 0) ok = false;
    if (!ok) {
        unlink(path.c_str());
        return {};
    }
    return path;
}

void RemoveTempFile(const std::string& path) {
    if (!path.empty() && IsExistingFile(path)) unlink(path.c_str());
}

void RemoveTempFolder(const std::string& folder) {
    if (!folder.empty()) rmdir(folder.c_str());
}

int RemoveStaleTempFiles() {
    const std::string tmp = TempFolderPath();
    if (tmp.empty()) return 0;
    const int dirFd = open(tmp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return 0;
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return 0;
    }
    std::vector<std::string> stale;
    const std::string kLead = "orvandel-";
    while (const dirent* d = readdir(dir)) {
        const std::string name = d->d_name;
        if (name.rfind(kLead, 0) != 0) continue;
        size_t end = kLead.size();
        while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
        if (end == kLead.size() || end >= name.size() || name[end] != '-' || end - kLead.size() > 9) continue;
        const pid_t owner = pid_t(std::stol(name.substr(kLead.size(), end - kLead.size())));
        // Only an owner that is gone: a live run, of this user or another, keeps its files.
        if (owner <= 0 || owner == getpid() || kill(owner, 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != geteuid()) continue;
        if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) stale.push_back(name);
    }
    int removed = 0;
    for (const auto& name : stale) {
        // A private folder holds files only (attachment copies); never follow anything in it.
        const int sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
            if (DIR* inner = fdopendir(sub)) {
                std::vector<std::string> files;
                while (const dirent* e = readdir(inner))
                    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) files.emplace_back(e->d_name);
                for (const auto& f : files) unlinkat(sub, f.c_str(), 0);
                closedir(inner);
            } else {
                close(sub);
            }
            if (unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0) ++removed;
        } else if (unlinkat(dirFd, name.c_str(), 0) == 0) {
            ++removed;
        }
    }
    closedir(dir);
    return removed;
}

}  // namespace items
