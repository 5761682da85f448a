#pragma once

// Font-description and colour helpers shared by the HTML writer, the export and
// the readers. A font description is Pango-style text: a family, optional style
// words and an optional point size at the end ("Sans Bold 12"). Pure functions,
// no state.

#include <gdk/gdk.h>

#include <string>

// Family of a description: the size, " Bold", " Italic", " Oblique" and one
// trailing comma removed, blanks trimmed.
std::string GetFontFamily(std::string desc);

// The point size as CSS ems (size / 16, "%.2f"); "0.00" without a size.
std::string GetFontSizeToEms(const std::string& desc);

// The reverse: "0.75em" gives "12", "0em" gives "0"; no "em" gives "".
std::string GetFontSizeFromEms(const std::string& value);

// The point size of a description as text, "16" when it names none.
std::string GetFontSize(const std::string& desc);

// Equal red, green and blue; the pixel value is not compared.
bool gdk_colors_equal(GdkColor& a, GdkColor& b);
