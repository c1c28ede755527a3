#pragma once
// Where converted items came from, so that a second run into the same PST adds
// only what is not there yet. Every item saved while the store has a source set
// carries the source's text as a named property of our own property set
// (SourceProperty); the store also keeps a 16-byte digest of every committed
// source in one property of the message store (SourceIndexProperty), read once
// when the file is opened: finding what a PST holds never reads its items.
// The property's digests may come in any order (SourceLog appends them).
//
// Two independent 64-bit digests make a false match (a source taken for
// converted, and deleted with --delete-source) as likely as a random 128-bit
// collision. The digest is fixed here for good: files keep it.
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "pst/messaging/PropertyValue.h"
#include "store/SpilledKeySet.h"

namespace store {

// The properties, by name in Orvandel's own property set.
const pst::NamedProperty& SourceProperty();       // PT_UNICODE, on each item
const pst::NamedProperty& SourceIndexProperty();  // PT_BINARY, on the message store

class SourceIndex {
public:
    using Digest = std::array<uint8_t, 16>;

    // Takes the digests of a store's index property (in any order, as files
    // keep them); a value that is no index (not a multiple of 16 bytes) gives
    // an empty index.
    void Load(const pst::Binary& stored);
    bool Contains(std::string_view source) const;
    // A source of an item saved since the last commit: not Contains() before Committed().
    void AddPending(std::string_view source);
    bool HasPending() const { return !pending_.empty(); }
    const std::vector<Digest>& Pending() const { return pending_; }
    // Every committed digest, in no particular order.
    template <class F>
    void ForEachCommitted(F&& f) const {
        committed_.ForEach(f);
    }
    // The pending sources reached the file.
    void Committed();
    // Adds what another PST of the same mailbox holds.
    void Merge(const SourceIndex& other);
    size_t Size() const { return committed_.size(); }

private:
    static Digest Of(std::string_view source);
    // Mostly in a temporary file: a million items' digests are not held in memory.
    SpilledKeySet<Digest> committed_;
    std::vector<Digest> pending_;
};

}  // namespace store
