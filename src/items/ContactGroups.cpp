#include "items/ContactGroups.h"

#include <algorithm>

#include "items/MetaValue.h"
#include "items/ZimbraConverters.h"
#include "items/ZimbraMetaReader.h"

namespace items {

std::vector<GroupReference> ReadGroupReferences(const std::string& groupMemberText) {
    std::vector<GroupReference> out;
    const auto top = ReadMetaDictionary(groupMemberText);
    const MetaValue* list = top ? top->Member("m") : nullptr;
    if (!list || list->kind != MetaValue::Kind::List) return out;
    for (const auto& [key, member] : list->items) {
        if (member.kind != MetaValue::Kind::Dictionary) continue;
        const std::string t = member.Text("t"), v = TrimSpaces(member.Text("v"));
        if (t.size() != 1 || v.empty() || (t[0] != 'I' && t[0] != 'C' && t[0] != 'G')) continue;
        out.push_back({t[0], v});
    }
    return out;
}

bool ContactDirectory::Add(const std::string& metaPath) {
    const MetaFile file = ParseMetaFile(ReadMetaText(metaPath));
    if (!file.isJson || file.ItemType() != 6) return false;
    const std::string id = TrimSpaces(file.Member("id").value_or(""));
    const auto top = ReadMetaDictionary(file.Member("metadata").value_or(""));
    const MetaValue* fld = top ? top->Member("fld") : nullptr;
    if (id.empty() || !fld || fld->kind != MetaValue::Kind::Dictionary) return false;
    Entry e;
    const std::string first = TrimSpaces(fld->Text("firstName")), last = TrimSpaces(fld->Text("lastName"));
    std::string name = TrimSpaces(fld->Text("fullName"));
    if (name.empty()) name = TrimSpaces(first + (first.empty() || last.empty() ? "" : " ") + last);
    if (name.empty()) name = TrimSpaces(fld->Text("nickname"));
    if (name.empty()) name = TrimSpaces(fld->Text("company"));
    for (const char* key : {"email", "email2", "email3"}) {
        const auto values = ParseGroupMembers(fld->Text(key));
        if (!values.empty()) {
            e.self.address = values.front().address;
            break;
        }
    }
    e.self.name = name.empty() ? e.self.address : name;
    e.self.text = e.self.address.empty() ? e.self.name : e.self.name + " <" + e.self.address + ">";
    e.group = fld->Text("type") == "group";
    if (e.group) {
        e.inlineMembers = ParseGroupMembers(fld->Text("dlist"));
        for (const auto& ref : ReadGroupReferences(fld->Text("groupMember"))) {
            if (ref.type == 'I') {
                for (auto& m : ParseGroupMembers(ref.value)) e.inlineMembers.push_back(std::move(m));
            } else if (ref.type == 'C') {
                e.references.push_back(ref);
            }
        }
    }
    byId_[id] = std::move(e);
    return true;
}

void ContactDirectory::Collect(const std::string& id, std::vector<GroupMember>& out,
                               std::vector<std::string>& visited) const {
    auto it = byId_.find(id);
    if (it == byId_.end() || std::find(visited.begin(), visited.end(), id) != visited.end()) return;
    visited.push_back(id);
    const Entry& e = it->second;
    if (!e.group) {
        out.push_back(e.self);
        return;
    }
    for (const auto& m : e.inlineMembers) out.push_back(m);
    for (const auto& ref : e.references) Collect(ref.value, out, visited);
}

std::optional<std::vector<GroupMember>> ContactDirectory::Resolve(const std::string& id) const {
    if (!byId_.count(id)) return std::nullopt;
    std::vector<GroupMember> out;
    std::vector<std::string> visited;
    Collect(id, out, visited);
    return out;
}

}  // namespace items
