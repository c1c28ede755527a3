#include "items/ZimbraConverters.h"

#include <algorithm>
#include <ctime>
#include <unordered_set>

#include "calendar/CalendarProps.h"
#include "items/AppointmentSeries.h"
#include "items/ContactGroups.h"
#include "items/ExportZones.h"
#include "items/DocumentItem.h"
#include "items/ItemTimes.h"
#include "items/Reminders.h"
#include "items/StickyNote.h"
#include "items/TaskSeries.h"
#include "items/ZimbraMetaReader.h"
#include "pst/messaging/EntryIds.h"
#include "pst/messaging/MeetingObjectId.h"
#include "pst/messaging/PropTags.h"

namespace items {

namespace {

void ShowStatus(const ItemContext& ctx, const std::string& what, const std::string& path) {
    if (ctx.setStatus) ctx.setStatus(what + path + ")");
    if (ctx.yield) ctx.yield();
}

// A put the store refuses leaves that property unset; the item still goes on.
template <typename V>
void TryPut(store::Item& item, std::string_view name, V value) {
    try {
        item.Put(name, pst::PropValue(std::move(value)));
    } catch (const std::exception&) {
    }
}

void PutTextIfAny(store::Item& item, std::string_view name, const std::string& value) {
    if (!value.empty()) TryPut(item, name, value);
}

void EnsureClass(store::Item& item, const char* messageClass) {
    if (!item.GetProp(pst::tags::PR_MESSAGE_CLASS)) TryPut(item, "MessageClass", std::string(messageClass));
}

struct ReadResult {
    ItemOutcome outcome = ItemOutcome::Saved;  // Saved here means "go on"
    MetaFile file;
    std::u16string text;
};

// Reads the file and finds its section; a damaged JSON wrapper or a folder's
// own ".meta" file stops the conversion with the source left in place.
ReadResult ReadSection(const std::string& path, const std::string& marker) {
    ReadResult r;
    r.file = ParseMetaFile(ReadMetaText(path));
    if (r.file.raw.empty()) {
        // An empty file (an export cut off at this entry) describes an item that is lost.
        std::string bytes;
        if (ReadFileBytes(TrimSpaces(path), bytes, false) && bytes.empty()) r.outcome = ItemOutcome::Failed;
        if (r.outcome == ItemOutcome::Failed) return r;
    }
    std::string trimmed = r.file.raw;
    trimmed.erase(0, std::min(trimmed.find_first_not_of(" \t\r\n"), trimmed.size()));
    if (!r.file.isJson && !trimmed.empty() && trimmed[0] == '{') {
        r.outcome = ItemOutcome::Failed;  // JSON cut off or damaged: nothing trustworthy to read
        return r;
    }
    auto text = MetaScanText(r.file, marker);
    if (!text || r.file.DescribesFolder()) {
        r.outcome = ItemOutcome::NoSection;
        return r;
    }
    r.text = std::move(*text);
    return r;
}

void Scan(const std::u16string& text, std::vector<MetaKeyRule>& rules) {
    ScanMetaTokens(text, MetaTokens(text), rules);
}

MetaKeyRule Rule(const char* key, std::string& target, MatchKind match = MatchKind::Prefix,
                 CutKind cut = CutKind::Length) {
    MetaKeyRule r;
    r.key = key;
    r.match = match;
    r.cut = cut;
    r.target = &target;
    return r;
}

std::string JoinNonEmpty(std::initializer_list<std::string> parts, const std::string& separator) {
    std::string out;
    for (const auto& p : parts) {
        if (p.empty()) continue;
        if (!out.empty()) out += separator;
        out += p;
    }
    return out;
}

std::string RemoveAll(std::string text, const std::string& what) {
    if (what.empty()) return text;
    // One pass: erasing each one in place moved the rest of the text every time.
    std::string out;
    size_t from = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, from)) {
        out.append(text, from, at - from);
        from = at + what.size();
    }
    out.append(text, from, std::string::npos);
    return out;
}

// A description read from a JSON ".meta" file has its escapes resolved already;
// one read from raw text still holds the two-character sequences.
std::string Description(const ReadResult& r, const std::string& desc) {
    return r.file.isJson ? desc : UnescapeMetaText(desc);
}

// The folder the converter call at hand fills instead of the default folder of
// its kind: an address book, calendar or task list of its own (ItemContext::folder).
thread_local store::Folder* t_targetFolder = nullptr;
struct TargetFolderScope {
    explicit TargetFolderScope(store::Folder* folder) : previous(t_targetFolder) { t_targetFolder = folder; }
    ~TargetFolderScope() { t_targetFolder = previous; }
    TargetFolderScope(const TargetFolderScope&) = delete;
    TargetFolderScope& operator=(const TargetFolderScope&) = delete;
    store::Folder* previous;
};

// When the item at hand was made and last changed in Zimbra, set by its
// converter from the ".meta" file and put on the item before it is saved.
thread_local ItemTimes t_itemTimes;
struct ItemTimesScope {
    explicit ItemTimesScope(const MetaFile& file) : previous(t_itemTimes) { t_itemTimes = ItemTimesFromMeta(file); }
    ~ItemTimesScope() { t_itemTimes = previous; }
    ItemTimesScope(const ItemTimesScope&) = delete;
    ItemTimesScope& operator=(const ItemTimesScope&) = delete;
    ItemTimes previous;
};

void SaveWithTimes(store::Item& item) {
    PutItemTimes(item, t_itemTimes);
    item.Save();
}

store::Folder& DefaultFolder(store::Session& session, const std::string& storeEntryID, int folderNumber) {
    if (t_targetFolder) return *t_targetFolder;
    return session.GetStoreFromID(storeEntryID).GetDefaultFolder(folderNumber);
}

pst::FileTime DateAtUtcMidnight(const CivilTime& date) {
    CivilTime d{date.year, date.month, date.day, 0, 0, 0};
    return UnixToFileTime(CivilToUnix(d));
}

std::string AddressBlock(const std::string& street, const std::string& city, const std::string& state,
                         const std::string& postal, const std::string& country) {
    std::string line2 = JoinNonEmpty({city, JoinNonEmpty({state, postal}, " ")}, ", ");
    return JoinNonEmpty({street, line2, country}, "\r\n");
}

// An alarm's relative trigger as minutes before: "-PT15M", "-PT1H30M", "-P1D",
// "-P1DT2H", "-PT0S". Triggers after the start (no "-") give no reminder.
std::optional<int> AlarmMinutesBefore(const std::string& trigger) {
    std::string t = TrimSpaces(trigger);
    if (t.size() < 4 || t.compare(0, 2, "-P") != 0) return std::nullopt;
    long long minutes = 0, number = 0;
    bool inTime = false, digits = false;
    for (size_t i = 2; i < t.size(); ++i) {
        char c = t[i];
        if (c >= '0' && c <= '9') {
            number = number * 10 + (c - '0');
            digits = true;
            if (number > 1000000) return std::nullopt;
            continue;
        }
        if (c == 'T') { inTime = true; continue; }
        if (!digits) return std::nullopt;
        if (!inTime && c == 'W') minutes += number * 7 * 1440;
        else if (!inTime && c == 'D') minutes += number * 1440;
        else if (inTime && c == 'H') minutes += number * 60;
        else if (inTime && c == 'M') minutes += number;
        else if (inTime && c == 'S') minutes += number / 60;
        else return std::nullopt;
        number = 0;
        digits = false;
    }
    if (digits) return std::nullopt;
    return int(minutes);
}

