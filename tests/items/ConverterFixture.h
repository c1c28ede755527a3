#pragma once
// What the converter tests over the in-memory store share: a scratch folder,
// $TMPDIR pointed into it (so that a temporary file a converter leaves behind
// fails the test), a store session with its default folders, and the context
// the converters take.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "MetaEncoding.h"
#include "items/ItemConverters.h"
#include "support/FakeStore.h"

namespace itemstest {

class ConverterFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/items-test-XXXXXX";
        root_ = ::mkdtemp(pattern);
        tmp_ = root_ + "/tmp";
        std::filesystem::create_directories(tmp_);
        if (const char* old = std::getenv("TMPDIR")) oldTmp_ = old;
        ::setenv("TMPDIR", tmp_.c_str(), 1);
        session_.LogonPstStore(root_ + "/x.pst", 1, "Mailbox");
        session_.st->ValidateIPMTree();
        ctx_.session = &session_;
        ctx_.storeEntryID = session_.st->EntryID();
    }
    void TearDown() override {
        // Every temporary file a converter made is gone again.
        EXPECT_TRUE(std::filesystem::is_empty(tmp_)) << "temporary files left behind";
        if (oldTmp_.empty()) ::unsetenv("TMPDIR");
        else ::setenv("TMPDIR", oldTmp_.c_str(), 1);
        std::filesystem::remove_all(root_);
    }
    std::string Write(const std::string& rel, const std::string& bytes) { return metaenc::WriteUnder(root_, rel, bytes); }
    fake::FakeFolder& Folder(int n) { return static_cast<fake::FakeFolder&>(session_.st->GetDefaultFolder(n)); }

    std::string root_, tmp_, oldTmp_;
    fake::FakeSession session_;
    items::ItemContext ctx_;
};

}  // namespace itemstest
