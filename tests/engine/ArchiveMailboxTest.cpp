// The queue an archive read in one pass hands to the engine: folders before
// what they describe, partners together, nothing held back to the end.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/ArchiveMailbox.h"

namespace {

namespace fs = std::filesystem;

struct Scratch {
    std::string path;
    Scratch() {
        std::string templ = (fs::temp_directory_path() / "orvandel-archive-test-XXXXXX").string();
        path = ::mkdtemp(templ.data()) ? templ : std::string();
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// A tar of (name, text) entries in the order given; `python3` writes it.
std::string Tar(const Scratch& dir, const std::string& file, const std::vector<std::pair<std::string, std::string>>& entries) {
    const std::string list = dir.path + "/" + file + ".list";
    std::ofstream out(list, std::ios::binary);
    for (const auto& [name, text] : entries) out << name << '\0' << text << '\0';
    out.close();
    const std::string archive = dir.path + "/" + file;
    const std::string cmd = "python3 -c \"import io,sys,tarfile\n"
                            "parts = open(sys.argv[1], 'rb').read().split(b'\\0')[:-1]\n"
                            "with tarfile.open(sys.argv[2], 'w') as t:\n"
                            "    for n, d in zip(parts[0::2], parts[1::2]):\n"
                            "        i = tarfile.TarInfo(n.decode()); i.size = len(d); t.addfile(i, io.BytesIO(d))\n"
                            "\" '" + list + "' '" + archive + "'";
    return std::system(cmd.c_str()) == 0 ? archive : std::string();
}

std::string FolderMeta(int id, const std::string& path) {
    return "{\"id\":" + std::to_string(id) + ",\"type\":1,\"name\":\"x\",\"Path\":\"" + path + "\",\"metadata\":\"d1:ai0ee\"}";
}

// Every entry queued, in queue order, as names below the archive.
std::vector<std::string> ReadAll(engine::ArchiveMailbox& box, size_t* firstItemAfter = nullptr) {
    files::PathList queue = box.TakeOpening();
    while (box.ReadMore(queue)) {
        if (firstItemAfter && *firstItemAfter == 0)
            for (const std::string path : queue)
                if (path.find(".eml") != std::string::npos) *firstItemAfter = box.Accepted();
    }
    std::vector<std::string> names;
    for (const std::string path : queue) names.push_back(path.substr(box.Root().size()));
    return names;
}

size_t At(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

}  // namespace

TEST(ArchiveMailbox, FoldersGoBeforeWhatTheyDescribeAndPartnersTogether) {
    Scratch dir;
    // Packed backwards: each item before its folders, a folder before its parent.
    const std::string archive =
        Tar(dir, "back.tar",
            {{"Inbox/Work/0000000400-Plan.eml.meta", "{\"id\":400}"},
             {"Contacts/Doe, Jane.meta", "{\"id\":500,\"size\":0}"},
             {"Inbox/Work/0000000400-Plan.eml", "Subject: Plan\r\n\r\nbody\r\n"},
             {"Inbox/0000000300-Work.meta", FolderMeta(300, "/Inbox/Work")},
             {"0000000007-Contacts.meta", FolderMeta(7, "/Contacts")},
             {"0000000002-Inbox.meta", FolderMeta(2, "/Inbox")},
             {"0000000011-ROOT.meta", "{\"id\":11,\"type\":1,\"name\":\"ROOT\",\"Path\":\"/\"}"}});
    ASSERT_FALSE(archive.empty());
    engine::ArchiveMailbox box;
    std::string error;
    ASSERT_TRUE(box.Open(archive, error)) << error;
    const auto names = ReadAll(box);
    ASSERT_EQ(names.size(), 7u);
    EXPECT_LT(At(names, "0000000002-Inbox.meta"), At(names, "Inbox/0000000300-Work.meta"));
    EXPECT_LT(At(names, "Inbox/0000000300-Work.meta"), At(names, "Inbox/Work/0000000400-Plan.eml.meta"));
    EXPECT_LT(At(names, "0000000007-Contacts.meta"), At(names, "Contacts/Doe, Jane.meta"));
    EXPECT_EQ(At(names, "Inbox/Work/0000000400-Plan.eml.meta") + 1, At(names, "Inbox/Work/0000000400-Plan.eml"));
    EXPECT_DOUBLE_EQ(box.Fraction(), 1.0);
    EXPECT_EQ(box.CutOffText(), "");
}

TEST(ArchiveMailbox, ItemsOfDirectoriesNoFolderDescribesAreNotHeldToTheEnd) {
    Scratch dir;
    // The server's order, but the export lists no folder for "Archive": its items
    // go on once a stretch of entries brought no folder, long before the end.
    std::vector<std::pair<std::string, std::string>> entries = {
        {"0000000011-ROOT.meta", "{\"id\":11,\"type\":1,\"name\":\"ROOT\",\"Path\":\"/\"}"}};
    for (int i = 0; i < 1500; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "Archive/%010d-M.eml", 1000 + i);
        entries.push_back({std::string(name) + ".meta", "{}"});
        entries.push_back({name, "Subject: m\r\n\r\nbody\r\n"});
    }
    const std::string archive = Tar(dir, "flat.tar", entries);
    ASSERT_FALSE(archive.empty());
    engine::ArchiveMailbox box;
    std::string error;
    ASSERT_TRUE(box.Open(archive, error)) << error;
    size_t readWhenFirstQueued = 0;
    const auto names = ReadAll(box, &readWhenFirstQueued);
    EXPECT_EQ(names.size(), entries.size());
    EXPECT_GT(readWhenFirstQueued, 0u);
    EXPECT_LT(readWhenFirstQueued, entries.size() / 2);
}
