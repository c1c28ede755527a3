#pragma once
// Which mailboxes a run of many converts: the folders below a root, or the
// lines of a manifest; then a deterministic share of them for one task of a
// job array (`--shard K/N`).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/MigrationView.h"

namespace engine {

// A stable hash of a mailbox name (64-bit FNV-1a of its bytes): the same on
// every machine and in every release, so a mailbox stays in its share.
std::uint64_t MailboxNameHash(const std::string& name);

struct Shard {
    int index = 0;  // K, 0-based
    int count = 1;  // N
    bool Holds(const std::string& mailboxName) const {
        return MailboxNameHash(mailboxName) % static_cast<std::uint64_t>(count) == static_cast<std::uint64_t>(index);
    }
    std::string Text() const { return std::to_string(index) + "/" + std::to_string(count); }
};

// "K/N" with 0 <= K < N; nothing when the text is not one.
std::optional<Shard> ParseShard(const std::string& text);

// The mailbox name of a source path: its last component.
std::string MailboxNameOf(const std::string& path);

// The manifest's mailboxes: one path a line; blank lines and lines starting with
// '#' are left out, a relative path is taken from the manifest's own folder.
// Every row selected, in the manifest's order. Archives of the same name (in
// different folders) are the parts of one mailbox, read in the manifest's order.
// False with `error` set when the manifest cannot be read, a path is not a folder
// or an archive, or two folders, or a folder and an archive, share a name (they
// would write the same PST).
bool ReadManifest(const std::string& manifestPath, std::vector<MailboxRow>& rows, std::string& error);

}  // namespace engine