// Zimbra keeps several values of one field as the text of a JSON array of
// strings (["a@x","b@y"]); anything else is one value.
std::vector<std::string> FieldValues(const std::string& value) {
    std::string v = TrimSpaces(value);
    if (v.size() < 2 || v.front() != '[' || v.back() != ']') return {value};
    MetaFile probe = ParseMetaFile("{\"a\":" + v + "}");
    if (!probe.isJson) return {value};
    std::vector<std::string> out;
    size_t i = 1;
    while (i < v.size() - 1) {
        while (i < v.size() - 1 && (v[i] == ' ' || v[i] == ',')) ++i;
        if (i >= v.size() - 1) break;
        if (v[i] != '"') return {value};
        size_t j = i + 1;
        while (j < v.size() - 1 && v[j] != '"') j += v[j] == '\\' ? 2 : 1;
        if (j >= v.size() - 1) return {value};
        out.push_back(ResolveJsonEscapes(v.substr(i + 1, j - i - 1)));
        i = j + 1;
    }
    if (out.empty()) return {value};
    return out;
}

// Zimbra's "fileAs": "1".."7" name a style made of the names and the company,
// "8:<text>" is the user's own text.
std::string ZimbraFileAs(const std::string& code, const ItemFields& f) {
    std::string lastFirst = f.LastName.empty() || f.FirstName.empty() ? f.LastName + f.FirstName
                                                                        : f.LastName + ", " + f.FirstName;
    std::string firstLast = JoinNonEmpty({f.FirstName, f.LastName}, " ");
    auto withCompany = [&f](const std::string& name, bool companyFirst) {
        if (f.CompanyName.empty()) return name;
        if (name.empty()) return f.CompanyName;
        return companyFirst ? f.CompanyName + " (" + name + ")" : name + " (" + f.CompanyName + ")";
    };
    if (code.rfind("8:", 0) == 0) return TrimSpaces(code.substr(2));
    if (code == "2") return firstLast;
    if (code == "3") return f.CompanyName;
    if (code == "4") return withCompany(lastFirst, false);
    if (code == "5") return withCompany(firstLast, false);
    if (code == "6") return withCompany(lastFirst, true);
    if (code == "7") return withCompany(firstLast, true);
    return lastFirst;
}

// Creates one item; a store failure fails the item and leaves its source in place.
template <typename Create>
ItemOutcome CreateGuarded(Create create) {
    try {
        create();
    } catch (const std::exception&) {
        return ItemOutcome::Failed;
    }
    return ItemOutcome::Saved;
}

// The tail of the appointment and task conversions: the companion file gives
// the attachments, and its text the body when the metadata had no description.
template <typename Fields, typename Create>
ItemOutcome CreateWithCompanion(const std::string& metaPath, bool haveDesc, Fields& fields, Create create) {
    CompanionContent companion = ReadCompanion(ItemCompanionPath(metaPath));
    if (!haveDesc && fields.body.empty()) fields.body = TrimSpaces(companion.text);
    return CreateGuarded([&] { create(fields, companion); });
}

// The first invite ("inv0") of a calendar item's metadata read whole, when the
// file is JSON and its metadata a well-formed dictionary whose lengths add up.
std::optional<MetaValue> FirstInvite(const ReadResult& r) {
    if (!r.file.isJson) return std::nullopt;
    size_t pos = 0;
    auto top = ReadMetaValue(r.text, pos);
    if (!top || pos != r.text.size()) return std::nullopt;
    const MetaValue* inv = top->Member("inv0");
    if (!inv || inv->kind != MetaValue::Kind::Dictionary) return std::nullopt;
    return *inv;
}

// Takes each rule's value from the invite's own members, so that text inside an
// attendee's name, an alarm or a later invite that looks like a key cannot
// stand in for the invite's subject, times or location. A key the invite lacks
// leaves its rule untaken.
void TakeFromInvite(const MetaValue& inv, std::vector<MetaKeyRule>& rules) {
    for (auto& rule : rules) {
        const MetaValue* v = inv.Member(rule.match == MatchKind::Description ? "desc" : rule.key);
        rule.taken = v && (v->kind == MetaValue::Kind::String || v->kind == MetaValue::Kind::Integer);
        if (rule.target) *rule.target = rule.taken ? v->text : std::string();
    }
}

// The item's Zimbra tags: the JSON "TagNames" member, each name whole.
std::vector<std::string> TagCategories(const ReadResult& r) {
    auto names = r.file.Member("TagNames");
    if (!names) return {};
    return SplitTagNames(*names);
}

// Outlook's categories (Keywords) from a list of names; a list keeps names
// holding "," or ";" whole.
void PutCategories(store::Item& item, const std::vector<std::string>& categories) {
    if (!categories.empty()) TryPut(item, "Categories", categories);
}

std::string UpperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// A calendar user address as Zimbra keeps it, without "mailto:".
std::string CalendarAddress(const std::string& value) {
    std::string a = TrimSpaces(value);
    if (a.size() >= 7 && UpperAscii(a.substr(0, 7)) == "MAILTO:") a = TrimSpaces(a.substr(7));
    return a;
}

// A participation status ("ptst") as a recipient track status / response
// status ([MS-OXOCAL] 2.2.1.11): 2 tentative, 3 accepted, 4 declined, 5 not
// responded; delegated and the to-do states have no Outlook value (0, none).
int ResponseFromPartStat(const std::string& ptst) {
    std::string p = UpperAscii(TrimSpaces(ptst));
    if (p == "AC") return 3;
    if (p == "TE") return 2;
    if (p == "DE") return 4;
    if (p == "NE") return 5;
    return 0;
}

bool IsTrue(const std::string& v) { return UpperAscii(TrimSpaces(v)) == "TRUE" || TrimSpaces(v) == "1"; }

}  // namespace

