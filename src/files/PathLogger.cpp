#include "files/PathLogger.h"

#include "files/FileApi.h"

namespace files {

void pathLogger::PathLogInit() {
    fullFileNamesOnly_ = true;
    fileNames_ = {};
    pathNames_ = {};
    pathPointers_ = {};
    fullFileNames_ = {};
}

void pathLogger::Terminate() {
    fileNames_ = {};
    pathNames_ = {};
    pathPointers_ = {};
    fullFileNames_ = {};
}

bool pathLogger::LogPath(std::string_view path, QueueStatus* status) {
    if (!FolderExists(path)) return true;
    auto withSeparator = [](std::string s) {
        if (s.empty() || s.back() != kPathSeparator) s.push_back(kPathSeparator);
        return s;
    };
    counter_ = 1;
    std::int32_t i = 1;
    std::int32_t j = 1;
    pathNames_.Add("K0", withSeparator(std::string(path)));
    while (i <= j) {
        const std::string folder = pathNames_.Item(static_cast<std::size_t>(i));
        FindEntry entry;
        // A readable folder always lists at least "." and "..": no listing means
        // the folder cannot be read, which ends the walk.
        if (FindFirstEntry(folder + "*", entry) == -1) return false;
        std::vector<std::string> files;
        do {
            if (entry.name == "." || entry.name == "..") continue;
            const std::uint32_t a = entry.attributes;
            if (a & kFileAttributeDirectory) {
                if (a & kFileAttributeReparsePoint) continue;  // links to folders are not followed
                if (status) status->Yield();
                ++j;
                pathNames_.Add("K" + std::to_string(j), folder + entry.name + kPathSeparator);
            } else {
                files.push_back(entry.name);
            }
        } while (FindNextEntry(entry) != 0);
        for (const auto& name : files) {
            if (status) status->Yield();
            const std::string key = "K" + std::to_string(counter_);
            if (fullFileNamesOnly_) {
                fullFileNames_.Add(key, folder + name);
                ++counter_;
                if (status) status->SetCountLabel(std::to_string(counter_ - 1) + std::string(kQueuedLabelSuffix));
            } else {
                fileNames_.Add(key, name);
                fullFileNames_.Add(key, folder + name);
                pathPointers_.Add(key, i);
                ++counter_;
            }
        }
        ++i;
    }
    return true;
}

}  // namespace files
