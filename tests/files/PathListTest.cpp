#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files/PathList.h"

using files::PathList;

namespace {

// Paths of varied lengths (empty, long, non-ASCII), enough to pass the write
// chunk and the read window many times.
std::vector<std::string> SamplePaths(size_t n) {
    std::vector<std::string> out;
    for (size_t i = 0; i < n; ++i) {
        std::string p = "/export/jdoe/Inbox!" + std::to_string(i / 500) + "/" + std::to_string(i) + "-Müller.eml";
        if (i % 97 == 0) p.clear();
        if (i % 1001 == 0) p += std::string(5000 + i % 3000, 'x');
        out.push_back(p);
    }
    return out;
}

void ExpectSame(const PathList& list, const std::vector<std::string>& paths) {
    ASSERT_EQ(list.size(), paths.size());
    size_t i = 0;
    for (std::string p : list) ASSERT_EQ(p, paths[i++]) << i;
    // Backwards, and jumps that leave the last place read.
    for (size_t k = paths.size(); k-- > 0;) ASSERT_EQ(list[k], paths[k]) << k;
    for (size_t k = 0; k < paths.size(); k += 7919) {
        ASSERT_EQ(list[k], paths[k]);
        if (k + 3 < paths.size()) {
            ASSERT_EQ(list[k + 3], paths[k + 3]);
        }
    }
}

}  // namespace

TEST(PathList, ReadsBackEveryPathInAndOutOfOrderFromTheFileOrFromMemory) {
    const std::vector<std::string> paths = SamplePaths(60000);
    PathList list;
    for (const auto& p : paths) list.push_back(p);
    ExpectSame(list, paths);
    PathList moved = std::move(list);
    EXPECT_TRUE(list.empty());
    ExpectSame(moved, paths);
    moved.push_back("last");
    EXPECT_EQ(moved[paths.size()], "last");
    moved.clear();
    EXPECT_EQ(moved.size(), 0u);

    // No temporary folder to spool into: the paths stay in memory, all of them.
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", "/nonexistent/orvandel-test", 1);
    PathList inMemory(paths);
    if (old) setenv("TMPDIR", saved.c_str(), 1);
    else unsetenv("TMPDIR");
    ExpectSame(inMemory, paths);
}
