#include "OutlookDefaults.h"

#include <string>
#include <vector>

#include "store/NamedLid.h"

namespace store {

namespace {

using namespace pst;
using namespace pst::tags;

constexpr uint32_t kTagBodyPreview = 0x6619001F;  // what Outlook shows under the subject
constexpr uint32_t kTagMessageLocaleId = 0x3FF10003;
constexpr size_t kPreviewUnits = 255;  // UTF-16 code units

// PSETID_Address
constexpr uint32_t kLidFileUnderList = 0x8026;
// PSETID_Task ([MS-OXOTASK] 2.2.2.2)
constexpr uint32_t kLidTaskState = 0x8113;
constexpr uint32_t kLidTaskOwnership = 0x8129;
constexpr uint32_t kLidTaskAcceptanceState = 0x812A;
constexpr uint32_t kLidTaskFRecurring = 0x8126;
// PSETID_Common
constexpr uint32_t kLidTaskMode = 0x8518;

// Icons ([MS-OXOMSG] 2.2.1.10).
constexpr int32_t kIconContact = 0x200;
constexpr int32_t kIconAppointment = 0x400, kIconRecurringAppointment = 0x401, kIconMeeting = 0x402,
                  kIconRecurringMeeting = 0x403;
constexpr int32_t kIconTask = 0x500, kIconRecurringTask = 0x501;

std::string Text(const PropertyBag& item, uint32_t tag) {
    auto v = item.GetProp(tag);
    const std::string* s = v ? std::get_if<std::string>(&*v) : nullptr;
    return s ? *s : std::string();
}

std::string NamedText(const PropertyBag& item, const NamedProperty& n) {
    auto v = item.GetNamedProp(n);
    const std::string* s = v ? std::get_if<std::string>(&*v) : nullptr;
    return s ? *s : std::string();
}

std::optional<int32_t> NamedInt(const PropertyBag& item, const NamedProperty& n) {
    auto v = item.GetNamedProp(n);
    if (!v) return std::nullopt;
    if (auto i = std::get_if<int32_t>(&*v)) return *i;
    return std::nullopt;
}

bool NamedBool(const PropertyBag& item, const NamedProperty& n) {
    auto v = item.GetNamedProp(n);
    const bool* b = v ? std::get_if<bool>(&*v) : nullptr;
    return b && *b;
}

void NamedDefault(PropertyBag& item, const NamedProperty& n, uint16_t type, PropValue value) {
    if (!item.GetNamedProp(n)) item.SetNamedProp(n, type, std::move(value));
}

// The first `units` UTF-16 code units of UTF-8 text, never splitting a character.
std::string Utf16Prefix(const std::string& s, size_t units) {
    size_t used = 0, i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        const size_t need = len == 4 ? 2 : 1;
        if (used + need > units) break;
        used += need;
        i = std::min(s.size(), i + len);
    }
    return s.substr(0, i);
}

// Parts joined by `sep`, a missing part taking its separator with it.
std::string Join(const std::string& a, const std::string& sep, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + sep + b;
}

}  // namespace

int32_t FileUnderIdFor(const std::string& fileAs, const std::string& displayName, const std::string& given,
                       const std::string& middle, const std::string& surname, const std::string& company) {
    const std::string givenMiddle = Join(given, " ", middle);
    const std::string western = Join(surname, ", ", givenMiddle);
    const std::string eastern = Join(surname, "", givenMiddle);
    const std::string easternSpaced = Join(surname, " ", givenMiddle);
    const std::pair<int32_t, std::string> formats[] = {
        {0x8017, western},
        {0x3001, displayName},
        {0x3A16, company},
        {0x8019, Join(western, "\r\n", company)},
        {0x8018, Join(company, "\r\n", western)},
        {0x3A06, given},
        {0x3A11, surname},
        {0x8030, eastern},
        {0x8031, easternSpaced},
    };
    for (const auto& [id, text] : formats)
        if (!text.empty() && text == fileAs) return id;
    return -1;
}

void FillOutlookDefaults(PropertyBag& item, int32_t localeId) {
    const std::string cls = Text(item, PR_MESSAGE_CLASS);
    auto is = [&cls](const char* prefix) {
        const std::string p(prefix);
        return cls == p || cls.rfind(p + ".", 0) == 0;
    };
    if (!item.GetProp(kTagBodyPreview)) {
        const std::string body = Text(item, PR_BODY);
        if (!body.empty()) item.SetProp(kTagBodyPreview, Utf16Prefix(body, kPreviewUnits));
    }
    if (!item.GetProp(kTagMessageLocaleId)) item.SetProp(kTagMessageLocaleId, localeId);

    const bool contact = is("IPM.Contact"), appointment = is("IPM.Appointment"), task = is("IPM.Task");
    if (!item.GetProp(PR_ICON_INDEX)) {
        if (contact) {
            item.SetProp(PR_ICON_INDEX, kIconContact);
        } else if (appointment) {
            const bool recurring = NamedBool(item, Lid(PSETID_Appointment(), lid::PidLidRecurring));
            const bool meeting =
                NamedInt(item, Lid(PSETID_Appointment(), lid::PidLidAppointmentStateFlags)).value_or(0) & 1;
            item.SetProp(PR_ICON_INDEX, meeting ? (recurring ? kIconRecurringMeeting : kIconMeeting)
                                                : (recurring ? kIconRecurringAppointment : kIconAppointment));
        } else if (task) {
            const bool recurring = NamedBool(item, Lid(PSETID_Task(), kLidTaskFRecurring));
            item.SetProp(PR_ICON_INDEX, recurring ? kIconRecurringTask : kIconTask);
        }
    }
    if (task) {
        // A task of the user's own, not assigned to or by anyone.
        NamedDefault(item, Lid(PSETID_Task(), kLidTaskState), PT_LONG, int32_t(1));
        NamedDefault(item, Lid(PSETID_Task(), kLidTaskOwnership), PT_LONG, int32_t(0));
        NamedDefault(item, Lid(PSETID_Task(), kLidTaskAcceptanceState), PT_LONG, int32_t(0));
        NamedDefault(item, Lid(PSETID_Common(), kLidTaskMode), PT_LONG, int32_t(0));
    }
    if (contact) {
        const NamedProperty fileUnder = Lid(PSETID_Address(), lid::PidLidFileUnder);
        const NamedProperty fileUnderId = Lid(PSETID_Address(), lid::PidLidFileUnderId);
        const std::string fileAs = NamedText(item, fileUnder);
        // Without an id that matches the text, Outlook would redo (or blank) File As at the first edit.
        if (!fileAs.empty() && NamedInt(item, fileUnderId).value_or(0) == 0)
            item.SetNamedProp(fileUnderId, PT_LONG,
                              FileUnderIdFor(fileAs, Text(item, PR_DISPLAY_NAME), Text(item, PR_GIVEN_NAME),
                                             Text(item, PR_MIDDLE_NAME), Text(item, PR_SURNAME),
                                             Text(item, PR_COMPANY_NAME)));
        // The styles Outlook offers in the File As list, in its order.
        NamedDefault(item, Lid(PSETID_Address(), kLidFileUnderList), PT_MV_LONG,
                     std::vector<int32_t>{0x8017, 0x8037, 0x3A16, 0x8019, 0x8018});
    }
}

}  // namespace store
