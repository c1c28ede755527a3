#pragma once
// Plain text from an HTML body, the way mail clients show it as text: tags
// dropped, blocks on their own lines, entities decoded, scripts and styles gone.
#include <string>
#include <string_view>

namespace mime {

// `html` is UTF-8; the result is UTF-8 with CRLF line ends.
std::string HtmlToText(std::string_view html);

// Escapes text for inclusion in HTML.
std::string HtmlEscape(std::string_view text);

// LF or CR line ends to CRLF.
std::string ToCrlf(std::string_view text);

}  // namespace mime
