#include "items/MessageState.h"

#include <cstdlib>

namespace items {

namespace {

// A JSON number or truth value that is not zero: "1", "2", "true".
bool NonZero(const std::string& text) {
    if (text == "true") return true;
    if (text.empty() || text == "false") return false;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return end != text.c_str() && value != 0.0;
}

}  // namespace

MessageState MessageStateFromMeta(const MetaFile& meta) {
    MessageState state;
    if (!meta.isJson) return state;
    state.known = true;
    const std::string flags = meta.Member("FlagStr").value_or("");
    auto has = [&](char c) { return flags.find(c) != std::string::npos; };
    state.unread = NonZero(meta.Member("unread").value_or("")) || has('u');
    state.flagged = has('f');
    state.replied = has('r');
    state.forwarded = has('w');
    state.draft = has('d');
    if (auto names = meta.Member("TagNames")) state.categories = SplitTagNames(*names);
    state.times = ItemTimesFromMeta(meta);
    return state;
}

MessageState ReadMessageState(const std::string& metaPath) {
    const std::string text = ReadMetaText(metaPath);
    if (text.empty()) return {};
    return MessageStateFromMeta(ParseMetaFile(text));
}

}  // namespace items
