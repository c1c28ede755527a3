#pragma once
// The seed inputs of the robustness tests: the sample export, the real
// truncated export and the real messages of the fixtures.
#include <map>
#include <string>
#include <vector>

#include "Mutator.h"

namespace fuzz {

struct SeedFile {
    std::string name;   // the file's name, for the kind of item
    std::string bytes;  // its content
    std::string companion;  // the companion's content ("" when there is none)
    bool hasCompanion = false;
};

// The ".meta" files (with their companions) of the sample export and of the
// truncated real export, in a fixed order. The export is extracted under
// `scratch`.
inline std::vector<SeedFile> MetaSeeds(const std::string& scratch) {
    std::vector<SeedFile> seeds;
    std::string truncated = scratch + "/truncated";
    std::filesystem::create_directories(truncated);
    ExtractTruncatedExport(std::string(ORVANDEL_FIXTURES) + "/zimbra-truncated.tgz", truncated);
    for (const std::string& root : {std::string(ORVANDEL_SAMPLE_EXPORT), truncated}) {
        for (const auto& p : FilesUnder(root, {".meta"})) {
            SeedFile s;
            s.name = p.filename().string();
            s.bytes = ReadAll(p);
            std::string companion = p.string().substr(0, p.string().size() - 5);
            std::error_code ec;
            if (std::filesystem::is_regular_file(companion, ec)) {
                s.companion = ReadAll(companion);
                s.hasCompanion = true;
            }
            seeds.push_back(std::move(s));
        }
    }
    return seeds;
}

// Messages: the sample export's ".eml" files and the fixtures' real messages
// no bigger than `maxBytes` (big ones cost time without adding paths).
inline std::vector<std::string> MessageSeeds(size_t maxBytes) {
    std::vector<std::string> seeds;
    for (const std::string& root : {std::string(ORVANDEL_SAMPLE_EXPORT), std::string(ORVANDEL_FIXTURES) + "/eml"}) {
        for (const auto& p : FilesUnder(root, {".eml"})) {
            std::error_code ec;
            if (std::filesystem::file_size(p, ec) > maxBytes || ec) continue;
            seeds.push_back(ReadAll(p));
        }
    }
    return seeds;
}

}  // namespace fuzz
