#pragma once
// What the item read-back tests share: a scratch folder with local time set to
// UTC, our verifier and pst-inspect as judges, and pypff scripts for the
// properties pst-inspect does not report.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "MetaEncoding.h"
#include "pst/verify/Verifier.h"
#include "support/Shell.h"

namespace itemsrb {

// Runs the script with the PST as its argument under a python3 that has pypff
// (as pst-inspect looks for one).
inline std::string PypffCommand(const std::string& script, const std::string& pst) {
    return "for p in \"$PST_INSPECT_PYPFF_PYTHON\" /usr/bin/python3 $(which -a python3); do [ -n \"$p\" ] && \"$p\" -c "
           "'import pypff' 2>/dev/null && exec \"$p\" " + testshell::Quote(script) + " " + testshell::Quote(pst) +
           "; done; echo 'no python3 with pypff'; exit 3";
}

class ReadBackFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/items-readback-XXXXXX";
        root_ = ::mkdtemp(pattern);
        if (const char* tz = std::getenv("TZ")) oldTz_ = tz;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override {
        if (oldTz_.empty()) ::unsetenv("TZ");
        else ::setenv("TZ", oldTz_.c_str(), 1);
        ::tzset();
        std::filesystem::remove_all(root_);
    }
    std::string Write(const std::string& rel, const std::string& bytes) { return metaenc::WriteUnder(root_, rel, bytes); }
    // Our verifier finds nothing wrong, and one pst-inspect run shows that every
    // reader opens the file, the readers agree, and each one's view matches
    // the expected JSON.
    void ExpectJudgedClean(const std::string& pst, const std::string& expected) {
        auto report = pst::verify::VerifyFile(pst);
        EXPECT_TRUE(report.Clean()) << pst::verify::SummaryLine(pst, report)
                                    << (report.faults.empty() ? report.fatal : pst::verify::FormatFault(report.faults[0]));
        const std::string expectedPath = root_ + "/expected.json";
        metaenc::WriteFile(expectedPath, expected);
        auto cmp = testshell::Run(testshell::Quote(ORVANDEL_PST_INSPECT) + " --strict --timeout 120 --reader all --compare " +
                                  testshell::Quote(expectedPath) + " " + testshell::Quote(pst));
        EXPECT_EQ(cmp.status, 0) << cmp.output;
    }
    std::string root_, oldTz_;
};

}  // namespace itemsrb
