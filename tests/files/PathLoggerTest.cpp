#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TempTree.h"
#include "files/PathLogger.h"

using namespace files;
using testutil::TempTree;

namespace {

template <typename T>
std::vector<std::string> KeysOf(const KeyedCollection<T>& c) {
    std::vector<std::string> keys;
    for (const auto& e : c.Entries()) keys.push_back(e.key);
    return keys;
}

template <typename T>
std::vector<T> ValuesOf(const KeyedCollection<T>& c) {
    std::vector<T> values;
    for (const auto& e : c.Entries()) values.push_back(e.value);
    return values;
}

struct LabelStatus : QueueStatus {
    std::vector<std::string> labels;
    bool DeleteSourceChecked() override { return false; }
    void SetCountLabel(const std::string& text) override { labels.push_back(text); }
};

}  // namespace

TEST(PathLogger, BreadthFirstLevelByLevel) {
    TempTree t;
    t.file("r/r1.eml");
    t.file("r/r2.eml");
    t.file("r/A/a1.eml");
    t.file("r/A/Deep/d1.eml");
    t.file("r/B/b1.eml");
    t.file("r/B/Deeper/e1.eml");
    pathLogger log;
    log.PathLogInit();
    EXPECT_TRUE(log.fullFileNamesOnly());
    LabelStatus status;
    EXPECT_TRUE(log.LogPath(t.path("r"), &status));

    const std::string r = t.path("r/");
    EXPECT_EQ(ValuesOf(log.pathNames()),
              (std::vector<std::string>{r, r + "A/", r + "B/", r + "A/Deep/", r + "B/Deeper/"}));
    EXPECT_EQ(KeysOf(log.pathNames()), (std::vector<std::string>{"K0", "K2", "K3", "K4", "K5"}));
    EXPECT_EQ(ValuesOf(log.fullFileNames()),
              (std::vector<std::string>{r + "r1.eml", r + "r2.eml", r + "A/a1.eml", r + "B/b1.eml",
                                        r + "A/Deep/d1.eml", r + "B/Deeper/e1.eml"}));
    EXPECT_EQ(KeysOf(log.fullFileNames()), (std::vector<std::string>{"K1", "K2", "K3", "K4", "K5", "K6"}));
    EXPECT_EQ(log.Count(), 7);
    EXPECT_EQ(log.fileNames().Count(), 0u);
    EXPECT_EQ(log.pathPointers().Count(), 0u);
    ASSERT_EQ(status.labels.size(), 6u);
    EXPECT_EQ(status.labels.back(), "6 Messages Queued for Conversion.");
}

TEST(PathLogger, FullRecordsWithPointers) {
    TempTree t;
    t.file("r/x.eml");
    t.file("r/S/y.eml");
    pathLogger log;
    log.PathLogInit();
    log.fullFileNamesOnly(false);
    ASSERT_TRUE(log.LogPath(t.path("r/")));
    EXPECT_EQ(ValuesOf(log.fileNames()), (std::vector<std::string>{"x.eml", "y.eml"}));
    EXPECT_EQ(ValuesOf(log.pathPointers()), (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(log.pathNames().Item(2), t.path("r/S/"));
    EXPECT_EQ(log.fullFileNames().Find("K2"), t.path("r/S/y.eml"));
}

TEST(PathLogger, TwoFilesNoSubfolders) {
    TempTree t;
    t.file("r/one");
    t.file("r/two");
    pathLogger log;
    log.PathLogInit();
    ASSERT_TRUE(log.LogPath(t.path("r")));
    EXPECT_EQ(KeysOf(log.pathNames()), (std::vector<std::string>{"K0"}));
    EXPECT_EQ(KeysOf(log.fullFileNames()), (std::vector<std::string>{"K1", "K2"}));
    EXPECT_EQ(log.Count(), 3);
}

TEST(PathLogger, NotAFolderChangesNothing) {
    TempTree t;
    t.file("r/one");
    pathLogger log;
    log.PathLogInit();
    ASSERT_TRUE(log.LogPath(t.path("r")));
    EXPECT_TRUE(log.LogPath(t.path("missing")));
    EXPECT_TRUE(log.LogPath(t.path("r/one")));
    EXPECT_EQ(log.Count(), 2);
    EXPECT_EQ(log.fullFileNames().Count(), 1u);
    EXPECT_EQ(log.pathNames().Count(), 1u);
    // PathLogInit discards the collections but keeps the counter.
    log.PathLogInit();
    EXPECT_EQ(log.fullFileNames().Count(), 0u);
    EXPECT_EQ(log.Count(), 2);
    log.Terminate();
    EXPECT_EQ(log.pathNames().Count(), 0u);
}
