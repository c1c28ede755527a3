#pragma once
// Text conversions of item bodies: HTML to plain text, charsets to UTF-8.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace items {

// Plain text of an HTML page: tags dropped, block ends as CR LF, entities decoded.
std::string HtmlToText(const std::string& html);
// Decodes a text part's bytes from its charset to UTF-8 (UTF-8 kept; invalid
// sequences of an unknown charset read as Windows-1252).
std::string DecodeToUtf8(const std::vector<uint8_t>& bytes, const std::string& charset);
// Initialises GMime once per process; safe from any thread.
void EnsureGMime();

}  // namespace items
