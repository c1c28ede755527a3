#pragma once
// An item filled away from any store and put into a real one later: the import
// fills a message this way on the thread that parsed it, ahead of its turn,
// and the caller puts it into its PST in order. Every call is kept in the order
// it came and made again on the real item, so the result is the item a direct
// fill gives. Attachment data is read when it is set, as the store reads it,
// up to a bound: a larger item is better filled directly, its data streamed.
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "store/PstStoreSession.h"

namespace store {

class RecordedItem : public Item {
public:
    // Thrown by SetData once the data set in the item and the messages it
    // embeds passes the bound given.
    struct TooLarge : std::runtime_error {
        TooLarge() : std::runtime_error("more attachment data than an item recorded ahead holds") {}
    };

    RecordedItem(ItemType type, size_t maxDataBytes);
    ~RecordedItem() override;
    RecordedItem(const RecordedItem&) = delete;
    RecordedItem& operator=(const RecordedItem&) = delete;

    // Makes every recorded call again on `target` (a new item), in order; once.
    // What the target throws is thrown here.
    void Replay(Item& target);

    void SetProp(uint32_t tag, pst::PropValue value) override { Record(0, tag, std::move(value)); }
    void SetNamedProp(const pst::NamedProperty& name, uint16_t type, pst::PropValue value) override {
        RecordNamed(0, name, type, std::move(value));
    }
    std::optional<pst::PropValue> GetProp(uint32_t tag) const override { return Find(0, tag); }
    std::optional<pst::PropValue> GetNamedProp(const pst::NamedProperty& name) const override {
        return FindNamed(0, name);
    }
    void DeleteProp(uint32_t tag) override;
    ItemType Type() const override { return type_; }
    PropertyBag& AddRecipient() override;
    Attachment& AddAttachment() override;
    size_t AttachmentCount() const override { return attachments_; }
    void Save() override;

private:
    class Bag;
    struct Op;
    struct Budget {
        size_t left;
    };
    RecordedItem(ItemType type, std::shared_ptr<Budget> budget);

    void Record(uint32_t bag, uint32_t tag, pst::PropValue value);
    void RecordNamed(uint32_t bag, const pst::NamedProperty& name, uint16_t type, pst::PropValue value);
    void RecordDelete(uint32_t bag, uint32_t tag);
    void RecordData(uint32_t bag, DataSource& source);
    Item& RecordEmbedded(uint32_t bag, ItemType type);
    std::optional<pst::PropValue> Find(uint32_t bag, uint32_t tag) const;
    std::optional<pst::PropValue> FindNamed(uint32_t bag, const pst::NamedProperty& name) const;

    ItemType type_;
    std::shared_ptr<Budget> budget_;
    std::vector<Op> ops_;
    std::vector<std::unique_ptr<Bag>> bags_;  // recipients and attachments, in the order added
    size_t attachments_ = 0;
    // Values of the calls that are not plain properties.
    std::vector<pst::NamedProperty> names_;
    std::vector<std::vector<uint8_t>> data_;
    std::vector<std::unique_ptr<RecordedItem>> embedded_;
};

}  // namespace store
