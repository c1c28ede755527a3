#include "engine/MailboxSelection.h"

#include <filesystem>
#include <fstream>
#include <map>

#include "files/ArchiveReader.h"
#include "files/FileApi.h"

namespace engine {

std::uint64_t MailboxNameHash(const std::string& name) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : name) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::optional<Shard> ParseShard(const std::string& text) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == text.size()) return std::nullopt;
    const std::string k = text.substr(0, slash), n = text.substr(slash + 1);
    if (k.find_first_not_of("0123456789") != std::string::npos || n.find_first_not_of("0123456789") != std::string::npos ||
        k.size() > 6 || n.size() > 6)
        return std::nullopt;
    Shard s{std::stoi(k), std::stoi(n)};
    if (s.count < 1 || s.index >= s.count) return std::nullopt;
    return s;
}

std::string MailboxNameOf(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool ReadManifest(const std::string& manifestPath, std::vector<MailboxRow>& rows, std::string& error) {
    std::ifstream in(manifestPath, std::ios::binary);
    if (!in) {
        error = "cannot read the manifest '" + manifestPath + "'";
        return false;
    }
    const std::filesystem::path base = std::filesystem::path(manifestPath).parent_path();
    std::map<std::string, std::pair<size_t, bool>> names;  // mailbox -> (its row, an archive)
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        line = line.substr(first, line.find_last_not_of(" \t") - first + 1);
        std::string path = line;
        if (path[0] != '/' && !base.empty()) path = (base / path).string();
        const std::string where = manifestPath + ":" + std::to_string(number);
        const bool archive = files::IsArchivePath(path) && files::FileExists(path);
        if (!archive && !files::FolderExists(path)) {
            error = where + ": '" + line + "' is not a mailbox folder or export archive";
            return false;
        }
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        const std::string name = archive ? files::ArchiveBaseName(MailboxNameOf(path)) : MailboxNameOf(path);
        if (name.empty() || name == "." || name == "..") {
            error = where + ": '" + line + "' has no mailbox name (its last component)";
            return false;
        }
        auto seen = names.find(name);
        if (seen != names.end() && archive && seen->second.second) {
            // Archives of one name are the parts of one mailbox (an export split by date range).
            MailboxRow& row = rows[seen->second.first];
            if (row.archives.empty()) row.archives.push_back(row.folder);
            row.archives.push_back(path);
            continue;
        }
        if (seen != names.end()) {
            error = where + ": a second mailbox named '" + name + "' (each name is one PST)";
            return false;
        }
        names.emplace(name, std::make_pair(rows.size(), archive));
        rows.push_back({true, name, path, {}});
    }
    if (rows.empty()) {
        error = "the manifest '" + manifestPath + "' names no mailbox";
        return false;
    }
    return true;
}

}  // namespace engine
