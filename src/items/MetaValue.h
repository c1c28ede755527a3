#pragma once
// Values of the bencoded metadata the export keeps in its ".meta" files.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace items {

// One value of a bencoded metadata text (MetaScanText of a JSON ".meta" file),
// read by its structure: strings are cut by their UTF-16 length, so ":", "d"
// or "e" inside a value are data, and a nested dictionary's keys stay its own.
struct MetaValue {
    enum class Kind { String, Integer, List, Dictionary };
    Kind kind = Kind::String;
    std::string text;                                      // a string (UTF-8) or an integer's digits
    std::vector<std::pair<std::string, MetaValue>> items;  // dictionary members in order; list items under ""
    // A dictionary's own member (not one of a nested dictionary), or null.
    const MetaValue* Member(const std::string& key) const;
    // The text of an own string or integer member, or "".
    std::string Text(const std::string& key) const;
};
// Reads the value that starts at `pos` and moves `pos` past it. nullopt when
// the text is not well-formed there: a length past the end, a missing "e", a
// non-number, nesting deeper than 64.
std::optional<MetaValue> ReadMetaValue(const std::u16string& text, size_t& pos);
// The dictionary a whole metadata text (UTF-8) holds; nullopt when it holds
// anything else or is not well-formed.
std::optional<MetaValue> ReadMetaDictionary(const std::string& text);

}  // namespace items
