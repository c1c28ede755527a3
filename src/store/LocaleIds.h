#pragma once
// Windows locale identifiers ([MS-LCID]) for the locale Outlook stamps on the
// items it saves (PR_MESSAGE_LOCALE_ID), from the names users and Zimbra's
// locale preference give them: "de", "de-DE", "pt_BR", or the number itself.
#include <cstdint>
#include <optional>
#include <string_view>

namespace store {

// Outlook's own default, en-US.
inline constexpr int32_t kDefaultLocaleId = 1033;

// The identifier `text` names: a language tag with '-' or '_' (case does not
// matter; a language alone takes its main country), or the number in decimal
// or 0x-hex. nullopt for anything not in the table or out of range.
std::optional<int32_t> LocaleIdFor(std::string_view text);

}  // namespace store
