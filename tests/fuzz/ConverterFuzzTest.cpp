// The four item converters on damaged ".meta" files and companions, over the
// in-memory store. Each call must return an outcome without throwing; Saved
// means exactly one new item and any other outcome none; every text the item
// holds is valid UTF-8; the source files stay as they were; no temporary file
// is left behind.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "Contract.h"
#include "Corpus.h"
#include "items/StickyNote.h"
#include "items/ZimbraConverters.h"

using namespace items;
using fuzz::Printable;
namespace fs = std::filesystem;

namespace {

class ConverterFuzz : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        seedScratch_ = new fuzz::ScratchDir();
        *seeds_ = fuzz::MetaSeeds(seedScratch_->path());
        for (auto& s : fuzz::MessageSeeds(8000)) {
            if (mimeSeeds_->size() >= 30) break;
            mimeSeeds_->push_back(s);
        }
        for (const auto& s : *seeds_) metaBytes_->push_back(s.bytes);
    }
    static void TearDownTestSuite() {
        delete seedScratch_;
        seedScratch_ = nullptr;
    }
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        work_ = scratch_.path() + "/work";
        tmp_ = scratch_.path() + "/tmp";
        fs::create_directories(work_);
        fs::create_directories(tmp_);
        if (const char* old = getenv("TMPDIR")) oldTmp_ = old;
        setenv("TMPDIR", tmp_.c_str(), 1);
        session_.LogonPstStore(scratch_.path() + "/x.pst", 1, "Mailbox");
        session_.st->ValidateIPMTree();
        ctx_.session = &session_;
        ctx_.storeEntryID = session_.st->EntryID();
    }
    void TearDown() override {
        if (oldTmp_.empty()) unsetenv("TMPDIR");
        else setenv("TMPDIR", oldTmp_.c_str(), 1);
    }

    size_t SavedCount() {
        size_t n = 0;
        for (int f : {store::olFolderContacts, store::olFolderCalendar, store::olFolderTasks, store::olFolderNotes})
            n += static_cast<fake::FakeFolder&>(session_.st->GetDefaultFolder(f)).saved.size();
        return n;
    }
    const fake::FakeItem* Newest() {
        const fake::FakeItem* found = nullptr;
        for (int f : {store::olFolderContacts, store::olFolderCalendar, store::olFolderTasks, store::olFolderNotes}) {
            auto& saved = static_cast<fake::FakeFolder&>(session_.st->GetDefaultFolder(f)).saved;
            if (!saved.empty()) found = saved.back().get();
        }
        return found;
    }
    void Forget() {
        for (int f : {store::olFolderContacts, store::olFolderCalendar, store::olFolderTasks, store::olFolderNotes})
            static_cast<fake::FakeFolder&>(session_.st->GetDefaultFolder(f)).saved.clear();
    }

    // Writes the files, runs every converter on them and checks the contract.
    void RunAll(const std::string& name, const std::string& meta, const std::string* companion) {
        fs::remove_all(work_);
        fs::create_directories(work_);
        std::string metaPath = work_ + "/" + name;
        fuzz::WriteAll(metaPath, meta);
        std::string companionPath = metaPath.size() > 5 ? metaPath.substr(0, metaPath.size() - 5) : metaPath + ".c";
        if (companion) fuzz::WriteAll(companionPath, *companion);
        using Fn = ItemOutcome (*)(const ItemContext&, const std::string&);
        const std::pair<const char*, Fn> converters[] = {{"contact", &ConvertContactFile},
                                                         {"calendar", &ConvertCalendarFile},
                                                         {"task", &ConvertTaskFile},
                                                         {"note", &ConvertNoteFile},
                                                         {"sticky note", &ConvertStickyNoteFile}};
        for (const auto& [kind, convert] : converters) {
            Forget();
            ItemOutcome outcome = ItemOutcome::Failed;
            try {
                outcome = convert(ctx_, metaPath);
            } catch (const std::exception& e) {
                FAIL() << kind << " converter threw \"" << e.what() << "\" on " << Printable(meta);
            }
            ++tally_[int(outcome)];
            size_t saved = SavedCount();
            if (outcome == ItemOutcome::Saved) {
                ASSERT_EQ(saved, 1u) << kind << " said Saved with " << saved << " items: " << Printable(meta);
                std::string bad = fuzz::BadTextInItem(*Newest());
                if (!bad.empty()) {
                    fuzz::DumpInput(name, meta);
                    if (companion) fuzz::DumpInput(name.substr(0, name.size() - 5), *companion);
                }
                ASSERT_TRUE(bad.empty()) << kind << ": unsound value (text no UTF-8, or a time wrapped round) in " << bad << " from " << Printable(meta);
            } else {
                ASSERT_EQ(saved, 0u) << kind << " saved an item but reported a failure: " << Printable(meta);
            }
            // The sources stay, unchanged.
            ASSERT_EQ(fuzz::ReadAll(metaPath), meta) << kind << " changed its source";
            if (companion) {
                ASSERT_EQ(fuzz::ReadAll(companionPath), *companion) << kind << " changed the companion";
            }
            ASSERT_TRUE(fs::is_empty(tmp_)) << kind << " left temporary files behind for " << Printable(meta);
        }
    }

    fuzz::ScratchDir scratch_;
    std::string work_, tmp_, oldTmp_;
    size_t tally_[3] = {0, 0, 0};  // by ItemOutcome
    fake::FakeSession session_;
    ItemContext ctx_;
    static inline fuzz::ScratchDir* seedScratch_ = nullptr;
    static inline std::vector<fuzz::SeedFile>* seeds_ = new std::vector<fuzz::SeedFile>();
    static inline std::vector<std::string>* mimeSeeds_ = new std::vector<std::string>();
    static inline std::vector<std::string>* metaBytes_ = new std::vector<std::string>();
};

