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

// Joins the soft line breaks of format=flowed text (RFC 3676): a line ending
// in a space continues on the next line of the same quote depth; space
// stuffing is removed; with `delSp` the space before a soft break goes too.
std::string UnflowText(std::string_view text, bool delSp);

// LF or CR line ends to CRLF.
std::string ToCrlf(std::string_view text);

}  // namespace mime