void PutMeeting(store::Item& it, const MeetingFields& m) {
    using namespace pst::tags;
    if (m.attendees.empty()) return;
    auto putAddress = [&it](const MeetingPerson& p, uint32_t name, uint32_t email, uint32_t type, uint32_t entryId,
                            uint32_t searchKey, uint32_t smtp) {
        it.SetProp(name, p.name.empty() ? p.address : p.name);
        if (p.address.empty()) return;
        it.SetProp(email, p.address);
        it.SetProp(type, std::string("SMTP"));
        it.SetProp(smtp, p.address);
        it.SetProp(entryId, pst::OneOffEntryId(p.name.empty() ? p.address : p.name, p.address));
        it.SetProp(searchKey, pst::AddressSearchKey(p.address));
    };
    auto row = [&it](const std::string& name, const std::string& address, int32_t type, int32_t flags, int32_t track) {
        store::PropertyBag& r = it.AddRecipient();
        std::string display = name.empty() ? address : name;
        r.SetProp(PR_RECIPIENT_TYPE, type);
        r.SetProp(PR_DISPLAY_NAME, display);
        r.SetProp(PR_TRANSMITABLE_DISPLAY_NAME, display);
        if (!address.empty()) {
            r.SetProp(PR_ADDRTYPE, std::string("SMTP"));
            r.SetProp(PR_EMAIL_ADDRESS, address);
            r.SetProp(PR_SMTP_ADDRESS, address);
            r.SetProp(PR_ENTRYID, pst::OneOffEntryId(display, address));
            r.SetProp(PR_SEARCH_KEY, pst::AddressSearchKey(address));
        }
        r.SetProp(PR_OBJECT_TYPE, int32_t(6));   // MAPI_MAILUSER
        r.SetProp(PR_DISPLAY_TYPE, int32_t(0));  // DT_MAILUSER
        r.SetProp(PR_RECIPIENT_FLAGS, flags);
        r.SetProp(PR_RECIPIENT_TRACKSTATUS, track);
        r.SetProp(PR_RESPONSIBILITY, false);
        r.SetProp(PR_SEND_RICH_INFO, false);
    };
    try {
        if (m.organizer) {
            // A delegate who sent for the organizer is the sender; the organizer is represented.
            MeetingPerson sender = m.sentBy.empty() ? *m.organizer : MeetingPerson{m.sentBy, m.sentBy};
            putAddress(*m.organizer, PR_SENT_REPRESENTING_NAME, PR_SENT_REPRESENTING_EMAIL_ADDRESS,
                       PR_SENT_REPRESENTING_ADDRTYPE, PR_SENT_REPRESENTING_ENTRYID, PR_SENT_REPRESENTING_SEARCH_KEY,
                       PR_SENT_REPRESENTING_SMTP_ADDRESS);
            putAddress(sender, PR_SENDER_NAME, PR_SENDER_EMAIL_ADDRESS, PR_SENDER_ADDRTYPE, PR_SENDER_ENTRYID,
                       PR_SENDER_SEARCH_KEY, PR_SENDER_SMTP_ADDRESS);
            // The organizer's own row comes first: recipSendable | recipOrganizer, respOrganized.
            row(m.organizer->name, m.organizer->address, 1, 0x3, 1);
        }
        for (const auto& a : m.attendees) row(a.name, a.address, a.recipientType, 0x1, a.trackStatus);
    } catch (const std::exception&) {
        // A store that refuses a recipient leaves the meeting with the rows it took.
    }
    std::string required, optional;
    for (const auto& a : m.attendees) {
        if (a.recipientType == 3) continue;  // resources are in neither list
        std::string& list = a.recipientType == 2 ? optional : required;
        if (!list.empty()) list += "; ";
        list += a.name.empty() ? a.address : a.name;
    }
    TryPut(it, "MeetingStatus", int32_t(m.ownerIsOrganizer ? 1 : 3));  // olMeeting, olMeetingReceived
    TryPut(it, "ResponseStatus", int32_t(m.responseStatus));
    PutTextIfAny(it, "RequiredAttendees", required);
    PutTextIfAny(it, "OptionalAttendees", optional);
    // Outlook matches later updates and replies to the meeting through its global object id.
    if (pst::Binary goid = GlobalObjectIdFromUid(m.uid); !goid.empty()) {
        if (m.instanceDate)
            goid = pst::InstanceGlobalObjectId(goid, m.instanceDate->year, m.instanceDate->month, m.instanceDate->day);
        TryPut(it, "GlobalObjectId", goid);
    }
}

namespace {

}  // namespace

// --- Contact groups ----------------------------------------------------------------

namespace {

std::string TrimBlanks(const std::string& text) {
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

// The pieces of an address list: split at each "," outside double quotes
// (where a backslash escapes the next character) and angle brackets.
std::vector<std::string> SplitAddressList(const std::string& text) {
    std::vector<std::string> out;
    std::string piece;
    bool quoted = false;
    int angle = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            piece += c;
            if (c == '\\' && i + 1 < text.size()) piece += text[++i];
            else if (c == '"') quoted = false;
            continue;
        }
        if (c == '"') quoted = true;
        else if (c == '<') ++angle;
        else if (c == '>' && angle > 0) --angle;
        else if (c == ',' && angle == 0) {
            out.push_back(piece);
            piece.clear();
            continue;
        }
        piece += c;
    }
    out.push_back(piece);
    return out;
}

// A quoted name without its quotes and backslash escapes.
std::string Unquote(const std::string& text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return text;
    std::string out;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '\\' && i + 2 < text.size()) ++i;
        out += text[i];
    }
    return out;
}

GroupMember ParseMember(const std::string& piece) {
    GroupMember m;
    m.text = TrimBlanks(piece);
    size_t open = m.text.rfind('<');
    if (open != std::string::npos && m.text.back() == '>') {
        m.address = TrimBlanks(m.text.substr(open + 1, m.text.size() - open - 2));
        m.name = TrimBlanks(Unquote(TrimBlanks(m.text.substr(0, open))));
    } else {
        m.address = m.text;
    }
    m.address = TrimBlanks(Unquote(m.address));
    if (m.name.empty()) m.name = m.address;
    return m;
}

std::string LowerAsciiText(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

}  // namespace

std::vector<GroupMember> ParseGroupMembers(const std::string& dlist) {
    std::string whole = TrimBlanks(dlist);
    if (whole.size() >= 2 && whole.front() == '[' && whole.back() == ']' &&
        TrimBlanks(whole.substr(1, whole.size() - 2)).empty())
        return {};  // an empty JSON array
    std::vector<std::string> pieces;
    for (const std::string& value : FieldValues(dlist)) {
        std::vector<std::string> split = SplitAddressList(value);
        // "Doe, Jane <jane@x>": a bare piece without "@" starts an unquoted name.
        for (size_t i = 0; i < split.size(); ++i) {
            std::string piece = TrimBlanks(split[i]);
            while (i + 1 < split.size() && !piece.empty() && piece.find('@') == std::string::npos &&
                   piece.find('<') == std::string::npos && piece.front() != '"') {
                std::string next = TrimBlanks(split[i + 1]);
                if (next.empty() || next.front() == '"' || next.find('<') == std::string::npos || next.back() != '>' ||
                    next.front() == '<')
                    break;
                piece += ", " + next;
                ++i;
            }
            pieces.push_back(piece);
        }
    }
    std::vector<GroupMember> members;
    std::unordered_set<std::string> seen;  // a set: a hostile list may name very many
    for (const std::string& piece : pieces) {
        if (TrimBlanks(piece).empty()) continue;
        GroupMember m = ParseMember(piece);
        if (m.address.empty()) continue;
        if (!seen.insert(LowerAsciiText(m.address)).second) continue;
        members.push_back(std::move(m));
    }
    return members;
}

void CreateDistListItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                        const DistListFields& f, const std::string& companionPath) {
    auto item = DefaultFolder(session, storeEntryID, folderNumber).AddItem(store::ItemType::Contact);
    store::Item& it = *item;
    TryPut(it, "MessageClass", std::string("IPM.DistList"));
    TryPut(it, "FullName", f.name);  // display name and subject
    PutTextIfAny(it, "Subject", f.name);
    PutTextIfAny(it, "DLName", f.name);  // also file-as
    PutTextIfAny(it, "Body", f.body);
    try {
        it.SetProp(pst::tags::PR_ICON_INDEX, int32_t(0x202));  // the distribution-list icon
    } catch (const std::exception&) {
    }
    std::vector<pst::Binary> ids;
    size_t bytes = 4;  // the value's count, then an offset and the bytes of each entry
    for (const GroupMember& m : f.members) {
        pst::Binary id = pst::OneOffEntryId(m.name, m.address);
        if (bytes + 4 + id.size() >= kDistListMemberBytes) break;
        bytes += 4 + id.size();
        ids.push_back(std::move(id));
    }
    if (!ids.empty()) TryPut(it, "DLMembers", ids);
    PutCategories(it, f.categories);
    CompanionAttachments(it, companionPath);
    SaveWithTimes(it);
}

// --- Contacts ------------------------------------------------------------------

namespace {

// The members of the current group form ("groupMember"): inline addresses as
// they are, a contact of the export by its name and address (a group by its
// members), each address once. What cannot be resolved (a contact the export
// lacks, a global address list entry, a contact without an address) is kept
// by name in `unresolved` and told through ctx.note.
void AddReferencedMembers(const ItemContext& ctx, const ReadResult& r, std::vector<GroupMember>& members,
                          std::vector<std::string>& unresolved) {
    const auto metadata = r.file.Member("metadata");
    if (!metadata) return;
    const std::u16string text = Utf8ToUtf16(*metadata);
    size_t pos = 0;
    const auto top = ReadMetaValue(text, pos);
    const MetaValue* fld = top ? top->Member("fld") : nullptr;
    if (!fld) return;
    const std::vector<GroupReference> refs = ReadGroupReferences(fld->Text("groupMember"));
    std::unordered_set<std::string> seen;
    for (const auto& m : members) seen.insert(LowerAsciiText(m.address));
    auto keepByName = [&](const std::string& line, const std::string& note) {
        if (std::find(unresolved.begin(), unresolved.end(), line) != unresolved.end()) return;
        unresolved.push_back(line);
        if (ctx.note) ctx.note(note);
    };
    auto add = [&](GroupMember m) {
        if (m.address.empty()) {
            keepByName(m.name + " (no e-mail address)", "group member without an e-mail address, kept by name: " + m.name);
        } else if (seen.insert(LowerAsciiText(m.address)).second) {
            members.push_back(std::move(m));
        }
    };
    for (const GroupReference& ref : refs) {
        if (ref.type == 'I') {
            for (auto& m : ParseGroupMembers(ref.value)) add(std::move(m));
            continue;
        }
        std::optional<std::vector<GroupMember>> found;
        if (ref.type == 'C' && ctx.resolveContact) found = ctx.resolveContact(ref.value);
        if (found) {
            for (auto& m : *found) add(std::move(m));
            continue;
        }
        const std::string what = ref.type == 'G' ? "global address list entry " + ref.value : "contact " + ref.value;
        keepByName(what + " (not in the export)", "group member not in the export, kept by name: " + what);
    }
}

}  // namespace

void ClearItemFields(ItemFields& fields) { fields = ItemFields{}; }

