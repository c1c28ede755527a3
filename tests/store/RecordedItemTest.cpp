// An item recorded away from the store and put into a real one later must end
// up as if filled directly, and must answer what it was given while recorded.
#include <gtest/gtest.h>

#include "store/RecordedItem.h"
#include "support/FakeStore.h"

namespace {

using namespace pst::tags;

store::DataSource Bytes(size_t n, uint8_t fill) {
    auto left = std::make_shared<size_t>(n);
    return [left, fill](uint8_t* buf, size_t cap) {
        const size_t k = std::min(cap, *left);
        std::fill(buf, buf + k, fill);
        *left -= k;
        return k;
    };
}

TEST(RecordedItem, ReplaysEveryCallInOrderAndAnswersWhatItWasGiven) {
    store::RecordedItem rec(store::ItemType::Mail, 1 << 20);
    const pst::NamedProperty name{pst::PS_PUBLIC_STRINGS(), true, 0, "Keywords"};
    rec.SetProp(PR_SUBJECT, std::string("first"));
    rec.SetProp(pst::MakeTag(pst::TagId(PR_SUBJECT), pst::PT_STRING8), std::string("second"));
    rec.SetProp(PR_IMPORTANCE, int32_t(2));
    rec.DeleteProp(PR_IMPORTANCE);
    rec.SetNamedProp(name, pst::PT_UNICODE, std::string("tag"));
    rec.AddRecipient().SetProp(PR_DISPLAY_NAME, std::string("Bob"));
    store::Attachment& att = rec.AddAttachment();
    att.SetProp(PR_ATTACH_LONG_FILENAME, std::string("a.bin"));
    att.SetData(Bytes(100000, 7));
    store::Attachment& inner = rec.AddAttachment();
    inner.EmbeddedMessage(store::ItemType::Mail).SetProp(PR_SUBJECT, std::string("inner"));
    // Read back as the store reads: either string tag, the last value of an id.
    EXPECT_EQ(std::get<std::string>(*rec.GetProp(PR_SUBJECT)), "second");
    EXPECT_FALSE(rec.GetProp(PR_IMPORTANCE));
    EXPECT_EQ(std::get<std::string>(*rec.GetNamedProp(name)), "tag");
    EXPECT_EQ(rec.AttachmentCount(), 2u);

    fake::FakeItem target;
    rec.Replay(target);
    EXPECT_EQ(target.Str(pst::MakeTag(pst::TagId(PR_SUBJECT), pst::PT_STRING8)), "second");
    EXPECT_FALSE(target.GetProp(PR_IMPORTANCE));
    EXPECT_EQ(std::get<std::string>(*target.GetNamedProp(name)), "tag");
    ASSERT_EQ(target.recipients.size(), 1u);
    EXPECT_EQ(target.recipients[0]->Str(PR_DISPLAY_NAME), "Bob");
    ASSERT_EQ(target.attachments.size(), 2u);
    EXPECT_EQ(target.attachments[0]->Str(PR_ATTACH_LONG_FILENAME), "a.bin");
    EXPECT_EQ(target.attachments[0]->data, std::vector<uint8_t>(100000, 7));
    ASSERT_TRUE(target.attachments[1]->embedded);
    EXPECT_EQ(target.attachments[1]->embedded->Str(PR_SUBJECT), "inner");
}

TEST(RecordedItem, DataPastTheBoundIsRefusedAcrossEmbeddedMessages) {
    store::RecordedItem rec(store::ItemType::Mail, 150000);
    rec.AddAttachment().SetData(Bytes(100000, 1));
    store::Item& inner = rec.AddAttachment().EmbeddedMessage(store::ItemType::Mail);
    EXPECT_THROW(inner.AddAttachment().SetData(Bytes(60000, 2)), store::RecordedItem::TooLarge);
    EXPECT_THROW(rec.Save(), store::StoreError);
}

}  // namespace
