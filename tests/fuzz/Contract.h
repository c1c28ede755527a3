#pragma once
// Checks of what a parser hands on, shared by the robustness tests.
#include <string>
#include <variant>

#include "Mutator.h"
#include "support/FakeStore.h"

namespace fuzz {

// The last FILETIME a reader takes (30828); beyond it the count wrapped round.
inline constexpr uint64_t kLastFileTime = 0x7FFFFFFFFFFFFFFFULL;

// The first property of a bag (named ones too) whose text is not valid UTF-8,
// or whose time is before 1601 (wrapped round), as "0xTAG" or "named property", or ""
// when all are sound.
inline std::string BadTextProperty(const fake::FakeBag& bag) {
    auto bad = [](const pst::PropValue& v) {
        if (auto s = std::get_if<std::string>(&v)) return !IsValidUtf8(*s);
        // A time no reader takes: before 1601, wrapped round.
        if (auto t = std::get_if<pst::FileTime>(&v)) return t->value > kLastFileTime;
        if (auto list = std::get_if<std::vector<std::string>>(&v)) {
            for (const auto& s : *list)
                if (!IsValidUtf8(s)) return true;
        }
        return false;
    };
    for (const auto& [tag, value] : bag.props) {
        if (bad(value)) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "0x%08X", tag);
            return buf;
        }
    }
    for (const auto& [name, value] : bag.named)
        if (bad(value)) return "named property";
    return {};
}

// The same for an item with its recipients, attachments and embedded messages.
inline std::string BadTextInItem(const fake::FakeItem& item, int depth = 0) {
    if (auto b = BadTextProperty(item); !b.empty()) return "item " + b;
    for (const auto& r : item.recipients)
        if (auto b = BadTextProperty(*r); !b.empty()) return "recipient " + b;
    for (const auto& a : item.attachments) {
        if (auto b = BadTextProperty(*a); !b.empty()) return "attachment " + b;
        if (a->embedded && depth < 64)
            if (auto b = BadTextInItem(*a->embedded, depth + 1); !b.empty()) return "embedded " + b;
    }
    return {};
}

}  // namespace fuzz
