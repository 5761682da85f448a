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
// "\r\n" and "\n" become "<BR>\n" (a lone "\r" stays), or, with dropBreaks,
// every "\r" and "\n" is removed.
void AppendNoteText(std::string& out, const char* text, size_t len, bool dropBreaks);

// Appends "<!--custom-property name=\"NAME\" value=\"VALUE\"-->\n" with name and
// value escaped (EscapeChars).
void AppendCustomPropertyComment(std::string& out, const std::string& name, const std::string& value);

}  // namespace quillery
