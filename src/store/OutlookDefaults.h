#pragma once
// Properties Outlook sets on every item it saves and that a converted item
// would otherwise lack: the body preview, the message locale, the icon of
// contacts, appointments and tasks, the task state and ownership, and a
// contact's file-as style.
#include "store/PstStoreSession.h"

namespace store {

// Fills what is missing on `item` just before it is saved; never overwrites.
// `localeId` is the Windows locale of the user the items are for.
void FillOutlookDefaults(PropertyBag& item, int32_t localeId = 1033);

// The PidLidFileUnderId whose format ([MS-OXOCNTC] 2.2.1.1.12) turns the
// contact's names into `fileAs`; -1 when it is the user's own text.
int32_t FileUnderIdFor(const std::string& fileAs, const std::string& displayName, const std::string& given,
                       const std::string& middle, const std::string& surname, const std::string& company);

}  // namespace store
