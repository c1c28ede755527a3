#pragma once
// Contact groups of the current form: the field "groupMember" holds a metadata
// text of its own whose list "m" names each member as {t, v}: "I" an address
// written inline, "C" a contact by its item id ("<id>", or "<account>:<id>" for
// another mailbox's), "G" a global address list entry by its LDAP DN. The
// export holds nothing more about a reference, so a "C" member is resolved
// through the export's own contacts (ContactDirectory); a "G" member never is.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "items/ItemConverters.h"

namespace items {

struct GroupReference {
    char type = 'I';    // 'I', 'C' or 'G'
    std::string value;  // as written
};

// The references of a "groupMember" text, in their order; nothing when it is
// not a well-formed metadata text.
std::vector<GroupReference> ReadGroupReferences(const std::string& groupMemberText);

// The export's contacts by their Zimbra id: name and first address of each,
// the members of each group.
class ContactDirectory {
public:
    // Reads a contact's ".meta" file (JSON type 6); false when it is none.
    bool Add(const std::string& metaPath);
    // The members the id stands for: a contact as one member (its address
    // empty when it has none), a group as its members (groups in it followed,
    // each once); nothing when the id is not one of the export's contacts.
    std::optional<std::vector<GroupMember>> Resolve(const std::string& id) const;
    size_t Size() const { return byId_.size(); }

private:
    struct Entry {
        GroupMember self;                     // a contact: its name and address
        bool group = false;
        std::vector<GroupMember> inlineMembers;
        std::vector<GroupReference> references;  // "C" members of a group
    };
    void Collect(const std::string& id, std::vector<GroupMember>& out, std::vector<std::string>& visited) const;
    std::map<std::string, Entry> byId_;
};

}  // namespace items
