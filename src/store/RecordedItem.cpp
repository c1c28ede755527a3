#include "store/RecordedItem.h"

#include <algorithm>

namespace store {

namespace {

// The store keeps 8-bit strings as Unicode ones: a value is found by either tag.
uint32_t NormalTag(uint32_t tag) {
    const uint16_t type = pst::TagType(tag);
    if (type == pst::PT_STRING8) return pst::MakeTag(pst::TagId(tag), pst::PT_UNICODE);
    if (type == 0x101E) return pst::MakeTag(pst::TagId(tag), pst::PT_MV_UNICODE);
    return tag;
}

}  // namespace

struct RecordedItem::Op {
    enum class Kind : uint8_t { Prop, Named, Delete, Recipient, Attachment, Data, Embedded };
    Kind kind;
    uint32_t bag;      // 0: the item; n: the n-th recipient or attachment added
    uint32_t tag = 0;  // Prop, Delete: the tag; Named: the type; Embedded: the item type
    pst::PropValue value{};
    size_t index = 0;  // Named: into names_; Data: into data_; Embedded: into embedded_
};

// A recipient row or an attachment: its calls go to the item's record.
class RecordedItem::Bag : public Attachment {
public:
    Bag(RecordedItem& owner, uint32_t id) : owner_(owner), id_(id) {}
    void SetProp(uint32_t tag, pst::PropValue value) override { owner_.Record(id_, tag, std::move(value)); }
    void SetNamedProp(const pst::NamedProperty& name, uint16_t type, pst::PropValue value) override {
        owner_.RecordNamed(id_, name, type, std::move(value));
    }
    std::optional<pst::PropValue> GetProp(uint32_t tag) const override { return owner_.Find(id_, tag); }
    std::optional<pst::PropValue> GetNamedProp(const pst::NamedProperty& name) const override {
        return owner_.FindNamed(id_, name);
    }
    void DeleteProp(uint32_t tag) override { owner_.RecordDelete(id_, tag); }
    void SetData(DataSource source) override { owner_.RecordData(id_, source); }
    Item& EmbeddedMessage(ItemType type) override { return owner_.RecordEmbedded(id_, type); }

private:
    RecordedItem& owner_;
    uint32_t id_;
};

RecordedItem::RecordedItem(ItemType type, size_t maxDataBytes)
    : RecordedItem(type, std::make_shared<Budget>(Budget{maxDataBytes})) {}

RecordedItem::RecordedItem(ItemType type, std::shared_ptr<Budget> budget) : type_(type), budget_(std::move(budget)) {}

RecordedItem::~RecordedItem() = default;

void RecordedItem::Record(uint32_t bag, uint32_t tag, pst::PropValue value) {
    // Room for a message with a few recipients at once, not grown step by step.
    if (ops_.empty()) ops_.reserve(128);
    ops_.push_back({Op::Kind::Prop, bag, tag, std::move(value)});
}

void RecordedItem::RecordNamed(uint32_t bag, const pst::NamedProperty& name, uint16_t type, pst::PropValue value) {
    names_.push_back(name);
    ops_.push_back({Op::Kind::Named, bag, type, std::move(value), names_.size() - 1});
}

void RecordedItem::DeleteProp(uint32_t tag) { RecordDelete(0, tag); }

void RecordedItem::RecordDelete(uint32_t bag, uint32_t tag) { ops_.push_back({Op::Kind::Delete, bag, tag}); }

PropertyBag& RecordedItem::AddRecipient() {
    bags_.push_back(std::make_unique<Bag>(*this, uint32_t(bags_.size() + 1)));
    ops_.push_back({Op::Kind::Recipient, uint32_t(bags_.size())});
    return *bags_.back();
}

Attachment& RecordedItem::AddAttachment() {
    bags_.push_back(std::make_unique<Bag>(*this, uint32_t(bags_.size() + 1)));
    ops_.push_back({Op::Kind::Attachment, uint32_t(bags_.size())});
    ++attachments_;
    return *bags_.back();
}

void RecordedItem::Save() { throw StoreError("a recorded item is put into a real one, not saved"); }

void RecordedItem::RecordData(uint32_t bag, DataSource& source) {
    std::vector<uint8_t> bytes;
    size_t got = 0;
    for (;;) {
        // Read in the store's chunks; a source may rely on room for two bytes.
        bytes.resize(got + (size_t(1) << 16));
        const size_t n = source(bytes.data() + got, bytes.size() - got);
        if (n == 0) break;
        got += std::min(n, bytes.size() - got);
        if (got > budget_->left) throw TooLarge();
    }
    bytes.resize(got);
    budget_->left -= got;
    data_.push_back(std::move(bytes));
    ops_.push_back({Op::Kind::Data, bag, 0, {}, data_.size() - 1});
}

Item& RecordedItem::RecordEmbedded(uint32_t bag, ItemType type) {
    embedded_.push_back(std::unique_ptr<RecordedItem>(new RecordedItem(type, budget_)));
    ops_.push_back({Op::Kind::Embedded, bag, uint32_t(type), {}, embedded_.size() - 1});
    return *embedded_.back();
}

std::optional<pst::PropValue> RecordedItem::Find(uint32_t bag, uint32_t tag) const {
    const uint32_t wanted = NormalTag(tag);
    for (auto op = ops_.rbegin(); op != ops_.rend(); ++op) {
        if (op->bag != bag) continue;
        // A value put replaces every other type of its id; a delete takes its own tag.
        if (op->kind == Op::Kind::Prop && pst::TagId(op->tag) == pst::TagId(tag))
            return NormalTag(op->tag) == wanted ? std::optional<pst::PropValue>(op->value) : std::nullopt;
        if (op->kind == Op::Kind::Delete && NormalTag(op->tag) == wanted) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<pst::PropValue> RecordedItem::FindNamed(uint32_t bag, const pst::NamedProperty& name) const {
    for (auto op = ops_.rbegin(); op != ops_.rend(); ++op)
        if (op->bag == bag && op->kind == Op::Kind::Named && names_[op->index] == name) return op->value;
    return std::nullopt;
}

void RecordedItem::Replay(Item& target) {
    std::vector<PropertyBag*> bags{&target};
    std::vector<Attachment*> attachments{nullptr};  // by bag, null for the item and recipient rows
    for (Op& op : ops_) {
        switch (op.kind) {
            case Op::Kind::Prop: bags[op.bag]->SetProp(op.tag, std::move(op.value)); break;
            case Op::Kind::Named:
                bags[op.bag]->SetNamedProp(names_[op.index], uint16_t(op.tag), std::move(op.value));
                break;
            case Op::Kind::Delete: bags[op.bag]->DeleteProp(op.tag); break;
            case Op::Kind::Recipient:
                bags.push_back(&target.AddRecipient());
                attachments.push_back(nullptr);
                break;
            case Op::Kind::Attachment: {
                Attachment& a = target.AddAttachment();
                bags.push_back(&a);
                attachments.push_back(&a);
                break;
            }
            case Op::Kind::Data:
                attachments[op.bag]->SetData(data_[op.index]);
                std::vector<uint8_t>().swap(data_[op.index]);
                break;
            case Op::Kind::Embedded:
                embedded_[op.index]->Replay(attachments[op.bag]->EmbeddedMessage(ItemType(op.tag)));
                break;
        }
    }
    ops_.clear();
}

}  // namespace store