ItemOutcome ConvertContactFile(const ItemContext& ctx, const std::string& metaPath) {
    ShowStatus(ctx, "Converting Contacts... from (", metaPath);
    TargetFolderScope target(ctx.folder);
    ItemFields f;
    ClearItemFields(f);
    std::string birthday, homeURL, fullName, workURL, imAddress, fileAs, homeFax, workFax, members, groupType;
    ReadResult r = ReadSection(metaPath, "d3:");
    if (r.outcome != ItemOutcome::Saved) return r.outcome;
    ItemTimesScope times(r.file);
    if (!ctx.session) return ItemOutcome::Failed;

    std::vector<MetaKeyRule> rules = {
        Rule("birthday", birthday),
        Rule("company", f.CompanyName),
        Rule("companyPhone", f.CompanyMainTelephoneNumber),
        Rule("workPhone", f.BusinessTelephoneNumber),
        Rule("homePhone", f.HomeTelephoneNumber),
        Rule("email", f.Email1Address),
        Rule("firstName", f.FirstName),
        Rule("homeCountry", f.HomeAddressCountry),
        Rule("homeCity", f.HomeAddressCity),
        Rule("homePostalCode", f.HomeAddressPostalCode),
        Rule("homeState", f.HomeAddressState),
        Rule("homeStreet", f.HomeAddressStreet),
        Rule("homeURL", homeURL),
        Rule("jobTitle", f.Profession),
        Rule("lastName", f.LastName),
        Rule("mobilePhone", f.MobileTelephoneNumber),
        Rule("notes", f.Body),
        // Further Zimbra fields that have an Outlook home.
        Rule("email2", f.Email2Address),
        Rule("email3", f.Email3Address),
        Rule("middleName", f.MiddleName),
        Rule("fullName", fullName),
        Rule("nickname", f.NickName),
        Rule("namePrefix", f.Title),
        Rule("nameSuffix", f.Suffix),
        Rule("department", f.Department),
        Rule("workStreet", f.BusinessAddressStreet),
        Rule("workCity", f.BusinessAddressCity),
        Rule("workState", f.BusinessAddressState),
        Rule("workPostalCode", f.BusinessAddressPostalCode),
        Rule("workCountry", f.BusinessAddressCountry),
        Rule("workFax", workFax),
        Rule("homeFax", homeFax),
        Rule("pager", f.PagerNumber),
        Rule("carPhone", f.CarTelephoneNumber),
        Rule("imAddress1", imAddress),
        Rule("workURL", workURL),
        Rule("fileAs", fileAs),
        Rule("dlist", members),
        Rule("type", groupType),
    };
    Scan(r.text, rules);

    bool homeURLRead = std::any_of(rules.begin(), rules.end(), [](const MetaKeyRule& rule) {
        return rule.key == "homeURL" && rule.taken;
    });
    std::string web = homeURLRead ? homeURL : workURL;
    f.WebPage = RemoveAll(TrimSpaces(web), "http://");
    f.BusinessFaxNumber = workFax;
    f.HomeFaxNumber = homeFax;
    f.IMAddress = imAddress;

    // Several addresses in one field fill the free e-mail slots in turn; other
    // fields with several values keep them all, one per line.
    {
        std::vector<std::string> emails;
        for (std::string* e : {&f.Email1Address, &f.Email2Address, &f.Email3Address})
            for (auto& one : FieldValues(*e))
                if (!TrimSpaces(one).empty()) emails.push_back(one);
        f.Email1Address = emails.size() > 0 ? emails[0] : "";
        f.Email2Address = emails.size() > 1 ? emails[1] : "";
        f.Email3Address = emails.size() > 2 ? emails[2] : "";
        for (std::string* t : {&f.CompanyName, &f.BusinessTelephoneNumber, &f.HomeTelephoneNumber,
                               &f.MobileTelephoneNumber, &f.CompanyMainTelephoneNumber, &f.PagerNumber,
                               &f.CarTelephoneNumber, &workFax, &homeFax}) {
            auto values = FieldValues(*t);
            std::string joined;
            for (auto& one : values) joined += (joined.empty() ? "" : "; ") + one;
            *t = joined;
        }
        f.BusinessFaxNumber = workFax;
        f.HomeFaxNumber = homeFax;
    }
    // A contact group keeps its members in the body, one per line, as written.
    std::vector<GroupMember> groupMembers = ParseGroupMembers(members);
    std::vector<std::string> unresolved;  // members kept by name only
    AddReferencedMembers(ctx, r, groupMembers, unresolved);
    if (!groupMembers.empty() || !unresolved.empty()) {
        std::string list;
        for (const GroupMember& m : groupMembers) list += (list.empty() ? "" : "\r\n") + m.text;
        for (const std::string& u : unresolved) list += (list.empty() ? "" : "\r\n") + u;
        f.Body = f.Body.empty() ? list : f.Body + "\r\n\r\n" + list;
    }
    // Trim every text as it is handed on.
    for (std::string* s : {&f.FirstName, &f.MiddleName, &f.LastName, &f.Suffix, &f.Title, &f.NickName,
                           &f.Email1Address, &f.Email2Address, &f.Email3Address, &f.CompanyName, &f.Profession,
                           &f.Department, &f.BusinessAddressStreet, &f.BusinessAddressCity,
                           &f.BusinessAddressPostalCode, &f.BusinessAddressState, &f.BusinessAddressCountry,
                           &f.WebPage, &f.CompanyMainTelephoneNumber, &f.BusinessTelephoneNumber,
                           &f.BusinessFaxNumber, &f.MobileTelephoneNumber, &f.PagerNumber, &f.CarTelephoneNumber,
                           &f.HomeTelephoneNumber, &f.HomeFaxNumber, &f.IMAddress, &f.HomeAddressStreet,
                           &f.HomeAddressCity, &f.HomeAddressPostalCode, &f.HomeAddressState,
                           &f.HomeAddressCountry, &f.Body, &fullName})
        *s = TrimSpaces(*s);

    // Zimbra's own full name wins; without one it is first, middle and last name.
    // A contact whose name is only in its full name ("susan young" beside the
    // first name "susan") files under that full name, not under the first name.
    f.FullName = fullName.empty() ? JoinNonEmpty({f.FirstName, f.MiddleName, f.LastName}, " ") : fullName;
    f.FileAs = ZimbraFileAs(TrimSpaces(fileAs), f);
    if (TrimSpaces(fileAs).empty() && f.LastName.empty() && !fullName.empty()) f.FileAs = fullName;
    if (f.FileAs.empty()) f.FileAs = f.FullName;
    if (f.FileAs.empty()) f.FileAs = f.CompanyName;
    if (f.FileAs.empty()) f.FileAs = f.Email1Address;
    if (f.FullName.empty()) f.FullName = f.FileAs;
    f.HomeAddress = AddressBlock(f.HomeAddressStreet, f.HomeAddressCity, f.HomeAddressState, f.HomeAddressPostalCode,
                                 f.HomeAddressCountry);
    f.BusinessAddress = AddressBlock(f.BusinessAddressStreet, f.BusinessAddressCity, f.BusinessAddressState,
                                     f.BusinessAddressPostalCode, f.BusinessAddressCountry);

    f.Categories = TagCategories(r);

    // A contact group becomes a distribution list named as the contact would be.
    if (LowerAsciiText(TrimSpaces(groupType)) == "group") {
        DistListFields d;
        d.name = f.FileAs.empty() ? f.NickName : f.FileAs;
        if (d.name.empty()) d.name = TrimSpaces(r.file.Member("sender").value_or(""));
        d.members = std::move(groupMembers);
        d.body = f.Body;
        d.categories = f.Categories;
        return CreateGuarded([&] {
            CreateDistListItem(*ctx.session, ctx.storeEntryID, store::olFolderContacts, d, ItemCompanionPath(metaPath));
        });
    }

    std::string picture = ContactPhoto(ItemCompanionPath(metaPath));
    ItemOutcome outcome = CreateGuarded([&] {
        CreateContactItem(*ctx.session, ctx.storeEntryID, store::olFolderContacts, f, ParseBirthday(birthday), picture);
    });
    RemoveTempFile(picture);
    return outcome;
}

void CreateContactItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                       const ItemFields& f, const std::optional<CivilTime>& birthday, const std::string& picturePath) {
    auto item = DefaultFolder(session, storeEntryID, folderNumber).AddItem(store::ItemType::Contact);
    store::Item& it = *item;
    EnsureClass(it, "IPM.Contact");
    const std::pair<const char*, const std::string*> puts[] = {
        {"FirstName", &f.FirstName},
        {"MiddleName", &f.MiddleName},
        {"LastName", &f.LastName},
        {"FullName", &f.FullName},
        {"FileAs", &f.FileAs},
        {"JobTitle", &f.JobTitle},
        {"CompanyName", &f.CompanyName},
        {"CompanyMainTelephoneNumber", &f.CompanyMainTelephoneNumber},
        {"BusinessTelephoneNumber", &f.BusinessTelephoneNumber},
        {"BusinessFaxNumber", &f.BusinessFaxNumber},
        {"HomeTelephoneNumber", &f.HomeTelephoneNumber},
        {"HomeFaxNumber", &f.HomeFaxNumber},
        {"MobileTelephoneNumber", &f.MobileTelephoneNumber},
        {"PagerNumber", &f.PagerNumber},
        {"CarTelephoneNumber", &f.CarTelephoneNumber},
        {"BusinessAddress", &f.BusinessAddress},
        {"BusinessAddressStreet", &f.BusinessAddressStreet},
        {"BusinessAddressCity", &f.BusinessAddressCity},
        {"BusinessAddressState", &f.BusinessAddressState},
        {"BusinessAddressPostalCode", &f.BusinessAddressPostalCode},
        {"BusinessAddressCountry", &f.BusinessAddressCountry},
        {"HomeAddress", &f.HomeAddress},
        {"HomeAddressStreet", &f.HomeAddressStreet},
        {"HomeAddressCity", &f.HomeAddressCity},
        {"HomeAddressState", &f.HomeAddressState},
        {"HomeAddressPostalCode", &f.HomeAddressPostalCode},
        {"HomeAddressCountry", &f.HomeAddressCountry},
        {"Email1Address", &f.Email1Address},
        {"Email2Address", &f.Email2Address},
        {"Email3Address", &f.Email3Address},
        {"BusinessHomePage", &f.WebPage},
        {"WebPage", &f.WebPage},
        {"IMAddress", &f.IMAddress},
        {"Department", &f.Department},
        {"OfficeLocation", &f.OfficeLocation},
        {"Profession", &f.Profession},
        {"ManagerName", &f.ManagerName},
        {"AssistantName", &f.AssistantName},
        {"Title", &f.Title},
        {"Suffix", &f.Suffix},
        {"NickName", &f.NickName},
        {"Spouse", &f.Spouse},
        {"Body", &f.Body},
    };
    for (const auto& [name, value] : puts) PutTextIfAny(it, name, *value);
    PutCategories(it, f.Categories);
    if (!picturePath.empty()) {
        try {
            it.AddPicture(picturePath);
        } catch (const std::exception&) {
        }
    }
    if (birthday && IsValidCivil(*birthday)) {
        CivilTime midnight{birthday->year, birthday->month, birthday->day, 0, 0, 0};
        TryPut(it, "Birthday", UnixToFileTime(LocalToUnix(midnight)));
        TryPut(it, "BirthdayLocal", DateAtUtcMidnight(midnight));
    }
    SaveWithTimes(it);
}

