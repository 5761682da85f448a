#pragma once

// Escaping for the HTML writer. Each routine appends to an output string in
// one pass over its input.

#include <string>

namespace quillery {

// Appends value as an attribute value between double quotes: a double quote
// becomes "&quot;", and an "&" becomes "&amp;" only where it starts a character
// reference that the reader would decode ("&amp;", "&#65;"), so such a value
// reads back as written. Nothing else changes (so URLs with query strings such
// as "?a=1&b=2" keep their bytes and their hashes).
void AppendAttrValue(std::string& out, const std::string& value);

// Appends value inside an HTML comment: every "-->" becomes "--&gt;", so the
// comment cannot end early. Nothing else changes.
void AppendCommentValue(std::string& out, const std::string& value);

// Appends note text: the four characters '"', '&', '<', '>' become entities;
// "\r\n" and "\n" become "<BR>\n" (a lone "\r" stays). With dropFinalBreak
// (the text ends a bullet line, whose "</LI>" is its line break) a final
// "\r\n", "\n" or "\r" is left out.
void AppendNoteText(std::string& out, const char* text, size_t len, bool dropFinalBreak);

// Appends "<!--custom-property name=\"NAME\" value=\"VALUE\"-->\n" with name and
// value escaped (EscapeChars).
void AppendCustomPropertyComment(std::string& out, const std::string& name, const std::string& value);

// Appends "#rrggbb" in lowercase hex, each channel the high byte of its
// 16-bit value (the bytes "#%02x%02x%02x" gives), without a format string
// to interpret: the writer puts a colour on many notes.
void AppendHexColor(std::string& out, unsigned red16, unsigned green16, unsigned blue16);

// Appends the decimal digits of value, as "%lld" writes them.
void AppendDecimal(std::string& out, long long value);

}  // namespace quillery
