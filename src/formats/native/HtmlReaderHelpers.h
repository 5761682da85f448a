#pragma once

// Free helpers of the native HTML reader: colour parsing, byte replacement and
// the conversion between the Windows ANSI code page and UTF-8.
//
// None of them keeps state; each is linear in its input.

#include <gdk/gdk.h>

#include <string>

// Parses a colour: GDK's names and "#" forms first, then "rgb(r, g, b)" with
// at most three digits per channel. Channels given as 0..255 are clamped to
// that range and scaled by 257, so 255 becomes 0xFFFF and the high byte that
// the writer stores is the byte that was read. The pixel value is left alone.
// Logs "Could not parse color: %s\n" (level 4) when the text has neither form;
// fewer than three numbers after "rgb(" fail silently.
bool parse_gtk_color(const char* text, GdkColor& color);

// Replaces every byte equal to `from` by `to`, in place.
void ReplaceChar(std::string& text, char from, char to);

// Convert the text (up to its first zero byte) from "MS-ANSI" to "UTF-8" and
// back. On failure the text is left as it was and the result is false.
bool AnsiToUtf8(std::string& text);
bool Utf8ToAnsi(std::string& text);

namespace quillery {

// Input in the ANSI code page (".hqy" files without a UTF-8 declaration) to
// UTF-8; bytes the code page does not define become U+FFFD, so the result
// is always valid UTF-8. Pure ASCII is left untouched without a copy.
void AnsiInputToUtf8(std::string& text);

}  // namespace quillery