// --- Appointments ----------------------------------------------------------------

MeetingFields MeetingOfInvite(const MetaValue* inv) {
    MeetingFields m;
    std::string organizerAddress;
    if (const MetaValue* org = inv->Member("org"); org && org->kind == MetaValue::Kind::Dictionary) {
        MeetingPerson p{TrimSpaces(org->Text("cn")), CalendarAddress(org->Text("a"))};
        if (!p.name.empty() || !p.address.empty()) m.organizer = p;
        m.sentBy = CalendarAddress(org->Text("sentby"));
        organizerAddress = UpperAscii(p.address);
    }
    // The invite's own attendees "at<n>", in the order of n; alarms and other
    // nested dictionaries keep theirs.
    std::vector<std::pair<unsigned long, const MetaValue*>> found;
    for (const auto& [key, value] : inv->items) {
        if (key.size() < 3 || key.size() > 9 || key.compare(0, 2, "at") != 0) continue;
        if (!std::all_of(key.begin() + 2, key.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        if (value.kind != MetaValue::Kind::Dictionary) continue;
        found.emplace_back(std::stoul(key.substr(2)), &value);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [n, at] : found) {
        MeetingAttendee a;
        a.address = CalendarAddress(at->Text("a"));
        a.name = TrimSpaces(at->Text("cn"));
        if (a.address.empty() && a.name.empty()) continue;
        // The organizer has a row of its own.
        if (!organizerAddress.empty() && UpperAscii(a.address) == organizerAddress) continue;
        std::string role = UpperAscii(TrimSpaces(at->Text("r")));
        std::string cutype = UpperAscii(TrimSpaces(at->Text("cut")));
        if (cutype == "RES" || cutype == "ROO" || role == "NON") a.recipientType = 3;
        else if (role == "OPT") a.recipientType = 2;
        else a.recipientType = 1;  // REQ, CHA or none
        a.trackStatus = ResponseFromPartStat(at->Text("ptst"));
        m.attendees.push_back(std::move(a));
    }
    std::string isOrg = inv->Text("isOrg");
    if (isOrg.empty()) isOrg = inv->Text("byme");
    // Without an organizer the owner made the meeting.
    m.ownerIsOrganizer = isOrg.empty() ? !m.organizer.has_value() : IsTrue(isOrg);
    m.responseStatus = m.ownerIsOrganizer ? 1 : ResponseFromPartStat(inv->Text("ptst"));
    m.uid = TrimSpaces(inv->Text("u"));
    return m;
}

namespace {

// The series of a calendar item whose first invite repeats.
std::optional<SeriesDefinition> SeriesOfItem(const ReadResult& r, const MetaValue& invite) {
    if (!invite.Member("recurrence")) return std::nullopt;
    size_t pos = 0;
    auto top = ReadMetaValue(r.text, pos);
    if (!top || pos != r.text.size()) return std::nullopt;
    return ReadSeries(std::make_shared<const MetaValue>(std::move(*top)), invite);
}

}  // namespace

MeetingFields ReadMeetingFields(const std::u16string& metadata) {
    size_t pos = 0;
    auto top = ReadMetaValue(metadata, pos);
    if (!top || pos != metadata.size()) return {};  // damaged: lengths that do not add up
    const MetaValue* inv = top->Member("inv0");
    if (!inv || inv->kind != MetaValue::Kind::Dictionary) return {};
    return MeetingOfInvite(inv);
}

ItemOutcome ConvertCalendarFile(const ItemContext& ctx, const std::string& metaPath) {
    ShowStatus(ctx, "Converting Calendars... from (", metaPath);
    TargetFolderScope target(ctx.folder);
    std::string desc, subject, start, end, location, freeBusy, descHtml, trigger, related, classification;
    ReadResult r = ReadSection(metaPath, "/Calendar/");
    if (r.outcome != ItemOutcome::Saved) return r.outcome;
    ItemTimesScope times(r.file);
    if (!ctx.session) return ItemOutcome::Failed;
    std::vector<MetaKeyRule> rules = {
        Rule("desc", desc, MatchKind::Description),
        Rule("n", subject, MatchKind::PrefixAndDigit),
        Rule("st", start, MatchKind::PrefixAndDigit),
        Rule("et", end, MatchKind::PrefixAndDigit),
        Rule("l", location, MatchKind::PrefixAndDigit),
        Rule("fb", freeBusy, MatchKind::PrefixAndDigit),
        Rule("descH", descHtml),
        Rule("tr", trigger),       // the first alarm's relative trigger ("-PT15M")
        Rule("trd", related),      // what the trigger is relative to ("s" start, "e" end)
        Rule("cl", classification),
    };
    Scan(r.text, rules);
    std::optional<MetaValue> invite = FirstInvite(r);
    if (invite) {
        if (const MetaValue* tzm = invite->Member("tzm")) DefineExportZones(*tzm);
        TakeFromInvite(*invite, rules);
        // The reminder is the invite's first alarm's; the invite's own "tr" is its transparency.
        const MetaValue* alarm = invite->Member("al0");
        trigger = alarm ? alarm->Text("tr") : std::string();
        related = alarm ? alarm->Text("trd") : std::string();
    }
    bool haveDesc = rules[0].taken;

    CalendarFields fields;
    if (related.empty() || related == "s")
        if (auto minutes = AlarmMinutesBefore(trigger)) fields.reminderMinutes = *minutes;
    if (classification == "PRI") fields.sensitivity = 2;
    else if (classification == "CON") fields.sensitivity = 3;
    fields.subject = TrimSpaces(subject);
    fields.location = TrimSpaces(location);
    fields.body = TrimSpaces(Description(r, desc));
    if (!haveDesc && !descHtml.empty()) fields.body = HtmlToText(descHtml);  // an HTML-only description
    fields.start = ParseZimbraDateTime(start);
    fields.end = ParseZimbraDateTime(end);
    if (freeBusy == "F") fields.busyStatus = 0;
    else if (freeBusy == "T") fields.busyStatus = 1;
    else if (freeBusy == "B") fields.busyStatus = 2;
    else if (freeBusy == "O") fields.busyStatus = 3;
    fields.categories = TagCategories(r);
    if (invite) fields.meeting = MeetingOfInvite(&*invite);
    if (invite) fields.series = SeriesOfItem(r, *invite);
    fields.note = ctx.note;
    if (const MetaValue* alarm = invite ? invite->Member("al0") : nullptr; alarm && alarm->kind == MetaValue::Kind::Dictionary)
        fields.alarm = *alarm;

    return CreateWithCompanion(metaPath, haveDesc, fields, [&](const auto& all, const CompanionContent& companion) {
        CreateCalendarItem(*ctx.session, ctx.storeEntryID, store::olFolderCalendar, all, companion);
    });
}

namespace {

// A series whose stated start is not on its rule: the pattern begins at the
// next day on the rule, and the stated start (an instance iCalendar counts,
// that Outlook's pattern cannot hold) becomes an appointment of its own, as
// changed or cancelled by an instance of that start.
void KeepOffRuleStart(store::Session& session, const std::string& storeEntryID, int folderNumber,
                      const CalendarFields& fields, const Series& s) {
    CalendarFields one = fields;
    one.series.reset();
    one.start->local = *s.offRuleStart;  // same kind and zone as the series' start
    const int64_t minutes = int64_t(s.recurrence.endTimeOffset) - int64_t(s.recurrence.startTimeOffset);
    ZimbraDateTime end = *one.start;
    end.local = UnixToCivil(CivilToUnix(end.local) + std::max<int64_t>(minutes, 0) * 60);
    one.end = end;
    one.meeting.instanceDate = *s.offRuleStart;
    if (s.offRuleInstance) {
        const SeriesInstance& inst = fields.series->instances[*s.offRuleInstance];
        if (inst.cancelled) return;
        if (inst.start) one.start = inst.start;
        if (inst.end) one.end = inst.end;
        if (!inst.subject.empty()) one.subject = inst.subject;
        if (!inst.location.empty()) one.location = inst.location;
        if (!inst.body.empty()) one.body = inst.body;
        if (inst.busyStatus >= 0) one.busyStatus = inst.busyStatus;
    }
    if (fields.note)
        fields.note("its first instance (" + calendar::DateText(*s.offRuleStart) +
                    ") is not on its rule: kept as an appointment beside the series");
    CreateCalendarItem(session, storeEntryID, folderNumber, one, CompanionContent{});
}

}  // namespace

void CreateCalendarItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                        const CalendarFields& fields, const CompanionContent& companion) {
    auto item = DefaultFolder(session, storeEntryID, folderNumber).AddItem(store::ItemType::Appointment);
    store::Item& it = *item;
    EnsureClass(it, "IPM.Appointment");
    PutTextIfAny(it, "Subject", fields.subject);
    bool allDay = fields.start && fields.start->kind == ZimbraDateTime::Kind::AllDay;
    std::string body = fields.body;
    std::optional<Series> series;
    int reminder = fields.reminderMinutes;
    int64_t firstStart = 0;
    if (fields.start) {
        int64_t start = ZimbraToUnix(*fields.start);
        std::optional<int64_t> end;
        if (fields.end) end = ZimbraToUnix(*fields.end);
        if (allDay && (!end || *end <= start)) {
            // An all-day end is exclusive: one day at least.
            CivilTime next = UnixToCivil(CivilToUnix(fields.start->local) + 86400);
            end = LocalToUnix(CivilTime{next.year, next.month, next.day, 0, 0, 0});
        }
        if (end && *end < start) end = start;
        // A series starts at its first instance and carries its pattern and zone.
        series = PutSeriesAndZone(it, fields, start, end, body);
        if (fields.alarm) reminder = AlarmReminderMinutes(*fields.alarm, start, end.value_or(start)).value_or(-1);
        firstStart = start;
        if (end) TryPut(it, "End", UnixToFileTime(*end));
        TryPut(it, "Start", UnixToFileTime(start));
    } else if (fields.end) {
        TryPut(it, "End", UnixToFileTime(ZimbraToUnix(*fields.end)));
    }
    TryPut(it, "AllDayEvent", allDay);
    TryPut(it, "BusyStatus", int32_t(fields.busyStatus >= 0 ? fields.busyStatus : (allDay ? 0 : 2)));
    TryPut(it, "ReminderSet", reminder >= 0 && fields.start.has_value());
    if (reminder >= 0 && fields.start) {
        try {
            PutReminder(it, reminder, firstStart, series ? &*series : nullptr, int64_t(std::time(nullptr)));
        } catch (const std::exception&) {
        }
    }
    if (fields.sensitivity > 0) TryPut(it, "Sensitivity", int32_t(fields.sensitivity));
    PutTextIfAny(it, "Location", fields.location);
    PutCategories(it, fields.categories);
    PutTextIfAny(it, "Body", body);
    PutMeeting(it, fields.meeting);
    CompanionAttachments(it, companion);
    SaveWithTimes(it);
    if (series && series->offRuleStart) KeepOffRuleStart(session, storeEntryID, folderNumber, fields, *series);
}

// --- Tasks -------------------------------------------------------------------------

ItemOutcome ConvertTaskFile(const ItemContext& ctx, const std::string& metaPath) {
    ShowStatus(ctx, "Converting Tasks... from (", metaPath);
    TargetFolderScope target(ctx.folder);
    std::string desc, subject, start, due, status, percent, priority, completed, descHtml;
    ReadResult r = ReadSection(metaPath, "/Tasks/");
    if (r.outcome != ItemOutcome::Saved) return r.outcome;
    ItemTimesScope times(r.file);
    if (!ctx.session) return ItemOutcome::Failed;
    std::vector<MetaKeyRule> rules = {
        Rule("desc", desc, MatchKind::Description),
        Rule("n", subject, MatchKind::PrefixAndDigit),
        Rule("st", start, MatchKind::PrefixAndDigit),
        Rule("et", due, MatchKind::PrefixAndDigit),
        Rule("status", status),
        Rule("pctcompl", percent),
        Rule("prio", priority),
        Rule("completed", completed),
        Rule("descH", descHtml),
    };
    Scan(r.text, rules);
    std::optional<MetaValue> invite = FirstInvite(r);
    if (invite) {
        if (const MetaValue* tzm = invite->Member("tzm")) DefineExportZones(*tzm);
        TakeFromInvite(*invite, rules);
    }
    bool haveDesc = rules[0].taken;

    TaskFields fields;
    if (invite) fields.series = SeriesOfItem(r, *invite);
    if (const MetaValue* alarm = invite ? invite->Member("al0") : nullptr; alarm && alarm->kind == MetaValue::Kind::Dictionary)
        fields.alarm = *alarm;
    fields.note = ctx.note;
    fields.subject = TrimSpaces(subject);
    fields.body = TrimSpaces(desc);  // escapes resolved from JSON; raw text keeps them as they stand
    if (!haveDesc && !descHtml.empty()) fields.body = HtmlToText(descHtml);  // an HTML-only description
    auto startTime = ParseZimbraDateTime(start), dueTime = ParseZimbraDateTime(due);
    for (const auto& t : {startTime, dueTime})
        if (t && fields.zone.empty() && t->kind == ZimbraDateTime::Kind::Zoned && ZoneOffsetAt(t->zone, 0)) fields.zone = t->zone;
    if (startTime) fields.startDate = startTime->local;
    if (dueTime) fields.dueDate = dueTime->local;
    if (auto c = ParseZimbraDateTime(completed)) fields.completedDate = ZoneLocalTime(fields.zone, ZimbraToUnix(*c));
    if (status == "NEED") fields.status = 0;
    else if (status == "INPR") fields.status = 1;
    else if (status == "COMP") fields.status = 2;
    else if (status == "WAITING") fields.status = 3;
    else if (status == "DEFERRED") fields.status = 4;
    if (!percent.empty() && std::all_of(percent.begin(), percent.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
        percent.size() <= 3)
        fields.percentComplete = std::min(100, std::stoi(percent));
    if (priority == "1" || priority == "2" || priority == "3" || priority == "4") fields.importance = 2;
    else if (priority == "5") fields.importance = 1;
    else if (priority == "6" || priority == "7" || priority == "8" || priority == "9") fields.importance = 0;
    fields.categories = TagCategories(r);

    return CreateWithCompanion(metaPath, haveDesc, fields, [&](const auto& all, const CompanionContent& companion) {
        CreateToDoItem(*ctx.session, ctx.storeEntryID, store::olFolderTasks, all, companion);
    });
}

void CreateToDoItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                    const TaskFields& fields, const CompanionContent& companion) {
    auto item = DefaultFolder(session, storeEntryID, folderNumber).AddItem(store::ItemType::Task);
    store::Item& it = *item;
    EnsureClass(it, "IPM.Task");
    PutTextIfAny(it, "Subject", fields.subject);
    // A task's start and due dates are the midnights of its days as written
    // ([MS-OXOTASK] 2.2.2.2.4); their common start and end, and the completion,
    // are those midnights in the task's zone as instants.
    auto midnight = [&fields](const CivilTime& d) {
        return UnixToFileTime(ZoneInstant(fields.zone, CivilTime{d.year, d.month, d.day, 0, 0, 0}));
    };
    if (fields.startDate && IsValidCivil(*fields.startDate)) {
        TryPut(it, "StartDate", DateAtUtcMidnight(*fields.startDate));
        calendar::PutLid(it, pst::PSETID_Common(), pst::tags::lid::PidLidCommonStart, pst::PT_SYSTIME, midnight(*fields.startDate));
    }
    if (fields.dueDate && IsValidCivil(*fields.dueDate)) {
        TryPut(it, "DueDate", DateAtUtcMidnight(*fields.dueDate));
        calendar::PutLid(it, pst::PSETID_Common(), pst::tags::lid::PidLidCommonEnd, pst::PT_SYSTIME, midnight(*fields.dueDate));
    }
    int status = fields.status >= 0 ? fields.status : 0;
    TryPut(it, "Status", int32_t(status));
    int percent = fields.percentComplete >= 0 ? fields.percentComplete : (status == 2 ? 100 : 0);
    if (status == 2) percent = 100;
    TryPut(it, "PercentComplete", double(percent) / 100.0);
    TryPut(it, "Complete", status == 2);
    if (status == 2 && fields.completedDate && IsValidCivil(*fields.completedDate))
        TryPut(it, "DateCompleted", midnight(*fields.completedDate));
    if (fields.importance >= 0) TryPut(it, "Importance", int32_t(fields.importance));
    PutCategories(it, fields.categories);
    std::string body = fields.body;
    try {
        PutTaskSeriesAndReminder(it, fields, body, int64_t(std::time(nullptr)));
    } catch (const std::exception&) {
    }
    PutTextIfAny(it, "Body", body);
    CompanionAttachments(it, companion);
    SaveWithTimes(it);
}

// --- Notes -------------------------------------------------------------------------

ItemOutcome ConvertNoteFile(const ItemContext& ctx, const std::string& metaPath) {
    ShowStatus(ctx, "Converting Notes... from (", metaPath);
    std::string fragment, quotedName;
    ReadResult r = ReadSection(metaPath, "/Notebook/");
    if (r.outcome != ItemOutcome::Saved) return r.outcome;
    ItemTimesScope times(r.file);
    if (!ctx.session) return ItemOutcome::Failed;
    std::vector<MetaKeyRule> rules = {
        Rule("f", fragment, MatchKind::PrefixAndDigit),
        Rule("\"name\"", quotedName, MatchKind::Contains, CutKind::QuotedName),
    };
    Scan(r.text, rules);

    // The page's name is its whole JSON "name"; raw texts fall back on the quoted name.
    std::string subject = quotedName;
    if (auto name = r.file.Member("name")) subject = *name;
    else if (auto subj = r.file.Member("subject")) subject = *subj;

    // The page's full text is its companion (HTML); the metadata holds only its beginning.
    std::string body = fragment;
    std::string companion = ItemCompanionPath(metaPath);
    if (IsExistingFile(companion)) {
        std::string page;
        if (ReadFileBytes(companion, page, false)) body = HtmlToText(DecodeToUtf8(std::vector<uint8_t>(page.begin(), page.end()), "utf-8"));
    }
    return CreateGuarded([&] {
        CreateNotesItem(*ctx.session, ctx.storeEntryID, store::olFolderNotes, TrimSpaces(subject), TrimSpaces(body),
                        TagCategories(r));
    });
}

void CreateNotesItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                     const std::string& subject, const std::string& body,
                     const std::vector<std::string>& categories) {
    auto item = DefaultFolder(session, storeEntryID, folderNumber).AddItem(store::ItemType::Note);
    store::Item& it = *item;
    EnsureClass(it, "IPM.StickyNote");
    PutTextIfAny(it, "Subject", subject);
    PutTextIfAny(it, "Body", body);
    PutCategories(it, categories);
    TryPut(it, "Color", int32_t(3));  // yellow, Outlook's default
    TryPut(it, "Width", int32_t(200));
    TryPut(it, "Height", int32_t(166));
    SaveWithTimes(it);
}