TEST_F(ConverterFuzz, SeedsConvertCleanly) {
    ASSERT_GT(seeds_->size(), 20u) << "seed corpus missing";
    for (const auto& s : *seeds_) {
        RunAll(s.name, s.bytes, s.hasCompanion ? &s.companion : nullptr);
        if (HasFatalFailure()) return;
    }
    // The seeds are real items: many of them convert.
    EXPECT_GT(tally_[int(ItemOutcome::Saved)], seeds_->size() / 3);
}

TEST_F(ConverterFuzz, MutatedMetaFiles) {
    fuzz::Rng rng(0xC0417E01);
    size_t n = fuzz::Iterations(300);
    for (size_t k = 0; k < n; ++k) {
        const auto& seed = (*seeds_)[rng.Below(seeds_->size())];
        std::string meta = fuzz::Mutate(seed.bytes, rng, metaBytes_);
        RunAll(seed.name, meta, seed.hasCompanion ? &seed.companion : nullptr);
        if (HasFatalFailure()) return;
    }
    // Mutants that still convert, and mutants that are refused: both paths ran.
    EXPECT_GT(tally_[int(ItemOutcome::Saved)], n / 4);
    EXPECT_GT(tally_[int(ItemOutcome::Failed)] + tally_[int(ItemOutcome::NoSection)], n / 4);
}

TEST_F(ConverterFuzz, MutatedCompanions) {
    fuzz::Rng rng(0xC0417E02);
    std::vector<const fuzz::SeedFile*> withCompanion;
    for (const auto& s : *seeds_)
        if (s.hasCompanion) withCompanion.push_back(&s);
    ASSERT_FALSE(withCompanion.empty());
    size_t n = fuzz::Iterations(120);
    for (size_t k = 0; k < n; ++k) {
        const auto& seed = *withCompanion[rng.Below(withCompanion.size())];
        std::string companion = rng.OneIn(3) ? fuzz::Mutate((*mimeSeeds_)[rng.Below(mimeSeeds_->size())], rng, mimeSeeds_)
                                             : fuzz::Mutate(seed.companion, rng, mimeSeeds_);
        RunAll(seed.name, seed.bytes, &companion);
        if (HasFatalFailure()) return;
    }
}

// Metadata built to break length and nesting logic, inside each kind's wrapper.
TEST_F(ConverterFuzz, HostileMetadata) {
    std::vector<std::string> bodies = {
        std::string(5000, 'd'), std::string(100000, 'l'), "d3:inv0d99999999:xe", "d4:inv0d1:n4294967295:xee",
        "d4:inv0d2:at" + std::string(200, '9') + "d1:a1:xeee", "d4:inv0d4:at99d1:a1:xe4:at00d1:a1:yeee",
        "d4:inv0d4:al0d2:tr999999999:-P1DTee", "d4:inv0d2:st15:TZID=:20240101Tee", "d5:email99999999:x",
        "d9:firstName3:\xF0\x9F\x98\x80" "e", "d2:tr40:-P9999999W9999999W9999999W9999999WTee", "5:desc" "4:\\uD800",
        "d4:desc6:\\uDBFFe", "d4:inv0d2:st31:TZID=Asia/Tokyo:16010101T0000002:et15:16010101T000000ee",
        "d4:inv0d2:st19:VALUE=DATE:160101012:et8:16010101ee", "d4:inv0d2:st16:99991231T235959Zee",
        "d9:completed31:TZID=Asia/Tokyo:16010101T0000006:status4:COMPe", "d4:dlist" + std::string(9, '9') + ":" + std::string(100, ','),
    };
    const char* wrappers[][2] = {{"x.appt.meta", "{\"type\":11,\"path\":\"/Calendar/x\",\"metadata\":\""},
                                 {"x.task.meta", "{\"type\":15,\"path\":\"/Tasks/x\",\"metadata\":\""},
                                 {"x.meta", "{\"type\":6,\"path\":\"/Contacts/x\",\"metadata\":\"d3:"},
                                 {"x.wiki.meta", "{\"type\":14,\"path\":\"/Notebook/x\",\"name\":\"\\uD800\",\"metadata\":\""}};
    for (const auto& body : bodies) {
        for (const auto& w : wrappers) {
            RunAll(w[0], std::string(w[1]) + body + "\"}", nullptr);
            if (HasFatalFailure()) return;
            RunAll(w[0], std::string(w[1]) + body, nullptr);  // cut off: no closing quote
            if (HasFatalFailure()) return;
        }
    }
}

}  // namespace
