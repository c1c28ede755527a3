// The checks of a message's source made on the parsing thread ahead of its turn
// are the ones made in turn; announcements that never ran, or ran too late,
// leave them to be made in turn, from the file as it is then.
#include <gtest/gtest.h>

#include <thread>

#include "EngineTestSupport.h"
#include "engine/MessageChecksAhead.h"
#include "items/MetaEncoding.h"

using namespace enginetest;

namespace {

void ExpectSame(const engine::MessageChecks& got, const engine::MessageChecks& want, const std::string& path) {
    EXPECT_EQ(got.problem, want.problem) << path;
    EXPECT_EQ(got.size, want.size) << path;
    EXPECT_EQ(got.metaFound, want.metaFound) << path;
    EXPECT_EQ(got.state.known, want.state.known) << path;
    EXPECT_EQ(got.state.unread, want.state.unread) << path;
    EXPECT_EQ(got.state.flagged, want.state.flagged) << path;
}

}  // namespace

TEST(MessageChecksAhead, MadeAheadOnAnotherThreadOrInTurnTheyAreTheSame) {
    TempDir dir;
    WriteFile(dir / "a.eml", Eml("a"));
    WriteFile(dir / "a.eml.meta", metaenc::MetaJson({{"unread", "1"}, {"FlagStr", metaenc::JsonQuote("uf")}, {"type", "5"}}, "d1:vi10ee"));
    WriteFile(dir / "b.eml", Eml("b"));  // no .meta
    fs::create_symlink(dir / "b.eml", dir / "link.eml");
    WriteFile(dir / "c.eml", Eml("c"));
    fs::create_symlink(dir / "c.eml", dir / "c.eml.meta");
    const std::vector<std::string> paths = {dir / "a.eml", dir / "b.eml", dir / "link.eml", dir / "c.eml",
                                            dir / "gone.eml"};

    engine::MessageChecksAhead ahead;
    std::vector<std::function<void()>> jobs;
    for (const auto& p : paths) jobs.push_back(ahead.Announce(p));
    std::thread parser([&] {
        for (auto& job : jobs) job();
    });
    for (const auto& p : paths) ExpectSame(ahead.Take(p), engine::CheckMessageSource(p), p);
    parser.join();

    const engine::MessageChecks a = engine::CheckMessageSource(dir / "a.eml");
    EXPECT_TRUE(a.metaFound && a.state.unread && a.state.flagged);
    EXPECT_EQ(engine::CheckMessageSource(dir / "link.eml").problem, "symbolic link");
    EXPECT_EQ(engine::CheckMessageSource(dir / "c.eml").problem, "symbolic link beside it: " + (dir / "c.eml.meta"));
    EXPECT_FALSE(engine::CheckMessageSource(dir / "gone.eml").problem.empty());
}

TEST(MessageChecksAhead, ChecksNotMadeAheadAreMadeInTurnFromTheFileAsItIsThen) {
    TempDir dir;
    WriteFile(dir / "a.eml", Eml("a"));
    WriteFile(dir / "b.eml", Eml("b"));
    engine::MessageChecksAhead ahead;
    auto jobA = ahead.Announce(dir / "a.eml");
    auto jobB = ahead.Announce(dir / "b.eml");
    // b's .meta arrives after the announcement; its checks never ran ahead.
    WriteFile(dir / "b.eml.meta", metaenc::MetaJson({{"unread", "1"}, {"type", "5"}}, "d1:vi10ee"));
    const engine::MessageChecks b = ahead.Take(dir / "b.eml");  // a is passed over
    EXPECT_TRUE(b.metaFound);
    EXPECT_TRUE(b.state.unread);
    jobB();  // too late: it changes nothing
    jobA();
    ExpectSame(ahead.Take(dir / "a.eml"), engine::CheckMessageSource(dir / "a.eml"), "a.eml");
}