// --- The engine's entry points -------------------------------------------------------

namespace {
class ZimbraItemConverters final : public ItemConverters {
public:
    ItemOutcome ConvertContactFile(const ItemContext& ctx, const std::string& metaPath) override {
        return items::ConvertContactFile(ctx, metaPath);
    }
    ItemOutcome ConvertCalendarFile(const ItemContext& ctx, const std::string& metaPath) override {
        return items::ConvertCalendarFile(ctx, metaPath);
    }
    ItemOutcome ConvertTaskFile(const ItemContext& ctx, const std::string& metaPath) override {
        return items::ConvertTaskFile(ctx, metaPath);
    }
    ItemOutcome ConvertNoteFile(const ItemContext& ctx, const std::string& metaPath) override {
        return items::ConvertNoteFile(ctx, metaPath);
    }
    ItemOutcome ConvertStickyNoteFile(const ItemContext& ctx, const std::string& metaPath) override {
        return items::ConvertStickyNoteFile(ctx, metaPath);
    }
    ItemOutcome ConvertDocumentFile(const ItemContext& ctx, const std::string& metaPath) override {
        return items::ConvertDocumentFile(ctx, metaPath);
    }
};
}  // namespace

std::unique_ptr<ItemConverters> CreateZimbraItemConverters() {
    // What a killed run left in the temporary folder goes before this one starts.
    RemoveStaleTempFiles();
    return std::make_unique<ZimbraItemConverters>();
}

}  // namespace items
